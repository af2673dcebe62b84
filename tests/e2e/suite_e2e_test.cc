// Runs the sample suite (examples/suite, packed at test time with its tar.gz and RPM payloads) the
// way a user does: install into a folder of the test, modify, repair and uninstall with answers
// read from standard input, and the selection screens on a real pseudo-terminal in English and
// German. The engine's records go to a private folder (NONRPM_DB_DIR) and its per-user folder to a
// private HOME, so nothing outside the test's folder is read or written.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "rpm_package.h"
#include "test_util.h"

using lumo_test::exists_path;
using lumo_test::PtyRun;
using lumo_test::PtyStep;
using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class SuiteE2E : public ::testing::Test {
protected:
    // One package for all tests: packing copies the engine and builds the RPM packages.
    static void SetUpTestSuite() {
        if (!lumo_test::rpmbuild_missing().empty()) return;
        // The flow needs the install driver's actions; an engine built without them can not run it.
        s_driver = read_file(lumo_test::engine_path()).find("lumo_install_selected_products") != std::string::npos;
        s_package = std::make_unique<TempDir>();
        s_built = run_command("LUMO_BUILD_DIR=" + quote(lumo_test::binary_dir()) + " " +
                                  quote(lumo_test::source_dir() + "/examples/suite/build.sh") + " " +
                                  quote(package()),
                              &s_build_output, true) == 0;
    }
    static void TearDownTestSuite() { s_package.reset(); }

    void SetUp() override {
        if (!lumo_test::rpmbuild_missing().empty()) GTEST_SKIP() << lumo_test::rpmbuild_missing();
        if (!s_driver) GTEST_SKIP() << "the engine has no install driver built in";
        ASSERT_TRUE(s_built) << s_build_output;
        for (const char* dir : {"run", "db", "home"}) std::filesystem::create_directories(m_dir.file(dir));
        // A history of its own: as root the histories of every test share the machine's folder.
        static int serial = 0;
        m_family = "suite_e2e_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    }
    void TearDown() override { std::filesystem::remove("/opt/vexan/upk/db/history/" + m_family); }

    static std::string package() { return s_package->file("pkg"); }
    static std::string engine() { return package() + "/config/bin/lumo"; }
    std::string target() const { return m_dir.file("suite"); }
    std::string installed(const std::string& name) const { return target() + "/" + name; }
    // The engine's options of every run here: the mode and the private folders.
    std::vector<std::string> args(const std::string& mode) const {
        return {"--LUMO_MODE", mode, "--NONRPM_DB_DIR", m_dir.file("db"), "--SUITE_DIR", target(), "--SUITE_FAMILY", m_family};
    }

    // A run with its answers read from a file and its output into a file; the exit status.
    int typed(const std::string& mode, const std::string& answers, std::vector<std::string> more = {}) {
        write_file_text(m_dir.file("answers"), answers);
        std::string command = "cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE HOME=" +
                              quote(m_dir.file("home")) + " " + quote(engine());
        std::vector<std::string> all = args(mode);
        all.insert(all.end(), more.begin(), more.end());
        for (const std::string& arg : all) command += " " + quote(arg);
        return run_command(command + " <" + quote(m_dir.file("answers")) + " >" + quote(m_dir.file("stdout")) + " 2>&1");
    }
    std::string output() const { return read_file(m_dir.file("stdout")); }

    // The same on a pseudo-terminal of 80x24, playing the steps.
    PtyRun on_terminal(const std::string& lang, const std::vector<PtyStep>& steps) {
        std::vector<std::string> argv = {"/usr/bin/env", "-u", "LANG", "-u", "LC_CTYPE",
                                         "HOME=" + m_dir.file("home"), engine(), "--lang", lang};
        for (const std::string& arg : args("install")) argv.push_back(arg);
        lumo_test::PtyOptions options;
        options.cwd = m_dir.file("run");
        return lumo_test::run_on_pty(argv, steps, options);
    }

    TempDir m_dir;
    std::string m_family;

private:
    static std::unique_ptr<TempDir> s_package;
    static bool s_built;
    static bool s_driver;
    static std::string s_build_output;
};

std::unique_ptr<TempDir> SuiteE2E::s_package;
bool SuiteE2E::s_built = false;
bool SuiteE2E::s_driver = false;
std::string SuiteE2E::s_build_output;

}  // namespace

