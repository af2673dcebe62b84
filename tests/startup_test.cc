#include "startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;

namespace {

struct parsed_t {
    int result;
    std::string dump;
};

parsed_t parse(std::vector<std::string> args) {
    args.insert(args.begin(), "lumo");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    session_t main_session, cmdline;
    // stdout carries the "Incorrect command-line argument" lines; keep the test output clean.
    fflush(stdout);
    const int result = parse_command_line(&main_session, static_cast<int>(args.size()), argv.data(), &cmdline);
    fflush(stdout);
    return {result, env_dump(&cmdline, 0)};
}

// Answers the interrupt prompt through a pipe; returns the prompt's result and what it wrote.
int answer_prompt(const std::string& input, std::string* output) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return -1;
    if (write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) return -1;
    close(in[1]);
    const int result = interrupt_prompt(in[0], out[1]);
    close(in[0]);
    close(out[1]);
    char block[4096];
    ssize_t got;
    output->clear();
    while ((got = read(out[0], block, sizeof block)) > 0) output->append(block, static_cast<size_t>(got));
    close(out[0]);
    return result;
}

}  // namespace

TEST(StartupTest, CommandLineBecomesProperties) {
    const struct {
        std::vector<std::string> args;
        int result;
        const char* dump;
    } rows[] = {
        {{"-s", "cfg.ini"}, 0, "silent#cfg.ini\n"},
        {{"--silent", "cfg.ini"}, 0, "silent#cfg.ini\n"},
        {{"--silent=cfg.ini"}, 0, "silent#cfg.ini\n"},
        {{"--tmp-dir", "/x"}, 0, "tmp_dir#/x\n"},
        {{"-t", "/x"}, 0, "tmp_dir#/x\n"},
        {{"--a-b=c-d"}, 0, "a_b#c-d\n"},
        {{"--flag", "--other", "v"}, 0, "flag#\nother#v\n"},
        {{"--flag", "-s", "x"}, 0, "flag#\nsilent#x\n"},
        {{"--flag", "-q"}, 0, "flag#-q\n"},
        {{"--query", "--a", "b"}, 0, "query#\nquery_a#b\n"},
        {{"--query", "--a=b", "--f", "--g"}, 0, "f#\ng#\nquery#\nquery_a#b\n"},
        {{"x", "-", "--k", "v"}, 0, "k#v\n"},
        {{"--last"}, 0, "last#\n"},
        {{"--quoted", "'a b'"}, 0, "quoted#a b\n"},
        {{"--ref", "${NOTHING}x"}, 0, "ref#x\n"},
        {{"-z"}, -1, ""},
        {{"--"}, -1, ""},
        {{"--9bad", "v"}, -1, "9bad#v\n"},
        {{"--9bad"}, -1, "9bad#\n"},
        {{}, 0, ""},
    };
    for (const auto& row : rows) {
        std::string joined;
        for (const std::string& arg : row.args) joined += arg + " ";
        SCOPED_TRACE(joined);
        const parsed_t parsed = parse(row.args);
        EXPECT_EQ(row.result, parsed.result);
        EXPECT_EQ(row.dump, parsed.dump);
    }
}

TEST(StartupTest, ShortcutsAndNamesFollowTheirRules) {
    EXPECT_EQ("--silent", match_cmdline_shortcut("-s"));
    EXPECT_EQ("--tmp-dir", match_cmdline_shortcut("-t"));
    EXPECT_EQ("--help", match_cmdline_shortcut("-h"));
    EXPECT_EQ("", match_cmdline_shortcut("-q"));
    EXPECT_EQ("", match_cmdline_shortcut("-sx"));
    EXPECT_EQ("", match_cmdline_shortcut("s"));
    const struct {
        const char* name;
        int result;
    } names[] = {{"", 0}, {"a", 0}, {"_x-y9", 0}, {"9bad", -1}, {"a b", -1}, {"a=b", -1}, {"-a", -1}};
    for (const auto& row : names) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.result, check_env_name(row.name));
    }
    EXPECT_EQ(0, check_env_name(nullptr));
}

TEST(StartupTest, ConfigurationWinsOverTheCommandLine) {
    LogCapture log;
    session_t main_session, cmdline;
    env_set_string(&main_session, "PRODUCT", "from configuration");
    env_set_string(&cmdline, "PRODUCT", "from command line");
    env_set_string(&cmdline, "NEW", "added");
    env_set_string(&cmdline, "KEY__HIDE__", "secret");
    ASSERT_EQ(0, commandline_merge(&main_session, &cmdline));
    EXPECT_EQ("from configuration", env_get_string(&main_session, std::string("PRODUCT")));
    EXPECT_EQ("added", env_get_string(&main_session, std::string("NEW")));
    EXPECT_TRUE(log.has_line(": commandline_merge: property with name exists already. Skip merge for it."));
    EXPECT_TRUE(log.has_line(": commandline_merge:       add data 'added'"));
    EXPECT_TRUE(log.has_line(": commandline_merge:       add data '[HIDDEN]'"));
    EXPECT_EQ(std::string::npos, log.text().find("secret"));
    EXPECT_EQ(-1, commandline_merge(nullptr, &cmdline));
    EXPECT_TRUE(log.has_line("ERROR: : commandline_merge: session is null"));
    EXPECT_EQ(-1, commandline_merge(&main_session, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : commandline_merge: command line environment is null"));
}

TEST(StartupTest, InterruptPromptAcceptsYesNoAndEmpty) {
    const std::string prompt = "\nInterrupt install process?(Yes/No)[No]: ";
    const std::string again = "Incorrect input, please try again\n";
    const struct {
        const char* input;
        int result;
        int prompts;
    } rows[] = {
        {"Yes\n", 1, 1}, {"yES\n", 1, 1}, {"no\n", 0, 1}, {"\n", 0, 1}, {"NO\r\n", 0, 1},
        {"maybe\nyes\n", 1, 2}, {"yesyesyesyesyesyes\nno\n", 0, 2}, {"", 1, 1}, {"y\n", 1, 2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        std::string output;
        EXPECT_EQ(row.result, answer_prompt(row.input, &output));
        std::string expected = prompt;
        for (int i = 1; i < row.prompts; ++i) expected += again + prompt;
        EXPECT_EQ(expected, output);
    }
}
