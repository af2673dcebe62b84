#include "file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <memory>
#include <string>

#include "log.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class FileTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return dir_.file(name); }
    void make_dir(const std::string& name) const { ASSERT_EQ(0, mkdir(file(name).c_str(), 0755)); }
    bool is_link(const std::string& name) const {
        struct stat st;
        return lstat(name.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
    mode_t mode_of(const std::string& name) const {
        struct stat st;
        return stat(name.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
    }

    TempDir dir_;
    LogCapture log_;
};

// Sets the process umask for one test and puts the previous one back.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : m_old(umask(mask)) {}
    ~UmaskGuard() { umask(m_old); }

private:
    mode_t m_old;
};

struct free_deleter {
    void operator()(char* p) const { free(p); }
};

}  // namespace

TEST(FilePathTest, SplitsAtTheLastSlashOrBackslash) {
    const struct { const char* path; const char* dir; const char* base; } rows[] = {
        {"/usr", "/", "usr"},   {"name", "", "name"},      {"a/b\\c", "a/b", "c"},
        {"a//b/", "a//b", ""},  {"/", "/", ""},            {"", "", ""},
        {"\\x", "/", "x"},      {"/opt/app/bin", "/opt/app", "bin"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.dir, get_dirname(r.path));
        EXPECT_EQ(r.base, get_basename(r.path));
    }
}

TEST(FilePathTest, ExtensionIsTheTextAfterTheLastDot) {
    const struct { const char* path; const char* ext; const char* cut; } rows[] = {
        {"a.tar.gz", "gz", "a.tar"}, {"name", "", "name"}, {"dir/file.rpm", "rpm", "dir/file"},
        {".hidden", "hidden", ""},   {"trailing.", "", "trailing"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.ext, getExtension(r.path));
        EXPECT_EQ(r.cut, cutExtension(r.path));
    }
}

TEST_F(FileTest, TypeTestsTellFilesFoldersAndMissingPathsApart) {
    write_file_text(file("f"), "x");
    make_dir("d");
    EXPECT_TRUE(exists(file("f")));
    EXPECT_TRUE(is_file(file("f")));
    EXPECT_FALSE(is_dir(file("f")));
    EXPECT_TRUE(is_dir(file("d")));
    EXPECT_FALSE(is_file(file("d")));
    EXPECT_FALSE(exists(file("missing")));
    EXPECT_FALSE(is_dir(file("missing")));
    EXPECT_FALSE(is_file(file("missing")));
    EXPECT_EQ(1, file_exists(file("f")));
    EXPECT_EQ(0, file_exists(file("missing")));
    EXPECT_TRUE(log_.has_line("file_exists: \"" + file("missing") + "\": No such file or directory"));
}

TEST_F(FileTest, IsWritableLeavesTheFileContentAloneAndReadsTheOwnerBit) {
    write_file_text(file("f"), "keep me");
    EXPECT_TRUE(is_writable(file("f")));
    EXPECT_EQ("keep me", read_file(file("f")));
    EXPECT_FALSE(is_writable(file("missing")));
    // A folder answers from the owner's write bit.
    make_dir("ro");
    make_dir("rw");
    ASSERT_EQ(0, chmod(file("ro").c_str(), 0577));  // everyone but the owner may write
    ASSERT_EQ(0, chmod(file("rw").c_str(), 0200));
    EXPECT_FALSE(is_writable(file("ro")));
    EXPECT_TRUE(is_writable(file("rw")));
    chmod(file("ro").c_str(), 0755);
    chmod(file("rw").c_str(), 0755);
}

TEST_F(FileTest, FileSizeReportsMissingAndEmptyPaths) {
    write_file_text(file("f"), std::string(5000, 'z'));
    EXPECT_EQ(5000, file_size(file("f")));
    EXPECT_EQ(-1, file_size(""));
    EXPECT_TRUE(log_.has_line("ERROR: : file_size: path is empty"));
    EXPECT_EQ(-1, file_size(file("missing")));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't stat file \"" + file("missing") +
                              "\": No such file or directory"));
}

