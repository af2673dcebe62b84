#include "console.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

// Standard output on the slave side of a fresh pseudo-terminal of the given width, with output
// processing off so the bytes arrive as written. take() returns what was printed so far: a
// marker written after it tells where the printed text ends, so nothing depends on timing.
class PtyStdout {
public:
    explicit PtyStdout(int columns) {
        struct winsize size = {};
        size.ws_row = 24;
        size.ws_col = static_cast<unsigned short>(columns);
        if (openpty(&m_master, &m_slave, nullptr, nullptr, &size) != 0) return;
        struct termios mode;
        tcgetattr(m_slave, &mode);
        mode.c_oflag &= ~OPOST;
        tcsetattr(m_slave, TCSANOW, &mode);
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        dup2(m_slave, STDOUT_FILENO);
    }
    ~PtyStdout() {
        restore();
        if (m_slave >= 0) close(m_slave);
        if (m_master >= 0) close(m_master);
    }
    PtyStdout(const PtyStdout&) = delete;
    PtyStdout& operator=(const PtyStdout&) = delete;

    bool ok() const { return m_saved >= 0; }

    std::string take() {
        static const std::string marker = "\x01<end>\x01";
        fflush(stdout);
        if (write(STDOUT_FILENO, marker.data(), marker.size()) != static_cast<ssize_t>(marker.size())) return "";
        std::string seen;
        while (seen.size() < marker.size() || seen.compare(seen.size() - marker.size(), marker.size(), marker) != 0) {
            struct pollfd ready = {m_master, POLLIN, 0};
            if (poll(&ready, 1, 5000) <= 0) return "<timeout>" + seen;
            char block[4096];
            const ssize_t got = read(m_master, block, sizeof block);
            if (got <= 0) return "<closed>" + seen;
            seen.append(block, static_cast<size_t>(got));
        }
        return seen.substr(0, seen.size() - marker.size());
    }

private:
    void restore() {
        if (m_saved < 0) return;
        fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    int m_master = -1;
    int m_slave = -1;
    int m_saved = -1;
};

// Standard output into a file while it lives.
class StdoutToFile {
public:
    explicit StdoutToFile(const std::string& path) : m_path(path) {
        fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutToFile() { restore(); }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;
    std::string text() {
        restore();
        return read_file(m_path);
    }

private:
    void restore() {
        if (m_saved < 0) return;
        fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
        m_saved = -1;
    }
    std::string m_path;
    int m_saved = -1;
};

// Standard error into /dev/null while it lives: the path reader's line-erasing sequences go there.
class StderrToNull {
public:
    StderrToNull() {
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        const int fd = open("/dev/null", O_WRONLY);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrToNull() {
        fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
    }
    StderrToNull(const StderrToNull&) = delete;
    StderrToNull& operator=(const StderrToNull&) = delete;

private:
    int m_saved = -1;
};

// Standard input read from a file holding text while it lives.
class StdinFromText {
public:
    StdinFromText(const TempDir& dir, const std::string& text) {
        const std::string path = dir.file("stdin.txt");
        write_file_text(path, text);
        m_saved = dup(STDIN_FILENO);
        const int fd = open(path.c_str(), O_RDONLY);
        dup2(fd, STDIN_FILENO);
        close(fd);
    }
    ~StdinFromText() {
        dup2(m_saved, STDIN_FILENO);
        close(m_saved);
    }
    StdinFromText(const StdinFromText&) = delete;
    StdinFromText& operator=(const StdinFromText&) = delete;

private:
    int m_saved = -1;
};

std::string repeat(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

const std::string e_acute = "\xc3\xa9";      // two bytes, one column
const std::string kanji = "\xe6\x97\xa5";    // three bytes, two columns
const std::string emoji = "\xf0\x9f\x98\x80";  // four bytes, one column

}  // namespace

TEST(ConsoleWidthTest, TerminalWidthIsClampedTo10Through80) {
    const struct { int columns; int expected; } rows[] = {
        {20, 20}, {40, 40}, {80, 80}, {10, 10}, {9, 80}, {120, 80}, {81, 80},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.columns);
        PtyStdout console(r.columns);
        ASSERT_TRUE(console.ok());
        EXPECT_EQ(r.expected, get_window_width());
    }
}

TEST(ConsoleWidthTest, NotATerminalIsEightyColumns) {
    TempDir dir;
    StdoutToFile out(dir.file("out"));
    EXPECT_EQ(80, get_window_width());
    print_string("%s", std::string(100, 'x').c_str());
    EXPECT_EQ(std::string(80, 'x') + "\n" + std::string(20, 'x'), out.text());
}

TEST(PrintStringTest, WrapsAtTheConsoleWidth) {
    const struct { const char* what; int columns; std::string text; std::string expected; } rows[] = {
        {"five four-letter words", 20, "aaaa bbbb cccc dddd eeee", "aaaa bbbb cccc dddd \neeee"},
        {"30-letter word is broken after 20", 20, "abcdefghijklmnopqrstuvwxyzABCD",
         "abcdefghijklmnopqrst\nuvwxyzABCD"},
        {"space after the last column is dropped", 20, std::string(20, 'a') + " bbb",
         std::string(20, 'a') + "\nbbb"},
        {"newline after the last column is not doubled", 20, std::string(20, 'a') + "\nb",
         std::string(20, 'a') + "\nb"},
        {"a word moves down whole", 20, "aaaaaaaaaa bbbbbbbbbbbb", "aaaaaaaaaa\nbbbbbbbbbbbb"},
        {"a space in the first column is not a break", 20, " " + std::string(25, 'a'),
         " " + std::string(19, 'a') + "\n" + std::string(6, 'a')},
        {"newlines end lines as written", 20, "ab\n\ncd\n", "ab\n\ncd\n"},
        {"a full last line ends with a newline", 20, std::string(20, 'z'), std::string(20, 'z') + "\n"},
        {"sentence at 40", 40, "The quick brown fox jumps over the lazy dog and keeps running far away",
         "The quick brown fox jumps over the lazy \ndog and keeps running far away"},
        {"words at 80", 80, repeat("word ", 19) + "word", repeat("word ", 16) + "\nword word word word"},
        {"two-byte letters take one column", 20, repeat(e_acute, 25),
         repeat(e_acute, 20) + "\n" + repeat(e_acute, 5)},
        {"two-byte words", 20,
         repeat(e_acute, 4) + " " + repeat(e_acute, 4) + " " + repeat(e_acute, 4) + " " + repeat(e_acute, 4) +
             " " + repeat(e_acute, 4),
         repeat(e_acute, 4) + " " + repeat(e_acute, 4) + " " + repeat(e_acute, 4) + " " + repeat(e_acute, 4) +
             " \n" + repeat(e_acute, 4)},
        {"two-byte letters at 80", 80, repeat(e_acute, 100), repeat(e_acute, 80) + "\n" + repeat(e_acute, 20)},
        {"ten Japanese characters fill 20 columns", 20, repeat(kanji, 10), repeat(kanji, 10) + "\n"},
        {"eleven Japanese characters", 20, repeat(kanji, 11), repeat(kanji, 10) + "\n" + kanji},
        {"Japanese at 40", 40, repeat(kanji, 25), repeat(kanji, 20) + "\n" + repeat(kanji, 5)},
        {"Japanese words", 20, repeat(kanji, 4) + " " + repeat(kanji, 4) + " " + repeat(kanji, 4),
         repeat(kanji, 4) + " " + repeat(kanji, 4) + "\n" + repeat(kanji, 4)},
        {"a wide character never hangs past the edge", 20, "a" + repeat(kanji, 10),
         "a" + repeat(kanji, 9) + "\n" + kanji},
        {"four-byte characters take one column", 20, repeat(emoji, 25),
         repeat(emoji, 20) + "\n" + repeat(emoji, 5)},
        {"a cut sequence at the end stays as it is", 20, "ab\xe6\x97", "ab\xe6\x97"},
        {"a lead byte never swallows a newline", 20, "a\xe6\nb", "a\xe6\nb"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.what) + " at " + std::to_string(r.columns));
        PtyStdout console(r.columns);
        ASSERT_TRUE(console.ok());
        EXPECT_EQ(0, print_string("%s", r.text.c_str()));
        EXPECT_EQ(r.expected, console.take());
    }
}

TEST(PrintStringTest, FormatsLikePrintf) {
    PtyStdout console(80);
    ASSERT_TRUE(console.ok());
    print_string("%s has %d items (%.1f%%)\n", "list", 3, 42.25);
    EXPECT_EQ("list has 3 items (42.2%)\n", console.take());
}

TEST(PrintStringTest, StrayContinuationByteIsLoggedAndTakesOneColumn) {
    LogCapture log;
    PtyStdout console(20);
    ASSERT_TRUE(console.ok());
    print_string("%s", (std::string(10, 'a') + "\x80" + std::string(15, 'b')).c_str());
    EXPECT_EQ(std::string(10, 'a') + "\x80" + std::string(9, 'b') + "\n" + std::string(6, 'b'), console.take());
    EXPECT_TRUE(log.has_line(": unknown char"));
    EXPECT_TRUE(log.has_line(": print_string: Keep buffer as is"));
}

TEST(PrintStringTest, NullFormatIsRefused) {
    LogCapture log;
    const char* volatile none = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    EXPECT_EQ(-1, print_string(none));
#pragma GCC diagnostic pop
    EXPECT_TRUE(log.has_line("ERROR: : print_string: format string is null"));
}

TEST(PrintStringTest, TextsBeyondFourKilobytesArePrintedWhole) {
    TempDir dir;
    // One unbroken word: every line is exactly 80 columns.
    {
        StdoutToFile out(dir.file("word"));
        print_string("%s", std::string(10000, 'x').c_str());
        std::string expected;
        for (int i = 0; i < 125; ++i) expected += std::string(80, 'x') + "\n";
        EXPECT_EQ(expected, out.text());
    }
    // Many words: no line is longer than 80 and only spaces turned into breaks.
    {
        const std::string text = repeat("abc defgh ij ", 1000);
        StdoutToFile out(dir.file("words"));
        print_string("%s", text.c_str());
        const std::string printed = out.text();
        std::string rejoined;
        size_t start = 0;
        for (;;) {
            const size_t end = printed.find('\n', start);
            const std::string line = printed.substr(start, end == std::string::npos ? std::string::npos : end - start);
            EXPECT_LE(line.size(), 80u);
            rejoined += line;
            if (end == std::string::npos) break;
            if (line.empty() || line.back() != ' ') rejoined += ' ';  // the break took a space
            start = end + 1;
        }
        EXPECT_EQ(text, rejoined);
    }
}

TEST(PrintDashesTest, PrintsAConsoleWideRow) {
    const struct { int columns; size_t dashes; } rows[] = {{120, 80}, {40, 40}, {20, 20}, {5, 80}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.columns);
        PtyStdout console(r.columns);
        ASSERT_TRUE(console.ok());
        EXPECT_EQ(0, print_dashes());
        EXPECT_EQ(std::string(r.dashes, '-') + "\n", console.take());
    }
}

