// A stand-in for the debugging front end: listens on 127.0.0.1 at an ephemeral port in a thread of
// its own, records every message the engine sends and answers each report with the next scripted
// reply. It can also misbehave, to show that the engine survives a broken front end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumo_test {

// One message from the engine: a report before an action, or the end message of a run.
struct DebugReport {
    bool end = false;       // the four zero bytes that close a run
    std::string text;       // the report text as it arrived; for the end message, any bytes after it
    std::string sequence;
    std::string step;
    std::string anchor;
    std::string action;
    std::string dump;       // the property lines after the empty line
};

// What the front end does once it has read a report.
struct DebugReply {
    enum class Kind { send, close, close_unread, stall };
    Kind kind = Kind::send;
    std::string bytes;      // send and stall: written in one piece (send then closes)

    // Header + status, e.g. "continue": the engine goes on with its properties unchanged.
    static DebugReply status(const std::string& status);
    // Header + "wait" + state length + state: the engine takes the state as its properties.
    static DebugReply wait(const std::string& state);
    static DebugReply raw(const std::string& bytes);
    // Misbehaviours.
    static DebugReply close_early();                          // reads the report, closes without reply
    static DebugReply close_unread();                         // closes at once, the report unread
    static DebugReply short_header();                         // 2 of the 4 header bytes, then closes
    static DebugReply oversized_status(size_t size = 70000);  // a status longer than 65535 bytes
    // "wait" with a state length that need not match what follows (negative, absurd, too long).
    static DebugReply state_length(int32_t length, const std::string& state = "");
    // Sends the bytes (if any), then keeps the connection open without a word until the engine
    // gives up or the test stops the double.
    static DebugReply stall(const std::string& bytes = "");
};

// The native 4-byte form of a length on the wire.
std::string debug_wire_int32(int32_t value);

class DebugFrontend {
public:
    DebugFrontend();  // listening at once; port() is 0 when that failed
    ~DebugFrontend();
    DebugFrontend(const DebugFrontend&) = delete;
    DebugFrontend& operator=(const DebugFrontend&) = delete;

    int port() const { return m_port; }
    std::string port_text() const { return std::to_string(m_port); }
    // Replies for the next reports, in order; after them every report gets status("continue").
    void set_replies(const std::vector<DebugReply>& replies);
    std::vector<DebugReport> reports() const;
    int connections() const;
    // True once `count` messages (end messages included) have been recorded. An end message is
    // recorded when the engine closes the connection after it.
    bool wait_for(size_t count, int timeout_ms = 10000) const;
    // Ends the thread and closes every socket; the destructor calls it.
    void stop();

private:
    void run();
    void serve(int fd);
    bool read_exact(int fd, std::string& out, size_t size);
    bool wait_readable(int fd, int timeout_ms);
    DebugReply next_reply();
    bool next_reply_is(DebugReply::Kind kind);

    int m_listen = -1;
    int m_wake[2] = {-1, -1};  // written by stop() to end any wait of the thread
    int m_port = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<DebugReport> m_reports;
    std::vector<DebugReply> m_replies;
    size_t m_next_reply = 0;
    DebugReply m_default;
    int m_connections = 0;
    std::thread m_thread;
};

}  // namespace lumo_test
