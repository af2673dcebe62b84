#include "interrupt.h"
#include "seq_dialog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "env.h"
#include "log.h"
#include "startup.h"
#include "test_util.h"
#include "xml.h"

using lumo_test::count_occurrences;
using lumo_test::LogCapture;
using lumo_test::pty_report;
using lumo_test::PtyRun;
using lumo_test::PtyStep;
using lumo_test::StdioRedirect;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

void report_terminal_state() {
    struct termios mode;
    if (tcgetattr(STDIN_FILENO, &mode) != 0) return;
    pty_report("echo", (mode.c_lflag & ECHO) ? "on" : "off");
    pty_report("canonical", (mode.c_lflag & ICANON) ? "on" : "off");
}

// Runs body on a pseudo-terminal of the given width with the engine's interrupt handler
// installed as start-up installs it (no SA_RESTART); the parent plays the user through the steps.
PtyRun dialog_on_pty(const std::function<int()>& body, const std::vector<PtyStep>& steps, int columns = 80) {
    lumo_test::PtyOptions options;
    options.columns = columns;
    options.step_seconds = 10;
    return lumo_test::run_on_pty([&body]() {
        install_interrupt_handler();
        const int status = body();
        pty_report("input_ended", std::to_string(g_input_ended));
        return status;
    }, steps, options);
}

// A parsed dialog element and a session to show it in.
struct DialogFixture {
    session_t session;
    document_t doc;
    bool parsed = false;
    explicit DialogFixture(const std::string& xml) {
        parsed = xml_parse_buffer(xml.data(), xml.size(), &doc) == 0 && doc.nodes_count == 1;
        env_set_string(&session, std::string("CURRENT_DIALOG"), std::string("dlg"));
    }
    node_t* dialog() { return &doc.nodes[0]; }
    void set(const std::string& name, const std::string& value) { env_set_string(&session, name, value); }
    std::string get(const std::string& name) { return env_get_string(&session, name); }
};

// Shows the dialog `times` times in this process with standard input read from the text and
// standard output and error thrown away; the last result.
int show_with_input(DialogFixture& f, const std::string& input, int times = 1) {
    StdioRedirect redirect;
    redirect.input(input).output(STDOUT_FILENO).output(STDERR_FILENO);
    int result = 0;
    for (int i = 0; i < times; ++i) result = show_dialog(&f.session, f.dialog());
    return result;
}

// The body most cases use: show the dialog once and report the answer and the terminal.
std::function<int()> show_once(DialogFixture& f, const std::vector<std::string>& names = {}) {
    return [&f, names]() {
        const int result = show_dialog(&f.session, f.dialog());
        pty_report("result", std::to_string(result));
        pty_report("HANDLE", env_exists(&f.session, std::string("HANDLE")) ? f.get("HANDLE") : "<unset>");
        for (const std::string& name : names) pty_report(name, f.get(name));
        report_terminal_state();
        return 0;
    };
}

}  // namespace

