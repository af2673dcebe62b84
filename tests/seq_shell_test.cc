#include "interrupt.h"
#include "seq.h"
#include "seq_shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "env.h"
#include "file.h"
#include "startup.h"
#include "test_util.h"
#include "tsd.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A real shell runs the scripts; the dump is taken by the built engine, reached through a link
// in the test's folder so that ENGINE_DIR can be that folder.
class ShellExecTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string engine = lumo_test::engine_path();
        ASSERT_TRUE(is_file(engine)) << engine;
        ASSERT_EQ(0, symlink(engine.c_str(), dir_.file("lumo").c_str()));
        temp_ = dir_.file("temp");
        ASSERT_EQ(0, folder_create(temp_, 0755));
        env_set_string(&session_, "TEMP_FOLDER", temp_);
        env_set_string(&session_, "LUMO_SHELL", "bash");
        env_set_string(&session_, "ENGINE_DIR", dir_.path());
        env_set_string(&session_, "ENGINE_BINARY", "lumo");
        // Anything a script leaves running must not hold the test's own output open.
        env_set_string(&session_, "SCRIPT_OUTPUT_FILE", dir_.file("script.out"));
    }

    // Writes the script and runs one of its functions the way a sequence step does.
    int run(const std::string& script, const std::string& func) {
        lumo_test::write_file_text(dir_.file("script.sh"), script);
        plugin_desc_t desc;
        desc.file = dir_.file("script.sh");
        desc.func = func;
        return shellexec_execute(&session_, nullptr, &desc);
    }

    std::string get(const char* name) { return env_get_string(&session_, std::string(name)); }

    TempDir dir_;
    std::string temp_;
    session_t session_;
    LogCapture log_;
};

