// Runs the built engine on packages whose prerequisite definitions require packages that are and
// are not on the machine (asked of its real dpkg-query, of rpm with a private database, and of the
// engine's own archive database), supported and unsupported systems (through a release-file
// fixture), too little room on a small file system, and pages through the findings on a terminal.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "rpm_package.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::quote;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

// String-table texts the checks and the dialogs use, set before the checks run.
const char* const texts[][2] = {
    {"prerequisite_package_not_detected_full_temp", "Package %s (%s) is missing."},
    {"prerequisite_package_not_detected_short", "Missing package"},
    {"prereq_err_os_check_short_desc", "Unsupported system"},
    {"prereq_err_os_check_full_desc", "Supported systems:"},
    {"prerequisite_no_space_message_start", "MB are needed on"},
    {"prerequisite_no_space_message_end", "for:"},
    {"prerequisite_no_space_short_error", "Not enough disk space"},
    {"space_a", "the products"},
    {"space_b", "temporary files"},
    {"prerequisite_critical_significance", "1"},
    {"prerequisite_critical_title", "Critical problem"},
    {"prerequisite_next_issue_opt", "Next problem"},
    {"prerequisite_next_dialog_c_opt", "Continue"},
    {"s_new", "Coreutils too old"},
    {"f_new", "Coreutils 99999 or later is needed."},
    {"back", "b"},
};

class PrerequisitesE2E : public SeqPackage {
protected:
    // definitions: the main definition file; after: the action run after the issue list is filled,
    // one of `extra` (more actions), whose dialogs are in `interface`.
    void build(const std::string& definitions, const std::string& more = "", const std::string& after = "",
               const std::string& extra = "", const std::string& interface = "") {
        stage("product.ini", "PRODUCT_NAME=Prerequisites\nPRODUCT_VERSION=1.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"checks.xml\" component=\"_internal_\" "
                          "action=\"texts\"/></sequence>");
        stage("prerequisites_prod_def.xml", definitions);
        if (!more.empty()) stage("more.xml", more);
        std::string sets;
        for (const auto& text : texts) sets += "<set property=\"" + std::string(text[0]) + "\" value=\"" + text[1] + "\"/>";
        const char* chain[] = {"prerequisites_init", "prerequisites_os_check", "prerequisites_system_check",
                               "prerequisites_disk_space_check", "lumo_fill_prerequisites_list"};
        std::string actions = "<action id=\"texts\">" + sets + "<next call=\"prerequisites_init\"/></action>";
        for (size_t i = 0; i < 5; ++i) {
            const std::string next = i + 1 < 5 ? chain[i + 1] : (after.empty() ? "_finish_" : after);
            actions += "<action id=\"" + std::string(chain[i]) + "\" type=\"built_in\" func=\"" + chain[i] +
                       "\"><set property=\"R_" + chain[i] + "\" value=\"${EXIT_CODE}\"/><next call=\"" + next +
                       "\"/></action>";
        }
        stage("checks.xml", module(actions + extra, interface));
        pack();
        std::filesystem::create_directories(m_dir.file("db"));
    }

    // args: words separated by single spaces.
    std::vector<std::string> engine_args(const std::string& args) const {
        std::vector<std::string> argv = {m_dir.file("pkg/config/bin/lumo"), "--TEMP_FOLDER", temp(),
                                         "--__keep_temp__", "--NONRPM_DB_DIR", m_dir.file("db")};
        for (size_t at = 0; at < args.size();) {
            const size_t end = std::min(args.find(' ', at), args.size());
            argv.push_back(args.substr(at, end - at));
            at = end + 1;
        }
        return argv;
    }

    int run(const std::string& args) {
        std::filesystem::create_directories(temp());
        std::string command = "cd " + quote(m_dir.file("run")) + " &&";
        for (const std::string& word : engine_args(args)) command += " " + quote(word);
        return run_command(command + " </dev/null >" + quote(m_dir.file("stdout")) + " 2>&1", nullptr);
    }

    void release(const std::string& text) { write_file_text(m_dir.file("os-release"), text); }
};

const std::string lumotest_os =
    "<os tag=\"LT1\" release=\"Lumotest 1\" family=\"Lumotest\" file1=\"/etc/os-release\" content1=\"ID=lumotest\" "
    "content2=\"VERSION_CODENAME=first\"/>";

}  // namespace

