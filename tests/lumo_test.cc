#include "lumo.h"

#include <gtest/gtest.h>

#include <csignal>

#include "actions.h"
#include "env.h"
#include "productxml.h"
#include "test_util.h"
#include "tsd.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

const std::string good_component =
    "<Component id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>c</Name><Abbr>c</Abbr>"
    "<RPMFileDir>${PAYLOAD}</RPMFileDir><NONRPMProductCode>p.rpm</NONRPMProductCode><Data>5</Data>"
    "<Selected>1</Selected></Component>";

std::string product_with(const std::string& body, const std::string& attrs = "id=\"1\"") {
    return "<Product " + attrs + " platform=\"KX32;KX64;VEXAN64\"><Name>P</Name><Abbr>P</Abbr>" + body + "</Product>";
}

class LumoTest : public ::testing::Test {
protected:
    void SetUp() override {
        write_file_text(dir_.file("p.rpm"), "payload");
        set("CONFIG_DIR", dir_.path());
        set("PAYLOAD", dir_.path());
    }
    void set(const char* name, const std::string& value) { env_set_string(&session_, name, value); }
    std::string get(const char* name) { return env_get_string(&session_, std::string(name)); }
    int init(const std::string& media) {
        write_file_text(dir_.file("mediaconfig.xml"), media);
        return lumo_init_products_list(&session_);
    }

    session_t session_;
    TempDir dir_;
};

}  // namespace