TEST_F(FileTest, AttributesAreSetAndReadWithTheirErrorCodes) {
    write_file_text(file("f"), "x");
    EXPECT_EQ(0, file_set_attr(file("f").c_str(), 0640));
    mode_t mode = 0;
    EXPECT_EQ(0, file_get_attr(file("f").c_str(), &mode));
    EXPECT_EQ(0100640u, static_cast<unsigned>(mode));

    EXPECT_EQ(-1, file_set_attr(nullptr, 0644));
    EXPECT_TRUE(log_.has_line("ERROR: : file_set_attr: filename is NULL"));
    EXPECT_EQ(-1, file_set_attr(file("missing").c_str(), 0644));
    EXPECT_TRUE(log_.has_line("ERROR: : file_set_attr: chmod failed 2"));

    EXPECT_EQ(-1, file_get_attr(nullptr, &mode));
    EXPECT_TRUE(log_.has_line("ERROR: : file_get_attr: filename is NULL"));
    EXPECT_EQ(-2, file_get_attr(file("f").c_str(), nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : file_get_attr: attribute pointer is NULL"));
    EXPECT_EQ(-3, file_get_attr(file("missing").c_str(), &mode));
    EXPECT_TRUE(log_.has_line("ERROR: : file_get_attr: can't get information about " + file("missing")));
}

TEST_F(FileTest, OctalPermissionStringsConvertOrAreRefused) {
    const struct { const char* text; unsigned value; bool refused; } rows[] = {
        {"755", 493, false},       {"0644", 420, false},  {"7", 7, false},
        {"755 ", 493, false},      {"644\n", 420, false}, {"", 0, false},
        {"7a5", 0, true},          {"758", 0, true},      {"x9", 0, true},
        {"37777777777", 4294967295u, false},  {"00000000000000000755", 493, false},
        {"40000000000", 0, true},  {"100000000000000000000000", 0, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.value, oct_string2dec(r.text));
        EXPECT_EQ(r.refused, log_.has_line(std::string("ERROR: : Incorrect permissions string: ") + r.text));
    }
    EXPECT_EQ(0u, oct_string2dec(nullptr));
}

TEST_F(FileTest, FolderCreateMakesEveryMissingLevelWithTheGivenMode) {
    const UmaskGuard mask(0);
    EXPECT_EQ(0, folder_create(file("a//b///c"), 0750));
    EXPECT_TRUE(is_dir(file("a/b/c")));
    EXPECT_EQ(0750u, mode_of(file("a")));
    EXPECT_EQ(0750u, mode_of(file("a/b")));
    EXPECT_EQ(0750u, mode_of(file("a/b/c")));
    // The result is that of the last mkdir: an existing folder is not created again.
    EXPECT_EQ(-1, folder_create(file("a/b/c"), 0750));
    EXPECT_EQ(-1, folder_create("", 0750));
}

TEST_F(FileTest, LinkCreateNeedsItsFolderUnlessAskedToMakeIt) {
    const UmaskGuard mask(0);
    make_dir("target");
    EXPECT_EQ(-1, link_create(file("no/such/link"), file("target"), 0));
    EXPECT_TRUE(log_.has_line(": link_create: directory " + file("no/such") + " doesn't exist"));
    EXPECT_FALSE(exists(file("no")));

    EXPECT_EQ(0, link_create(file("new//dir/link"), file("target"), 1));
    EXPECT_TRUE(is_link(file("new/dir/link")));
    EXPECT_EQ(0775u, mode_of(file("new")));
    EXPECT_EQ(0775u, mode_of(file("new/dir")));

    EXPECT_NE(0, link_create(file("new/dir/link"), file("target"), 0));
    EXPECT_TRUE(log_.has_line("ERROR: : link_create: symlink " + file("new/dir/link") + "->" +
                              file("target") + " failed 17"));
}

TEST_F(FileTest, RemoveFileCountsMissingAsSuccessOnlyWhenAsked) {
    write_file_text(file("f"), "x");
    EXPECT_EQ(0, remove_file(dir_.path() + "//f", 0));
    EXPECT_FALSE(exists(file("f")));
    EXPECT_EQ(0, remove_file(file("f"), 1));
    EXPECT_EQ(-1, remove_file(file("f"), 0));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't delete file \"" + file("f") + "\": No such file or directory"));
    EXPECT_EQ(-1, remove_file("", 1));
    EXPECT_NE(std::string::npos, log_.text().find("ERROR: : src/file.cc:"));
    EXPECT_TRUE(log_.has_line(": parameter is empty"));
}

TEST_F(FileTest, RemoveDirDeletesTheTreeButNeverFollowsALink) {
    make_dir("outside");
    write_file_text(file("outside/keep1"), "1");
    make_dir("outside/sub");
    write_file_text(file("outside/sub/keep2"), "2");
    write_file_text(file("lonely"), "3");

    make_dir("tree");
    make_dir("tree/a");
    make_dir("tree/a/b");
    write_file_text(file("tree/top"), "t");
    write_file_text(file("tree/a/b/deep"), "d");
    ASSERT_EQ(0, symlink(file("outside").c_str(), file("tree/a/to_dir").c_str()));
    ASSERT_EQ(0, symlink(file("lonely").c_str(), file("tree/to_file").c_str()));
    ASSERT_EQ(0, symlink(file("nowhere").c_str(), file("tree/a/b/dangling").c_str()));

    remove_dir(file("tree"));
    EXPECT_FALSE(exists(file("tree")));
    EXPECT_FALSE(is_link(file("tree/a/to_dir")));
    EXPECT_EQ("1", read_file(file("outside/keep1")));
    EXPECT_EQ("2", read_file(file("outside/sub/keep2")));
    EXPECT_EQ("3", read_file(file("lonely")));
    EXPECT_EQ(std::string::npos, log_.text().find("ERROR"));
    // Given a link, only the link goes.
    make_dir("real");
    write_file_text(file("real/keep"), "k");
    ASSERT_EQ(0, symlink(file("real").c_str(), file("link").c_str()));
    remove_dir(file("link"));
    EXPECT_FALSE(is_link(file("link")));
    EXPECT_EQ("k", read_file(file("real/keep")));
    remove_dir(file("missing"));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't delete directory \"" + file("missing") +
                              "\": No such file or directory"));
}

