#include "console.h"

#include <sys/ioctl.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "utils.h"

namespace {

struct malloc_free {
    void operator()(char* p) const { free(p); }
};

constexpr int console_width_max = 80;
constexpr int console_width_min = 10;

// The bytes of the character that starts at text[at] and the console columns it takes. A sequence
// never reaches past the text or swallows a byte that cannot continue it (a newline, a space), so
// damaged UTF-8 costs a wrong width at worst.
void measure_char(const std::string& text, size_t at, size_t& bytes, int& columns) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = 1;
    columns = 1;
    if (lead >= 0xF0) {
        length = 4;
    } else if (lead >= 0xE0) {
        length = 3;
        columns = 2;
    } else if (lead >= 0xC0) {
        length = 2;
    } else if (lead >= 0x80) {
        print_log("unknown char");
    }
    bytes = 1;
    while (bytes < length && at + bytes < text.size() &&
           (static_cast<unsigned char>(text[at + bytes]) & 0xC0) == 0x80)
        ++bytes;
}

// The wrapped form of text for a console of width columns. Every line is a stretch of the text
// itself, so the result is built by appending stretches; a line given back to the next one (a
// word moved down) is scanned twice at most, which keeps the work linear in the text.
std::string wrap_text(const std::string& text, int width) {
    std::string out;
    out.reserve(text.size() + text.size() / static_cast<size_t>(width) + 1);
    const size_t size = text.size();
    size_t line_start = 0;
    size_t last_space = 0;  // usable only when it lies after the line's first column
    int columns = 0;
    size_t at = 0;
    // Ends the full line text[line_start, end): the byte after it is text[end].
    auto end_line = [&](size_t end) {
        if (end < size && (text[end] == ' ' || text[end] == '\n')) {
            out.append(text, line_start, end - line_start);
            out += '\n';
            at = end + 1;  // the break replaces that space or newline
        } else if (text[end - 1] == ' ') {
            out.append(text, line_start, end - line_start);
            out += '\n';
            at = end;
        } else if (last_space > line_start) {
            out.append(text, line_start, last_space - line_start);
            out += '\n';
            at = last_space + 1;  // the word after the space moves to the next line
        } else {
            print_log("print_string: Keep buffer as is");
            out.append(text, line_start, end - line_start);
            out += '\n';
            at = end;
        }
        line_start = at;
        last_space = 0;
        columns = 0;
    };
    while (at < size) {
        if (text[at] == '\n') {
            out.append(text, line_start, at + 1 - line_start);
            ++at;
            line_start = at;
            columns = 0;
            continue;
        }
        size_t bytes;
        int width_of_char;
        measure_char(text, at, bytes, width_of_char);
        // A two-column character that no longer fits ends the line before it instead of hanging
        // one column past the edge, where the terminal would wrap it on its own.
        if (columns > 0 && columns + width_of_char > width) {
            end_line(at);
            continue;
        }
        if (text[at] == ' ') last_space = at;
        at += bytes;
        columns += width_of_char;
        if (columns >= width) end_line(at);
    }
    out.append(text, line_start, size - line_start);
    return out;
}

void write_stdout(const std::string& text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

// Clears the console line and shows text again. The control sequence goes to standard error, so
// standard output is flushed first to keep the two in order.
void reprint_line(const std::string& text) {
    fflush(stdout);
    fputs("\x1b[2K\r", stderr);
    fflush(stderr);
    write_stdout(text);
}

struct dir_entry_t {
    std::string name;
    bool is_dir;
};

// The names in folder that begin with partial, sorted.
std::vector<dir_entry_t> folder_candidates(const std::string& folder, const std::string& partial) {
    std::vector<dir_entry_t> candidates;
    if (dir_ptr dir{opendir(folder.c_str())}) {
        while (const struct dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            if (name.compare(0, partial.size(), partial) != 0) continue;
            candidates.push_back({name, is_dir(folder + "/" + name)});
        }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const dir_entry_t& a, const dir_entry_t& b) { return a.name < b.name; });
    return candidates;
}

