#include "coex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <utility>

#include "contentsprovider.h"
#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;

namespace {

// Items held in memory; removal answers with `status` and notes what it was asked to remove.
struct FakeProvider : ContentsProvider {
    int installFile(const std::string&, const std::string&, const std::string&) override { return 0; }
    int uninstallFile(const std::string&, const std::string& file) override { return removed += file + ";", status; }
    int registerFiles(const std::string&) override { return 0; }
    int registerAllFiles(const std::string&) override { return 0; }
    std::string coexId(int index) override { return m_contents[static_cast<size_t>(index)]->m_file; }
    void add(const std::string& file, const std::string& version, const std::string& summary, const std::string& prefix) {
        auto item = std::make_unique<ContentsItem>();
        item->m_id = file.substr(0, file.find('-'));
        item->m_file = file;
        item->m_version = version;
        item->m_summary = summary;
        item->m_prefix = prefix;
        m_contents.push_back(std::move(item));
    }
    std::string removed;
    int status = 0;
};

class CoexTest : public ::testing::Test {
protected:
    void SetUp() override {
        rpm_.add("core-1.0-1.x86_64.rpm", "1.0.1", "Suite Core", "/opt/core1");
        rpm_.add("docs-1.0-1.noarch.rpm", "1.0.1", "Suite Docs", "/opt/docs");
        tgz_.add("core-2.0.tgz", "2.0", "Suite Core", "/opt/core2");
        tgz_.add("other-3.0.tgz", "3.0", "", "/opt/other");
        session_.coex = std::make_unique<coex_state_t>();
        session_.coex->providers = {&rpm_, &tgz_};
    }
    int apply(const std::string& rules) {
        EXPECT_EQ(0, coex_parse(&session_, rules));
        return coex_init(&session_);
    }
    std::string kinds() {
        std::string text;
        for (ContentsProvider* p : session_.coex->providers)
            for (const auto& item : p->contents()) text += std::to_string(item->coex_uninstall);
        return text;
    }
    std::string get(const char* name) { return env_get_string(&session_, std::string(name)); }

    LogCapture log_;
    session_t session_;
    FakeProvider rpm_, tgz_;
};

}  // namespace

TEST_F(CoexTest, RulesBindItemsAndSetProperties) {
    // Rules written with ' for "; kinds: the bound kind of each item (0 none, 3 required, 4 optional, 5 forbidden).
    const struct { const char *rules, *kinds, *property = "", *value = "", *log = ""; } rows[] = {
        {"<filter rpm_name='docs-1.0-1.noarch.rpm' exact='yes'><action uninstall='required'/></filter>", "0300"},
        {"<filter rpm_name='docs-.*' exact='yes'><action/></filter>", "0000"},
        {"<filter rpm_name='^core-'><action/></filter>", "4040"},
        {"<filter rpm_name='^core' version_condition='${COEX_VERSION} &lt; 2.0'><action uninstall='forbidden' "
         "skiplist='a'/></filter>", "5000", "PRODUCTS_TO_SKIP", ";a"},
        // The first rule that fires decides an item.
        {"<filter rpm_name='^core'><action uninstall='required'/></filter><filter rpm_name='.'><action/></filter>", "3434"},
        // A nested filter's pattern holds for its children only.
        {"<filter rpm_name='^docs'><filter rpm_name='^other'><action uninstall='required'/></filter><action "
         "uninstall='forbidden'/></filter>", "0503"},
        {"<filter rpm_name='^absent' invert='yes'><action uninstall='forbidden' skiplist='x'/></filter>", "0000",
         "PRODUCTS_TO_SKIP", ";x"},
        {"<filter rpm_name='^absent' invert='yes'><action installdir='DIR'/></filter>", "0000", "DIR", "1"},
        // An inverted filter asks whether the product is there, whatever its version.
        {"<filter rpm_name='^core' invert='yes' version_condition='${COEX_VERSION} &gt; 99'><action installdir='DIR'/>"
         "</filter>", "0000", "DIR", ""},
        // An installed item counts for an inverted filter even when an earlier rule decided it.
        {"<filter rpm_name='^docs'><action/></filter><filter rpm_name='^docs' invert='yes'><action property='P'/>"
         "</filter>", "0400", "P", ""},
        {"<filter rpm_name='^core-1'><action installdir='OLD' prop_value='/given'/></filter>", "4000", "OLD", "/given"},
        {"<filter rpm_name='('><action/></filter><filter rpm_name='^other'><action/></filter>", "0004", "", "",
         "ERROR: : coex_apply_filter: pattern ( is not a valid regular expression, the filter matches nothing"},
        {"<action uninstall='required'/>", "0000", "", "", "WARN: : coex_apply_filter: empty pattern matches nothing"},
        {"<bogus/><filter rpm_name='^other'><action uninstall='requried'/></filter>", "0004", "", "",
         "WARN: : coex_proceed_node: unknown value 'requried' of uninstall in action, default kept"},
        {"<filter rpm_name='^other' colour='red'/>", "0000", "", "",
         "WARN: : coex_proceed_node: unknown attribute colour of filter ignored"},
        {"<bogus/>", "0000", "", "", "ERROR: : coex_proceed_node: unknown type of the node."},
        // The last row's properties stay for the checks below.
        {"<filter rpm_name='^core-1'><action side_by_side='1' lock_installdir='1' subdir_depth='2'/></filter>", "4000",
         "SXS_PEER_DIR", "/opt/core1"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.rules);
        session_.properties.clear();
        std::string rules = std::string("<coex>") + r.rules + "</coex>";
        std::replace(rules.begin(), rules.end(), '\'', '"');
        EXPECT_EQ(0, apply(rules));
        EXPECT_EQ(r.kinds, kinds());
        if (*r.property) { EXPECT_EQ(r.value, get(r.property)); }
        if (*r.log) { EXPECT_TRUE(log_.has_line(r.log)); }
    }
    EXPECT_EQ("yes", get("LOCK_INSTALL_DIR"));
    EXPECT_EQ("2", get("SXS_PEER_SUBDIR"));

    std::string deep = "<action uninstall=\"required\"/>";
    for (int i = 0; i <= coex_filter_depth_max; ++i) deep = "<filter rpm_name=\".\">" + deep + "</filter>";
    EXPECT_EQ(-1, apply("<coex>" + deep + "</coex>"));
    EXPECT_EQ("0000", kinds());
    EXPECT_TRUE(log_.has_line("ERROR: : coex_init: node failed"));
    env_set_string(&session_, "LUMO_COEX_DISABLE", "");
    EXPECT_EQ(0, apply("<coex><filter rpm_name=\".\"><action/></filter></coex>"));
    EXPECT_EQ("0000", kinds());
}

