// Runs the built engine on sequences packed with lumo-cab at test time: every kind of transition,
// step counters, layers, dialogs driven through standard input, and the sample package.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>

#include "seq_package.h"
#include "test_util.h"

using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

std::string dialog(const std::string& id, const std::string& save = "yes") {
    return "<dialog id=\"" + id + "\" clear_screen=\"false\" save_in_visited=\"" + save + "\"><title text=\"" + id +
           "\"/><input text=\"" + id + "?\" keep=\"ANSWER\"/></dialog>";
}

class SeqEngine : public SeqPackage {
protected:
    void SetUp() override { stage("product.ini", "PRODUCT_NAME=Sequence Test\nPRODUCT_VERSION=1.0\n"); }

    // The exit status; the answers are fed to standard input.
    int run(const std::string& args = "", const std::string& answers = "") {
        std::filesystem::create_directories(temp());
        write_file_text(m_dir.file("answers"), answers);
        return run_command("cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE " +
                               quote(m_dir.file("pkg/config/bin/lumo")) + " --TEMP_FOLDER " + quote(temp()) +
                               " --__keep_temp__ " + args + " <" + quote(m_dir.file("answers")) + " >" +
                               quote(m_dir.file("stdout")) + " 2>&1",
                           nullptr);
    }
};

}  // namespace

TEST_F(SeqEngine, NextPreviousAndFinishWithStepCounters) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence>"
          "<module id=\"_start_\" file=\"a.xml\" component=\"_internal_\" action=\"a\" name=\"${FIRST_TITLE}\">"
          "<next call=\"missing\"/></module>"
          "<module id=\"missing\" file=\"absent.xml\" component=\"_internal_\" action=\"x\"><next call=\"hidden\"/></module>"
          "<module id=\"hidden\" file=\"b.xml\" component=\"_internal_\" action=\"b\"><next call=\"off\"/></module>"
          "<module id=\"off\" file=\"c.xml\" component=\"_internal_\" action=\"c\" name=\"Off\" condition=\"NO_SUCH\">"
          "<next call=\"last\"/></module>"
          "<module id=\"last\" file=\"d.xml\" component=\"_internal_\" action=\"d\" name=\"Last\"/>"
          "</sequence>");
    stage("a.xml", module(mark("a", "_next_")));
    stage("b.xml", module(mark("b", "_next_")));
    stage("c.xml", module(mark("c", "_next_")));
    stage("d.xml", module("<action id=\"d\"><set property=\"TRAIL\" value=\"${TRAIL}d;\"/>"
                          "<set property=\"LUMO_EXIT_CODE\" value=\"5\"/>"
                          "<next condition=\"WENT_BACK\" call=\"_finish_\"/><next call=\"back\"/></action>"
                          "<action id=\"back\"><set property=\"WENT_BACK\" value=\"1\"/><next call=\"_prev_\"/></action>"));
    pack();
    EXPECT_EQ(5, run("--step Step --FIRST_TITLE Omega"));
    // Back from the last step passes over the false step and the unnamed ones (the one without a
    // document among them) to the first; forward again, the false step is skipped once more.
    EXPECT_EQ("a;b;d;a;b;d;", value("TRAIL"));
    EXPECT_EQ("Step 1 : ${FIRST_TITLE}\nStep 2 : Last\n", value("TOTAL_STEP_TITLES"));
    EXPECT_EQ("2", value("TOTAL_STEPS"));
    EXPECT_NE(std::string::npos, log_text().find("key \"CURRENT_STEP_TITLE\" with value \"Omega\""));
    EXPECT_NE(std::string::npos, log_text().find("key \"CURRENT_STEP\" with value \"0\""));
    EXPECT_EQ("1", value("CURRENT_STEP"));
    EXPECT_EQ("Last", value("CURRENT_STEP_TITLE"));
    EXPECT_NE(std::string::npos,
              log_text().find("ERROR: : sequence_execute_container: can't extract _internal_::absent.xml HERE\n"));
    EXPECT_TRUE(logged("sequence_execute(): stack is empty, moving to the previous module"));
    EXPECT_TRUE(logged("sequence_execute_document: moving to previous module2"));
    EXPECT_TRUE(logged("sequence_execute_document: moving to last module"));
    EXPECT_TRUE(logged("sequence_execute_document: Nothing to process, exiting"));
    EXPECT_TRUE(logged("sequence_execute: finished"));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

