#include "prerequisites.h"

#include <gtest/gtest.h>

#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class PrerequisitesTest : public ::testing::Test {
protected:
    void set(const std::string& name, const std::string& value) { env_set_string(&session_, name, value); }
    std::string get(const std::string& name) { return env_get_string(&session_, name); }
    void issues(const std::string& sig, const std::string& shorts, const std::string& fulls) {
        set("SIGNIFICANCE", sig);
        set("SHORT_DESC", shorts);
        set("FULL_DESC", fulls);
    }
    session_t session_;
    TempDir dir_;
};

}  // namespace

TEST_F(PrerequisitesTest, IssueListCountsKindsAndDropsRepeats) {
    const struct {
        const char* name;
        const char *sig, *shorts, *fulls;
        int result;
        const char *critical, *optional, *c_total, *o_total, *indexes;
    } rows[] = {
        {"none", "", "", "", 0, "", "", "0", "0", ""},
        {"optional only", ";0;0", ";a;b", ";fa;fb", 0, "", "yes", "0", "2", "1,2,"},
        // The repeat is dropped; the issue after it keeps its own position as index.
        {"repeat", ";1;1;0", ";a;a;b", ";fa;fa;fb", 0, "yes", "yes", "1", "1", "1,3,"},
        {"same short, other full", ";1;1", ";a;a", ";fa;fb", 0, "yes", "", "2", "0", "1,2,"},
        {"lists of different lengths", ";1;0", ";a", ";fa;fb", -1, "", "", "", "", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        session_t s;
        env_set_string(&s, "SIGNIFICANCE", r.sig);
        env_set_string(&s, "SHORT_DESC", r.shorts);
        env_set_string(&s, "FULL_DESC", r.fulls);
        LogCapture log;
        EXPECT_EQ(r.result, lumo_fill_prerequisites_list(&s));
        if (r.result != 0) {
            EXPECT_TRUE(log.has_line("ERROR: : lumo_fill_prerequisite_list: tokens list sizes doesn't match"));
            continue;
        }
        EXPECT_EQ(r.critical, env_get_string(&s, "PREREQUISITE_SHOW_CRITICAL_DIALOG"));
        EXPECT_EQ(r.optional, env_get_string(&s, "PREREQUISITE_SHOW_OPTIONAL_DIALOG"));
        EXPECT_EQ(r.c_total, env_get_string(&s, "C_TOTAL"));
        EXPECT_EQ(r.o_total, env_get_string(&s, "O_TOTAL"));
        std::string indexes;
        for (const prerequisites_list_t& issue : s.prereq->dialog) indexes += std::to_string(issue.index) + ",";
        EXPECT_EQ(r.indexes, indexes);
    }
    set("a", "Short A");
    set("fa", "Full A");
    issues(";1", ";a", ";fa");
    ASSERT_EQ(0, lumo_fill_prerequisites_list(&session_));
    EXPECT_EQ("Full A", session_.prereq->dialog[0].full_text);
    EXPECT_NE(std::string::npos, get("LUMO_USER_STAT_PREREQS").find(":{\n\\\"severity\\\":\\\"critical\\\",\n"
                                                                      "\\\"message\\\":\\\"Short A\\\"\n}"));
}

TEST_F(PrerequisitesTest, SummariesAndPagingFollowEachKind) {
    // Optional issue first: the last critical issue is number 3 while C_TOTAL is 2.
    set("w", "Warn");
    set("c1", "Crit one");
    set("c2", "Crit two");
    set("fw", "full w\nsecond line");
    set("fc1", "full c1");
    set("fc2", "full c2");
    set("DASHES_STRING", "----");
    set("prerequisite_critical_summary_stat_text", "Critical:");
    set("prerequisite_next_issue_opt", "Next issue");
    set("prerequisite_next_dialog_c_opt", "Continue");
    issues(";0;1;1", ";w;c1;c2", ";fw;fc1;fc2");
    ASSERT_EQ(0, lumo_fill_prerequisites_list(&session_));
    ASSERT_EQ(0, lumo_prepare_prerequisites_critical_summary_dialog(&session_));
    EXPECT_EQ("Critical:\n-- Crit one\n-- Crit two\n----", get("PREREQUISITE_CRITICAL_SUMMARY_TEXT"));
    ASSERT_EQ(0, lumo_prepare_prerequisites_formatted_text(&session_));
    EXPECT_EQ("<font color='blue'>Warn</font><br>full w<br>second line<br><br><font color='red'>Crit one</font><br>"
              "full c1<br><br><font color='red'>Crit two</font><br>full c2<br><br>",
              get("prerequisites_formatted_text"));
    // Paging forward, back and to the end is run on a terminal by the end-to-end test; here the
    // "next dialog" label lands on the last critical issue, number 3, although C_TOTAL is 2.
    ASSERT_EQ(0, lumo_prepare_prerequisites_critical_dialog_pre(&session_));
    EXPECT_EQ("2", get("E_INDEX"));
    EXPECT_EQ("Next issue", get("PREREQUISITE_NEXT"));
    set("HANDLE", "1");
    ASSERT_EQ(0, lumo_prepare_prerequisites_critical_dialog_post(&session_));
    ASSERT_EQ(0, lumo_prepare_prerequisites_critical_dialog_pre(&session_));
    EXPECT_EQ("3", get("E_INDEX"));
    EXPECT_EQ("Continue", get("PREREQUISITE_NEXT"));
    EXPECT_EQ("full c2", get("PREREQUISITE_TEXT"));
    set("HANDLE", "x");  // any other answer changes nothing
    ASSERT_EQ(0, lumo_prepare_prerequisites_critical_dialog_post(&session_));
    EXPECT_EQ("3", get("E_INDEX"));
    set("HANDLE", "2");
    ASSERT_EQ(0, lumo_prepare_prerequisites_optional_dialog_post(&session_));
    EXPECT_EQ("back", get("PREREQUISITE_TODO"));
    EXPECT_EQ("-1", get("E_INDEX"));
    ASSERT_EQ(0, lumo_prepare_prerequisites_optional_dialog_pre(&session_));
    EXPECT_EQ("1", get("E_INDEX"));
    EXPECT_EQ("full w\nsecond line", get("PREREQUISITE_TEXT"));

    session_t empty;
    LogCapture log;
    EXPECT_EQ(-1, lumo_prepare_prerequisites_critical_dialog_pre(&empty));
    env_set_string(&empty, "SIGNIFICANCE", "");
    ASSERT_EQ(0, lumo_fill_prerequisites_list(&empty));
    env_remove(&empty, "C_TOTAL");
    EXPECT_EQ(-1, lumo_prepare_prerequisites_critical_dialog_pre(&empty));
    EXPECT_TRUE(log.has_line("ERROR: : lumo_prepare_prerequisites_critical_dialog_pre: prerequisite_c_total is null"));
    ASSERT_EQ(0, lumo_prepare_prerequisites_optional_summary_dialog(&empty));
    EXPECT_EQ("", env_get_string(&empty, "PREREQUISITE_OPTIONAL_SUMMARY_TEXT"));
}

TEST_F(PrerequisitesTest, OsDetectionFakesAndWholeEntries) {
    write_file_text(dir_.file("release"), "NAME=\"Lumix\"\nVERSION_ID=\"7\"\n");
    set("ARCH", "VEXAN64");
    set("prereq_err_os_check_full_desc", "Supported:");
    set("prereq_err_os_check_short_desc", "Unsupported system");
    prerequisites_t* data = prerequisites_data(&session_);
    const std::string file = dir_.file("release");
    data->os_defs = {
        // Detected, but poses for the one below, whose values stand.
        {"LX", "Lumix", file, "", "Lumix", "", "LX7", "", "Lumix"},
        {"LX7", "Lumix 7", "$(cat " + file + ")", "", "VERSION_ID=\"7\"", "", "", "", "Lumix"},
        {"LX8", "Lumix 8", file, "", "Lumix", "VERSION_ID=\"8\"", "", "", "Lumix"},
        {"OT", "Other 1", file, file, "Other", "Other", "", "", "Other"},
    };
    data->products = {
        {"Core", true, "LX7;OT", "", true, false},
        {"Tools", true, "LX", "OT", true, true},  // "LX" is only the beginning of the tag detected
        {"Tools", true, "OT", "", true, false},        // same name: reported once
        {"Free", true, "", "", false, false},          // no list: runs anywhere
    };
    ASSERT_EQ(0, prerequisites_os_check(&session_));
    EXPECT_EQ("LX7;", get("LUMO_DETECTED_OS_ABBRS"));
    EXPECT_EQ("LX7", get("OS_ABBR"));
    EXPECT_EQ("Lumix 7", get("OS_NAME"));
    EXPECT_EQ(";0", get("SIGNIFICANCE"));
    EXPECT_EQ(";prereq_err_os_check_short_desc_1", get("SHORT_DESC"));
    EXPECT_EQ("Tools: Unsupported system", get("prereq_err_os_check_short_desc_1"));
    EXPECT_EQ(";prereq_err_os_check_full_desc_1", get("FULL_DESC"));
    EXPECT_EQ("Supported: \n    - Lumix Lumix (Vexan(R) 64);\n    - Other Other 1 (KX-32);\n",
              get("prereq_err_os_check_full_desc_1"));
    set("gui", "1");
    data->products[0].native = "LX7;LX8";
    EXPECT_EQ("&lt;ul&gt;&lt;li&gt;Lumix Lumix 7 (Vexan(R) 64), Lumix 8 (Vexan(R) 64)&lt;/li&gt;&lt;/ul&gt;",
              prerequisites_prepare_supported_os_list(&session_, 0));
}

TEST_F(PrerequisitesTest, PackageTemplatesAreNotFormats) {
    EXPECT_EQ("pkg needs >= 1 %n %d 100%", prerequisites_format_two("%s needs %s %n %d 100%%", "pkg", ">= 1"));
    EXPECT_EQ("a b %s", prerequisites_format_two("%s %s %s", "a", "b"));
}

TEST_F(PrerequisitesTest, AMissingQueryToolFindsNothing) {
    const std::string saved = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", dir_.path().c_str(), 1);  // neither dpkg-query nor rpm is found here
    prerequisites_data(&session_)->pkg_defs = {{0, "coreutils", "", "", 2, 1, "s", "f", ""},
                                               {0, "coreutils", "", "", 1, 1, "s", "f", ""}};
    LogCapture log;
    EXPECT_EQ(-1, prerequisites_check_package(&session_, 0));
    set("IS_RPM", "yes");
    EXPECT_EQ(-1, prerequisites_check_package(&session_, 1));
    setenv("PATH", saved.c_str(), 1);
    for (const char* tool : {"dpkg-query", "rpm"}) {
        SCOPED_TRACE(tool);
        EXPECT_TRUE(log.has_line(std::string("ERROR: : prerequisites_check_package: ") + tool +
                                 " could not be run, package coreutils is taken as not installed"));
    }
}