TEST_F(FileTest, RemoveDirIfEmptyLeavesLinksAndFullFolders) {
    make_dir("real");
    ASSERT_EQ(0, symlink(file("real").c_str(), file("link").c_str()));
    EXPECT_EQ(-1, remove_dir_if_empty(file("link"), 0));
    EXPECT_EQ(-1, remove_dir_if_empty(file("link"), 1));
    EXPECT_TRUE(is_link(file("link")));
    EXPECT_TRUE(is_dir(file("real")));
    EXPECT_TRUE(log_.has_line(": remove_dir_if_empty: " + file("link") + ": this is a symlink"));
    EXPECT_EQ(1, remove_dir_if_empty(file("missing"), 0));
    EXPECT_TRUE(log_.has_line(": remove_dir_if_empty: " + file("missing") + ": readlink error 2"));

    make_dir("empty");
    EXPECT_EQ(0, remove_dir_if_empty(dir_.path() + "//empty", 0));
    EXPECT_FALSE(exists(file("empty")));

    make_dir("full");
    write_file_text(file("full/f"), "x");
    EXPECT_EQ(-1, remove_dir_if_empty(file("full"), 0));
    EXPECT_TRUE(log_.has_line(": remove_dir_if_empty: errno \"" + file("full") + "\": 39"));
    EXPECT_TRUE(exists(file("full/f")));
    // Recursive: empty children go first.
    make_dir("p");
    make_dir("p/e1");
    make_dir("p/e2");
    EXPECT_EQ(0, remove_dir_if_empty(file("p"), 1));
    EXPECT_FALSE(exists(file("p")));

    make_dir("q");
    make_dir("q/empty");
    make_dir("q/busy");
    write_file_text(file("q/busy/f"), "x");
    EXPECT_EQ(-1, remove_dir_if_empty(file("q"), 1));
    EXPECT_FALSE(exists(file("q/empty")));
    EXPECT_TRUE(exists(file("q/busy/f")));
}

