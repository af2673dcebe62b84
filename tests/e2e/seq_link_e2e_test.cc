// Runs the built engine on sequences packed with lumo-cab at test time and watches what leaves it:
// the reports to a debugging front end, plug-in libraries built here and loaded from a layer's
// folder or from the package store, and shell functions that run too long or get awkward values.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "debug_frontend.h"
#include "seq_package.h"
#include "test_util.h"

using lumo_test::DebugFrontend;
using lumo_test::DebugReport;
using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class SeqLinkEngine : public SeqPackage {
protected:
    void SetUp() override { stage("product.ini", "PRODUCT_NAME=Link Test\nPRODUCT_VERSION=1.0\n"); }

    // The test plug-in, built against the plug-in header alone, copied to path.
    static bool place_plugin(const std::string& path) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
        return std::filesystem::copy_file(std::string(LUMO_TEST_PLUGIN_DIR) + "/test_plugin.so", path, ec);
    }

    // The exit status. Every earlier log is removed first, so each run is read on its own. Piped:
    // the output goes through a pipe, so the run ends only once nothing holds the output open.
    int run(const std::string& args = "", bool piped = false) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.file("run"), ec)) {
            if (entry.path().filename().string().rfind("vexan.lumo.", 0) == 0) std::filesystem::remove(entry.path(), ec);
        }
        std::filesystem::create_directories(temp());
        const std::string engine = "env -u LANG -u LC_CTYPE " + quote(m_dir.file("pkg/config/bin/lumo")) +
                                   " --TEMP_FOLDER " + quote(temp()) + " --__keep_temp__ " + args + " </dev/null";
        const std::string output = quote(m_dir.file("stdout"));
        if (!piped) return run_command("cd " + quote(m_dir.file("run")) + " && " + engine + " >" + output + " 2>&1", nullptr);
        // A pipeline's status is its last command's: the engine's own goes through a file.
        const std::string status = m_dir.file("status");
        run_command("cd " + quote(m_dir.file("run")) + " && { " + engine + "; echo $? >" + quote(status) + "; } 2>&1 | cat >" +
                        output,
                    nullptr);
        return atoi(read_file(status).c_str());
    }
};

// A step with a sub-module and a layer: a, then i inside the sub-module, back to a's next b, whose
// next depends on HANDLE or ROUTE (c sets exit code 3, d sets 5), then the layer's action l.
class DebugLinkEngine : public SeqLinkEngine {
protected:
    void SetUp() override {
        SeqLinkEngine::SetUp();
        stage("sequence.ini", "_internal_:main.xml:\n");
        stage("main.xml",
              "<sequence><layer file=\"lay.cab\" id=\"lay\"/>"
              "<module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" action=\"a\" name=\"First\">"
              "<module id=\"inner\" file=\"inner.xml\" component=\"_internal_\" action=\"i\"/></module>"
              "</sequence>");
        stage("m.xml", module("<action id=\"a\"><set property=\"TRAIL\" value=\"${TRAIL}a;\"/>"
                              "<next call=\"_in_\" sub=\"inner\"/><next call=\"b\"/></action>"
                              "<action id=\"b\"><set property=\"TRAIL\" value=\"${TRAIL}b;\"/>"
                              "<next handle=\"go\" call=\"c\"/><next condition=\"ROUTE\" call=\"c\"/><next call=\"d\"/></action>"
                              "<action id=\"c\"><set property=\"TRAIL\" value=\"${TRAIL}c;\"/>"
                              "<set property=\"LUMO_EXIT_CODE\" value=\"3\"/><next call=\"_next_\"/></action>"
                              "<action id=\"d\"><set property=\"TRAIL\" value=\"${TRAIL}d;\"/>"
                              "<set property=\"LUMO_EXIT_CODE\" value=\"5\"/><next call=\"_next_\"/></action>"));
        stage("inner.xml", module(mark("i", "_out_")));
        stage_layer("lay.cab", "lay.xml",
                    "<layer><behavior id=\"_start_\" sequence=\"cli_inst\" action=\"l\">"
                    "<action id=\"l\"><set property=\"TRAIL\" value=\"${TRAIL}l;\"/></action></behavior></layer>");
        pack();
    }