TEST_F(SeqEngine, SubModuleReturnsAfterTheNextThatLedIn) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" action=\"enter\">"
          "<module id=\"inner\" file=\"inner.xml\" component=\"_internal_\" action=\"i\"/>"
          "<module id=\"bare\" file=\"nothing.xml\" component=\"_internal_\" action=\"i\"/>"
          "</module></sequence>");
    stage("m.xml", module("<action id=\"enter\"><set property=\"TRAIL\" value=\"${TRAIL}enter;\"/>"
                          "<next call=\"_in_\" sub=\"inner\"/><next call=\"_in_\" sub=\"bare\"/><next call=\"done\"/></action>" +
                          mark("done", "_finish_")));
    stage("inner.xml", module(mark("i", "_out_")));
    pack();
    EXPECT_EQ(0, run());
    EXPECT_EQ("enter;i;done;", value("TRAIL"));
    EXPECT_TRUE(logged("sequence_execute_document: moving into submodule inner from action enter. Result is 261"));
    EXPECT_TRUE(logged("sequence_execute_document: moving into submodule bare from action enter. Result is 517"));
    EXPECT_TRUE(logged("sequence_execute_document: moving out of submodule"));
    EXPECT_TRUE(logged("sequence_execute: returning to action enter, transition 261"));
    EXPECT_TRUE(logged("sequence_execute: returning to action enter, transition 517"));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

TEST_F(SeqEngine, JumpsIntoAnotherSequenceAndBackWithoutLoadingItTwice) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence>"
          "<module id=\"_start_\" file=\"go.xml\" component=\"_internal_\" action=\"go\"><next call=\"dropped\"/></module>"
          "<module id=\"dropped\" file=\"x.xml\" component=\"_internal_\" action=\"x\"><next call=\"home\"/></module>"
          "<module id=\"home\" file=\"home.xml\" component=\"_internal_\" action=\"home\"/>"
          "</sequence>");
    stage("second.xml",
          "<sequence>"
          "<module id=\"_start_\" file=\"x.xml\" component=\"_internal_\" action=\"x\"><next call=\"_init_\"/></module>"
          "<module id=\"_init_\" file=\"s1.xml\" component=\"_internal_\" action=\"s1\"><next call=\"s2\"/></module>"
          "<module id=\"s2\" file=\"s2.xml\" component=\"_internal_\" action=\"s2\"/>"
          "</sequence>");
    stage("go.xml", module(mark("go", "second.xml:")));
    stage("x.xml", module(mark("x", "_next_")));
    stage("s1.xml", module(mark("s1", "second.xml:nowhere")));
    stage("s2.xml", module(mark("s2", "main.xml:home")));
    stage("home.xml", module(mark("home", "_finish_")));
    pack();
    EXPECT_EQ(0, run());
    EXPECT_EQ("go;s1;s2;home;", value("TRAIL"));
    EXPECT_EQ(1u, count("sequence_execute: loading steps of second.xml"));
    EXPECT_EQ(0u, count("loading steps of main.xml"));
    EXPECT_TRUE(logged("get_sequence_by_filename: sequence main.xml found in cache"));
    EXPECT_TRUE(logged("get_sequence_by_filename: sequence second.xml found in cache"));
    EXPECT_TRUE(logged("sequence_execute_document: moving to the another sequence = second.xml:"));
    EXPECT_NE(std::string::npos, log_text().find("ERROR: : sequence_execute: cannot find module nowhere in sequence second.xml\n"));
    EXPECT_TRUE(logged("merge_steps: steplist2 count = 3; in = 1"));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

