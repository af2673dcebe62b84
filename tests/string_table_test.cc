#include "store.h"
#include "string_table.h"

#include <gtest/gtest.h>

#include <chrono>

#include <filesystem>

#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::make_store;
using lumo_test::StoreFile;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class StringTableTest : public ::testing::Test {
protected:
    // Opens a store with the files; ENGINE_DIR is a folder of the test (tables on disk live there).
    void open_store(const std::vector<StoreFile>& files) {
        const std::string cab = m_dir.file("install.cab");
        ASSERT_TRUE(make_store(cab, files));
        ASSERT_EQ(0, store_read_header(&m_session, m_session.store.get(), cab.c_str()));
        std::filesystem::create_directories(m_dir.file("engine"));
        env_set_string(&m_session, "ENGINE_DIR", m_dir.file("engine"));
    }

    std::string get(const char* name) { return env_get_string(&m_session, std::string(name)); }

    TempDir m_dir;
    session_t m_session;
};

StoreFile table(const std::string& name, const std::string& strings) {
    return {"_internal_", name, "<strings>" + strings + "</strings>", ""};
}

}  // namespace

TEST_F(StringTableTest, ChosenLanguageLaterTablesWin) {
    open_store({
        {"_internal_", "strings.ini",
         "# tables\ndefault:_internal_:default.xml\nde:_internal_:de.xml\nde:_internal_:de2.xml:\n"
         "de::disk_de.xml:${X} -eq 1\nbroken\n",
         ""},
        table("default.xml", "<string name=\"TITLE\">Welcome</string><string name=\"ONLY_DEFAULT\">d</string>"),
        table("de.xml", "<string name=\"TITLE\">Willkommen</string><group><string name=\"DEEP\">tief</string></group>"),
        table("de2.xml", "<string name=\"TITLE\">Hallo</string>"),
    });
    write_file_text(m_dir.file("engine/disk_de.xml"), "<strings><string name=\"DISK\">von Platte</string></strings>");
    env_set_string(&m_session, "LANG", "de");
    env_set_string(&m_session, "X", "1");
    ASSERT_EQ(0, string_table_init(&m_session));
    EXPECT_EQ(3, m_session.strings->string_last);
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_EQ("Hallo", get("TITLE"));
    EXPECT_EQ("tief", get("DEEP"));
    EXPECT_EQ("von Platte", get("DISK"));
    EXPECT_FALSE(env_exists(&m_session, "ONLY_DEFAULT"));
}

TEST_F(StringTableTest, FallsBackToDefaultWhenConditionsFail) {
    open_store({
        {"_internal_", "strings.ini", "ja:_internal_:ja.xml:${X} = 1\ndefault:_internal_:default.xml\n", ""},
        table("ja.xml", "<string name=\"TITLE\">ja</string>"),
        table("default.xml", "<string name=\"TITLE\">en</string>"),
    });
    env_set_string(&m_session, "LANG", "ja");
    ASSERT_EQ(0, string_table_init(&m_session));
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_EQ("en", get("TITLE"));
}

TEST_F(StringTableTest, FiveFieldsMeanNoCondition) {
    open_store({
        {"_internal_", "strings.ini", "default:_internal_:a.xml:${X} = 1:extra\n", ""},
        table("a.xml", "<string name=\"A\">yes</string>"),
    });
    ASSERT_EQ(0, string_table_init(&m_session));
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_EQ("yes", get("A"));
    EXPECT_EQ("", m_session.strings->string_conds[0]);
}

TEST_F(StringTableTest, StringElementsKeepTheirTextVerbatim) {
    open_store({
        {"_internal_", "strings.ini", "default:_internal_:a.xml\n", ""},
        table("a.xml",
              "<string name=\"A\">  x  </string><string name=\"B\"/><string NAME=\"C\">x</string>"
              "<string name=\"D\">&amp;\nline</string><string id=\"1\" name=\"E\">e</string>"),
    });
    env_set_string(&m_session, "B", "untouched");
    ASSERT_EQ(0, string_table_init(&m_session));
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_EQ("  x  ", get("A"));
    EXPECT_EQ("untouched", get("B"));
    EXPECT_FALSE(env_exists(&m_session, "C"));
    EXPECT_EQ("&amp;\nline", get("D"));
    EXPECT_EQ("e", get("E"));
}

