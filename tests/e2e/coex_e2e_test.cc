// Runs the built engine on a package whose coexistence rules look at items installed beforehand
// through the real back-ends (archives and an engine-extracted RPM in a private contents database,
// an RPM in a private rpm database): the dialog on a pseudo-terminal, the properties the rules
// set, and the removal of the chosen items.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "rpm_package.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::exists_path;
using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

// Rules first, then the dialog: a number toggles an optional entry, Enter goes on to the removal.
const char* const flow =
    "<module><behavior>"
    "<action id=\"texts\"><set property=\"coexistence_text_req_opt\" value=\"Older versions are installed.\"/>"
    "<set property=\"coexistence_text_frb_opt\" value=\"Older versions are installed.\"/>"
    "<set property=\"coexistence_required_one\" value=\"Removed:\"/>"
    "<set property=\"coexistence_optional_skip_one\" value=\"Kept unless chosen:\"/>"
    "<set property=\"coexistence_optional_one\" value=\"Optional:\"/>"
    "<set property=\"uninstalling_currently_installed\" value=\"Removing\"/>"
    "<set property=\"install_component_done\" value=\"done\"/><next call=\"init\"/></action>"
    "<action id=\"init\" type=\"built_in\" func=\"coex_diag_init\"><next call=\"show\"/></action>"
    "<action id=\"show\" type=\"built_in\" func=\"coex_diag_show\"><next condition=\"NO_DIALOG\" call=\"fin\"/>"
    "<next condition=\"${COEX_DIAG} = yes\" call=\"ask\"/><next call=\"fin\"/></action>"
    "<action id=\"ask\" type=\"dialog\" call=\"coex\"><next condition=\"${HANDLE} -gt 0\" call=\"update\"/>"
    "<next call=\"fin\"/></action>"
    "<action id=\"update\" type=\"built_in\" func=\"coex_diag_update\"><next call=\"ask\"/></action>"
    "<action id=\"fin\" type=\"built_in\" func=\"coex_diag_finalize\"><next call=\"act\"/></action>"
    "<action id=\"act\" type=\"built_in\" func=\"coex_diag_act\"><set property=\"R_ACT\" value=\"${EXIT_CODE}\"/>"
    "<next call=\"_finish_\"/></action></behavior>"
    "<interface view=\"cli\"><dialog id=\"coex\" clear_screen=\"false\"><title text=\"Other versions\"/>"
    "<description text=\"${COEX_DIALOG_TEXT}\"/><input text=\"Number to toggle, Enter to go on: \" keep=\"A\"/>"
    "</dialog></interface></module>";

class CoexE2E : public SeqPackage {
protected:
    void package(const std::string& rules) {
        stage("product.ini", "PRODUCT_NAME=Coexistence\nPRODUCT_VERSION=2.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"flow.xml\" component=\"_internal_\" "
                          "action=\"texts\"/></sequence>");
        stage("flow.xml", flow);
        stage("coex.xml", "<coex>" + rules + "</coex>");
        pack();
        std::filesystem::create_directories(temp());
    }
    // An archive with one file and the summary the engine shows for it, installed below inst/name.
    void install_archive(const std::string& name, const std::string& summary) {
        const std::string src = m_dir.file("src/" + name), tgz = m_dir.file(name + "-1.0.tar.gz");
        std::filesystem::create_directories(src + "/.scripts");
        write_file_text(src + "/" + name + ".txt", name);
        if (!summary.empty()) write_file_text(src + "/.scripts/SUMMARY." + name + "-1.0.tar.gz", summary);
        ASSERT_EQ(0, run_command("tar czf " + quote(tgz) + " -C " + quote(src) + " ."));
        backend("install tgz " + quote(tgz) + " " + quote(m_dir.file("inst/" + name)) + " --db " + quote(m_dir.file("db")));
    }
    // The RPM oldtool 1.0-1; "" (with the reason printed) when rpmbuild is not there.
    std::string build_tool() {
        if (!lumo_test::rpmbuild_missing().empty()) return std::cout << lumo_test::rpmbuild_missing() << "\n", "";
        lumo_test::RpmSpec spec;
        spec.name = "oldtool";
        spec.version = "1.0";
        spec.release = "1";
        spec.install = "echo tool > \"$P/tool.txt\"";
        std::string output;
        const std::string rpm = lumo_test::build_rpm(m_dir.file("rpmwork"), spec, &output);
        EXPECT_FALSE(rpm.empty()) << output;
        return rpm;
    }
    void backend(const std::string& args) {
        std::string output;
        EXPECT_EQ(0, run_command(quote(lumo_test::binary_dir() + "/bin/lumo-backend") + " " + args, &output, true))
            << output;
    }
    std::vector<std::string> engine(const std::string& mode) {
        return {m_dir.file("pkg/config/bin/lumo"), "--TEMP_FOLDER", temp(), "--__keep_temp__", "--NONRPM_DB_DIR",
                m_dir.file("db"), "--INSTALL_MODE", mode};
    }
    std::string db(const char* name) { return read_file(m_dir.file(std::string("db/vexan_kwq_products.") + name)); }
};

}  // namespace