TEST_F(LumoTest, BrokenMediaDescriptionsFailTheActionCleanly) {
    std::string many = "<Media>";
    for (int i = 0; i < 1100; ++i) many += product_with(good_component, "id=\"" + std::to_string(i) + "\"");
    many += "</Media>";
    const struct {
        const char* name;
        std::string media;
        const char* line;
    } rows[] = {
        {"not xml", "<Media><Product", "ERROR: : lumo_init_products_list: failed to parse mediaconfig.xml file"},
        {"empty", "", "ERROR: : lumo_init_products_list: failed to parse mediaconfig.xml file"},
        {"product without id", "<Media>" + product_with(good_component, "") + "</Media>",
         "ERROR: : lumo_init_products_list: element 'Product' has no attribute 'id'"},
        {"id not a number", "<Media>" + product_with(good_component, "id=\"one\"") + "</Media>",
         "ERROR: : lumo_init_products_list: attribute 'id' of element 'Product' is not a number: 'one'"},
        {"size not a number",
         "<Media>" + product_with("<Component id=\"1\"><Data>12x</Data></Component>") + "</Media>",
         "ERROR: : lumo_init_products_list: size '12x' of component 1 is not a number of megabytes"},
        {"flag not a number",
         "<Media>" + product_with("<Component id=\"1\" mandatory=\"yes\"/>") + "</Media>",
         "ERROR: : lumo_init_products_list: attribute 'mandatory' of element 'Component' is not a number: 'yes'"},
        {"thousands of products", many, "ERROR: : lumo_init_products_list: failed to parse mediaconfig.xml file"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        LogCapture log;
        EXPECT_EQ(-1, init(r.media));
        EXPECT_TRUE(log.has_line(r.line)) << log.text();
    }
    set("CONFIG_DIR", dir_.file("absent"));
    EXPECT_EQ(-1, lumo_init_products_list(&session_));
    EXPECT_EQ(-1, lumo_init_products_list(nullptr));
}

TEST_F(LumoTest, MediaDescriptionFillsTheSuiteAndTheTree) {
    const std::string media =
        "<Media><Name>Vexan\nSuite</Name><Description>d</Description><GUID>g-1</GUID><Cafe>KX32</Cafe>" +
        product_with(good_component +
                         "<Component id=\"2\" platform=\"NOWHERE\"><Abbr>gone</Abbr></Component>"
                         "<Component id=\"3\" platform=\"KX32;KX64;VEXAN64\" depend=\"1.1\" mandatory=\"1\" "
                         "invisible=\"1\" core=\"1\"><Abbr>x</Abbr><ProxyURL>http://h/${PAYLOAD}</ProxyURL>"
                         "<Selected>0</Selected><InstallDir>${KEEP}</InstallDir><Type>tgz</Type></Component>"
                         "<Layers><ui><color>${PAYLOAD}</color></ui></Layers>",
                     "id=\"7\"") +
        "<Product id=\"8\" platform=\"NOWHERE\"/></Media>";
    ASSERT_EQ(0, init(media));
    EXPECT_EQ("Vexan\nSuite", get("SUITE_NAME_MULTILINE"));
    EXPECT_EQ("Vexan Suite", get("SUITE_NAME"));
    EXPECT_EQ("g-1", get("SUITE_GUID"));
    EXPECT_EQ("KX32", get("SUITE_CAFE"));
    EXPECT_EQ("yes", get("THIRD_PARTY_COMPONENTS"));
    ASSERT_EQ(1u, session_.tsd->products().size());
    Component* product = session_.tsd->products()[0];
    EXPECT_EQ(7, product->m_depId);
    EXPECT_EQ(dir_.path(), product->m_layers["ui"]["color"]);
    ASSERT_EQ(2u, product->subcomponents().size());
    const Component* c = product->subcomponents()[0];
    EXPECT_TRUE(c->m_selected && c->m_defaultSelected);
    EXPECT_EQ(5, c->m_installSize);
    const Component* x = product->subcomponents()[1];
    EXPECT_EQ("1.1", x->m_depend);
    EXPECT_TRUE(x->m_mandatory && x->m_invisible && x->m_core);
    EXPECT_EQ("http://h/" + dir_.path(), x->m_proxyURL);
    EXPECT_EQ("${KEEP}", x->m_installDir);
    EXPECT_FALSE(x->m_defaultSelected);
    EXPECT_NE(nullptr, x->provider());
    EXPECT_EQ(1u, session_.tsd->context().providers.size());
    // Without a download manager the third party component cannot be described: no success.
    LogCapture log;
    EXPECT_EQ(-1, initialize_3rdparty_components_structures(&session_));
    EXPECT_TRUE(log.has_line("ERROR: : initialize_3rdparty_components_structures: failed to download proxy file 'http://h/" +
                             dir_.path() + "'"));
}

TEST_F(LumoTest, AGuidThatCannotNameAFileGivesNoMarker) {
    LogCapture log;
    ASSERT_EQ(0, init("<Media><GUID>../../victim</GUID>" + product_with(good_component, "id=\"1\"") + "</Media>"));
    EXPECT_FALSE(env_exists(&session_, "SUITE_GUID"));
    EXPECT_TRUE(log.has_line("ERROR: : lumo_init_products_list: GUID '../../victim' can not name a file, the suite "
                             "has no marker"));
}

TEST_F(LumoTest, InstallModeFollowsRootAndRpmAvailability) {
    const struct {
        const char* root;
        const char* is_rpm;
        bool shared;
        const char* preset;
        const char* mode;
    } rows[] = {
        {"yes", "", false, "", "RPM"},  {"no", "", false, "", "NONRPM"},    {"yes", "no", false, "", "NONRPM"},
        {"yes", "", true, "", "NONRPM"}, {"no", "", false, "RPM", "RPM"}, {"", "no", false, "RPM", "NONRPM"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.root) + "/" + r.is_rpm + "/" + r.preset);
        session_t session;
        env_set_string(&session, "CONFIG_DIR", dir_.path());
        env_set_string(&session, "IS_ROOT", r.root);
        if (*r.is_rpm) env_set_string(&session, "IS_RPM", r.is_rpm);
        if (r.shared) env_set_string(&session, "SHARED_INSTALL", "1");
        if (*r.preset) env_set_string(&session, "INSTALL_MODE", r.preset);
        write_file_text(dir_.file("mediaconfig.xml"), "<Media/>");
        EXPECT_EQ(0, lumo_init_products_list(&session));
        EXPECT_EQ(r.mode, env_get_string(&session, std::string("INSTALL_MODE")));
    }
}

