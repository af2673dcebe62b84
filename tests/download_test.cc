#include "download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "env.h"
#include "http_servers.h"
#include "lumo.h"
#include "lumo_download.h"
#include "progress.h"
#include "test_util.h"
#include "thirdparty.h"
#include "tsd.h"
#include "xml.h"

using lumo_test::exists_path;
using lumo_test::fault_body;
using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;
using File = DownloadManager::FileToDownload;

namespace {

template <typename Digest>
std::string digest_of(const std::string& text, size_t piece) {
    Digest digest;
    for (size_t at = 0; at < text.size(); at += piece)
        digest.update(reinterpret_cast<const unsigned char*>(text.data()) + at, std::min(piece, text.size() - at));
    return digest.finish();
}

std::string cksum_of(const std::string& text) { return digest_of<CksumCrc>(text, text.size() + 1); }

}  // namespace

TEST(DownloadChecksumTest, KnownValuesWhateverTheReadSizes) {
    const struct {
        std::string text;
        const char *cksum, *md5, *sha256;
    } rows[] = {
        {"", "4294967295", "d41d8cd98f00b204e9800998ecf8427e",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"a", "1220704766", "0cc175b9c0f1b6a831c399e269772661",
         "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"},
        {"123456789", "930766865", "25f9e794323b453885f5181f1b624d0b",
         "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"},
        {std::string(100000, 'x'), "1627735810", "d5816f35916d1d9482fb0f1ec201101d",
         "d69e68988157833272305aaf21f453c800346e8a3640db6578e260215542e5d4"},
    };
    for (const auto& r : rows) {
        for (size_t piece : {size_t(1), size_t(7), size_t(64), size_t(100001)}) {
            SCOPED_TRACE(std::to_string(r.text.size()) + " bytes in pieces of " + std::to_string(piece));
            EXPECT_EQ(r.cksum, digest_of<CksumCrc>(r.text, piece));
            EXPECT_EQ(r.md5, digest_of<Md5>(r.text, piece));
            EXPECT_EQ(r.sha256, digest_of<Sha256>(r.text, piece));
        }
    }
}

TEST(DownloadTest, NamesFromDescriptionsStayInTheirFolder) {
    const struct {
        const char* name;
        bool safe;
    } paths[] = {{"a/b", true}, {"..", false}, {"a/../b", false}, {"/etc", false}, {"a/..b", true}, {"", false}};
    for (const auto& p : paths) {
        SCOPED_TRACE(p.name);
        EXPECT_EQ(p.safe, download_path_is_safe(p.name, false));
    }
    const struct {
        const char *url, *name;
    } urls[] = {{"http://h/a/b.rpm?x=/y#z", "b.rpm"}, {"http://h", ""}, {"http://h/dir/", ""}, {"https://h/../x", "x"}};
    for (const auto& u : urls) {
        SCOPED_TRACE(u.url);
        EXPECT_EQ(u.name, download_name_from_url(u.url));
    }
    LogCapture log;
    DownloadManager manager({});
    for (const char* bad : {"../x", "/abs"}) EXPECT_FALSE(manager.enqueueFile("http://h/x", "/tmp", bad, "f", "", 1));
    EXPECT_FALSE(manager.enqueueFile("http://h/x", "/tmp", "", "a/../../f", "", 1));
    EXPECT_EQ(0, manager.getTotalDownloadCount());
}

TEST(DownloadTest, RemainingTimeTexts) {
    session_t session;
    for (const char* key : {"download_time_prefix", "download_less_than_a_minute_text", "download_minute",
                            "download_hour", "download_and"})
        env_set_string(&session, key, std::string(key).substr(9));
    const struct {
        int seconds;
        const char* text;
    } rows[] = {{59, "time_prefix less_than_a_minute_text"}, {60, "time_prefix 1 minute"},
                {3599, "time_prefix 59 minute"}, {3660, "time_prefix 1 hour and 1 minute"},
                {3661 + 3600, "time_prefix 2 hour and 1 minute"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.seconds);
        EXPECT_EQ(r.text, DownloadManager::getUserFriendlyDownloadTime(&session, r.seconds));
    }
}

