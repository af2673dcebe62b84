#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_util.h"

using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

struct tool_result {
    int status;
    std::string out;
    std::string err;
};

class LumoCabTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, access(lumo_test::cab_tool_path().c_str(), X_OK)) << lumo_test::cab_tool_path(); }

    tool_result cab(const std::string& arguments) {
        const std::string err_path = dir_.file("stderr.txt");
        tool_result result;
        result.status = run_command(quote(lumo_test::cab_tool_path()) + " " + arguments + " 2>" + quote(err_path), &result.out);
        result.err = read_file(err_path);
        return result;
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    bool present(const std::string& name) const { return access(file(name).c_str(), F_OK) == 0; }
    void make(const std::string& name, const std::string& text, mode_t mode = 0644) {
        const std::string path = file(name);
        run_command("mkdir -p " + quote(path.substr(0, path.rfind('/'))));
        write_file_text(path, text);
        chmod(path.c_str(), mode);
    }

    TempDir dir_;
};

TEST_F(LumoCabTest, CreatesFromAManifestAndListsEveryEntryInOrder) {
    make("src/help.txt", "usage: run\n");
    make("src/bin/run.sh", "#!/bin/sh\necho hi\n", 0755);
    make("abs.dat", std::string(1000, 'a'));
    make("pkg/manifest",
         "# the engine's files\n"
         "\n"
         "_internal_\thelp.msg\t../src/help.txt\n"
         "core;tools  bin/run   ../src/bin/run.sh   755\r\n"
         "   # indented comment\n"
         "core\tdata.bin \t" + file("abs.dat") + "\t0644\n");
    const tool_result created = cab("create " + quote(file("out.cab")) + " " + quote(file("pkg/manifest")));
    ASSERT_EQ(0, created.status) << created.err;
    EXPECT_EQ("", created.err);
    EXPECT_FALSE(present("out.cab.tmp"));
    const tool_result listed = cab("list " + quote(file("out.cab")));
    EXPECT_EQ(0, listed.status) << listed.err;
    EXPECT_EQ("_internal_\thelp.msg\t11\t\n"
              "core;tools\tbin/run\t18\t755\n"
              "core\tdata.bin\t1000\t0644\n",
              listed.out);
}

TEST_F(LumoCabTest, CreatesFromAFolderWithSortedNamesAndTheFilesModes) {
    make("tree/zeta.txt", "z");
    make("tree/bin/tool", "#!/bin/sh\n", 0755);
    make("tree/alpha/deep/x.cfg", "x=1\n", 0600);
    make("tree/empty", "");
    ASSERT_EQ(0, symlink("zeta.txt", file("tree/link").c_str()));
    const tool_result created = cab("create " + quote(file("dir.cab")) + " --dir " + quote(file("tree")) + " payload");
    ASSERT_EQ(0, created.status) << created.err;
    const tool_result listed = cab("list " + quote(file("dir.cab")));
    EXPECT_EQ("payload\talpha/deep/x.cfg\t4\t600\n"
              "payload\tbin/tool\t10\t755\n"
              "payload\tempty\t0\t644\n"
              "payload\tzeta.txt\t1\t644\n",
              listed.out);
    // The same tree gives the same bytes.
    ASSERT_EQ(0, cab("create " + quote(file("again.cab")) + " --dir " + quote(file("tree")) + " payload").status);
    EXPECT_EQ(read_file(file("dir.cab")), read_file(file("again.cab")));
}

TEST_F(LumoCabTest, ExtractGivesBackTheSameBytesAndMode) {
    std::string payload;
    for (int i = 0; i < 300000; ++i) payload += static_cast<char>((i * 131 + i / 7) & 0xFF);
    make("payload.bin", payload);
    make("script.sh", "#!/bin/sh\n");
    make("manifest", "core payload.bin payload.bin\ncore script.sh script.sh 750\n");
    ASSERT_EQ(0, cab("create " + quote(file("p.cab")) + " " + quote(file("manifest"))).status);
    const tool_result extracted = cab("extract " + quote(file("p.cab")) + " core payload.bin " + quote(file("out/a/payload.bin")));
    ASSERT_EQ(0, extracted.status) << extracted.err;
    EXPECT_TRUE(read_file(file("out/a/payload.bin")) == payload);
    ASSERT_EQ(0, cab("extract " + quote(file("p.cab")) + " core script.sh " + quote(file("out/s"))).status);
    struct stat info;
    ASSERT_EQ(0, stat(file("out/s").c_str(), &info));
    EXPECT_EQ(0750u, info.st_mode & 07777);
    const tool_result missing = cab("extract " + quote(file("p.cab")) + " core nothing " + quote(file("out/n")));
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ("lumo-cab: store_file_extract: unable to get content of file/component: nothing/core - -2\n", missing.err);
    EXPECT_FALSE(present("out/n"));
}