TEST_F(LumoTest, InstallFolderFromPeersAndSubfolders) {
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> properties;
        const char* dir;
        const char* dirname;
        const char* levels;
    } rows[] = {
        {"clean install without subfolder", {}, "<unset>", "<unset>", "<unset>"},
        {"clean install", {{"LUMO_INSTALL_SUBDIR", "/a/b"}}, "<unset>", "<unset>", "2"},
        {"peer two levels", {{"SXS_PEER_DIR", "/opt/vexan/a/b"}, {"SXS_PEER_SUBDIR", "a/b"}, {"LUMO_INSTALL_SUBDIR", "/n"}},
         "/opt/vexan/n", "/opt/vexan", "1"},
        {"peer without subdir uses own levels", {{"SXS_PEER_DIR", "/opt/x/old/"}, {"LUMO_INSTALL_SUBDIR", "/new"}},
         "/opt/x/new", "/opt/x", "1"},
        {"self detected", {{"LUMO_SELF_PEER_DIR", "/srv/s/sub"}, {"LUMO_SELF_PEER_SUBDIR", "/sub"}}, "/srv/s/core",
         "/srv/s", "1"},
        {"subfolder without separator", {{"SXS_PEER_DIR", "/srv/p"}, {"SXS_PEER_SUBDIR", ""}, {"LUMO_INSTALL_SUBDIR", "q"}},
         "/srv/p/q", "/srv/p", "0"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        session_t session;
        session.tsd = std::make_unique<TSD>(&session);
        auto product = std::make_unique<Component>(&session);
        product->m_installSubdir = "/core";
        auto core = std::make_unique<Component>(&session);
        core->m_core = true;
        product->addSubcomponent(std::move(core));
        session.tsd->addProduct(std::move(product));
        for (const auto& p : r.properties) env_set_string(&session, p.first, p.second);
        EXPECT_EQ(0, set_lumo_install_dir_and_dirname(&session));
        auto value = [&](const char* name) {
            return env_exists(&session, std::string(name)) ? env_get_string(&session, std::string(name))
                                                           : std::string("<unset>");
        };
        EXPECT_EQ(r.dir, value("LUMO_INSTALL_DIR"));
        EXPECT_EQ(r.dirname, value("LUMO_INSTALL_DIR_DIRNAME"));
        EXPECT_EQ(r.levels, value("LUMO_INSTALL_SUBDIR_LEVELS"));
    }
}

TEST_F(LumoTest, SpaceRequirementsMergeByMessage) {
    set("LUMO_SPACE_REQUIREMENT_DIR", "/a;/b;");
    set("LUMO_SPACE_REQUIREMENT_SIZE", "1;2;");
    set("LUMO_SPACE_REQUIREMENT_MESSAGE", "m_b;m_a;");
    set("LUMO_SPACE_REQUIREMENT_DIR_REQUEST", "/c;;");
    set("LUMO_SPACE_REQUIREMENT_SIZE_REQUEST", "3;4;");
    set("LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST", "m_a;m_c;");
    LogCapture log;
    EXPECT_EQ(0, lumo_add_space_requirement(&session_));
    EXPECT_EQ("/c;/a;;", get("LUMO_SPACE_REQUIREMENT_DIR"));
    EXPECT_EQ("3;1;4;", get("LUMO_SPACE_REQUIREMENT_SIZE"));
    EXPECT_EQ("m_a;m_b;m_c;", get("LUMO_SPACE_REQUIREMENT_MESSAGE"));
    EXPECT_EQ("", get("LUMO_SPACE_REQUIREMENT_DIR_REQUEST"));
    EXPECT_TRUE(log.has_line("lumo_add_space_requirement: updating existing requirement for message m_a: OLD: 2 MB in "
                             "directory /b, NEW: 3 MB in directory /c"));
    set("LUMO_SPACE_REQUIREMENT_DIR_REQUEST", "/c;");
    set("LUMO_SPACE_REQUIREMENT_SIZE_REQUEST", "3;4;");
    set("LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST", "m_a;m_c;");
    EXPECT_EQ(-1, lumo_add_space_requirement(&session_));
    EXPECT_TRUE(log.has_line("ERROR: : lumo_add_space_requirement: variables LUMO_SPACE_REQUIREMENT_DIR_REQUEST, "
                             "LUMO_SPACE_REQUIREMENT_SIZE_REQUEST and LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST contain "
                             "different amount of parameters"));
    set("LUMO_SPACE_REQUIREMENT_DIR_REQUEST", "");
    EXPECT_EQ(0, lumo_add_space_requirement(&session_));
    EXPECT_TRUE(log.has_line("lumo_add_space_requirement: LUMO_SPACE_REQUIREMENT_DIR_REQUEST is empty. Exiting"));
}

