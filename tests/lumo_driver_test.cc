#include "lumo_driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "actions.h"
#include "component.h"
#include "contentsprovider.h"
#include "env.h"
#include "interrupt.h"
#include "test_util.h"
#include "tsd.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;

namespace {

// A back-end answering each payload file with a scripted status; it counts its calls.
class ScriptedProvider : public ContentsProvider {
public:
    int installFile(const std::string& file, const std::string&, const std::string&) override {
        ++calls;
        return status[file.substr(file.rfind('/') + 1)];
    }
    int uninstallFile(const std::string&, const std::string&) override { return ++calls, 0; }
    int registerFiles(const std::string&) override { return 0; }
    int registerAllFiles(const std::string&) override { return 0; }
    std::map<std::string, int> status;
    int calls = 0;
};

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        set("LUMO_INSTALL_DIR", dir_.file("inst"));
        set("TEMP_FOLDER", dir_.path());
        set("silent", "1");
        session_.tsd = std::make_unique<TSD>(&session_);
        auto product = std::make_unique<Component>(&session_);
        product->m_name = "P";
        for (const char* name : {"a", "b"}) {
            auto component = std::make_unique<Component>(&session_);
            component->m_name = component->m_abbr = name;
            component->m_rpmFileDir = dir_.path();
            component->m_nonrpmProductCode = name + std::string(".tgz");
            component->m_provider = &provider_;
            component->m_selected = true;
            lumo_test::write_file_text(dir_.file(component->m_nonrpmProductCode), "x");
            product->addSubcomponent(std::move(component));
        }
        session_.tsd->addProduct(std::move(product));
    }
    void set(const char* name, const std::string& value) { env_set_string(&session_, name, value); }
    std::string get(const char* name) { return env_get_string(&session_, std::string(name)); }
    Component* component(size_t i) { return session_.tsd->products()[0]->subcomponents()[i]; }

    LogCapture log_;
    TempDir dir_;
    session_t session_;
    ScriptedProvider provider_;
};

}  // namespace

TEST(DriverRules, PrefixFollowsFoldersSubfolderAndLevels) {
    const struct {
        const char* what;
        const char* component_dir;
        const char* product_dir;
        const char* subdir;
        const char* levels;
        const char* prefix;
        const char* line;
    } rows[] = {
        {"own folder expanded", "${BASE}/own", "/p", "/sub", "1", "/srv/own", ""},
        {"product folder", "", "/p", "/sub", "1", "/p", ""},
        {"no subfolder", "", "", "", "3", "/opt/suite/core/", ""},
        {"no levels", "", "", "/sub", "", "/opt/suite/core/sub", "install_component: levels 0"},
        {"one level", "", "", "/sub", "1", "/opt/suite/sub", "install_component: levels 1"},
        {"beyond the root", "", "", "sub", "7", "/sub", ""},
        {"not a number", "", "", "/sub", "2x", "/opt/suite/core/sub", "install_component: levels 0"},
        {"capped", "", "", "/sub", "2000", "/sub",
         "install_component: levels value 2000 is greater than maximum allowed one 1024; levels value will be set "
         "to 1024"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        session_t session;
        env_set_string(&session, "BASE", "/srv");
        env_set_string(&session, "LUMO_INSTALL_DIR", "/opt/suite/core/");
        env_set_string(&session, "LUMO_INSTALL_SUBDIR_LEVELS", r.levels);
        Component product(&session);
        product.m_installDir = r.product_dir;
        product.m_installSubdir = r.subdir;
        Component component(&session);
        component.m_installDir = r.component_dir;
        component.m_parent = &product;
        EXPECT_EQ(r.prefix, lumo_component_prefix(&session, &component));
        if (*r.line) {
            EXPECT_TRUE(log.has_line(r.line));
        }
    }
}

TEST(DriverRules, BackEndStatusDecidesBetweenGoingOnAndRollingBack) {
    const struct { int status; const char* code; } rows[] = {
        {0, ""}, {10, ""}, {2, "3"}, {5, "3"}, {150, "3"}, {-2, "3"},
        {151, "2"}, {153, "2"}, {1, "2"}, {-1, "2"}, {255, "2"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.status);
        EXPECT_EQ(r.code, lumo_status_exit_code(r.status));
    }
}

TEST(DriverRules, CloseCheckStartsTheRollbackOnlyForAFailureCallingForIt) {
    const struct {
        const char* mode;
        const char* exit_code;
        const char* rollback_before;  // "-" for absent
        const char* rollback_after;
        const char* title;
    } rows[] = {
        {"install", "0", "-", "-", "Installing"},
        {"install", "3", "-", "-", "Installing"},
        {"install", "2", "-", "1", "Rolling back"},
        {"modify", "2", "2", "2", "Installing"},
        {"uninstall", "2", "1", "1", "Rolling back"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.mode) + " " + r.exit_code + " " + r.rollback_before);
        session_t session;
        env_set_string(&session, "LUMO_MODE", r.mode);
        env_set_string(&session, "LUMO_EXIT_CODE", r.exit_code);
        env_set_string(&session, "install_progress_title", "Installing");
        env_set_string(&session, "rollback_progress_title", "Rolling back");
        if (std::string(r.rollback_before) != "-") env_set_string(&session, "LUMO_ROLLBACK", r.rollback_before);
        // A pending request is answered by the rollback already there: no wait.
        if (std::string(r.rollback_before) != "-") env_set_string(&session, "LUMO_CLOSE_REQUEST", "1");
        EXPECT_EQ(0, lumo_handle_close_request(&session));
        const std::string after = env_exists(&session, "LUMO_ROLLBACK") ? env_get_string(&session, "LUMO_ROLLBACK") : "-";
        EXPECT_EQ(r.rollback_after, after);
        EXPECT_EQ("0", env_get_string(&session, "LUMO_CAN_CLOSE"));
        EXPECT_EQ(r.title, env_get_string(&session, "install_progress_title"));
    }
}