TEST(ShellExecItemTest, ValuesAreWrittenAsSingleQuotedData) {
    const struct {
        const char* name;
        const char* value;
        const char* line;
    } rows[] = {
        {"A", "plain", "LI_A='plain'\n"},
        {"B", "it's", "LI_B='it'\\''s'\n"},
        {"C", "back\\slash", "LI_C='back\\slash'\n"},
        {"D", "$(touch x) `y` ${z}", "LI_D='$(touch x) `y` ${z}'\n"},
        {"E", "", "LI_E=''\n"},
        {"F", "two\nlines", "LI_F='two\nlines'\n"},
        {"G", "'", "LI_G=''\\'''\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(row.line, _shellexec_env_item(row.name, row.value));
    }
}

TEST_F(ShellExecTest, HostileValuesReachTheScriptUnchangedAndNothingRuns) {
    const std::map<std::string, std::string> values = {
        {"V_DQUOTE", "say \"hi\""},
        {"V_SQUOTE", "it's 'quoted' inside"},
        {"V_BACKSLASH", "a\\b\\\\c\\"},
        {"V_SUBST", "$(touch " + dir_.file("ran1") + ")"},
        {"V_BACKQUOTE", "`touch " + dir_.file("ran2") + "`"},
        {"V_NEWLINE", "first\nsecond\n"},
        {"V_DOLLAR", "$HOME $1 $$"},
        {"V_MIXED", "x'\"; touch " + dir_.file("ran3") + "; echo \"'y"},
    };
    std::string script = "show() {\n";
    for (const auto& [name, value] : values) {
        env_set_string(&session_, name, value);
        script += "  printf '%s' \"$LI_" + name + "\" > " + lumo_test::quote(dir_.file(name)) + "\n";
    }
    script += "}\n";
    const property_map_t before = session_.properties;

    EXPECT_EQ(0, run(script, "show"));
    for (const auto& [name, value] : values) {
        SCOPED_TRACE(name);
        std::string seen = value;
        for (char& c : seen) {
            if (c == '"') c = '\'';
        }
        EXPECT_EQ(seen, lumo_test::read_file(dir_.file(name)));
    }
    for (const char* file : {"ran1", "ran2", "ran3"}) EXPECT_FALSE(lumo_test::exists_path(dir_.file(file))) << file;
    // The script changed nothing, so no property changed (not even the ones the script saw with
    // single quotes in place of double quotes).
    property_map_t after = session_.properties;
    after.erase("LUMO_SHELLEXEC_STATUS");
    property_map_t expected = before;
    expected.erase("LUMO_SHELLEXEC_STATUS");
    EXPECT_EQ(expected, after);
}

TEST_F(ShellExecTest, ScriptAssignmentsSetProperties) {
    env_set_string(&session_, "X", "old");
    env_set_string(&session_, "KEEP", "same");
    const std::string hostile = "new 'value' with \\ and $(x) `y`\nline two";
    lumo_test::write_file_text(dir_.file("hostile"), hostile);
    EXPECT_EQ(0, run("change() {\n"
                     "  LI_X=\"$(cat " + lumo_test::quote(dir_.file("hostile")) + ")\"\n"
                     "  LI_CREATED=fresh\n"
                     "  LI_LUMO_MEDIA=ignored\n"
                     "}\n",
                     "change"));
    EXPECT_EQ(hostile, get("X"));
    EXPECT_EQ("fresh", get("CREATED"));
    EXPECT_EQ("same", get("KEEP"));
    EXPECT_EQ(0u, session_.properties.count("LUMO_MEDIA"));
    EXPECT_TRUE(log_.has_line(": shellexec_execute: shell script:[" + dir_.file("script.sh") + "], function:[change]"));
}

TEST_F(ShellExecTest, AValueTooLongForTheEnvironmentIsLeftOut) {
    env_set_string(&session_, "BIG", std::string(140000, 'x'));
    EXPECT_EQ(0, run("mark() { LI_MARK=\"${#LI_BIG}\"; }\n", "mark"));
    EXPECT_EQ("0", get("MARK"));
    EXPECT_TRUE(log_.has_line("WARN: : _shellexec_execute_command: property BIG is too long to pass (140000 bytes), "
                              "not passed"));
}

// All values together stay below what a program may be given: the dump after the function works.
TEST_F(ShellExecTest, ValuesBeyondWhatAProgramMayBeGivenAreLeftOut) {
    for (int i = 0; i < 12; ++i) env_set_string(&session_, "BULK" + std::to_string(10 + i), std::string(100000, 'x'));
    EXPECT_EQ(0, run("mark() { LI_MARK=\"${#LI_BULK10}:${#LI_BULK21}\"; }\n", "mark"));
    EXPECT_EQ("100000:0", get("MARK"));
    EXPECT_NE(std::string::npos, log_.text().find("WARN: : _shellexec_execute_command: property BULK21 would pass the "
                                                  "1048576 bytes all variables may take, not passed"));
}

// A function that ends the shell leaves no dump; "~/" names the home folder in the output file.
TEST_F(ShellExecTest, NoDumpIsReportedAndTheOutputFileMayStartAtHome) {
    EXPECT_EQ(1, run("quit() { exit 3; }\n", "quit"));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_parse_envlist: unable to read an arguments list from file"));
    const std::string home = getenv("HOME") ? getenv("HOME") : "";
    setenv("HOME", dir_.path().c_str(), 1);
    env_set_string(&session_, "SCRIPT_OUTPUT_FILE", "~/said.txt");
    const int result = run("say() { echo hello; }\n", "say");
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(0, result);
    EXPECT_EQ("hello\n", lumo_test::read_file(dir_.file("said.txt")));
}

TEST_F(ShellExecTest, AMissingTemporaryFolderFallsBackToTmp) {
    env_set_string(&session_, "TEMP_FOLDER", dir_.file("gone"));
    EXPECT_EQ(0, run("mark() { LI_MARK=set; }\n", "mark"));
    EXPECT_EQ("set", get("MARK"));
    EXPECT_FALSE(lumo_test::exists_path("/tmp/shellexec_init"));  // the values passed do not stay there
}

TEST_F(ShellExecTest, LayerValuesWinAndResultsLandInTheLayer) {
    env_set_string(&session_, "SHARED", "session");
    layer_t layer;
    layer.id = "lay";
    session_.active_layer = &layer;
    env_set_string(&session_, "SHARED", "layer");
    const int result = run("f() { printf '%s' \"$LI_SHARED\" > " + lumo_test::quote(dir_.file("seen")) +
                               "; LI_OUT=done; }\n",
                           "f");
    session_.active_layer = nullptr;
    EXPECT_EQ(0, result);
    EXPECT_EQ("layer", lumo_test::read_file(dir_.file("seen")));
    EXPECT_EQ("done", layer.properties["OUT"]);
    EXPECT_EQ(0u, session_.properties.count("OUT"));
    EXPECT_EQ("session", session_.properties["SHARED"]);
}

TEST_F(ShellExecTest, ValuesAreExpandedBeforeTheScriptSeesThem) {
    env_set_string(&session_, "WHO", "world");
    env_set_string(&session_, "GREETING", "hello ${WHO}");
    EXPECT_EQ(0, run("f() { printf '%s' \"$LI_GREETING\" > " + lumo_test::quote(dir_.file("seen")) + "; }\n", "f"));
    EXPECT_EQ("hello world", lumo_test::read_file(dir_.file("seen")));
    // The script saw the expanded text and left it; the property keeps its reference.
    EXPECT_EQ("hello ${WHO}", get("GREETING"));
}

TEST_F(ShellExecTest, NamesThatAreNotShellNamesAreNotPassed) {
    session_.properties["a.b"] = "x";
    session_.properties["x;touch " + dir_.file("ran") + ";y"] = "1";
    session_.properties["with space"] = "2";
    env_set_string(&session_, "good_name1", "3");
    EXPECT_EQ(0, run("f() { :; }\n", "f"));
    EXPECT_FALSE(lumo_test::exists_path(dir_.file("ran")));
    EXPECT_TRUE(log_.has_line("WARN: : _shellexec_execute_command: property a.b is not a shell name, not passed"));
    EXPECT_TRUE(log_.has_line("WARN: : _shellexec_execute_command: property with space is not a shell name, not passed"));
    const std::string init = lumo_test::read_file(temp_ + "/shellexec_init");
    EXPECT_NE(std::string::npos, init.find("\nLI_good_name1='3'\n"));
    EXPECT_EQ(std::string::npos, init.find("a.b"));
}

TEST_F(ShellExecTest, ComponentSelectionIsPassedAndReadBack) {
    auto product = std::make_unique<Component>();
    product->m_name = "product";
    product->m_abbr = "prod";
    auto first = std::make_unique<Component>();
    first->m_name = "first";
    first->m_abbr = "c1";
    first->m_selected = true;
    first->m_installed = true;
    auto second = std::make_unique<Component>();
    second->m_name = "second";
    second->m_id = 7;
    Component* first_ptr = first.get();
    Component* second_ptr = second.get();
    product->addSubcomponent(std::move(first));
    product->addSubcomponent(std::move(second));
    session_.tsd->addProduct(std::move(product));

    EXPECT_EQ(0, run("f() {\n"
                     "  printf '%s|%s|%s|%s' \"$LI_LUMO_MEDIA\" \"$LI_LUMO_MEDIA_c__selected\" "
                     "\"$LI_LUMO_MEDIA_c__installed\" \"$LI_LUMO_MEDIA___skipped\" > " +
                         lumo_test::quote(dir_.file("seen")) +
                         "\n"
                         "  LI_LUMO_MEDIA_c__selected=0\n"
                         "  LI_LUMO_MEDIA___selected=1\n"
                         "}\n",
                     "f"));
    EXPECT_EQ("c_;_|1|1|0", lumo_test::read_file(dir_.file("seen")));
    EXPECT_FALSE(first_ptr->getSelected());
    EXPECT_TRUE(second_ptr->getSelected());
    const std::string init = lumo_test::read_file(temp_ + "/shellexec_init");
    EXPECT_NE(std::string::npos, init.find("LI_LUMO_MEDIA='c_;_'\n"));
    EXPECT_NE(std::string::npos, init.find("LI_LUMO_MEDIA___selected='0'\nLI_LUMO_MEDIA___installed='0'\n"
                                           "LI_LUMO_MEDIA___skipped='0'\n"));
}

TEST_F(ShellExecTest, HiddenValuesAreMaskedInTheCommandLine) {
    env_set_string(&session_, "TOKEN__HIDE__", "t0k3n");
    env_set_string(&session_, "SCRIPT_OUTPUT_FILE", dir_.file("t0k3n.out"));
    EXPECT_EQ(0, run("f() { echo out; }\n", "f"));
    EXPECT_EQ("out\n", lumo_test::read_file(dir_.file("t0k3n.out")));
    const std::string text = log_.text();
    const size_t line = text.find("command line: ");
    ASSERT_NE(std::string::npos, line);
    const std::string command = text.substr(line, text.find('\n', line) - line);
    EXPECT_NE(std::string::npos, command.find("f >" + dir_.file("[HIDDEN].out") + " 2>&1"));
    EXPECT_EQ(std::string::npos, command.find("t0k3n"));
}

TEST_F(ShellExecTest, PathsWithShellCharactersStayOneWord) {
    const std::string odd = dir_.file("we$ird \"dir` $(touch " + dir_.file("ran") + ")");
    ASSERT_EQ(0, folder_create(odd + "/temp", 0755));
    env_set_string(&session_, "TEMP_FOLDER", odd + "/temp");
    env_set_string(&session_, "SCRIPT_OUTPUT_FILE", odd + "/out file");
    lumo_test::write_file_text(odd + "/s.sh", "f() { echo ok; LI_R=1; }\n");
    plugin_desc_t desc;
    desc.file = odd + "/s.sh";
    desc.func = "f";
    EXPECT_EQ(0, shellexec_execute(&session_, nullptr, &desc));
    EXPECT_EQ("1", get("R"));
    EXPECT_EQ("ok\n", lumo_test::read_file(odd + "/out file"));
    EXPECT_FALSE(lumo_test::exists_path(dir_.file("ran")));
}

TEST_F(ShellExecTest, WorkingFilesAreOwnerOnly) {
    EXPECT_EQ(0, run("f() { :; }\n", "f"));
    for (const char* name : {"/shellexec_init", "/shellexec_output"}) {
        SCOPED_TRACE(name);
        struct stat st;
        ASSERT_EQ(0, stat((temp_ + name).c_str(), &st));
        EXPECT_EQ(0600u, st.st_mode & 07777);
    }
}

TEST_F(ShellExecTest, PlantedLinkIsNotWrittenThrough) {
    lumo_test::write_file_text(dir_.file("victim"), "keep");
    // A link planted between the clean-up and the run is removed, never followed.
    ASSERT_EQ(0, symlink(dir_.file("victim").c_str(), (temp_ + "/shellexec_output").c_str()));
    ASSERT_EQ(0, symlink(dir_.file("victim").c_str(), (temp_ + "/shellexec_init").c_str()));
    std::map<std::string, std::string> vars;
    lumo_test::write_file_text(dir_.file("script.sh"), "f() { :; }\n");
    EXPECT_EQ(0, _shellexec_execute_command(&session_, dir_.file("script.sh"), "f", &vars));
    EXPECT_EQ("keep", lumo_test::read_file(dir_.file("victim")));
}

TEST_F(ShellExecTest, ScriptComesFromTheStoreOrTheLayerFolder) {
    const std::string store_path = dir_.file("install.cab");
    ASSERT_TRUE(lumo_test::make_store(store_path, {{"scripts", "s.sh", "f() { LI_FROM=store; }\n", ""}}));
    cab_t store;
    ASSERT_EQ(0, store_read_header(&session_, &store, store_path.c_str()));
    plugin_desc_t desc;
    desc.file = "s.sh";
    desc.component = "scripts";
    desc.func = "f";
    EXPECT_EQ(0, shellexec_execute(&session_, &store, &desc));
    EXPECT_EQ("store", get("FROM"));
    struct stat st;
    ASSERT_EQ(0, stat((temp_ + "/shellexec_script").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);

    desc.file = "missing.sh";
    EXPECT_EQ(1, shellexec_execute(&session_, &store, &desc));
    EXPECT_TRUE(log_.has_line("ERROR: : shellexec_execute: can't extract scripts::missing.sh to " + temp_ +
                              "/shellexec_script"));

    ASSERT_EQ(0, folder_create(temp_ + "/lay", 0755));
    lumo_test::write_file_text(temp_ + "/lay/s.sh", "f() { LI_FROM=layer; }\n");
    layer_t layer;
    layer.id = "lay";
    session_.active_layer = &layer;
    desc.file = "s.sh";
    EXPECT_EQ(0, shellexec_execute(&session_, &store, &desc));
    session_.active_layer = nullptr;
    EXPECT_EQ("layer", layer.properties["FROM"]);

    // Without a component the script lies beside the engine.
    lumo_test::write_file_text(dir_.file("beside.sh"), "f() { LI_FROM=engine_dir; }\n");
    desc.file = "beside.sh";
    desc.component = "";
    EXPECT_EQ(0, shellexec_execute(&session_, &store, &desc));
    EXPECT_EQ("engine_dir", get("FROM"));
}

TEST_F(ShellExecTest, MissingArgumentsCannotStart) {
    plugin_desc_t desc;
    desc.file = "x.sh";
    EXPECT_EQ(1, shellexec_execute(&session_, nullptr, &desc));
    EXPECT_EQ(1, shellexec_execute(&session_, nullptr, nullptr));
    EXPECT_EQ(1, shellexec_execute(nullptr, nullptr, &desc));
    EXPECT_TRUE(log_.has_line("ERROR: : shellexec_execute: can't start"));
    std::map<std::string, std::string> vars;
    EXPECT_EQ(-1, _shellexec_execute_command(&session_, "", "f", &vars));
    EXPECT_EQ(-1, _shellexec_execute_command(&session_, "s", "", &vars));
    EXPECT_EQ(-1, _shellexec_execute_command(&session_, "s", "f", nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_execute_command: invalid arguments"));
}

TEST_F(ShellExecTest, FunctionBeyondItsTimeoutIsKilled) {
    env_set_string(&session_, "LUMO_SHELLEXEC_STATUS", "stale");
    const auto start = clock_type::now();
    EXPECT_EQ(1, run("sleeper() { sleep 3; }\n", "sleeper:0.5"));
    const double took = seconds_since(start);
    EXPECT_LT(took, 1.5);
    EXPECT_GE(took, 0.5);
    EXPECT_EQ("killed", get("LUMO_SHELLEXEC_STATUS"));
    EXPECT_EQ(0, g_child);
    EXPECT_TRUE(log_.has_line(": _shellexec_execute_command: applying timeout 0.5 to function sleeper"));
    EXPECT_TRUE(log_.has_line(": _shellexec_execute_command: process hangs, killing..."));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_execute_script: unable to read output file"));
    EXPECT_FALSE(log_.has_line(": _shellexec_execute_command: process exited"));
}

TEST_F(ShellExecTest, FunctionWithinItsTimeoutRunsToTheEnd) {
    env_set_string(&session_, "LUMO_SHELLEXEC_STATUS", "stale");
    EXPECT_EQ(0, run("quick() { LI_DONE=yes; }\n", "quick:2.5"));
    EXPECT_EQ("", get("LUMO_SHELLEXEC_STATUS"));
    EXPECT_EQ("yes", get("DONE"));
    EXPECT_TRUE(log_.has_line(": _shellexec_execute_command: process exited"));
}

TEST_F(ShellExecTest, NegativeTimeoutPausesAndLeavesTheFunctionRunning) {
    std::map<std::string, std::string> vars;
    lumo_test::write_file_text(dir_.file("script.sh"), "slow() { sleep 0.6; : > " +
                                                           lumo_test::quote(dir_.file("finished")) + "; }\n");
    const auto start = clock_type::now();
    EXPECT_EQ(0, _shellexec_execute_command(&session_, dir_.file("script.sh"), "slow:-0.25", &vars));
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.2);
    EXPECT_LT(took, 0.6);
    EXPECT_TRUE(log_.has_line(": _shellexec_execute_command: delayed kill activated: 200000"));
    EXPECT_EQ(0, g_child);
    EXPECT_FALSE(lumo_test::exists_path(dir_.file("finished")));
    // The function was left to finish on its own.
    for (int i = 0; i < 50 && !lumo_test::exists_path(dir_.file("finished")); ++i) usleep(100000);
    EXPECT_TRUE(lumo_test::exists_path(dir_.file("finished")));
}

TEST_F(ShellExecTest, ShellEndedBySignalFails) {
    std::map<std::string, std::string> vars;
    lumo_test::write_file_text(dir_.file("script.sh"), "die() { kill -9 $$; }\n");
    EXPECT_EQ(-1, _shellexec_execute_command(&session_, dir_.file("script.sh"), "die", &vars));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_execute_command: process exited with an error status 9"));
    EXPECT_EQ(0, g_child);
    EXPECT_EQ(1, run("die() { kill -9 $$; }\n", "die"));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_execute_script: unable to execute command"));
}

class ParseEnvlistTest : public ::testing::Test {
protected:
    int parse(const std::string& dump, const std::map<std::string, std::string>& vars) {
        lumo_test::write_file_text(dir_.file("dump"), dump);
        return _shellexec_parse_envlist(&session_, &vars, dir_.file("dump"));
    }

    TempDir dir_;
    session_t session_;
    LogCapture log_;
};

TEST_F(ParseEnvlistTest, TakesChangedLiEntriesOnly) {
    std::string dump;
    for (const char* entry : {"PATH=/bin", "LI_SAME=v", "LI_CHANGED=new=with=equals", "LI_NEW=", "NOEQUALS",
                              "LI_LUMO_MEDIA=x"}) {
        dump += entry;
        dump += '\0';
    }
    dump += "LI_LAST=no terminator";
    EXPECT_EQ(0, parse(dump, {{"SAME", "v"}, {"CHANGED", "old"}}));
    EXPECT_FALSE(env_exists(&session_, std::string("SAME")));
    EXPECT_EQ("new=with=equals", env_get_string(&session_, std::string("CHANGED")));
    EXPECT_TRUE(env_exists(&session_, std::string("NEW")));
    EXPECT_EQ("", env_get_string(&session_, std::string("NEW")));
    EXPECT_EQ("no terminator", env_get_string(&session_, std::string("LAST")));
    EXPECT_FALSE(env_exists(&session_, std::string("PATH")));
    EXPECT_EQ(0u, session_.properties.count("LUMO_MEDIA"));
    EXPECT_EQ(0u, session_.properties.count("NOEQUALS"));
    EXPECT_TRUE(log_.has_line(": _shellexec_parse_envlist: finished"));
}

TEST_F(ParseEnvlistTest, EntriesBeyondTheLimitsAreSkippedWhole) {
    const std::string name_at_limit = "LI_" + std::string(1020, 'N');
    const std::string name_too_long = "LI_" + std::string(1021, 'M');
    std::string dump;
    dump += name_at_limit + "=a" + '\0';
    dump += name_too_long + "=b" + '\0';
    dump += "LI_VALUE_AT_LIMIT=" + std::string(4095, 'v') + '\0';
    dump += "LI_VALUE_TOO_LONG=" + std::string(4096, 'w') + '\0';
    EXPECT_EQ(0, parse(dump, {{"VALUE_TOO_LONG", "before"}}));
    EXPECT_EQ("a", env_get_string(&session_, name_at_limit.substr(3)));
    EXPECT_FALSE(env_exists(&session_, name_too_long.substr(3)));
    EXPECT_EQ(std::string(4095, 'v'), env_get_string(&session_, std::string("VALUE_AT_LIMIT")));
    EXPECT_FALSE(env_exists(&session_, std::string("VALUE_TOO_LONG")));
    EXPECT_TRUE(log_.has_line("WARN: : _shellexec_parse_envlist: name " + name_too_long.substr(0, 64) +
                              "... is longer than 1023 bytes, entry skipped"));
    EXPECT_TRUE(log_.has_line(
        "WARN: : _shellexec_parse_envlist: value of LI_VALUE_TOO_LONG is longer than 4095 bytes, entry skipped"));
}

TEST_F(ParseEnvlistTest, UnreadableOrShortDumpFails) {
    std::map<std::string, std::string> vars;
    EXPECT_EQ(-1, _shellexec_parse_envlist(&session_, &vars, dir_.file("missing")));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_parse_envlist: unable to read an arguments list from file"));
    EXPECT_EQ(-1, parse("A=", vars));
    EXPECT_TRUE(log_.has_line("ERROR: : _shellexec_parse_envlist: invalid arguments"));
    lumo_test::write_file_text(dir_.file("dump"), "LI_A=1");
    EXPECT_EQ(-1, _shellexec_parse_envlist(&session_, nullptr, dir_.file("dump")));
    EXPECT_EQ(0, parse("LI_A=1", vars));
    EXPECT_EQ("1", env_get_string(&session_, std::string("A")));
}

}  // namespace
