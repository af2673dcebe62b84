#include "console.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "log.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::StdioRedirect;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

// What the body printed on a pseudo-terminal of the given width.
std::string printed_at(int columns, const std::function<void()>& body) {
    lumo_test::PtyOptions options;
    options.columns = columns;
    return lumo_test::run_on_pty([&body]() {
        body();
        return 0;
    }, {}, options).screen;
}

std::string repeat(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

const std::string e_acute = "\xc3\xa9";      // two bytes, one column
const std::string kanji = "\xe6\x97\xa5";    // three bytes, two columns
const std::string emoji = "\xf0\x9f\x98\x80";  // four bytes, one column

}  // namespace

TEST(ConsoleWidthTest, NotATerminalIsEightyColumns) {
    StdioRedirect out;
    out.output(STDOUT_FILENO);
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
        {"two-byte letters take one column", 20, repeat(e_acute, 25),
         repeat(e_acute, 20) + "\n" + repeat(e_acute, 5)},
        {"ten Japanese characters fill 20 columns", 20, repeat(kanji, 10), repeat(kanji, 10) + "\n"},
        {"eleven Japanese characters", 20, repeat(kanji, 11), repeat(kanji, 10) + "\n" + kanji},
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
        const std::string text = r.text;
        EXPECT_EQ(r.expected, printed_at(r.columns, [&text]() { print_string("%s", text.c_str()); }));
    }
}

TEST(PrintStringTest, FormatsLikePrintf) {
    EXPECT_EQ("list has 3 items (42.2%)\n",
              printed_at(80, []() { print_string("%s has %d items (%.1f%%)\n", "list", 3, 42.25); }));
}

TEST(PrintStringTest, StrayContinuationByteIsLoggedAndTakesOneColumn) {
    const std::string text = std::string(10, 'a') + "\x80" + std::string(15, 'b');
    EXPECT_EQ(std::string(10, 'a') + "\x80" + std::string(9, 'b') + "\n" + std::string(6, 'b'),
              printed_at(20, [&text]() { print_string("%s", text.c_str()); }));
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
    // One unbroken word: every line is exactly 80 columns.
    StdioRedirect out;
    out.output(STDOUT_FILENO);
    print_string("%s", std::string(10000, 'x').c_str());
    std::string expected;
    for (int i = 0; i < 125; ++i) expected += std::string(80, 'x') + "\n";
    EXPECT_EQ(expected, out.text());
}

// The terminal's width, clamped to 10 through 80.
TEST(PrintDashesTest, PrintsAConsoleWideRow) {
    const struct { int columns; size_t dashes; } rows[] = {{120, 80}, {81, 80}, {40, 40}, {10, 10}, {9, 80}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.columns);
        EXPECT_EQ(std::string(r.dashes, '-') + "\n", printed_at(r.columns, []() { print_dashes(); }));
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

TEST(ReadPathTest, ReturnsAtNewlineWhenInputIsNotATerminal) {
    LogCapture log;
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
        StdioRedirect redirect;
        redirect.input(r.input).output(STDOUT_FILENO).output(STDERR_FILENO, "/dev/null");
        std::string text = "old";
        EXPECT_EQ(r.status, read_path(text));
        EXPECT_EQ(r.path, text);
    }
    EXPECT_TRUE(log.has_line(": read_path: entered string is \"/opt/app\""));
}

TEST(ReadPathTest, LongPathIsCutTo4095Bytes) {
    LogCapture log;
    StdioRedirect redirect;
    redirect.input("/" + std::string(6000, 'p') + "\n").output(STDOUT_FILENO).output(STDERR_FILENO, "/dev/null");
    std::string text;
    EXPECT_EQ(read_path_done, read_path(text));
    EXPECT_EQ("/" + std::string(4094, 'p'), text);
    EXPECT_TRUE(log.has_line(": read_path: string length exceeds 4095, truncating"));
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
         {"alpha/      alpine.txt  beta.txt    l1          longfolder/ "}},
        {"cells are the longest name and two spaces, which a folder's slash shares", base + "l\t\n",
         base + "l", {"\nl1          longfolder/ \n"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        StdioRedirect redirect;
        redirect.input(r.input).output(STDOUT_FILENO).output(STDERR_FILENO, "/dev/null");
        std::string text;
        EXPECT_EQ(read_path_done, read_path(text));
        const std::string shown = redirect.text();
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
        StdioRedirect redirect;
        redirect.input("uni\t\n").output(STDOUT_FILENO).output(STDERR_FILENO, "/dev/null");
        EXPECT_EQ(read_path_done, read_path(text));
    }
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ("./unique-name.txt", text);
}

TEST(UtilsCommandTest, GetFileOrCommandRunsACommandOrReadsAFile) {
    TempDir dir;
    LogCapture log;
    EXPECT_EQ("a\n", get_file_or_command("$(printf 'a\\n')"));
    EXPECT_EQ("a b\n", get_file_or_command("$(echo &quot;a b&quot; &amp;&amp; true)"));
    EXPECT_EQ("<x>", get_file_or_command("$(printf '%s' '&lt;x&gt;')"));

    write_file_text(dir.file("f"), "file text\n");
    EXPECT_EQ("file text\n", get_file_or_command(dir.file("f").c_str()));
    EXPECT_EQ("", get_file_or_command(dir.file("missing").c_str()));
    EXPECT_TRUE(log.has_line("ERROR: : Can't read file \"" + dir.file("missing") + "\": No such file or directory"));
    // Shorter than "$(x)": a path, not a command.
    EXPECT_EQ("", get_file_or_command("$()"));
    EXPECT_TRUE(log.has_line("ERROR: : Can't read file \"$()\": No such file or directory"));

    EXPECT_EQ("", get_file_or_command(nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : get_file_or_command: path is NULL"));
}

// On a terminal that echoes control characters, the line's end shows as "^J" and the cursor stays
// on the line: the line is written again and ended, so what follows starts on a line of its own.
TEST(ReadPathTest, ALineEndedOnATerminalEndsOnTheScreenToo) {
    const lumo_test::PtyRun run = lumo_test::run_on_pty([]() {
        std::string text;
        const int status = read_path(text);
        printf("[%s]", text.c_str());
        fflush(stdout);
        return status == read_path_done ? 0 : 1;
    }, {{"\n", "/opt/app\n"}});
    EXPECT_EQ(0, run.status);
    EXPECT_NE(std::string::npos, run.screen.find("\x1b[2K\r/opt/app\n[/opt/app]")) << run.screen;
}