TEST(DownloadTest, ProgressDrawsOncePerBlockOnTheConsoleOrInProperties) {
    session_t session;
    env_set_string(&session, "download_progress_text", "Getting ${NAME}");
    env_set_string(&session, "NAME", "a.rpm");
    progress_state_t state;
    state.session = &session;
    lumo_test::StdioRedirect out;
    out.output(STDOUT_FILENO);
    for (double received : {100000.0, 131071.0, 131072.0, 200000.0}) CLIProgressCallback(&state, 262144, received, 0, 0);
    out.restore();
    EXPECT_EQ("\r" + std::string(78, ' ') + "\rGetting a.rpm  50%", out.text());
    // A resumed file: the library counts only the missing half, the line shows the whole file.
    state = progress_state_t();
    state.session = &session;
    state.resume_offset = 262144;
    state.cur_chunk = 2;
    state.total_bytes_to_download = 524288;
    state.file_download_start_time = time(nullptr) - 10;
    GUIProgressCallback(&state, 262144, 131072, 0, 0);
    EXPECT_EQ("393216", env_get_string(&session, std::string("LUMO_CURRENT_COMPONENT_INCLUDING_INVISIBLE")));
    EXPECT_EQ("Getting a.rpm<br>", env_get_string(&session, std::string("LUMO_STATUS_TEXT")).substr(0, 17));
    EXPECT_EQ(0, NoProgressCallback(nullptr, 1, 1, 0, 0));
}

// On a console narrower than the line, the line is cut to it and redrawn in place.
TEST(DownloadTest, ProgressFitsANarrowConsole) {
    lumo_test::PtyOptions options;
    options.columns = 30;
    const lumo_test::PtyRun run = lumo_test::run_on_pty([]() {
        session_t session;
        env_set_string(&session, "download_progress_text", "Getting a package with a long name");
        progress_state_t state;
        state.session = &session;
        CLIProgressCallback(&state, 262144, 200000, 0, 0);
        return 0;
    }, {}, options);
    EXPECT_EQ("\r" + std::string(28, ' ') + "\rGetting a package with   76%", run.screen);
}

TEST(DownloadTest, WithoutLibcurlNothingCountsAsDownloaded) {
    LogCapture log;
    session_t session;
    DownloadManager manager({"libcurl-that-is-not-there.so"});
    EXPECT_FALSE(manager.initialized());
    EXPECT_TRUE(log.has_line("ERROR: : DownloadManager::DownloadManager: libcurl is not found."));
    manager.enqueueFile("http://127.0.0.1:1/x", "/tmp", "", "x", "", 1);
    EXPECT_EQ(-1, manager.execute(&session, 0));
    EXPECT_EQ("yes", env_get_string(&session, std::string("LUMO_DOWNLOAD_FAILED")));
}

TEST(ThirdPartyConfigTest, ReadsComponentsAndRefusesNamesThatLeaveTheFolder) {
    LogCapture log;
    TempDir dir;
    write_file_text(dir.file("proxy.xml"),
                    "<component abbr=\"ok\" x=\"1\"><name>Tool</name><version>2.1</version><size>\n  3145728\n</size>"
                    "<files><file name=\"t.tgz\" md5=\"abc\" size=\"10\"/><file url=\"http://o/d/u.rpm?q\" size=\"5\"/>"
                    "<other/></files></component>"
                    "<component abbr=\"bad\"><files><file name=\"../t\"/></files></component>"
                    "<component abbr=\"nosize\"><files><file name=\"n\" size=\"ten\"/></files></component>"
                    "<extra/>");
    ThirdPartyConfig config;
    ASSERT_TRUE(config.parseConfigFile(dir.file("proxy.xml"), "http://s/p"));
    const ThirdPartyComponentDescription* ok = config.getThirdPartyComponentDescription("ok");
    ASSERT_NE(nullptr, ok);
    EXPECT_EQ("Tool", ok->getProperty("name"));
    EXPECT_EQ("", ok->getProperty("description"));
    EXPECT_EQ(2, ok->getFilesToDowloadCount());
    EXPECT_EQ(15, ok->getFilesToDownloadSize());
    EXPECT_EQ("http://s/p/t.tgz", ok->getFilesToDownload()[0].m_url);
    EXPECT_EQ("u.rpm", ok->getFilesToDownload()[1].m_filename);
    EXPECT_EQ(nullptr, config.getThirdPartyComponentDescription("bad"));
    EXPECT_EQ(nullptr, config.getThirdPartyComponentDescription("nosize"));
    EXPECT_TRUE(log.has_line("parse_package_description_xml: unknown element with name 'extra'."));
    EXPECT_TRUE(log.has_line("WARN: : ThirdPartyComponentDescription::ThirdPartyComponentDescription: unknown element "
                             "with name 'other' in element 'files'"));
    EXPECT_FALSE(config.parseConfigFile(dir.file("missing.xml")));
    ThirdPartyComponentDescription null_node(nullptr);
    EXPECT_FALSE(null_node.isValid());
}

class NginxDownloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!lumo_test::Nginx::available()) GTEST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(nginx_.start());
        ASSERT_TRUE(manager_.initialized());
        env_set_string(&session_, "silent", "");
    }
    // A file of `size` bytes on the server, queued with its checksum of the given kind.
    File serve(const std::string& name, size_t size, const std::string& kind = "cksum") {
        const std::string data = fault_body(size);
        write_file_text(nginx_.www(name), data);
        File file;
        file.m_url = nginx_.url(name);
        file.m_dirname = target_.path();
        file.m_subdirname = "sub";
        file.m_filename = name;
        file.m_size = static_cast<int64_t>(size);
        if (kind == "cksum") file.m_cksum_cksum = cksum_of(data);
        if (kind == "md5") file.m_cksum_md5 = digest_of<Md5>(data, size + 1);
        if (kind == "sha256") file.m_cksum_sha256 = digest_of<Sha256>(data, size + 1);
        return file;
    }
    std::string local(const std::string& name) const { return target_.file("sub/" + name); }

    LogCapture log_;
    session_t session_;
    TempDir target_;
    lumo_test::Nginx nginx_;
    DownloadManager manager_{DownloadManager::defaultLibraries()};
};

TEST_F(NginxDownloadTest, EveryFileIsVerifiedAndAnIntactOneIsNotFetchedAgain) {
    for (const char* kind : {"cksum", "md5", "sha256", "none"})
        manager_.enqueueFileToDownload(serve(std::string(kind) + ".bin", 300000, kind), target_.path(), nullptr);
    ASSERT_EQ(0, manager_.execute(&session_, 0));
    for (const char* kind : {"cksum", "md5", "sha256", "none"}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(fault_body(300000), read_file(local(std::string(kind) + ".bin")));
        EXPECT_FALSE(exists_path(local(std::string(kind) + ".bin.part")));
    }
    EXPECT_EQ("no", env_get_string(&session_, std::string("LUMO_DOWNLOAD_FAILED")));
    const size_t requests = lumo_test::count_occurrences(nginx_.access_log(), " 200 ");
    ASSERT_EQ(0, manager_.execute(&session_, 0));
    EXPECT_EQ(requests, lumo_test::count_occurrences(nginx_.access_log(), " 200 "));
    EXPECT_TRUE(log_.has_line("DownloadManager::execute: file '" + local("cksum.bin") + "' has already been downloaded."));
}

TEST_F(NginxDownloadTest, APartialFileIsResumedAndABadOneReplaced) {
    File file = serve("r.bin", 400000);
    std::filesystem::create_directories(target_.file("sub"));
    write_file_text(local("r.bin.part"), fault_body(400000).substr(0, 150000));
    manager_.enqueueFileToDownload(file, target_.path(), nullptr);
    ASSERT_EQ(0, manager_.execute(&session_, 0));
    EXPECT_EQ(fault_body(400000), read_file(local("r.bin")));
    EXPECT_NE(std::string::npos, nginx_.access_log().find("/r.bin 206 250000"));
    EXPECT_TRUE(log_.has_line("DownloadManager::downloadFile: file has already been partially downloaded: 150000d bytes"));

    // The same length with other bytes is not the file: the download fails and leaves nothing
    // under either name; the next attempt fetches it whole.
    std::remove(local("r.bin").c_str());
    write_file_text(local("r.bin.part"), std::string(150000, 'z'));
    ASSERT_EQ(1, manager_.execute(&session_, 0));
    EXPECT_TRUE(log_.has_line("ERROR: : FileToDownload::verifyChecksum: incorrect checksum for file '" + local("r.bin") +
                              "'. Required '" + file.m_cksum_cksum + "', found '" +
                              cksum_of(std::string(150000, 'z') + fault_body(400000).substr(150000)) + "'."));
    EXPECT_FALSE(exists_path(local("r.bin")) || exists_path(local("r.bin.part")));
    ASSERT_EQ(0, manager_.retryDownload(&session_));
    EXPECT_EQ(fault_body(400000), read_file(local("r.bin")));
}

