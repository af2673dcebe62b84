#include "contentsprovidertgz.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <set>
#include <string>

#include "env.h"
#include "log.h"
#include "payload.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Python's tarfile writes the archives: GNU long names, pax headers, global headers and every
// entry type, the way real archives carry them.
const char* const tar_helpers = R"(import tarfile, io, sys, gzip, os
def entry(t, name, data=b'', kind=tarfile.REGTYPE, mode=0o644, link=''):
    ti = tarfile.TarInfo(name); ti.type = kind; ti.mode = mode; ti.linkname = link
    ti.size = len(data) if kind == tarfile.REGTYPE else 0
    t.addfile(ti, io.BytesIO(data) if ti.size else None)
def raw(build, fmt=tarfile.GNU_FORMAT):
    b = io.BytesIO(); t = tarfile.open(fileobj=b, mode='w', format=fmt); build(t); t.close(); return bytearray(b.getvalue())
out = sys.argv[1]
)";

class TgzTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"db", "tmp", "outside"}) fs::create_directories(dir_.file(d));
        write_file_text(dir_.file("outside/secret"), "secret");
        env_set_string(&session_, "NONRPM_DB_DIR", dir_.file("db").c_str());
        env_set_string(&session_, "TEMP_FOLDER", dir_.file("tmp").c_str());
        env_set_string(&session_, "log_file", dir_.file("engine.log").c_str());
        provider_.m_session = &session_;
    }
    // Writes an archive with the Python body (tar_helpers are in scope, `out` is the path).
    std::string make(const std::string& name, const std::string& body) {
        const std::string script = dir_.file(name + ".py");
        write_file_text(script, std::string(tar_helpers) + body);
        std::string output;
        EXPECT_EQ(0, run_command("python3 " + script + " " + dir_.file(name), &output, true)) << output;
        return dir_.file(name);
    }
    // A gzip archive of plain files (name and content), made with the helpers above.
    std::string files_archive(const std::string& name, const std::vector<std::pair<std::string, std::string>>& files) {
        std::string body = "def b(t):\n";
        for (const auto& [file, data] : files) body += "    entry(t, '" + file + "', b'" + data + "')\n";
        return make(name, body + "open(out,'wb').write(gzip.compress(bytes(raw(b))))\n");
    }
    // Every path below the folder, relative to it.
    static std::set<std::string> tree(const std::string& folder) {
        std::set<std::string> paths;
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            paths.insert(it->path().string().substr(folder.size() + 1));
        return paths;
    }
    std::string prefix() const { return dir_.file("prefix"); }

    TempDir dir_;
    LogCapture log_;
    session_t session_;
    ContentsProviderTgz provider_;
};