TEST(ShowDialogTest, AnswersAreReadValidatedAndStored) {
    TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0755));
    write_file_text(dir.file("file.txt"), "x");
    const std::string folder = dir.file("folder");
    const std::string file = dir.file("file.txt");
    const std::string head = R"(<dialog id="dlg" clear_screen="false">)";
    const struct {
        const char* what;
        std::string xml;
        std::vector<PtyStep> steps;
        std::string handle;
        std::vector<std::string> shown;
        std::vector<std::string> not_shown;
    } rows[] = {
        {"num list hides a line and maps the shown number",
         head + R"(<title text="Pick one"/><question id="1" type="list"><list type="num">
<line id="10" text="First"/><line id="20" text="Second" condition="${SHOW} = 1"/>
<line id="30" text="Third"/><line id="40" text="Fourth"/></list></question>
<input text="Your choice" keep="CHOICE"><validation type="list" list="1;2;3;4" err="Wrong choice"/></input></dialog>)",
         {{"Your choice: ", "4\n"}, {"Wrong choice", ""}, {"Your choice: ", "2\n"}},
         "30", {"1. First\n2. Third\n3. Fourth\n"}, {"Second"}},
        {"the input default answers an empty line",
         head + R"(<question id="1" text="Size?"/><input text="Size" keep="SIZE" default="2"/></dialog>)",
         {{"Size [2]: ", "\n"}}, "2", {"Size?"}, {}},
        {"ENTER in a list accepts the empty answer",
         head + R"(<input text="Go on" keep="GO"><validation type="list" list="yes;ENTER" err="Say yes"/></input></dialog>)",
         {{"Go on: ", "maybe\n"}, {"Say yes", ""}, {"Go on: ", "\n"}}, "", {}, {}},
        {"a num line's default replaces the input default by its number",
         head + R"(<question id="1" type="list"><list type="num"><line id="5" text="Alpha"/>
<line id="6" text="Beta" default="true"/></list></question><input text="Choice" keep="C" default="9"/></dialog>)",
         {{"Choice [2]: ", "\n"}}, "2", {"1. Alpha\n2. Beta [true]\n"}, {"[9]"}},
        {"a hidden num default leaves no default",
         head + R"(<question id="1" type="list"><list type="num"><line id="5" text="Alpha"/>
<line id="6" text="Beta" default="true" condition="${SHOW} = 1"/></list></question>
<input text="Choice" keep="C" default="9"/></dialog>)",
         {{"Choice: ", "1\n"}}, "5", {"1. Alpha\n"}, {"[9]", "Beta"}},
        {"alpha list shows index labels and refuses a hidden one",
         head + R"(<question id="1" type="list"><list type="alpha"><line id="1" index="a" text="Apple"/>
<line id="2" index="b" text="Banana"/><line id="3" index="c" text="Cherry" condition="${SHOW} = 1"/></list></question>
<input text="Fruit" keep="F"><validation type="list" list="a;b;c" err="No such fruit"/></input></dialog>)",
         {{"Fruit: ", "c\n"}, {"No such fruit", ""}, {"Fruit: ", "b\n"}}, "b", {"a. Apple\nb. Banana\n"}, {"Cherry"}},
        {"custom list behaves as alpha",
         head + R"(<question id="1" type="list"><list type="custom"><line id="1" index="x" text="Ex"/></list></question>
<input text="Pick" keep="P"><validation type="list" list="x" err="No"/></input></dialog>)",
         {{"Pick: ", "x\n"}}, "x", {"x. Ex\n"}, {}},
        {"pattern", head + R"(<input text="Port" keep="PORT"><validation type="pattern" pattern="^[0-9]+$" err="Digits only"/></input></dialog>)",
         {{"Port: ", "abc\n"}, {"Digits only", ""}, {"Port: ", "42\n"}}, "42", {}, {}},
        {"the last validation element is evaluated first",
         head + R"(<input text="Name" keep="N"><validation type="list" list="1" err="A failed"/>
<validation type="pattern" pattern="^[a-z]+$" invert="false" err="B failed"/></input></dialog>)",
         {{"Name: ", "1\n"}, {"B failed", ""}, {"Name: ", "abc\n"}}, "abc", {}, {"A failed"}},
        {"a required list forbids its entries",
         head + R"(<input text="User" keep="U"><validation type="list" list="root;admin" invert="false" err="Not allowed"/></input></dialog>)",
         {{"User: ", "root\n"}, {"Not allowed", ""}, {"User: ", "joe\n"}}, "joe", {}, {}},
        {"path check dir",
         head + R"(<input text="Folder" keep="DIR"><validation type="path" check="dir" err="No folder"/></input></dialog>)",
         {{"Folder: ", "/nonexistent/x\n"}, {"No folder", ""}, {"Folder: ", folder + "\n"}}, folder, {}, {}},
        {"path check file",
         head + R"(<input text="File" keep="FILE"><validation type="path" check="file" err="No file"/></input></dialog>)",
         {{"File: ", folder + "\n"}, {"No file", ""}, {"File: ", file + "\n"}}, file, {}, {}},
        {"path check empty takes anything",
         head + R"(<input text="Any" keep="ANY"><validation type="path" check="empty" err="never"/></input></dialog>)",
         {{"Any: ", "/no/such/place\n"}}, "/no/such/place", {}, {"never"}},
        {"choices and default in the prompt",
         head + R"(<input text="Continue" keep="K" default="Yes"><choice text="Yes"/><choice text="No"/></input></dialog>)",
         {{"Continue (Yes/No) [Yes]: ", "No\n"}}, "No", {}, {}},
        {"questions in id order, title line breaks",
         head + R"(<title text="Line one&#xa;Line two"/><question id="2" text="Second question"/>
<question id="1" text="First question"/><input text="Ok" keep="OK"/></dialog>)",
         {{"Ok: ", "y\n"}}, "y", {"Line one\nLine two\n" + std::string(60, '-') + "\n", "First question\nSecond question"}, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        DialogFixture f(r.xml);
        ASSERT_TRUE(f.parsed);
        const PtyRun run = dialog_on_pty(show_once(f), r.steps, 60);
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("0", run.result("result"));
        EXPECT_EQ(r.handle, run.result("HANDLE"));
        for (const std::string& piece : r.shown) EXPECT_NE(std::string::npos, run.screen.find(piece)) << piece << "\n" << run.screen;
        for (const std::string& piece : r.not_shown) EXPECT_EQ(std::string::npos, run.screen.find(piece)) << piece << "\n" << run.screen;
        EXPECT_EQ("on", run.result("echo"));
        EXPECT_EQ("on", run.result("canonical"));
    }
}

