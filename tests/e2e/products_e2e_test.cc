// Runs the built engine on a package around the sample media description: a sequence calls the
// product-list actions and copies what they decided (and the LUMO_MEDIA properties) into
// properties of its own, read back from the log. Installed state comes from the real back-ends:
// archives and an RPM installed beforehand with lumo-backend, and a private rpm database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "rpm_package.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::quote;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

const char* const archives[] = {"rt_core", "rt_lib", "rt_docs", "an_plugins", "tools_kx", "tools_vexan",
                                "tools_helper"};

// Each built-in in turn, its result kept; then the copies the test reads.
std::string products_module() {
    const char* steps[][2] = {
        {"lumo_init_products_list", "R_INIT"},
        {"lumo_configure_products_list", "R_CONF"},
        {"lumo_reindex_products_list", "R_REINDEX"},
        {"lumo_init_architecture_configuration", "R_ARCH"},
        {"lumo_fill_abbr_var", "R_FILL"},
        {"lumo_is_component_list_empty", "R_EMPTY"},
    };
    std::string actions;
    const size_t count = sizeof(steps) / sizeof(steps[0]);
    for (size_t i = 0; i < count; ++i) {
        const std::string next = i + 1 < count ? steps[i + 1][0] : "dump";
        actions += "<action id=\"" + std::string(steps[i][0]) + "\" type=\"built_in\" func=\"" + steps[i][0] +
                   "\"><set property=\"" + steps[i][1] + "\" value=\"${EXIT_CODE}\"/><next call=\"" + next +
                   "\"/></action>";
    }
    std::string dump = "<action id=\"dump\"><set property=\"D_MEDIA\" value=\"${LUMO_MEDIA}\"/>";
    for (const char* state : {"selected", "installed", "skipped"}) {
        std::string value;
        for (const char* abbr : {"rt_core", "rt_lib", "rt_docs", "an_core", "an_plugins", "tools_kx", "tools_vexan",
                                 "tools_helper"})
            value += std::string("${LUMO_MEDIA_") + abbr + "_" + state + "}";
        dump += "<set property=\"D_" + std::string(state) + "\" value=\"" + value + "\"/>";
    }
    dump += "<next call=\"_finish_\"/></action>";
    return "<module><behavior>" + actions + dump + "</behavior></module>";
}

class ProductsE2E : public SeqPackage {
protected:
    void SetUp() override {
        stage("product.ini", "PRODUCT_NAME=Products\nPRODUCT_VERSION=1.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"products.xml\" component=\"_internal_\" "
                          "action=\"lumo_init_products_list\"/></sequence>");
        stage("products.xml", products_module());
        pack();
        std::filesystem::copy_file(lumo_test::source_dir() + "/examples/media/mediaconfig.xml",
                                   m_dir.file("pkg/config/mediaconfig.xml"));
        std::filesystem::create_directories(m_dir.file("pkg/payload"));
        std::filesystem::create_directories(m_dir.file("db"));
        for (const char* name : archives) {
            const std::string src = m_dir.file(std::string("src/") + name);
            std::filesystem::create_directories(src + "/share");
            write_file_text(src + "/share/" + name + ".txt", name);
            ASSERT_EQ(0, run_command("tar czf " + quote(m_dir.file(std::string("pkg/payload/") + name + ".tar.gz")) +
                                     " -C " + quote(src) + " share"));
        }
    }

    // The analyzer's RPM in the payload folder; false (with the reason printed) when rpmbuild is
    // not there.
    bool build_analyzer() {
        if (!lumo_test::rpmbuild_missing().empty()) {
            std::cout << "skipped: " << lumo_test::rpmbuild_missing() << "\n";
            return false;
        }
        lumo_test::RpmSpec spec;
        spec.name = "vxanalyzer";
        spec.version = "2.0";
        spec.release = "1";
        spec.prefix = "/opt/vxanalyzer";
        spec.install = "mkdir -p \"$P/bin\" && echo analyzer > \"$P/bin/analyzer\"";
        std::string output;
        const std::string rpm = lumo_test::build_rpm(m_dir.file("rpmwork"), spec, &output);
        EXPECT_FALSE(rpm.empty()) << output;
        if (rpm.empty()) return false;
        std::filesystem::copy_file(rpm, m_dir.file("pkg/payload/vxanalyzer-2.0-1.noarch.rpm"));
        return true;
    }

    int backend(const std::string& args) {
        std::string output;
        const int status = run_command(quote(lumo_test::binary_dir() + "/bin/lumo-backend") + " " + args, &output, true);
        EXPECT_EQ(0, status) << output;
        return status;
    }

    int run(const std::string& args) {
        std::filesystem::create_directories(temp());
        return run_command("cd " + quote(m_dir.file("run")) + " && " + quote(m_dir.file("pkg/config/bin/lumo")) +
                               " --TEMP_FOLDER " + quote(temp()) + " --__keep_temp__ --NONRPM_DB_DIR " +
                               quote(m_dir.file("db")) + " " + args + " </dev/null >" + quote(m_dir.file("stdout")) +
                               " 2>&1",
                           nullptr);
    }
};

}  // namespace

