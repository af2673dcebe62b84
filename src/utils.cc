#include "utils.h"

#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"

namespace {

constexpr size_t inttostr_max = 4095;
constexpr size_t output_piece = 1023;  // bytes taken from a command's output per read

bool is_blank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

struct malloc_free {
    void operator()(char* p) const { free(p); }
};

// Points standard error at /dev/null while it lives and puts the previous one back when it goes,
// so that every return, early or not, restores it. When no copy of the old descriptor can be
// kept, standard error is left alone rather than lost.
class stderr_silencer {
public:
    stderr_silencer() {
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        if (m_saved < 0) return;
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd < 0) return;
        dup2(null_fd, STDERR_FILENO);
        close(null_fd);
    }
    ~stderr_silencer() {
        if (m_saved < 0) return;
        fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
    }
    stderr_silencer(const stderr_silencer&) = delete;
    stderr_silencer& operator=(const stderr_silencer&) = delete;

private:
    int m_saved = -1;
};

struct pipe_closer {
    void operator()(FILE* f) const {
        if (f) pclose(f);
    }
};
using pipe_ptr = std::unique_ptr<FILE, pipe_closer>;

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

// TAB in read_path: completes the name after the last "/" of text from the folder before it.
void complete_path(std::string& text) {
    if (text.find('/') == std::string::npos) text = "./" + text;  // also turns "" into "./"
    const size_t slash = text.rfind('/');
    std::string folder = text.substr(0, slash);
    if (folder.empty()) folder = "/";
    const std::string partial = text.substr(slash + 1);

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
    std::string common = candidates[0].name;
    size_t longest = 0;
    for (const dir_entry_t& candidate : candidates) {
        size_t same = 0;
        while (same < common.size() && same < candidate.name.size() && common[same] == candidate.name[same])
            ++same;
        common.resize(same);
        longest = std::max(longest, candidate.name.size() + (candidate.is_dir ? 1 : 0));
    }
    text += common.substr(std::min(partial.size(), common.size()));
    reprint_line(text);

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

// Drops the last character, a whole UTF-8 sequence when it is one.
void drop_last_char(std::string& text) {
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) text.pop_back();
    if (!text.empty()) text.pop_back();
}

}  // namespace

std::string strtoletters(const std::string& text) {
    std::string letters = text;
    for (char& c : letters) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter) c = '_';
    }
    return letters;
}

std::string strtowidth(const std::string& text, int width) {
    if (width < 0 || text.size() >= static_cast<size_t>(width)) return text;
    return std::string(static_cast<size_t>(width) - text.size(), ' ') + text;
}

std::string remove_newlines(const std::string& text) {
    print_log("remove_newlines: got [%s]", text.c_str());
    std::string result = replaceAllSubstrings(text, "\n", " ");
    result = replaceAllSubstrings(result, "<br>", " ");
    print_log("remove_newlines: return [%s]", result.c_str());
    return result;
}

bool string_is_empty(const std::string& text) {
    print_log("string_is_empty: %s", text.c_str());
    bool empty = true;
    for (const char c : text) {
        if (!is_blank(c)) {
            empty = false;
            break;
        }
    }
    print_log("string_is_empty: returns %d", empty ? 1 : 0);
    return empty;
}

std::vector<std::string> splitString(const std::string& text, const std::string& delimiter,
                                     bool keep_empty) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    if (delimiter.empty()) {  // nothing to split at: the text is its own single piece
        pieces.push_back(text);
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        const size_t found = text.find(delimiter, start);
        const size_t end = found == std::string::npos ? text.size() : found;
        if (end > start || keep_empty) pieces.push_back(text.substr(start, end - start));
        if (found == std::string::npos) break;
        start = found + delimiter.size();
    }
    return pieces;
}

std::string trimSpaces(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && is_blank(text[first])) ++first;
    size_t last = text.size();
    while (last > first && is_blank(text[last - 1])) --last;
    return text.substr(first, last - first);
}

std::string replaceAllSubstrings(const std::string& text, const std::string& from,
                                 const std::string& to) {
    if (from.empty()) return text;  // an empty pattern would match forever at the same place
    std::string result = text;
    size_t at = 0;
    while ((at = result.find(from, at)) != std::string::npos) {
        result.replace(at, from.size(), to);
        at += to.size();  // resume after the inserted text, so "to" is never matched again
    }
    return result;
}

