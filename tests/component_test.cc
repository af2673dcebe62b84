#include "component.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "env.h"
#include "test_util.h"
#include "tsd.h"
#include "utils.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::as_user_with_home;
using lumo_test::become_user_with_home;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override { write_file_text(dir_.file("pkg.rpm"), "payload"); }

    // A leaf with an abbreviation whose payload exists.
    Component* leaf(Component& product, const std::string& abbr, bool selected = false, bool installed = false) {
        auto node = std::make_unique<Component>(&session_);
        node->m_abbr = abbr;
        node->m_name = abbr;
        node->m_rpmFileDir = dir_.path();
        node->m_nonrpmProductCode = "pkg.rpm";
        node->m_selected = selected;
        node->m_installed = installed;
        Component* raw = node.get();
        product.addSubcomponent(std::move(node));
        return raw;
    }
    void set(const char* name, const std::string& value) { env_set_string(&session_, name, value); }

    session_t session_;
    TempDir dir_;
};

}  // namespace

TEST_F(ComponentTest, ProductRollsUpOverItsNonSkippedComponents) {
    const struct {
        const char* name;
        bool sel1, inst1, skip1, sel2, inst2, skip2;
        bool selected, installed;
    } rows[] = {
        {"one selected", true, false, false, false, false, false, true, false},
        {"selected one skipped", true, true, true, false, true, false, false, true},
        {"all installed", false, true, false, false, true, false, false, true},
        {"one not installed", false, true, false, false, false, false, false, false},
        {"all skipped", true, true, true, true, true, true, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Component product(&session_);
        leaf(product, "a", r.sel1, r.inst1)->m_nonrpmProductCode = r.skip1 ? "missing.rpm" : "pkg.rpm";
        leaf(product, "b", r.sel2, r.inst2)->m_nonrpmProductCode = r.skip2 ? "missing.rpm" : "pkg.rpm";
        EXPECT_EQ(r.selected, product.getSelected());
        EXPECT_EQ(r.installed, product.getInstalled());
    }
    LogCapture log;
    Component product(&session_);
    product.m_name = "suite";
    Component* child = leaf(product, "a");
    product.setSelected(true);
    product.setInstalled(true);
    EXPECT_FALSE(product.getSelected());
    EXPECT_TRUE(log.has_line("Component::setSelected: cannot set value for product 'suite'"));
    EXPECT_TRUE(log.has_line("Component::setInstalled: cannot set value for product 'suite'"));
    child->setInstalled(true);
    EXPECT_TRUE(child->getInstalled());
}

TEST_F(ComponentTest, SkipRules) {
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> properties;
        const char* abbr;
        const char* payload;
        const char* condition;
        bool default_selected;
        bool installed;
        bool skipped;
        const char* line;
    } rows[] = {
        {"no abbreviation never", {}, "", "missing.rpm", "", false, false, false, ""},
        {"payload present", {}, "a", "pkg.rpm", "", false, false, false, ""},
        {"payload missing", {}, "a", "missing.rpm", "", false, false, true, "because RPM "},
        {"uninstall ignores payload", {{"LUMO_MODE", "uninstall"}}, "a", "missing.rpm", "", false, true, false, ""},
        {"uninstall of what is absent", {{"LUMO_MODE", "uninstall"}}, "a", "pkg.rpm", "", false, false, true,
         "is_skipped: component a is skipped because it's not installed and we're in UNINSTALL/REPAIR mode"},
        {"repair of what is absent", {{"LUMO_MODE", "repair"}}, "a", "pkg.rpm", "", false, false, true, ""},
        {"condition false", {}, "a", "pkg.rpm", "NO_SUCH", false, false, true,
         "is_skipped: component a is skipped because the check of condition 'NO_SUCH' returned false"},
        {"condition true", {{"HAVE", "1"}}, "a", "pkg.rpm", "HAVE", false, false, false, ""},
        {"skip list", {{"PRODUCTS_TO_SKIP", "x;a"}}, "a", "pkg.rpm", "", false, false, true,
         "is_skipped: component a is skipped because is in the skiplist"},
        {"skip list by whole entry", {{"PRODUCTS_TO_SKIP", "data;ab"}}, "a", "pkg.rpm", "", false, false, false, ""},
        {"silent list without it", {{"silent", "f"}, {"COMPONENTS", "b;c"}}, "a", "pkg.rpm", "", false, false, true,
         "is_skipped: component a is skipped because is not contained in COMPONENTS"},
        {"silent list with it", {{"silent", "f"}, {"COMPONENTS", "b;a"}}, "a", "pkg.rpm", "", false, false, false, ""},
        {"silent ALL", {{"silent", "f"}, {"COMPONENTS", "ALL"}}, "a", "pkg.rpm", "", false, false, false, ""},
        {"silent DEFAULTS keeps defaults", {{"silent", "f"}, {"COMPONENTS", "DEFAULTS;b"}}, "a", "pkg.rpm", "", true,
         false, false, ""},
        {"silent DEFAULTS drops others", {{"silent", "f"}, {"COMPONENTS", "DEFAULTS;b"}}, "a", "pkg.rpm", "", false,
         false, true, ""},
        {"list outside silent", {{"COMPONENTS", "b"}}, "a", "pkg.rpm", "", false, false, false, ""},
        {"online without description", {{"ONLINE_INSTALLER_MODE", "1"}}, "a", "missing.rpm", "", false, false, true,
         "is_skipped: component 'a' is skipped because RPM missing.rpm is not found in the product.xml"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        session_t session;
        for (const auto& p : r.properties) env_set_string(&session, p.first, p.second);
        Component product(&session);
        auto node = std::make_unique<Component>(&session);
        node->m_abbr = r.abbr;
        node->m_rpmFileDir = dir_.path();
        node->m_nonrpmProductCode = r.payload;
        node->m_versionCondition = r.condition;
        node->m_defaultSelected = r.default_selected;
        node->m_installed = r.installed;
        Component* c = node.get();
        product.addSubcomponent(std::move(node));
        LogCapture log;
        EXPECT_EQ(r.skipped, c->isSkipped());
        if (*r.line) {
            EXPECT_NE(std::string::npos, log.text().find(r.line)) << log.text();
        }
    }
}

TEST_F(ComponentTest, InstallAndUninstallConditionsPerMode) {
    const struct {
        const char* mode;
        bool rollback, full, sel, inst;
        bool install, uninstall;
    } rows[] = {
        {"", false, false, true, false, true, false},
        {"", false, false, true, true, false, false},
        {"", true, false, true, false, true, true},
        {"", true, true, false, false, false, true},
        {"repair", false, false, true, true, true, false},
        {"repair", false, false, true, false, false, false},
        {"modify", false, false, true, false, true, false},
        {"modify", false, false, false, true, false, true},
        {"modify", false, true, true, true, false, true},
        {"modify", true, false, false, true, true, false},
        {"modify", true, false, true, false, false, true},
        {"uninstall", false, false, true, true, false, true},
        {"uninstall", false, true, false, true, false, true},
        {"uninstall", false, false, false, true, false, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.mode) + (r.rollback ? " rollback" : "") + (r.full ? " full" : "") +
                     (r.sel ? " sel" : "") + (r.inst ? " inst" : ""));
        session_t session;
        env_set_string(&session, "LUMO_MODE", r.mode);
        if (r.rollback) env_set_string(&session, "LUMO_ROLLBACK", "1");
        if (r.full) env_set_string(&session, "FULL_UNINSTALL", "yes");
        Component c(&session);
        c.m_selected = r.sel;
        c.m_installed = r.inst;
        EXPECT_EQ(r.install, c.installCondition());
        EXPECT_EQ(r.uninstall, c.uninstallCondition());
        c.m_downloadFailed = 1;
        EXPECT_FALSE(c.installCondition());
    }
}