TEST_F(SeqEngine, LayerGoingBackInsideAStepResumesTheActionThatEnteredTheSubModule) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><layer file=\"lay.cab\" id=\"lay\"/>"
          "<module id=\"_start_\" file=\"zero.xml\" component=\"_internal_\" action=\"z\" name=\"Zero\">"
          "<module id=\"inner\" file=\"nothing.xml\" component=\"_internal_\" action=\"i\"/><next call=\"one\"/></module>"
          "<module id=\"one\" file=\"one.xml\" component=\"_internal_\" action=\"o\" name=\"One\"/>"
          "</sequence>");
    stage("zero.xml", module("<action id=\"z\" type=\"dialog\" call=\"z\"><set property=\"TRAIL\" value=\"${TRAIL}z;\"/>"
                             "<next condition=\"WENT_BACK\" call=\"_in_\" sub=\"inner\"/><next call=\"_next_\"/></action>",
                             "<interface view=\"cli\">" + dialog("z") + "</interface>"));
    stage("one.xml", module("<action id=\"o\"><set property=\"TRAIL\" value=\"${TRAIL}o;\"/>"
                            "<next condition=\"WENT_BACK\" call=\"_finish_\"/><next call=\"back\"/></action>"
                            "<action id=\"back\"><set property=\"WENT_BACK\" value=\"1\"/><next call=\"_prev_\"/></action>"));
    stage_layer("lay.cab", "lay.xml",
                "<layer><behavior id=\"inner\" sequence=\"cli_inst\" action=\"p\">"
                "<action id=\"p\"><next call=\"_prev_\"/></action></behavior></layer>");
    pack();
    // Back in the first step it starts from its visited dialog, so the layer's "previous" inside
    // the sub-module does not leave the step: the dialog goes on after the next that led in.
    EXPECT_EQ(0, run("", "1\n1\n"));
    EXPECT_EQ("z;o;z;o;", value("TRAIL"));
    EXPECT_TRUE(logged("sequence_execute(): empty_stack: 1 after LI_TRANSITION_PREV in intra-module layer"));
    EXPECT_TRUE(logged("sequence_execute: returning to action z, transition 261"));
    EXPECT_EQ(1u, count("sequence_execute(): stack is empty, moving to the previous module"));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

TEST_F(SeqEngine, LayersImportExportAndRunPerExecuteDir) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><layer file=\"lay.cab\" id=\"lay\" executedir=\"x;;y\"/>"
          "<module id=\"_start_\" file=\"s.xml\" component=\"_internal_\" action=\"s\"><next call=\"s1\"/></module>"
          "<module id=\"s1\" file=\"s.xml\" component=\"_internal_\" action=\"s\"><next call=\"s2\"/></module>"
          "<module id=\"s2\" file=\"s.xml\" component=\"_internal_\" action=\"s\"/>"
          "</sequence>");
    stage("s.xml", module(mark("s", "_next_")));
    stage_layer("lay.cab", "lay.xml",
                "<layer><strings><s name=\"lay_greeting\">hi</s></strings><properties>"
                "<p name=\"DIRS\" default=\"\" input=\"local\" output=\"global\"/>"
                "<p name=\"SEED\" default=\"none\" input=\"global\" output=\"global\"/>"
                "<p name=\"PRIVATE\" default=\"p\" input=\"local\" output=\"local\"/>"
                "<p name=\"BROKEN\" default=\"b\"/>"
                "</properties>"
                "<behavior id=\"_start_\" sequence=\"cli_inst\" action=\"note\">"
                "<action id=\"note\"><set property=\"DIRS\" value=\"${DIRS}|${LUMO_INSTALL_DIR}\"/>"
                "<set property=\"SEED\" value=\"${SEED}+\"/><set property=\"PRIVATE\" value=\"${PRIVATE}p\"/></action>"
                "<action id=\"unused\"/></behavior>"
                "<behavior id=\"s1\" sequence=\"silent_inst;cli_inst\" action=\"script\">"
                "<action id=\"script\" type=\"plugin_bash\" component=\"_internal_\" file=\"lay.sh\" func=\"note_dir\">"
                "<next call=\"_finish_\"/></action></behavior></layer>");
    stage_layer("lay.cab", "lay.sh", "note_dir() { pwd > \"$LI_TEMP_FOLDER/lay/seen.txt\"; echo \"$LI_lay_greeting\" >> \"$LI_TEMP_FOLDER/lay/seen.txt\"; }\n");
    pack();
    EXPECT_EQ(0, run("--LUMO_INSTALL_DIR /opt/suite/core --LUMO_INSTALL_SUBDIR core --SEED s"));
    EXPECT_EQ("|/opt/suite/x|/opt/suite/y", value("DIRS"));
    EXPECT_EQ("s++", value("SEED"));
    EXPECT_EQ("ppp", value("PRIVATE"));  // kept in the layer between its runs
    EXPECT_TRUE(logged("sequence_execute(): changing execute dir for layer: lay to /opt/suite/y"));
    EXPECT_TRUE(logged("sequence_execute: input or output is not defined for property BROKEN"));
    EXPECT_TRUE(logged("sequence_execute_container: layer info: file lay.cab, condition "));
    // The layer finished the run at the second step: the third never ran.
    EXPECT_EQ("s;s;", value("TRAIL"));
    EXPECT_TRUE(lumo_test::exists_path(temp() + "/lay/lay.sh"));
    EXPECT_EQ("hi\n", read_file(temp() + "/lay/seen.txt").substr(read_file(temp() + "/lay/seen.txt").find('\n') + 1));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