int strtoint(const std::string& text) {
    // The leading number as atoi reads it, with a value out of range held at the nearest limit
    // instead of being undefined.
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

std::string inttostr(int64_t value) {
    std::string text = std::to_string(static_cast<long long>(value));
    if (text.size() > inttostr_max) text.resize(inttostr_max);
    return text;
}

std::string path(const std::string& text) {
    std::string result = text;
    size_t at = 0;
    // One pass suffices: after a replacement the scan stays at the same place, so a run of any
    // length shrinks to a single slash.
    while ((at = result.find("//", at)) != std::string::npos) result.erase(at, 1);
    return result;
}

std::string get_arch() {
    struct utsname name;
    if (uname(&name) != 0) {
        error("Can't get machine hardware name: %s\n", strerror(errno));
        return "";
    }
    return name.machine;
}

int add_user_stat_data(session_t* session, const std::string& name, const std::string& value) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    const std::string old = env_get_string(session, name);
    env_set_string(session, name, old.empty() ? value : old + "," + value);
    return 0;
}

int execute_args(const std::string& command, const std::string& arguments) {
    if (command.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    print_log("execute_args: command %s, arguments %s", command.c_str(), arguments.c_str());
    const std::string line = arguments.empty() ? command : command + " " + arguments;
    const int status = system(line.c_str());
    print_log("execute_args: return code is %d", status);
    if (status == -1) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    // A command ended by a signal must not read as success; shells report it the same way.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

std::string get_command_output(const char* command) {
    if (!command) {
        error("get_command_output: command is NULL");
        return "";
    }
    const stderr_silencer silence;
    pipe_ptr pipe(popen(command, "r"));
    if (!pipe) {
        error("get_command_output: cannot execute command '%s'.", command);
        return "";
    }
    std::string output;
    std::array<char, output_piece> piece;  // bounded by its own size: fread never writes past it
    size_t got;
    while ((got = fread(piece.data(), 1, piece.size(), pipe.get())) > 0) output.append(piece.data(), got);
    return output;
}

std::string get_command_output(const std::string& command) { return get_command_output(command.c_str()); }

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
    enum { plain, escape, control } state = plain;
    bool cut = false;
    for (;;) {
        char byte = 0;
        const int got = console_read_byte(&byte, interrupted);
        if (got == console_byte_interrupted) return read_path_interrupted;
        const unsigned char c = static_cast<unsigned char>(byte);
        // Ctrl-D on an empty line is the end of input in a terminal that reads byte by byte.
        if (got == console_byte_ended || (c == 4 && text.empty() && state == plain)) {
            print_log("read_path: input ended, entered string is \"%s\"", text.c_str());
            return read_path_ended;
        }
        if (c == '\n') break;
        if (state == escape) {
            state = plain;
            if (c == '[') {
                state = control;
                continue;
            }
        } else if (state == control) {
            // Cursor keys and the other keys that send "ESC [ parameters final" are swallowed
            // whole: parameter and intermediate bytes go on, a final byte ends the sequence.
            if (c >= 0x20 && c <= 0x3F) continue;
            state = plain;
            if (c >= 0x40 && c <= 0x7E) {
                reprint_line(text);  // the terminal echoed the sequence; show the text clean
                continue;
            }
        }
        if (c == 27) {
            state = escape;
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

char* get_next_line(std::string& buffer, size_t* position) {
    if (!position) {
        LOG_NULL_PARAM();
        return nullptr;
    }
    if (*position >= buffer.size()) return nullptr;
    char* line = &buffer[*position];
    const size_t newline = buffer.find('\n', *position);
    if (newline == std::string::npos) {
        *position = buffer.size();  // the string's own terminator ends the last line
        return line;
    }
    buffer[newline] = '\0';
    if (newline > *position && buffer[newline - 1] == '\r') buffer[newline - 1] = '\0';
    *position = newline + 1;
    return line;
}

std::vector<std::string> parse_ini_line(const std::string& line, char separator) {
    std::vector<std::string> pieces;
    if (line.empty() || line[0] == '#') {
        print_log("parse_ini_line: line is empty or comment");
        return pieces;
    }
    size_t start = 0;
    for (;;) {
        const size_t found = line.find(separator, start);
        const size_t end = found == std::string::npos ? line.size() : found;
        pieces.push_back(line.substr(start, end - start));
        print_log("parse_ini_line: found component is %s", pieces.back().c_str());
        if (found == std::string::npos) break;
        start = found + 1;
    }
    return pieces;
}

namespace {

// The regex compiler writes a{n} out as n copies of a, so nested counts multiply:
// ((a{200}){200}){200} would be eight million copies and minutes of compiling. Worse, it links
// every position that can be passed without reading a character to all the positions reachable
// that way, in time growing with the square of their number or faster: (x*){10000} or
// x*++++++++++++ take seconds although they are a few bytes. Patterns are measured before they
// are compiled and refused past these bounds; real conditions and dialog patterns stay far below them.
constexpr unsigned long long pattern_size_max = 20000;
constexpr unsigned long long pattern_skippable_max = 100;

unsigned long long capped_sum(unsigned long long a, unsigned long long b) {
    return a + b > pattern_size_max ? pattern_size_max + 1 : a + b;
}

unsigned long long capped_product(unsigned long long a, unsigned long long b) {
    if (a == 0 || b == 0) return 0;
    return a > (pattern_size_max + 1) / b ? pattern_size_max + 1 : a * b;
}

// The index of the ']' that closes the bracket expression opened at start; a ']' right after the
// opening (or after '^') is a member, as are the [:class:], [.x.] and [=x=] forms.
size_t bracket_end(const std::string& pattern, size_t start) {
    size_t i = start + 1;
    if (i < pattern.size() && pattern[i] == '^') ++i;
    if (i < pattern.size() && pattern[i] == ']') ++i;
    for (; i < pattern.size(); ++i) {
        if (pattern[i] == ']') return i;
        if (pattern[i] == '[' && i + 1 < pattern.size() &&
            (pattern[i + 1] == ':' || pattern[i + 1] == '.' || pattern[i + 1] == '=')) {
            const char kind = pattern[i + 1];
            const size_t close = pattern.find(std::string(1, kind) + "]", i + 2);
            if (close == std::string::npos) return pattern.size();
            i = close + 1;
        }
    }
    return pattern.size();
}

struct bound_t {
    unsigned long long copies = 0;  // what the bound multiplies its atom's size by
    bool optional = false;          // a lower count of 0: the atom may be skipped
    size_t end = 0;                 // the index of the closing '}'
};

// Reads a bound opened at start ("{m}", "{m,}", "{m,n}", "{,n}"); false when it is no bound.
bool read_bound(const std::string& pattern, size_t start, bound_t* bound) {
    unsigned long long low = 0;
    unsigned long long high = 0;
    bool comma = false;
    for (size_t i = start + 1; i < pattern.size(); ++i) {
        const char c = pattern[i];
        unsigned long long& count = comma ? high : low;
        if (c >= '0' && c <= '9') {
            count = capped_sum(capped_product(count, 10), static_cast<unsigned>(c - '0'));
        } else if (c == ',' && !comma) {
            comma = true;
        } else if (c == '}' && i > start + 1) {
            // "{m,}" is m copies and a starred one. "{m,n}" is m copies and n - m optional ones,
            // each nested in the one before, which costs the square of their number: a{1,5000}
            // alone takes most of a second.
            if (comma && pattern[i - 1] == ',') {
                bound->copies = capped_sum(low, 1);
            } else if (comma && high > low) {
                const unsigned long long optional = high - low;
                bound->copies = capped_sum(high, capped_product(optional, optional / 32));
            } else {
                bound->copies = low;
            }
            bound->optional = low == 0;
            bound->end = i;
            return true;
        } else {
            return false;
        }
    }
    return false;
}

constexpr int pattern_quantifiers_max = 64;

// Stacked counts (x**, a+*?, b{2}*) make the compiler chain empty paths into each other, which its
// closure computation pays for exponentially; no real condition needs them, nor dozens of counts.
bool pattern_quantifiers_ok(const std::string& pattern) {
    int total = 0;
    bool after_quantifier = false;
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        bound_t bound;
        bool quantifier = false;
        if (c == '\\') {
            ++i;
        } else if (c == '[') {
            i = bracket_end(pattern, i);
        } else if (c == '*' || c == '+' || c == '?') {
            quantifier = true;
        } else if (c == '{' && read_bound(pattern, i, &bound)) {
            quantifier = true;
            i = bound.end;
        }
        if (quantifier) {
            if (after_quantifier || ++total > pattern_quantifiers_max) return false;
        }
        after_quantifier = quantifier;
    }
    return true;
}

struct pattern_measure_t {
    unsigned long long size = 0;       // positions once every count is written out
    unsigned long long skippable = 0;  // of those, the ones inside parts that may match nothing
};

// Measures the pattern without compiling it. Counts are capped just past the bounds, so that no
// pattern overflows them. Escapes and anchors are counted as skippable: some of them match
// nothing (\b, \<, ^), and counting the others too only errs on the safe side.
pattern_measure_t pattern_measure(const std::string& pattern) {
    struct atom_t {
        unsigned long long size = 0;
        unsigned long long skippable = 0;
        bool nullable = true;  // no atom yet: an empty branch matches nothing
    };
    struct group_t {
        pattern_measure_t total;
        atom_t last;                   // the atom a following count or star applies to
        bool before_nullable = true;   // every atom of the branch before the last may match nothing
        bool some_branch_nullable = false;
    };
    std::vector<group_t> groups(1);
    const auto add_atom = [&groups](const atom_t& atom) {
        group_t& group = groups.back();
        group.before_nullable = group.before_nullable && group.last.nullable;
        group.last = atom;
        group.total.size = capped_sum(group.total.size, atom.size);
        group.total.skippable = capped_sum(group.total.skippable, atom.skippable);
    };
    // Replaces the last atom by its repetition: copies of it, skippable when optional.
    const auto repeat_last = [&groups](unsigned long long copies, bool optional) {
        group_t& group = groups.back();
        atom_t repeated;
        repeated.size = capped_product(group.last.size, copies);
        repeated.nullable = optional || group.last.nullable;
        repeated.skippable = repeated.nullable ? repeated.size : capped_product(group.last.skippable, copies);
        // A repetition only ever grows its atom; the totals take the growth.
        if (repeated.size > group.last.size) {
            group.total.size = capped_sum(group.total.size, repeated.size - group.last.size);
        }
        if (repeated.skippable > group.last.skippable) {
            group.total.skippable =
                capped_sum(group.total.skippable, repeated.skippable - group.last.skippable);
        }
        group.last = repeated;
    };
    const atom_t plain{1, 0, false};
    const atom_t empty_width{1, 1, true};
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            ++i;
            add_atom(empty_width);
        } else if (c == '^' || c == '$') {
            add_atom(empty_width);
        } else if (c == '[') {
            i = bracket_end(pattern, i);
            add_atom(plain);
        } else if (c == '(') {
            groups.emplace_back();
        } else if (c == ')' && groups.size() > 1) {
            const group_t inner = groups.back();
            groups.pop_back();
            atom_t atom;
            atom.size = std::max(inner.total.size, 1ULL);
            atom.nullable = inner.some_branch_nullable || (inner.before_nullable && inner.last.nullable);
            atom.skippable = atom.nullable ? atom.size : inner.total.skippable;
            add_atom(atom);
        } else if (c == '|') {
            group_t& group = groups.back();
            group.some_branch_nullable =
                group.some_branch_nullable || (group.before_nullable && group.last.nullable);
            group.before_nullable = true;
            group.last = atom_t();
        } else if (c == '*' || c == '?') {
            repeat_last(1, true);
        } else if (c == '+') {  // written out as the atom and a starred copy of it
            repeat_last(2, false);
        } else if (c == '{') {
            bound_t bound;
            if (read_bound(pattern, i, &bound)) {
                repeat_last(std::max(bound.copies, 1ULL), bound.optional);
                i = bound.end;
            } else {
                add_atom(plain);
            }
        } else {
            add_atom(plain);
        }
    }
    pattern_measure_t measure;
    for (const group_t& group : groups) {
        measure.size = capped_sum(measure.size, group.total.size);
        measure.skippable = capped_sum(measure.skippable, group.total.skippable);
    }
    return measure;
}


// A back-reference makes matching try every way of splitting the text among the groups, in time
// growing as a power of its length: 40 seconds on a 2,000-character answer. None is accepted.
bool pattern_has_back_reference(const std::string& pattern) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '[') {
            i = bracket_end(pattern, i);
        } else if (pattern[i] == '\\' && i + 1 < pattern.size()) {
            if (pattern[i + 1] >= '1' && pattern[i + 1] <= '9') return true;
            ++i;
        }
    }
    return false;
}

}  // namespace