TEST_F(FileTest, RemoveFsEntryRemovesLinksAsLinks) {
    write_file_text(file("f"), "x");
    make_dir("d");
    make_dir("real");
    ASSERT_EQ(0, symlink(file("real").c_str(), file("link").c_str()));
    EXPECT_EQ(0, remove_fs_entry(file("f")));
    EXPECT_EQ(0, remove_fs_entry(file("d")));
    EXPECT_EQ(0, remove_fs_entry(file("link")));
    EXPECT_EQ(0, remove_fs_entry(file("missing")));
    EXPECT_FALSE(exists(file("f")));
    EXPECT_FALSE(exists(file("d")));
    EXPECT_FALSE(is_link(file("link")));
    EXPECT_TRUE(is_dir(file("real")));
}

TEST_F(FileTest, FileCopyCopiesEveryBlockSize) {
    for (const size_t size : {size_t(0), size_t(1), size_t(4095), size_t(4096), size_t(8192), size_t(10001)}) {
        SCOPED_TRACE(size);
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + 3);
        write_file_text(file("src"), data);
        EXPECT_EQ(0, file_copy(file("src"), file("dst")));
        EXPECT_EQ(data, read_file(file("dst")));
    }
}

TEST_F(FileTest, FileCopyCreatesAMissingTreeWithMode0775) {
    const UmaskGuard mask(0);
    write_file_text(file("src"), "data");
    EXPECT_EQ(0, file_copy(file("src"), file("x/y/dst")));
    EXPECT_EQ("data", read_file(file("x/y/dst")));
    EXPECT_EQ(0775u, mode_of(file("x")));
    EXPECT_EQ(0775u, mode_of(file("x/y")));
    EXPECT_TRUE(log_.has_line(": file_copy: parent directory for " + file("x/y/dst") +
                              " doesn't exist. Create it."));
}

// Each failure has its status and message and leaves no destination behind.
TEST_F(FileTest, FileCopyFailuresReportTheirCause) {
    write_file_text(file("src"), "data");
    make_dir("dir");
    const struct {
        std::string from, to;
        int status;
        std::string line;
    } rows[] = {
        {file("missing"), file("out"), -3, "ERROR: : file_copy: can't open file " + file("missing")},
        {file("src"), file("dir"), -4, "ERROR: : file_copy: can't open file " + file("dir") + " for writing"},
        {file("dir"), file("out"), -1, "ERROR: : file_copy: can't read file " + file("dir")},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(r.status, file_copy(r.from, r.to));
        EXPECT_TRUE(log_.has_line(r.line));
        EXPECT_FALSE(exists(file("out")));
    }
}

TEST_F(FileTest, FileCopyReportsWriteErrorsEvenWhenOnlyTheCloseFails) {
    for (const size_t size : {size_t(10), size_t(20000)}) {
        SCOPED_TRACE(size);
        write_file_text(file("src"), std::string(size, 'a'));
        EXPECT_EQ(-1, file_copy(file("src"), "/dev/full"));
    }
    EXPECT_TRUE(log_.has_line("ERROR: : file_copy: can't close file /dev/full"));
    EXPECT_TRUE(log_.has_line("ERROR: : file_copy: data was copied with errors. read: 4096, written: 0"));
}