// A value holding a secret keeps it masked in the log as it goes into a layer and back out.
TEST_F(SeqEngine, SecretsStayMaskedThroughLayerProperties) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml", "<sequence><layer file=\"lay.cab\" id=\"lay\"/>"
                      "<module id=\"_start_\" file=\"s.xml\" component=\"_internal_\" action=\"s\"/></sequence>");
    stage("s.xml", module("<action id=\"s\"><set property=\"COPYIN\" value=\"in:${G__HIDE__}\"/>"
                          "<next call=\"_next_\"/></action>"));
    stage_layer("lay.cab", "lay.xml",
                "<layer><properties><p name=\"COPYIN\" default=\"\" input=\"global\" output=\"local\"/>"
                "<p name=\"LCOPY\" default=\"\" input=\"local\" output=\"global\"/></properties>"
                "<behavior id=\"_start_\" sequence=\"cli_inst\" action=\"note\"><action id=\"note\">"
                "<set property=\"L__HIDE__\" value=\"layersecretY\"/>"
                "<set property=\"LCOPY\" value=\"c:${COPYIN}:${L__HIDE__}\"/></action></behavior></layer>");
    pack();
    EXPECT_EQ(0, run("--G__HIDE__ gsecretZ"));
    EXPECT_NE(std::string::npos, log_text().find("LCOPY"));
    EXPECT_EQ(std::string::npos, log_text().find("gsecretZ"));
    EXPECT_EQ(std::string::npos, log_text().find("layersecretY"));
}

// Without LUMO_INSTALL_SUBDIR, the layers run below the folder of the suite's core product.
TEST_F(SeqEngine, LayersRunBelowTheCoreProductsFolder) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><layer file=\"lay.cab\" id=\"lay\" executedir=\"x\"/>"
          "<module id=\"_start_\" file=\"s.xml\" component=\"_internal_\" action=\"init\"/></sequence>");
    stage("s.xml", module("<action id=\"init\" type=\"built_in\" func=\"lumo_init_products_list\">"
                          "<next call=\"_next_\"/></action>"));
    stage_layer("lay.cab", "lay.xml",
                "<layer><behavior id=\"_start_\" sequence=\"cli_inst\" action=\"note\"><action id=\"note\"/>"
                "</behavior></layer>");
    pack();
    write_file_text(m_dir.file("pkg/config/mediaconfig.xml"),
                    "<Media><Name>Suite</Name><GUID>g</GUID><Product id=\"1\" platform=\"KX32;KX64;VEXAN64\">"
                    "<Name>Core</Name><Abbr>core</Abbr><InstallSubdir>base</InstallSubdir>"
                    "<Component id=\"1\" core=\"1\" platform=\"KX32;KX64;VEXAN64\"><Name>C</Name><Abbr>c</Abbr>"
                    "<Type>tgz</Type><NONRPMProductCode>c.tar.gz</NONRPMProductCode></Component></Product></Media>");
    EXPECT_EQ(0, run("--LUMO_INSTALL_DIR /opt/suite/base/v1"));
    EXPECT_TRUE(logged("sequence_execute(): changing execute dir for layer: lay to /opt/suite/x"));
}