TEST_F(ProductsE2E, FreshInstallOffersTheDefaultsAndCountsTheirSpace) {
    const bool have_rpm = build_analyzer();
    ASSERT_EQ(0, run("--INSTALL_MODE NONRPM --LUMO_INSTALL_DIR /srv/suite --tool_selection_custom_install_type Custom"));
    for (const char* result : {"R_INIT", "R_CONF", "R_REINDEX", "R_ARCH", "R_FILL", "R_EMPTY"}) {
        SCOPED_TRACE(result);
        EXPECT_EQ("0", value(result));
    }
    EXPECT_EQ("rt_core;rt_lib;rt_docs;an_core;an_plugins;tools_kx;tools_vexan;tools_helper", value("D_MEDIA"));
    EXPECT_EQ("00000000", value("D_installed"));
    if (!have_rpm) return;
    EXPECT_EQ("00000000", value("D_skipped"));
    // The 32-bit variant is hidden and follows the 64-bit one; docs and plug-ins are off by default.
    EXPECT_EQ("11010111", value("D_selected"));
    EXPECT_EQ(";rt_core;rt_lib;an_core;tools_kx;tools_vexan;tools_helper", value("PRODUCTS_ABBR_TO_INSTALL"));
    EXPECT_EQ("Custom", value("TSD_INSTALL_TYPE"));
    EXPECT_EQ("222", value("TOTAL_REQUIRED_DISK_SPACE"));
    EXPECT_EQ("222;" + std::to_string(2 * 120) + ";", value("LUMO_SPACE_REQUIREMENT_SIZE"));
    EXPECT_EQ("/srv/suite;" + temp() + ";", value("LUMO_SPACE_REQUIREMENT_DIR"));
    EXPECT_EQ("prerequisite_no_space_install_location_error_;prerequisite_no_space_temporary_location_error;",
              value("LUMO_SPACE_REQUIREMENT_MESSAGE"));
    EXPECT_EQ("yes", value("TSD_INIT_DONE"));
    EXPECT_EQ("1", value("ARCH_64_SELECTED_OLD"));
    EXPECT_TRUE(logged("lumo_architecture_configuration: Hiding component for different architecture: Command-line "
                       "tools (32-bit)"));
}

TEST_F(ProductsE2E, InstalledStateComesFromTheBackEnds) {
    const std::string prefix = m_dir.file("inst/runtime");
    for (const char* name : {"rt_core", "rt_lib"})
        ASSERT_EQ(0, backend("install tgz " + quote(m_dir.file(std::string("pkg/payload/") + name + ".tar.gz")) + " " +
                             quote(prefix) + " --db " + quote(m_dir.file("db"))));
    const bool have_rpm = build_analyzer();
    if (have_rpm) {
        ASSERT_EQ(0, backend("install rpm " + quote(m_dir.file("pkg/payload/vxanalyzer-2.0-1.noarch.rpm")) + " " +
                             quote(m_dir.file("inst/analyzer")) + " --mode NONRPM --db " + quote(m_dir.file("db"))));
    }
    ASSERT_EQ(0, run("--INSTALL_MODE NONRPM --LUMO_MODE modify"));
    EXPECT_EQ("0", value("R_CONF"));
    EXPECT_EQ(have_rpm ? "11010000" : "11000000", value("D_installed"));
    EXPECT_TRUE(logged("lumo_configure_products_list: install_status=partial"));
    // Found where the suite put it: the folder is taken from there and locked.
    EXPECT_EQ(have_rpm ? m_dir.file("inst/analyzer") : prefix, value("LUMO_SELF_PEER_DIR"));
    EXPECT_EQ(prefix, value("LUMO_INSTALL_DIR"));
    EXPECT_EQ(m_dir.file("inst"), value("LUMO_INSTALL_DIR_DIRNAME"));
    EXPECT_EQ("yes", value("LOCK_INSTALL_DIR"));

    // Uninstalling a suite of which nothing is installed: nothing to do.
    std::filesystem::remove_all(m_dir.file("db"));
    std::filesystem::create_directories(m_dir.file("db"));
    std::filesystem::remove_all(m_dir.file("run"));
    ASSERT_EQ(0, run("--INSTALL_MODE NONRPM --LUMO_MODE uninstall"));
    EXPECT_EQ("00000000", value("D_installed"));
    EXPECT_EQ("yes", value("LUMO_NOTHING_TO_UNINSTALL"));
    EXPECT_EQ("yes", value("LUMO_INSTALL_DIR_UNDEFINED"));
}

TEST_F(ProductsE2E, InstalledStateFromAPrivateRpmDatabase) {
    if (geteuid() != 0) GTEST_SKIP() << "installing through rpm needs root";
    if (!build_analyzer()) return;
    const std::string db = m_dir.file("rpmdb");
    ASSERT_EQ(0, run_command("rpm --initdb --dbpath " + quote(db)));
    ASSERT_EQ(0, backend("install rpm " + quote(m_dir.file("pkg/payload/vxanalyzer-2.0-1.noarch.rpm")) + " " +
                         quote(m_dir.file("inst/analyzer")) + " --mode RPM --rpm-dbpath " + quote(db)));
    ASSERT_EQ(0, run("--INSTALL_MODE RPM --RPM_DBPATH " + quote(db) + " --LUMO_MODE repair"));
    EXPECT_EQ("00010000", value("D_installed"));
    // Repair offers what is installed and skips the rest.
    EXPECT_EQ("11101111", value("D_skipped"));
    EXPECT_EQ(";an_core", value("PRODUCTS_ABBR_TO_INSTALL"));
}