TEST_F(FileTest, FileCopyReplacesALinkAtTheDestinationAndKeepsTheOldFileOnAFullDisk) {
    write_file_text(file("src"), std::string(10000, 'n'));
    write_file_text(file("victim"), "precious");
    ASSERT_EQ(0, symlink(file("victim").c_str(), file("dst").c_str()));
    EXPECT_EQ(0, file_copy(file("src"), file("dst")));
    EXPECT_EQ("precious", read_file(file("victim")));
    EXPECT_FALSE(is_link(file("dst")));
    EXPECT_EQ(std::string(10000, 'n'), read_file(file("dst")));
    // A file size limit fails the writes the way a full disk does.
    write_file_text(file("old"), "old");
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 5000;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const int status = file_copy(file("src"), file("old"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(-1, status);
    EXPECT_EQ("old", read_file(file("old")));
    int left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        left += entry.path().filename().string().rfind("old.", 0) == 0;
    }
    EXPECT_EQ(0, left);
}

TEST_F(FileTest, FileCopyOntoItselfKeepsTheFile) {
    write_file_text(file("f"), "precious");
    EXPECT_EQ(-4, file_copy(file("f"), dir_.path() + "/./f"));
    EXPECT_EQ("precious", read_file(file("f")));
    EXPECT_EQ(-4, file_move(file("f"), file("f")));
    EXPECT_EQ("precious", read_file(file("f")));
}

TEST_F(FileTest, FileMoveRemovesTheSourceOnlyAfterAFullCopy) {
    write_file_text(file("src"), "payload");
    EXPECT_EQ(0, file_move(file("src"), file("dst")));
    EXPECT_FALSE(exists(file("src")));
    EXPECT_EQ("payload", read_file(file("dst")));

    write_file_text(file("src"), "payload");
    make_dir("dir");
    EXPECT_EQ(-4, file_move(file("src"), file("dir")));
    EXPECT_EQ("payload", read_file(file("src")));
    EXPECT_EQ(-1, file_move(file("src"), "/dev/full"));
    EXPECT_EQ("payload", read_file(file("src")));
}

TEST_F(FileTest, WriteFileCreatesOrTruncates) {
    write_file_text(file("f"), "a much longer old text");
    EXPECT_EQ(0, write_file(file("f").c_str(), "new"));
    EXPECT_EQ("new", read_file(file("f")));
    EXPECT_EQ(0, write_file(file("g").c_str(), ""));
    EXPECT_TRUE(exists(file("g")));
    EXPECT_EQ(-1, write_file(file("no/dir/f").c_str(), "x"));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't write file \"" + file("no/dir/f") +
                              "\": No such file or directory"));
    EXPECT_EQ(-1, write_file("/dev/full", "x"));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't close file \"/dev/full\": No space left on device"));
    EXPECT_EQ(-1, write_file(nullptr, "x"));
    EXPECT_EQ(-1, write_file(file("f").c_str(), nullptr));
}

TEST_F(FileTest, GetFileReadsTheWholeFileNulTerminated) {
    const std::string data("ab\0cd\n", 6);
    write_file_text(file("f"), data);
    std::unique_ptr<char, free_deleter> buffer(get_file(file("f"), 0));
    ASSERT_TRUE(buffer);
    EXPECT_EQ(0, memcmp(buffer.get(), data.data(), data.size() + 1));  // the terminator included

    std::string content;
    EXPECT_EQ(0, get_file(file("f"), content, 0));
    EXPECT_EQ(data, content);

    write_file_text(file("empty"), "");
    std::unique_ptr<char, free_deleter> none(get_file(file("empty"), 0));
    ASSERT_TRUE(none);
    EXPECT_EQ('\0', none.get()[0]);
}

TEST_F(FileTest, GetFileReadsFilesThatReportNoSize) {
    std::string content;
    EXPECT_EQ(0, get_file("/proc/self/status", content, 0));
    EXPECT_NE(std::string::npos, content.find("Name:"));
}

TEST_F(FileTest, GetFileFailuresAndTheQuietFlag) {
    EXPECT_EQ(nullptr, get_file("", 0));
    EXPECT_TRUE(log_.has_line("ERROR: : get_file: path is empty"));
    EXPECT_EQ(nullptr, get_file(file("quiet"), 1));
    EXPECT_EQ(std::string::npos, log_.text().find(file("quiet")));
    EXPECT_EQ(nullptr, get_file(file("loud"), 0));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't read file \"" + file("loud") + "\": No such file or directory"));
    make_dir("dir");
    EXPECT_EQ(nullptr, get_file(file("dir"), 0));
    EXPECT_TRUE(log_.has_line("ERROR: : Can't read file \"" + file("dir") + "\": Is a directory"));
    std::string content = "old";
    EXPECT_EQ(-1, get_file(file("loud"), content, 1));
    EXPECT_EQ("", content);
}