TEST_F(SeqEngine, DialogsGoBackThroughTheVisitedStack) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence>"
          "<module id=\"_start_\" file=\"zero.xml\" component=\"_internal_\" action=\"z\" name=\"Zero\"><next call=\"one\"/></module>"
          "<module id=\"one\" file=\"one.xml\" component=\"_internal_\" action=\"a\" name=\"One\"/>"
          "</sequence>");
    const std::string to_back = "<next handle=\"${back}\" call=\"_prev_\"/>";
    stage("zero.xml", module("<action id=\"z\" type=\"dialog\" call=\"z\">" + to_back + "<next call=\"_next_\"/></action>",
                             "<interface view=\"cli\">" + dialog("z") + "</interface>"));
    stage("one.xml",
          module("<action id=\"a\" type=\"dialog\" call=\"a\">" + to_back + "<next call=\"b\"/></action>"
                 "<action id=\"b\" type=\"dialog\" call=\"b\"><next call=\"c\"/></action>"
                 "<action id=\"c\" type=\"dialog\" call=\"c\">"
                 "<set property=\"LUMO_EXIT_CODE\" value=\"6\" condition=\"${HANDLE} = done\"/>"
                 "<next handle=\"done\" call=\"_finish_\"/><back condition=\"${HANDLE} = ${back}\"/></action>",
                 "<interface view=\"gui\">" + dialog("a", "no") + "</interface><interface view=\"cli\">" + dialog("a") +
                     dialog("b", "no") + dialog("c") + "</interface>"));
    pack();
    EXPECT_EQ(6, run("--back b", "1\n1\n1\nb\nb\n1\n1\n1\ndone\n"));
    EXPECT_EQ("\\\"z\\\",\\\"a\\\",\\\"b\\\",\\\"c\\\",\\\"a\\\",\\\"z\\\",\\\"a\\\",\\\"b\\\",\\\"c\\\"",
              value("LUMO_USER_STAT_VISITED_DIALOGS"));
    EXPECT_TRUE(logged("sequence_execute_document: perform \"step_back\" action"));
    EXPECT_TRUE(logged("sequence_execute_document: next name is a"));
    EXPECT_TRUE(logged("sequence_execute_document: visited_dialog: 0, top dialog: a, cur dialog: b"));
    EXPECT_TRUE(logged("sequence_execute(): stack is empty, moving to the previous module"));
    EXPECT_TRUE(logged("sequence_exec_dialog: show \"z\" dialog"));
    EXPECT_EQ("One", value("CURRENT_STEP_TITLE"));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