// Lists the candidates in columns as wide as the longest name, folders with a "/", then shows the
// line being typed again below them.
void show_candidates(const std::vector<dir_entry_t>& candidates, size_t longest, const std::string& text) {
    const size_t cell = longest + 2;
    const size_t per_row = std::max<size_t>(1, static_cast<size_t>(get_window_width()) / cell);
    std::string listing;
    for (size_t i = 0; i < candidates.size(); ++i) {
        listing += i % per_row == 0 ? "\n" : "";
        std::string shown = candidates[i].name + (candidates[i].is_dir ? "/" : "");
        listing += shown + std::string(cell - shown.size(), ' ');
    }
    listing += "\n" + text;
    write_stdout(listing);
}

// TAB in read_path: completes the name after the last "/" of text from the folder before it.
void complete_path(std::string& text) {
    if (text.find('/') == std::string::npos) text = "./" + text;  // also turns "" into "./"
    const size_t slash = text.rfind('/');
    std::string folder = text.substr(0, slash);
    if (folder.empty()) folder = "/";
    const std::string partial = text.substr(slash + 1);
    const std::vector<dir_entry_t> candidates = folder_candidates(folder, partial);

    if (candidates.size() == 1) {
        text += candidates[0].name.substr(partial.size());
        if (candidates[0].is_dir) text += '/';
        reprint_line(text);
        return;
    }
    if (candidates.empty()) {
        reprint_line(text);
        return;
    }
    // Several: the text grows by what all of them share.
    std::string common = candidates[0].name;
    size_t longest = 0;
    for (const dir_entry_t& candidate : candidates) {
        size_t same = 0;
        while (same < common.size() && same < candidate.name.size() && common[same] == candidate.name[same])
            ++same;
        common.resize(same);
        longest = std::max(longest, candidate.name.size());  // a folder's "/" fits in the cell's two spare columns
    }
    text += common.substr(std::min(partial.size(), common.size()));
    reprint_line(text);
    show_candidates(candidates, longest, text);
}

// Where read_path is inside a key's escape sequence.
enum class escape_state_t { plain, escape, control };

// Cursor keys and the other keys that send "ESC [ parameters final" are swallowed whole: parameter
// and intermediate bytes go on, a final byte ends the sequence. True when the byte was part of one.
bool swallow_escape(escape_state_t& state, unsigned char c, const std::string& text) {
    if (state == escape_state_t::escape) {
        state = escape_state_t::plain;
        if (c == '[') {
            state = escape_state_t::control;
            return true;
        }
    } else if (state == escape_state_t::control) {
        if (c >= 0x20 && c <= 0x3F) return true;
        state = escape_state_t::plain;
        if (c >= 0x40 && c <= 0x7E) {
            reprint_line(text);  // the terminal echoed the sequence; show the text clean
            return true;
        }
    }
    return false;
}

// Drops the last character, a whole UTF-8 sequence when it is one.
void drop_last_char(std::string& text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
    if (!text.empty()) text.pop_back();
}

}  // namespace

std::string get_file_or_command(const char* text) {
    if (!text) {
        error("get_file_or_command: path is NULL");
        return "";
    }
    const std::string request = text;
    if (request.size() >= 4 && request.compare(0, 2, "$(") == 0 && request.back() == ')') {
        const std::string inner = request.substr(2, request.size() - 3);
        const std::unique_ptr<char, malloc_free> command(env_replace_tags(inner.c_str()));
        if (!command) {
            error("get_command_output: command is NULL");
            return "";
        }
        return get_command_output(command.get());
    }
    std::string content;
    if (get_file(request, content, 0) != 0) return "";
    return content;
}

int get_window_width() {
    struct winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return console_width_max;
    const int columns = size.ws_col;
    if (columns > console_width_max || columns < console_width_min) return console_width_max;
    return columns;
}

int print_string(const char* format, ...) {
    if (!format) {
        error("print_string: format string is null");
        return -1;
    }
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (size < 0) {
        va_end(again);
        error("print_string: Can't detect buffer size");
        return 0;
    }
    std::vector<char> formatted(static_cast<size_t>(size) + 1);
    vsnprintf(formatted.data(), formatted.size(), format, again);
    va_end(again);
    write_stdout(wrap_text(std::string(formatted.data(), static_cast<size_t>(size)), get_window_width()));
    return 0;
}

int print_dashes() {
    write_stdout(std::string(static_cast<size_t>(get_window_width()), '-') + "\n");
    return 0;
}

