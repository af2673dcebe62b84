#include "debug.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "env.h"
#include "log.h"

namespace {

// The state text is taken from the socket in pieces of at most this size.
constexpr size_t debug_piece_max = 65535;

struct socket_closer {
    int fd = -1;
    ~socket_closer() {
        if (fd >= 0) close(fd);
    }
};

// The port as plain decimal digits in 1..65535; 0 for anything else (sign, blanks, overflow).
int debug_parse_port(const std::string& text) {
    if (text.empty()) return 0;
    long port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + (c - '0');
        if (port > 65535) return 0;
    }
    return static_cast<int>(port);
}

// A signal arriving during a blocking connect leaves the connection going on in the background:
// wait for it to finish instead of starting a second one.
bool debug_connect(int fd, const sockaddr_in& address, int timeout_seconds) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    if (errno != EINTR && errno != EINPROGRESS) return false;
    pollfd wanted{fd, POLLOUT, 0};
    for (;;) {
        const int ready = poll(&wanted, 1, timeout_seconds * 1000);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        break;
    }
    int failure = 0;
    socklen_t size = sizeof failure;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) == 0 && failure == 0;
}

// The number of bytes sent: all of them, or fewer when the front end went away or stopped reading
// for longer than the time-out. MSG_NOSIGNAL: a closed front end must not end the engine by SIGPIPE.
size_t debug_send_all(int fd, const char* data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        const ssize_t put = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        sent += static_cast<size_t>(put);
    }
    return sent;
}

// One receive: the byte count, 0 when the front end closed, -1 after an error or the time-out
// (both logged here).
ssize_t debug_recv_once(int fd, char* buffer, size_t size, int timeout_seconds) {
    for (;;) {
        const ssize_t got = recv(fd, buffer, size, 0);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            error("dump_debug_info: no data from the front end within %d seconds", timeout_seconds);
        } else {
            error("dump_debug_info: receive error: %s", strerror(errno));
        }
        return -1;
    }
}

// Appends up to `size` bytes to `out`, first from `pending` (bytes that came with the status),
// then from the socket, until all arrived or the connection ends. Returns how many were appended.
size_t debug_recv_exact(int fd, std::string& pending, std::string& out, size_t size, int timeout_seconds) {
    const size_t from_pending = std::min(size, pending.size());
    out.append(pending, 0, from_pending);
    pending.erase(0, from_pending);
    size_t got = from_pending;
    std::vector<char> piece(std::min(size - got, debug_piece_max));
    while (got < size) {
        const size_t want = std::min(size - got, piece.size());
        const ssize_t arrived = debug_recv_once(fd, piece.data(), want, timeout_seconds);
        if (arrived <= 0) break;
        out.append(piece.data(), static_cast<size_t>(arrived));
        got += static_cast<size_t>(arrived);
    }
    return got;
}

std::string debug_int32_bytes(int32_t value) {
    char bytes[sizeof value];  // the wire carries the engine's native byte order
    memcpy(bytes, &value, sizeof value);
    return std::string(bytes, sizeof value);
}

