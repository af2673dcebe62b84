// Runs the sample suite (examples/suite, packed at test time) the way a user does: on a real
// pseudo-terminal of 80x24, typing answers once the screen asks for them, and once more with the
// answers read from a file.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "test_util.h"

using lumo_test::exists_path;
using lumo_test::PtyRun;
using lumo_test::PtyStep;
using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

// The English screens up to the setup type, answered with the given choice.
std::vector<PtyStep> to_setup_type(const std::string& choice) {
    return {
        {"Sample Suite 1.0.0 setup, step 1 of 6: Welcome", ""},
        {"On every screen, b goes back and q quits.", ""},
        {"Press Enter to continue: ", "\r"},
        {"step 2 of 6: Licence agreement", ""},
        {"1. I accept the licence agreement\n2. I do not accept the licence agreement\n", ""},
        {"Your choice: ", "1\r"},
        {"step 3 of 6: Setup type", ""},
        {"1. Typical - core files, documentation and examples [default]\n2. Custom - choose the components "
         "yourself\n3. Minimal - core files only\n",
         ""},
        {"Your choice [1]: ", choice + "\r"},
    };
}

class SuiteE2E : public ::testing::Test {
protected:
    // One package for all tests: packing copies the engine.
    static void SetUpTestSuite() {
        s_package = std::make_unique<TempDir>();
        s_built = run_command("LUMO_BUILD_DIR=" + quote(lumo_test::binary_dir()) + " " +
                                  quote(lumo_test::source_dir() + "/examples/suite/build.sh") + " " +
                                  quote(s_package->file("pkg")),
                              &s_build_output, true) == 0;
    }
    static void TearDownTestSuite() { s_package.reset(); }

    void SetUp() override {
        ASSERT_TRUE(s_built) << s_build_output;
        std::error_code ec;
        std::filesystem::create_directories(temp(), ec);
    }

    std::string temp() const { return m_dir.file("run/temp"); }
    std::string default_report() const { return temp() + "/suite-choices.txt"; }
    static std::string engine() { return s_package->file("pkg/config/bin/lumo"); }

    // Starts the engine on a pseudo-terminal of 80x24 with English texts, whatever the machine's
    // locale, and plays the steps; the run ends by itself after the last one.
    PtyRun on_terminal(const std::vector<PtyStep>& steps, const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = {"/usr/bin/env", "-u", "LANG",          "-u", "LC_CTYPE",
                                         engine(),       "--TEMP_FOLDER", temp(), "--__keep_temp__"};
        argv.insert(argv.end(), args.begin(), args.end());
        lumo_test::PtyOptions options;
        options.cwd = m_dir.file("run");
        return lumo_test::run_on_pty(argv, steps, options);
    }

    // The same engine with its standard input read from a file and its output into a file.
    int from_file(const std::string& answers, const std::string& args) {
        write_file_text(m_dir.file("answers"), answers);
        return run_command("cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE " + quote(engine()) +
                               " --TEMP_FOLDER " + quote(temp()) + " " + args + " <" + quote(m_dir.file("answers")) +
                               " >" + quote(m_dir.file("stdout")) + " 2>&1",
                           nullptr);
    }
    std::string output() const { return read_file(m_dir.file("stdout")); }

    TempDir m_dir;

private:
    static std::unique_ptr<TempDir> s_package;
    static bool s_built;
    static std::string s_build_output;
};

std::unique_ptr<TempDir> SuiteE2E::s_package;
bool SuiteE2E::s_built = false;
std::string SuiteE2E::s_build_output;

}  // namespace