TEST_F(NginxDownloadTest, AFailureStopsTheQueueUntilIgnoredOrRetried) {
    manager_.enqueueFileToDownload(serve("1.bin", 1000), target_.path(), nullptr);
    File missing = serve("2.bin", 1000);
    std::remove(nginx_.www("2.bin").c_str());
    manager_.enqueueFileToDownload(missing, target_.path(), nullptr);
    manager_.enqueueFileToDownload(serve("3.bin", 1000), target_.path(), nullptr);
    LogCapture log;
    EXPECT_EQ(1, manager_.execute(&session_, 0));
    EXPECT_TRUE(log.has_line(": DownloadManager::downloadFile: curl returned http_code '404'"));
    EXPECT_TRUE(log.has_line(": DownloadManager::execute: finished with result 1"));
    EXPECT_EQ("yes", env_get_string(&session_, std::string("LUMO_DOWNLOAD_FAILED")));
    EXPECT_EQ(missing.m_url, env_get_string(&session_, std::string("LUMO_FAILED_DOWNLOAD_FILE_URL")));
    EXPECT_EQ(std::set<int>{1}, manager_.failedToDownloadFiles());
    EXPECT_FALSE(exists_path(local("3.bin")));
    EXPECT_FALSE(exists_path(local("2.bin.part")));  // the error page is not kept as the file

    EXPECT_EQ(0, manager_.ignoreFailedDownload(&session_));
    EXPECT_TRUE(exists_path(local("3.bin")));
    EXPECT_FALSE(exists_path(local("2.bin")));
    write_file_text(nginx_.www("2.bin"), fault_body(1000));
    EXPECT_EQ(0, manager_.retryDownload(&session_));
    EXPECT_EQ(fault_body(1000), read_file(local("2.bin")));
    EXPECT_TRUE(manager_.failedToDownloadFiles().empty());
}