TEST(ConsoleHelpersTest, MakePaddingAndConcat) {
    EXPECT_EQ("   ", make_padding(3));
    EXPECT_EQ("", make_padding(0));
    EXPECT_EQ("", make_padding(-2));
    std::string buffer = "ab";
    EXPECT_EQ("abcd", concat(buffer, "cd"));
    EXPECT_EQ("abcd", buffer);
    const std::string big(5000, 'q');
    EXPECT_EQ(5004u, concat(buffer, big).size());
}

TEST(GetNextLineTest, EndsLinesInPlace) {
    const struct { const char* what; std::string buffer; std::vector<std::string> lines; } rows[] = {
        {"carriage return and newline", "a\r\nb", {"a", "b"}},
        {"plain newlines", "x\ny\n", {"x", "y"}},
        {"empty lines", "\n\n", {"", ""}},
        {"a lone carriage return stays", "a\rb\nc", {"a\rb", "c"}},
        {"no newline at all", "only", {"only"}},
        {"empty buffer", "", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::string buffer = r.buffer;
        size_t position = 0;
        std::vector<std::string> lines;
        while (const char* line = get_next_line(buffer, &position)) lines.push_back(line);
        EXPECT_EQ(r.lines, lines);
        EXPECT_EQ(r.buffer.size(), position);
        EXPECT_EQ(nullptr, get_next_line(buffer, &position));
    }
}

TEST(ParseIniLineTest, CutsAtEverySeparatorKeepingEmptyPieces) {
    LogCapture log;
    const struct { std::string line; char separator; std::vector<std::string> pieces; } rows[] = {
        {"default:_internal_:strings_default.xml", ':', {"default", "_internal_", "strings_default.xml"}},
        {"de::strings_de.xml:${X} -eq 1", ':', {"de", "", "strings_de.xml", "${X} -eq 1"}},
        {"a:", ':', {"a", ""}},
        {"a;b", ';', {"a", "b"}},
        {"no separator", ':', {"no separator"}},
        {"", ':', {}},
        {"# a:comment", ':', {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        EXPECT_EQ(r.pieces, parse_ini_line(r.line, r.separator));
    }
    EXPECT_TRUE(log.has_line(": parse_ini_line: found component is strings_default.xml"));
    EXPECT_TRUE(log.has_line(": parse_ini_line: line is empty or comment"));
}

TEST(UtilsRegexTest, CompilesMatchesAndReleases) {
    LogCapture log;
    regex_ptr number = get_regex("^[0-9]+$", REG_EXTENDED | REG_NOSUB);
    ASSERT_NE(nullptr, number);
    EXPECT_EQ(1, regmatch(number.get(), "123", 0));
    EXPECT_EQ(0, regmatch(number.get(), "12a", 0));
    EXPECT_EQ(0, regmatch(number.get(), "", 0));
    free_regex(number);
    EXPECT_EQ(nullptr, number);
    EXPECT_EQ(nullptr, get_regex("(", REG_EXTENDED));
    EXPECT_EQ(nullptr, get_regex(nullptr, REG_EXTENDED));
    EXPECT_EQ(-1, regmatch(nullptr, "x", 0));
    EXPECT_TRUE(log.has_line("parameter is null"));
}

TEST(UtilsRegexTest, EveryCallerIsRefusedCatastrophicPatterns) {
    const struct { const char* pattern; bool refused; } rows[] = {
        {"^(a|aa)+\\1$", true}, {"(x)\\2", true}, {"(x{1000}){1000}", true}, {"x**", true},
        {"(x*){10000}", true}, {"^[\\1]+$", false}, {"^\\.[0-9]+$", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pattern);
        LogCapture log;
        EXPECT_EQ(r.refused, regex_too_complex(r.pattern));
        EXPECT_EQ(r.refused, get_regex(r.pattern, REG_EXTENDED | REG_NOSUB) == nullptr);
        EXPECT_EQ(r.refused, log.has_line("ERROR: : get_regex: pattern refused as too complex"));
    }
}

TEST(ReadPathTest, ReturnsAtNewlineWhenInputIsNotATerminal) {
    LogCapture log;
    TempDir dir;
    const struct { const char* what; std::string input; int status; std::string path; } rows[] = {
        {"plain line", "/opt/app\nrest", read_path_done, "/opt/app"},
        {"backspace and delete drop a character", "/optx\x7fy\b/app\n", read_path_done, "/opt/app"},
        {"backspace drops a whole two-byte letter", "ab" + e_acute + "\x7f\n", read_path_done, "ab"},
        {"arrow keys do nothing", "/o\x1b[Apt\x1b[D\n", read_path_done, "/opt"},
        {"other key sequences are swallowed", "/o\x1b[3~pt\n", read_path_done, "/opt"},
        {"a lone escape is no character", "a\x1b" "b\n", read_path_done, "ab"},
        {"input ends before a newline", "/part", read_path_ended, "/part"},
        {"input is empty", "", read_path_ended, ""},
        {"ctrl-d on an empty line ends the input", "\x04", read_path_ended, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        StdinFromText in(dir, r.input);
        StdoutToFile out(dir.file("out"));
        StderrToNull quiet;
        std::string text = "old";
        EXPECT_EQ(r.status, read_path(text));
        EXPECT_EQ(r.path, text);
    }
    EXPECT_TRUE(log.has_line(": read_path: entered string is \"/opt/app\""));
}

TEST(ReadPathTest, LongPathIsCutTo4095Bytes) {
    LogCapture log;
    TempDir dir;
    StdinFromText in(dir, "/" + std::string(6000, 'p') + "\n");
    StdoutToFile out(dir.file("out"));
    std::string text;
    EXPECT_EQ(read_path_done, read_path(text));
    EXPECT_EQ("/" + std::string(4094, 'p'), text);
    EXPECT_TRUE(log.has_line(": read_path: string length exceeds 4095, truncating"));
    // What was entered is logged first, then that it is cut.
    const std::string logged = log.text();
    const size_t entered = logged.find(": read_path: entered string is \"/ppp");
    ASSERT_NE(std::string::npos, entered);
    EXPECT_LT(entered, logged.find(": read_path: string length exceeds 4095, truncating"));
}

TEST(ReadPathTest, TabCompletesFromTheFolder) {
    TempDir dir;
    const std::string base = dir.file("tree") + "/";
    ASSERT_EQ(0, mkdir(dir.file("tree").c_str(), 0755));
    ASSERT_EQ(0, mkdir((base + "alpha").c_str(), 0755));
    write_file_text(base + "beta.txt", "b");
    write_file_text(base + "alpine.txt", "a");
    write_file_text(base + "alpha/inner", "i");
    ASSERT_EQ(0, mkdir((base + "longfolder").c_str(), 0755));
    write_file_text(base + "l1", "l");
    const struct { const char* what; std::string input; std::string path; std::vector<std::string> shown; } rows[] = {
        {"one candidate", base + "b\t\n", base + "beta.txt", {}},
        {"a folder gets a slash", base + "alph\t\n", base + "alpha/", {}},
        {"several extend to the common beginning and are listed", base + "al\t\n", base + "alp",
         {"alpha/      alpine.txt  "}},
        {"completion goes on after a listing", base + "al\tha\t\t\n", base + "alpha/inner", {}},
        {"no candidate leaves the text", base + "zz\t\n", base + "zz", {}},
        {"an empty partial name lists everything", base + "\t\n", base,
         {"alpha/       alpine.txt   beta.txt     l1           longfolder/  "}},
        {"cells are the longest shown name, a folder's slash included, and two spaces", base + "l\t\n",
         base + "l", {"\nl1           longfolder/  \n"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        StdinFromText in(dir, r.input);
        StdoutToFile out(dir.file("out"));
        StderrToNull quiet;
        std::string text;
        EXPECT_EQ(read_path_done, read_path(text));
        const std::string shown = out.text();
        EXPECT_EQ(r.path, text);
        for (const std::string& piece : r.shown) EXPECT_NE(std::string::npos, shown.find(piece)) << shown;
    }
}

TEST(ReadPathTest, TabOnANameWithoutSlashStartsFromTheCurrentFolder) {
    TempDir dir;
    write_file_text(dir.file("unique-name.txt"), "u");
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    std::string text;
    {
        StdinFromText in(dir, "uni\t\n");
        StdoutToFile out(dir.file("out"));
        StderrToNull quiet;
        EXPECT_EQ(read_path_done, read_path(text));
    }
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ("./unique-name.txt", text);
}