TEST_F(PrerequisitesE2E, PackagesSystemsAndArchivesFromTheMachine) {
    // The archive database holds vxtool 2.5, installed by the archive back-end.
    std::filesystem::create_directories(m_dir.file("src/share"));
    write_file_text(m_dir.file("src/share/tool.txt"), "tool");
    ASSERT_EQ(0, run_command("tar czf " + quote(m_dir.file("vxtool-2.5.tgz")) + " -C " + quote(m_dir.file("src")) +
                             " share"));
    const std::string mark = m_dir.file("ran");
    build("<prerequisites><product name=\"Core\">" + lumotest_os +
              "<supported_os arch=\"KX32;VEXAN64\" list=\"LT1\" colour=\"red\"/>"
              "<required package=\"coreutils\" version=\"${COEX_VERSION} -ge 1.0\" severity=\"1\"/>"
              "<required package=\"coreutils\" version=\"${COEX_VERSION} -ge 99999\" severity=\"1\" short_desc=\"s_new\" "
              "full_desc=\"f_new\"/>"
              "<package package=\"lumo-surely-absent-pkg\" version=\"${COEX_VERSION} &gt;= 2\" flag=\"ABSENT_FLAG\"/>"
              "<required package=\"vxtool\" rpm=\"5\" version=\"${COEX_VERSION} -ge 2.0\"/>"
              "<required package=\"vxtool\" rpm=\"5\" version=\"${COEX_VERSION} -ge 3.0\" severity=\"1\"/>"
              "<required package=\"coreutils\" rpm=\"1\" condition=\"NOT_SET\"/>"
              "<required version=\"1\"/>"
              "<include component=\"_internal_\" file=\"more.xml\"/></product></prerequisites>",
          "<prerequisites><product name=\"Extras\"><supported_os arch=\"KX32;VEXAN64\" list=\"OTHER\"/>"
          "<package package=\"x;touch " + mark + "\"/><package package=\"$(touch " + mark + ")\"/>"
          "<package package=\"`touch " + mark + "`\"/><include component=\"_internal_\" file=\"more.xml\"/>"
          "</product></prerequisites>");
    ASSERT_EQ(0, run_command(quote(lumo_test::binary_dir() + "/bin/lumo-backend") + " install tgz " +
                             quote(m_dir.file("vxtool-2.5.tgz")) + " " + quote(m_dir.file("inst")) + " --db " +
                             quote(m_dir.file("db"))));
    release("NAME=Lumotest\nID=lumotest\nVERSION_CODENAME=first\n");
    ASSERT_EQ(0, run("--LUMO_OS_RELEASE_FILE " + m_dir.file("os-release")));
    EXPECT_EQ("0", value("R_prerequisites_init"));
    EXPECT_EQ("0", value("R_lumo_fill_prerequisites_list"));
    EXPECT_EQ("LT1;", value("LUMO_DETECTED_OS_ABBRS"));
    // Extras is unsupported; coreutils is too old for 99999; the absent package, vxtool 3.0 and the
    // three names that are no package names are missing. Core's system is supported.
    EXPECT_EQ(";0;1;0;1;0;0;0", value("SIGNIFICANCE"));
    EXPECT_EQ(";prereq_err_os_check_short_desc_1;s_new_0;prerequisite_package_not_detected_short_0;"
              "prerequisite_package_not_detected_short_0;prerequisite_package_not_detected_short_1;"
              "prerequisite_package_not_detected_short_1;prerequisite_package_not_detected_short_1",
              value("SHORT_DESC"));
    EXPECT_EQ(";prereq_err_os_check_full_desc_1;f_new;prerequisite_package_not_detected_full_2;"
              "prerequisite_package_not_detected_full_4;prerequisite_package_not_detected_full_6;"
              "prerequisite_package_not_detected_full_7;prerequisite_package_not_detected_full_8",
              value("FULL_DESC"));
    EXPECT_EQ("Package lumo-surely-absent-pkg (${COEX_VERSION} >= 2) is missing.",
              value("prerequisite_package_not_detected_full_2"));
    EXPECT_EQ("Extras: Unsupported system", value("prereq_err_os_check_short_desc_1"));
    EXPECT_EQ("1", value("ABSENT_FLAG"));
    EXPECT_EQ("2", value("C_TOTAL"));
    EXPECT_EQ("5", value("O_TOTAL"));
    EXPECT_EQ("yes", value("PREREQUISITE_SHOW_CRITICAL_DIALOG"));
    EXPECT_EQ("yes", value("PREREQUISITE_SHOW_OPTIONAL_DIALOG"));
    EXPECT_FALSE(lumo_test::exists_path(mark));
    EXPECT_TRUE(logged("prerequisites_check_package: query is dpkg-query -W -f '${Status}\t${Version}\n' coreutils"));
    EXPECT_TRUE(logged("prerequisites_check_package: vxtool-2.5.tgz found in the archive database"));
    EXPECT_TRUE(logged("prerequisites_proceed_supported_os_list_node: ERROR: unexpected attribute colour"));
    EXPECT_TRUE(logged("prerequisites_proceed_required_node: ERROR: unknown \"required\" node"));
    EXPECT_TRUE(logged("prerequisites_read_config: _internal_::more.xml was already read"));
    EXPECT_EQ(1u, count("prerequisites_check_package: package name x;touch "));
    EXPECT_EQ(0u, count("query is rpm"));

    // Another system: Core is unsupported too, and told which systems it supports.
    release("NAME=Elsewhere\nID=elsewhere\n");
    std::filesystem::remove_all(m_dir.file("run"));
    ASSERT_EQ(0, run("--LUMO_OS_RELEASE_FILE " + m_dir.file("os-release") + " --OS_PREREQUISITE_SEVERITY 1"));
    EXPECT_EQ(0u, value("SIGNIFICANCE").find(";1;1;"));
    EXPECT_EQ(0u, value("SHORT_DESC").find(";prereq_err_os_check_short_desc_0;prereq_err_os_check_short_desc_1;"));
    // Supported on both architectures: no architecture is named.
    EXPECT_EQ("Supported systems: \n    - Lumotest Lumotest 1;\n", value("prereq_err_os_check_full_desc_0"));
}

