#include "utils.h"

#include <sys/utsname.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

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

void regex_deleter::operator()(regex_t* regex) const {
    regfree(regex);
    delete regex;
}

regex_ptr get_regex(const char* pattern, int flags) {
    if (!pattern) {
        LOG_NULL_PARAM();
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