static void count_interrupt(int) {}

TEST_F(DriverTest, WarningStatusGoesOnAndTheRecordsAreWritten) {
    provider_.status = {{"a.tgz", 5}, {"b.tgz", 10}};
    set("SUITE_GUID", "guid-1");
    set("INSTALL_MODE", "NONRPM");
    set("IS_ROOT", "0");
    // The interrupt, ignored since the selection was fixed, reaches the engine's handler again.
    struct sigaction saved {}, ignore {}, now {};
    sigaction(SIGINT, nullptr, &saved);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, nullptr);
    interrupt_set_handler(count_interrupt);
    ASSERT_EQ(0, lumo_install_selected_products(&session_));
    sigaction(SIGINT, nullptr, &now);
    interrupt_set_handler(nullptr);
    sigaction(SIGINT, &saved, nullptr);
    EXPECT_EQ(&count_interrupt, now.sa_handler);
    EXPECT_EQ("3", get("LUMO_EXIT_CODE"));
    EXPECT_FALSE(env_exists(&session_, "LUMO_ROLLBACK"));
    EXPECT_EQ("2", get("LUMO_TOTAL_COMPONENTS_INCLUDING_INVISIBLE"));
    EXPECT_TRUE(lumo_test::exists_path(dir_.file("inst/uninstall/markers/guid-1")));
    EXPECT_EQ("INSTALL_MODE=NONRPM\nROOT_INSTALLATION=0\n", lumo_test::read_file(dir_.file("inst/uninstall/uninstall.ini")));
    ASSERT_EQ(0, load_uninstall_ini(&session_));
    EXPECT_EQ("NONRPM", get("UNINSTALL_INI_INSTALL_MODE"));
    // Without the file there is nothing to read, and that is no error.
    std::remove(dir_.file("inst/uninstall/uninstall.ini").c_str());
    ASSERT_EQ(0, load_uninstall_ini(&session_));
    EXPECT_TRUE(log_.has_line(": load_uninstall_ini: there is no " + dir_.file("inst/uninstall/uninstall.ini")));
    EXPECT_EQ(std::string::npos, log_.text().find("cannot read content of file"));
}

TEST_F(DriverTest, FullDiskRollsBackAndLeavesNoFolder) {
    component(0)->m_installSize = 1 << 30;  // a petabyte
    EXPECT_EQ(-1, install_component(&session_, component(0)));
    EXPECT_EQ("2", get("LUMO_EXIT_CODE"));
    EXPECT_NE(std::string::npos, log_.text().find(": install_component: testing free space using command 'reserve "
                                                  "1073741824 blocks of 1048576 bytes in "));
    EXPECT_TRUE(log_.has_line("ERROR: : install_component: not enough space to install component \"a\""));
    EXPECT_EQ(0, provider_.calls);
    EXPECT_FALSE(lumo_test::exists_path(dir_.file("inst")));
}

TEST_F(DriverTest, LicenceFallsBackToTheConsoleFile) {
    EXPECT_EQ(-1, lumo_load_license(&session_));
    EXPECT_TRUE(log_.has_line("ERROR: : lumo_load_license: EULA file is not specified"));
    lumo_test::write_file_text(dir_.file("eula.txt"), "line 1\nline 2\n");
    set("EULA_FILE", "${TEMP_FOLDER}/eula.txt");
    // A sequence calls it by its action name.
    ASSERT_EQ(0, lumo_driver_actions_register(&session_));
    EXPECT_EQ(0, actions_execute(&session_, "load_license"));
    EXPECT_EQ("line 1\nline 2\n", get("eula_text"));
}

// A modify that drops a shared component another suite still holds leaves it for that suite, and
// one that adds a shared component holds it for this suite.
TEST_F(DriverTest, ModifyGivesBackAndTakesSharedReferences) {
    component_context_t context;
    context.find_installed = [](ContentsProvider*, const std::string&, const std::string&, const std::string&) {
        return true;
    };
    for (size_t i = 0; i < 2; ++i) {
        component(i)->m_context = &context;
        component(i)->m_shared = "suite-a";
        component(i)->m_version = "1";
        component(i)->m_rpmProductRelease = "2";
    }
    component(0)->m_selected = true;   // a: added by this modify
    component(1)->m_installed = true;  // b: installed, no longer wanted
    component(1)->m_selected = false;
    set("LUMO_PLATFORM", "Linux");
    set("LUMO_MODE", "modify");
    const std::string db = dir_.file("vexan/upk/db/history/data/shared.db");
    const int status = lumo_test::as_user_with_home(dir_.path(), [&] {
        std::filesystem::create_directories(dir_.file("vexan/upk/db/history/data"));
        lumo_test::write_file_text(db, "b.1.2:suite-a:suite-b\n");
        if (lumo_uninstall_selected_products(&session_) != 0) return 1;
        if (provider_.calls != 0) return 2;  // b stays for suite-b
        if (lumo_test::read_file(db) != "b.1.2:suite-b\n") return 3;
        if (lumo_install_selected_products(&session_) != 0) return 4;
        return lumo_test::read_file(db) == "b.1.2:suite-b\na.1.2:suite-a\n" ? 0 : 5;
    });
    EXPECT_EQ(0, status);
}