// Back on the first dialog of a step, on a real terminal: the dialog is pushed as it is left and
// popped again by _prev_, so nothing of this step is left to go back to and the previous step
// shows, at the top of its own visited stack.
TEST_F(SeqEngine, BackOnTheFirstDialogOfAStepShowsThePreviousStep) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence>"
          "<module id=\"_start_\" file=\"zero.xml\" component=\"_internal_\" action=\"y\" name=\"Zero\"><next call=\"one\"/></module>"
          "<module id=\"one\" file=\"one.xml\" component=\"_internal_\" action=\"a\" name=\"One\"/>"
          "</sequence>");
    stage("zero.xml", module("<action id=\"y\" type=\"dialog\" call=\"y\"><next call=\"z\"/></action>"
                             "<action id=\"z\" type=\"dialog\" call=\"z\"><next call=\"_next_\"/></action>",
                             "<interface view=\"cli\">" + dialog("y") + dialog("z") + "</interface>"));
    stage("one.xml", module("<action id=\"a\" type=\"dialog\" call=\"a\">"
                            "<set property=\"LUMO_EXIT_CODE\" value=\"6\" condition=\"${HANDLE} = done\"/>"
                            "<next handle=\"b\" call=\"_prev_\"/><next call=\"_finish_\"/></action>",
                            "<interface view=\"cli\">" + dialog("a") + "</interface>"));
    pack();
    std::filesystem::create_directories(temp());
    write_file_text(m_dir.file("answers"), "1\n1\nb\n1\ndone\n");
    // script(1) runs the engine on a pseudo-terminal of its own, fed from the answers.
    const int status = run_command("cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE script -qec " +
                                       quote(quote(m_dir.file("pkg/config/bin/lumo")) + " --TEMP_FOLDER " +
                                             quote(temp()) + " --__keep_temp__") +
                                       " /dev/null <" + quote(m_dir.file("answers")) + " >" + quote(m_dir.file("stdout")),
                                   nullptr);
    EXPECT_EQ(6, status) << read_file(m_dir.file("stdout"));
    // y, z, a; back: z again (the top of step Zero's stack), a, done.
    EXPECT_EQ("\\\"y\\\",\\\"z\\\",\\\"a\\\",\\\"z\\\",\\\"a\\\"", value("LUMO_USER_STAT_VISITED_DIALOGS"));
    EXPECT_TRUE(logged("sequence_execute(): stack is empty, moving to the previous module"));
}

TEST_F(SeqEngine, SamplePackageRunsUnattended) {
    const std::string plugin = lumo_test::binary_dir() + "/lib/hello_plugin.so";
    if (!lumo_test::exists_path(plugin)) GTEST_SKIP() << plugin << " is not built";
    std::string output;
    ASSERT_EQ(0, run_command("LUMO_BUILD_DIR=" + quote(lumo_test::binary_dir()) + " " +
                                 quote(lumo_test::source_dir() + "/examples/sequence/build.sh") + " " + quote(m_dir.file("sample")),
                             &output, true))
        << output;
    std::filesystem::create_directories(m_dir.file("run/temp"));
    const int status = run_command("cd " + quote(m_dir.file("run")) + " && " + quote(m_dir.file("sample/config/bin/lumo")) +
                                       " --TEMP_FOLDER " + quote(temp()) + " --__keep_temp__ </dev/null",
                                   &output, true);
    EXPECT_EQ(0, status) << output;
    const std::string report = read_file(temp() + "/sequence-report.txt");
    EXPECT_NE(std::string::npos, report.find("welcome=yes\n")) << report;
    EXPECT_NE(std::string::npos, report.find("details=full\n")) << report;
    EXPECT_NE(std::string::npos, report.find("wait=0\n")) << report;
    EXPECT_NE(std::string::npos, report.find("greeting=Hello, Sequence Sample!\n")) << report;
    EXPECT_EQ("tasks done, flavour full\n", read_file(temp() + "/audit/audit.txt"));
}

TEST_F(SeqEngine, EndOfInputInADialogCancelsTheRun) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><module id=\"_start_\" file=\"a.xml\" component=\"_internal_\" action=\"ask\" name=\"A\"/></sequence>");
    stage("a.xml", "<module><behavior><action id=\"ask\" type=\"dialog\" call=\"q\">"
                   "<set property=\"AFTER\" value=\"ran\"/><next call=\"_finish_\"/></action></behavior>"
                   "<interface view=\"cli\">" + dialog("q") + "</interface></module>");
    pack();
    EXPECT_EQ(4, run("", ""));
    EXPECT_NE(std::string::npos, read_file(m_dir.file("stdout")).find("Input ended, the installation is cancelled."));
    EXPECT_EQ("<unset>", value("AFTER"));
    EXPECT_TRUE(logged("sequence_execute_document: input ended, moving to last module"));
    EXPECT_TRUE(logged("Exit code is 4"));
    EXPECT_EQ(0, run("", "yes\n"));
}