std::string make_padding(int count) { return std::string(count > 0 ? static_cast<size_t>(count) : 0, ' '); }

std::string& concat(std::string& buffer, const std::string& text) { return buffer += text; }

console_mode::console_mode(tcflag_t off, tcflag_t on) {
    if (tcgetattr(STDIN_FILENO, &m_saved) != 0) return;
    struct termios changed = m_saved;
    changed.c_lflag &= ~off;
    changed.c_lflag |= on;
    if (off & ICANON) {
        changed.c_cc[VMIN] = 1;
        changed.c_cc[VTIME] = 0;
    }
    m_changed = tcsetattr(STDIN_FILENO, TCSADRAIN, &changed) == 0;
}

console_mode::~console_mode() {
    if (m_changed) tcsetattr(STDIN_FILENO, TCSADRAIN, &m_saved);
}

int console_read_byte(char* byte, volatile sig_atomic_t* interrupted) {
    if (!byte) {
        LOG_NULL_PARAM();
        return console_byte_ended;
    }
    if (!interrupted) {
        for (;;) {
            const ssize_t got = read(STDIN_FILENO, byte, 1);
            if (got == 1) return console_byte_read;
            if (got < 0 && errno == EINTR) continue;
            return console_byte_ended;
        }
    }
    sigset_t interrupt_only;
    sigemptyset(&interrupt_only);
    sigaddset(&interrupt_only, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &interrupt_only, &previous);
    struct mask_restorer {
        const sigset_t* mask;
        ~mask_restorer() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
    } restore{&previous};
    for (;;) {
        if (*interrupted) return console_byte_interrupted;
        struct pollfd input = {STDIN_FILENO, POLLIN, 0};
        // The interrupt can only arrive inside ppoll, which then fails with EINTR.
        const int ready = ppoll(&input, 1, nullptr, &previous);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return console_byte_ended;
        }
        if (input.revents & POLLNVAL) return console_byte_ended;
        const ssize_t got = read(STDIN_FILENO, byte, 1);
        if (got == 1) return console_byte_read;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return console_byte_ended;
    }
}

int read_path(std::string& text, volatile sig_atomic_t* interrupted) {
    text.clear();
    const console_mode byte_at_a_time(ICANON, 0);  // echo stays on
    write_stdout("\n");
    escape_state_t state = escape_state_t::plain;
    bool cut = false;
    for (;;) {
        char byte = 0;
        const int got = console_read_byte(&byte, interrupted);
        if (got == console_byte_interrupted) return read_path_interrupted;
        const unsigned char c = static_cast<unsigned char>(byte);
        // Ctrl-D on an empty line is the end of input in a terminal that reads byte by byte.
        if (got == console_byte_ended || (c == 4 && text.empty() && state == escape_state_t::plain)) {
            print_log("read_path: input ended, entered string is \"%s\"", text.c_str());
            return read_path_ended;
        }
        if (c == '\n') {
            // Read byte by byte, a terminal that shows control characters has echoed the line's
            // end as "^J" and stayed on the line: the line is written again, and ended.
            struct termios mode;
            if (tcgetattr(STDIN_FILENO, &mode) == 0 && (mode.c_lflag & ECHO) && (mode.c_lflag & ECHOCTL)) {
                reprint_line(text);
                write_stdout("\n");
            }
            break;
        }
        if (swallow_escape(state, c, text)) continue;
        if (c == 27) {
            state = escape_state_t::escape;
            reprint_line(text);
            continue;
        }
        if (c == 8 || c == 127) {
            drop_last_char(text);
            reprint_line(text);
            continue;
        }
        if (c == '\t') {
            complete_path(text);
            if (text.size() > read_path_max) cut = true;
            continue;
        }
        // Bytes beyond the limit are not kept: a line of any length costs no more memory.
        if (text.size() < read_path_max + 1) text += static_cast<char>(c);
        else cut = true;
    }
    print_log("read_path: entered string is \"%s\"", text.c_str());
    if (cut || text.size() > read_path_max) {
        print_log("read_path: string length exceeds %d, truncating", static_cast<int>(read_path_max));
        text.resize(std::min(text.size(), read_path_max));
    }
    return read_path_done;
}