TEST_F(StringTableTest, IncludesPullInOtherTablesAndStopAtLoops) {
    LogCapture log;
    open_store({
        {"_internal_", "strings.ini", "default:_internal_:main.xml\n", ""},
        table("main.xml",
              "<include component=\"_internal_\" file=\"more.xml\"><string name=\"AFTER\">1</string></include>"
              "<include file=\"ignored.xml\"><string name=\"WALKED\">1</string></include>"
              "<include component=\"_internal_\"><string name=\"NOT_WALKED\">1</string></include>"
              "<include component=\"_internal_\" file=\"self.xml\"/>"
              "<include component=\"_internal_\" file=\"missing.xml\"/>"),
        table("more.xml", "<string name=\"MORE\">included</string><string name=\"AFTER\">0</string>"),
        table("self.xml", "<include component=\"_internal_\" file=\"self.xml\"/>"),
    });
    ASSERT_EQ(0, string_table_init(&m_session));
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_EQ("included", get("MORE"));
    EXPECT_EQ("1", get("AFTER"));  // the include's own children come after the included table
    EXPECT_EQ("1", get("WALKED"));
    EXPECT_FALSE(env_exists(&m_session, "NOT_WALKED"));
    EXPECT_TRUE(log.has_line("ERROR: : string_xml2prop: name of the file is missing"));
    EXPECT_TRUE(log.has_line("ERROR: : string_xml2prop: can't read _internal_::missing.xml."));
    EXPECT_TRUE(log.has_line("ERROR: : string_xml2prop: includes nested deeper than 16, _internal_::self.xml is not read"));
}

TEST_F(StringTableTest, TablesIncludingThemselvesManyTimesStopAtTheTotalLimit) {
    LogCapture log;
    const std::string self = "<include component=\"_internal_\" file=\"self.xml\"/>";
    open_store({
        {"_internal_", "strings.ini", "default:_internal_:main.xml\n", ""},
        table("main.xml", "<include component=\"_internal_\" file=\"self.xml\"/><string name=\"LAST\">1</string>"),
        table("self.xml", self + self + self + "<string name=\"SELF\">1</string>"),
    });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, string_table_init(&m_session));
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ("1", get("SELF"));
    EXPECT_EQ("1", get("LAST"));
    EXPECT_EQ(1u, lumo_test::count_occurrences(
                      log.text(), "ERROR: : string_xml2prop: more than 256 includes, _internal_::self.xml is not read"));
    EXPECT_LT(lumo_test::count_occurrences(log.text(), "string_xml2prop: include directive"), 1000u);
}

TEST_F(StringTableTest, ListOnDiskWinsAndUnreadableTableStopsTheList) {
    LogCapture log;
    open_store({
        {"_internal_", "strings.ini", "default:_internal_:store.xml\n", ""},
        table("store.xml", "<string name=\"FROM\">store</string>"),
        table("disk.xml", "<string name=\"FROM\">disk list</string>"),
    });
    write_file_text(m_dir.file("engine/strings.ini"), "default:_internal_:disk.xml\r\ndefault:_internal_:gone.xml\n"
                                                       "default:_internal_:store.xml\n");
    EXPECT_EQ(-1, string_table_init(&m_session));
    EXPECT_TRUE(log.has_line("ERROR: : string_table_parse_ini: can't read _internal_:gone.xml"));
    EXPECT_EQ(0, m_session.strings->string_last);
    ASSERT_EQ(0, string_table_bind(&m_session));
    EXPECT_EQ("disk list", get("FROM"));
    EXPECT_EQ(m_dir.file("engine"), get("STRING_TABLE_ROOT"));
}

TEST_F(StringTableTest, NoListNoTablesAndTooManyTables) {
    LogCapture log;
    open_store({table("a.xml", "<string name=\"A\">a</string>")});
    EXPECT_EQ(-1, string_table_init(&m_session));
    EXPECT_TRUE(log.has_line(": load_string_from_store: There is no _internal_::strings.ini"));
    EXPECT_EQ(0, string_table_bind(&m_session));
    std::string ini;
    for (int i = 0; i < 1025; ++i) ini += "default:_internal_:a.xml\n";
    EXPECT_EQ(-1, string_table_parse_ini(&m_session, ini.c_str()));
    EXPECT_EQ(1023, m_session.strings->string_last);
    EXPECT_TRUE(log.has_line("ERROR: : string_table_parse_ini: more than 1024 string tables, _internal_:a.xml and the rest are not loaded"));
    EXPECT_EQ(-1, string_table_parse_ini(&m_session, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : string_table_parse_ini: ini is null"));
    EXPECT_EQ(-1, string_table_is_external(nullptr));
}
