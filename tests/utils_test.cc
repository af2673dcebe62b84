#include "console.h"
#include "utils.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "env.h"
#include "log.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

// The NUL-separated arguments of the shell that ran a command, as the kernel recorded them.
std::vector<std::string> split_nul(const std::string& text) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : text) {
        if (c == '\0') {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

}  // namespace

TEST(UtilsStringTest, StrtolettersKeepsOnlyAsciiLetters) {
    const struct { const char* text; const char* expected; } rows[] = {
        {"abcXYZ", "abcXYZ"}, {"comp-1.2", "comp____"}, {"", ""}, {"a b\tc", "a_b_c"},
        {"\xc3\xa9t\xc3\xa9", "__t__"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.expected, strtoletters(r.text));
    }
}

TEST(UtilsStringTest, StrtowidthRightAlignsShortTexts) {
    const struct { const char* text; int width; const char* expected; } rows[] = {
        {"abc", 5, "  abc"}, {"abc", 2, "abc"}, {"abc", 3, "abc"}, {"", 2, "  "},
        {"abc", 0, "abc"},   {"abc", -4, "abc"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " to " + std::to_string(r.width));
        EXPECT_EQ(r.expected, strtowidth(r.text, r.width));
    }
}

TEST(UtilsStringTest, SplitStringKeepsEmptyPiecesOnlyWhenAsked) {
    using list = std::vector<std::string>;
    const struct { const char* text; const char* delimiter; bool keep; list expected; } rows[] = {
        {"a;;b", ";", false, {"a", "b"}},
        {"a;;b", ";", true, {"a", "", "b"}},
        {"", ";", true, {}},
        {";", ";", true, {"", ""}},
        {";", ";", false, {}},
        {"a::b::c", "::", false, {"a", "b", "c"}},
        {"a:::b", "::", true, {"a", ":b"}},
        {"abc", ";", false, {"abc"}},
        {"abc", "", false, {"abc"}},
        {"a;b;", ";", true, {"a", "b", ""}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + " / " + r.delimiter + (r.keep ? " keep" : ""));
        EXPECT_EQ(r.expected, splitString(r.text, r.delimiter, r.keep));
    }
}

TEST(UtilsStringTest, TrimSpacesRemovesWhiteSpaceAtBothEnds) {
    const struct { const char* text; const char* expected; } rows[] = {
        {"  a b  ", "a b"}, {"\t\n x \r\n", "x"}, {"", ""}, {"   ", ""}, {"x", "x"}, {"12\n", "12"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.expected, trimSpaces(r.text));
    }
}

TEST(UtilsStringTest, ReplaceAllSubstringsResumesAfterTheInsertedText) {
    const struct { const char* text; const char* from; const char* to; const char* expected; } rows[] = {
        {"a.b.c", ".", "::", "a::b::c"},
        {"aaa", "a", "aa", "aaaaaa"},   // would never end if the inserted text were scanned again
        {"abab", "ab", "", ""},
        {"xyz", "q", "r", "xyz"},
        {"xyz", "", "r", "xyz"},
        {"", "a", "b", ""},
        {"aaaa", "aa", "a", "aa"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.text) + ": " + r.from + " -> " + r.to);
        EXPECT_EQ(r.expected, replaceAllSubstrings(r.text, r.from, r.to));
    }
}

TEST(UtilsStringTest, PathCollapsesEveryRunOfSlashes) {
    const struct { const char* text; const char* expected; } rows[] = {
        {"a//b///c", "a/b/c"}, {"//x", "/x"}, {"a/b", "a/b"}, {"", ""}, {"////", "/"}, {"a\\\\b", "a\\\\b"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.expected, path(r.text));
    }
}

TEST(UtilsStringTest, NumbersConvertBothWays) {
    const struct { const char* text; int value; } rows[] = {
        {"42", 42}, {" 12abc", 12}, {"abc", 0}, {"", 0}, {"-7", -7}, {"+3", 3},
        {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.value, strtoint(r.text));
    }
    EXPECT_EQ("0", inttostr(0));
    EXPECT_EQ("-15", inttostr(-15));
    EXPECT_EQ("9223372036854775807", inttostr(INT64_MAX));
    EXPECT_EQ("-9223372036854775808", inttostr(INT64_MIN));
}

