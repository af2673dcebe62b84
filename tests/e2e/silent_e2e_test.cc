// Runs the built engine with answer files: a silent run, the -d file replaying a run, the history
// counting installed copies, the start-up refusals of bad files, and the answer-file toolkit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "seq_package.h"
#include "test_util.h"

using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::write_file_text;

namespace {

// Asks for FLAVOR unless the run is silent, then records what it got; ends with WANT_EXIT when given.
const char* const silent_module =
    "<module><behavior>"
    "<action id=\"start\"><next condition=\"silent\" call=\"work\"/><next call=\"ask\"/></action>"
    "<action id=\"ask\" type=\"dialog\" call=\"ask\"><next call=\"work\"/></action>"
    "<action id=\"work\"><set property=\"RESULT\" value=\"${FLAVOR}|${LUMO_INSTALL_DIR}\"/>"
    "<next condition=\"WANT_EXIT\" call=\"fail\"/><next call=\"_finish_\"/></action>"
    "<action id=\"fail\"><set property=\"LUMO_EXIT_CODE\" value=\"${WANT_EXIT}\"/><next call=\"_finish_\"/></action>"
    "</behavior><interface view=\"cli\"><dialog id=\"ask\" clear_screen=\"false\"><title text=\"Flavor\"/>"
    "<input text=\"Flavor?\" keep=\"FLAVOR\"/></dialog></interface></module>";

class SilentE2E : public SeqPackage {
protected:
    void SetUp() override {
        static int serial = 0;
        m_family = "silent_e2e_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
        stage("product.ini",
              "PRODUCT_NAME=Silent Test\nPRODUCT_VERSION=2.5\n"
              "__SILENT_INSTALL_PARAMS=FLAVOR:LUMO_INSTALL_DIR:DB__HIDE__PASS\n"
              "silent_help_FLAVOR=Flavour of the build\nFLAVOR=plain\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml", "<sequence><module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" action=\"start\"/>"
                          "</sequence>");
        stage("m.xml", silent_module);
        pack();
        write_file_text(m_dir.file("pkg/config/check.awk"),
                        "/^FLAVOR=red$/ { print \"check: red is not sold\"; bad = 1 } END { exit bad }\n");
        std::filesystem::create_directories(m_dir.file("home"));
        std::filesystem::create_directories(m_dir.file("run"));
    }
    void TearDown() override { std::remove(history().c_str()); }

    // The history lies under /opt/vexan for root, else under the home folder the runs are given.
    std::string history() const {
        return (geteuid() == 0 ? std::string("/opt/vexan/") : m_dir.file("home") + "/vexan/") + "upk/db/history/" +
               m_family;
    }
    std::string history_count() const {
        const std::string text = read_file(history());
        const size_t at = text.find("LUMO_SUITE_FAMILY_INSTALLED_NUM=");
        return at == std::string::npos ? "none" : text.substr(at + 32, text.find('\n', at) - at - 32);
    }

    int run(const std::string& args, const std::string& answers = "") {
        std::filesystem::create_directories(temp());
        write_file_text(m_dir.file("answers"), answers);
        return run_command("cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE HOME=" +
                               quote(m_dir.file("home")) + " " + quote(m_dir.file("pkg/config/bin/lumo")) +
                               " --TEMP_FOLDER " + quote(temp()) + " --__keep_temp__ --SUITE_FAMILY " + m_family +
                               " " + args + " <" + quote(m_dir.file("answers")) + " >" + quote(m_dir.file("stdout")) +
                               " 2>&1",
                           nullptr);
    }
    std::string out() const { return read_file(m_dir.file("stdout")); }
    // Runs within one second share a log: the next run's log starts empty.
    void clear_logs() {
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.file("run"))) {
            if (entry.path().extension() == ".log") std::filesystem::remove(entry.path());
        }
    }
    static unsigned mode_of(const std::string& path) {
        struct stat info;
        return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
    }

    std::string m_family;
};

}  // namespace

TEST_F(SilentE2E, DuplicateReplaysTheRunAndHistoryCountsCopies) {
    // An interactive run writes its choices, the secret among them, to a file only its owner reads.
    ASSERT_EQ(0, run("-d dup.ini --LUMO_INSTALL_DIR /srv/x/suite --LUMO_INSTALL_SUBDIR suite --DB__HIDE__PASS s3cret",
                     "blue\n"));
    const std::string dup = m_dir.file("run/dup.ini");
    EXPECT_EQ("FLAVOR=blue\nLUMO_INSTALL_DIR=/srv/x\nDB__HIDE__PASS=s3cret\n", read_file(dup));
    EXPECT_EQ(0600u, mode_of(dup));
    EXPECT_EQ("1", history_count());
    EXPECT_EQ(std::string::npos, log_text().find("s3cret"));

    // The file replays the run without a question, and the history counts a second copy.
    clear_logs();
    ASSERT_EQ(0, run("-s dup.ini"));
    EXPECT_EQ("blue|/srv/x", value("RESULT"));
    EXPECT_EQ(std::string::npos, out().find("Flavor?"));
    EXPECT_EQ(std::string::npos, log_text().find("s3cret"));
    EXPECT_EQ("2", history_count());

    // A failed, rolled-back install is no copy; an uninstall removes one, the last one the file.
    EXPECT_EQ(2, run("-s dup.ini --WANT_EXIT 2"));
    EXPECT_EQ("2", history_count());
    EXPECT_EQ(0, run("--LUMO_MODE uninstall --silent"));
    EXPECT_EQ("1", history_count());
    EXPECT_EQ(0, run("--LUMO_MODE uninstall --persistent_history --silent"));
    EXPECT_EQ("0", history_count());
    EXPECT_EQ(0, run("-s dup.ini"));
    EXPECT_EQ(0, run("--LUMO_MODE uninstall --silent"));
    EXPECT_FALSE(lumo_test::exists_path(history()));
}