int32_t debug_bytes_int32(const std::string& bytes) {
    int32_t value = 0;
    memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// Reads one character so that a developer can look at the front end before a silent run ends.
// A plain read: end of input or an error returns at once, and no stdio buffer is filled ahead.
void debug_wait_for_key() {
    char key = 0;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
}

// Takes the new property state after a "wait" status and applies it. Returns when the state is
// incomplete or refused, leaving the properties as they were.
void debug_receive_state(session_t* session, int fd, std::string& pending, int timeout_seconds) {
    std::string length_bytes;
    const size_t length_got = debug_recv_exact(fd, pending, length_bytes, sizeof(int32_t), timeout_seconds);
    if (length_got < sizeof(int32_t)) {
        error("dump_debug_info: env message length is incomplete: %d of 4 bytes", static_cast<int>(length_got));
        return;
    }
    const int32_t length = debug_bytes_int32(length_bytes);
    print_log("dump_debug_info: received env message length: %d", length);
    if (length < 0 || length > debug_state_max) {
        error("dump_debug_info: env message length %d refused, the limit is %d", length, debug_state_max);
        return;
    }
    std::string state;
    const size_t state_got = debug_recv_exact(fd, pending, state, static_cast<size_t>(length), timeout_seconds);
    // A cut state would set its last property to part of its value: nothing is applied.
    if (state_got < static_cast<size_t>(length)) {
        error("dump_debug_info: env message is incomplete: %d of %d bytes, properties unchanged",
              static_cast<int>(state_got), length);
        return;
    }
    // Stored without env_set_string, which would log the whole state, values of __HIDE__ names
    // included.
    session->properties["LUMO_ENV_DUMP"] = state;
    env_restore(session);
    env_remove(session, std::string("LUMO_ENV_DUMP"));
}

// Connects to the front end on the loopback port, with both directions limited in time. The
// socket, or -1 when there is none (logged).
int debug_open_link(int port, int timeout_seconds) {
    socket_closer link{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    if (link.fd < 0) {
        error("dump_debug_info: socket error");
        return -1;
    }
    // Without a limit a front end that stops answering would hold the engine forever; the send
    // limit also bounds the connect.
    const timeval limit{timeout_seconds, 0};
    if (setsockopt(link.fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0 ||
        setsockopt(link.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        warn("dump_debug_info: can't set the time-out: %s", strerror(errno));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!debug_connect(link.fd, address, timeout_seconds)) {
        error("dump_debug_info: connection error %d", port);
        return -1;
    }
    const int fd = link.fd;
    link.fd = -1;
    return fd;
}

// The end message: a zero length. At the end of a silent run the engine then waits for a key.
void debug_send_end(session_t* session, int fd) {
    const std::string end = debug_int32_bytes(0);
    if (debug_send_all(fd, end.data(), end.size()) == end.size()) {
        print_log("dump_debug_info: debugging finished correctly");
    } else {
        error("send error");
    }
    if (env_exists(session, std::string("silent"))) debug_wait_for_key();
}

// The report of one action: its place in the sequence and the session's properties, behind their
// length. True when all of it was sent.
bool debug_send_report(session_t* session, int fd, const std::string& sequence, const std::string& step,
                       const std::string& sub, const std::string& action) {
    const std::string text = "sequence:" + sequence + "\nstep:" + step + "\nanchor:" + sub + "\naction:" + action +
                             "\n\n" + env_dump(session, 1);
    if (text.size() > static_cast<size_t>(INT32_MAX)) {
        error("dump_debug_info: report of %zu bytes does not fit its length field", text.size());
        return false;
    }
    const std::string length = debug_int32_bytes(static_cast<int32_t>(text.size()));
    if (debug_send_all(fd, length.data(), length.size()) != length.size()) {
        error("send error");
        return false;
    }
    const size_t sent = debug_send_all(fd, text.data(), text.size());
    if (sent != text.size()) {
        error("send error");
        return false;
    }
    print_log("dump_debug_info: env size: %d, sent: %d", static_cast<int>(text.size()), static_cast<int>(sent));
    return true;
}

// The front end's reply: a four-byte header, then a status; "wait" is followed by a new state for
// the session.
void debug_read_reply(session_t* session, int fd, int timeout_seconds) {
    std::string pending;
    std::string header;
    const size_t header_got = debug_recv_exact(fd, pending, header, sizeof(int32_t), timeout_seconds);
    if (header_got < sizeof(int32_t)) {
        error("dump_debug_info: reply header is incomplete: %d of 4 bytes", static_cast<int>(header_got));
        return;
    }
    print_log("dump_debug_info: received 4 bytes");

    std::string received(debug_status_max, '\0');
    const ssize_t status_got = debug_recv_once(fd, received.data(), received.size(), timeout_seconds);
    if (status_got <= 0) {
        if (status_got == 0) error("dump_debug_info: no status message received");
        return;
    }
    received.resize(static_cast<size_t>(status_got));
    // The status has no length of its own, so a front end that sends the state length right behind
    // "wait" may have it arrive in the same receive: what follows the four letters then belongs to
    // the state. A lone "wait" followed by a single NUL is a terminated text.
    const std::string wait_status = "wait";
    const bool wait = received.compare(0, wait_status.size(), wait_status) == 0;
    std::string status = received.substr(0, received.find('\0'));
    if (wait) {
        status = wait_status;
        if (received.size() != wait_status.size() + 1 || received.back() != '\0') {
            pending = received.substr(wait_status.size());
        }
    }
    print_log("dump_debug_info: received status message: %s", status.c_str());
    if (!wait) return;
    debug_receive_state(session, fd, pending, timeout_seconds);
}

}  // namespace

void dump_debug_info(session_t* session, const std::string& sequence, const std::string& step,
                     const std::string& sub, const std::string& action) {
    dump_debug_info_timed(session, sequence, step, sub, action, debug_link_timeout_seconds);
}

void dump_debug_info_timed(session_t* session, const std::string& sequence, const std::string& step,
                           const std::string& sub, const std::string& action, int timeout_seconds) {
    print_log("dump_debug_info: %s, %s, %s, %s\n", sequence.c_str(), step.c_str(), sub.c_str(), action.c_str());
    if (!session) {
        LOG_NULL_PARAM();
        return;
    }
    if (!env_exists(session, std::string("__debug_wizard__"))) return;
    const std::string port_text = env_get_string(session, std::string("__debug_wizard__"));
    const int port = debug_parse_port(port_text);
    if (port == 0) {
        error("dump_debug_info: invalid port \"%s\", not connecting", port_text.c_str());
        return;
    }
    if (timeout_seconds < 1) timeout_seconds = 1;
    const socket_closer link{debug_open_link(port, timeout_seconds)};
    if (link.fd < 0) return;
    if (sequence.empty() && step.empty() && sub.empty() && action.empty()) {
        debug_send_end(session, link.fd);
        return;
    }
    if (debug_send_report(session, link.fd, sequence, step, sub, action)) debug_read_reply(session, link.fd, timeout_seconds);
}