    int run_linked(const DebugFrontend& frontend) {
        return run("--LUMO_EXIT_CODE 0 --__debug_wizard__ " + frontend.port_text());
    }
};

}  // namespace

TEST_F(DebugLinkEngine, ReportsEveryActionInOrderThenTheEndMessage) {
    DebugFrontend frontend;
    ASSERT_NE(0, frontend.port());
    EXPECT_EQ(5, run_linked(frontend));
    ASSERT_TRUE(frontend.wait_for(6));
    const std::vector<DebugReport> reports = frontend.reports();
    ASSERT_EQ(6u, reports.size());
    const struct {
        const char* step;
        const char* anchor;
        const char* action;
        const char* trail;  // the state before the action: what the actions before it left
    } rows[] = {
        {"_start_", "", "a", nullptr},
        {"_start_", "inner", "i", "TRAIL#a;\n"},
        {"_start_", "", "b", "TRAIL#a;i;\n"},
        {"_start_", "", "d", "TRAIL#a;i;b;\n"},
        {"lay", "", "l", "TRAIL#a;i;b;d;\n"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        SCOPED_TRACE(rows[i].action);
        const DebugReport& report = reports[i];
        EXPECT_FALSE(report.end);
        EXPECT_EQ("main.xml", report.sequence);
        EXPECT_EQ(rows[i].step, report.step);
        EXPECT_EQ(rows[i].anchor, report.anchor);
        EXPECT_EQ(rows[i].action, report.action);
        EXPECT_EQ(0u, report.text.find(std::string("sequence:main.xml\nstep:") + rows[i].step + "\nanchor:" +
                                       rows[i].anchor + "\naction:" + rows[i].action + "\n\n"));
        // The dump carries the session's properties as they stand before the action.
        EXPECT_NE(std::string::npos, ("\n" + report.dump).find("\nPRODUCT_NAME#Link Test\n"));
        if (rows[i].trail) {
            EXPECT_NE(std::string::npos, ("\n" + report.dump).find(std::string("\n") + rows[i].trail));
        } else {
            EXPECT_EQ(std::string::npos, report.dump.find("TRAIL#"));
        }
    }
    EXPECT_TRUE(reports[5].end);
    EXPECT_EQ("", reports[5].text);
    EXPECT_EQ(6, frontend.connections());
    EXPECT_EQ("a;i;b;d;l;", value("TRAIL"));
}

TEST_F(SeqLinkEngine, PlugInLibrariesLoadFromTheLayerFolderAndFromTheStore) {
    ASSERT_TRUE(place_plugin(m_dir.file("layers/lay.cab/liblay.so")));
    ASSERT_TRUE(place_plugin(m_dir.file("built/libmain.so")));
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><layer file=\"lay.cab\" id=\"lay\"/>"
          "<module id=\"_start_\" file=\"one.xml\" component=\"_internal_\" action=\"one\"><next call=\"two\"/></module>"
          "<module id=\"two\" file=\"two.xml\" component=\"_internal_\" action=\"main\"/>"
          "</sequence>");
    stage("one.xml", module(mark("one", "_next_")));
    stage("two.xml",
          module("<action id=\"main\" type=\"plugin_c\" component=\"plugins\" file=\"lib${LIB}.so\" func=\"take_note\">"
                 "<set property=\"MAIN_RESULT\" value=\"${EXIT_CODE}:${PLUGIN_SAW}\"/>"
                 "<set property=\"FROM_LAYER\" value=\"${LAYER_RESULT}:${LAYER_SAW}:${LAYER_PWD}\"/>"
                 "<next call=\"missing\"/></action>"
                 "<action id=\"missing\" type=\"plugin_c\" component=\"plugins\" file=\"libmain.so\" func=\"no_such\">"
                 "<set property=\"MISSING_RESULT\" value=\"${EXIT_CODE}\"/>"
                 "<set property=\"LUMO_EXIT_CODE\" value=\"4\"/><next call=\"_finish_\"/></action>"));
    // The layer's library is found in its own folder even though the action names a component.
    stage_layer("lay.cab", "lay.xml",
                "<layer><properties>"
                "<p name=\"LAYER_RESULT\" default=\"\" input=\"local\" output=\"global\"/>"
                "<p name=\"LAYER_SAW\" default=\"\" input=\"local\" output=\"global\"/>"
                "<p name=\"LAYER_PWD\" default=\"\" input=\"local\" output=\"global\"/>"
                "</properties>"
                "<behavior id=\"_start_\" sequence=\"cli_inst\" action=\"lib\">"
                "<action id=\"lib\" type=\"plugin_c\" component=\"_internal_\" file=\"liblay.so\" func=\"take_note\">"
                "<set property=\"LAYER_RESULT\" value=\"${EXIT_CODE}\"/>"
                "<set property=\"LAYER_SAW\" value=\"${PLUGIN_SAW}\"/>"
                "<set property=\"LAYER_PWD\" value=\"${PLUGIN_PWD}\"/></action></behavior></layer>");
    pack("plugins\tlibmain.so\t" + m_dir.file("built/libmain.so") + "\t755\n");
    EXPECT_EQ(4, run("--PLUGIN_INPUT seen --LIB main"));

    EXPECT_TRUE(logged("plugin_run: library is \"" + temp() + "/lay/liblay.so\", func is \"take_note\""));
    EXPECT_EQ("7:seen:" + temp() + "/lay", value("FROM_LAYER"));
    EXPECT_EQ("7:seen", value("MAIN_RESULT"));
    EXPECT_EQ(2u, count(": take_note: called\n"));
    // The store's copy went to a private file of its own, removed after the call.
    const std::string text = log_text();
    const std::string head = "plugin_run: library is \"";
    const size_t at = text.find(head + temp() + "/li_plugin_c.");
    ASSERT_NE(std::string::npos, at);
    const size_t start = at + head.size();
    const std::string copy = text.substr(start, text.find('"', start) - start);
    EXPECT_FALSE(lumo_test::exists_path(copy)) << copy;
    EXPECT_EQ(2u, count("plugin_run: library is \"" + temp() + "/li_plugin_c."));
    // A missing symbol is -1 for the sequence to act on, not the end of the run.
    EXPECT_EQ("-1", value("MISSING_RESULT"));
    EXPECT_NE(std::string::npos, text.find("ERROR: : plugin_run: "));
    EXPECT_NE(std::string::npos, text.find("no_such"));
    EXPECT_EQ("one;", value("TRAIL"));
    EXPECT_FALSE(logged("sequence_execute: Execution error."));
}

