#include "silent.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "component.h"
#include "env.h"
#include "test_util.h"
#include "tsd.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;

TEST(SilentParse, LinesBecomeSettingsOrProblems) {
    const struct {
        std::string text;
        int result;
        const char* settings;  // name=value; per setting
        const char* problems;  // line:text; per problem
    } cases[] = {
        {"A=b=c\n", 0, "A=b;", ""},
        {"# x=y\n\n  \t\n  B = two words \r\nC=\n", 0, "B=two words;C=;", ""},
        {"with-dash=1", 0, "with_dash=1;", ""},
        {"ok=1\nno equals\n=v\n9x=1\nok2=2\n", -1, "ok=1;ok2=2;",
         "2:not a name=value line;3:'' is not a property name;4:'9x' is not a property name;"},
        {std::string("A=x\0y\nB=1\n", 10), -1, "B=1;", "1:holds a NUL byte;"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<silent_setting_t> settings;
        std::vector<silent_problem_t> problems;
        EXPECT_EQ(c.result, silent_parse(c.text, settings, problems));
        std::string got, bad;
        for (const auto& s : settings) got += s.name + "=" + s.value + ";";
        for (const auto& p : problems) bad += std::to_string(p.line) + ":" + p.text + ";";
        EXPECT_EQ(c.settings, got);
        EXPECT_EQ(c.problems, bad);
    }
}

TEST(SilentConfig, HistoryNameAndDuplicateContents) {
    LogCapture log;
    TempDir dir;
    session_t session;
    EXPECT_EQ(nullptr, uninstaller_comp(&session));
    EXPECT_TRUE(log.has_line(": Empty product list"));
    session.tsd = std::make_unique<TSD>(&session);
    auto product = std::make_unique<Component>(&session);
    for (const char* abbr : {"first", "last"}) {
        auto component = std::make_unique<Component>(&session);
        component->m_abbr = abbr;
        component->m_version = "3.2.1";
        product->addSubcomponent(std::move(component));
    }
    session.tsd->addProduct(std::move(product));
    env_set_string(&session, "LUMO_PLATFORM", "Linux");
    ASSERT_NE(nullptr, uninstaller_comp(&session));
    EXPECT_EQ("last", uninstaller_comp(&session)->m_abbr);
    const std::string name = silent_history_file(&session);
    EXPECT_EQ("upk/db/history/last__3", name.substr(name.size() - 22));
    // A family name never leads the history out of its folder.
    env_set_string(&session, "SUITE_FAMILY", "../../etc/x");
    EXPECT_EQ("", silent_history_file(&session));

    // The install folder loses only the suite's trailing sub-folder; the products replace
    // COMPONENTS; a value that would start a line of its own is left out; no count is asked for.
    env_set_string(&session, "duplicate", dir.file("dup.ini"));
    env_set_string(&session, "__SILENT_INSTALL_PARAMS",
                   "LUMO_INSTALL_DIR:COMPONENTS:EVIL:MISSING:LUMO_SUITE_FAMILY_INSTALLED_NUM");
    env_set_string(&session, "LUMO_INSTALL_DIR", "/srv/suite/data/suite/");
    env_set_string(&session, "LUMO_INSTALL_SUBDIR", "suite");
    env_set_string(&session, "COMPONENTS", "ALL");
    env_set_string(&session, "PRODUCTS_ABBR_TO_INSTALL", ";first;last");
    env_set_string(&session, "EVIL", "x\nCOMPONENTS=ALL");
    EXPECT_EQ(0, save_silent_config(&session));
    EXPECT_EQ("LUMO_INSTALL_DIR=/srv/suite/data\nCOMPONENTS=;first;last\n", read_file(dir.file("dup.ini")));
    EXPECT_TRUE(log.has_line("WARN: : save_silent_config: EVIL can not be written as one line, left out"));
    // A file its owner had closed to others stays closed when it is written again.
    ASSERT_EQ(0, chmod(dir.file("dup.ini").c_str(), 0600));
    EXPECT_EQ(0, save_silent_config(&session));
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("dup.ini").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // With the product set built, the answer file was read at start-up: a second load leaves what
    // the run has changed since.
    const std::string answers = dir.file("answers.ini");
    lumo_test::write_file_text(answers, "LUMO_INSTALL_DIR=/from/the/file\n");
    env_set_string(&session, "silent", answers);
    EXPECT_EQ(0, load_silent_config(&session));
    EXPECT_EQ("/srv/suite/data/suite/", env_get_string(&session, std::string("LUMO_INSTALL_DIR")));
}