TEST_F(SuiteE2E, CustomSetupWithToggledComponentsAndTypedFolderIsRecorded) {
    const std::string folder = m_dir.file("target folder");
    const PtyRun run = on_terminal(
        to_setup_type("2") +
        std::vector<PtyStep>{
            {"step 4 of 7: Components", ""},
            {"1. [x] Core files\n2. [x] Documentation\n3. [ ] Examples\n4. [ ] Developer tools\n", ""},
            {"Type a number to check or uncheck an item, Enter when done: ", "3\r"},
            {"1. [x] Core files\n2. [x] Documentation\n3. [x] Examples\n4. [ ] Developer tools\n", ""},
            {"Enter when done: ", "2\r"},
            {"1. [x] Core files\n2. [ ] Documentation\n3. [x] Examples\n4. [ ] Developer tools\n", ""},
            {"Enter when done: ", "\r"},
            {"step 5 of 7: Installation folder", ""},
            {"Installation folder [/opt/sample-suite]: ", folder + "\r"},
            {"step 6 of 7: Summary", ""},
            {"  Setup type:  Custom\n  Components:  Core files, Examples\n  Folder:      " + folder +
                 "\n  Language:    English\n",
             ""},
            {"Press Enter to record these choices: ", "\r"},
            {"step 7 of 7: Finish", ""},
            {"Your choices were recorded in", ""},
            {default_report() + ".", ""},
            {"Nothing was installed: this sample suite installs nothing yet.", ""},
        });
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ("install_type=custom\ncomponents=core examples\ndirectory=" + folder + "\nlanguage=en\n",
              read_file(default_report()));
    // The folder is only recorded: nothing is created there.
    EXPECT_FALSE(exists_path(folder));
    // With the temporary folder kept, the report stays, so no warning that it goes away.
    EXPECT_EQ(std::string::npos, run.screen.find("temporary folder"));
}

TEST_F(SuiteE2E, BackFromTheSummaryChangesTheSetupType) {
    const PtyRun run = on_terminal(
        to_setup_type("2") +
        std::vector<PtyStep>{
            {"Enter when done: ", "\r"},
            {"Installation folder [/opt/sample-suite]: ", "\r"},
            {"  Setup type:  Custom\n  Components:  Core files, Documentation\n", ""},
            {"Press Enter to record these choices: ", "b\r"},
            {"step 5 of 7: Installation folder", ""},
            {"Installation folder [/opt/sample-suite]: ", "b\r"},
            {"step 4 of 7: Components", ""},
            {"Enter when done: ", "b\r"},
            {"step 3 of 7: Setup type", ""},
            {"Your choice [1]: ", "3\r"},
            // Minimal has no components screen: the counters lose that step.
            {"step 4 of 6: Installation folder", ""},
            {"Installation folder [/opt/sample-suite]: ", "\r"},
            {"step 5 of 6: Summary", ""},
            {"  Setup type:  Minimal\n  Components:  Core files\n  Folder:      /opt/sample-suite\n", ""},
            {"Press Enter to record these choices: ", "\r"},
            {"step 6 of 6: Finish", ""},
        });
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ("install_type=minimal\ncomponents=core\ndirectory=/opt/sample-suite\nlanguage=en\n",
              read_file(default_report()));
    EXPECT_EQ(std::string::npos, run.screen.find("step 4 of 6: Components"));
}