TEST_F(SeqLinkEngine, ShellFunctionPastItsTimeOutIsKilledAndTheRunGoesOn) {
    stage("sequence.ini", "_internal_:main.xml:\n");
    stage("main.xml",
          "<sequence><module id=\"_start_\" file=\"m.xml\" component=\"_internal_\" action=\"slow\"/></sequence>");
    stage("slow.sh", "nap() { LI_BEFORE=yes; sleep 8; LI_AFTER=late; }\n"
                     "quick() { LI_QUICK=done; }\n");
    stage("m.xml", module("<action id=\"slow\" type=\"plugin_bash\" component=\"_internal_\" file=\"slow.sh\" func=\"nap:0.5\">"
                          "<set property=\"SLOW_RESULT\" value=\"${LUMO_SHELLEXEC_STATUS}/${EXIT_CODE}\"/>"
                          "<next call=\"quick\"/></action>"
                          "<action id=\"quick\" type=\"plugin_bash\" component=\"_internal_\" file=\"slow.sh\" func=\"quick:3\">"
                          "<set property=\"QUICK_RESULT\" value=\"[${LUMO_SHELLEXEC_STATUS}]/${EXIT_CODE}\"/>"
                          "<set property=\"LUMO_EXIT_CODE\" value=\"6\"/><next call=\"_finish_\"/></action>"));
    pack();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(6, run("", true));
    // The sleep the function started went with it: nothing kept the engine's output open.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ("killed/1", value("SLOW_RESULT"));
    // Nothing of the killed function came back, not even what it set before it hung.
    EXPECT_EQ("<unset>", value("BEFORE"));
    EXPECT_EQ("<unset>", value("AFTER"));
    // The next function ends within its time-out: the status is cleared and its result taken.
    EXPECT_EQ("[]/0", value("QUICK_RESULT"));
    EXPECT_EQ("done", value("QUICK"));
}