// Each misbehaviour ends in a clear result within seconds, and only whole, verified data is ever
// under the file's name.
TEST(FaultDownloadTest, MisbehavingServersNeverLeaveACorruptFile) {
    lumo_test::FaultServer server;
    ASSERT_TRUE(server.start());
    LogCapture log;
    session_t session;
    env_set_string(&session, "silent", "");
    TempDir target;
    DownloadManager manager(DownloadManager::defaultLibraries());
    ASSERT_TRUE(manager.initialized());
    manager.setStallTimeout(1);
    const struct {
        const char* path;
        size_t size;
        size_t partial;  // bytes already there before the first attempt
        bool ok;
        bool part_kept;
    } rows[] = {
        {"/ok/300000", 300000, 0, true, false},
        {"/redirect/5000", 5000, 0, true, false},
        {"/drop/300000", 300000, 0, false, true},
        {"/stall/300000", 300000, 0, false, true},
        {"/short/300000", 300000, 0, false, true},
        {"/long/300000", 300000, 0, false, false},
        {"/loop", 10, 0, false, false},
        {"/missing", 10, 0, false, false},
        {"/norange/300000", 300000, 100000, true, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        File file;
        file.m_url = server.url(r.path);
        file.m_dirname = target.path();
        file.m_filename = "f" + std::to_string(&r - rows);
        file.m_size = static_cast<int64_t>(r.size);
        file.m_cksum_cksum = cksum_of(fault_body(r.size));
        if (r.partial) write_file_text(file.partialPath(), fault_body(r.size).substr(0, r.partial));
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(r.ok, manager.downloadFile(file, NoProgressCallback) == 0);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
        EXPECT_EQ(r.ok, exists_path(file.localPath()));
        if (r.ok) {
            EXPECT_EQ(fault_body(r.size), read_file(file.localPath()));
        }
        EXPECT_EQ(r.part_kept, exists_path(file.partialPath()));
    }
    // A server that cannot resume is no failure: the file starts again, and no error is logged.
    EXPECT_NE(std::string::npos, log.text().find("can not be resumed"));
    EXPECT_EQ(std::string::npos, log.text().find("ERROR: : DownloadManager::downloadFile: failed to download file " +
                                                 server.url("/norange/300000")));
    // What a dropped connection left is completed by a request for the rest.
    File dropped;
    dropped.m_url = server.url("/drop/300000");
    dropped.m_dirname = target.path();
    dropped.m_filename = "f2";
    dropped.m_size = 300000;
    dropped.m_cksum_cksum = cksum_of(fault_body(300000));
    EXPECT_EQ(0, manager.downloadFile(dropped, NoProgressCallback));
    EXPECT_EQ(fault_body(300000), read_file(dropped.localPath()));
}

// The driver action over a product set: an online package of two components whose second file
// is missing on the server, answered in turn by retry, ignore and abort.
TEST_F(NginxDownloadTest, DriverAnswersAbortIgnoreAndRetry) {
    const std::string package = target_.path();
    std::string media = "<Media>";
    std::string product_xml = "<product>";
    std::filesystem::create_directories(nginx_.www("pay"));
    for (const char* name : {"a", "b"}) {
        media += std::string("<Product id=\"") + (name[0] == 'a' ? "1" : "2") + "\" platform=\"KX32;KX64;VEXAN64\"><Name>P" + name + "</Name><Abbr>p" +
                 name + "</Abbr><Component id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>" + name + "</Name><Abbr>" +
                 name + "</Abbr><RPMFileDir>" + package + "/pay</RPMFileDir><NONRPMProductCode>" + name +
                 ".tgz</NONRPMProductCode><Data>1</Data><Selected>1</Selected></Component></Product>";
        if (name[0] == 'a') write_file_text(nginx_.www("pay/a.tgz"), fault_body(2000));
        product_xml += std::string("<file name=\"") + name + ".tgz\" path=\"pay\" size=\"2000\" cksum=\"" +
                       cksum_of(fault_body(2000)) + "\"/>";
    }
    write_file_text(target_.file("mediaconfig.xml"), media + "</Media>");
    write_file_text(target_.file("product.xml"), product_xml + "</product>");
    env_set_string(&session_, "CONFIG_DIR", package);
    env_set_string(&session_, "PACKAGE_DIR", package);
    env_set_string(&session_, "download_url", nginx_.url("").substr(0, nginx_.url("").size() - 1));
    ASSERT_EQ(0, lumo_init_products_list(&session_));
    TSD& tsd = *session_.tsd;
    ASSERT_TRUE(tsd.productXML().parseProductXML(target_.file("product.xml"), env_get_string(&session_, std::string("download_url"))));
    tsd.context().product_xml = &tsd.productXML();
    EXPECT_EQ(2000, get_component_rpm_size(&session_, "a.tgz"));

    env_set_string(&session_, "LUMO_DOWNLOAD_FAILURE_ANSWER", "retry");
    EXPECT_EQ(-1, lumo_download_rpms(&session_));  // retried, and nobody is left to ask in a silent run
    EXPECT_TRUE(log_.has_line("ERROR: : lumo_download_rpms: download still fails after 3 retries"));
    EXPECT_EQ("2", env_get_string(&session_, std::string("LUMO_EXIT_CODE")));
    EXPECT_EQ(0, get_component_rpm_size(&session_, "a.tgz"));

    env_set_string(&session_, "LUMO_DOWNLOAD_FAILURE_ANSWER", "");
    EXPECT_EQ(0, lumo_download_rpms(&session_));  // waits for an answer
    EXPECT_EQ("yes", env_get_string(&session_, std::string("LUMO_DOWNLOAD_FAILED")));
    env_set_string(&session_, "LUMO_DOWNLOAD_FAILURE_ANSWER", "ignore");
    EXPECT_EQ(0, lumo_download_rpms(&session_));
    EXPECT_TRUE(log_.has_line("lumo_download_rpms: mark component 'b' as failed to download"));
    EXPECT_EQ(1, tsd.products()[1]->subcomponents()[0]->m_downloadFailed);
    EXPECT_EQ(0, tsd.products()[0]->subcomponents()[0]->m_downloadFailed);

    tsd.products()[1]->subcomponents()[0]->m_downloadFailed = 0;
    env_set_string(&session_, "LUMO_DOWNLOAD_FAILURE_ANSWER", "abort");
    env_set_string(&session_, "LUMO_EXIT_CODE", "0");
    EXPECT_EQ(-1, lumo_download_rpms(&session_));
    EXPECT_EQ("2", env_get_string(&session_, std::string("LUMO_EXIT_CODE")));
    EXPECT_TRUE(log_.has_line("ERROR: : lumo_download_rpms: user aborted installation after download failure."));
    env_set_string(&session_, "LUMO_DOWNLOAD_FAILURE_ANSWER", "later");
    EXPECT_EQ(-1, lumo_download_rpms(&session_));
    EXPECT_TRUE(log_.has_line("ERROR: : lumo_download_rpms: unknown user input result 'later'"));
}

// Two third party components behind one ProxyURL: one download of the description, the texts
// shown for each taken from it, and their files fetched with the payload.
TEST_F(NginxDownloadTest, ThirdPartyComponentsShareOneDescription) {
    std::filesystem::create_directories(nginx_.www("tp"));
    write_file_text(nginx_.www("tp/proxy.xml"),
                    "<component abbr=\"ta\"><name>Tool one</name><version>3</version><size>2097152</size><files>"
                    "<file name=\"t1.bin\" size=\"1000\" md5=\"" + digest_of<Md5>(fault_body(1000), 1000) +
                        "\"/></files></component><component abbr=\"tb\"><name>Tool two</name><files>"
                        "<file url=\"" + nginx_.url("tp/t2.bin") + "\" size=\"10\"/></files></component>");
    write_file_text(nginx_.www("tp/t1.bin"), fault_body(1000));
    write_file_text(nginx_.www("tp/t2.bin"), fault_body(10));
    std::string media = "<Media><Product id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>P</Name><Abbr>p</Abbr>";
    for (const char* abbr : {"ta", "tb"})
        media += std::string("<Component id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>x</Name><Abbr>") + abbr +
                 "</Abbr><ProxyURL>" + nginx_.url("tp/proxy.xml") + "</ProxyURL><RPMFileDir>" + target_.path() +
                 "</RPMFileDir><Selected>1</Selected></Component>";
    write_file_text(target_.file("mediaconfig.xml"), media + "</Product></Media>");
    for (const char* name : {"CONFIG_DIR", "PACKAGE_DIR", "TEMP_FOLDER"}) env_set_string(&session_, name, target_.path());
    env_set_string(&session_, "download_dir", target_.file("dl"));
    ASSERT_EQ(0, lumo_init_products_list(&session_));
    ASSERT_EQ(0, lumo_configure_products_list(&session_));
    EXPECT_EQ(1u, lumo_test::count_occurrences(nginx_.access_log(), "/tp/proxy.xml 200"));
    const Component* one = session_.tsd->products()[0]->subcomponents()[0];
    EXPECT_EQ("Tool one", one->m_name);
    EXPECT_EQ(2, one->m_installSize);
    EXPECT_EQ("t1.bin", env_get_string(&session_, std::string("THIRD_PARTY_URL_ta_filename_0")));
    EXPECT_EQ("3", env_get_string(&session_, std::string("THIRD_PARTY_URL_ta_version")));
    ASSERT_EQ(0, lumo_download_rpms(&session_));
    EXPECT_EQ(fault_body(1000), read_file(target_.file("dl/t1.bin")));
    EXPECT_EQ(fault_body(10), read_file(target_.file("dl/t2.bin")));
}
