#include "contentsprovider.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "env.h"
#include "log.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class ContentsDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override { env_set_string(&session_, "NONRPM_DB_DIR", dir_.path().c_str()); }
    std::unique_ptr<ContentsItem> item(const std::string& id, const std::string& file, const std::string& prefix,
                                       const std::string& list) {
        auto i = std::make_unique<ContentsItem>();
        i->m_id = id;
        i->m_file = file;
        i->m_prefix = prefix;
        i->m_listFile = list;
        return i;
    }
    // A provider only to own the item list.
    struct Holder : ContentsProvider {
        int installFile(const std::string&, const std::string&, const std::string&) override { return 0; }
        int uninstallFile(const std::string&, const std::string&) override { return 0; }
        int registerFiles(const std::string&) override { return 0; }
        int registerAllFiles(const std::string&) override { return 0; }
        std::string coexId(int index) override { return m_contents[static_cast<size_t>(index)]->m_file; }
    };

    TempDir dir_;
    LogCapture log_;
    session_t session_;
    Holder holder_;
};

TEST_F(ContentsDatabaseTest, FileNameFollowsTheBackEndNameAndTheDirectoryProperties) {
    ContentsDatabase db;
    db.init(&session_, "");
    EXPECT_EQ(dir_.path() + "/vexan_kwq_products.db", db.getDbFilename());
    db.init(&session_, "tgz");
    EXPECT_EQ(dir_.path() + "/vexan_kwq_products.tgz.db", db.getDbFilename());
    // nonrpm_db_dir wins and is copied to NONRPM_DB_DIR.
    env_set_string(&session_, "nonrpm_db_dir", (dir_.path() + "/other").c_str());
    EXPECT_EQ(dir_.path() + "/other/vexan_kwq_products.tgz.db", db.getDbFilename());
    EXPECT_EQ(dir_.path() + "/other", env_get_string(&session_, std::string("NONRPM_DB_DIR")));
    ContentsDatabase none;
    EXPECT_EQ("", none.getDbFilename());
    EXPECT_TRUE(log_.has_line("ERROR: : ContentsDatabase::getDbFilename: session is null"));
}

TEST_F(ContentsDatabaseTest, RecordsSurviveColonsEmptyFieldsAndReplacement) {
    ContentsDatabase db;
    db.init(&session_, "tgz");
    ASSERT_EQ(0, db.addItem(&holder_.m_contents, item("a", "a.tgz", "/opt/x:y", "/l/a")));
    ASSERT_EQ(0, db.addItem(&holder_.m_contents, item("b", "b.tgz", "", "/l/b")));
    ASSERT_EQ(0, db.addItem(&holder_.m_contents, item("a2", "a.tgz", "/opt/z", "/l/a2")));  // replaces a
    EXPECT_EQ("<:a2:a.tgz:/opt/z:/l/a2:>\n<:b:b.tgz:%:/l/b:>\n", read_file(db.getDbFilename()));
    EXPECT_EQ(2, holder_.m_contents[0]->m_status);
    EXPECT_EQ("a2", holder_.m_contents[0]->m_id);

    ContentsDatabase again;
    again.init(&session_, "tgz");
    ASSERT_EQ(2, again.size());
    EXPECT_EQ((std::vector<std::string>{"<", "b", "b.tgz", "", "/l/b", ">"}), again.getItem(1));
    EXPECT_EQ("/opt/z", again.getItem("a2", "a.tgz")[3]);
    EXPECT_TRUE(again.getItem(2).empty());
    // A record written before fields were encoded keeps reading as it always did.
    write_file_text(db.getDbFilename(), "<:old:old.tgz:/l/old:>\n");
    again.init(&session_, "tgz");
    EXPECT_EQ((std::vector<std::string>{"<", "old", "old.tgz", "/l/old", ">"}), again.getItem(0));
    // ... and is found by its name, even one whose encoded form differs from what the old line holds.
    write_file_text(db.getDbFilename(), "<:old:50%off.tgz:/p:/l/old:>\n<:b:b.tgz:/p:/l/b:>\n");
    std::string prefix, list;
    ASSERT_EQ(0, contents_recorded(&session_, "tgz", "50%off.tgz", &prefix, &list));
    EXPECT_EQ("/l/old", list);
    ASSERT_EQ(0, again.addItem(&holder_.m_contents, item("new", "50%off.tgz", "/p", "/l/new")));
    EXPECT_EQ("<:new:50%25off.tgz:/p:/l/new:>\n<:b:b.tgz:/p:/l/b:>\n", read_file(db.getDbFilename()));
    EXPECT_EQ((std::vector<std::string>{"<", "x:y", "%", "", "a\nb", ">"}),
              contents_record_split(contents_record_format("x:y", "%", "", "a\nb")));
}