TEST_F(SeqEngine, SequencesThatMoveForeverWithoutAnAnswerStop) {
    const auto loop_to = [](const std::string& id, const std::string& next, const std::string& sub = "") {
        return "<action id=\"" + id + "\"><next call=\"" + next + "\"" + (sub.empty() ? "" : " sub=\"" + sub + "\"") +
               "/></action>";
    };
    const std::string two = "<module id=\"two\" file=\"b.xml\" component=\"_internal_\" action=\"b\"/>";
    const struct {
        const char* what;
        std::string modules;
        std::string a;
        std::string b;
    } rows[] = {
        {"an action calling itself", "", module(loop_to("a", "a")), ""},
        {"two actions calling each other", "", module(loop_to("a", "x") + loop_to("x", "a")), ""},
        {"next and previous handing over", "<next call=\"two\"/></module>" + two, module(loop_to("a", "_next_")),
         module(loop_to("b", "_prev_"))},
        {"a jump into the running sequence", "", module(loop_to("a", "main.xml:_start_")), ""},
        {"a sub-module entering itself",
         "<module id=\"inner\" file=\"b.xml\" component=\"_internal_\" action=\"b\"/></module>",
         module(loop_to("a", "_in_", "inner")), module(loop_to("b", "_in_", "inner"))},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        std::filesystem::remove_all(m_dir.file("stage"));
        std::filesystem::remove_all(m_dir.file("pkg"));
        std::filesystem::remove_all(m_dir.file("run"));
        stage("product.ini", "PRODUCT_NAME=Sequence Test\nPRODUCT_VERSION=1.0\n");
        stage("sequence.ini", "_internal_:main.xml:\n");
        const std::string first = "<module id=\"_start_\" file=\"a.xml\" component=\"_internal_\" action=\"a\">";
        stage("main.xml", "<sequence>" + first + (r.modules.empty() ? "</module>" : r.modules) + "</sequence>");
        stage("a.xml", r.a);
        if (!r.b.empty()) stage("b.xml", r.b);
        pack();
        const auto start = std::chrono::steady_clock::now();
        run();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        EXPECT_EQ(1u, count("ERROR: : sequence_execute: 20000 moves made without a dialog answer, the sequence "
                            "loops and is stopped\n"));
        EXPECT_TRUE(logged("sequence_execute: Execution error."));
    }
}

TEST_F(SeqEngine, HiddenAnswersNeverReachTheLog) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml", "<sequence><module id=\"_start_\" file=\"a.xml\" component=\"_internal_\" action=\"ask\"/></sequence>");
    stage("a.xml", module("<action id=\"ask\" type=\"dialog\" call=\"pw\"><next call=\"use\"/></action>"
                          "<action id=\"use\"><set property=\"COPY\" value=\"${PW__HIDE__}\"/>"
                          "<set property=\"LUMO_EXIT_CODE\" value=\"7\" condition=\"${COPY} =~ ^s3cr\"/>"
                          "<next condition=\"${PW__HIDE__} =~ ^s3cr\" call=\"_finish_\"/></action>",
                          "<interface view=\"cli\"><dialog id=\"pw\" clear_screen=\"false\"><title text=\"pw\"/>"
                          "<input text=\"password?\" keep=\"PW__HIDE__\"/></dialog></interface>"));
    pack();
    // An unterminated reference makes the typed answer an erroneous operand when it is expanded.
    EXPECT_EQ(7, run("", "s3cr&lt;${et\n"));
    const std::string log = log_text();
    EXPECT_NE(std::string::npos, log.find("operand [HIDDEN] is erroneous"));
    EXPECT_NE(std::string::npos, log.find("cond_is_true: condition is '${PW__HIDE__} =~ ^s3cr'"));
    EXPECT_EQ(std::string::npos, log.find("s3cr&")) << log;
    EXPECT_EQ(std::string::npos, log.find("s3cr<"));
    EXPECT_EQ(std::string::npos, log.find("${et"));
}
