#include "actions.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "env.h"
#include "file.h"
#include "lumo/plugin.h"
#include "seq.h"
#include "startup.h"
#include "store.h"
#include "test_util.h"
#include "utils.h"
#include "xml.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;

namespace {

// The test plug-in (tests/plugins/test_plugin.c) and the example plug-ins are built by the build
// itself, in C and C++ against the public header only, the way a package author builds them.
const std::string plugin_dir = LUMO_TEST_PLUGIN_DIR;
const std::string example_plugin_dir = LUMO_EXAMPLE_PLUGIN_DIR;

int return_one(session_t*) { return 1; }
int return_two(session_t*) { return 2; }
int return_three(session_t*) { return 3; }

node_t action_node(const std::vector<std::pair<std::string, std::string>>& keys) {
    node_t node;
    node.name = "action";
    for (const auto& [name, value] : keys) node.keys.push_back({name, value});
    node.keys_count = static_cast<int>(node.keys.size());
    return node;
}

bool folder_is_empty(const std::string& folder) {
    std::error_code ec;
    return std::filesystem::is_empty(folder, ec) && !ec;
}

class ActionsTest : public ::testing::Test {
protected:
    session_t session_;
    LogCapture log_;
};

class PluginRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A plug-in resolves the engine's functions against the running program.
        ASSERT_NE(nullptr, dlsym(RTLD_DEFAULT, "env_get_string"))
            << "the test program must export its symbols (linked with -rdynamic)";
        char* cwd = getcwd(nullptr, 0);
        if (cwd) saved_cwd_ = cwd;
        free(cwd);
        temp_ = dir_.file("temp");
        folder_create(temp_, folder_mode_public);
    }

    void TearDown() override {
        if (!saved_cwd_.empty() && chdir(saved_cwd_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
    }

    std::string library() const { return plugin_dir + "/test_plugin.so"; }

    session_t session_;
    LogCapture log_;
    TempDir dir_;
    std::string temp_;
    std::string saved_cwd_;
};

TEST_F(ActionsTest, InitRegistersTheBuiltInActionsInTableOrder) {
    ASSERT_EQ(0, actions_init(&session_));
    const std::vector<std::string> expected = {"string_table_bind", "string_table_init", "lumo_wait_enter_key",
                                               "env_save", "env_restore"};
    ASSERT_EQ(static_cast<int>(expected.size()) - 1, session_.actions_last);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(expected[i], session_.actions[i].name);

    EXPECT_EQ(0, actions_dump(&session_));
    const std::string text = log_.text();
    size_t at = text.find(": action_dump: started\n");
    ASSERT_NE(std::string::npos, at);
    for (const std::string& name : expected) {
        SCOPED_TRACE(name);
        const size_t next = text.find(": actions_dump: action -> " + name + "\n", at);
        ASSERT_NE(std::string::npos, next);
        at = next;
    }
    EXPECT_NE(std::string::npos, text.find(": action_dumo: finished\n", at));
}

TEST_F(ActionsTest, InitAgainStartsTheRegistryAfresh) {
    ASSERT_EQ(0, actions_register(&session_, "mine", return_one));
    ASSERT_EQ(0, actions_init(&session_));
    EXPECT_EQ(4, session_.actions_last);
    EXPECT_EQ(-1, actions_is_valid(&session_, "mine"));
}

TEST_F(ActionsTest, RegistryHoldsAtMost1025Actions) {
    for (int i = 0; i < actions_max; ++i) {
        ASSERT_EQ(0, actions_register(&session_, ("a" + std::to_string(i)).c_str(), return_one)) << i;
    }
    EXPECT_EQ(1024, session_.actions_last);
    EXPECT_FALSE(log_.has_line("actions_register: maximum number of actions has been reached"));
    EXPECT_EQ(-1, actions_register(&session_, "one_too_many", return_two));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_register: maximum number of actions has been reached"));
    EXPECT_EQ(1024, session_.actions_last);
    EXPECT_EQ(-1, actions_is_valid(&session_, "one_too_many"));
    EXPECT_EQ(1, actions_execute(&session_, "a1024"));
}

TEST_F(ActionsTest, RegisterRefusesMissingArguments) {
    EXPECT_EQ(-1, actions_register(nullptr, "x", return_one));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_register: session is null"));
    EXPECT_EQ(-1, actions_register(&session_, nullptr, return_one));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_register: name of the action is null"));
    EXPECT_EQ(-1, actions_register(&session_, "nohandler", nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_register: function pointer is null for nohandler"));
    EXPECT_EQ(-1, session_.actions_last);
    EXPECT_EQ(-1, actions_init(nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_init: session is null"));
}

TEST_F(ActionsTest, FirstRegistrationOfANameIsCalled) {
    ASSERT_EQ(0, actions_register(&session_, "twice", return_one));
    ASSERT_EQ(0, actions_register(&session_, "twice", return_two));
    EXPECT_EQ(1, actions_execute(&session_, "twice"));
    EXPECT_TRUE(log_.has_line(": actions_execute: search for the twice action"));
    EXPECT_TRUE(log_.has_line(": actions_execute: action is found"));
}

TEST_F(ActionsTest, NamesCompareByteForByte) {
    ASSERT_EQ(0, actions_register(&session_, "Name", return_one));
    EXPECT_EQ(-1, actions_execute(&session_, "name"));
    EXPECT_EQ(-1, actions_execute(&session_, "Nam"));
    EXPECT_EQ(-1, actions_execute(&session_, "Name "));
    EXPECT_EQ(1, actions_execute(&session_, "Name"));
}

TEST_F(ActionsTest, UnknownActionGivesMinusOne) {
    ASSERT_EQ(0, actions_init(&session_));
    EXPECT_EQ(-1, actions_execute(&session_, "no_such_action"));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_execute: action is not found"));
    EXPECT_EQ(-1, actions_is_valid(&session_, "no_such_action"));
    EXPECT_TRUE(log_.has_line(": action_is_valid: search for the no_such_action action"));
    EXPECT_TRUE(log_.has_line("action_is_valid: action is not found"));
    EXPECT_EQ(0, actions_is_valid(&session_, "env_save"));
    EXPECT_TRUE(log_.has_line(": actions_is_valid: action is found"));

    EXPECT_EQ(-1, actions_execute(nullptr, "env_save"));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_execute: session is null"));
    EXPECT_EQ(-1, actions_execute(&session_, nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : actions_execute: name is null"));
}

TEST_F(ActionsTest, BuiltInActionLeavesItsResultInExitCode) {
    ASSERT_EQ(0, actions_register(&session_, "three", return_three));
    node_t known = action_node({{"id", "a"}, {"type", "built_in"}, {"func", "three"}});
    EXPECT_EQ(0, sequence_exec_built_in_action(&session_, &known));
    EXPECT_EQ("3", env_get_string(&session_, std::string("EXIT_CODE")));
    node_t unknown = action_node({{"id", "b"}, {"type", "built_in"}, {"func", "nothing_here"}});
    EXPECT_EQ(0, sequence_exec_built_in_action(&session_, &unknown));
    EXPECT_EQ("-1", env_get_string(&session_, std::string("EXIT_CODE")));
}

std::string drain(int fd) {
    std::string text;
    char block[256];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0) text.append(block, static_cast<size_t>(got));
    return text;
}

// The question is printed unless a property skips the wait; exactly one line is taken, so the
// next dialog still gets its own answer, and the end of input ends the wait too.
TEST_F(ActionsTest, WaitEnterKeyPrintsTheQuestionAndTakesOneLine) {
    const struct {
        const char* skip;
        const char* input;
        const char* shown;
        const char* rest;
    } rows[] = {
        {"", "xy\nnext answer\n", "Press Enter", "next answer\n"},
        {"", "", "Press Enter", ""},
        {"silent", "a\n", "", "a\n"},
        {"SKIP_PRESS_ENTER_IN_UNINSTALLATION", "a\n", "", "a\n"},
        {"SKIP_PRESS_ENTER_IN_INSTALLATION", "a\n", "", "a\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.skip) + " " + r.input);
        session_t session;
        env_set_string(&session, "to_continue_question", "Press Enter");
        if (*r.skip) env_set_string(&session, r.skip, "");
        lumo_test::StdioRedirect redirect;
        redirect.input(r.input).output(STDOUT_FILENO);
        EXPECT_EQ(0, lumo_wait_enter_key(&session));
        fflush(stdout);
        EXPECT_EQ(r.shown, redirect.text());
        EXPECT_EQ(r.rest, drain(STDIN_FILENO));
    }
}

TEST_F(PluginRunTest, LoadsFromTheEngineFolder) {
    env_set_string(&session_, "ENGINE_DIR", plugin_dir);
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.func = "status_seven";
    EXPECT_EQ(7, plugin_run(&session_, nullptr, &desc));
    EXPECT_TRUE(log_.has_line(": plugin_run: library is \"" + library() + "\", func is \"status_seven\""));
}

TEST_F(PluginRunTest, RefusesMissingArgumentsAndEngineFolder) {
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.func = "status_seven";
    EXPECT_EQ(-1, plugin_run(nullptr, nullptr, &desc));
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : plugin_run: parameter is NULL"));
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    EXPECT_TRUE(log_.has_line("ERROR: : plugin_run: eng_dir is null"));
}

TEST_F(PluginRunTest, MissingLibraryOrSymbolGivesMinusOne) {
    env_set_string(&session_, "ENGINE_DIR", plugin_dir);
    plugin_desc_t desc;
    desc.file = "no_such_plugin.so";
    desc.func = "status_seven";
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    EXPECT_NE(std::string::npos,
              log_.text().find("ERROR: : plugin_run: " + plugin_dir + "/no_such_plugin.so: cannot open shared object"));

    desc.file = "test_plugin.so";
    desc.func = "no_such_func";
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    EXPECT_TRUE(log_.has_line(": undefined symbol: no_such_func"));
    EXPECT_NE(std::string::npos, log_.text().find("ERROR: : plugin_run: " + library() + ": undefined symbol"));
}

TEST_F(PluginRunTest, StoreLibraryRunsFromAPrivateFileThatIsRemoved) {
    const std::string store = dir_.file("install.cab");
    ASSERT_TRUE(lumo_test::make_store(store, {{"plugins", "test_plugin.so", lumo_test::read_file(library()), ""}}));
    ASSERT_EQ(0, store_read_header(&session_, session_.store.get(), store.c_str()));
    env_set_string(&session_, "TEMP_FOLDER", temp_);
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.component = "plugins";
    desc.func = "where";

    EXPECT_EQ(0, plugin_run(&session_, nullptr, &desc));
    const std::string loaded = env_get_string(&session_, std::string("PLUGIN_PATH"));
    EXPECT_EQ(temp_ + "/li_plugin_c.", loaded.substr(0, temp_.size() + 13));
    EXPECT_EQ("700", env_get_string(&session_, std::string("PLUGIN_MODE")));
    EXPECT_FALSE(lumo_test::exists_path(loaded));
    EXPECT_TRUE(folder_is_empty(temp_));
    EXPECT_TRUE(log_.has_line(": plugin_run: library is \"" + loaded + "\", func is \"where\""));
    EXPECT_TRUE(log_.has_line(": where: loaded from " + loaded));

    // A failed lookup removes the copy as well.
    desc.func = "no_such_func";
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    EXPECT_TRUE(folder_is_empty(temp_));
}

// Without a temporary folder, or with one that is gone, the copy goes to /tmp.
TEST_F(PluginRunTest, ExplicitStoreIsUsedAndTmpIsTheDefaultFolder) {
    const std::string store_path = dir_.file("layer.cab");
    ASSERT_TRUE(lumo_test::make_store(store_path, {{"c", "p.so", lumo_test::read_file(library()), ""}}));
    cab_t store;
    ASSERT_EQ(0, store_read_header(&session_, &store, store_path.c_str()));
    plugin_desc_t desc;
    desc.file = "p.so";
    desc.component = "c";
    desc.func = "where";
    EXPECT_EQ(0, plugin_run(&session_, &store, &desc));
    const std::string loaded = env_get_string(&session_, std::string("PLUGIN_PATH"));
    EXPECT_EQ("/tmp/li_plugin_c.", loaded.substr(0, 17));
    EXPECT_FALSE(lumo_test::exists_path(loaded));
    env_set_string(&session_, "TEMP_FOLDER", dir_.file("no_such_folder"));
    EXPECT_EQ(0, plugin_run(&session_, &store, &desc));
    EXPECT_EQ("/tmp/li_plugin_c.", env_get_string(&session_, std::string("PLUGIN_PATH")).substr(0, 17));

    // The session's own store does not hold it.
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    EXPECT_TRUE(log_.has_line("ERROR: : plugin_run: can't extract c::p.so"));
}

TEST_F(PluginRunTest, MissingStoreEntryLeavesNoFile) {
    const std::string store = dir_.file("install.cab");
    ASSERT_TRUE(lumo_test::make_store(store, {{"plugins", "other.so", "x", ""}}));
    ASSERT_EQ(0, store_read_header(&session_, session_.store.get(), store.c_str()));
    env_set_string(&session_, "TEMP_FOLDER", temp_);
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.component = "plugins";
    desc.func = "where";
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    EXPECT_TRUE(log_.has_line("ERROR: : plugin_run: can't extract plugins::test_plugin.so"));
    EXPECT_TRUE(folder_is_empty(temp_));

}

TEST_F(PluginRunTest, ActiveLayerLoadsFromItsFolderAndWorksThere) {
    const std::string folder = temp_ + "/lay";
    ASSERT_EQ(0, folder_create(folder, folder_mode_public));
    ASSERT_EQ(0, file_copy(library(), folder + "/test_plugin.so"));
    env_set_string(&session_, "TEMP_FOLDER", temp_);
    layer_t layer;
    layer.id = "lay";
    session_.active_layer = &layer;
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.component = "plugins";  // the layer's folder wins over the store
    desc.func = "where";

    EXPECT_EQ(0, plugin_run(&session_, nullptr, &desc));
    session_.active_layer = nullptr;
    EXPECT_EQ(folder + "/test_plugin.so", layer.properties["PLUGIN_PATH"]);
    EXPECT_EQ(folder, layer.properties["PWD"]);
    EXPECT_EQ(0u, session_.properties.count("PLUGIN_PATH"));
    char* cwd = getcwd(nullptr, 0);
    ASSERT_NE(nullptr, cwd);
    EXPECT_EQ(std::filesystem::canonical(folder).string(), cwd);
    free(cwd);
}

TEST_F(PluginRunTest, ActiveLayerWithoutItsFolderGivesMinusOne) {
    env_set_string(&session_, "TEMP_FOLDER", temp_);
    layer_t layer;
    layer.id = "absent";
    session_.active_layer = &layer;
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.func = "where";
    EXPECT_EQ(-1, plugin_run(&session_, nullptr, &desc));
    session_.active_layer = nullptr;
    EXPECT_TRUE(log_.has_line("ERROR: : plugin_run: can't change directory to " + temp_ + "/absent"));
}

TEST_F(PluginRunTest, LibraryNamesMustStayInTheirFolder) {
    const std::string folder = temp_ + "/lay";
    ASSERT_EQ(0, folder_create(folder + "/sub", folder_mode_public));
    ASSERT_EQ(0, file_copy(library(), folder + "/sub/test_plugin.so"));
    ASSERT_EQ(0, file_copy(library(), temp_ + "/outside.so"));
    env_set_string(&session_, "TEMP_FOLDER", temp_);
    layer_t layer;
    layer.id = "lay";
    const struct {
        const char* file;
        bool layer;
        bool accepted;
    } rows[] = {
        {"sub/test_plugin.so", true, true},   {"../outside.so", true, false},
        {"sub/../../outside.so", true, false}, {"/etc/passwd", true, false},
        {"..", true, false},                   {"../outside.so", false, false},
        {"/x/test_plugin.so", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        session_.active_layer = row.layer ? &layer : nullptr;
        plugin_desc_t desc;
        desc.file = row.file;
        desc.component = "plugins";
        desc.func = "status_seven";
        EXPECT_EQ(row.accepted ? 7 : -1, plugin_run(&session_, nullptr, &desc));
        EXPECT_EQ(!row.accepted, log_.has_line("ERROR: : plugin_run: library name \"" + std::string(row.file) +
                                               "\" leaves its folder"));
    }
    session_.active_layer = nullptr;
}

TEST_F(PluginRunTest, PluginUsesThePublicHeaderCalls) {
    env_set_string(&session_, "ENGINE_DIR", plugin_dir);
    env_set_string(&session_, "GREET_NAME", "there");
    env_set_string(&session_, "GREET_DROP", "x");
    plugin_desc_t desc;
    desc.file = "test_plugin.so";
    desc.func = "greet";
    EXPECT_EQ(42, plugin_run(&session_, nullptr, &desc));
    EXPECT_EQ("hello there", env_get_string(&session_, std::string("GREETING")));
    EXPECT_FALSE(env_exists(&session_, std::string("GREET_DROP")));
    // The plug-in writes into the engine's own log.
    EXPECT_TRUE(log_.has_line(": greet: hello there"));
    EXPECT_TRUE(log_.has_line("WARN: : greet: a warning"));
    EXPECT_TRUE(log_.has_line("ERROR: : greet: an error"));
}

TEST_F(PluginRunTest, CPlugInActionExpandsTheFileAndStoresTheResult) {
    env_set_string(&session_, "ENGINE_DIR", plugin_dir);
    env_set_string(&session_, "PLUGIN_NAME", "test_plugin");
    node_t action = action_node({{"id", "p"}, {"type", "plugin_c"}, {"file", "${PLUGIN_NAME}.so"},
                                 {"func", "status_seven"}, {"component", ""}});
    EXPECT_EQ(0, sequence_exec_plugin_c_action(&session_, nullptr, &action));
    EXPECT_EQ("7", env_get_string(&session_, std::string("EXIT_CODE")));
    node_t missing = action_node({{"id", "q"}, {"type", "plugin_c"}, {"file", "test_plugin.so"}, {"func", "nope"}});
    EXPECT_EQ(0, sequence_exec_plugin_c_action(&session_, nullptr, &missing));
    EXPECT_EQ("-1", env_get_string(&session_, std::string("EXIT_CODE")));
}

TEST_F(PluginRunTest, ExamplePlugInsWorkThroughTheHeader) {
    env_set_string(&session_, "ENGINE_DIR", example_plugin_dir);
    plugin_desc_t desc;
    desc.file = "hello_plugin.so";
    desc.func = "hello";
    EXPECT_EQ(0, plugin_run(&session_, nullptr, &desc));
    EXPECT_EQ("Hello, world!", env_get_string(&session_, std::string("HELLO_RESULT")));
    env_set_string(&session_, "HELLO_NAME", "Lumo");
    EXPECT_EQ(0, plugin_run(&session_, nullptr, &desc));
    EXPECT_EQ("Hello, Lumo!", env_get_string(&session_, std::string("HELLO_RESULT")));
    EXPECT_TRUE(log_.has_line(": hello: Hello, Lumo!"));
    desc.func = "hello_status";
    env_set_string(&session_, "HELLO_STATUS", "5");
    EXPECT_EQ(5, plugin_run(&session_, nullptr, &desc));

    desc.file = "user_stat.so";
    desc.func = "send_user_stat";
    EXPECT_EQ(0, plugin_run(&session_, nullptr, &desc));  // no file named: nothing written
    env_set_string(&session_, "USER_STAT_FILE", dir_.file("stat.txt"));
    env_set_string(&session_, "LUMO_USER_STAT_TIME", "12");
    env_set_string(&session_, "LUMO_MODE", "install");
    EXPECT_EQ(0, plugin_run(&session_, nullptr, &desc));
    const std::string stat = lumo_test::read_file(dir_.file("stat.txt"));
    EXPECT_NE(std::string::npos, stat.find("LUMO_USER_STAT_TIME=12\n"));
    EXPECT_NE(std::string::npos, stat.find("LUMO_MODE=install\n"));
}

TEST_F(PluginRunTest, ShellPlugInRunsWithInterruptIgnoredAndRestoresTheHandler) {
    const std::string engine = lumo_test::engine_path();
    ASSERT_TRUE(is_file(engine)) << engine;
    env_set_string(&session_, "TEMP_FOLDER", temp_);
    env_set_string(&session_, "LUMO_SHELL", "bash");
    env_set_string(&session_, "ENGINE_DIR", get_dirname(engine));
    env_set_string(&session_, "ENGINE_BINARY", get_basename(engine));
    env_set_string(&session_, "SCRIPT_OUTPUT_FILE", dir_.file("script.out"));
    // An interrupt sent to the script's shell must not end it.
    lumo_test::write_file_text(dir_.file("s.sh"), "interrupted() { kill -INT $$; LI_AFTER=survived; }\n");
    install_interrupt_handler();
    node_t action = action_node({{"id", "s"}, {"type", "plugin_bash"}, {"file", dir_.file("s.sh")},
                                 {"func", "interrupted"}});
    EXPECT_EQ(0, sequence_exec_plugin_bash_action(&session_, nullptr, &action));
    EXPECT_EQ("0", env_get_string(&session_, std::string("EXIT_CODE")));
    EXPECT_EQ("survived", env_get_string(&session_, std::string("AFTER")));

    struct sigaction installed = {};
    ASSERT_EQ(0, sigaction(SIGINT, nullptr, &installed));
    EXPECT_EQ(reinterpret_cast<void*>(sigint_handler), reinterpret_cast<void*>(installed.sa_handler));
    EXPECT_EQ(0, installed.sa_flags & (SA_RESTART | SA_SIGINFO | SA_NODEFER | SA_RESETHAND | SA_ONSTACK));
    EXPECT_EQ(1, sigismember(&installed.sa_mask, SIGTERM));
    EXPECT_EQ(1, sigismember(&installed.sa_mask, SIGUSR1));
    signal(SIGINT, SIG_DFL);

    node_t failing = action_node({{"id", "t"}, {"type", "plugin_bash"}, {"file", dir_.file("s.sh")}, {"func", ""}});
    EXPECT_EQ(0, sequence_exec_plugin_bash_action(&session_, nullptr, &failing));
    EXPECT_EQ("1", env_get_string(&session_, std::string("EXIT_CODE")));
    signal(SIGINT, SIG_DFL);
}

}  // namespace
