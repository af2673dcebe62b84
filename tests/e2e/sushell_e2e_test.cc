// Runs the engine as an ordinary user on a pseudo-terminal and lets it start itself again as another
// user through the real su and sudo, with users made for the test; a fake su stands in only where
// su must hang or be interrupted.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>

#include "rpm_package.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

// Named after the test process: tests run in parallel, and another build's tests may run at once.
const std::string first_user = "lumo_t1_" + std::to_string(getpid());
const std::string second_user = "lumo_t2_" + std::to_string(getpid());
const std::string sudoers_entry = "/etc/sudoers.d/" + first_user + "_test";
// Made afresh for each run, so that no file left by anything else can hold them.
const std::string run_token = std::to_string(getpid()) + "x" + std::to_string(time(nullptr) % 100000);
const std::string first_password = "Lumo-first-" + run_token;
const std::string second_password = "Lumo-second-" + run_token;

// The text appears in no file under the folder (links not followed, large files skipped).
bool folder_holds(const std::string& folder, const std::string& text) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             folder, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec) || it->file_size(ec) > (8u << 20)) continue;
        if (read_file(it->path().string()).find(text) != std::string::npos) return true;
    }
    return false;
}

bool process_alive(const std::string& pid_file) {
    const long pid = strtol(read_file(pid_file).c_str(), nullptr, 10);
    return pid > 0 && kill(static_cast<pid_t>(pid), 0) == 0;
}

// The account tools fail at once while another test holds the lock of the user database (tests
// run in parallel), so each change is tried again for a few seconds.
template <typename Change>
bool with_account_lock_retries(Change change) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (change()) return true;
        usleep(250 * 1000);
    }
    return false;
}

bool set_password(const std::string& user, const std::string& password) {
    return with_account_lock_retries([&] {
        FILE* pipe = popen("chpasswd 2>/dev/null", "w");
        if (!pipe) return false;
        fprintf(pipe, "%s:%s\n", user.c_str(), password.c_str());
        return pclose(pipe) == 0;
    });
}

// The two users, the first allowed to use sudo, while it lives; ready() false when not root.
struct TestUsers {
    bool ready = geteuid() == 0 && run_command("command -v useradd chpasswd setpriv sudo >/dev/null") == 0;
    TestUsers() {
        for (const std::string& user : {first_user, second_user}) {
            with_account_lock_retries([&] {
                run_command("userdel -r -f " + user + " >/dev/null 2>&1");
                return getpwnam(user.c_str()) == nullptr;
            });
            ready = ready && with_account_lock_retries([&] {
                        return run_command("useradd -m -s /bin/sh " + user + " >/dev/null 2>&1") == 0;
                    });
        }
        ready = ready && set_password(first_user, first_password) &&
                run_command("printf '%s ALL=(ALL) ALL\\n' " + first_user + " >" + sudoers_entry + " && chmod 0440 " +
                            sudoers_entry) == 0;
    }
    ~TestUsers() {
        run_command("rm -f " + sudoers_entry);
        for (const std::string& user : {first_user, second_user}) run_command("userdel -r -f " + user + " >/dev/null 2>&1");
    }
};

