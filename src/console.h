// The console printer and path reader of the text-mode installer: word-wrapped output at the
// console width, raw single-byte input, file-name completion; and reading a text from a file or
// from a command's output.
#pragma once

#include <termios.h>

#include <csignal>
#include <string>

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