TEST_F(CoexE2E, DialogOnATerminalRemovesWhatIsRequiredAndChosen) {
    install_archive("oldcore", "Sample Core");
    install_archive("olddocs", "Sample Docs");
    install_archive("keep", "");
    const std::string tool = build_tool();
    if (!tool.empty()) backend("install rpm " + quote(tool) + " " + quote(m_dir.file("inst/oldtool")) + " --db " + quote(m_dir.file("db")));
    package("<filter rpm_name=\"keep-1.0.tar.gz\" exact=\"yes\"><action uninstall=\"forbidden\" skiplist=\"keep\"/></filter>"
            "<filter rpm_name=\"^oldtool-\" version_condition=\"${COEX_VERSION} -ge 2.0\"><action property=\"NEWER\"/></filter>"
            "<filter rpm_name=\"^oldtool-\" version_condition=\"${COEX_VERSION} &lt; 2.0\"><action uninstall=\"required\" "
            "installdir=\"OLD_TOOL_DIR\" side_by_side=\"1\" lock_installdir=\"1\"/></filter>"
            "<filter rpm_name=\"^oldcore-\"><action skiplist=\"core\"/></filter>"
            "<filter rpm_name=\"^olddocs-\"><action/></filter>"
            "<filter rpm_name=\"^absent-\" invert=\"yes\"><action property=\"NO_ABSENT\"/></filter>");
    lumo_test::PtyOptions options;
    options.cwd = m_dir.file("run");
    const lumo_test::PtyRun run = lumo_test::run_on_pty(
        engine("NONRPM"), {{"Older versions are installed.", ""},
                           {"1:  [ ] Sample Core", ""},
                           {"2:  [ ] Sample Docs", ""},
                           {"Enter to go on: ", "2\r"},
                           {"2:  [x] Sample Docs", ""},
                           {"Enter to go on: ", "\r"},
                           {"Removing Sample Docs... done", ""}},
        options);
    ASSERT_EQ(0, run.status) << run.screen << log_text();
    if (!tool.empty()) {
        EXPECT_NE(std::string::npos, run.screen.find("Removed:\n    [x] Test package oldtool")) << run.screen;
        EXPECT_FALSE(exists_path(m_dir.file("inst/oldtool/tool.txt")));
        EXPECT_FALSE(exists_path(m_dir.file("db/vexan_kwq_products.db")));
        EXPECT_EQ(m_dir.file("inst/oldtool"), value("OLD_TOOL_DIR"));
        EXPECT_EQ(m_dir.file("inst/oldtool"), value("SXS_PEER_DIR"));
        EXPECT_EQ("yes", value("LOCK_INSTALL_DIR"));
    }
    EXPECT_EQ("<unset>", value("NEWER"));
    EXPECT_EQ("1", value("NO_ABSENT"));
    EXPECT_EQ(";keep;core", value("PRODUCTS_TO_SKIP"));
    EXPECT_EQ("0", value("R_ACT"));
    EXPECT_FALSE(exists_path(m_dir.file("inst/olddocs/olddocs.txt")));
    EXPECT_TRUE(exists_path(m_dir.file("inst/oldcore/oldcore.txt")));
    EXPECT_TRUE(exists_path(m_dir.file("inst/keep/keep.txt")));
    EXPECT_EQ(std::string::npos, db("tgz.db").find("olddocs"));
    EXPECT_NE(std::string::npos, db("tgz.db").find("keep-1.0.tar.gz"));
}

TEST_F(CoexE2E, PrivateRpmDatabaseItemStaysWhenItsCommandFailsAndGoesThroughRpm) {
    if (geteuid() != 0) GTEST_SKIP() << "installing through rpm needs root";
    const std::string tool = build_tool();
    if (tool.empty()) return;
    const std::string rpmdb = m_dir.file("rpmdb");
    ASSERT_EQ(0, run_command("rpm --initdb --dbpath " + quote(rpmdb)));
    backend("install rpm " + quote(tool) + " " + quote(m_dir.file("inst/oldtool")) + " --mode RPM --rpm-dbpath " + quote(rpmdb));
    package("<filter rpm_name=\"oldtool-1.0-1.noarch.rpm\" exact=\"yes\" version_condition=\"BROKEN\">"
            "<action uninstall=\"required\" run=\"bin/no-such-uninstaller\" options=\"${COEX_ITEM_PREFIX}\"/></filter>"
            "<filter rpm_name=\"oldtool-1.0-1.noarch.rpm\" exact=\"yes\"><action uninstall=\"required\"/></filter>");
    const std::string args = " --NO_DIALOG 1 --RPM_DBPATH " + quote(rpmdb) + " </dev/null >" + quote(m_dir.file("out")) + " 2>&1";
    std::string command = "cd " + quote(m_dir.file("run")) + " &&";
    for (const std::string& word : engine("RPM")) command += " " + quote(word);
    EXPECT_EQ(2, run_command(command + " --BROKEN 1" + args)) << log_text();
    EXPECT_NE(std::string::npos, read_file(m_dir.file("out")).find("Removing Test package oldtool: \n---"));
    EXPECT_TRUE(logged("coex_diag_act: can't delete item oldtool-1.0-1.noarch.rpm"));
    EXPECT_EQ(0, run_command("rpm -q --dbpath " + quote(rpmdb) + " oldtool >/dev/null"));

    EXPECT_EQ(0, run_command(command + args));
    EXPECT_NE(0, run_command("rpm -q --dbpath " + quote(rpmdb) + " oldtool >/dev/null"));
    EXPECT_FALSE(exists_path(m_dir.file("inst/oldtool/tool.txt")));
}

TEST_F(CoexE2E, MalformedRulesStopTheEngineAtStart) {
    package("<filter rpm_name=\"a\"><action/>");
    std::string command = "cd " + quote(m_dir.file("run")) + " &&";
    for (const std::string& word : engine("NONRPM")) command += " " + quote(word);
    std::string output;
    EXPECT_EQ(2, run_command(command + " </dev/null 2>&1", &output));
    EXPECT_NE(std::string::npos, output.find("Coexistence read failed.\n"));
    EXPECT_FALSE(logged("sequence_execute_document: call \"texts\" action"));
}