class SuShell : public SeqPackage {
protected:
    // A password dialog, the properties saved for the root instance, the escalation; the instance
    // started with ELEVATED sleeps past the marker time-out and ends with status 3.
    void SetUp() override {
        stage("product.ini", "PRODUCT_NAME=Escalation Test\nPRODUCT_VERSION=1.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" action=\"start\"/></sequence>");
        stage("m.xml",
              module("<action id=\"start\"><next condition=\"ELEVATED\" call=\"restore\"/><next call=\"ask\"/></action>"
                     "<action id=\"restore\" type=\"built_in\" func=\"env_restore\"><next call=\"root\"/></action>"
                     "<action id=\"root\" type=\"plugin_bash\" component=\"_internal_\" file=\"root.sh\" func=\"work\">"
                     "<set property=\"LUMO_EXIT_CODE\" value=\"3\"/><next call=\"_finish_\"/></action>"
                     "<action id=\"ask\" type=\"dialog\" call=\"pw\"><next call=\"save\"/></action>"
                     "<action id=\"save\" type=\"built_in\" func=\"env_save\"><next call=\"su\"/></action>"
                     "<action id=\"su\" type=\"built_in\" func=\"shell_execute_command\"><next call=\"_finish_\"/></action>",
                     "<interface view=\"cli\"><dialog id=\"pw\" clear_screen=\"false\"><title text=\"Rights\"/>"
                     "<input text=\"Secret?\" keep=\"__HIDE__SU_PASSWORD\"/></dialog></interface>"));
        stage("root.sh", "work() { echo 'root instance working'; sleep 8; echo 'root instance done'; }\n");
        pack();
        // Both users reach the package; the shared folder is theirs as /tmp is everybody's.
        std::filesystem::create_directories(shared());
        chmod(m_dir.path().c_str(), 0755);
        chmod(shared().c_str(), 01777);
        write_file_text(m_dir.file("fake_su"), "#!/bin/sh\necho $$ >" + quote(m_dir.file("su.pid")) +
                                                   "\n[ -z \"$FAKE_RUN\" ] || { echo ran >>" +
                                                   quote(m_dir.file("su.runs")) + "; exit 0; }\n"
                                                   "[ -n \"$FAKE_PROMPT\" ] || exec sleep 60\n"
                                                   "printf 'Password: '; stty -echo; read pw; stty echo; echo started\n"
                                                   "exec sleep 60\n");
        chmod(m_dir.file("fake_su").c_str(), 0755);
    }

    std::string shared() const { return m_dir.file("run/shared"); }
    static std::string invoker_uid(const std::string& user) {
        const passwd* account = getpwnam(user.empty() ? "root" : user.c_str());
        return account ? std::to_string(account->pw_uid) : "0";
    }
    std::string engine() const { return m_dir.file("pkg/config/bin/lumo"); }
    std::string logs_of(const std::string& user) const {
        std::string text;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(shared(), ec))
            if (entry.path().filename().string().rfind("vexan.lumo." + user + ".", 0) == 0 &&
                entry.path().extension() == ".log")
                text += read_file(entry.path().string());
        return text;
    }

    // The start of a command line that runs what follows as `user` (root when empty).
    static std::vector<std::string> as_user(const std::string& user) {
        if (user.empty()) return {"/usr/bin/env", "USER=root"};
        return {"/usr/bin/setpriv", "--reuid=" + user, "--regid=" + user, "--init-groups", "--",
                "/usr/bin/env", "USER=" + user, "LOGNAME=" + user, "HOME=/home/" + user};
    }

    // The engine as `user` (root when empty) on a pseudo-terminal, typing the password into the
    // dialog; then whatever further steps.
    lumo_test::PtyRun escalate(const std::string& user, const std::string& login, const std::string& typed,
                               const std::vector<std::string>& extra, const std::vector<lumo_test::PtyStep>& more = {}) {
        std::vector<std::string> argv = as_user(user);
        const std::string elevated = quote(engine()) + " --TEMP_FOLDER " + quote(shared() + "/t2") +
                                     " --RUN_MODE elevated --ELEVATED 1 --LUMO_INVOKER_UID " + invoker_uid(user);
        for (const std::string& arg : {engine(), std::string("--FIRST_MARK"), std::string("from-first"),
                                       std::string("--TEMP_FOLDER"), shared() + "/t1",
                                       "--SU_LOGIN=" + login, std::string("--SU_COMMAND"), elevated})
            argv.push_back(arg);
        argv.insert(argv.end(), extra.begin(), extra.end());
        lumo_test::PtyOptions options;
        options.cwd = m_dir.file("run");
        return lumo_test::run_on_pty(argv, std::vector<lumo_test::PtyStep>{{"Secret?", typed + "\n"}} + more, options);
    }
};

