// Helpers shared by the tests: a private temporary folder, a log captured into a file, standard
// streams pointed elsewhere, a pseudo-terminal driver, and running the built engine and tools.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lumo_test {

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Opens the process log into a file of its own; the log is disabled again when it goes.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text() const;
    // True when a line ends with the text: the time and prefix in front of a message are ignored,
    // so "ERROR: : store_read_cab: cab file is null" or ": init_sequence: started" both match.
    bool has_line(const std::string& line_end) const;
    const std::string& path() const { return m_path; }

private:
    TempDir m_dir;
    std::string m_path;
};

// Points standard streams elsewhere while it lives; each is put back on restore() or scope exit.
class StdioRedirect {
public:
    StdioRedirect() = default;
    ~StdioRedirect() { restore(); }
    StdioRedirect(const StdioRedirect&) = delete;
    StdioRedirect& operator=(const StdioRedirect&) = delete;
    // Standard input reads the text through a file, so the end of the text is a real end of input.
    StdioRedirect& input(const std::string& text);
    // The stream (STDIN_FILENO, STDOUT_FILENO or STDERR_FILENO) uses a copy of the descriptor.
    StdioRedirect& stream_to_fd(int stream, int fd);
    // Standard output or error written to the path; "" means a file of our own that text() reads.
    StdioRedirect& output(int stream, const std::string& path = "");
    std::string text() const;  // what went into our own file so far
    void restore();

private:
    TempDir m_dir;
    std::vector<std::pair<int, int>> m_saved;  // stream, its descriptor before
};

// One exchange on a pseudo-terminal: wait until the screen shows `expect` (after what the previous
// step matched), then type `send`.
struct PtyStep {
    std::string expect;
    std::string send;
};
struct PtyRun {
    int status = -1;     // exit status, 128 + signal, or -1 when it never ended
    std::string screen;  // everything shown, "\r\n" turned back into "\n"
    std::map<std::string, std::string> results;  // what a function child passed to pty_report
    std::string result(const std::string& name) const;  // "<missing>" when never reported
};
struct PtyOptions {
    int columns = 80;
    int rows = 24;
    int step_seconds = 30;  // generous: the sanitizer build is slow
    std::string cwd;        // for a command; "" keeps ours
};
// Runs the function in a child on the slave side of a pseudo-terminal, or the command (argv[0] a
// path) there, and plays the steps; the run must end by itself after the last one.
PtyRun run_on_pty(const std::function<int()>& body, const std::vector<PtyStep>& steps, const PtyOptions& options = {});
PtyRun run_on_pty(const std::vector<std::string>& argv, const std::vector<PtyStep>& steps,
                  const PtyOptions& options = {});
// Makes this process an ordinary user whose home is the folder (root drops to nobody), so that
// the per-user records land in the test's folder. false when that fails.
bool become_user_with_home(const std::string& home);
// Runs the body as such a user (as root in a child process); the body's result, 0 for success.
int as_user_with_home(const std::string& home, const std::function<int()>& body);
// Called in a function child: the name and value show up in PtyRun::results.
void pty_report(const std::string& name, const std::string& value);
std::vector<PtyStep> operator+(std::vector<PtyStep> first, const std::vector<PtyStep>& second);

struct StoreFile {
    std::string component;
    std::string name;
    std::string content;
    std::string attrs;
};
// Writes a store holding the files with the engine's own writer; true on success.
bool make_store(const std::string& path, const std::vector<StoreFile>& files);

std::string read_file(const std::string& path);
bool exists_path(const std::string& path);
void write_file_text(const std::string& path, const std::string& text);
// Runs a shell command; stdout (and stderr when merge_stderr) into *output; the exit status.
int run_command(const std::string& command, std::string* output = nullptr, bool merge_stderr = false);
std::string quote(const std::string& text);
// The text of every engine log (vexan.lumo.*.log) in the folder, one after the other.
std::string engine_logs(const std::string& folder);
// The last value the property was given, as the property store logs it; "<unset>" when never.
std::string logged_value(const std::string& log, const std::string& name);
size_t count_occurrences(const std::string& text, const std::string& part);
std::string source_dir();   // the repository
std::string binary_dir();   // the build folder: engine at binary_dir() + "/bin/lumo"
std::string engine_path();
std::string cab_tool_path();

}  // namespace lumo_test
