// Runs the built engine on an online package: its payload is described in product.xml and
// fetched from nginx on 127.0.0.1 with progress lines on the console, or only listed for another
// tool in a download-only run.
#include <gtest/gtest.h>

#include <filesystem>

#include "download.h"
#include "http_servers.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::fault_body;
using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

std::string component(const std::string& abbr) {
    return "<Component id=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>" + abbr + "</Name><Abbr>" + abbr +
           "</Abbr><Type>tgz</Type><RPMFileDir>${PACKAGE_DIR}/payload</RPMFileDir><NONRPMProductCode>" + abbr +
           ".tar.gz</NONRPMProductCode><Version>1</Version><Data>1</Data><Selected>1</Selected></Component>";
}

std::string cksum(const std::string& data) {
    CksumCrc crc;
    crc.update(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return crc.finish();
}

class DownloadE2E : public SeqPackage {
protected:
    // The sequence runs the product-list actions and then `last`, keeping each result.
    // last "": the online sample's own sequence and media (rt_core, rt_docs), with its dialog after
    // a failed download, the installation and the uninstall.
    void make_package(const std::string& last, const std::string& product_xml) {
        if (last.empty()) {
            for (const char* name : {"product.ini", "sequence.ini", "main.xml", "download.xml"})
                stage(name, read_file(lumo_test::source_dir() + "/examples/online/store/" + name));
        }
        stage("product.ini", "PRODUCT_NAME=Online\nPRODUCT_VERSION=1.0\n");
        if (!last.empty()) {
            stage("sequence.ini", "_internal_:main.xml:\n");
            stage("main.xml", "<sequence><module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" "
                              "action=\"lumo_init_products_list\"/></sequence>");
        }
        std::string actions;
        const char* steps[][2] = {{"lumo_init_products_list", "R_INIT"},
                                  {"lumo_configure_products_list", "R_CONF"},
                                  {last.c_str(), "R_LAST"}};
        for (size_t i = 0; i < 3; ++i)
            actions += "<action id=\"" + std::string(steps[i][0]) + "\" type=\"built_in\" func=\"" + steps[i][0] +
                       "\"><set property=\"" + steps[i][1] + "\" value=\"${EXIT_CODE}\"/><next call=\"" +
                       (i < 2 ? steps[i + 1][0] : "_finish_") + "\"/></action>";
        if (!last.empty()) stage("m.xml", module(actions));
        pack();
        write_file_text(m_dir.file("pkg/config/mediaconfig.xml"),
                        !last.empty() ? "<Media><GUID>online</GUID><Product id=\"1\" platform=\"KX32;KX64;VEXAN64\">"
                                        "<Name>P</Name><Abbr>p</Abbr>" + component("one") + component("two") +
                                            "</Product></Media>"
                                      : read_file(lumo_test::source_dir() + "/examples/online/mediaconfig.xml"));
        write_file_text(m_dir.file("pkg/product.xml"), product_xml);
        std::filesystem::create_directories(m_dir.file("db"));
    }

    // The archive ABBR.tar.gz (share/ABBR.txt) served from payload/; its product.xml entry.
    std::string serve_archive(lumo_test::Nginx& nginx, const std::string& abbr) {
        const std::string src = m_dir.file("src/" + abbr), archive = nginx.www("payload/" + abbr + ".tar.gz");
        std::filesystem::create_directories(src + "/share");
        std::filesystem::create_directories(nginx.www("payload"));
        write_file_text(src + "/share/" + abbr + ".txt", abbr + "\n");
        EXPECT_EQ(0, run_command("tar czf " + quote(archive) + " -C " + quote(src) + " share"));
        const std::string data = read_file(archive);
        Sha256 sha;
        sha.update(reinterpret_cast<const unsigned char*>(data.data()), data.size());
        return "<file name=\"" + abbr + ".tar.gz\" path=\"payload\" size=\"" + std::to_string(data.size()) +
               "\" cksum=\"" + cksum(data) + "\" sha256=\"" + sha.finish() + "\"/>";
    }

    int run(const std::string& args) {
        std::filesystem::create_directories(temp());
        return run_command("cd " + quote(m_dir.file("run")) + " && " + quote(m_dir.file("pkg/config/bin/lumo")) +
                               " --TEMP_FOLDER " + quote(temp()) + " --__keep_temp__ --PACKAGE_DIR " +
                               quote(m_dir.file("pkg")) + " --INSTALL_MODE NONRPM --NONRPM_DB_DIR " +
                               quote(m_dir.file("db")) + " " + args + " </dev/null >" + quote(m_dir.file("stdout")) +
                               " 2>&1",
                           nullptr);
    }
};

}  // namespace