TEST_F(CoexTest, DialogGroupsTogglesAndNeverTakesForbiddenItems) {
    tgz_.contents()[1]->m_summary = "Suite Core";  // a forbidden item named like an optional one
    ASSERT_EQ(0, coex_parse(&session_, "<coex><filter rpm_name=\"^docs\"><action uninstall=\"required\"/></filter>"
                                       "<filter rpm_name=\"^other\"><action uninstall=\"forbidden\"/></filter>"
                                       "<filter rpm_name=\"^core\"><action skiplist=\"core\"/></filter></coex>"));
    env_set_string(&session_, "coexistence_text_frb_req", "Subtitle.");
    env_set_string(&session_, "coexistence_required_one", "Removed:");
    ASSERT_EQ(0, coex_diag_init(&session_));
    ASSERT_EQ(0, coex_diag_show(&session_));
    EXPECT_EQ("    [x] Suite Docs\n", get("COEX_LIST_REQ"));
    EXPECT_EQ("1:  [ ] Suite Core\n", get("COEX_LIST_OPT_SKIP"));  // two items, one entry
    EXPECT_EQ("    [x] Suite Core\n", get("COEX_LIST_FRB"));
    EXPECT_EQ("1;", get("COEX_CHOICES"));
    EXPECT_EQ("yes", get("COEX_DIAG"));
    EXPECT_EQ("", get("COEX_DIALOG_SUBTITLE"));  // required, forbidden and optional: its own text, unset here
    EXPECT_EQ("\nRemoved:\n    [x] Suite Docs\n", get("COEX_TEXT_REQUIRED") + get("COEX_LIST_REQ"));

    env_set_string(&session_, "HANDLE", "1");
    ASSERT_EQ(0, coex_diag_update(&session_));
    EXPECT_EQ("1:  [x] Suite Core\n", get("COEX_LIST_OPT_SKIP"));
    EXPECT_EQ(1, tgz_.contents()[0]->coex_selected);  // the hidden member of the group follows
    EXPECT_EQ(0, tgz_.contents()[1]->coex_selected);
    ASSERT_EQ(0, coex_diag_finalize(&session_));
    EXPECT_EQ(";/opt/core1;/opt/docs;/opt/core2", get("COEX_REMOVE_DIRS"));
    EXPECT_EQ(";core-1.0-1.x86_64.rpm;core-2.0.tgz", get("COEX_CHOSEN"));
    ASSERT_EQ(0, coex_diag_init(&session_));  // as an instance handed these properties: the choice stands
    EXPECT_EQ("1:  [x] Suite Core\n", get("COEX_LIST_OPT_SKIP"));
    EXPECT_EQ(1, rpm_.contents()[0]->coex_selected);
    tgz_.contents()[1]->coex_selected = 1;  // whatever sets it, a forbidden item stays
    ASSERT_EQ(0, coex_diag_finalize(&session_));
    EXPECT_EQ(";/opt/core1;/opt/docs;/opt/core2", get("COEX_REMOVE_DIRS"));
    EXPECT_EQ("", get("PRODUCTS_TO_SKIP"));
    lumo_test::StdioRedirect out;
    out.output(STDOUT_FILENO);
    ASSERT_EQ(0, coex_diag_act(&session_));
    out.restore();
    EXPECT_EQ("core-1.0-1.x86_64.rpm;docs-1.0-1.noarch.rpm;", rpm_.removed);
    EXPECT_EQ("core-2.0.tgz;", tgz_.removed);
    EXPECT_EQ(-1, rpm_.contents()[0]->m_status);

    ASSERT_EQ(0, coex_diag_init(&session_));  // again: the removed items are gone, the others bound anew
    ASSERT_EQ(0, coex_diag_finalize(&session_));
    EXPECT_EQ("", get("PRODUCTS_TO_SKIP"));
    EXPECT_EQ("    [x] Suite Core\n", get("COEX_LIST_FRB"));
    env_remove(&session_, "HANDLE");
    EXPECT_EQ(-1, coex_diag_update(&session_));
    EXPECT_TRUE(log_.has_line("ERROR: : coex_diag_update: answer is null"));
}