TEST_F(ComponentTest, FullInstallAndFullUninstall) {
    const struct {
        const char* mode;
        bool sel1, inst1, sel2, inst2;
        int mask;
    } rows[] = {
        {"", true, false, true, false, 1},
        {"", true, false, false, false, 0},
        {"uninstall", false, true, false, true, 0},
        {"modify", false, true, false, false, 2},
        {"modify", false, true, true, true, 0},
        {"modify", true, false, true, false, 3},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.mode);
        set("LUMO_MODE", r.mode);
        Component product(&session_);
        leaf(product, "a", r.sel1, r.inst1);
        leaf(product, "b", r.sel2, r.inst2);
        EXPECT_EQ(r.mask, product.checkFullInstallOrUninstall());
    }
    set("LUMO_MODE", "uninstall");
    Component product(&session_);
    leaf(product, "a", true, true);
    leaf(product, "b", true, true);
    EXPECT_TRUE(product.isFullUninstall());
    EXPECT_FALSE(product.isFullInstall());
}

TEST_F(ComponentTest, SizesCountEachComponentOnceAndNothingInstalled) {
    Component product(&session_);
    Component* top = leaf(product, "top", true);
    Component* left = leaf(product, "left", true);
    Component* right = leaf(product, "right", true);
    Component* base = leaf(product, "base", true);
    Component* done = leaf(product, "done", true, true);
    Component* off = leaf(product, "off", false);
    top->m_installSize = 1;
    left->m_installSize = 10;
    right->m_installSize = 100;
    base->m_installSize = 1000;
    done->m_installSize = 10000;
    off->m_installSize = 100000;
    top->m_dependencies = {{left, right}, {done}, {off}};
    left->m_dependencies = {{base}};
    right->m_dependencies = {{base}, {top}};
    EXPECT_EQ(1111, top->getSizeWithDependencies());
    EXPECT_EQ(1111, right->getSizeWithDependencies());  // through the cycle back to top, once
    EXPECT_EQ(0, done->getSizeWithDependencies());
    top->m_downloadSize = 5;
    base->m_downloadSize = 7;
    EXPECT_EQ(12, top->getDownloadSizeWithDependencies());
    // A product adds its components that will be installed.
    EXPECT_EQ(1111, product.getSizeWithDependencies());
}

