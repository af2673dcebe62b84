// Installs, changes, repairs and removes a small suite with the built engine: tar.gz components
// and (where rpmbuild is there) an RPM extracted by the engine itself, so no system database is
// touched. A sequence calls the product-list actions and the driver; failures must roll back
// exactly what the run added, and a run killed at any point must leave records from which an
// uninstall removes everything.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "rpm_package.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::exists_path;
using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

std::string action(const std::string& id, const std::string& func, const std::string& next) {
    return "<action id=\"" + id + "\" type=\"built_in\" func=\"" + func + "\">" + next + "</action>";
}

// init, configure, select, full-uninstall check, a test hook, then the loops the mode asks for:
// a modify run and a rollback run the uninstall loop after the install loop.
std::string driver_module() {
    return "<module><behavior>" + action("init", "lumo_init_products_list", "<next call=\"conf\"/>") +
           action("conf", "lumo_configure_products_list", "<next call=\"chosen\"/>") +
           action("chosen", "lumo_select_chosen_products", "<next call=\"full\"/>") +
           action("full", "lumo_detect_full_uninstall", "<next call=\"hook\"/>") +
           "<action id=\"hook\" type=\"plugin_bash\" component=\"_internal_\" file=\"hooks.sh\" func=\"hook\">"
           "<next condition=\"${LUMO_MODE} = uninstall\" call=\"uninst\"/><next call=\"inst\"/></action>" +
           action("inst", "lumo_install_selected_products",
                  "<next condition=\"${LUMO_ROLLBACK} = 2\" call=\"uninst\"/>"
                  "<next condition=\"${LUMO_MODE} = modify\" call=\"uninst\"/><next call=\"_finish_\"/>") +
           action("uninst", "lumo_uninstall_selected_products", "<next call=\"_finish_\"/>") +
           "</behavior></module>";
}

std::string component(int id, const std::string& abbr, const std::string& type, const std::string& file,
                      int megabytes, bool selected, const std::string& extra = "") {
    return "<Component id=\"" + std::to_string(id) + "\" platform=\"KX32;KX64;VEXAN64\"><Name>" + abbr +
           "</Name><Abbr>" + abbr + "</Abbr><Type>" + type +
           "</Type><RPMFileDir>${PACKAGE_DIR}/payload</RPMFileDir><NONRPMProductCode>" + file +
           "</NONRPMProductCode><Data>" + std::to_string(megabytes) + "</Data><Selected>" + (selected ? "1" : "0") +
           "</Selected>" + extra + "</Component>";
}

class DriverE2E : public SeqPackage {
protected:
    void SetUp() override {
        stage("product.ini", "PRODUCT_NAME=Driver\nPRODUCT_VERSION=1.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"drive.xml\" component=\"_internal_\" "
                          "action=\"init\"/></sequence>");
        stage("drive.xml", driver_module());
        stage("hooks.sh", "hook() { eval \"$LI_DRIVER_HOOK\"; }\n");
        pack();
        archives();
        media(false);
    }

    // Fresh folders, and the archives abbr.tar.gz (share/abbr.txt) with a script for one of them.
    void archives(const std::string& scripted = "", const std::string& kind = "", const std::string& script = "") {
        for (const char* folder : {"inst", "db", "home", "pkg/payload", "src"}) {
            std::filesystem::remove_all(m_dir.file(folder));
            std::filesystem::create_directories(m_dir.file(folder));
        }
        for (const std::string abbr : {"core", "docs", "extra"}) {
            const std::string src = m_dir.file("src/" + abbr);
            std::filesystem::create_directories(src + "/share");
            write_file_text(src + "/share/" + abbr + ".txt", abbr + "\n");
            if (abbr == scripted) {
                std::filesystem::create_directories(src + "/.scripts");
                write_file_text(src + "/.scripts/" + kind, script);
            }
            ASSERT_EQ(0, run_command("tar czf " + quote(m_dir.file("pkg/payload/" + abbr + ".tar.gz")) + " -C " +
                                     quote(src) + " ."));
        }
    }

    // The RPM drvtool-1.0-1.noarch.rpm with the scriptlets; false (reason printed) without rpmbuild.
    bool rpm(const std::string& scripts = "") {
        if (!lumo_test::rpmbuild_missing().empty()) {
            std::cout << "no RPM component: " << lumo_test::rpmbuild_missing() << "\n";
            return false;
        }
        lumo_test::RpmSpec spec;
        spec.name = "drvtool";
        spec.version = "1.0";
        spec.release = "1";
        spec.install = "mkdir -p \"$P/bin\" && echo tool > \"$P/bin/drvtool\"";
        spec.scripts = scripts;
        std::string output;
        const std::string built = lumo_test::build_rpm(m_dir.file("rpmwork"), spec, &output);
        EXPECT_FALSE(built.empty()) << output;
        return !built.empty() && std::filesystem::copy_file(built, m_dir.file("pkg/payload/drvtool-1.0-1.noarch.rpm"),
                                                            std::filesystem::copy_options::overwrite_existing);
    }