TEST_F(CoexTest, RemovalRunsTheRuleCommandWithDataAsArgumentsAndReportsFailure) {
    lumo_test::TempDir dir;
    const std::string prefix = dir.file("old $(touch pwned) 'x'");
    const std::string script = dir.file("remove.sh");
    lumo_test::write_file_text(script, "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done >\"$OUT\"\n");
    ASSERT_EQ(0, chmod(script.c_str(), 0755));
    setenv("OUT", dir.file("args").c_str(), 1);
    rpm_.contents()[0]->m_prefix = prefix;
    ASSERT_EQ(0, coex_parse(&session_,
                            "<coex><filter rpm_name=\"^core-1\"><action uninstall=\"required\" run=\"" + script +
                                "\" options=\"--prefix ${COEX_ITEM_PREFIX} &quot;two words&quot; ${EMPTY}\"/></filter>"
                                "<filter rpm_name=\"^docs\"><action uninstall=\"required\" condition=\"${GO} = 1\"/></filter>"
                                "<filter rpm_name=\"^other\"><action uninstall=\"required\"/></filter></coex>"));
    env_set_string(&session_, "uninstalling_currently_installed", "Removing");
    env_set_string(&session_, "install_component_failed", "failed");
    tgz_.status = 7;
    ASSERT_EQ(0, coex_diag_init(&session_));
    lumo_test::StdioRedirect out;
    out.output(STDOUT_FILENO);
    EXPECT_EQ(-1, coex_diag_act(&session_));
    EXPECT_EQ(0u, out.text().find("Removing Suite Core... \nRemoving other... \nRemoving other: failed\n---"));
    EXPECT_EQ("[--prefix]\n[" + prefix + "]\n[two words]\n", read_file(dir.file("args")));
    EXPECT_FALSE(lumo_test::exists_path("pwned"));
    EXPECT_EQ("", rpm_.removed);  // removed by the command; the docs' condition does not hold
    EXPECT_EQ("other-3.0.tgz;", tgz_.removed);
    EXPECT_EQ(2, tgz_.contents()[1]->m_status);  // still recorded as installed
    EXPECT_EQ("2", get("LUMO_EXIT_CODE"));
    EXPECT_EQ("Removing other: failed\n", get("INSTALLATION_ERROR_DESCRIPTION"));
    EXPECT_TRUE(log_.has_line("ERROR: : coex_diag_act: can't delete item other-3.0.tgz"));
    unsetenv("OUT");
}

TEST_F(CoexTest, MissingOrMalformedRulesFailToRead) {
    EXPECT_EQ(-1, coex_read_config(&session_));  // the session's store holds no coex.xml
    EXPECT_TRUE(log_.has_line("ERROR: : coex_read_config: can't extract _internal_::coex.xml"));
    EXPECT_EQ(-1, coex_parse(&session_, "<coex><filter rpm_name=\"a\">"));
    EXPECT_EQ(-1, coex_init(&session_));
    EXPECT_TRUE(log_.has_line("ERROR: : coex_init: coex xml is empty"));
}