bool regex_too_complex(const std::string& pattern) {
    const pattern_measure_t measure = pattern_measure(pattern);
    return measure.size > pattern_size_max || measure.skippable > pattern_skippable_max ||
           !pattern_quantifiers_ok(pattern) || pattern_has_back_reference(pattern);
}

void regex_deleter::operator()(regex_t* regex) const {
    regfree(regex);
    delete regex;
}

regex_ptr get_regex(const char* pattern, int flags) {
    if (!pattern) {
        LOG_NULL_PARAM();
        return nullptr;
    }
    // The pattern is not logged: it may be built from a hidden value.
    if (regex_too_complex(pattern)) {
        error("get_regex: pattern refused as too complex");
        return nullptr;
    }
    auto compiled = std::make_unique<regex_t>();
    if (regcomp(compiled.get(), pattern, flags) != 0) return nullptr;  // nothing to regfree
    return regex_ptr(compiled.release());
}

int regmatch(const regex_t* regex, const char* text, int flags) {
    if (!regex || !text) {
        LOG_NULL_PARAM();
        return -1;
    }
    const int result = regexec(regex, text, 0, nullptr, flags);
    if (result == 0) return 1;
    if (result == REG_NOMATCH) return 0;
    error("Regular expression matching error");
    return -1;
}

void free_regex(regex_ptr& regex) { regex.reset(); }