TEST_F(ComponentTest, ReadableSizesAndVerbosity) {
    const struct {
        int64_t mb;
        const char* text;
    } rows[] = {{0, "   0MB"}, {1023, "1023MB"}, {1024, " 1.0GB"}, {1048575, "1024.0GB"}, {1048576, " 1.0TB"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.mb);
        EXPECT_EQ(r.text, Component::getUserFriendlySizeString(r.mb));
    }
    Component c(&session_);
    EXPECT_EQ(1, c.getVerboseMode());
    set("gui", "1");
    set("silent", "f");
    EXPECT_EQ(2, c.getVerboseMode());
    set("VERBOSE_INSTALL", "1");
    EXPECT_EQ(3, c.getVerboseMode());
    c.m_invisible = 1;
    EXPECT_EQ(0, c.getVerboseMode());
    c.m_archGroup = "tools";
    EXPECT_EQ(3, c.getVerboseMode());
}

TEST_F(ComponentTest, PlatformAcceptance) {
    const std::string machine = get_arch();
    const std::string arch = machine == "kx64" ? "KX64" : machine == "x86_64" ? "VEXAN64" : "KX32";
    Component c(&session_);
    c.m_platform = "NONE";
    EXPECT_FALSE(c.checkComponent());
    c.m_platform = "KX32;" + arch;
    EXPECT_TRUE(c.checkComponent());
    c.m_platform = "NONE";
    c.m_archGroup = "tools";
    EXPECT_EQ(arch != "KX32", c.checkComponent());
    c.m_archGroup.clear();
    set("download_only", "1");
    EXPECT_TRUE(c.checkComponent());
}

TEST_F(ComponentTest, BaseDirectoryKeepsItsSeparatorWithoutHome) {
    LogCapture log;
    set("LUMO_PLATFORM", "Linux");
    const std::string out = dir_.file("base");
    const char* saved = getenv("HOME");
    const std::string home = saved ? saved : "";
    const int status = as_user_with_home(dir_.path(), [&] {
        unsetenv("HOME");
        const std::string result = base_user_dir(&session_);
        write_file_text(out, result);
        return 0;
    });
    if (saved) setenv("HOME", home.c_str(), 1);
    ASSERT_EQ(0, status);
    EXPECT_EQ("/tmp/", read_file(out));
    EXPECT_TRUE(log.has_line("ERROR: : base_user_dir: HOME environment variable is not set, /tmp directory will be used"));
    set("LUMO_PLATFORM", "Other");
    EXPECT_EQ("", base_user_dir(&session_));
}