TEST_F(PrerequisitesE2E, RpmQueriesAPrivateDatabase) {
    if (geteuid() != 0) GTEST_SKIP() << "installing through rpm needs root";
    if (!lumo_test::rpmbuild_missing().empty()) GTEST_SKIP() << lumo_test::rpmbuild_missing();
    lumo_test::RpmSpec spec;
    spec.name = "lumoreq";
    spec.version = "2.0";
    spec.install = "mkdir -p \"$P\" && echo x > \"$P/x\"";
    std::string output;
    const std::string rpm = lumo_test::build_rpm(m_dir.file("rpmwork"), spec, &output);
    ASSERT_FALSE(rpm.empty()) << output;
    const std::string db = m_dir.file("rpmdb");
    ASSERT_EQ(0, run_command("rpm --initdb --dbpath " + quote(db)));
    ASSERT_EQ(0, run_command(quote(lumo_test::binary_dir() + "/bin/lumo-backend") + " install rpm " + quote(rpm) + " " +
                                 quote(m_dir.file("inst")) + " --mode RPM --rpm-dbpath " + quote(db),
                             &output, true))
        << output;
    build("<prerequisites><product name=\"Core\">"
          "<required package=\"lumoreq\" rpm=\"1\" version=\"${COEX_VERSION} -ge 1.5\"/>"
          "<required package=\"lumoreq\" rpm=\"1\" version=\"${COEX_VERSION} -ge 2.1\" short_desc=\"s_new\"/>"
          "<required package=\"lumoreq-absent\" rpm=\"1\" short_desc=\"s_absent\"/>"
          "<required package=\"coreutils\" rpm=\"2\" short_desc=\"s_deb\"/>"
          "</product></prerequisites>");
    ASSERT_EQ(0, run("--IS_RPM yes --RPM_DBPATH " + db));
    // A Debian-only requirement is not asked of rpm, so it is not found either.
    EXPECT_EQ(";s_new_0;s_absent_0;s_deb_0", value("SHORT_DESC"));
    EXPECT_TRUE(logged("prerequisites_check_package: query is rpm --dbpath " + db +
                       " -q --qf '%{VERSION}\n' lumoreq"));
}