TEST(ShowDialogTest, KeepPropertyReceivesTheMappedAnswer) {
    LogCapture log;
    DialogFixture f(R"(<dialog id="dlg"><question id="1" type="list"><list type="num">
<line id="10" text="First"/><line id="20" text="Second" condition="${SHOW} = 1"/><line id="30" text="Third"/>
</list></question><input text="Choice" keep="CHOICE"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    const PtyRun run = dialog_on_pty(show_once(f, {"CHOICE"}), {{"Choice: ", "2\n"}});
    EXPECT_EQ("30", run.result("CHOICE"));
    EXPECT_EQ("30", run.result("HANDLE"));
    EXPECT_TRUE(log.has_line(": show_dialog: ID 2 is mapped to 30"));
}

TEST(ShowDialogTest, TitleAndDescriptionOnlyDrawAndReturnWithoutReading) {
    DialogFixture f(R"(<dialog id="dlg"><title text="Hello"/><description text="World ${NAME}"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    f.set("NAME", "there");
    const PtyRun run = dialog_on_pty(show_once(f, {"DASHES_STRING"}), {}, 40);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("0", run.result("result"));
    EXPECT_EQ("<unset>", run.result("HANDLE"));
    const std::string dashes(40, '-');
    EXPECT_EQ(dashes, run.result("DASHES_STRING"));
    EXPECT_EQ("\x1b[2J\x1b[1;1HHello\n" + dashes + "\nWorld there\n" + dashes + "\n", run.screen);
}

TEST(ShowDialogTest, ClearScreenFalseWritesNoEscapes) {
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><title text="Hello"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    const PtyRun run = dialog_on_pty(show_once(f), {}, 40);
    EXPECT_EQ("Hello\n" + std::string(40, '-') + "\n", run.screen);
}

TEST(ShowDialogTest, TextsBeyondFourKilobytesAreShownWhole) {
    const std::string word(5000, 'w');
    const std::string sentence = [] {
        std::string text;
        for (int i = 0; i < 1200; ++i) text += "line" + std::to_string(i) + " ";
        return text;
    }();
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><title text=")" + word +
                    R"("/><question id="1" type="list"><list type="num"><line id="1" text=")" + sentence +
                    R"("/></list></question><input text="Go" keep="G"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    const PtyRun run = dialog_on_pty(show_once(f), {{"Go: ", "1\n"}}, 80);
    std::string unbroken;
    for (const char c : run.screen) {
        if (c != '\n') unbroken += c;
    }
    EXPECT_NE(std::string::npos, unbroken.find(word));
    EXPECT_NE(std::string::npos, run.screen.find("line1199"));
    EXPECT_NE(std::string::npos, run.screen.find("1. line0 line1"));
    EXPECT_EQ("1", run.result("HANDLE"));
}

TEST(ShowDialogTest, CheckboxesToggleRedrawAndKeepTheirStateForTheNextShowing) {
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><question id="1" type="checkbox"><list type="num">
<line id="1" text="One"/><line id="2" text="Two"/></list></question>
<question id="2" type="checkbox"><list type="custom"><line id="10" text="Ten" default="yes"/></list></question>
<input text="Toggle or n" keep="CB"><validation type="list" list="n" err="Toggle"/></input></dialog>)");
    ASSERT_TRUE(f.parsed);
    auto twice = [&f]() {
        show_dialog(&f.session, f.dialog());
        pty_report("first_cb", f.get("dlg_cb"));
        show_dialog(&f.session, f.dialog());
        pty_report("second_cb", f.get("dlg_cb"));
        pty_report("showed", f.get("dlg_showed"));
        pty_report("HANDLE", f.get("HANDLE"));
        return 0;
    };
    const PtyRun run = dialog_on_pty(twice, {
        {"Toggle or n: ", "1\n"},
        {"1. [x] One", ""}, {"Toggle or n: ", "10\n"},
        {"10. [ ] Ten", ""}, {"Toggle or n: ", "n\n"},
        {"1. [x] One\n2. [ ] Two\n", ""}, {"Toggle or n: ", "n\n"},
    });
    EXPECT_EQ(0, run.status);
    // Drawn first with the default, then after each toggle; "1" never matched the entry "10".
    EXPECT_NE(std::string::npos, run.screen.find("1. [ ] One\n2. [ ] Two\n\n10. [x] Ten\n"));
    EXPECT_NE(std::string::npos, run.screen.find("1. [x] One\n2. [ ] Two\n\n10. [x] Ten\n"));
    EXPECT_NE(std::string::npos, run.screen.find("1. [x] One\n2. [ ] Two\n\n10. [ ] Ten\n"));
    EXPECT_EQ(";1", run.result("first_cb"));
    EXPECT_EQ(";1", run.result("second_cb"));
    EXPECT_EQ("yes", run.result("showed"));
    EXPECT_EQ("n", run.result("HANDLE"));
    EXPECT_EQ(0u, count_occurrences(run.screen, "Toggle\n"));  // a toggle shows no error text
}

TEST(ShowDialogTest, RadioButtonsSelectOneAndKeepItForTheNextShowing) {
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><question id="1" type="radiobutton"><list type="alpha">
<line id="r" text="Red" default="1"/><line id="g" text="Green"/></list></question>
<input text="Colour or n" keep="RB"><validation type="list" list="n" err="Pick"/></input></dialog>)");
    ASSERT_TRUE(f.parsed);
    auto twice = [&f]() {
        show_dialog(&f.session, f.dialog());
        show_dialog(&f.session, f.dialog());
        pty_report("rb", f.get("dlg_rb"));
        return 0;
    };
    const PtyRun run = dialog_on_pty(twice, {
        {"r. (*) Red\ng. ( ) Green", ""}, {"Colour or n: ", "g\n"},
        {"r. ( ) Red\ng. (*) Green", ""}, {"Colour or n: ", "n\n"},
        {"r. ( ) Red\ng. (*) Green", ""}, {"Colour or n: ", "n\n"},
    });
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("g", run.result("rb"));
}