// Install the proposed selection, add the optional component, repair a deleted file, remove it all.
TEST_F(SuiteE2E, InstallModifyRepairUninstall) {
    // Enter on the welcome, go past the system check's optional finding, accept the licence, keep
    // the selection, the folder, Enter on the summary.
    ASSERT_EQ(0, typed("install", "\n1\n1\n1\n" + target() + "\n\n")) << output();
    EXPECT_NE(std::string::npos, output().find("Sample Suite: The helper tool is not installed")) << output();
    for (const char* file : {"runtime/bin/sample-run", "runtime/lib/sample-runtime.sh", "analyzer/bin/sample-analyze",
                             "analyzer/plugins/words.plugin"})
        EXPECT_TRUE(exists_path(installed(file))) << file << "\n" << output();
    // The RPM's install script ran with the folder the package was moved to.
    EXPECT_EQ("home=" + installed("analyzer") + "\n", read_file(installed("analyzer/etc/analyzer.conf")));
    EXPECT_FALSE(exists_path(installed("runtime/doc/README")));
    EXPECT_NE(std::string::npos, read_file(installed("uninstall/uninstall.ini")).find("INSTALL_MODE=NONRPM\n"));
    EXPECT_TRUE(exists_path(installed("uninstall/markers/sample-suite-5d2c")));

    // A second install finds it and sends the user to the other modes.
    EXPECT_EQ(4, typed("install", ""));
    EXPECT_NE(std::string::npos, output().find("is installed already")) << output();

    // Modify: open the Runtime, check its documentation, back, done, Enter.
    ASSERT_EQ(0, typed("modify", "\n2\n3\n1\n1\n\n")) << output();
    EXPECT_TRUE(exists_path(installed("runtime/doc/README"))) << output();
    EXPECT_TRUE(exists_path(installed("analyzer/bin/sample-analyze")));

    ASSERT_EQ(0, std::remove(installed("runtime/bin/sample-run").c_str()));
    ASSERT_EQ(0, typed("repair", "\n1\n\n")) << output();
    EXPECT_TRUE(exists_path(installed("runtime/bin/sample-run"))) << output();

    ASSERT_EQ(0, typed("uninstall", "\n1\n\n")) << output();
    EXPECT_FALSE(exists_path(target())) << output();
    std::string records;
    run_command("cat " + quote(m_dir.file("db")) + "/*.db 2>/dev/null", &records);
    EXPECT_EQ("", records);
    // Nothing is installed any more: a modify run has nothing to work on.
    EXPECT_EQ(4, typed("modify", ""));
    EXPECT_NE(std::string::npos, output().find("is not installed")) << output();
}

