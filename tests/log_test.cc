#include "log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {
int handler_calls = 0;
void count_call() { ++handler_calls; }
}  // namespace

TEST(LogTest, RefusesToWriteWithoutAnOpenFile) {
    log_disable();
    EXPECT_EQ(-3, log_is_ready());
    EXPECT_EQ(-3, print_log("nothing %d", 1));
    EXPECT_EQ(-3, warn("nothing"));
    EXPECT_EQ(-3, error("nothing"));
    LogCapture log;
    EXPECT_EQ(0, log_is_ready());
    EXPECT_EQ(-1, print_log(nullptr));
    log_disable();
    EXPECT_EQ(-3, print_log("after disable"));
}

TEST(LogTest, LinesCarryTimeKindPrefixAndMessage) {
    LogCapture log;
    print_log("init_sequence: started");
    warn("careful %s", "now");
    error("broken %d", 7);
    const char prefix[] = "p";
    log_set_prefix(prefix);
    print_log("with prefix");
    log_set_prefix("");
    const std::string text = log.text();
    EXPECT_TRUE(std::regex_search(text, std::regex("(^|\n)[0-9]+ - : init_sequence: started\n")));
    EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9]+ - WARN: : careful now\n")));
    EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9]+ - ERROR: : broken 7\n")));
    EXPECT_TRUE(std::regex_search(text, std::regex("\n[0-9]+ - p: with prefix\n")));
}

TEST(LogTest, HandlersRunAfterTheirLines) {
    LogCapture log;
    handler_calls = 0;
    EXPECT_EQ(-1, set_warn_handle(nullptr));
    EXPECT_EQ(0, set_warn_handle(count_call));
    EXPECT_EQ(0, set_error_handle(count_call));
    warn("w");
    error("e");
    print_log("p");
    EXPECT_EQ(2, handler_calls);
    EXPECT_EQ(-1, log_set_prefix(nullptr));
}

TEST(LogTest, PluginAdoptsTheEngineStateThroughTheSession) {
    LogCapture log;
    // The plug-in's own copy of the state starts empty; the session points at the engine's.
    // The plug-in's copy of the module has opened nothing, so it lets go of the adopted state
    // without closing the engine's file.
    logging_state_t engine = _g_logging_state;
    session_t session;
    session.log_state = &engine;
    _g_logging_state = {nullptr, 0, nullptr, nullptr, nullptr, "", nullptr};
    EXPECT_EQ(0, log_init(&session, nullptr));  // no file open here: adopt
    EXPECT_EQ(0, log_is_ready());
    EXPECT_EQ(engine.file, _g_logging_state.file);
    print_log("from the plug-in");
    EXPECT_EQ(-1, log_init(nullptr, nullptr));
    EXPECT_EQ(-3, log_is_ready());
    _g_logging_state = engine;
    print_log("engine still writes");
    EXPECT_TRUE(log.has_line(": from the plug-in"));
    EXPECT_TRUE(log.has_line(": engine still writes"));
}

TEST(LogTest, PluginAdoptsADisabledEngineLogWithoutFailing) {
    LogCapture log;
    const logging_state_t saved = _g_logging_state;
    // The engine runs without a log: its state has no file, and the plug-in takes it as it is.
    logging_state_t engine = {nullptr, 0, nullptr, nullptr, nullptr, "engine", nullptr};
    session_t session;
    session.log_state = &engine;
    _g_logging_state = {nullptr, 0, nullptr, nullptr, nullptr, "", nullptr};
    EXPECT_EQ(0, log_init(&session, nullptr));
    EXPECT_EQ(-3, log_is_ready());
    EXPECT_STREQ("engine", _g_logging_state.prefix);
    EXPECT_EQ(-3, print_log("nowhere"));
    _g_logging_state = saved;
}

namespace {
// Descriptors of this process open on the file.
int descriptors_on(const std::string& path) {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        std::string target(4096, '\0');
        const ssize_t length =
            readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target.data(), target.size());
        if (length > 0 && target.substr(0, static_cast<size_t>(length)) == path) ++count;
    }
    return count;
}
}  // namespace

// Each log the engine opens is closed when it lets go of it, by a second log_init or by
// log_disable, so that a run switching logs keeps no descriptor behind.
TEST(LogTest, SecondInitReplacesAndClosesTheFile) {
    TempDir dir;
    LogCapture log;
    ASSERT_EQ(1, descriptors_on(log.path()));
    session_t session;
    ASSERT_EQ(0, log_init(&session, dir.file("second.log").c_str()));
    EXPECT_EQ(&_g_logging_state, session.log_state);
    EXPECT_EQ(0, descriptors_on(log.path()));
    print_log("into the second");
    EXPECT_NE(std::string::npos, read_file(dir.file("second.log")).find(": into the second\n"));
    EXPECT_EQ(std::string::npos, log.text().find("into the second"));
    EXPECT_EQ(1, descriptors_on(dir.file("second.log")));
    log_disable();
    EXPECT_EQ(0, descriptors_on(dir.file("second.log")));
    // An unopenable name leaves the state not ready, still with result 0.
    EXPECT_EQ(0, log_init(nullptr, "/nonexistent-dir/x.log"));
    EXPECT_NE(0, log_is_ready());
}

TEST(LogTest, DieLogsRepeatsOnStandardErrorAndExits) {
    TempDir dir;
    const std::string log_path = dir.file("die.log");
    const std::string err_path = dir.file("stderr");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        freopen(err_path.c_str(), "w", stderr);
        log_init(nullptr, log_path.c_str());
        die(2, "Fatal error: %s", "it'a not a valid package.");
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(2, WEXITSTATUS(status));
    EXPECT_EQ("Fatal error: it'a not a valid package.\n", read_file(err_path));
    EXPECT_TRUE(std::regex_match(read_file(log_path),
                                 std::regex("[0-9]+ - ERROR: : Fatal error: it'a not a valid package\\.\n")));
}

// The log's name is easy to guess: nothing planted at it is written through. A new file is
// owner-only.
TEST(LogTest, OpenRefusesPlantedLinksAndForeignFiles) {
    TempDir dir;
    const logging_state_t saved = _g_logging_state;
    write_file_text(dir.file("victim"), "keep");
    ASSERT_EQ(0, symlink(dir.file("victim").c_str(), dir.file("soft.log").c_str()));
    ASSERT_EQ(0, link(dir.file("victim").c_str(), dir.file("hard.log").c_str()));
    write_file_text(dir.file("foreign.log"), "keep");
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, chown(dir.file("foreign.log").c_str(), 12345, 12345));
    }
    for (const char* name : {"soft.log", "hard.log", "foreign.log"}) {
        if (std::string(name) == "foreign.log" && !root) continue;  // giving a file away needs root
        SCOPED_TRACE(name);
        EXPECT_EQ(0, log_init(nullptr, dir.file(name).c_str()));
        EXPECT_NE(0, log_is_ready());
        EXPECT_EQ(-3, print_log("must not land"));
    }
    EXPECT_EQ("keep", read_file(dir.file("victim")));
    EXPECT_EQ("keep", read_file(dir.file("foreign.log")));
    ASSERT_EQ(0, log_init(nullptr, dir.file("new.log").c_str()));
    EXPECT_EQ(0, log_is_ready());
    struct stat info;
    ASSERT_EQ(0, stat(dir.file("new.log").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    log_disable();
    _g_logging_state = saved;
}