    // core and docs selected, extra optional, the RPM tool when asked for.
    void media(bool with_rpm, int docs_megabytes = 1) {
        write_file_text(m_dir.file("pkg/config/mediaconfig.xml"),
                        "<Media><Name>Driver Suite</Name><GUID>driver-suite</GUID><Product id=\"1\" "
                        "platform=\"KX32;KX64;VEXAN64\"><Name>Suite</Name><Abbr>suite</Abbr>" +
                            component(1, "core", "tgz", "core.tar.gz", 1, true) +
                            component(2, "docs", "tgz", "docs.tar.gz", docs_megabytes, true) +
                            (with_rpm ? component(3, "tool", "rpm", "drvtool-1.0-1.noarch.rpm", 1, true,
                                                  "<RPMProductCode>drvtool</RPMProductCode>")
                                      : "") +
                            component(4, "extra", "tgz", "extra.tar.gz", 1, false) + "</Product></Media>");
    }

    std::string inst() const { return m_dir.file("inst"); }

    // A 2 MiB tmpfs on the installation folder, unmounted with the fixture; "" or why there is none.
    std::string mount_small_file_system() {
        if (geteuid() != 0) return "mounting a small tmpfs needs root";
        if (mount("lumo-test", inst().c_str(), "tmpfs", 0, "size=2m") != 0)
            return std::string("no tmpfs here: ") + strerror(errno);
        m_mounted.at = inst();
        return "";
    }
    struct mounted_t {
        std::string at;
        ~mounted_t() {
            if (!at.empty()) umount2(at.c_str(), MNT_DETACH);
        }
    } m_mounted;

    // as: a command put before the engine (run as another user).
    int run(const std::string& args, const std::string& as = "") {
        std::filesystem::remove_all(m_dir.file("run"));
        std::filesystem::create_directories(temp());
        return run_command("cd " + quote(m_dir.file("run")) + " && " + as + " env HOME=" + quote(m_dir.file("home")) +
                               " " + quote(m_dir.file("pkg/config/bin/lumo")) + " --TEMP_FOLDER " + quote(temp()) +
                               " --__keep_temp__ --NONRPM_DB_DIR " + quote(m_dir.file("db")) +
                               " --INSTALL_MODE NONRPM --LUMO_INSTALL_DIR " + quote(inst()) + " --report " +
                               quote(m_dir.file("report.json")) + " " + args + " </dev/null >" +
                               quote(m_dir.file("stdout")) + " 2>&1",
                           nullptr);
    }
    std::string output() const { return read_file(m_dir.file("stdout")); }
    // A Python expression over the report d, printed; the JSON parser is the check.
    std::string report(const std::string& expression) const {
        std::string out;
        EXPECT_EQ(0, run_command("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(" + expression +
                                     ")' " + quote(m_dir.file("report.json")),
                                 &out, true))
            << read_file(m_dir.file("report.json"));
        return out;
    }
    // Every path below the folder, sorted; "" for a missing or empty folder.
    std::string tree(const std::string& folder) const {
        std::string out;
        run_command("cd " + quote(folder) + " 2>/dev/null && find . -mindepth 1 | sort", &out);
        return out;
    }
};

}  // namespace