// The selection on a terminal, in both languages: the product level with each product's install
// type, one product's components with check boxes, a dependency carried along, then the install.
TEST_F(SuiteE2E, SelectionOnATerminal) {
    const struct {
        const char* lang;
        std::vector<PtyStep> steps;
    } rows[] = {
        {"en",
         {{"Press Enter to continue: ", "\r"},
          {"Your choice: ", "2\r"},
          {"The Debian package sample-suite-helper-tool is not installed.", ""},
          {"Your choice: ", "1\r"},
          {"Your choice: ", "1\r"},
          {"1. Done\n2. Sample Runtime [Custom]\n3. Sample Analyzer [Full]\n", ""},
          {"Type a number [1]: ", "3\r"},
          {"2. [x] Sample Analyzer\n3.     [x] Analyzer\n4.     [x] Analyzer plug-ins\n", ""},
          {"Type a number [1]: ", "2\r"},
          {"2. [ ] Sample Analyzer\n3.     [ ] Analyzer\n4.     [ ] Analyzer plug-ins\n", ""},
          {"Type a number [1]: ", "4\r"},
          // The plug-ins need the analyzer, which comes back with them.
          {"3.     [x] Analyzer\n4.     [x] Analyzer plug-ins\n", ""},
          {"Type a number [1]: ", "1\r"},
          {"Type a number [1]: ", "1\r"},
          {"Installation folder [", "\r"},
          {"Press Enter to install: ", "\r"},
          {"was installed in", ""}}},
        {"de",
         {{"Weiter mit der Eingabetaste: ", "\r"},
          {"Ihre Wahl: ", "1\r"},
          {"Ihre Wahl: ", "1\r"},
          {"1. Fertig\n2. Sample Runtime [Angepasst]\n3. Sample Analyzer [Vollständig]\n", ""},
          {"Nummer eingeben [1]: ", "2\r"},
          {"     [ ] Runtime documentation\n", ""},
          {"Nummer eingeben [1]: ", "4\r"},
          {"     [x] Runtime documentation\n", ""},
          {"Nummer eingeben [1]: ", "1\r"},
          {"2. Sample Runtime [Vollständig]\n", ""},
          {"Nummer eingeben [1]: ", "1\r"},
          {"Installationsordner [", "\r"},
          {"Installieren mit der Eingabetaste: ", "\r"},
          {"wurde in", ""}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.lang);
        std::filesystem::remove_all(target());
        std::filesystem::remove_all(m_dir.file("db"));
        std::filesystem::create_directories(m_dir.file("db"));
        const PtyRun run = on_terminal(r.lang, r.steps);
        EXPECT_EQ(0, run.status) << run.screen;
        EXPECT_EQ(std::string(r.lang) == "de", exists_path(installed("runtime/doc/README"))) << run.screen;
        EXPECT_TRUE(exists_path(installed("analyzer/plugins/words.plugin"))) << run.screen;
        // Removed again: as root the shared component's client list lives in the machine's folder.
        EXPECT_EQ(0, typed("uninstall", "\n1\n\n")) << output();
    }
}

// Unattended from the suite's answer files: nothing is asked, the folder on the command line takes
// the place of the file's, the optional finding is shown, a change follows the file's COMPONENTS;
// without the licence nothing is done.
TEST_F(SuiteE2E, UnattendedFromTheAnswerFile) {
    const std::string answers = lumo_test::source_dir() + "/examples/suite/answers.ini";
    ASSERT_EQ(0, typed("install", "", {"-s", answers, "--LUMO_INSTALL_DIR", target()})) << output();
    EXPECT_TRUE(exists_path(installed("analyzer/plugins/words.plugin"))) << output();
    EXPECT_FALSE(exists_path(installed("runtime/doc/README")));
    EXPECT_NE(std::string::npos, output().find("The helper tool is not installed")) << output();
    // A name the package does not know changes nothing: the list would otherwise remove it all.
    write_file_text(m_dir.file("typo.ini"), "COMPONENTS=rt_core,rt_docs;an_core\n");
    EXPECT_EQ(2, typed("modify", "", {"-s", m_dir.file("typo.ini")}));
    EXPECT_NE(std::string::npos, output().find("rt_core,rt_docs. The names are separated by")) << output();
    EXPECT_TRUE(exists_path(installed("analyzer/plugins/words.plugin"))) << output();
    // The change adds the documentation and removes the plug-ins, which it does not name.
    ASSERT_EQ(0, typed("modify", "", {"-s", lumo_test::source_dir() + "/examples/suite/answers-modify.ini"})) << output();
    EXPECT_TRUE(exists_path(installed("runtime/doc/README"))) << output();
    EXPECT_FALSE(exists_path(installed("analyzer/plugins/words.plugin"))) << output();
    // The summary heads the components with their products, which the list does not name.
    EXPECT_NE(std::string::npos, output().find("Components:\n    Sample Runtime ")) << output();
    // The analyzer keeps the library it needs, though the list leaves it out.
    write_file_text(m_dir.file("less.ini"), "COMPONENTS=rt_core;an_core\n");
    ASSERT_EQ(0, typed("modify", "", {"-s", m_dir.file("less.ini")})) << output();
    EXPECT_FALSE(exists_path(installed("runtime/doc/README"))) << output();
    EXPECT_TRUE(exists_path(installed("runtime/lib/sample-runtime.sh"))) << output();
    EXPECT_TRUE(exists_path(installed("analyzer/bin/sample-analyze")));
    ASSERT_EQ(0, typed("uninstall", "", {"-s", answers})) << output();
    EXPECT_FALSE(exists_path(target())) << output();

    // The plug-ins alone bring what they need and the runtime's mandatory core.
    write_file_text(m_dir.file("plugins.ini"), "ACCEPT_EULA=accept\nCOMPONENTS=an_plugins\n");
    ASSERT_EQ(0, typed("install", "", {"-s", m_dir.file("plugins.ini"), "--LUMO_INSTALL_DIR", target()})) << output();
    for (const char* file : {"analyzer/bin/sample-analyze", "runtime/lib/sample-runtime.sh", "runtime/bin/sample-run"})
        EXPECT_TRUE(exists_path(installed(file))) << file << "\n" << output();
    ASSERT_EQ(0, typed("uninstall", "", {"-s", answers})) << output();

    write_file_text(m_dir.file("declined.ini"), "ACCEPT_EULA=no\nCOMPONENTS=DEFAULTS\n");
    EXPECT_EQ(2, typed("install", "", {"-s", m_dir.file("declined.ini"), "--LUMO_INSTALL_DIR", target()}));
    EXPECT_NE(std::string::npos, output().find("does not accept the licence")) << output();
    EXPECT_FALSE(exists_path(target()));
}

// An ordinary user (made once for the tests when they run as root) installs the suite silently into a
// folder of its own and removes it again: the files are the user's, and the engine's records and
// the history of the suite lie in the user's own folder, not in the machine's.
TEST_F(SuiteE2E, UnattendedAsAnOrdinaryUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make the user lumo_silent (useradd, setpriv)";
    // Made once and kept: changing the user database while another test sets a password in it
    // can lose that password. The tools fail at once while another test holds its lock.
    if (!getpwnam("lumo_silent")) {
        ASSERT_EQ(0, run_command("for i in $(seq 20); do useradd -r -M -s /bin/sh lumo_silent 2>/dev/null && exit 0; "
                                 "sleep 0.5; done; exit 1"));
    }
    const passwd* account = getpwnam("lumo_silent");
    ASSERT_NE(nullptr, account);
    const uid_t uid = account->pw_uid;
    const std::string home = m_dir.file("uhome"), vexan = home + "/vexan/";
    // The user's own home and copy of the package: the engine keeps its temporary files beside it.
    std::filesystem::create_directories(home);
    ASSERT_EQ(0, run_command("cp -r " + quote(package()) + " " + quote(m_dir.file("upkg")) +
                             " && chown -R lumo_silent " + quote(m_dir.path()) + " && chmod 755 " + quote(m_dir.path())));
    const auto as_user = [&](const std::string& args) {
        return run_command("cd " + quote(m_dir.file("run")) +
                           " && setpriv --reuid=lumo_silent --regid=lumo_silent --init-groups -- env -u LANG -u LC_CTYPE "
                           "HOME=" + quote(home) + " USER=lumo_silent " + quote(m_dir.file("upkg/config/bin/lumo")) +
                           " " + args + " </dev/null >" + quote(m_dir.file("stdout")) + " 2>&1");
    };
    ASSERT_EQ(0, as_user("-s " + quote(m_dir.file("upkg/answers.ini")) + " --LUMO_INSTALL_DIR " + quote(target())))
        << output();
    for (const char* file : {"runtime/bin/sample-run", "analyzer/plugins/words.plugin", "uninstall/uninstall.ini"}) {
        struct stat info = {};
        EXPECT_EQ(0, stat(installed(file).c_str(), &info)) << file << "\n" << output();
        EXPECT_EQ(uid, info.st_uid) << file;
    }
    EXPECT_NE(std::string::npos, read_file(vexan + "upk/db/history/an_plugins__2").find("LUMO_SUITE_FAMILY_INSTALLED_NUM=1\n"));
    EXPECT_NE(std::string::npos, read_file(vexan + "vexan_kwq_products.tgz.db").find(":rt_core.tar.gz:"));
    EXPECT_NE(std::string::npos, read_file(vexan + "upk/db/history/data/shared.db").find("rt_lib."));

    ASSERT_EQ(0, as_user("--LUMO_MODE uninstall -s " + quote(m_dir.file("upkg/answers.ini")))) << output();
    EXPECT_FALSE(exists_path(target())) << output();
    std::string left;
    run_command("find " + quote(vexan) + " -type f", &left);
    EXPECT_EQ("", left);
}

// Release 1.1 of the runtime over an installed 1.0: the dialog lists the 1.0 archives before the
// selection, they are removed, 1.1 lands in the same folder; the analyzer of 1.0 stays.
TEST_F(SuiteE2E, ReleaseReplacesTheEarlierOne) {
    std::string built;
    ASSERT_EQ(0, run_command("LUMO_BUILD_DIR=" + quote(lumo_test::binary_dir()) + " " +
                                 quote(lumo_test::source_dir() + "/examples/suite/build.sh") + " --version 1.1 " +
                                 quote(m_dir.file("pkg11")),
                             &built, true))
        << built;
    ASSERT_EQ(0, typed("install", "\n1\n1\n1\n" + target() + "\n\n")) << output();
    EXPECT_EQ(std::string::npos, output().find("rt_core.tar.gz")) << output();
    // The same run as typed(), with the 1.1 package's engine.
    const auto release11 = [&](const std::string& mode, const std::string& answers) {
        write_file_text(m_dir.file("answers"), answers);
        std::string command = "cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE HOME=" +
                              quote(m_dir.file("home")) + " " + quote(m_dir.file("pkg11/config/bin/lumo"));
        for (const std::string& arg : args(mode)) command += " " + quote(arg);
        return run_command(command + " <" + quote(m_dir.file("answers")) + " >" + quote(m_dir.file("stdout")) + " 2>&1");
    };
    // Enter on the welcome, the system check, the licence, Enter on the dialog, the selection, the
    // folder, the summary.
    ASSERT_EQ(0, release11("install", "\n1\n1\n\n1\n" + target() + "\n\n")) << output();
    EXPECT_NE(std::string::npos, output().find("[x] rt_core.tar.gz")) << output();
    EXPECT_NE(std::string::npos, output().find("Removing rt_lib.tar.gz... done")) << output();
    EXPECT_EQ("1.1\n", read_file(installed("runtime/RELEASE"))) << output();
    EXPECT_TRUE(exists_path(installed("analyzer/bin/sample-analyze")));
    std::string records;
    run_command("cat " + quote(m_dir.file("db")) + "/*.db", &records);
    EXPECT_EQ(std::string::npos, records.find(":rt_core.tar.gz:")) << records;
    EXPECT_NE(std::string::npos, records.find(":rt_core-1.1.tar.gz:")) << records;
    // Each package removes its own: 1.1 the runtime, 1.0 what is left, the analyzer.
    EXPECT_EQ(0, release11("uninstall", "\n1\n\n")) << output();
    EXPECT_FALSE(exists_path(installed("runtime"))) << output();
    EXPECT_EQ(0, typed("uninstall", "\n1\n\n")) << output();
    EXPECT_FALSE(exists_path(target())) << output();
}
