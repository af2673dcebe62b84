#include "debug_frontend.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace lumo_test {

namespace {

// However the engine behaves, one read of the double waits no longer than this.
constexpr int frontend_read_timeout_ms = 10000;
// A report announced longer than this is not a report: the connection is dropped.
constexpr int32_t frontend_report_max = 256 * 1024 * 1024;

void send_everything(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // the engine went away, as it may after a bad reply
        sent += static_cast<size_t>(put);
    }
}

// "sequence:S\nstep:T\nanchor:A\naction:X\n\n" followed by the property lines.
void parse_report(DebugReport& report) {
    const std::string& text = report.text;
    const size_t blank = text.find("\n\n");
    report.dump = blank == std::string::npos ? std::string() : text.substr(blank + 2);
    const std::string head = text.substr(0, blank == std::string::npos ? text.size() : blank + 1);
    const struct {
        const char* key;
        std::string* field;
    } fields[] = {{"sequence:", &report.sequence},
                  {"step:", &report.step},
                  {"anchor:", &report.anchor},
                  {"action:", &report.action}};
    size_t start = 0;
    for (const auto& f : fields) {
        const size_t end = head.find('\n', start);
        if (end == std::string::npos) return;
        const std::string line = head.substr(start, end - start);
        const size_t key_size = strlen(f.key);
        if (line.compare(0, key_size, f.key) == 0) *f.field = line.substr(key_size);
        start = end + 1;
    }
}

}  // namespace

std::string debug_wire_int32(int32_t value) {
    char bytes[sizeof value];
    memcpy(bytes, &value, sizeof value);
    return std::string(bytes, sizeof value);
}

DebugReply DebugReply::status(const std::string& status) {
    return raw(debug_wire_int32(static_cast<int32_t>(status.size())) + status);
}

DebugReply DebugReply::wait(const std::string& state) {
    return state_length(static_cast<int32_t>(state.size()), state);
}

DebugReply DebugReply::raw(const std::string& bytes) {
    DebugReply reply;
    reply.kind = Kind::send;
    reply.bytes = bytes;
    return reply;
}

DebugReply DebugReply::close_early() {
    DebugReply reply;
    reply.kind = Kind::close;
    return reply;
}

DebugReply DebugReply::short_header() { return raw(std::string("\x04\x00", 2)); }

DebugReply DebugReply::oversized_status(size_t size) {
    return raw(debug_wire_int32(static_cast<int32_t>(size)) + std::string(size, 'x'));
}

DebugReply DebugReply::state_length(int32_t length, const std::string& state) {
    return raw(debug_wire_int32(4) + "wait" + debug_wire_int32(length) + state);
}

DebugReply DebugReply::close_unread() {
    DebugReply reply;
    reply.kind = Kind::close_unread;
    return reply;
}

DebugReply DebugReply::stall(const std::string& bytes) {
    DebugReply reply;
    reply.kind = Kind::stall;
    reply.bytes = bytes;
    return reply;
}

DebugFrontend::DebugFrontend() : m_default(DebugReply::status("continue")) {
    if (pipe2(m_wake, O_CLOEXEC) != 0) return;
    m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;  // the system picks a free port
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listen, 8) != 0 ||
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return;
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { run(); });
}

DebugFrontend::~DebugFrontend() {
    stop();
    for (int fd : {m_listen, m_wake[0], m_wake[1]}) {
        if (fd >= 0) close(fd);
    }
}

void DebugFrontend::stop() {
    if (m_wake[1] >= 0) {
        const char byte = 1;  // never drained: every later wait of the thread sees it
        while (write(m_wake[1], &byte, 1) < 0 && errno == EINTR) {
        }
    }
    if (m_thread.joinable()) m_thread.join();
}

void DebugFrontend::set_replies(const std::vector<DebugReply>& replies) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies = replies;
    m_next_reply = 0;
}

std::vector<DebugReport> DebugFrontend::reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

int DebugFrontend::connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

bool DebugFrontend::wait_for(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return m_reports.size() >= count; });
}

bool DebugFrontend::next_reply_is(DebugReply::Kind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const DebugReply& next = m_next_reply < m_replies.size() ? m_replies[m_next_reply] : m_default;
    return next.kind == kind;
}

DebugReply DebugFrontend::next_reply() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_next_reply < m_replies.size()) return m_replies[m_next_reply++];
    return m_default;
}

// True when the descriptor has data (or was closed by the engine); false on stop() or time-out.
bool DebugFrontend::wait_readable(int fd, int timeout_ms) {
    pollfd watched[2] = {{fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    for (;;) {
        const int ready = poll(watched, 2, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || watched[1].revents != 0) return false;
        return true;
    }
}

bool DebugFrontend::read_exact(int fd, std::string& out, size_t size) {
    std::vector<char> piece(65536);
    while (out.size() < size) {
        if (!wait_readable(fd, frontend_read_timeout_ms)) return false;
        const ssize_t got = recv(fd, piece.data(), std::min(piece.size(), size - out.size()), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        out.append(piece.data(), static_cast<size_t>(got));
    }
    return true;
}

void DebugFrontend::run() {
    for (;;) {
        if (!wait_readable(m_listen, -1)) return;
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_connections;
        }
        m_changed.notify_all();
        serve(fd);
        close(fd);
    }
}

void DebugFrontend::serve(int fd) {
    if (next_reply_is(DebugReply::Kind::close_unread)) {
        next_reply();
        return;
    }
    std::string length_bytes;
    if (!read_exact(fd, length_bytes, sizeof(int32_t))) return;
    int32_t length = 0;
    memcpy(&length, length_bytes.data(), sizeof length);
    if (length < 0 || length > frontend_report_max) return;
    DebugReport report;
    report.end = length == 0;
    if (report.end) {
        // Whatever the engine sends before it closes would break the end message's form.
        std::vector<char> piece(4096);
        while (wait_readable(fd, frontend_read_timeout_ms)) {
            const ssize_t got = recv(fd, piece.data(), piece.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            report.text.append(piece.data(), static_cast<size_t>(got));
        }
    } else {
        if (!read_exact(fd, report.text, static_cast<size_t>(length))) return;
        parse_report(report);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reports.push_back(report);
    }
    m_changed.notify_all();
    if (report.end) return;

    const DebugReply reply = next_reply();
    switch (reply.kind) {
    case DebugReply::Kind::send:
        send_everything(fd, reply.bytes);
        break;
    case DebugReply::Kind::close:
    case DebugReply::Kind::close_unread:
        break;
    case DebugReply::Kind::stall:
        send_everything(fd, reply.bytes);
        // Held until the engine gives up and closes, or the test stops the double.
        while (wait_readable(fd, -1)) {
            char byte;
            const ssize_t got = recv(fd, &byte, 1, 0);
            if (got == 0 || (got < 0 && errno != EINTR)) break;
        }
        break;
    }
}

}  // namespace lumo_test