TEST_F(LumoTest, DiskSpaceCountsDownloadsInWholeMegabytes) {
    ASSERT_EQ(0, init("<Media>" + product_with(good_component) + "</Media>"));
    session_.tsd->resolveDependencies();
    set("TEMP_FOLDER", "/scratch");
    set("PACKAGE_DIR", "/pkg");
    set("LUMO_INSTALL_DIR", "/inst");
    set("THIRD_PARTY_COMPONENTS", "no");
    const struct {
        int64_t bytes;
        const char* download;
    } rows[] = {{0, ""}, {1, "1"}, {1048576, "2"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.bytes);
        set("ONLINE_INSTALLER_MODE", "1");
        session_.tsd->products()[0]->subcomponents()[0]->m_downloadSize = r.bytes;
        for (const char* name : {"LUMO_SPACE_REQUIREMENT_DIR", "LUMO_SPACE_REQUIREMENT_SIZE", "LUMO_SPACE_REQUIREMENT_MESSAGE"})
            set(name, "");
        EXPECT_EQ(0, lumo_calculate_require_disk_space(&session_));
        EXPECT_EQ("5", get("TOTAL_REQUIRED_DISK_SPACE"));
        EXPECT_EQ(r.download, get("TOTAL_REQUIRED_DOWNLOAD_DISK_SPACE"));
        // In the order of the message names: download, install, temporary.
        const std::string expected_dirs = std::string(*r.download ? "/pkg;" : "") + "/inst;/scratch;";
        EXPECT_EQ(expected_dirs, get("LUMO_SPACE_REQUIREMENT_DIR"));
    }
    EXPECT_EQ("2;5;10;", get("LUMO_SPACE_REQUIREMENT_SIZE"));
}