TEST(ShowDialogTest, PathAnswerCompletesWithTab) {
    TempDir dir;
    ASSERT_EQ(0, mkdir(dir.file("tree").c_str(), 0755));
    write_file_text(dir.file("tree/beta.txt"), "b");
    write_file_text(dir.file("tree/alpine.txt"), "a");
    write_file_text(dir.file("tree/alpha.txt"), "a");
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><input text="File" keep="PATH">
<validation type="path" check="file" err="No file"/></input></dialog>)");
    ASSERT_TRUE(f.parsed);
    const std::string base = dir.file("tree") + "/";
    const PtyRun run = dialog_on_pty(show_once(f, {"PATH"}), {
        {"File: ", base + "al\t"},
        {"alpha.txt   alpine.txt", "h\t"},
        {base + "alpha.txt", "\n"},
    });
    EXPECT_EQ(0, run.status);
    EXPECT_EQ(base + "alpha.txt", run.result("PATH"));
    EXPECT_EQ("on", run.result("canonical"));
    EXPECT_EQ("on", run.result("echo"));
}

TEST(ShowDialogTest, SecretAnswerIsNeitherEchoedNorLogged) {
    LogCapture log;
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><input text="Password" keep="ROOT__HIDE__PASS">
<validation type="pattern" pattern="^s" err="Wrong"/></input></dialog>)");
    ASSERT_TRUE(f.parsed);
    const PtyRun run = dialog_on_pty(show_once(f, {"ROOT__HIDE__PASS"}), {
        {"Password: ", "xyzzy\n"}, {"Wrong", ""}, {"Password: ", "s3cret\n"},
    });
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("s3cret", run.result("ROOT__HIDE__PASS"));
    EXPECT_EQ("[HIDDEN]", run.result("HANDLE"));
    EXPECT_EQ(std::string::npos, run.screen.find("s3cret"));
    EXPECT_EQ(std::string::npos, run.screen.find("xyzzy"));
    EXPECT_EQ(std::string::npos, log.text().find("s3cret"));
    EXPECT_EQ(std::string::npos, log.text().find("xyzzy"));
    EXPECT_TRUE(log.has_line(": show_dialog: user input is [HIDDEN]"));
    EXPECT_TRUE(log.has_line(": show_dialog: checking [HIDDEN] against regexp ^s"));
    EXPECT_EQ("on", run.result("echo"));
}