TEST_F(PrerequisitesE2E, RequestsOnASmallFileSystemAreAddedUp) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string small = m_dir.file("small");
    std::filesystem::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4m") != 0)
        GTEST_SKIP() << "a tmpfs could not be mounted here: " << strerror(errno);
    struct unmount_t {
        std::string path;
        ~unmount_t() { umount(path.c_str()); }
    } unmount{small};
    build("<prerequisites/>");
    // 3 MB fit the 4 MB file system twice over alone, not together.
    ASSERT_EQ(0, run("--LUMO_SPACE_REQUIREMENT_DIR " + small + "/a;" + small + "/b/c; --LUMO_SPACE_REQUIREMENT_SIZE 3;3; "
                     "--LUMO_SPACE_REQUIREMENT_MESSAGE space_a__;space_b;"));
    EXPECT_EQ("6MB are needed on " + small + " for:\n    the products\n    temporary files\n\n",
              value("prerequisite_no_space_generated_error"));
    EXPECT_EQ(";1", value("SIGNIFICANCE"));
    EXPECT_EQ("1", value("C_TOTAL"));
    std::filesystem::remove_all(m_dir.file("run"));
    ASSERT_EQ(0, run("--LUMO_SPACE_REQUIREMENT_DIR " + small + " --LUMO_SPACE_REQUIREMENT_SIZE 3 "
                     "--LUMO_SPACE_REQUIREMENT_MESSAGE space_a"));
    EXPECT_EQ("", value("prerequisite_no_space_generated_error"));
    EXPECT_EQ("0", value("C_TOTAL"));
}

TEST_F(PrerequisitesE2E, AnUnreadableDefinitionFileIsReportedAndSkipped) {
    build("<prerequisites><product name=\"Core\">");
    ASSERT_EQ(0, run(""));
    EXPECT_TRUE(log_text().find("- ERROR: : prerequisites_read_config: can't read _internal_::prerequisites_prod_def.xml.\n") != std::string::npos)
        << log_text();
    EXPECT_TRUE(logged("prerequisites_init_data: finished"));
    EXPECT_EQ("0", value("R_prerequisites_init"));
    EXPECT_EQ("0", value("C_TOTAL"));
}

TEST_F(PrerequisitesE2E, CriticalIssuesArePagedOnATerminal) {
    const std::string paging =
        "<action id=\"summary\" type=\"built_in\" func=\"lumo_prepare_prerequisites_critical_summary_dialog\">"
        "<next call=\"pre\"/></action>"
        "<action id=\"pre\" type=\"built_in\" func=\"lumo_prepare_prerequisites_critical_dialog_pre\">"
        "<next call=\"page\"/></action>"
        "<action id=\"page\" type=\"dialog\" call=\"page\"><next call=\"post\"/></action>"
        "<action id=\"post\" type=\"built_in\" func=\"lumo_prepare_prerequisites_critical_dialog_post\">"
        "<set property=\"TRAIL\" value=\"${TRAIL}${E_INDEX}${PREREQUISITE_TODO};\"/>"
        "<next condition=\"${PREREQUISITE_TODO} = finish\" call=\"_finish_\"/>"
        "<next condition=\"${PREREQUISITE_TODO} = back\" call=\"_finish_\"/><next call=\"pre\"/></action>";
    const std::string dialog =
        "<interface view=\"cli\"><dialog id=\"page\" clear_screen=\"false\"><title text=\"${PREREQUISITE_TITLE}\"/>"
        "<description text=\"${PREREQUISITE_TEXT}\"/><input text=\"1 = ${PREREQUISITE_NEXT}, b = back:\" "
        "keep=\"ANSWER\"/></dialog></interface>";
    build("<prerequisites><product name=\"Core\">"
          "<required package=\"coreutils\" version=\"${COEX_VERSION} -ge 99999\" severity=\"1\" short_desc=\"s_new\" "
          "full_desc=\"f_new\"/>"
          "<required package=\"lumo-surely-absent-pkg\" severity=\"0\"/>"
          "<required package=\"lumo-surely-absent-too\" severity=\"1\"/>"
          "</product></prerequisites>",
          "", "summary", paging, dialog);
    std::filesystem::create_directories(temp());
    lumo_test::PtyOptions options;
    options.cwd = m_dir.file("run");
    const lumo_test::PtyRun run = lumo_test::run_on_pty(
        engine_args(""),
        {{"Coreutils 99999 or later is needed.", ""},
         {"1 = Next problem, b = back:", "1\n"},
         {"Package lumo-surely-absent-too () is missing.", ""},
         {"1 = Continue, b = back:", "b\n"},
         {"Coreutils 99999 or later is needed.", ""},
         {"1 = Next problem, b = back:", "1\n"},
         {"1 = Continue, b = back:", "1\n"}},
        options);
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_NE(std::string::npos, run.screen.find("Critical problem")) << run.screen;
    // The optional issue between them is not shown among the critical ones.
    EXPECT_EQ(std::string::npos, run.screen.find("lumo-surely-absent-pkg")) << run.screen;
    EXPECT_EQ("3;1;3;3finish;", value("TRAIL"));
}
