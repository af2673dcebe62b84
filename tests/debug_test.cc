#include "debug.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "debug_frontend.h"
#include "env.h"
#include "test_util.h"

using lumo_test::DebugFrontend;
using lumo_test::DebugReply;
using lumo_test::DebugReport;
using lumo_test::debug_wire_int32;
using lumo_test::LogCapture;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

// A session that reports to the front end, with tmp_dir in a private folder so that no root
// environment file of another run is picked up.
struct DebugSession {
    explicit DebugSession(const DebugFrontend& frontend) {
        env_set_string(&session, "__debug_wizard__", frontend.port_text().c_str());
        env_set_string(&session, "tmp_dir", tmp.path().c_str());
        env_set_string(&session, "HANDLE", "back");
        env_set_string(&session, "INSTALL_DIR", "/opt/suite");
    }
    void report() { dump_debug_info(&session, "main.xml", "welcome", "license", "show_license"); }
    TempDir tmp;
    session_t session;
};

// The log line that carries the status, without what precedes it.
std::string logged_status(const LogCapture& log) {
    const std::string marker = ": dump_debug_info: received status message: ";
    std::istringstream in(log.text());
    std::string line;
    while (std::getline(in, line)) {
        const size_t at = line.find(marker);
        if (at != std::string::npos) return line.substr(at + marker.size());
    }
    return "<none>";
}

}  // namespace

TEST(DebugTest, ReportCarriesPositionAndEveryPropertyByteForByte) {
    LogCapture log;
    DebugFrontend frontend;
    ASSERT_NE(0, frontend.port());
    DebugSession s(frontend);
    env_set_string(&s.session, "PASS__HIDE__", "secret");
    env_set_string(&s.session, "NOTE", "two\nlines");
    const std::string expected = "sequence:main.xml\nstep:welcome\nanchor:license\naction:show_license\n\n" +
                                 env_dump(&s.session, 1);
    s.report();

    const std::vector<DebugReport> reports = frontend.reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_FALSE(reports[0].end);
    EXPECT_EQ(expected, reports[0].text);
    EXPECT_EQ("main.xml", reports[0].sequence);
    EXPECT_EQ("welcome", reports[0].step);
    EXPECT_EQ("license", reports[0].anchor);
    EXPECT_EQ("show_license", reports[0].action);
    EXPECT_NE(std::string::npos, reports[0].dump.find("PASS__HIDE__#secret\n"));
    EXPECT_NE(std::string::npos, reports[0].dump.find("LUMO_MEDIA#\n"));
    // The message ends in a line feed of its own, so the log shows an empty line after it.
    EXPECT_NE(std::string::npos, log.text().find(": dump_debug_info: main.xml, welcome, license, show_license\n\n"));
    const std::string size = std::to_string(expected.size());
    EXPECT_TRUE(log.has_line(": dump_debug_info: env size: " + size + ", sent: " + size));
    EXPECT_TRUE(log.has_line(": dump_debug_info: received 4 bytes"));
    EXPECT_TRUE(log.has_line(": dump_debug_info: received status message: continue"));
    EXPECT_EQ(std::string::npos, log.text().find("secret"));
}

TEST(DebugTest, AnEmptySubModuleStaysAnEmptyAnchorLine) {
    DebugFrontend frontend;
    DebugSession s(frontend);
    dump_debug_info(&s.session, "main.xml", "layer1", "", "run");
    const std::vector<DebugReport> reports = frontend.reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].text.find("sequence:main.xml\nstep:layer1\nanchor:\naction:run\n\n"));
}

TEST(DebugTest, WaitReplacesPropertiesAndDropsTheTransferProperty) {
    LogCapture log;
    DebugFrontend frontend;
    DebugSession s(frontend);
    const std::string state = "HANDLE#next\nPASS__HIDE__#hunter2\nNOTE#first\nsecond\nEXTRA#a#b\n";
    frontend.set_replies({DebugReply::wait(state)});
    s.report();
    EXPECT_EQ("next", env_get_string(&s.session, std::string("HANDLE")));
    EXPECT_EQ("first\nsecond", env_get_string(&s.session, std::string("NOTE")));
    EXPECT_EQ("a#b", env_get_string(&s.session, std::string("EXTRA")));
    EXPECT_EQ("/opt/suite", env_get_string(&s.session, std::string("INSTALL_DIR")));
    EXPECT_FALSE(env_exists(&s.session, "LUMO_ENV_DUMP"));
    EXPECT_TRUE(log.has_line(": dump_debug_info: received status message: wait"));
    EXPECT_TRUE(log.has_line(": dump_debug_info: received env message length: " + std::to_string(state.size())));
    EXPECT_TRUE(log.has_line(": env_set_string_internal: key \"HANDLE\" with value \"next\" (length 4)"));
    // The state passes through a property on its way in; its secret values must not reach the log.
    EXPECT_EQ(std::string::npos, log.text().find("hunter2"));

    // The next action's report already shows the new state.
    s.report();
    const std::vector<DebugReport> reports = frontend.reports();
    ASSERT_EQ(2u, reports.size());
    EXPECT_NE(std::string::npos, reports[1].dump.find("HANDLE#next\n"));
}