TEST_F(TgzTest, InstallsEveryEntryTypeRunsScriptsAndRemovesFileByFile) {
    const std::string archive = make("pkg.tgz", R"(
def build(t):
    entry(t, '.scripts/PREIN', b'ls -A "$LUMO_INSTALL_PREFIX" > "$LUMO_INSTALL_PREFIX/../prein_saw"\n', mode=0o755)
    entry(t, 'bin', kind=tarfile.DIRTYPE, mode=0o755)
    entry(t, 'bin/tool', b'#!/bin/sh\n', mode=0o750)
    entry(t, 'bin/link', kind=tarfile.SYMTYPE, link='tool')
    entry(t, 'bin/hard', kind=tarfile.LNKTYPE, link='bin/tool')
    entry(t, 'deep/' + 'x' * 150 + '/long.txt', b'long')
    entry(t, 'fifo', kind=tarfile.FIFOTYPE)
    entry(t, 'ro', kind=tarfile.DIRTYPE, mode=0o555)
    entry(t, 'ro/f', b'in a read-only folder')
    entry(t, 'group', kind=tarfile.DIRTYPE, mode=0o2775)
    entry(t, '.scripts/POSTIN', b'echo "$LUMO_INSTALL_PREFIX" > "$LUMO_INSTALL_PREFIX/../postin_ran"\n')
    entry(t, '.scripts/PREUN', b'test -f "$LUMO_INSTALL_PREFIX/bin/tool" && touch "$LUMO_INSTALL_PREFIX/../preun_ran"\n')
    entry(t, '.scripts/POSTUN', b'test -f "$LUMO_INSTALL_PREFIX/bin/tool" || touch "$LUMO_INSTALL_PREFIX/../postun_ran"\n')
    entry(t, '.scripts/SUMMARY', b'A test package\n')
open(out, 'wb').write(gzip.compress(bytes(raw(build))))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    EXPECT_EQ(".scripts\n", read_file(dir_.file("prein_saw")));  // ran before anything else existed
    EXPECT_EQ(prefix() + "\n", read_file(dir_.file("postin_ran")));
    struct stat st;
    ASSERT_EQ(0, stat((prefix() + "/bin/tool").c_str(), &st));
    EXPECT_EQ(0750u, st.st_mode & 07777);
    EXPECT_EQ(2u, st.st_nlink);
    EXPECT_EQ("tool", fs::read_symlink(prefix() + "/bin/link").string());
    EXPECT_EQ("long", read_file(prefix() + "/deep/" + std::string(150, 'x') + "/long.txt"));
    EXPECT_FALSE(fs::exists(prefix() + "/fifo"));
    // Folder modes: plain ones at once, the read-only one and the one with special bits at the end.
    const mode_t mask = umask(0);
    umask(mask);
    for (const auto& [name, mode] : std::vector<std::pair<std::string, mode_t>>{
             {"bin", 0755}, {"ro", 0555}, {"group", geteuid() == 0 ? 02775 : 0775 & ~mask}}) {
        ASSERT_EQ(0, stat((prefix() + "/" + name).c_str(), &st)) << name;
        EXPECT_EQ(mode, st.st_mode & 07777) << name;
    }
    EXPECT_EQ("in a read-only folder", read_file(prefix() + "/ro/f"));
    fs::permissions(prefix() + "/ro", fs::perms(0755));  // so that the removal below works for anyone
    EXPECT_TRUE(fs::exists(prefix() + "/.scripts/PREUN.pkg.tgz"));
    const std::string list = dir_.file("db/.pkg.tgz.log");
    EXPECT_NE(std::string::npos, read_file(list).find(prefix() + "/bin/hard\n"));
    EXPECT_EQ("<:pkg.tgz:pkg.tgz:" + prefix() + ":" + list + ":>\n", read_file(dir_.file("db/vexan_kwq_products.tgz.db")));

    // A later run finds the package in the database.
    ContentsProviderTgz later;
    later.m_session = &session_;
    ASSERT_EQ(0, later.registerAllFiles(""));
    ContentsItem* item = later.findItem("", "pkg.tgz", "9.9");
    ASSERT_NE(nullptr, item);
    // Also when the component names the archive with a folder part.
    EXPECT_EQ(item, later.findItem("", "../payload/pkg.tgz", ""));
    EXPECT_EQ("A test package", item->m_summary);
    EXPECT_EQ(prefix(), item->m_prefix);

    ASSERT_EQ(0, later.uninstallFile("", "pkg.tgz"));
    EXPECT_TRUE(fs::exists(dir_.file("preun_ran")));
    EXPECT_TRUE(fs::exists(dir_.file("postun_ran")));
    EXPECT_FALSE(fs::exists(prefix()));
    EXPECT_FALSE(fs::exists(list));
    EXPECT_FALSE(fs::exists(dir_.file("db/vexan_kwq_products.tgz.db")));
    EXPECT_TRUE(tree(dir_.file("tmp")).empty());
}

// Package scripts see the properties as LI_ variables; their exit status becomes EXIT_CODE.
TEST_F(TgzTest, ScriptsSeeThePropertiesAndReportTheirStatus) {
    env_set_string(&session_, "FLAVOR", "blue ${SHADE}");
    env_set_string(&session_, "SHADE", "dark");
    const std::string archive = make("scripted.tgz", R"(
def b(t):
    entry(t, 'a', b'1')
    entry(t, '.scripts/POSTIN', b'echo "$LI_FLAVOR|$LI_LUMO_INSTALL_PREFIX|$LUMO_INSTALL_PREFIX" > "$LUMO_INSTALL_PREFIX/../saw"\nexit 3\n', mode=0o755)
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    EXPECT_EQ("blue dark|" + prefix() + "|" + prefix() + "\n", read_file(dir_.file("saw")));
    EXPECT_EQ("3", env_get_string(&session_, std::string("EXIT_CODE")));
}

TEST_F(TgzTest, PaxAndGlobalHeadersAndUstarPrefixes) {
    const std::string archive = make("pax.tgz", R"(
def build(t):
    entry(t, 'p/' + 'y' * 120 + '/f', b'pax')
    entry(t, 'u' * 90 + '/' + 'v' * 60, b'ustar')
b = io.BytesIO()
t = tarfile.open(fileobj=b, mode='w', format=tarfile.PAX_FORMAT, pax_headers={'comment': 'global'})
build(t); t.close()
open(out, 'wb').write(gzip.compress(b.getvalue()))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    EXPECT_EQ("pax", read_file(prefix() + "/p/" + std::string(120, 'y') + "/f"));
    EXPECT_EQ("ustar", read_file(prefix() + "/" + std::string(90, 'u') + "/" + std::string(60, 'v')));
    EXPECT_TRUE(log_.has_line("ContentsProviderTgz::installFile: global extended header skipped"));
}

TEST_F(TgzTest, AnUncompressedArchiveInstallsToo) {
    const std::string archive = make("plain.tgz", "open(out, 'wb').write(raw(lambda t: entry(t, 'a/f', b'plain')))\n");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    EXPECT_EQ("plain", read_file(prefix() + "/a/f"));
    EXPECT_TRUE(log_.has_line("payload_open: payload compression is none"));
}

TEST_F(TgzTest, HostileArchivesAreRefusedAndLeaveNothingBehind) {
    const std::string outside = dir_.file("outside");
    const struct {
        const char* name;
        std::string body;
        const char* log;
    } rows[] = {
        {"dotdot", "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, '../outside/evil', b'x')))))",
         "refusing entry ../outside/evil"},
        {"absolute", "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, '" + outside + "/evil', b'x')))))",
         "the name leaves the prefix"},
        {"link_then_file",
         "def b(t):\n    entry(t, 'evil', kind=tarfile.SYMTYPE, link='" + outside +
             "')\n    entry(t, 'evil/x', b'x')\nopen(out,'wb').write(gzip.compress(bytes(raw(b))))",
         "can not create link"},
        {"hardlink_out",
         "def b(t):\n    entry(t, 'h', kind=tarfile.LNKTYPE, link='../outside/secret')\n    entry(t, 'ok', b'x')\n"
         "open(out,'wb').write(gzip.compress(bytes(raw(b))))",
         "refusing hard link h"},
        {"hardlink_abs",
         "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, 'h', kind=tarfile.LNKTYPE, link='" + outside +
             "/secret')))))",
         "refusing hard link h"},
        {"truncated_gzip",
         "d = gzip.compress(bytes(raw(lambda t: entry(t, 'f', os.urandom(100000)))))\nopen(out,'wb').write(d[:len(d)//2])",
         "payload_source: the gzip stream is truncated"},
        {"bad_crc",
         "d = bytearray(gzip.compress(bytes(raw(lambda t: entry(t, 'f', b'abc' * 1000)))))\nd[-6] ^= 1\n"
         "open(out,'wb').write(bytes(d))",
         "payload_source: the gzip stream is damaged"},
        // Only the trailer is wrong, after the archive's end marker: small archives are read on
        // the calling thread, large ones on a thread of their own.
        {"bad_crc_large",
         "d = bytearray(gzip.compress(bytes(raw(lambda t: entry(t, 'f', os.urandom(400000))))))\nd[-7] ^= 1\n"
         "open(out,'wb').write(bytes(d))",
         "payload_source: the gzip stream is damaged"},
        {"bad_size",
         "d = bytearray(gzip.compress(bytes(raw(lambda t: entry(t, 'f', b'abc' * 1000)))))\nd[-3] ^= 1\n"
         "open(out,'wb').write(bytes(d))",
         "payload_source: the gzip stream is damaged"},
        {"bad_checksum",
         "d = raw(lambda t: entry(t, 'f', b'x'))\nd[0] = ord('g')\nopen(out,'wb').write(gzip.compress(bytes(d)))",
         "bad tar header (checksum or number)"},
        {"huge_size",
         "d = raw(lambda t: entry(t, 'f', b'x'))\nd[124:136] = b'\\x80' + b'\\0' * 6 + b'\\x01' + b'\\0' * 4\n"
         "d[148:156] = b' ' * 8\nd[148:155] = ('%06o\\0' % sum(d[:512])).encode()\nopen(out,'wb').write(gzip.compress(bytes(d)))",
         "payload_extractor: the payload ends inside"},
        {"huge_long_name",
         "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, 'n' * 70000, b'x')))))",
         "extended header of 70001 bytes is too long"},
        {"not_gzip", "open(out,'wb').write(b'BZh91AY&SY' + b'\\0' * 100)",
         "payload_open: the payload's compression is not supported"},
        // A line break would split the name in the installed-file list.
        {"newline", "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, 'nl\\nname', b'x')))))",
         "the name leaves the prefix"},
        {"carriage_return", "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, 'secret\\r', b'x')))))",
         "the name leaves the prefix"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string archive = make(std::string(r.name) + ".tgz", r.body);
        EXPECT_EQ(1, provider_.installFile(archive, prefix(), ""));
        EXPECT_TRUE(log_.has_line(r.log) || log_.text().find(r.log) != std::string::npos) << r.log;
        EXPECT_EQ(std::set<std::string>{"secret"}, tree(outside));
        EXPECT_EQ("secret", read_file(outside + "/secret"));
        EXPECT_EQ(1u, fs::hard_link_count(outside + "/secret"));
        EXPECT_TRUE(tree(prefix()).empty());
        EXPECT_FALSE(fs::exists(dir_.file("db/vexan_kwq_products.tgz.db")));
    }
    EXPECT_EQ(1, provider_.installFile(dir_.file("missing.tgz"), prefix(), ""));
    EXPECT_TRUE(log_.has_line("ERROR: : ContentsProviderTgz::installFile: can not open file " + dir_.file("missing.tgz")));
}

TEST_F(TgzTest, ExistingLinksOnDiskAreNeverWrittenThrough) {
    fs::create_directories(prefix());
    fs::create_directory_symlink(dir_.file("outside"), prefix() + "/lib");
    fs::create_symlink(dir_.file("outside/secret"), prefix() + "/conf");
    const std::string archive = make("links.tgz", R"(
def b(t):
    entry(t, 'lib/x', b'x')
    entry(t, 'conf', b'replaced')
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    EXPECT_EQ(1, provider_.installFile(archive, prefix(), ""));
    EXPECT_EQ(std::set<std::string>{"secret"}, tree(dir_.file("outside")));
    EXPECT_EQ("secret", read_file(dir_.file("outside/secret")));
    // A file that exists is replaced through a part file renamed into place; a link planted
    // there is replaced, never written through.
    write_file_text(prefix() + "/plain", "old");
    fs::create_symlink(dir_.file("outside/secret"), prefix() + "/.plain.lumo-part");
    const std::string plain = make("plain.tgz", "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, 'plain', b'new')))))");
    EXPECT_EQ(0, provider_.installFile(plain, prefix(), ""));
    EXPECT_EQ("new", read_file(prefix() + "/plain"));
    EXPECT_EQ("secret", read_file(dir_.file("outside/secret")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(prefix() + "/.plain.lumo-part")));
}

TEST_F(TgzTest, KilledInstallLeavesAListNamingEverythingOnDisk) {
    const std::string archive = make("big.tgz", R"(
def b(t):
    for i in range(60):
        entry(t, 'd%02d' % i, kind=tarfile.DIRTYPE, mode=0o755)
        for j in range(25):
            entry(t, 'd%02d/f%02d' % (i, j), os.urandom(40000))
open(out,'wb').write(gzip.compress(bytes(raw(b)), 1))
)");
    for (int delay_ms : {10, 30, 120}) {
        SCOPED_TRACE(delay_ms);
        const pid_t child = fork();
        if (child == 0) _exit(provider_.installFile(archive, prefix(), ""));
        usleep(delay_ms * 1000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        // On a fast disk the install may be over before the kill: its list then has its final name.
        const std::string pending = dir_.file("db/.big.tgz.log.new");
        const std::string list_text = read_file(lumo_test::exists_path(pending) ? pending : dir_.file("db/.big.tgz.log"));
        std::set<std::string> listed;
        for (const std::string& line : lines_of(list_text)) listed.insert(line);
        for (const std::string& entry : tree(prefix())) {
            std::string name = prefix() + "/" + entry;
            const std::string base = fs::path(name).filename().string();
            const std::string part = ".lumo-part";
            if (base.size() > part.size() && base.compare(base.size() - part.size(), part.size(), part) == 0)
                name = fs::path(name).parent_path().string() + "/" + base.substr(1, base.size() - 1 - part.size());
            EXPECT_TRUE(listed.count(name)) << entry;
        }
        payload_remove_listed(prefix(), lines_of(list_text));
        EXPECT_TRUE(tree(prefix()).empty());
        for (const char* record : {"db/.big.tgz.log.new", "db/.big.tgz.log", "db/vexan_kwq_products.tgz.db"})
            fs::remove(dir_.file(record));
    }
}

// The extractor keeps the folders of the last path open to a bounded depth: paths deeper than that,
// and paths that turn back to a shallower folder, still land where they are named.
TEST_F(TgzTest, DeepPathsAndTurnsBackToShallowerFolders) {
    const std::string archive = make("deep.tgz", R"(
def b(t):
    for name in ('x/' * 90 + 'f1', 'x/' * 40 + 'y/f2', 'x/' * 90 + 'f3', 'x/' * 89 + 'w/f4', 'z/f5', 'x/f6'):
        entry(t, name, name.encode())
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    auto repeat = [](const std::string& part, int times) {
        std::string text;
        for (int i = 0; i < times; ++i) text += part;
        return text;
    };
    for (const std::string& name : {repeat("x/", 90) + "f1", repeat("x/", 40) + "y/f2", repeat("x/", 90) + "f3",
                                    repeat("x/", 89) + "w/f4", std::string("z/f5"), std::string("x/f6")})
        EXPECT_EQ(name, read_file(prefix() + "/" + name)) << name;
}

// An archive may carry a name twice (appended updates): the later entry wins, even when both are
// small files handed to the writers together, and the list names it once.
TEST_F(TgzTest, ALaterEntryOfTheSameNameWins) {
    const std::string archive = make("again.tgz", R"(
def b(t):
    entry(t, 'a', b'first')
    entry(t, 'b', b'1'); entry(t, 'b', b'22'); entry(t, 'b', b'333')
    for i in range(40):
        entry(t, 'f%02d' % i, b'x' * 3000)
    entry(t, 'a', b'second')
    entry(t, 'd', kind=tarfile.DIRTYPE); entry(t, 'd', kind=tarfile.DIRTYPE)
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    EXPECT_EQ("second", read_file(prefix() + "/a"));
    EXPECT_EQ("333", read_file(prefix() + "/b"));
    const std::vector<std::string> listed = lines_of(read_file(dir_.file("db/.again.tgz.log")));
    EXPECT_EQ(1, std::count(listed.begin(), listed.end(), prefix() + "/a"));
    EXPECT_EQ(1, std::count(listed.begin(), listed.end(), prefix() + "/b"));
    EXPECT_EQ(1, std::count(listed.begin(), listed.end(), prefix() + "/d"));
}

// Removal runs on several threads once a list is long: files first, then folders deepest first,
// each only when empty.
TEST_F(TgzTest, LongListRemovalKeepsWhatIsNotListed) {
    const std::string archive = make("long.tgz", R"(
def b(t):
    for d in ('a', 'a/b', 'a/b/c', 'a/b/c/d', 'e'):
        entry(t, d, kind=tarfile.DIRTYPE, mode=0o755)
        for i in range(30):
            entry(t, '%s/f%02d' % (d, i), b'x')
    entry(t, 'e/link', kind=tarfile.SYMTYPE, link='../a/b')
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    write_file_text(prefix() + "/a/b/mine", "not the package's");
    fs::remove(prefix() + "/a/f07");  // already gone: ignored
    ASSERT_EQ(0, provider_.uninstallFile("", "long.tgz"));
    // The link to a folder went as a link; the folder it named keeps the file that is not listed.
    EXPECT_EQ((std::set<std::string>{"a", "a/b", "a/b/mine"}), tree(prefix()));
    EXPECT_EQ(std::string::npos, log_.text().find("Can't delete file"));
}

TEST_F(TgzTest, RemovalStaysInsideThePrefixAndStopsAtTheInstallationFolder) {
    const std::string archive = make("rm.tgz", R"(
def b(t):
    entry(t, 'sub/f', b'x')
    entry(t, 'sub/g', b'y')
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    const std::string install_dir = dir_.file("inst");
    const std::string p = install_dir + "/a/b";
    env_set_string(&session_, "LUMO_INSTALL_DIR", install_dir.c_str());
    ASSERT_EQ(0, provider_.installFile(archive, p, ""));
    // After installation the folder is swapped for a link out of the prefix, and the list is
    // tampered with to name a file outside it: removal touches neither.
    fs::rename(p + "/sub", dir_.file("moved"));
    fs::create_directory_symlink(dir_.file("outside"), p + "/sub");
    write_file_text(dir_.file("outside/f"), "keep");
    const std::string list = dir_.file("db/.rm.tgz.log");
    write_file_text(list, read_file(list) + dir_.file("outside/secret") + "\n" + p + "/../../../outside/secret\n");
    ASSERT_EQ(0, provider_.uninstallFile("", "rm.tgz"));
    EXPECT_EQ("keep", read_file(dir_.file("outside/f")));
    EXPECT_EQ("secret", read_file(dir_.file("outside/secret")));
    EXPECT_TRUE(log_.has_line("ERROR: : payload_remove_listed: refusing to remove " + dir_.file("outside/secret") +
                              ": it is not below " + p));
    EXPECT_TRUE(fs::exists(dir_.file("moved/f")));
    fs::remove(p + "/sub");
    // Emptied, the prefix goes with its parents up to the installation folder, and no further.
    ASSERT_EQ(0, provider_.installFile(archive, p, ""));
    ASSERT_EQ(0, provider_.uninstallFile("", "rm.tgz"));
    EXPECT_FALSE(fs::exists(install_dir));
    EXPECT_TRUE(fs::exists(dir_.path()));
}

TEST_F(TgzTest, ReinstallReplacesTheRecordAndRemovesWhatOnlyTheOldArchiveHad) {
    const auto body = [](const std::string& name) {
        return "def b(t):\n    entry(t, 'a', b'1')\n    entry(t, '" + name + "', b'2')\n"
               "open(out,'wb').write(gzip.compress(bytes(raw(b))))";
    };
    fs::create_directories(dir_.file("v1"));
    fs::create_directories(dir_.file("v2"));
    const std::string first = make("v1/pkg.tgz", body("old"));
    const std::string second = make("v2/pkg.tgz", body("new"));
    ASSERT_EQ(0, provider_.installFile(first, prefix(), ""));
    // A damaged archive of the same name changes nothing of the installed one.
    lumo_test::write_file_text(dir_.file("pkg.tgz"), read_file(second).substr(0, 40));
    EXPECT_EQ(1, provider_.installFile(dir_.file("pkg.tgz"), prefix(), ""));
    EXPECT_EQ("2", read_file(prefix() + "/old"));
    EXPECT_NE(std::string::npos, read_file(dir_.file("db/.pkg.tgz.log")).find(prefix() + "/old\n"));
    ASSERT_EQ(0, provider_.installFile(second, prefix(), ""));
    EXPECT_FALSE(fs::exists(prefix() + "/old"));
    EXPECT_EQ("2", read_file(prefix() + "/new"));
    EXPECT_EQ("1", read_file(prefix() + "/a"));
    EXPECT_EQ(std::set<std::string>({".pkg.tgz.log", "vexan_kwq_products.tgz.db"}), tree(dir_.file("db")));
    ContentsDatabase db;
    db.init(&session_, "tgz");
    EXPECT_EQ(1, db.size());
}

// A file two archives ship stays when a new version of one of them no longer has it.
TEST_F(TgzTest, AReinstallKeepsWhatAnotherArchiveStillShips) {
    fs::create_directories(dir_.file("v2"));
    ASSERT_EQ(0, provider_.installFile(files_archive("pkg.tgz", {{"a", "x"}, {"common", "x"}}), prefix(), ""));
    ASSERT_EQ(0, provider_.installFile(files_archive("other.tgz", {{"b", "x"}, {"common", "x"}}), prefix(), ""));
    ASSERT_EQ(0, provider_.installFile(files_archive("v2/pkg.tgz", {{"a", "x"}, {"only", "x"}}), prefix(), ""));
    EXPECT_EQ(std::set<std::string>({"a", "b", "common", "only"}), tree(prefix()));
}

TEST_F(TgzTest, AFailedReinstallTakesOnlyWhatItMadeAndKeepsTheRecord) {
    fs::create_directories(dir_.file("v1"));
    files_archive("v1/pkg.tgz", {{"a", "1"}, {"sub/b", "2"}});
    ASSERT_EQ(0, provider_.installFile(dir_.file("v1/pkg.tgz"), prefix(), ""));
    const std::string list = read_file(dir_.file("db/.pkg.tgz.log"));
    write_file_text(prefix() + "/user.conf", "mine");
    // The same archive name, now with a last entry that is refused: everything before it is written.
    const std::string bad = files_archive(
        "pkg.tgz", {{"a", "1"}, {"sub/b", "2"}, {"user.conf", "theirs"}, {"extra/c", "3"}, {"../outside/evil", "4"}});
    EXPECT_EQ(1, provider_.installFile(bad, prefix(), ""));
    EXPECT_EQ(std::set<std::string>({"a", "sub", "sub/b", "user.conf"}), tree(prefix()));
    EXPECT_EQ(list, read_file(dir_.file("db/.pkg.tgz.log")));
    ContentsDatabase db;
    db.init(&session_, "tgz");
    ASSERT_EQ(1, db.size());
    EXPECT_EQ(std::vector<std::string>({"<", "pkg.tgz", "pkg.tgz", prefix(), dir_.file("db/.pkg.tgz.log"), ">"}),
              db.getItem(0));
}

TEST_F(TgzTest, ARecordNamingAListOutsideTheDatabaseFolderDeletesNoSuchFile) {
    const std::string archive = make("pkg.tgz", "open(out,'wb').write(gzip.compress(bytes(raw(lambda t: entry(t, 'a', b'1')))))");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    write_file_text(dir_.file("outside/list"), prefix() + "/a\n");
    write_file_text(dir_.file("db/vexan_kwq_products.tgz.db"),
                    contents_record_format("pkg.tgz", "pkg.tgz", prefix(), dir_.file("outside/list")) + "\n");
    ContentsProviderTgz fresh;
    fresh.m_session = &session_;
    fresh.registerFiles("");
    EXPECT_EQ(0, fresh.uninstallFile("pkg.tgz", "pkg.tgz"));
    EXPECT_FALSE(fs::exists(prefix() + "/a"));
    EXPECT_TRUE(fs::exists(dir_.file("outside/list")));
    EXPECT_TRUE(log_.has_line("WARN: : ContentsDatabase::removeListFile: " + dir_.file("outside/list") +
                              " is not a list of the database folder " + dir_.file("db") + ", left in place"));
}

// Run as root, the entries get the owner and group their headers name, and keep their set-id bits.
TEST_F(TgzTest, RootGivesEntriesTheirOwners) {
    if (geteuid() != 0) GTEST_SKIP() << "only root can give files to others";
    const std::string archive = make("owners.tgz", R"(
def owned(t, name, data=b'', kind=tarfile.REGTYPE, mode=0o644, uid=1234, gid=4321):
    ti = tarfile.TarInfo(name); ti.type = kind; ti.mode = mode; ti.uid = uid; ti.gid = gid
    ti.size = len(data) if kind == tarfile.REGTYPE else 0
    t.addfile(ti, io.BytesIO(data) if ti.size else None)
def b(t):
    owned(t, 'd', kind=tarfile.DIRTYPE, mode=0o2755)
    owned(t, 'd/suid', b'x', mode=0o4755)
    owned(t, 'd/big', os.urandom(600000), mode=0o4750)
    owned(t, 'mine', b'x', uid=0, gid=0)
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    ASSERT_EQ(0, provider_.installFile(archive, prefix(), ""));
    const struct {
        const char* name;
        uid_t uid;
        gid_t gid;
        mode_t mode;
    } rows[] = {{"d", 1234, 4321, 02755}, {"d/suid", 1234, 4321, 04755}, {"d/big", 1234, 4321, 04750},
                {"mine", 0, 0, 0644}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        struct stat st;
        ASSERT_EQ(0, lstat((prefix() + "/" + r.name).c_str(), &st));
        EXPECT_EQ(r.uid, st.st_uid);
        EXPECT_EQ(r.gid, st.st_gid);
        EXPECT_EQ(r.mode, st.st_mode & 07777);
    }
}

TEST_F(TgzTest, AnOrdinaryUserGetsNoSetuidBitsAndTheUmaskApplies) {
    const std::string archive = make("modes.tgz", R"(
def b(t):
    entry(t, 'd', kind=tarfile.DIRTYPE, mode=0o777)
    entry(t, 'd/suid', b'x', mode=0o4777)
    entry(t, 'd/sgid', b'x', mode=0o2775)
open(out,'wb').write(gzip.compress(bytes(raw(b))))
)");
    const std::string user_dir = dir_.file("user");
    fs::create_directories(user_dir);
    fs::permissions(dir_.path(), fs::perms(0755));
    fs::permissions(user_dir, fs::perms(0777));
    fs::permissions(archive, fs::perms(0644));
    const std::string p = user_dir + "/prefix";
    const std::string tool = lumo_test::binary_dir() + "/bin/lumo-backend";
    if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not built";
    std::string command = "umask 027; ";
    if (geteuid() == 0) {
        // Root runs the tool as an unprivileged user: the same code path an ordinary user takes.
        if (run_command("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv is not installed";
        command += "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    command += tool + " install tgz " + archive + " " + p + " --db " + user_dir;
    std::string output;
    ASSERT_EQ(0, run_command(command, &output, true)) << output;
    for (const char* name : {"d", "d/suid", "d/sgid"}) {
        SCOPED_TRACE(name);
        struct stat st;
        ASSERT_EQ(0, lstat((p + "/" + name).c_str(), &st));
        EXPECT_EQ(0750u, st.st_mode & 07777);
        EXPECT_NE(0u, st.st_uid);
    }
}

TEST(TarHeaderTest, NumbersChecksumsAndNames) {
    unsigned char block[512] = {0};
    tar_header_t header;
    EXPECT_EQ(1, tar_header_parse(block, &header));
    memset(block, 'n', 100);  // a name filling its field without a terminator
    memcpy(block + 100, "0000644\0", 8);
    memcpy(block + 124, "        17 ", 12);
    block[156] = '0';
    memset(block + 148, ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : block) sum += c;
    snprintf(reinterpret_cast<char*>(block + 148), 8, "%06o", sum);
    ASSERT_EQ(0, tar_header_parse(block, &header));
    EXPECT_EQ(std::string(100, 'n'), header.name);
    EXPECT_EQ(15u, header.size);
    EXPECT_EQ(0644u, header.mode);
    block[130] = '9';  // not octal; the checksum is checked first, so fix it up
    memset(block + 148, ' ', 8);
    sum = 0;
    for (unsigned char c : block) sum += c;
    snprintf(reinterpret_cast<char*>(block + 148), 8, "%06o", sum);
    EXPECT_EQ(-1, tar_header_parse(block, &header));
    const struct {
        const char* records;
        int result;
    } rows[] = {{"13 path=abcd\n", 0}, {"12 path=abcd\n", -1}, {"99 path=x\n", -1}, {"x", -1}, {"9 size=1x\n", -1}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.records);
        EXPECT_EQ(r.result, tar_pax_apply(r.records, &header));
    }
}

}  // namespace