TEST(UtilsStringTest, RemoveNewlinesAndStringIsEmptyLogWhatTheySee) {
    LogCapture log;
    EXPECT_EQ("a b c d", remove_newlines("a\nb<br>c\nd"));
    EXPECT_TRUE(log.has_line(": remove_newlines: return [a b c d]"));
    EXPECT_TRUE(log.has_line(": remove_newlines: got [a"));

    const struct { const char* text; bool empty; } rows[] = {
        {"", true}, {" \t\n", true}, {" x ", false}, {"0", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.empty, string_is_empty(r.text));
    }
    EXPECT_TRUE(log.has_line(": string_is_empty:  x "));
    EXPECT_TRUE(log.has_line(": string_is_empty: returns 0"));
    EXPECT_TRUE(log.has_line(": string_is_empty: returns 1"));
}

TEST(UtilsTest, GetArchNamesTheMachine) {
    std::string machine;
    ASSERT_EQ(0, lumo_test::run_command("uname -m", &machine));
    EXPECT_EQ(machine, get_arch() + "\n");
}

TEST(UtilsTest, AddUserStatDataAppendsWithCommas) {
    session_t session;
    EXPECT_EQ(0, add_user_stat_data(&session, "STATS", "first"));
    EXPECT_EQ("first", env_get_string(&session, std::string("STATS")));
    EXPECT_EQ(0, add_user_stat_data(&session, "STATS", "second"));
    EXPECT_EQ("first,second", env_get_string(&session, std::string("STATS")));
    LogCapture log;
    EXPECT_EQ(-1, add_user_stat_data(nullptr, "STATS", "x"));
    EXPECT_TRUE(log.has_line(": parameter is null"));
}

TEST(UtilsCommandTest, ExecuteArgsReturnsTheExitStatus) {
    LogCapture log;
    EXPECT_EQ(0, execute_args("true", ""));
    EXPECT_EQ(3, execute_args("exit", "3"));
    EXPECT_TRUE(log.has_line(": execute_args: command exit, arguments 3"));
    EXPECT_TRUE(log.has_line(": execute_args: return code is 768"));
    EXPECT_EQ(-1, execute_args("", "x"));
    EXPECT_NE(std::string::npos, log.text().find("ERROR: : src/utils.cc:"));
    EXPECT_TRUE(log.has_line(": parameter is empty"));
}

TEST(UtilsCommandTest, ExecuteArgsOfAKilledCommandIsNotSuccess) {
    EXPECT_EQ(128 + 9, execute_args("kill", "-9 $$"));
}

TEST(UtilsCommandTest, ExecuteArgsJoinsWithOneSpaceAndNoneWhenArgumentsAreEmpty) {
    TempDir dir;
    // The shell's own argument list shows the exact line it was given; "; true" keeps the shell
    // from replacing itself by the last command before /proc is read.
    const std::string command = "cat /proc/$$/cmdline > " + dir.file("line") + "; true";
    EXPECT_EQ(0, execute_args(command, ""));
    std::vector<std::string> args = split_nul(read_file(dir.file("line")));
    ASSERT_EQ(3u, args.size());
    EXPECT_EQ(command, args[2]);

    EXPECT_EQ(0, execute_args(command, "#comment"));
    args = split_nul(read_file(dir.file("line")));
    ASSERT_EQ(3u, args.size());
    EXPECT_EQ(command + " #comment", args[2]);
}

TEST(UtilsCommandTest, GetCommandOutputCollectsAllOfStandardOutput) {
    EXPECT_EQ("a\nb", get_command_output("printf 'a\\nb'"));
    EXPECT_EQ(std::string(5000, 'x'), get_command_output(std::string("head -c 5000 /dev/zero | tr '\\0' x")));
    EXPECT_EQ("", get_command_output("true"));
    LogCapture log;
    EXPECT_EQ("", get_command_output(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log.has_line("ERROR: : get_command_output: command is NULL"));
}

TEST(UtilsCommandTest, GetCommandOutputSilencesStandardErrorOnlyWhileTheCommandRuns) {
    TempDir dir;
    const std::string capture = dir.file("stderr");
    fflush(stderr);
    const int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    const int fd = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    dup2(fd, STDERR_FILENO);
    close(fd);

    const std::string output = get_command_output("echo hidden >&2; echo shown");
    const std::string missing = get_command_output("/no/such/program");
    const ssize_t written = write(STDERR_FILENO, "after\n", 6);

    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_EQ(6, written);
    EXPECT_EQ("shown\n", output);
    EXPECT_EQ("", missing);
    EXPECT_EQ("after\n", read_file(capture));
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