// Root and, when the tests run as root, an ordinary user made for them.
TEST_F(DriverE2E, InstallModifyRepairUninstall) {
    std::vector<std::string> runners = {""};
    if (geteuid() != 0)
        std::cout << "already an ordinary user: no second run\n";
    else if (getpwnam("lumodrv") || run_command("useradd -r -M -s /bin/sh lumodrv", nullptr, true) == 0)
        runners.push_back("chown -R lumodrv .. && runuser -u lumodrv --");
    else
        std::cout << "no ordinary user could be made: no second run\n";
    ASSERT_EQ(0, chmod(m_dir.path().c_str(), 0755));
    for (const std::string& as : runners) {
        SCOPED_TRACE(as);
        archives();
        const bool with_rpm = rpm();
        media(with_rpm);
        ASSERT_EQ(0, run("", as)) << output();
        EXPECT_EQ("core\n", read_file(inst() + "/share/core.txt"));
        EXPECT_FALSE(exists_path(inst() + "/share/extra.txt"));
        EXPECT_EQ(with_rpm ? "tool\n" : "", read_file(inst() + "/bin/drvtool"));
        const bool root = as.empty() && geteuid() == 0;
        EXPECT_EQ("INSTALL_MODE=NONRPM\nROOT_INSTALLATION=" + std::string(root ? "yes" : "no") +
                      "\nNONRPM_DB_DIR=" + m_dir.file("db") + "\n",
                  read_file(inst() + "/uninstall/uninstall.ini"));
        EXPECT_TRUE(exists_path(inst() + "/uninstall/markers/driver-suite"));
        EXPECT_EQ(std::string("install 0 ['core:success', 'docs:success'") + (with_rpm ? ", 'tool:success'" : "") +
                      "] [] True\n",
                  report("d[\"mode\"], d[\"exit_status\"], [u[\"abbr\"]+\":\"+u[\"status\"] for u in d[\"units\"]], "
                         "d[\"rolled_back\"], d[\"log\"].endswith(\".log\")"));
        struct stat st = {};
        EXPECT_EQ(0, stat((inst() + "/share/core.txt").c_str(), &st));
        EXPECT_EQ(as.empty() ? geteuid() : getpwnam("lumodrv")->pw_uid, st.st_uid);
        // Modify adds the optional component; repair puts back a deleted file.
        ASSERT_EQ(0, run("--LUMO_MODE modify --COMPONENTS ALL", as)) << output();
        // The settings of the install are read back for the run that changes it.
        EXPECT_NE(std::string::npos, log_text().find("key \"UNINSTALL_INI_NONRPM_DB_DIR\" with value \"" +
                                                      m_dir.file("db") + "\""));
        EXPECT_TRUE(exists_path(inst() + "/share/extra.txt"));
        EXPECT_TRUE(exists_path(inst() + "/share/core.txt"));
        std::filesystem::remove(inst() + "/share/docs.txt");
        ASSERT_EQ(0, run("--LUMO_MODE repair", as)) << output();
        EXPECT_TRUE(exists_path(inst() + "/share/docs.txt"));
        ASSERT_EQ(0, run("--LUMO_MODE uninstall", as)) << output();
        EXPECT_EQ("", tree(inst()));
        EXPECT_EQ("", tree(m_dir.file("db")));
    }
    run_command("chown -R root " + quote(m_dir.path()));
}

// A failure calling for a rollback takes back what the run added and nothing that was there.
TEST_F(DriverE2E, FailedModifyRollsBackExactlyWhatItAdded) {
    ASSERT_EQ(0, run("")) << output();
    const std::string before = tree(inst());
    // A package that cannot be unpacked fails its component.
    const bool with_rpm = rpm();
    if (with_rpm) {
        const std::string package = m_dir.file("pkg/payload/drvtool-1.0-1.noarch.rpm");
        const std::string bytes = read_file(package);
        write_file_text(package, bytes.substr(0, bytes.size() - 60));
    }
    const struct {
        const char* what;
        bool rpm;
        const char* hook;
        const char* line;
        const char* outcome;
    } rows[] = {
        // The loop stops at the failure: the optional component after it is never started.
        {"package cannot be unpacked", true, "", "nonrpm_install_item: unable to extract data from RPM package ",
         "['itool', 'utool'] []"},
        {"payload replaced by a folder after the selection", false,
         "p=$LI_PACKAGE_DIR/payload/extra.tar.gz; rm -f $p && mkdir $p",
         "ERROR: : install_component: rpm file not found, exiting...", "['iextra'] []"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        if (r.rpm && !with_rpm) continue;
        media(r.rpm);
        EXPECT_EQ(2, run("--LUMO_MODE modify --COMPONENTS ALL --DRIVER_HOOK " + quote(r.hook))) << output();
        EXPECT_EQ(before, tree(inst()));
        EXPECT_NE(std::string::npos, log_text().find(r.line));
        EXPECT_EQ("2 True " + std::string(r.outcome) + "\n",
                  report("d[\"exit_status\"], d[\"rollback\"], [u[\"action\"][0]+u[\"abbr\"] for u in d[\"units\"]], "
                         "d[\"rolled_back\"]"));
    }
}

// A failing post-install script does not stop the installation: the package stays installed.
TEST_F(DriverE2E, FailingPostInstallScriptGoesOn) {
    if (!rpm("%post\nexit 1\n")) return;
    media(true);
    ASSERT_EQ(0, run("")) << output();
    EXPECT_NE(std::string::npos,
              log_text().find("WARN: : nonrpm_install_item: the POSTIN script of drvtool-1.0-1.noarch.rpm ended "
                              "with status 1\n"));
    EXPECT_EQ("tool\n", read_file(inst() + "/bin/drvtool"));
    ASSERT_EQ(0, run("--LUMO_MODE uninstall")) << output();
    EXPECT_EQ("", tree(inst()));
}

// A hang-up or termination while a component is installed waits for it, then rolls back; a
// second one ends the script with its process group at once.
TEST_F(DriverE2E, TerminationDuringAComponentRollsBack) {
    const struct { const char* signals; bool script_ends; } rows[] = {
        {"-TERM $PPID; sleep 1", true}, {"-HUP $PPID; kill -TERM $PPID; sleep 20", false}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.signals);
        std::filesystem::remove(inst() + ".after");
        archives("docs", "POSTIN",
                 std::string("kill ") + r.signals + "; touch \"$LUMO_INSTALL_PREFIX.after\"\n");
        const time_t started = time(nullptr);
        EXPECT_EQ(2, run("")) << output();
        // With two signals pending, which one the engine takes first is up to the scheduler.
        const std::string tail = " arrived while components were changed, handled as a close request";
        EXPECT_TRUE(logged("take_deferred_signal: signal 15" + tail) ||
                    (!r.script_ends && logged("take_deferred_signal: signal 1" + tail)));
        EXPECT_EQ(r.script_ends, exists_path(inst() + ".after"));
        if (!r.script_ends) {
            EXPECT_GT(15, time(nullptr) - started);
        }
        EXPECT_EQ("", tree(inst()));
        EXPECT_EQ("", tree(m_dir.file("db")));
    }
}

