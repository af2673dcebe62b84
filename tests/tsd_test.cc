#include "tsd.h"

#include <gtest/gtest.h>

#include "env.h"
#include "lumo.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

const char* const any_platform = "KX32;KX64;VEXAN64";

// A component whose payload exists, named and abbreviated by abbr.
std::string comp(int id, const std::string& abbr, const std::string& attrs = "", const std::string& children = "") {
    return "<Component id=\"" + std::to_string(id) + "\" platform=\"" + any_platform + "\" " + attrs + "><Name>" +
           abbr + "</Name><Abbr>" + abbr + "</Abbr><RPMFileDir>${PAYLOAD}</RPMFileDir>" +
           (children.find("<NONRPMProductCode>") == std::string::npos ? "<NONRPMProductCode>p.rpm</NONRPMProductCode>"
                                                                       : "") +
           children + "</Component>";
}

std::string product(int id, const std::string& abbr, const std::string& components, const std::string& extra = "") {
    return "<Product id=\"" + std::to_string(id) + "\" platform=\"" + any_platform + "\"><Name>" + abbr +
           "</Name><Abbr>" + abbr + "</Abbr>" + extra + components + "</Product>";
}

class TsdTest : public ::testing::Test {
protected:
    void SetUp() override { write_file_text(dir_.file("p.rpm"), "payload"); }

    // Builds the set from a media description of these products and resolves the dependencies.
    int load(const std::string& products) {
        write_file_text(dir_.file("mediaconfig.xml"), "<Media><Name>Suite</Name>" + products + "</Media>");
        env_set_string(&session_, "CONFIG_DIR", dir_.path());
        env_set_string(&session_, "PAYLOAD", dir_.path());
        const int status = lumo_init_products_list(&session_);
        if (status == 0) tsd().resolveDependencies();
        return status;
    }
    TSD& tsd() { return *session_.tsd; }
    Component* find(const std::string& abbr) {
        for (Component* p : tsd().products()) {
            if (p->m_abbr == abbr) return p;
            for (Component* c : p->subcomponents()) {
                if (c->m_abbr == abbr) return c;
            }
        }
        ADD_FAILURE() << "no component " << abbr;
        return nullptr;
    }
    // The abbreviations of the selected components, in set order, joined by ";".
    std::string selected() {
        std::string out;
        for (Component* p : tsd().products()) {
            for (Component* c : p->subcomponents()) {
                if (c->m_selected) out += (out.empty() ? "" : ";") + c->m_abbr;
            }
        }
        return out;
    }
    void set(const char* name, const std::string& value) { env_set_string(&session_, name, value); }

    session_t session_;
    TempDir dir_;
};

}  // namespace