TEST_F(DownloadE2E, DownloadListRunWritesTheListOfSelectedFiles) {
    make_package("lumo_prepare_download_list",
                 "<product><file name=\"one.tar.gz\" path=\"payload\" size=\"10\" cksum=\"123\"/>"
                 "<file name=\"two.tar.gz\" path=\"payload\" size=\"20\" cksum=\"456\" sha256=\"ab\"/></product>");
    ASSERT_EQ(0, run("--download_list list.xml --download_dir dl --download_url 'http://127.0.0.1:9/a&b'"));
    EXPECT_EQ("0", value("R_CONF"));
    EXPECT_EQ("0", value("R_LAST"));
    const std::string dl = m_dir.file("run/dl");
    EXPECT_EQ("<process>"
              "\n\t<download>\n\t\t<size>10</size>\n\t\t<md5>123</md5>\n\t\t<crc32></crc32>\n\t\t<url>"
              "http://127.0.0.1:9/a&amp;b/payload/one.tar.gz</url>\n\t\t<target>" + dl +
                  "/payload/one.tar.gz</target>\n\t</download>"
                  "\n\t<download>\n\t\t<size>20</size>\n\t\t<md5>456</md5>\n\t\t<crc32></crc32>\n\t\t<url>"
                  "http://127.0.0.1:9/a&amp;b/payload/two.tar.gz</url>\n\t\t<target>" + dl +
                  "/payload/two.tar.gz</target>\n\t\t<sha256>ab</sha256>\n\t</download>"
                  "\n\t<execute>\n\t\t<module>" + m_dir.file("pkg") +
                  "/install.sh</module>\n\t\t<arguments></arguments>\n\t</execute>\n</process>\n",
              read_file(m_dir.file("run/list.xml")));
}

TEST_F(DownloadE2E, NamesThatLeaveThePackageFolderAreRefused) {
    for (const char* attrs : {"name=\"../one.tar.gz\" path=\"payload\"", "name=\"one.tar.gz\" path=\"/etc\"",
                              "name=\"one.tar.gz\" path=\"payload/../..\""}) {
        SCOPED_TRACE(attrs);
        std::filesystem::remove_all(m_dir.path());
        std::filesystem::create_directories(m_dir.path());
        make_package("lumo_download_rpms", std::string("<product><file ") + attrs + " size=\"1\"/></product>");
        run("--download_url http://127.0.0.1:9");
        EXPECT_EQ("-1", value("R_CONF"));
        EXPECT_TRUE(logged("lumo_configure_products_list: parsing of product.xml failed."));
        EXPECT_FALSE(std::filesystem::exists(m_dir.file("one.tar.gz")));
    }
}

TEST_F(DownloadE2E, OnlineDownloadShowsProgressAndVerifiesThePayload) {
    if (!lumo_test::Nginx::available()) GTEST_SKIP() << "nginx is not installed";
    lumo_test::Nginx nginx;
    ASSERT_TRUE(nginx.start());
    std::filesystem::create_directories(nginx.www("payload"));
    const std::string one = fault_body(400000), two = fault_body(1000);
    write_file_text(nginx.www("payload/one.tar.gz"), one);
    write_file_text(nginx.www("payload/two.tar.gz"), two);
    make_package("lumo_download_rpms", "<product><file name=\"one.tar.gz\" path=\"payload\" size=\"400000\" cksum=\"" +
                                           cksum(one) + "\"/><file name=\"two.tar.gz\" path=\"payload\" "
                                           "cksum=\"" + cksum(two) + "\"/></product>");  // no size: unknown
    const std::string base = nginx.url("");
    ASSERT_EQ(0, run("--download_url " + base.substr(0, base.size() - 1) +
                     " --download_progress_text Fetching --install_component_done done"));
    EXPECT_EQ("0", value("R_LAST"));
    EXPECT_EQ("no", value("LUMO_DOWNLOAD_FAILED"));
    EXPECT_EQ(one, read_file(m_dir.file("pkg/payload/one.tar.gz")));
    EXPECT_EQ(two, read_file(m_dir.file("pkg/payload/two.tar.gz")));
    const std::string screen = read_file(m_dir.file("stdout"));
    const std::string erase = "\r" + std::string(78, ' ');
    // A line per 128 KiB block at most, how many depends on how the data arrives; the big file
    // ends with its line and the done text, the small one with the done text alone.
    EXPECT_NE(std::string::npos, screen.find(erase + "\rFetching ")) << screen;
    EXPECT_NE(std::string::npos, screen.find("% done\n done\n")) << screen;
}