TEST_F(SilentE2E, StartUpRefusesBadAnswerFiles) {
    write_file_text(m_dir.file("run/bad.ini"), "FLAVOR=blue\nthis line has no equals sign\n");
    write_file_text(m_dir.file("run/empty.ini"), "\n# nothing\n");
    write_file_text(m_dir.file("run/red.ini"), "FLAVOR=red\n");
    write_file_text(m_dir.file("home/green.ini"), "FLAVOR=green\n");
    const struct {
        const char* args;
        int status;
        std::string output;
    } cases[] = {
        {"-s missing.ini", 2, "Error: Silent configuration file " + m_dir.file("run/missing.ini") + " not found.\n"},
        {"--silent=bad.ini", 2, "Fatal error: silent install config is not valid.\n"},
        {"--silent empty.ini", 2, "Fatal error: silent install config is not valid.\n"},
        {"--silent=", 2, "Error: Please provide silent configuration file.\n"},
        {"-s red.ini", 2, "check: red is not sold\n"},
        {"-s '~/green.ini'", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        clear_logs();
        EXPECT_EQ(c.status, run(c.args));
        EXPECT_EQ(c.output, out());
    }
    EXPECT_EQ("green|", value("RESULT"));
    EXPECT_EQ("~/green.ini", value("silent"));
}

TEST_F(SilentE2E, TemplateLoadsBackAndCheckReportsEachProblem) {
    std::filesystem::copy_file(lumo_test::source_dir() + "/examples/media/mediaconfig.xml",
                               m_dir.file("pkg/config/mediaconfig.xml"));
    ASSERT_EQ(0, run("--silent-template t.ini"));
    const std::string text = read_file(m_dir.file("run/t.ini"));
    EXPECT_NE(std::string::npos, text.find("\n# Flavour of the build [default: plain]\nFLAVOR=plain\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\nDB__HIDE__PASS=\n")) << text;
    EXPECT_NE(std::string::npos, text.find("rt_core")) << text;
    EXPECT_EQ(0600u, mode_of(m_dir.file("run/t.ini")));
    EXPECT_EQ(0, run("--check-silent t.ini"));
    EXPECT_EQ(m_dir.file("run/t.ini") + ": no problems found\n", out());

    write_file_text(m_dir.file("run/bad.ini"), "FLAVOR=red\nNOPE=1\nno equals\nCOMPONENTS=rt_core;zz\nFLAVOR=x=y\n");
    EXPECT_EQ(2, run("--check-silent bad.ini"));
    const std::string file = m_dir.file("run/bad.ini");
    EXPECT_EQ(file + ":3: not a name=value line\n" + file + ":2: unknown name NOPE\n" + file +
                  ":4: unknown component abbreviation zz in COMPONENTS\n" + file +
                  ":5: the value of FLAVOR holds a second \"=\"; only the text before it is used\n" + file +
                  ":5: FLAVOR is set more than once\ncheck: red is not sold\n" + file +
                  ": rejected by the package's check.awk\n",
              out());
}

TEST_F(SilentE2E, AnsiblePlaybooksInstallAndUninstallOnTheLocalMachine) {
    if (run_command("command -v ansible-playbook >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ansible-playbook is not installed (Debian package ansible)";
    write_file_text(m_dir.file("good.ini"), "FLAVOR=blue\n");
    write_file_text(m_dir.file("bad.ini"), "FLAVOR=blue\nWANT_EXIT=2\n");
    const std::string remote = m_dir.file("remote");
    const auto playbook = [&](const std::string& name, const std::string& extra) {
        return run_command("cd " + quote(m_dir.file("run")) + " && env HOME=" + quote(m_dir.file("home")) +
                               " ANSIBLE_LOCAL_TEMP=" + quote(m_dir.file("ansible")) + " ANSIBLE_REMOTE_TEMP=" +
                               quote(m_dir.file("ansible")) +
                               " ANSIBLE_NOCOLOR=1 ANSIBLE_PYTHON_INTERPRETER=auto_silent ANSIBLE_RETRY_FILES_ENABLED=0"
                               " ansible-playbook -i localhost, -c local " +
                               quote(lumo_test::source_dir() + "/examples/ansible/" + name) + " -e lumo_package=" +
                               quote(m_dir.file("pkg")) + " -e lumo_remote_dir=" + quote(remote) +
                               " -e '{\"lumo_extra_args\": [\"--SUITE_FAMILY\", \"" + m_family + "\"]}' " + extra +
                               " >" + quote(m_dir.file("ansible.out")) + " 2>&1",
                           nullptr);
    };
    const auto report = [&] { return read_file(m_dir.file("ansible.out")); };
    EXPECT_EQ(0, playbook("install.yml", "-e lumo_answer_file=" + quote(m_dir.file("good.ini")))) << report();
    EXPECT_EQ("1", history_count());
    EXPECT_EQ(0600u, mode_of(remote + "/answers.ini"));
    // A run that ends in error fails the host, and counts no copy.
    EXPECT_NE(0, playbook("install.yml", "-e lumo_answer_file=" + quote(m_dir.file("bad.ini"))));
    EXPECT_NE(std::string::npos, report().find("the install ended with status 2")) << report();
    EXPECT_EQ("1", history_count());
    EXPECT_EQ(0, playbook("uninstall.yml", "-e lumo_remove_package=true")) << report();
    EXPECT_FALSE(lumo_test::exists_path(history()));
    EXPECT_FALSE(lumo_test::exists_path(remote));
}
