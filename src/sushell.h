// Running a command as another user: through su on a pseudo-terminal, answering its password
// prompt, or through sudo reading the password from a pipe; the running markers by which an
// instance of the engine announces itself; the built-in action that judges the outcome.
#pragma once

#include <sys/types.h>

#include <string>

struct session_t;

constexpr const char* su_program_default = "/bin/su";
constexpr int su_prompt_seconds_default = 30;
constexpr int su_marker_seconds_default = 10;
// The longest password sent: one canonical terminal line holds at most 4095 bytes.
constexpr size_t su_password_max = 4000;

// What the runners need besides login, password and command. The session's SU_PATH,
// SU_PROMPT_TIMEOUT and SU_MARKER_TIMEOUT (seconds) and tmp_dir fill it (su_options_from).
struct su_options_t {
    std::string program = su_program_default;
    int prompt_seconds = su_prompt_seconds_default;  // the limit for the password prompt
    // After this long without the target's running marker a child that has not ended counts as
    // hung and is ended; while a trusted marker exists the child is waited for without limit.
    int marker_seconds = su_marker_seconds_default;
    std::string marker;  // the target user's running marker; "" when there is none to trust
    uid_t marker_owner = 0;
};

su_options_t su_options_from(session_t* session, const std::string& login);

// The built-in action: runs SU_COMMAND as SU_LOGIN (sudo as root when SU_LOGIN is empty) with the
// password of __HIDE__SU_PASSWORD and sets AUTH_STATUS, LUMO_EXIT_CODE and WINDOW_VISIBILITY.
// Returns the command's status, 0 when a failed status is excused, 1 on set-up failures.
int shell_execute_command(session_t* session);
// su on a pseudo-terminal opened by hand, with su_execute_command_forkpty as the fallback when su
// never asked for the password. The exit status, 128 + signal for a child killed by a signal, or 1.
int su_execute_command(session_t* session, const std::string& login, const std::string& password,
                       const std::string& command);
int su_execute_command_forkpty(const std::string& login, const std::string& password, const std::string& command,
                               const su_options_t& options = su_options_t());
// sudo -S with the password written to a pipe once sudo asks for it; the command runs as root.
int sudo_execute_command(const std::string& password, const std::string& command,
                         const su_options_t& options = su_options_t());
// Reads the descriptor until the output holds the prompt: 0 found, 1 not within timeout_ms (or a
// read failure), 2 the output ended (end of file, or EIO: the other side is gone). What was read
// goes to *seen when given.
int wait_for_prompt(int fd, const std::string& prompt, int timeout_ms = su_prompt_seconds_default * 1000,
                    std::string* seen = nullptr);
// How the outcome status of a runner is judged into AUTH_STATUS, LUMO_EXIT_CODE, WINDOW_VISIBILITY.
int shell_judge_status(session_t* session, int status);

// Creates this instance's running marker ${tmp_dir}/vexan.lumo.${USER}.running.marker, exclusively
// and without following links. 0 created, 1 another live instance holds it (INSTALLER_PRESENT is
// then "yes", so that it is left alone at exit), -1 not created.
int sushell_marker_create(session_t* session);
// Registers shell_execute_command.
int sushell_actions_register(session_t* session);