TEST_F(LumoTest, FillAbbrListsTheSelectionOnceAndTheInstallType) {
    set("tool_selection_full_install_type", "Full");
    set("tool_selection_custom_install_type", "Custom");
    const std::string second = "<Component id=\"2\" platform=\"KX32;KX64;VEXAN64\"><Abbr>d</Abbr>"
                               "<RPMFileDir>${PAYLOAD}</RPMFileDir><NONRPMProductCode>p.rpm</NONRPMProductCode></Component>";
    ASSERT_EQ(0, init("<Media>" + product_with(good_component + second) + "</Media>"));
    struct sigaction saved {};
    sigaction(SIGINT, nullptr, &saved);
    EXPECT_EQ(0, lumo_fill_abbr_var(&session_));
    EXPECT_EQ(0, lumo_fill_abbr_var(&session_));
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(SIG_IGN, now.sa_handler);  // the installation that follows is not interrupted
    sigaction(SIGINT, &saved, nullptr);
    EXPECT_EQ(";c", get("PRODUCTS_ABBR_TO_INSTALL"));
    EXPECT_EQ(";" + dir_.path() + "/p.rpm", get("PRODUCTS_RPMS_TO_INSTALL"));
    EXPECT_EQ("Custom", get("TSD_INSTALL_TYPE"));
    set("LUMO_MEDIA_d_selected", "1");
    lumo_fill_abbr_var(&session_);
    EXPECT_EQ(";c;d", get("PRODUCTS_ABBR_TO_INSTALL"));
    EXPECT_EQ("Full", get("TSD_INSTALL_TYPE"));
    EXPECT_EQ("c;d", get("LUMO_MEDIA"));
    EXPECT_EQ("1", get("LUMO_MEDIA_d_selected"));
    set("IS_COMPONENT_LIST_EMPTY", "");
    EXPECT_EQ(0, lumo_is_component_list_empty(&session_));
    EXPECT_EQ("", get("IS_COMPONENT_LIST_EMPTY"));
    set("LUMO_MEDIA_c_selected", "0");
    set("LUMO_MEDIA_d_selected", "0");
    lumo_is_component_list_empty(&session_);
    EXPECT_EQ("yes", get("IS_COMPONENT_LIST_EMPTY"));
    EXPECT_EQ(0, lumo_actions_register(&session_));
    EXPECT_EQ(0, actions_is_valid(&session_, "lumo_configure_products_list"));
}

TEST(ProductXmlTest, FilesAreReadAndNamesLeavingTheFolderAreRefused) {
    TempDir dir;
    const struct {
        const char* name;
        const char* xml;
        bool parsed;
    } rows[] = {
        {"good", "<product><file name=\"a.rpm\" path=\"x/y\" cksum=\"1\" size=\"12\" perm=\"644\"/><other/></product>", true},
        {"absolute path", "<product><file name=\"a.rpm\" path=\"/etc\" size=\"1\"/></product>", false},
        {"dot dot", "<product><file name=\"a.rpm\" path=\"x/../..\" size=\"1\"/></product>", false},
        {"name with a folder", "<product><file name=\"../a.rpm\" path=\"x\" size=\"1\"/></product>", false},
        {"size not a number", "<product><file name=\"a.rpm\" size=\"1k\"/></product>", false},
        {"perm not octal", "<product><file name=\"a.rpm\" perm=\"9\"/></product>", false},
        {"broken", "<product><file", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        write_file_text(dir.file("product.xml"), r.xml);
        ProductXML description;
        EXPECT_EQ(r.parsed, description.parseProductXML(dir.file("product.xml"), "http://h"));
    }
    ProductXML description;
    write_file_text(dir.file("product.xml"), rows[0].xml);
    ASSERT_TRUE(description.parseProductXML(dir.file("product.xml"), "http://h"));
    const product_file_t* file = description.getFileToDownloadByFilename("a.rpm");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ("http://h/x/y/a.rpm", file->url);
    EXPECT_EQ(12, file->size);
    EXPECT_EQ(0644u, file->perm);
    EXPECT_EQ(nullptr, description.getFileToDownloadByFilename("b.rpm"));
    EXPECT_FALSE(description.parseProductXML(dir.file("missing.xml"), "http://h"));
    // The checksum is that of the POSIX cksum tool.
    write_file_text(dir.file("data"), "hello\n");
    std::string expected;
    lumo_test::run_command("cksum " + lumo_test::quote(dir.file("data")) + " | cut -d' ' -f1 | tr -d '\\n'", &expected);
    EXPECT_EQ(expected, product_file_cksum(dir.file("data")));
    product_file_t entry;
    entry.cksum = expected;
    EXPECT_TRUE(ProductXML::verifyChecksum(entry, dir.file("data")));
    entry.cksum = "1";
    EXPECT_FALSE(ProductXML::verifyChecksum(entry, dir.file("data")));
    EXPECT_FALSE(ProductXML::verifyChecksum(entry, dir.file("absent")));
}