// su with the right password, a wrong one and one full of shell characters, and sudo with the
// user's own password: the outcome properties, one root instance at most, the password nowhere.
TEST_F(SuShell, EscalatesThroughRealSuAndSudo) {
    const TestUsers users;
    if (!users.ready) GTEST_SKIP() << "needs root to create two users (useradd, chpasswd, setpriv, sudo)";
    const struct {
        const char* name;
        std::string set, typed, login, target;
        int status;
        const char *auth, *exit_code, *visibility;
        size_t root_runs;
    } cases[] = {
        {"su right", second_password, second_password, second_user, second_user, 3, "AUTH_SUCCESS", "3", "<unset>", 1},
        {"su wrong", second_password, second_password + "y", second_user, second_user, 0, "AUTH_FAILURE", "<unset>", "VISIBLE", 0},
        {"su shell characters", "p'a\"s$(id) `x`\\;|&<>*?!# ~%" + run_token, "p'a\"s$(id) `x`\\;|&<>*?!# ~%" + run_token, second_user,
         second_user, 3, "AUTH_SUCCESS", "3", "<unset>", 1},
        {"sudo", second_password, first_password, "", "root", 3, "AUTH_SUCCESS", "3", "<unset>", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(set_password(second_user, c.set));
        std::filesystem::remove_all(shared() + "/t2");
        for (const auto& entry : std::filesystem::directory_iterator(shared())) std::filesystem::remove_all(entry.path());
        const auto started = std::chrono::steady_clock::now();
        const lumo_test::PtyRun run = escalate(first_user, c.login, c.typed, {"--__keep_temp__", "--SU_MARKER_TIMEOUT", "6"});
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
        const std::string first_log = logs_of(first_user);
        EXPECT_EQ(c.status, run.status) << run.screen;
        EXPECT_EQ(c.auth, lumo_test::logged_value(first_log, "AUTH_STATUS")) << first_log;
        EXPECT_EQ(c.exit_code, lumo_test::logged_value(first_log, "LUMO_EXIT_CODE"));
        EXPECT_EQ(c.visibility, lumo_test::logged_value(first_log, "WINDOW_VISIBILITY"));
        // The root instance outlived the marker time-out: only its trusted marker kept it alive.
        const std::string target_log = logs_of(c.target);
        EXPECT_EQ(c.root_runs, lumo_test::count_occurrences(target_log, "Logging started at"));
        // The instance started with the other user's rights took the first user's properties.
        // Only root can read the first user's owner-only file; another user's instance cannot.
        if (c.root_runs && c.target == std::string("root")) {
            EXPECT_EQ("from-first", lumo_test::logged_value(target_log, "FIRST_MARK")) << target_log;
            EXPECT_EQ(std::string::npos, target_log.find("not restored")) << target_log;
        }
        EXPECT_EQ(c.root_runs, lumo_test::count_occurrences(run.screen, "root instance done"));
        EXPECT_FALSE(folder_holds("/tmp", c.typed)) << "a file holds the password";  // the package's too
        EXPECT_EQ(std::string::npos, run.screen.find(c.typed)) << run.screen;
        EXPECT_TRUE(lumo_test::exists_path(shared() + "/vexan.lumo.root.env_file"));
    }
    // "Yes" to the interrupt while the root instance works ends that instance too: sudo passes it
    // the stopping signal, which this user could not send it, and it cleans up.
    const lumo_test::PtyRun stopped = escalate(first_user, "", first_password, {"--SU_MARKER_TIMEOUT", "6"},
                                               {{"root instance working", "\x03"}, {"Interrupt install process?(Yes/No)[No]: ", "Yes\n"}});
    EXPECT_EQ(4, stopped.status) << stopped.screen;
    EXPECT_FALSE(lumo_test::exists_path(shared() + "/vexan.lumo.root.running.marker"));
    EXPECT_NE(std::string::npos, logs_of("root").find("sigterm_handler: signal 15 ends the run")) << logs_of("root");
}

// A su that never asks may be running the command: it is ended when no instance announces itself
// in time, then the fallback's su within the prompt limit; an interrupt answered "Yes" while su
// runs ends su and removes the root environment file before the status 4.
TEST_F(SuShell, HungSuIsEndedAndInterruptCleansUp) {
    if (geteuid() != 0) GTEST_SKIP() << "runs as root so that no user needs creating";
    const std::vector<std::string> fake = {"--SU_PATH", m_dir.file("fake_su"), "--SU_PROMPT_TIMEOUT", "2",
                                           "--SU_MARKER_TIMEOUT", "3"};
    const auto started = std::chrono::steady_clock::now();
    lumo_test::PtyRun run = escalate("", "root", "whatever", fake);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(12));
    EXPECT_EQ(0, run.status) << run.screen;
    std::string log = logs_of("root");
    EXPECT_EQ("AUTH_FAILURE", lumo_test::logged_value(log, "AUTH_STATUS"));
    EXPECT_EQ("VISIBLE", lumo_test::logged_value(log, "WINDOW_VISIBILITY"));
    EXPECT_EQ(1u, lumo_test::count_occurrences(log, "su_execute_command_forkpty: can't read su comamnd prompt."));
    EXPECT_FALSE(process_alive(m_dir.file("su.pid")));

    setenv("FAKE_PROMPT", "1", 1);
    run = escalate("", "root", "whatever", fake,
                   {{"started", "\x03"}, {"Interrupt install process?(Yes/No)[No]: ", "Yes\n"}});
    unsetenv("FAKE_PROMPT");
    EXPECT_EQ(4, run.status) << run.screen;
    EXPECT_FALSE(process_alive(m_dir.file("su.pid")));
    EXPECT_FALSE(lumo_test::exists_path(shared() + "/vexan.lumo.root.env_file"));
    EXPECT_FALSE(lumo_test::exists_path(shared() + "/vexan.lumo.root.running.marker"));

    // A su that runs the command without asking for a password runs it once, and succeeds. The
    // earlier runs' logs go first: a log is named to the minute, so they may or may not share one.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(shared(), ec))
        if (entry.path().extension() == ".log") std::filesystem::remove(entry.path(), ec);
    setenv("FAKE_RUN", "1", 1);
    run = escalate("", "root", "whatever", fake);
    unsetenv("FAKE_RUN");
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ("ran\n", read_file(m_dir.file("su.runs")));
    EXPECT_EQ("AUTH_SUCCESS", lumo_test::logged_value(logs_of("root"), "AUTH_STATUS"));
}

}  // namespace