// A run killed at any point leaves records from which an uninstall removes everything.
TEST_F(DriverE2E, KilledInstallIsRemovedByALaterUninstall) {
    const struct { const char* what; const char* abbr; const char* kind; } rows[] = {
        {"in the first pre-install script", "core", "PREIN"},
        {"in a later pre-install script", "docs", "PREIN"},
        {"in a post-install script", "docs", "POSTIN"},
        {"in an RPM post-install script", "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        archives(r.abbr, r.kind, "kill -9 $PPID\n");
        if (!*r.abbr && !rpm("%post\nkill -9 $PPID\n")) continue;
        media(!*r.abbr);
        EXPECT_EQ(128 + 9, run("")) << output();
        ASSERT_EQ(0, run("--LUMO_MODE uninstall")) << output();
        EXPECT_EQ("", tree(inst()));
        EXPECT_EQ("", tree(m_dir.file("db")));
    }
}

// A component that does not fit fails with status 153 before anything of it is written.
TEST_F(DriverE2E, FullFileSystemRollsBack) {
    const std::string why = mount_small_file_system();
    if (!why.empty()) GTEST_SKIP() << why;
    media(false, 5);
    EXPECT_EQ(2, run("--component_installation_status_message_153 'No room left.'")) << output();
    EXPECT_TRUE(logged("install_component: not enough space to install component \"docs\""));
    EXPECT_NE(std::string::npos, output().find("No room left.")) << output();
    EXPECT_EQ("", tree(inst()));
}

// A folder named relative to where the engine starts is recorded absolute: an uninstall started
// anywhere else finds the same files.
TEST_F(DriverE2E, ARelativeInstallFolderIsRecordedAbsolute) {
    ASSERT_EQ(0, run("--LUMO_INSTALL_DIR ./../inst")) << output();
    EXPECT_EQ("core\n", read_file(inst() + "/share/core.txt"));
    EXPECT_TRUE(logged("lumo: install dir ./../inst is taken as " + inst()));
    const std::string db = read_file(m_dir.file("db/vexan_kwq_products.tgz.db"));
    EXPECT_NE(std::string::npos, db.find("<:core.tar.gz:core.tar.gz:" + inst() + ":")) << db;
    EXPECT_TRUE(exists_path(inst() + "/uninstall/uninstall.ini"));
    ASSERT_EQ(0, run("--LUMO_MODE uninstall")) << output();
    EXPECT_EQ("", tree(inst()));
}

// A repair whose reinstallation cannot start keeps the component it would have removed.
TEST_F(DriverE2E, RepairThatCannotInstallKeepsTheComponent) {
    const std::string why = mount_small_file_system();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_EQ(0, run("")) << output();
    media(false, 5);
    EXPECT_EQ(2, run("--LUMO_MODE repair")) << output();
    EXPECT_TRUE(logged("lumo_install_selected_products: docs is kept: its payload is missing or does not fit"));
    EXPECT_EQ("docs\n", read_file(inst() + "/share/docs.txt"));
    EXPECT_NE(std::string::npos, read_file(m_dir.file("db/vexan_kwq_products.tgz.db")).find("<:docs.tar.gz:"));
}
