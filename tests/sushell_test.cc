#include "sushell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;

TEST(SuShellTest, OutcomeJudgement) {
    TempDir dir;
    const struct {
        int status;
        bool folder;
        int result;
        const char *auth, *exit_code, *visibility;
    } cases[] = {
        {0, true, 0, "AUTH_SUCCESS", "0", ""},    {4, true, 4, "AUTH_SUCCESS", "4", ""},
        {127, true, 127, "AUTH_SUCCESS", "127", ""}, {1, true, 1, "AUTH_FAILURE", "", "VISIBLE"},
        {1, false, 0, "AUTH_SUCCESS", "", ""},
        // Killed by a signal: a failure even when the temporary folder is gone.
        {128 + 9, false, 137, "AUTH_FAILURE", "", "VISIBLE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        session_t session;
        env_set_string(&session, "TEMP_FOLDER", c.folder ? dir.path() : dir.file("gone"));
        EXPECT_EQ(c.result, shell_judge_status(&session, c.status));
        EXPECT_EQ(c.auth, env_get_string(&session, std::string("AUTH_STATUS")));
        EXPECT_EQ(c.exit_code, env_get_string(&session, std::string("LUMO_EXIT_CODE")));
        EXPECT_EQ(c.visibility, env_get_string(&session, std::string("WINDOW_VISIBILITY")));
    }
}

TEST(SuShellTest, RefusalsStartNothing) {
    LogCapture log;
    TempDir dir;
    session_t session;
    EXPECT_EQ(1, shell_execute_command(&session));
    EXPECT_EQ("AUTH_FAILURE", env_get_string(&session, std::string("AUTH_STATUS")));
    EXPECT_TRUE(log.has_line(": shell_execute_command: command is not specified"));
    env_set_string(&session, "TEMP_FOLDER", dir.path());
    env_set_string(&session, "SU_LOGIN", "nobody");
    env_set_string(&session, "SU_PATH", dir.file("never_run"));
    env_set_string(&session, "SU_COMMAND", "echo 'pw1'");
    env_set_string(&session, "__HIDE__SU_PASSWORD", "pw1");
    // A password that is part of the command's text: the command runs (here su is missing), and
    // is not logged, not even masked.
    EXPECT_EQ(1, shell_execute_command(&session));
    EXPECT_TRUE(log.has_line("shell_execute_command: command: (not shown: it holds the password)"));
    const std::string run_lines = log.text().substr(log.text().rfind("shell_execute_command: start"));
    EXPECT_EQ(std::string::npos, run_lines.find("pw1")) << run_lines;
    EXPECT_FALSE(env_exists(&session, std::string("__HIDE__SU_PASSWORD")));
    for (const std::string& bad : {std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3), std::string("a\x03")}) {
        EXPECT_EQ(1, su_execute_command(&session, "nobody", bad, "true"));
        EXPECT_EQ(1, sudo_execute_command(bad, "true"));
    }
    EXPECT_EQ(1, su_execute_command(&session, "-s/bin/sh", "pw", "true"));
    EXPECT_EQ(8u, lumo_test::count_occurrences(log.text(), "password refused"));
    EXPECT_TRUE(log.has_line("su_execute_command: login '-s/bin/sh' refused"));
    EXPECT_FALSE(log.has_line("su_execute_command: opening slave device failed"));
}

TEST(SuShellTest, MarkerIsExclusiveAndStaleOnesAreReplaced) {
    LogCapture log;
    TempDir dir;
    session_t session;
    env_set_string(&session, "tmp_dir", dir.path());
    env_set_string(&session, "USER", "tester");
    const std::string marker = dir.file("vexan.lumo.tester.running.marker");
    EXPECT_EQ(0, sushell_marker_create(&session));
    EXPECT_EQ(std::to_string(getpid()) + "\n", lumo_test::read_file(marker));
    EXPECT_EQ(1, sushell_marker_create(&session));  // this process is alive
    EXPECT_EQ("yes", env_get_string(&session, std::string("INSTALLER_PRESENT")));
    lumo_test::write_file_text(marker, "999999999\n");
    EXPECT_EQ(0, sushell_marker_create(&session));
    // A link at the name is not followed, and a folder anyone may change is not used.
    unlink(marker.c_str());
    ASSERT_EQ(0, symlink(dir.file("target").c_str(), marker.c_str()));
    EXPECT_EQ(1, sushell_marker_create(&session));
    EXPECT_FALSE(lumo_test::exists_path(dir.file("target")));
    chmod(dir.path().c_str(), 0777);
    EXPECT_EQ(-1, sushell_marker_create(&session));
    chmod(dir.path().c_str(), 0700);
    // A marker that cannot be made is no sign of another instance.
    session_t other;
    env_set_string(&other, "tmp_dir", dir.path());
    env_set_string(&other, "USER", "missing/tester");
    EXPECT_EQ(-1, sushell_marker_create(&other));
    EXPECT_FALSE(env_exists(&other, std::string("INSTALLER_PRESENT")));
    EXPECT_TRUE(log.has_line("WARN: : sushell_marker_create: can not create " +
                             dir.file("vexan.lumo.missing/tester.running.marker") + ": No such file or directory"));
}