// The sample suite run by an ordinary user into a folder only root can write: the password typed
// once a run, the suite installed, changed and removed by exactly one instance with root rights
// through sudo, everything the two instances shared cleaned up, the password nowhere.
TEST_F(SuShell, SampleSuiteEscalatesToRootThroughSudo) {
    const TestUsers users;
    if (!users.ready) GTEST_SKIP() << "needs root to create a user (useradd, chpasswd, setpriv, sudo)";
    if (!lumo_test::rpmbuild_missing().empty()) GTEST_SKIP() << lumo_test::rpmbuild_missing();
    std::string built;
    const std::string build = "LUMO_BUILD_DIR=" + quote(lumo_test::binary_dir()) + " " +
                              quote(lumo_test::source_dir() + "/examples/suite/build.sh");
    ASSERT_EQ(0, run_command(build + " " + quote(m_dir.file("pkg10")) + " && " + build + " --version 1.1 " +
                                 quote(m_dir.file("pkg11")) + " && chmod -R a+rX " + quote(m_dir.path()),
                             &built, true))
        << built;
    // Only root writes the folder above the target; the user owns the engine's records and a folder.
    const std::string target = m_dir.file("run/rootonly/suite");
    std::filesystem::create_directories(m_dir.file("run/rootonly"));
    std::filesystem::create_directories(m_dir.file("run/db"));
    std::filesystem::create_directories(m_dir.file("run/own"));
    ASSERT_EQ(0, chmod(m_dir.file("run/rootonly").c_str(), 0755));
    for (const char* mine : {"run/db", "run/own"})
        ASSERT_EQ(0, chown(m_dir.file(mine).c_str(), getpwnam(first_user.c_str())->pw_uid, getpwnam(first_user.c_str())->pw_gid));
    lumo_test::PtyOptions options;
    options.cwd = m_dir.file("run");
    options.step_seconds = 90;
    // Install, change, release 1.1 over 1.0 and the removal of both: each run asks for the password
    // and leaves the work to one instance with root rights, which takes over the choice made in
    // the first one. 1.1 goes into the user's own folder: root only removes the 1.0 runtime, which
    // this user could not, and the user installs; the user removes it alone.
    const std::string own = m_dir.file("run/own/suite");
    const std::vector<lumo_test::PtyStep> remove = {{"Press Enter", "\n"}, {"Type a number", "1\n"}, {"Press Enter to remove", "\n"}};
    const struct {
        const char *pkg, *mode;
        std::string folder, owner;
        std::vector<lumo_test::PtyStep> steps;
        const char *there, *gone, *shown;
    } runs[] = {
        // The documentation, not chosen by default, is added, then taken away again.
        {"pkg10", "install", target, "root",
         {{"Press Enter", "\n"}, {"Your choice", "1\n"}, {"Your choice", "1\n"}, {"Type a number", "2\n"},
          {"Type a number", "4\n"}, {"Type a number", "1\n"}, {"Type a number", "1\n"},
          {"Installation folder [", target + "\n"}, {"Press Enter to install", "\n"}},
         "runtime/doc", "", ""},
        {"pkg10", "modify", target, "root",
         {{"Press Enter", "\n"}, {"Type a number", "2\n"}, {"Type a number", "3\n"}, {"Type a number", "1\n"},
          {"Type a number", "1\n"}, {"Press Enter to make the changes", "\n"}},
         "analyzer", "runtime/doc", ""},
        {"pkg11", "install", own, first_user,
         {{"Press Enter", "\n"}, {"Your choice", "1\n"}, {"Your choice", "1\n"}, {"Enter to go on", "\n"},
          {"Type a number", "1\n"}, {"Installation folder [", own + "\n"}, {"Press Enter to install", "\n"},
          {"Only root can remove the earlier release", ""}},
         "runtime/RELEASE", "", "Removing rt_lib.tar.gz... done"},
        {"pkg11", "uninstall", own, "", remove, "", ".", ""},
        {"pkg10", "uninstall", target, "root", remove, "", ".", ""},
    };
    for (const auto& r : runs) {
        SCOPED_TRACE(std::string(r.pkg) + " " + r.mode);
        run_command("rm -f " + quote(shared()) + "/*.log");
        std::vector<std::string> argv = as_user(first_user);
        argv.insert(argv.end(), {m_dir.file(std::string(r.pkg) + "/config/bin/lumo"), "--lang", "en", "--LUMO_MODE", r.mode, "--TEMP_FOLDER",
                                 shared() + "/t1", "--ESCALATE_WITH", "sudo", "--NONRPM_DB_DIR", m_dir.file("run/db"),
                                 "--SU_MARKER_TIMEOUT", "60"});
        const std::vector<lumo_test::PtyStep> password = {{"Password: ", first_password + "\n"},
                                                          {"The setup with root rights has ended (status 0)", ""}};
        const lumo_test::PtyRun run = lumo_test::run_on_pty(argv, r.owner.empty() ? r.steps : r.steps + password, options);
        EXPECT_EQ(0, run.status) << run.screen;
        const std::string first_log = logs_of(first_user), root_log = logs_of("root");
        EXPECT_EQ(r.owner.empty() ? "<unset>" : "AUTH_SUCCESS", lumo_test::logged_value(first_log, "AUTH_STATUS")) << first_log;
        EXPECT_EQ("0", lumo_test::logged_value(first_log, "LUMO_EXIT_CODE"));
        EXPECT_EQ(r.owner.empty() ? 0u : 1u, lumo_test::count_occurrences(root_log, "Logging started at"));
        // Every file of the suite is its installer's; after the removal nothing is left, not even the folder.
        std::string foreign;
        run_command("find " + quote(r.folder) + " ! -user " + (r.owner.empty() ? first_user : r.owner), &foreign);
        EXPECT_EQ("", foreign);
        EXPECT_TRUE(!*r.there || lumo_test::exists_path(r.folder + "/" + r.there)) << r.there;
        EXPECT_FALSE(*r.gone && lumo_test::exists_path(r.folder + "/" + r.gone)) << r.gone;
        EXPECT_NE(std::string::npos, run.screen.find(r.shown)) << run.screen;
        EXPECT_FALSE(folder_holds("/tmp", first_password)) << "a file holds the password";
        EXPECT_EQ(std::string::npos, (first_log + root_log + run.screen).find(first_password));
    }
    std::string left;
    // Where the instances met only their logs are left: no marker, environment file or temporary folder.
    run_command("ls -A " + quote(shared()) + " | grep -v '[.]log$'", &left);
    EXPECT_EQ("", left);
}