// The online sample's sequence on a terminal: the second archive is missing on the server, and
// the dialog's answer decides: ignore leaves its component out, abort ends the run with status 2.
TEST_F(DownloadE2E, FailedDownloadAsksOnTheTerminal) {
    if (!lumo_test::Nginx::available()) GTEST_SKIP() << "nginx is not installed";
    lumo_test::Nginx nginx;
    ASSERT_TRUE(nginx.start());
    make_package("", "<product>" + serve_archive(nginx, "rt_core") +
                         "<file name=\"rt_docs.tar.gz\" path=\"payload\" size=\"1\"/></product>");
    const std::string base = nginx.url("");
    const std::vector<std::string> argv = {m_dir.file("pkg/config/bin/lumo"), "--TEMP_FOLDER", temp(), "--__keep_temp__",
                                           "--INSTALL_MODE", "NONRPM", "--NONRPM_DB_DIR", m_dir.file("db"),
                                           "--LUMO_INSTALL_DIR", m_dir.file("inst"),
                                           "--download_url", base.substr(0, base.size() - 1)};
    lumo_test::PtyOptions options;
    options.cwd = m_dir.file("run");
    std::filesystem::create_directories(temp());
    const std::string question = "abort, ignore or retry [retry]:";
    lumo_test::PtyRun run = lumo_test::run_on_pty(argv, {{question, "ignore\n"}}, options);
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_NE(std::string::npos, run.screen.find("Downloading " + base + "payload/rt_docs.tar.gz failed"));
    EXPECT_TRUE(logged("lumo_download_rpms: mark component 'Runtime documentation' as failed to download"));
    EXPECT_EQ("rt_core\n", read_file(m_dir.file("inst/share/rt_core.txt")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("inst/share/rt_docs.txt")));
    run = lumo_test::run_on_pty(argv, {{question, "abort\n"}}, options);
    EXPECT_EQ(2, run.status) << run.screen;
}

// The online sample end to end: the archives come from nginx, are verified against product.xml
// and installed; the uninstall run fetches nothing (the server has nothing left) and leaves
// neither installed files nor records behind.
TEST_F(DownloadE2E, OnlineSampleDownloadsInstallsAndUninstalls) {
    if (!lumo_test::Nginx::available()) GTEST_SKIP() << "nginx is not installed";
    lumo_test::Nginx nginx;
    ASSERT_TRUE(nginx.start());
    make_package("", "<product>" + serve_archive(nginx, "rt_core") + serve_archive(nginx, "rt_docs") + "</product>");
    const std::string base = nginx.url(""), inst = m_dir.file("inst");
    ASSERT_EQ(0, run("--download_url " + base.substr(0, base.size() - 1) + " --LUMO_INSTALL_DIR " + quote(inst)))
        << read_file(m_dir.file("stdout"));
    for (const std::string abbr : {"rt_core", "rt_docs"}) {
        SCOPED_TRACE(abbr);
        EXPECT_EQ(read_file(nginx.www("payload/" + abbr + ".tar.gz")),
                  read_file(m_dir.file("pkg/payload/" + abbr + ".tar.gz")));
        EXPECT_FALSE(std::filesystem::exists(m_dir.file("pkg/payload/" + abbr + ".tar.gz.part")));
        EXPECT_EQ(abbr + "\n", read_file(inst + "/share/" + abbr + ".txt"));
    }
    EXPECT_TRUE(std::filesystem::exists(inst + "/uninstall/markers/online-sample"));
    std::filesystem::remove_all(nginx.www("payload"));
    ASSERT_EQ(0, run("--LUMO_MODE uninstall --LUMO_INSTALL_DIR " + quote(inst))) << read_file(m_dir.file("stdout"));
    EXPECT_TRUE(!std::filesystem::exists(inst) || std::filesystem::is_empty(inst));
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.file("db")));
}