TEST(ShowDialogTest, EndOfInputCancelsTheRun) {
    const struct { const char* what; const char* keep; } rows[] = {
        {"plain answer", "ANSWER"}, {"secret answer", "PW__HIDE__"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        DialogFixture f(std::string(R"(<dialog id="dlg" clear_screen="false"><input text="Answer" keep=")") + r.keep +
                        R"("/></dialog>)");
        ASSERT_TRUE(f.parsed);
        f.set("HANDLE", "old");
        const PtyRun run = dialog_on_pty(show_once(f, {"LUMO_EXIT_CODE"}), {{"Answer: ", "\x04"}});
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("-1", run.result("result"));
        EXPECT_EQ("", run.result("HANDLE"));
        EXPECT_EQ("4", run.result("LUMO_EXIT_CODE"));
        EXPECT_EQ("1", run.result("input_ended"));
        EXPECT_NE(std::string::npos, run.screen.find("Input ended, the installation is cancelled.\n"));
        EXPECT_TRUE(log.has_line("WARN: : show_dialog: input ended, the installation is cancelled"));
        EXPECT_EQ("on", run.result("echo"));
    }
}

TEST(ShowDialogTest, EndOfInputFromAFileCancelsWithoutWaiting) {
    const struct { const char* what; bool path; std::string input; int result; std::string handle; } rows[] = {
        {"empty input", false, "", -1, ""},
        {"a last line without newline is still an answer", false, "last", 0, "last"},
        {"path answer", true, "", -1, ""},
        {"path answer without newline", true, "/opt", 0, "/opt"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        DialogFixture f(std::string(R"(<dialog id="dlg" clear_screen="false"><input text="Q" keep="A">)") +
                        (r.path ? R"(<validation type="path" check="empty"/>)" : "") + "</input></dialog>");
        ASSERT_TRUE(f.parsed);
        g_input_ended = 0;
        const int result = show_with_input(f, r.input);
        EXPECT_EQ(r.result, result);
        EXPECT_EQ(r.handle, f.get("HANDLE"));
        EXPECT_EQ(r.result == 0 ? 0 : 1, g_input_ended);
        EXPECT_EQ(0, g_is_dialog);
    }
    g_input_ended = 0;
}

TEST(ShowDialogTest, DeclinedInterruptRedrawsTheDialogAndAsksAgain) {
    const struct { const char* what; std::string input; std::string answer; std::string stored; } rows[] = {
        {"plain answer", R"(<input text="Choice" keep="K"/>)", "2\n", "2"},
        {"secret answer", R"(<input text="Choice" keep="K__HIDE__"/>)", "pw\n", "pw"},
        {"path answer", R"(<input text="Choice" keep="K"><validation type="path" check="empty"/></input>)", "/tmp\n",
         "/tmp"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        DialogFixture f(R"(<dialog id="dlg"><title text="Setup title"/>)" + r.input + "</dialog>");
        ASSERT_TRUE(f.parsed);
        auto body = [&f]() {
            const int result = show_dialog(&f.session, f.dialog());
            pty_report("result", std::to_string(result));
            pty_report("HANDLE", f.get("HANDLE"));
            pty_report("K", f.get("K") + f.get("K__HIDE__"));
            pty_report("interrupted", std::to_string(g_dialog_interrupted));
            report_terminal_state();
            return 0;
        };
        const PtyRun run = dialog_on_pty(body, {
            {"Choice: ", ""},
            {"", "\x03"},
            {"Interrupt install process?(Yes/No)[No]: ", "No\n"},
            {"Setup title", ""},
            {"Choice: ", r.answer},
        });
        EXPECT_EQ(0, run.status);
        EXPECT_EQ("0", run.result("result"));
        EXPECT_EQ(r.stored, run.result("K"));
        EXPECT_EQ("0", run.result("interrupted"));
        EXPECT_EQ(2u, count_occurrences(run.screen, "Setup title"));
        EXPECT_EQ(2u, count_occurrences(run.screen, "\x1b[2J"));
        EXPECT_EQ("on", run.result("echo"));
        EXPECT_EQ("on", run.result("canonical"));
    }
}

TEST(ShowDialogTest, ConfirmedInterruptEndsWithStatusFour) {
    DialogFixture f(R"(<dialog id="dlg"><title text="Setup title"/><input text="Choice" keep="K"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    const PtyRun run = dialog_on_pty(show_once(f), {
        {"Choice: ", "\x03"},
        {"Interrupt install process?(Yes/No)[No]: ", "yes\n"},
    });
    EXPECT_EQ(4, run.status);
    EXPECT_EQ("<missing>", run.result("result"));
}

TEST(ShowDialogTest, PrintDialogsListShowsThePromptWithoutReading) {
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><input text="Choice" keep="K"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    f.set("print_dialogs_list", "1");
    const PtyRun run = dialog_on_pty(show_once(f), {});
    EXPECT_EQ("0", run.result("result"));
    EXPECT_EQ("<unset>", run.result("HANDLE"));
    EXPECT_EQ("Choice: \n", run.screen);
}

TEST(ShowDialogTest, MalformedDialogsFail) {
    const struct { const char* what; std::string xml; int result; std::string line; bool no_dialog_name; } rows[] = {
        {"unknown question type", R"(<dialog><question id="1" type="table"/></dialog>)", -1,
         "ERROR: : show_dialog: Unknown type of the question - table", false},
        {"unknown list type", R"(<dialog><question id="1" type="list"><list type="roman"/></question></dialog>)", -1,
         "ERROR: : show_dialog: Unknown list type - roman", false},
        {"list without type is skipped",
         R"(<dialog><question id="1" type="list"><list><line id="1" text="a"/></list></question></dialog>)", 0,
         "ERROR: : show_dialog: type is undefined", false},
        {"question without id", R"(<dialog><question text="q"/></dialog>)", 0,
         "ERROR: : show_dialog: id of dialog question is NULL", false},
        {"checkbox without CURRENT_DIALOG",
         R"(<dialog><question id="1" type="checkbox"><list type="num"><line id="1" text="a"/></list></question></dialog>)",
         -1, "ERROR: : make_line: cannot get CURRENT_DIALOG from session", true},
        {"invalid pattern",
         R"(<dialog><input text="x" keep="k"><validation type="pattern" pattern="("/></input></dialog>)", -1,
         "ERROR: : show_dialog: input_regexp is null", false},
        {"pattern with a back-reference",
         R"(<dialog><input text="x" keep="k"><validation type="pattern" pattern="^(a|aa)*\1$"/></input></dialog>)", -1,
         "ERROR: : get_regex: pattern refused as too complex", false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        LogCapture log;
        DialogFixture f(r.xml);
        ASSERT_TRUE(f.parsed);
        if (r.no_dialog_name) env_remove(&f.session, std::string("CURRENT_DIALOG"));
        const int result = show_with_input(f, "a\n");
        EXPECT_EQ(r.result, result);
        EXPECT_TRUE(log.has_line(r.line)) << log.text();
    }
}

TEST(MakeLineTest, FormatsEachKind) {
    const struct { const char* xml; int kind; const char* id_override; const char* text; int id; } rows[] = {
        {R"(<line id="07" text="Plain"/>)", line_kind_plain, nullptr, "7. Plain", 7},
        {R"(<line id="3" index="c" text="Indexed"/>)", line_kind_plain, nullptr, "c. Indexed", 3},
        {R"(<line id="3" text="Dflt" default="${D}"/>)", line_kind_plain, nullptr, "3. Dflt [dv]", 3},
        {R"(<line id="3" text="NoDflt" default="false"/>)", line_kind_plain, nullptr, "3. NoDflt", 3},
        {R"(<line id="9" text="Shown as two"/>)", line_kind_plain, "2", "2. Shown as two", 2},
        {R"(<line text="No id"/>)", line_kind_plain, nullptr, "0. No id", 0},
        {R"(<line id="4"/>)", line_kind_plain, nullptr, "4. ", 4},
    };
    LogCapture log;
    session_t session;
    env_set_string(&session, std::string("CURRENT_DIALOG"), std::string("d"));
    env_set_string(&session, std::string("D"), std::string("dv"));
    for (const auto& r : rows) {
        SCOPED_TRACE(r.xml);
        document_t doc;
        ASSERT_EQ(0, xml_parse(r.xml, &doc));
        line_t line;
        EXPECT_EQ(0, make_line(&session, &doc.nodes[0], &line, r.kind, r.id_override));
        EXPECT_EQ(r.text, line.text);
        EXPECT_EQ(r.id, line.id);
    }
    EXPECT_TRUE(log.has_line("ERROR: : make_line: id is NULL. Set it to 0"));
    EXPECT_TRUE(log.has_line("ERROR: : make_line: text is null"));
}

TEST(DialogSortTest, AscendingWithEqualIdsInOrder) {
    std::vector<line_t> lines = {{3, "c"}, {1, "a1"}, {2, "b"}, {1, "a2"}};
    sort_list(lines);
    EXPECT_EQ("a1\na2\nb\nc\n", make_list(lines));
    std::vector<question_t> questions = {{2, "two", true}, {1, "one", true}, {0, "", false}};
    sort_questions(questions);
    EXPECT_EQ("one\ntwo", make_question(questions));
}

TEST(ShowDialogTest, SecretDialogPassesItsOwnListedWordsToHandle) {
    const struct { const char* typed; const char* handle; } rows[] = {
        {"b\n", "b"}, {"\n", ""}, {"hunter2\n", "[HIDDEN]"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.typed);
        DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><input text="Password or b" keep="PW__HIDE__">
<validation type="list" list="b;ENTER"/><validation type="pattern" pattern="."/></input></dialog>)");
        ASSERT_TRUE(f.parsed);
        const PtyRun run = dialog_on_pty(show_once(f, {"PW__HIDE__"}), {{"Password or b: ", r.typed}});
        EXPECT_EQ(r.handle, run.result("HANDLE"));
        EXPECT_EQ(std::string(r.typed, strlen(r.typed) - 1), run.result("PW__HIDE__"));
    }
}

TEST(ShowDialogTest, OverlongAnswerKeeps4095BytesAndDropsTheRestOfItsLine) {
    LogCapture log;
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><input text="Q" keep="A"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    EXPECT_EQ(0, show_with_input(f, std::string(5000, 'a') + "\nnext\n"));
    EXPECT_EQ(std::string(4095, 'a'), f.get("A"));
    EXPECT_TRUE(log.has_line("ERROR: : show_dialog: answer longer than 4095 bytes, the rest is dropped"));
    // Reading stops at the newline: what follows is the next dialog's answer.
    DialogFixture g(R"(<dialog id="dlg" clear_screen="false"><input text="Q" keep="A"/></dialog>)");
    ASSERT_TRUE(g.parsed);
    EXPECT_EQ(0, show_with_input(g, "one\ntwo\n", 2));
    EXPECT_EQ("two", g.get("A"));
}

TEST(ShowDialogTest, CarriageReturnBeforeTheNewlineIsNotPartOfTheAnswer) {
    DialogFixture f(R"(<dialog id="dlg" clear_screen="false"><input text="Q" keep="A"/></dialog>)");
    ASSERT_TRUE(f.parsed);
    EXPECT_EQ(0, show_with_input(f, "yes\r\n"));
    EXPECT_EQ("yes", f.get("A"));
}