TEST(DebugTest, RootEnvironmentFileTakesPrecedenceOverTheFrontEndState) {
    DebugFrontend frontend;
    DebugSession s(frontend);
    write_file_text(env_root_file_path(&s.session), "HANDLE#from_file\n");
    frontend.set_replies({DebugReply::wait("HANDLE#from_front_end\n")});
    s.report();
    EXPECT_EQ("from_file", env_get_string(&s.session, std::string("HANDLE")));
    EXPECT_FALSE(env_exists(&s.session, "LUMO_ENV_DUMP"));
}

// Replies other than a whole "wait" with a state, broken or not, leave the properties alone.
TEST(DebugTest, BrokenFrontEndRepliesAreLoggedAndChangeNothing) {
    const std::string state = "HANDLE#changed\n";
    const struct {
        const char* name;
        DebugReply reply;
        const char* line;
    } rows[] = {
        {"continue", DebugReply::status("continue"), ": dump_debug_info: received status message: continue"},
        {"stop", DebugReply::status("stop"), ": dump_debug_info: received status message: stop"},
        {"upper case", DebugReply::status("WAIT"), ": dump_debug_info: received status message: WAIT"},
        {"prefix of wait", DebugReply::status("wai"), ": dump_debug_info: received status message: wai"},
        {"wait with an empty state", DebugReply::wait(""), ": dump_debug_info: received status message: wait"},
        {"wait ended by NUL", DebugReply::raw(debug_wire_int32(5) + std::string("wait\0", 5)),
         "ERROR: : dump_debug_info: env message length is incomplete: 0 of 4 bytes"},
        {"closes without reply", DebugReply::close_early(),
         "ERROR: : dump_debug_info: reply header is incomplete: 0 of 4 bytes"},
        {"short header", DebugReply::short_header(),
         "ERROR: : dump_debug_info: reply header is incomplete: 2 of 4 bytes"},
        {"header without status", DebugReply::raw(debug_wire_int32(4)),
         "ERROR: : dump_debug_info: no status message received"},
        {"oversized status", DebugReply::oversized_status(), ": dump_debug_info: received 4 bytes"},
        {"oversized status starting with wait",
         DebugReply::raw(debug_wire_int32(70004) + "wait" + std::string(70000, 'x')),
         "ERROR: : dump_debug_info: env message length 2021161080 refused, the limit is 67108864"},
        {"negative state length", DebugReply::state_length(-1, state),
         "ERROR: : dump_debug_info: env message length -1 refused, the limit is 67108864"},
        {"absurd state length", DebugReply::state_length(debug_state_max + 1, state),
         "ERROR: : dump_debug_info: env message length 67108865 refused, the limit is 67108864"},
        {"state shorter than its length", DebugReply::state_length(1000, state),
         "ERROR: : dump_debug_info: env message is incomplete: 15 of 1000 bytes, properties unchanged"},
        {"state length cut", DebugReply::raw(debug_wire_int32(4) + "wait" + std::string("\x10\x00", 2)),
         "ERROR: : dump_debug_info: env message length is incomplete: 2 of 4 bytes"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        DebugFrontend frontend;
        DebugSession s(frontend);
        frontend.set_replies({row.reply, DebugReply::wait(state)});
        const std::string before = env_dump(&s.session, 0);
        s.report();
        EXPECT_TRUE(log.has_line(row.line));
        EXPECT_EQ(before, env_dump(&s.session, 0));
        EXPECT_FALSE(env_exists(&s.session, "LUMO_ENV_DUMP"));
        // The next action still reaches the front end and takes its state.
        s.report();
        EXPECT_EQ(2, frontend.connections());
        EXPECT_EQ("changed", env_get_string(&s.session, std::string("HANDLE")));
    }
}

TEST(DebugTest, OversizedStatusIsCutAtTheLimit) {
    LogCapture log;
    DebugFrontend frontend;
    DebugSession s(frontend);
    frontend.set_replies({DebugReply::oversized_status(200000)});
    s.report();
    const std::string status = logged_status(log);
    EXPECT_GE(status.size(), 1u);
    EXPECT_LE(status.size(), static_cast<size_t>(debug_status_max));
    EXPECT_EQ(std::string::npos, status.find_first_not_of('x'));
    EXPECT_EQ("back", env_get_string(&s.session, std::string("HANDLE")));
}

TEST(DebugTest, FrontEndClosingBeforeReadingCostsOnlyASendError) {
    LogCapture log;
    DebugFrontend frontend;
    DebugSession s(frontend);
    // Far more than the socket buffers hold, so the send meets the closed connection; without
    // MSG_NOSIGNAL the resulting SIGPIPE would end this process.
    s.session.properties["BIG"] = std::string(8 * 1024 * 1024, 'b');  // unlogged: 8 MiB of log would only slow the test
    frontend.set_replies({DebugReply::close_unread()});
    s.report();
    EXPECT_TRUE(log.has_line("ERROR: : send error"));
    EXPECT_FALSE(log.has_line(": dump_debug_info: received 4 bytes"));
}

TEST(DebugTest, StalledFrontEndIsGivenUpAfterTheTimeOut) {
    const struct {
        const char* name;
        DebugReply reply;
        const char* line;
    } rows[] = {
        {"no reply", DebugReply::stall(), "ERROR: : dump_debug_info: reply header is incomplete: 0 of 4 bytes"},
        {"state never completed",
         DebugReply::stall(debug_wire_int32(4) + "wait" + debug_wire_int32(100) + "HANDLE#x\n"),
         "ERROR: : dump_debug_info: env message is incomplete: 9 of 100 bytes, properties unchanged"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        LogCapture log;
        DebugFrontend frontend;
        DebugSession s(frontend);
        frontend.set_replies({row.reply});
        const auto start = std::chrono::steady_clock::now();
        dump_debug_info_timed(&s.session, "main.xml", "welcome", "", "show", 1);
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(seconds, 5);
        EXPECT_TRUE(log.has_line("ERROR: : dump_debug_info: no data from the front end within 1 seconds"));
        EXPECT_TRUE(log.has_line(row.line));
        EXPECT_EQ("back", env_get_string(&s.session, std::string("HANDLE")));
    }
}

TEST(DebugTest, EndOfRunSendsFourZeroBytesOnly) {
    LogCapture log;
    DebugFrontend frontend;
    DebugSession s(frontend);
    dump_debug_info(&s.session, "", "", "", "");
    ASSERT_TRUE(frontend.wait_for(1));
    const std::vector<DebugReport> reports = frontend.reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_TRUE(reports[0].end);
    EXPECT_EQ("", reports[0].text);
    EXPECT_TRUE(log.has_line(": dump_debug_info: debugging finished correctly"));
    EXPECT_FALSE(log.has_line(": dump_debug_info: received 4 bytes"));
}

TEST(DebugTest, EndOfSilentRunReadsOneCharacterAndNeverHangsAtEndOfInput) {
    const struct {
        bool silent;
        const char* input;
        const char* rest;
    } rows[] = {{true, "xy", "y"}, {true, "", ""}, {false, "xy", "xy"}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.silent ? "silent " : "") + r.input);
        DebugFrontend frontend;
        DebugSession s(frontend);
        if (r.silent) env_set_string(&s.session, "silent", "/tmp/answers.ini");
        lumo_test::StdioRedirect redirect;
        redirect.input(r.input);
        dump_debug_info(&s.session, "", "", "", "");
        EXPECT_TRUE(frontend.wait_for(1));
        std::string rest;
        char byte;
        while (read(STDIN_FILENO, &byte, 1) == 1) rest += byte;
        EXPECT_EQ(r.rest, rest);
    }
}