TEST_F(ContentsDatabaseTest, RemovingKeepsRecordsThisRunDidNotLoadAndTheLastRemovalDeletesTheFile) {
    ContentsDatabase db;
    db.init(&session_, "");
    write_file_text(db.getDbFilename(), "<:other:other.rpm:/p:/l:>\n");
    std::unique_ptr<ContentsItem> handed = item("m", "m.rpm", "/p", "/l/m");
    ContentsItem* mine = handed.get();  // the list keeps it
    ASSERT_EQ(0, db.addItem(&holder_.m_contents, std::move(handed)));
    ASSERT_EQ(0, db.removeItem(&holder_.m_contents, mine));
    EXPECT_EQ(-1, mine->m_status);
    EXPECT_EQ("<:other:other.rpm:/p:/l:>\n", read_file(db.getDbFilename()));
    EXPECT_EQ(nullptr, holder_.findItem("", "m.rpm", ""));
    ContentsItem other;
    other.m_file = "other.rpm";
    ASSERT_EQ(0, db.removeItem(&holder_.m_contents, &other));
    EXPECT_FALSE(lumo_test::exists_path(db.getDbFilename()));
    EXPECT_EQ(-1, db.addItem(&holder_.m_contents, nullptr));
    EXPECT_TRUE(log_.has_line("ERROR: : ContentsDatabase::addItem: parameter is null"));
}

TEST_F(ContentsDatabaseTest, RewritesLeaveTheOldOrTheNewFileWhenKilled) {
    ContentsDatabase db;
    db.init(&session_, "");
    std::string old_text;
    for (int i = 0; i < 200; ++i) old_text += contents_record_format("id" + std::to_string(i), "f" + std::to_string(i) + ".rpm", "/p", "/l") + "\n";
    write_file_text(db.getDbFilename(), old_text);
    const pid_t child = fork();
    if (child == 0) {
        ContentsDatabase writer;
        writer.init(&session_, "");
        ContentsItem it;
        for (int i = 0;; ++i) {
            it.m_file = "f" + std::to_string(i % 200) + ".rpm";
            writer.removeItem(&holder_.m_contents, &it);
            writer.addItem(&holder_.m_contents, std::make_unique<ContentsItem>(it));
        }
    }
    usleep(200000);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    db.init(&session_, "");
    // Every line is a whole record, and all 200 or 199 of them are there.
    EXPECT_GE(db.size(), 199);
    for (int i = 0; i < db.size(); ++i) EXPECT_EQ(6u, db.getItem(i).size()) << i;
}

TEST_F(ContentsDatabaseTest, FindItemMatchesByIdOrFileAndCleanedVersion) {
    holder_.m_contents.push_back(item("a", "a-1.2-3.x86_64.rpm", "/p", "/l"));
    ContentsItem* a = holder_.m_contents.back().get();
    a->m_version = "1.23";
    EXPECT_EQ(a, holder_.findItem("", "a-1.2-3.x86_64.rpm", ""));
    EXPECT_EQ(a, holder_.findItem("a", "", "1.2-3a"));
    EXPECT_EQ(nullptr, holder_.findItem("a", "", "1.2"));
    EXPECT_TRUE(holder_.coexMatch(0, "^a-1\\.2", 2));
    EXPECT_FALSE(holder_.coexMatch(0, "a-1.2", 0));
    EXPECT_FALSE(holder_.coexMatch(0, "(", 2));
    EXPECT_TRUE(log_.has_line("ERROR: : ContentsProvider::coexMatch: pattern ( is not valid regex"));
}

TEST(ContentsProviderTest, CreateKeepsOneProviderPerTypeWithTheLastSession) {
    session_t one, two;
    ContentsProvider* rpm = ContentsProvider::create(&one, "rpm");
    ASSERT_NE(nullptr, rpm);
    EXPECT_EQ(rpm, ContentsProvider::create(&two, "rpm"));
    EXPECT_EQ(&two, rpm->m_session);
    for (const char* type : {"tgz", "msi", "pkg"}) {
        SCOPED_TRACE(type);
        ContentsProvider* p = ContentsProvider::create(&one, type);
        ASSERT_NE(nullptr, p);
        EXPECT_NE(rpm, p);
        EXPECT_EQ(0, p->registerAllFiles(""));
    }
    EXPECT_EQ(nullptr, ContentsProvider::create(&one, "deb"));
    EXPECT_EQ(0, ContentsProvider::create(&one, "msi")->installFile("x.msi", "/p", ""));
}

}  // namespace