class SharedDbTest : public ComponentTest {
protected:
    void SetUp() override {
        ComponentTest::SetUp();
        set("LUMO_PLATFORM", "Linux");
        set("CLIENT", "suite-a");
        context_.find_installed = [](ContentsProvider*, const std::string&, const std::string&, const std::string&) {
            return g_installed;
        };
        node_.m_context = &context_;
        node_.m_provider = reinterpret_cast<ContentsProvider*>(&context_);
        node_.m_abbr = "lib";
        node_.m_version = "1.2";
        node_.m_rpmProductRelease = "3";
        node_.m_shared = "${CLIENT}";
        g_installed = true;
        saved_home_ = getenv("HOME") ? getenv("HOME") : "";
    }
    void TearDown() override { setenv("HOME", saved_home_.c_str(), 1); }
    std::string db() const { return dir_.file("vexan/upk/db/history/data/shared.db"); }

    static bool g_installed;
    component_context_t context_;
    Component node_{&session_};
    std::string saved_home_;
};
bool SharedDbTest::g_installed = true;

TEST_F(SharedDbTest, ClientsAreCountedOnceAndTheLastReleaseRemovesTheRecords) {
    ASSERT_EQ(0, as_user_with_home(dir_.path(), [&] {
        if (node_.addRef() != 0 || node_.addRef() != 0) return 1;
        set("CLIENT", "suite-b");
        if (node_.addRef() != 0) return 2;
        if (read_file(db()) != "lib.1.2.3:suite-a:suite-b\n") return 3;
        if (node_.release() != 1 || read_file(db()) != "lib.1.2.3:suite-a\n") return 4;
        set("CLIENT", "suite-a");
        if (node_.release() != 0) return 5;
        if (lumo_test::exists_path(db()) || lumo_test::exists_path(dir_.file("vexan/upk/db/history/data"))) return 6;
        // Clients left, but the back-end no longer finds the package: nothing holds it.
        node_.addRef();
        set("CLIENT", "suite-b");
        node_.addRef();
        g_installed = false;
        if (node_.release() != 0 || lumo_test::exists_path(db())) return 7;
        return 0;
    }));
    Component plain(&session_);
    EXPECT_EQ(0, plain.addRef());
    EXPECT_EQ(0, plain.release());
}

TEST_F(SharedDbTest, UnreadableDatabaseKeepsTheComponentInstalled) {
    LogCapture log;
    ASSERT_EQ(0, as_user_with_home(dir_.path(), [&] {
        // A folder where the database should be: neither readable nor replaceable.
        if (lumo_test::run_command("mkdir -p " + lumo_test::quote(db() + "/x")) != 0) return 1;
        if (node_.release() == 0) return 2;
        if (node_.addRef() != -1) return 3;
        return lumo_test::exists_path(db() + "/x") ? 0 : 4;
    }));
    EXPECT_TRUE(log.has_line("ERROR: : Component::release: unable to open file '" + db() + "'"));
}

TEST_F(SharedDbTest, CrashWhileWritingLeavesAWholeDatabase) {
    ASSERT_EQ(0, as_user_with_home(dir_.path(), [&] {
        set("CLIENT", "keeper");
        return node_.addRef();
    }));
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        const pid_t writer = fork();
        if (writer == 0) {
            if (!become_user_with_home(dir_.path())) _exit(1);
            set("CLIENT", "churn");
            for (;;) {
                node_.addRef();
                node_.release();
            }
        }
        usleep(2000 + round * 500);
        kill(writer, SIGKILL);
        int status = 0;
        waitpid(writer, &status, 0);
        const std::string text = read_file(db());
        EXPECT_TRUE(text == "lib.1.2.3:keeper\n" || text == "lib.1.2.3:keeper:churn\n") << text;
    }
}

TEST(ComponentNameTest, NameWrapsAtBlanksAndTheSizeFollowsTheFirstLine) {
    const std::string text = get_component_name_with_size("alpha beta", "10MB", 8);
    EXPECT_EQ("alpha beta" + std::string(72 - 10, ' ') + "    10MB\n", text);
    const std::string wrapped = get_component_name_with_size(std::string(70, 'x') + " tail", "1MB", 8);
    EXPECT_EQ(std::string(70, 'x') + "  " + "     1MB\ntail\n", wrapped);
    const std::string lines = get_component_name_with_size("one\ntwo", "", 4);
    EXPECT_EQ(0u, lines.find("one"));
    EXPECT_NE(std::string::npos, lines.find("\ntwo\n"));
}
