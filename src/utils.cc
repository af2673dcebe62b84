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
#include <utility>

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

std::string mask_url_passwords(const std::string& text) {
    if (text.find("://") == std::string::npos) return text;
    std::string result;
    size_t done = 0;
    for (size_t scheme = text.find("://"); scheme != std::string::npos; scheme = text.find("://", scheme + 3)) {
        const size_t start = scheme + 3;
        if (start < done) continue;
        // The user part ends at the first "@" before the host's end.
        const size_t end = text.find_first_of("/?# \t\n\"'", start);
        const size_t at = text.rfind('@', end == std::string::npos ? std::string::npos : end);
        if (at == std::string::npos || at < start) continue;
        const size_t colon = text.find(':', start);
        if (colon == std::string::npos || colon > at) continue;
        result.append(text, done, colon + 1 - done);
        result += "[HIDDEN]";
        done = at;
    }
    result.append(text, done, std::string::npos);
    return result;
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

std::string decode_character_references(const std::string& text) {
    std::string result = text;
    for (const auto& [from, to] : {std::pair<const char*, const char*>{"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""},
                                   {"&amp;", "&"}})
        result = replaceAllSubstrings(result, from, to);
    return result;
}

std::string shell_quote(const std::string& text) {
    bool plain = !text.empty();
    for (const char c : text) {
        if (!isalnum(static_cast<unsigned char>(c)) && (c == '\0' || !strchr("/._-+,:@%=", c))) plain = false;
    }
    if (plain) return text;
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
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

// One part of a measured pattern: a character, a class, an escape or a closed group.
struct pattern_atom_t {
    unsigned long long size = 0;
    unsigned long long skippable = 0;
    bool nullable = true;  // no atom yet: an empty branch matches nothing
};

// A group being measured; the whole pattern is the outermost one.
struct pattern_group_t {
    pattern_measure_t total;
    pattern_atom_t last;           // the atom a following count or star applies to
    bool before_nullable = true;   // every atom of the branch before the last may match nothing
    bool some_branch_nullable = false;
};

void group_add_atom(pattern_group_t& group, const pattern_atom_t& atom) {
    group.before_nullable = group.before_nullable && group.last.nullable;
    group.last = atom;
    group.total.size = capped_sum(group.total.size, atom.size);
    group.total.skippable = capped_sum(group.total.skippable, atom.skippable);
}

// Replaces the last atom by its repetition: copies of it, skippable when optional.
void group_repeat_last(pattern_group_t& group, unsigned long long copies, bool optional) {
    pattern_atom_t repeated;
    repeated.size = capped_product(group.last.size, copies);
    repeated.nullable = optional || group.last.nullable;
    repeated.skippable = repeated.nullable ? repeated.size : capped_product(group.last.skippable, copies);
    // A repetition only ever grows its atom; the totals take the growth.
    if (repeated.size > group.last.size) {
        group.total.size = capped_sum(group.total.size, repeated.size - group.last.size);
    }
    if (repeated.skippable > group.last.skippable) {
        group.total.skippable = capped_sum(group.total.skippable, repeated.skippable - group.last.skippable);
    }
    group.last = repeated;
}

// A '|' starts another branch of the group.
void group_next_branch(pattern_group_t& group) {
    group.some_branch_nullable = group.some_branch_nullable || (group.before_nullable && group.last.nullable);
    group.before_nullable = true;
    group.last = pattern_atom_t();
}

// A closed group is one atom of the group around it.
pattern_atom_t group_as_atom(const pattern_group_t& inner) {
    pattern_atom_t atom;
    atom.size = std::max(inner.total.size, 1ULL);
    atom.nullable = inner.some_branch_nullable || (inner.before_nullable && inner.last.nullable);
    atom.skippable = atom.nullable ? atom.size : inner.total.skippable;
    return atom;
}

// Measures the pattern without compiling it. Counts are capped just past the bounds, so that no
// pattern overflows them. Escapes and anchors are counted as skippable: some of them match
// nothing (\b, \<, ^), and counting the others too only errs on the safe side.
pattern_measure_t pattern_measure(const std::string& pattern) {
    std::vector<pattern_group_t> groups(1);
    const pattern_atom_t plain{1, 0, false};
    const pattern_atom_t empty_width{1, 1, true};
    for (size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '\\') {
            ++i;
            group_add_atom(groups.back(), empty_width);
        } else if (c == '^' || c == '$') {
            group_add_atom(groups.back(), empty_width);
        } else if (c == '[') {
            i = bracket_end(pattern, i);
            group_add_atom(groups.back(), plain);
        } else if (c == '(') {
            groups.emplace_back();
        } else if (c == ')' && groups.size() > 1) {
            const pattern_atom_t atom = group_as_atom(groups.back());
            groups.pop_back();
            group_add_atom(groups.back(), atom);
        } else if (c == '|') {
            group_next_branch(groups.back());
        } else if (c == '*' || c == '?') {
            group_repeat_last(groups.back(), 1, true);
        } else if (c == '+') {  // written out as the atom and a starred copy of it
            group_repeat_last(groups.back(), 2, false);
        } else if (c == '{') {
            bound_t bound;
            if (read_bound(pattern, i, &bound)) {
                group_repeat_last(groups.back(), std::max(bound.copies, 1ULL), bound.optional);
                i = bound.end;
            } else {
                group_add_atom(groups.back(), plain);
            }
        } else {
            group_add_atom(groups.back(), plain);
        }
    }
    pattern_measure_t measure;
    for (const pattern_group_t& group : groups) {
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

bool is_plain_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool is_safe_relative_path(const std::string& name, bool allow_empty) {
    if (name.empty()) return allow_empty;
    if (name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}
