#include "contentsproviderrpm.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>

#include "env.h"
#include "log.h"
#include "rpm_package.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;

namespace {

namespace fs = std::filesystem;

const char* const package_file = "lumotest-1.2-3.noarch.rpm";

class RpmProviderTest : public ::testing::Test {
protected:
    // One relocatable package with scriptlets per payload compressor, built once.
    static void SetUpTestSuite() {
        if (!lumo_test::rpmbuild_missing().empty()) return;
        work_ = new TempDir;
        for (const char* payload : {"w9.gzdio", "w6.xzdio", "w19.zstdio", "w9.bzdio"}) {
            lumo_test::RpmSpec spec;
            spec.payload = payload;
            spec.install = R"(mkdir -p "$P/bin" "$P/share"
printf '#!/bin/sh\necho hi\n' > "$P/bin/tool"; chmod 0750 "$P/bin/tool"
ln -s tool "$P/bin/link"
echo data > "$P/share/data"; ln "$P/share/data" "$P/share/hard")";
            spec.scripts = R"(%pre
echo "pre $1 $RPM_INSTALL_PREFIX" >> "$RPM_INSTALL_PREFIX.log"
%post
test -f "$RPM_INSTALL_PREFIX/bin/tool" && echo "post $1" >> "$RPM_INSTALL_PREFIX.log"
%preun
test -f "$RPM_INSTALL_PREFIX/bin/tool" && echo "preun $1" >> "$RPM_INSTALL_PREFIX.log"
%postun
test -f "$RPM_INSTALL_PREFIX/bin/tool" || echo "postun $1" >> "$RPM_INSTALL_PREFIX.log")";
            const std::string folder = work_->file(payload);
            std::string output;
            const std::string rpm = lumo_test::build_rpm(folder, spec, &output);
            ASSERT_FALSE(rpm.empty()) << output;
            packages_[payload] = rpm;
        }
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
        packages_.clear();
    }
    void SetUp() override {
        const std::string missing = lumo_test::rpmbuild_missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
        for (const char* d : {"db", "tmp"}) fs::create_directories(dir_.file(d));
        env_set_string(&session_, "NONRPM_DB_DIR", dir_.file("db").c_str());
        env_set_string(&session_, "TEMP_FOLDER", dir_.file("tmp").c_str());
        env_set_string(&session_, "log_file", dir_.file("engine.log").c_str());
        env_set_string(&session_, "RPM_DBPATH", dir_.file("rpmdb").c_str());
        provider_.m_session = &session_;
    }
    // A prefix whose characters a shell would otherwise take as code.
    std::string prefix() const { return dir_.file("in st$all;`touch x`'q\"d"); }
    void check_installed(const std::string& p) {
        struct stat st;
        ASSERT_EQ(0, stat((p + "/bin/tool").c_str(), &st));
        EXPECT_EQ(0750u, st.st_mode & 07777);
        EXPECT_EQ("tool", fs::read_symlink(p + "/bin/link").string());
        EXPECT_EQ("data\n", read_file(p + "/share/hard"));
        EXPECT_EQ(2u, fs::hard_link_count(p + "/share/data"));
        EXPECT_EQ("pre 1 " + p + "\npost 1\n", read_file(p + ".log"));
        EXPECT_FALSE(fs::exists(dir_.file("tmp/x")) || fs::exists("x"));
    }

    static TempDir* work_;
    static std::map<std::string, std::string> packages_;
    TempDir dir_;
    LogCapture log_;
    session_t session_;
    ContentsProviderRpm provider_;
};
TempDir* RpmProviderTest::work_ = nullptr;
std::map<std::string, std::string> RpmProviderTest::packages_;

TEST_F(RpmProviderTest, OwnExtractionInstallsEachCompressionAndRemovesEverything) {
    env_set_string(&session_, "INSTALL_MODE", "NONRPM");
    for (const char* payload : {"w9.gzdio", "w6.xzdio", "w19.zstdio"}) {
        SCOPED_TRACE(payload);
        const std::string p = prefix();
        ASSERT_EQ(0, provider_.installFile(packages_[payload], p, ""));
        check_installed(p);
        const std::string script = read_file(p + "/.scripts/PREIN." + package_file);
        EXPECT_EQ(0u, script.find("#!/bin/sh\nRPM_INSTALL_PREFIX='"));
        EXPECT_EQ("Test package lumotest", read_file(p + "/.scripts/SUMMARY." + package_file));
        EXPECT_TRUE(log_.has_line("nonrpm_install_item: default prefix is /opt/lumotest"));
        EXPECT_TRUE(log_.has_line("nonrpm_install_item: rpm name is lumotest"));

        ContentsProviderRpm later;
        later.m_session = &session_;
        ASSERT_EQ(0, later.registerFiles(""));
        ContentsItem* item = later.findItem("ignored", package_file, "ignored");
        ASSERT_NE(nullptr, item);
        EXPECT_EQ("lumotest", item->m_id);
        EXPECT_EQ("1.2.3", item->m_version);
        EXPECT_EQ(p, item->m_prefix);
        EXPECT_NE(std::string::npos, read_file(item->m_listFile).find(p + "/bin/tool\n"));

        ASSERT_EQ(0, later.uninstallFile("", package_file));
        EXPECT_EQ("pre 1 " + p + "\npost 1\npreun 0\npostun 0\n", read_file(p + ".log"));
        EXPECT_FALSE(fs::exists(p));
        EXPECT_FALSE(fs::exists(item->m_listFile));
        EXPECT_TRUE(fs::is_empty(dir_.file("db")));
        EXPECT_TRUE(fs::is_empty(dir_.file("tmp")));
        fs::remove(p + ".log");
        EXPECT_EQ(-1, later.uninstallFile("", package_file));
    }
}