TEST_F(TsdTest, DependencyStringsResolveToGroupsOfAlternatives) {
    ASSERT_EQ(0, load(product(1, "p1", comp(2, "a") + comp(3, "b")) + product(2, "p2", comp(1, "c"))));
    const struct {
        const char* text;
        std::vector<std::vector<const char*>> groups;
        const char* line;
    } rows[] = {
        {"1.2|1.3;2.1", {{"a", "b"}, {"c"}}, ""},
        {"", {}, ""},
        {";;1.2;", {{"a"}}, ""},
        {"1.2.3|1.3;1", {{"b"}, {}},
         "ERROR: : parseDependencyString: incorrect dependency token '1.2.3' from dependency string '1.2.3|1.3;1'"},
        {"x.y|2.1", {{"c"}}, "parseDependencyString: incorrect dependency token 'x.y' from dependency string 'x.y|2.1'"},
        {"9.1", {{}}, "parseDependencyString: can not find product with id 9."},
        {"1.9|1.2", {{"a"}}, "parseDependencyString: can not find component with id 9 for product with id 1."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        LogCapture log;
        const dependency_groups_t groups = tsd().parseDependencyString(r.text);
        ASSERT_EQ(r.groups.size(), groups.size());
        for (size_t g = 0; g < groups.size(); ++g) {
            ASSERT_EQ(r.groups[g].size(), groups[g].size());
            for (size_t m = 0; m < groups[g].size(); ++m) EXPECT_EQ(r.groups[g][m], groups[g][m]->m_abbr);
        }
        if (*r.line) {
            EXPECT_TRUE(log.has_line(r.line)) << log.text();
        }
    }
}

TEST_F(TsdTest, SelectionPropagatesThroughDependenciesBothWays) {
    // chain: a needs b needs c; diamond: top needs l and r, both need base; cycle: x and y need
    // each other; alt needs p or q; m is mandatory in the product of opt.
    const std::string media =
        product(1, "chain", comp(1, "a", "depend=\"1.2\"") + comp(2, "b", "depend=\"1.3\"") + comp(3, "c")) +
        product(2, "diamond",
                comp(1, "top", "depend=\"2.2;2.3\"") + comp(2, "l", "depend=\"2.4\"") + comp(3, "r", "depend=\"2.4\"") +
                    comp(4, "base")) +
        product(3, "cycle", comp(1, "x", "depend=\"3.2\"") + comp(2, "y", "depend=\"3.1\"")) +
        product(4, "alts", comp(1, "alt", "depend=\"4.2|4.3\"") + comp(2, "p") + comp(3, "q")) +
        product(5, "mand", comp(1, "opt") + comp(2, "m", "mandatory=\"1\""));
    const struct {
        const char* name;
        std::vector<std::string> steps;  // "+abbr" selects, "-abbr" unselects
        const char* selected;
    } rows[] = {
        {"chain pulls in what it needs", {"+a"}, "a;b;c"},
        {"unselecting the end drops who needs it", {"+a", "-c"}, ""},
        {"unselecting the middle keeps the end", {"+a", "-b"}, "c"},
        {"diamond", {"+top"}, "top;l;r;base"},
        {"diamond base", {"+top", "-base"}, ""},
        {"cycle ends", {"+x"}, "x;y"},
        {"cycle ends unselecting", {"+x", "-y"}, ""},
        {"alternatives all selected", {"+alt"}, "alt;p;q"},
        {"one alternative left keeps it", {"+alt", "-p"}, "alt;q"},
        {"no alternative left", {"+alt", "-p", "-q"}, ""},
        {"a satisfied group selects nothing more", {"+q", "+alt"}, "alt;q"},
        {"mandatory follows its product", {"+opt"}, "opt;m"},
        {"mandatory is not unselected", {"+opt", "-m"}, "opt;m"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(0, load(media));
        for (const std::string& step : r.steps)
            EXPECT_EQ(0, tsd().selectUnselectComponent(find(step.substr(1)), step[0] == '+' ? 1 : 0, false));
        EXPECT_EQ(r.selected, selected());
    }
    LogCapture log;
    ASSERT_EQ(0, load(media));
    env_set_string(&session_, "DEP_INFO", "");
    tsd().selectUnselectComponent(find("a"), 1, false);
    EXPECT_EQ("b\nc\n", env_get_string(&session_, std::string("DEP_INFO")));
    EXPECT_TRUE(log.has_line("selectUnselectComponent: failed dependence for 'a' to 'b' (2) of product 'chain' (1)"));
    tsd().selectUnselectComponent(find("c"), 0, true);
    EXPECT_EQ("b\nc\n", env_get_string(&session_, std::string("DEP_INFO")));
    EXPECT_TRUE(log.has_line("selectUnselectComponent: failed dependence for c to b"));
    EXPECT_EQ(-1, tsd().selectUnselectComponent(nullptr, 1, false));
    EXPECT_NE(std::string::npos, log.text().find("ERROR: : src/tsd.cc:"));
    set("LUMO_MODE", "repair");
    tsd().selectUnselectComponent(find("a"), 1, false);
    EXPECT_FALSE(find("a")->m_selected);
    EXPECT_TRUE(log.has_line("selectUnselectComponent: function is called in REPAIR or UNINSTALL mode. This should "
                             "not happen. Exiting..."));
}

TEST_F(TsdTest, ReindexRenumbersVisibleProductsAndAppliesTheComponentList) {
    const std::string media =
        product(1, "p1", comp(1, "a", "", "<Selected>1</Selected>") + comp(2, "b")) +
        product(2, "gone", comp(1, "g", "", "<NONRPMProductCode>missing.rpm</NONRPMProductCode>")) +
        product(3, "p3", comp(1, "c", "", "<Selected>1</Selected>"));
    const struct {
        const char* components;
        const char* selected;
    } rows[] = {{"", "a;c"}, {"ALL", "a;b;c"}, {"b", "b"}, {"DEFAULTS;b", "a;b;c"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.components);
        ASSERT_EQ(0, load(media));
        set("COMPONENTS", r.components);
        set("PRODUCTS_TO_SKIP", "gone");
        EXPECT_EQ(0, tsd().reindexProductsList());
        EXPECT_EQ(r.selected, selected());
        EXPECT_EQ(1, find("p1")->m_dynId);
        EXPECT_EQ(-2, find("gone")->m_dynId);
        EXPECT_EQ(2, find("p3")->m_dynId);
        EXPECT_EQ("-1", env_get_string(&session_, std::string("P_INDEX")));
    }
    // One product with one component: nothing to ask.
    ASSERT_EQ(0, load(product(4, "solo", comp(7, "s"))));
    tsd().reindexProductsList();
    EXPECT_TRUE(find("s")->m_selected);
    EXPECT_EQ("yes", env_get_string(&session_, std::string("TSD_HIDE")));
    EXPECT_EQ("finish", env_get_string(&session_, std::string("TSD_TODO")));
    EXPECT_EQ("1", env_get_string(&session_, std::string("P_INDEX")));
}

TEST_F(TsdTest, InvisibleHelpersFollowTheComponentsThatNeedThem) {
    const std::string media = product(1, "p", comp(1, "v", "depend=\"1.2\"") + comp(2, "h", "invisible=\"1\"") +
                                                  comp(3, "w") + comp(4, "lone", "invisible=\"1\""));
    ASSERT_EQ(0, load(media));
    tsd().selectUnselectComponent(find("v"), 1, false);
    tsd().selectUnselectComponent(find("lone"), 1, false);
    EXPECT_EQ("v;h;lone", selected());
    EXPECT_EQ(0, tsd().unselectInvisibleNonMandatoryComponentsIfNecessary());
    EXPECT_EQ("v;h", selected());
    tsd().selectUnselectComponent(find("v"), 0, false);
    tsd().unselectInvisibleNonMandatoryComponentsIfNecessary();
    EXPECT_EQ("", selected());
    // In uninstall mode a helper nothing kept needs goes with the rest.
    ASSERT_EQ(0, load(media));
    set("LUMO_MODE", "uninstall");
    for (const char* abbr : {"v", "h", "w"}) find(abbr)->m_installed = true;
    find("v")->m_selected = true;
    tsd().unselectInvisibleNonMandatoryComponentsIfNecessary();
    EXPECT_TRUE(find("h")->m_selected);
    // Where selection is fixed, a helper that cannot be changed ends the procedure too.
    ASSERT_EQ(0, load(media));
    set("LUMO_MODE", "repair");
    find("h")->m_installed = find("h")->m_selected = true;
    LogCapture log;
    tsd().unselectInvisibleNonMandatoryComponentsIfNecessary();
    EXPECT_EQ(1u, lumo_test::count_occurrences(log.text(), "unselectInvisibleNonMandatoryComponentsIfNecessary: finished"));
}

TEST_F(TsdTest, ArchitectureVariantsShowOneAndCarryTheSelection) {
    const std::string media = product(
        1, "p",
        comp(1, "t32", "", "<ArchGroup>Tools</ArchGroup><Selected>1</Selected>") + comp(2, "t64", "", "<ArchGroup>Tools</ArchGroup><Selected>1</Selected>") +
            comp(3, "other", "", "<Selected>1</Selected>"));
    ASSERT_EQ(0, load(media));
    find("t32")->m_platform = "KX32";
    find("t64")->m_platform = "VEXAN64";
    set("ARCH_32_SELECTED", "1");
    set("ARCH_64_SELECTED", "1");
    EXPECT_EQ(0, tsd().architectureConfiguration());
    EXPECT_EQ(1, find("t32")->m_invisible);
    EXPECT_EQ(0, find("t64")->m_invisible);
    EXPECT_EQ("1", env_get_string(&session_, std::string("ARCH_64_SELECTED_OLD")));
    // The hidden 32-bit variant follows its visible peer.
    tsd().selectUnselectComponent(find("t64"), 0, false);
    tsd().unselectInvisibleNonMandatoryComponentsIfNecessary();
    EXPECT_EQ("other", selected());
    tsd().selectUnselectComponent(find("t64"), 1, false);
    tsd().unselectInvisibleNonMandatoryComponentsIfNecessary();
    EXPECT_EQ("t32;t64;other", selected());
    // 32-bit only: the 64-bit variant is hidden and dropped.
    set("ARCH_64_SELECTED", "0");
    tsd().architectureConfiguration();
    EXPECT_EQ(0, find("t32")->m_invisible);
    EXPECT_EQ(1, find("t64")->m_invisible);
    EXPECT_EQ("t32;other", selected());
    // Back to 64-bit from 32-bit: the 64-bit variant takes the 32-bit one's selection.
    set("ARCH_32_SELECTED", "0");
    set("ARCH_64_SELECTED", "1");
    set("ARCH_64_SELECTED_OLD", "0");
    tsd().architectureConfiguration();
    EXPECT_EQ(1, find("t32")->m_invisible);
    EXPECT_EQ("t64;other", selected());
}

TEST_F(TsdTest, TotalsAndSpaceRequestsPerFolder) {
    ASSERT_EQ(0, load(product(1, "p1", comp(1, "a", "", "<Data>10</Data><Selected>1</Selected>") +
                                           comp(2, "b", "", "<Data>20</Data>"),
                              "<InstallDir>/opt/one</InstallDir>") +
                      product(2, "p2", comp(1, "c", "core=\"1\"", "<Data>300</Data><Selected>1</Selected>"),
                              "<InstallSubdir>/suite</InstallSubdir>")));
    set("LUMO_INSTALL_DIR", "/srv/main");
    EXPECT_EQ(310, tsd().getTotalInstallSize());
    std::string sizes, dirs, names;
    tsd().prepareInstallSizeRequest(sizes, dirs, names, "msg");
    EXPECT_EQ("10;300;", sizes);
    EXPECT_EQ("/opt/one;/srv/main;", dirs);
    EXPECT_EQ("msg_;msg__;", names);
    EXPECT_EQ("/suite", tsd().getLumoCoreSubdir());
    find("c")->m_installed = true;
    EXPECT_EQ(10, tsd().getTotalInstallSize());
    const struct {
        const char* map;
        const char* id;
        int dyn;
    } rows[] = {{"1,4;2,5", "2", 5}, {"1,4;2,5", "3", -1}, {"1,4;bad;2,5", "2", -1}, {"", "1", -1}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.map);
        EXPECT_EQ(r.dyn, tsd().getDynIdById(r.map, r.id));
    }
    EXPECT_EQ(-1, tsd().getDynIdById(nullptr, "1"));
}

TEST_F(TsdTest, BulkSelectionsPerMode) {
    const std::string media =
        product(1, "p", comp(1, "a", "", "<Selected>1</Selected>") + comp(2, "b") +
                            comp(3, "c", "", "<NONRPMProductCode>missing.rpm</NONRPMProductCode>") + comp(4, "d"));
    const struct {
        const char* mode;
        const char* operation;
        bool listed;
        const char* selected;
    } rows[] = {
        {"", "all available", false, "a"},
        {"modify", "all available", false, "b;c"},
        {"", "install or uninstall", false, "a;d"},
        {"modify", "install or uninstall", false, "b"},
        {"", "chosen", true, "a;b;d"},
        {"", "chosen", false, "a"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.mode) + " " + r.operation + (r.listed ? " listed" : ""));
        ASSERT_EQ(0, load(media));
        env_remove(&session_, "COMPONENTS");
        set("LUMO_MODE", r.mode);
        if (r.listed) set("COMPONENTS", "x");
        find("b")->m_installed = true;
        const std::string operation = r.operation;
        if (operation == "all available") tsd().selectAllAvailableProducts();
        else if (operation == "install or uninstall") tsd().setAllProductsToInstallUninstall();
        else tsd().selectChosenProducts();
        EXPECT_EQ(r.selected, selected());
    }
    // Uninstalling everything that is installed is a full uninstall; keeping one is not.
    ASSERT_EQ(0, load(media));
    set("LUMO_MODE", "uninstall");
    find("b")->m_installed = true;
    find("b")->m_selected = true;
    EXPECT_TRUE(tsd().isFullUninstall());
    EXPECT_FALSE(tsd().isComponentListEmpty());
    find("b")->m_selected = false;
    EXPECT_FALSE(tsd().isFullUninstall());
    EXPECT_TRUE(tsd().isComponentListEmpty());
}