// Declining the licence or quitting on a later screen cancels with status 4, records nothing and
// asks nothing more.
TEST_F(SuiteE2E, DecliningOrQuittingCancels) {
    const struct { const char* what; std::vector<PtyStep> steps; const char* goodbye; } rows[] = {
        {"licence declined",
         {{"Press Enter to continue: ", "\r"}, {"Your choice: ", "2\r"},
          {"You did not accept the licence agreement, so the setup ends here.", ""}},
         "Goodbye."},
        {"quit on the folder screen",
         to_setup_type("1") + std::vector<PtyStep>{{"Installation folder [/opt/sample-suite]: ", "q\r"}},
         "The setup was cancelled. Nothing was installed and no choices were recorded."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const PtyRun run = on_terminal(r.steps + std::vector<PtyStep>{{r.goodbye, ""}});
        EXPECT_EQ(4, run.status) << run.screen;
        EXPECT_FALSE(exists_path(default_report()));
        const std::string after = run.screen.substr(run.screen.find(r.goodbye));
        EXPECT_EQ(std::string::npos, after.find(": ")) << after;  // no prompt after the goodbye
    }
}

TEST_F(SuiteE2E, GermanRunShowsGermanTextsAndRecordsTheLanguage) {
    const PtyRun run = on_terminal(
        {
            {"Einrichtung von Sample Suite 1.0.0, Schritt 1 von 6: Willkommen", ""},
            {"Auf jeder Seite geht b zurück und q bricht ab.", ""},
            {"Weiter mit der Eingabetaste: ", "\r"},
            {"Schritt 2 von 6: Lizenzvereinbarung", ""},
            {"1. Ich nehme die Lizenzvereinbarung an\n2. Ich lehne die Lizenzvereinbarung ab\n", ""},
            {"Ihre Wahl: ", "x\r"},
            {"Bitte geben Sie eine der angezeigten Nummern ein", ""},
            {"Ihre Wahl: ", "1\r"},
            {"1. Standard - Grunddateien, Dokumentation und Beispiele [Vorgabe]\n", ""},
            {"Ihre Wahl [1]: ", "\r"},
            {"Schritt 4 von 6: Installationsordner", ""},
            {"Installationsordner [/opt/sample-suite]: ", "/srv/suite\r"},
            {"  Installationsart:  Standard\n  Komponenten:       Grunddateien, Dokumentation, Beispiele\n"
             "  Ordner:            /srv/suite\n  Sprache:           Deutsch\n",
             ""},
            {"Eingabetaste hält diese Auswahl fest: ", "\r"},
            {"Schritt 6 von 6: Abschluss", ""},
            {"Es wurde nichts installiert: Diese Beispiel-Suite installiert noch nichts.", ""},
        },
        {"--lang", "de"});
    EXPECT_EQ(0, run.status) << run.screen;
    EXPECT_EQ("install_type=typical\ncomponents=core docs examples\ndirectory=/srv/suite\nlanguage=de\n",
              read_file(default_report()));
    EXPECT_EQ(std::string::npos, run.screen.find("Welcome"));
}

TEST_F(SuiteE2E, AnswersFromAFileTakeTheSamePath) {
    const std::string report = m_dir.file("records/choices.txt");
    const std::string folder = m_dir.file("target folder");
    // Enter, accept, custom, check Examples, uncheck Documentation, done, folder, record.
    EXPECT_EQ(0, from_file("\n1\n2\n3\n2\n\n" + folder + "\n\n", "--SUITE_REPORT " + quote(report)));
    EXPECT_EQ("install_type=custom\ncomponents=core examples\ndirectory=" + folder + "\nlanguage=en\n",
              read_file(report));
    EXPECT_NE(std::string::npos, output().find("Components:  Core files, Examples\n")) << output();
    EXPECT_NE(std::string::npos, output().find(report + ".")) << output();
    // The temporary folder went at the end; the report named on the command line stays.
    EXPECT_FALSE(exists_path(temp()));
}

TEST_F(SuiteE2E, ReportInTheTemporaryFolderIsSaidToGoAway) {
    EXPECT_EQ(0, from_file("\n1\n3\n\n\n", ""));
    EXPECT_NE(std::string::npos, output().find("That file lies in the temporary folder, which is removed when the"))
        << output();
    EXPECT_FALSE(exists_path(temp()));
}

TEST_F(SuiteE2E, UnwritableReportIsNoSuccess) {
    write_file_text(m_dir.file("blocker"), "a file, not a folder\n");
    const std::string report = m_dir.file("blocker/choices.txt");
    EXPECT_EQ(2, from_file("\n1\n3\n\n\n", "--SUITE_REPORT " + quote(report)));
    EXPECT_NE(std::string::npos, output().find("Your choices could not be written to " + report + "."))
        << output();
    EXPECT_EQ(std::string::npos, output().find("Your choices were recorded"));
}