TEST_F(RpmProviderTest, UnreadablePackagesFailAndRecordNothing) {
    env_set_string(&session_, "INSTALL_MODE", "NONRPM");
    const std::string cut = dir_.file("cut.rpm");
    lumo_test::write_file_text(cut, read_file(packages_["w9.gzdio"]).substr(0, 300));
    const std::string damaged = dir_.file(package_file);
    std::string bytes = read_file(packages_["w9.gzdio"]);
    bytes.resize(bytes.size() - 40);  // the payload ends early
    lumo_test::write_file_text(damaged, bytes);
    const struct {
        std::string package;
        const char* log;
    } rows[] = {
        {packages_["w9.bzdio"], "payload_open: the payload's compression is not supported"},
        {cut, "nonrpm_install_item: unable to extract data from RPM package "},
        {damaged, "payload_source: the gzip stream is truncated"},
        {dir_.file("missing.rpm"), "nonrpm_install_item: unable to extract data from RPM package "},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.package);
        EXPECT_EQ(-1, provider_.installFile(r.package, prefix(), ""));
        EXPECT_NE(std::string::npos, log_.text().find(r.log));
        EXPECT_TRUE(!fs::exists(prefix()) || fs::is_empty(prefix()));
        EXPECT_TRUE(fs::is_empty(dir_.file("db")));
    }
    // Over an installation of the package, a damaged copy of it leaves the files, the scripts and
    // the record as they were.
    ASSERT_EQ(0, provider_.installFile(packages_["w9.gzdio"], prefix(), ""));
    const std::string db = read_file(dir_.file("db/vexan_kwq_products.db"));
    ASSERT_NE(std::string::npos, db.find(prefix()));
    EXPECT_EQ(-1, provider_.installFile(damaged, prefix(), ""));
    EXPECT_EQ(db, read_file(dir_.file("db/vexan_kwq_products.db")));
    EXPECT_EQ("data\n", read_file(prefix() + "/share/data"));
    EXPECT_TRUE(fs::exists(prefix() + "/bin/tool"));
    EXPECT_TRUE(fs::exists(prefix() + "/.scripts/PREUN." + package_file));
}

TEST_F(RpmProviderTest, SystemRouteUsesThePrivateDatabaseAndQuotesNothingIntoAShell) {
    env_set_string(&session_, "INSTALL_MODE", "RPM");
    const std::string p = prefix();
    ASSERT_EQ(0, provider_.installFile(packages_["w9.gzdio"], p, ""));
    check_installed(p);
    EXPECT_TRUE(log_.text().find("ContentsProviderRpm::installFile: command rpm --dbpath " + dir_.file("rpmdb") +
                                 " -ivh --ignorearch --oldpackage --force --nodeps") != std::string::npos);
    ASSERT_EQ(0, provider_.registerFiles("^lumotest-"));
    ContentsItem* item = provider_.findItem("", package_file, "");
    ASSERT_NE(nullptr, item);
    EXPECT_EQ("lumotest", item->m_id);
    EXPECT_EQ("1.2.3", item->m_version);
    EXPECT_EQ(p, item->m_prefix);
    EXPECT_EQ("Test package lumotest", item->m_summary);
    EXPECT_EQ(-1, provider_.registerFiles("("));
    EXPECT_TRUE(log_.has_line("ERROR: : ContentsProviderRpm::registerFilesRpm: unable to compile regular expression."));

    ASSERT_EQ(0, provider_.uninstallFile("", package_file));
    EXPECT_TRUE(log_.has_line("ContentsProviderRpm::uninstallFile: command rpm --dbpath " + dir_.file("rpmdb") +
                              " -e --nodeps lumotest-1.2-3.noarch"));
    EXPECT_FALSE(fs::exists(p));
    EXPECT_NE(0, lumo_test::run_command("rpm --dbpath " + dir_.file("rpmdb") + " -q lumotest >/dev/null 2>&1"));
}

}  // namespace
