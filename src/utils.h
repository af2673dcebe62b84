// Small helpers shared across the engine: the console printer and path reader, string, line and
// regular-expression helpers, and the command runners that run a command for its exit status or
// its output.
#pragma once

#include <regex.h>
#include <termios.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct session_t;

// Every byte outside A-Z and a-z becomes '_' (digits included).
std::string strtoletters(const std::string& text);
// Prefixes width - length spaces when that is positive.
std::string strtowidth(const std::string& text, int width);
std::string remove_newlines(const std::string& text);
bool string_is_empty(const std::string& text);
std::vector<std::string> splitString(const std::string& text, const std::string& delimiter,
                                     bool keep_empty);
std::string trimSpaces(const std::string& text);
std::string replaceAllSubstrings(const std::string& text, const std::string& from,
                                 const std::string& to);
int strtoint(const std::string& text);
std::string inttostr(int64_t value);
// Replaces every "//" by "/" until none is left.
std::string path(const std::string& text);
std::string get_arch();
int add_user_stat_data(session_t* session, const std::string& name, const std::string& value);

// Runs "command arguments" (or the command alone) through the system shell; its exit status,
// -1 for an empty command.
int execute_args(const std::string& command, const std::string& arguments);
// Everything the command wrote to standard output; its standard error goes to /dev/null.
std::string get_command_output(const char* command);
std::string get_command_output(const std::string& command);
// "$(command)" runs the command and gives its output; any other text is a file to read.
std::string get_file_or_command(const char* text);

// Console. The console width is the column count of the terminal on standard output, 80 when it is
// not a terminal; anything above 80 or below 10 counts as 80.
int get_window_width();
// printf-style formatting, printed word-wrapped to the console width and flushed. A newline in the
// text ends a line; a word longer than a line is broken. Two- and four-byte UTF-8 sequences take
// one column, three-byte sequences two. 0, or -1 for a null format.
int print_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A row of "-" as wide as the console, then a newline; 0.
int print_dashes();
// count spaces; "" for count <= 0.
std::string make_padding(int count);
// Appends text to buffer; returns buffer.
std::string& concat(std::string& buffer, const std::string& text);

// Changes the local-mode flags of standard input while it lives (flags in `off` cleared, those in
// `on` set; without ICANON input comes one byte at a time, with no time-out) and puts the saved
// settings back when it goes, so every return restores the terminal. Nothing happens when
// standard input is not a terminal.
class console_mode {
public:
    console_mode(tcflag_t off, tcflag_t on);
    ~console_mode();
    console_mode(const console_mode&) = delete;
    console_mode& operator=(const console_mode&) = delete;

private:
    struct termios m_saved;
    bool m_changed = false;
};

constexpr int console_byte_ended = 0;         // end of input, or standard input is unusable
constexpr int console_byte_read = 1;
constexpr int console_byte_interrupted = -2;  // *interrupted was found non-zero
// Reads one byte of standard input with read(2), never through stdio buffering, so a following
// reader (or another process) sees exactly the rest. When `interrupted` is not null, the wait ends
// as soon as a signal handler sets *interrupted: the flag is tested with SIGINT blocked and the
// wait unblocks it atomically, so an interrupt cannot slip in between the test and the wait.
// The flag is left for the caller to clear.
int console_read_byte(char* byte, volatile sig_atomic_t* interrupted);

constexpr size_t read_path_max = 4095;     // longest path read_path returns
constexpr int read_path_done = 0;          // a newline ended the path
constexpr int read_path_ended = 1;         // the input ended first; text holds what was typed
constexpr int read_path_interrupted = -2;  // see console_read_byte
// Reads one path from standard input with file-name completion on TAB (one candidate is completed,
// "/" after a folder; several are extended to their common beginning and listed in columns),
// backspace and ignored cursor keys. Echo stays on; the terminal settings are restored on every
// return. The text is cut to read_path_max bytes (logged).
int read_path(std::string& text, volatile sig_atomic_t* interrupted = nullptr);

// Lines and expressions.
// The line starting at *position in buffer, ended in place: its newline (or carriage return and
// newline) is overwritten by terminators and *position moves past it; the last line may end at the
// buffer's end, where the string's own terminator ends it. Null when *position is at or past the end.
char* get_next_line(std::string& buffer, size_t* position);
// The pieces of line between separators (empty pieces kept); none for an empty line or a "#"
// comment.
std::vector<std::string> parse_ini_line(const std::string& line, char separator);

struct regex_deleter {
    void operator()(regex_t* regex) const;
};
using regex_ptr = std::unique_ptr<regex_t, regex_deleter>;
// Whether the extended pattern is refused before compiling: nested or stacked counts and long
// optional runs make compiling take seconds, back-references make matching take time growing as
// a power of the text's length.
bool regex_too_complex(const std::string& pattern);
// The one owner of compiled expressions: every pattern, whoever supplies it, goes through here.
// A compiled POSIX expression (regcomp flags); null when the pattern does not compile or
// regex_too_complex refuses it (logged, without the pattern, which may be secret).
regex_ptr get_regex(const char* pattern, int flags);
// 1 on a match, 0 on none; -1 (logged) for a matching error or a null argument.
int regmatch(const regex_t* regex, const char* text, int flags);
// Releases the expression and leaves the pointer null.
void free_regex(regex_ptr& regex);