TEST_F(LumoCabTest, BadManifestLineNamesItsLineAndLeavesNoStore) {
    make("data", "d");
    const struct { const char* line; const char* message; } rows[] = {
        {"core only-two", "expected: component name source-path [octal-attrs]"},
        {"core a data 755 extra", "expected: component name source-path [octal-attrs]"},
        {"core a data 7a5", "attrs '7a5' are not octal permission digits"},
        {"core a data 8", "attrs '8' are not octal permission digits"},
        {"core a missing.txt", "source missing.txt is not a readable file"},
        {"core a .", "source . is not a readable file"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        const std::string manifest = file("manifest");
        write_file_text(manifest, std::string("# header\ncore ok data\n\n") + r.line + "\n");
        const tool_result result = cab("create " + quote(file("out.cab")) + " " + quote(manifest));
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("lumo-cab: " + manifest + ":4: " + r.message + "\n", result.err);
        EXPECT_FALSE(present("out.cab"));
        EXPECT_FALSE(present("out.cab.tmp"));
    }
}

TEST_F(LumoCabTest, FailedCreateKeepsThePreviousStore) {
    make("data", "d");
    make("manifest", "core a data\n");
    ASSERT_EQ(0, cab("create " + quote(file("out.cab")) + " " + quote(file("manifest"))).status);
    const std::string before = read_file(file("out.cab"));
    make("manifest", "core a data\ncore b gone\n");
    EXPECT_EQ(1, cab("create " + quote(file("out.cab")) + " " + quote(file("manifest"))).status);
    EXPECT_EQ(before, read_file(file("out.cab")));
    const tool_result empty = cab("create " + quote(file("e.cab")) + " " + quote(file("nothing-here")));
    EXPECT_EQ(1, empty.status);
    EXPECT_NE(std::string::npos, empty.err.find("can't read manifest"));
    make("comments", "# nothing\n\n");
    const tool_result none = cab("create " + quote(file("e.cab")) + " " + quote(file("comments")));
    EXPECT_EQ(1, none.status);
    EXPECT_EQ("lumo-cab: " + file("comments") + " lists no entries\n", none.err);
    EXPECT_FALSE(present("e.cab"));
}

TEST_F(LumoCabTest, CreateNeverWritesThroughALinkPlantedAtTheTemporaryName) {
    make("data", "d");
    make("manifest", "core a data\n");
    make("victim", "precious");
    ASSERT_EQ(0, symlink(file("victim").c_str(), file("out.cab.tmp").c_str()));
    ASSERT_EQ(0, cab("create " + quote(file("out.cab")) + " " + quote(file("manifest"))).status);
    EXPECT_EQ("precious", read_file(file("victim")));
    struct stat info;
    ASSERT_EQ(0, lstat(file("out.cab").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0, cab("list " + quote(file("out.cab"))).status);
    int others = 0;  // only the store, its sources, the planted link and the captured output
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("out.cab.", 0) == 0 && name != "out.cab.tmp") ++others;
    }
    EXPECT_EQ(0, others);
}

TEST_F(LumoCabTest, DamagedStoreIsReportedWhenListed) {
    make("not-a-store", std::string(64, 'x'));
    const tool_result result = cab("list " + quote(file("not-a-store")));
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("", result.out);
    EXPECT_EQ("lumo-cab: store_read_cab: can not seek to the start of CAB file\n"
              "lumo-cab: " + file("not-a-store") + " is not a readable store\n",
              result.err);
    make("data", "d");
    make("manifest", "core a data\n");
    ASSERT_EQ(0, cab("create " + quote(file("cut.cab")) + " " + quote(file("manifest"))).status);
    ASSERT_EQ(0, truncate(file("cut.cab").c_str(), 40));
    const tool_result cut = cab("list " + quote(file("cut.cab")));
    EXPECT_EQ(1, cut.status);
    EXPECT_NE(std::string::npos, cut.err.find("is not a readable store"));
}

TEST_F(LumoCabTest, HelpGoesToStandardOutputAndWrongUsageExitsTwo) {
    for (const char* option : {"--help", "-h"}) {
        SCOPED_TRACE(option);
        const tool_result help = cab(option);
        EXPECT_EQ(0, help.status);
        EXPECT_EQ(0u, help.out.find("usage: lumo-cab create OUT.cab MANIFEST\n"));
        EXPECT_EQ("", help.err);
    }
    for (const char* arguments : {"", "create", "create out.cab", "create out.cab --dir only", "list", "list a b",
                                  "extract a b c", "unpack x", "create out.cab m extra"}) {
        SCOPED_TRACE(arguments);
        const tool_result wrong = cab(arguments);
        EXPECT_EQ(2, wrong.status);
        EXPECT_EQ("", wrong.out);
        EXPECT_EQ(0u, wrong.err.find("usage: lumo-cab"));
    }
}

}  // namespace