TEST(DebugTest, NoConnectionWithoutTheProperty) {
    LogCapture log;
    DebugFrontend frontend;
    session_t session;
    env_set_string(&session, "HANDLE", "back");
    dump_debug_info(&session, "main.xml", "welcome", "", "show");
    dump_debug_info(&session, "", "", "", "");
    EXPECT_EQ(0, frontend.connections());
    EXPECT_TRUE(frontend.reports().empty());
    EXPECT_NE(std::string::npos, log.text().find(": dump_debug_info: main.xml, welcome, , show\n"));
    EXPECT_FALSE(log.has_line("dump_debug_info: debugging finished correctly"));
}

TEST(DebugTest, PortMustBeADecimalNumberFrom1To65535) {
    const char* ports[] = {"", "abc", "0", "65536", "-1", "+80", " 80", "80 ", "8O80", "99999999999999999999"};
    for (const char* port : ports) {
        SCOPED_TRACE(port);
        LogCapture log;
        session_t session;
        env_set_string(&session, "__debug_wizard__", port);
        dump_debug_info(&session, "main.xml", "welcome", "", "show");
        EXPECT_TRUE(log.has_line(std::string("ERROR: : dump_debug_info: invalid port \"") + port +
                                 "\", not connecting"));
        EXPECT_FALSE(log.has_line("socket error"));
    }
}

TEST(DebugTest, UnreachableFrontEndIsAConnectionError) {
    LogCapture log;
    int port = 0;
    {
        DebugFrontend gone;
        port = gone.port();
    }
    session_t session;
    env_set_string(&session, "__debug_wizard__", std::to_string(port).c_str());
    env_set_string(&session, "HANDLE", "back");
    dump_debug_info(&session, "main.xml", "welcome", "", "show");
    EXPECT_TRUE(log.has_line("ERROR: : dump_debug_info: connection error " + std::to_string(port)));
    EXPECT_EQ("back", env_get_string(&session, std::string("HANDLE")));
}

TEST(DebugTest, NullSessionIsLogged) {
    LogCapture log;
    dump_debug_info(nullptr, "main.xml", "welcome", "", "show");
    EXPECT_TRUE(log.has_line(" parameter is null"));
}