TEST_F(FileTest, ReadContentOfTextFileGivesLinesWithoutNewlines) {
    write_file_text(file("f"), "one\n\nthree\nlast");
    const std::vector<std::string> expected = {"one", "", "three", "last"};
    EXPECT_EQ(expected, readContentOfTextFile(file("f")));
    EXPECT_TRUE(readContentOfTextFile(file("missing")).empty());
    EXPECT_TRUE(log_.has_line("ERROR: : readContentOfTextFile: cannot read content of file " + file("missing")));
}

TEST_F(FileTest, PartitionQueriesQuoteThePathAndUseTheNearestExistingFolder) {
    make_dir("with space");
    make_dir("it's");
    const std::string spaced = file("with space");
    EXPECT_EQ('/', getFilePartition(spaced + "/not/yet").c_str()[0]);
    EXPECT_TRUE(log_.has_line(": getFilePartition: command is 'df '" + spaced +
                              "'| tail -n 1 | awk '{ print $NF }' 2>/dev/null'"));

    const int64_t here = getPartitionFreeSpace(spaced);
    const int64_t below = getPartitionFreeSpace(file("it's") + "/not/yet/there");
    EXPECT_GT(here, 0);
    EXPECT_LT(std::llabs(here - below), 100);  // the same partition, give or take other writers
    EXPECT_TRUE(log_.has_line(": getPartitionFreeSpace: command is 'df -Pm '" + file("it") +
                              "'\\''s' | tail -n 1 | awk '{print $4}' 2>/dev/null'"));
}

TEST_F(FileTest, PartitionQueriesOfARelativeMissingPathAnswerForTheCurrentFolder) {
    EXPECT_GT(getPartitionFreeSpace("no_such_relative/dir"), 0);
    EXPECT_TRUE(log_.has_line(": getPartitionFreeSpace: command is 'df -Pm . | tail -n 1 | awk '{print $4}' 2>/dev/null'"));
}

TEST_F(FileTest, RandomFileNameReplacesTheSixXs) {
    const std::string name_template = file("tmpXXXXXX");
    const std::string first = getRandomFileName(name_template);
    const std::string second = getRandomFileName(name_template);
    ASSERT_EQ(name_template.size(), first.size());
    EXPECT_EQ(file("tmp"), first.substr(0, first.size() - 6));
    EXPECT_NE(name_template, first);
    EXPECT_NE(first, second);
    EXPECT_FALSE(exists(first));
    EXPECT_EQ("", getRandomFileName(file("tmpXXXXX")));
    EXPECT_TRUE(log_.has_line("ERROR: : getRandomFileName: failed to create random file name"));
}

TEST_F(FileTest, PathResolveTakesDotsAndLinksBeforeTheText) {
    make_dir("a");
    make_dir("a/b");
    ASSERT_EQ(0, symlink(file("a/b").c_str(), file("up").c_str()));
    ASSERT_EQ(0, symlink("b/../b", file("a/rel").c_str()));
    ASSERT_EQ(0, symlink("loop", file("loop").c_str()));
    const std::unique_ptr<char, free_deleter> real(realpath(dir_.path().c_str(), nullptr));
    ASSERT_TRUE(real);
    const std::string base = real.get();
    const struct {
        std::string given;
        std::string expected;
    } rows[] = {
        {file("a/./b/"), base + "/a/b"},
        {file("a/x/.."), base + "/a"},          // a missing part is taken by its text
        {file("up/.."), base + "/a"},           // ".." after a link leaves the link's target
        {file("a/rel/missing/../new"), base + "/a/b/new"},
        {dir_.path() + "//a/../../" + get_basename(dir_.path()), base},
        {"/./", "/"},
        {"/..", "/"},
        {file("loop/x"), ""},
        {"", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given);
        EXPECT_EQ(row.expected, path_resolve(row.given));
    }
    const std::unique_ptr<char, free_deleter> cwd(getcwd(nullptr, 0));
    ASSERT_EQ(0, chdir(file("a").c_str()));
    EXPECT_EQ(base + "/a/b", path_resolve("rel"));
    EXPECT_EQ(base + "/a", path_resolve("."));
    ASSERT_EQ(0, chdir(cwd.get()));
}
