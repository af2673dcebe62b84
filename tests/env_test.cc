#include "env.h"
#include "lumo/plugin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "seq.h"
#include "test_util.h"
#include "tsd.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

// A product "suite" with components whose media ids are lib-2 and core.
void add_products(session_t& session) {
    auto product = std::make_unique<Component>();
    product->m_name = "suite";
    auto lib = std::make_unique<Component>();
    lib->m_abbr = "lib-2";
    lib->m_name = "library";
    lib->m_installed = true;
    auto core = std::make_unique<Component>();
    core->m_abbr = "core";
    core->m_name = "core";
    core->m_selected = true;
    product->addSubcomponent(std::move(lib));
    product->addSubcomponent(std::move(core));
    session.tsd->addProduct(std::move(product));
}

}  // namespace

TEST(EnvTest, WritesTurnDashesIntoUnderscoresReadsDoNot) {
    session_t session;
    EXPECT_EQ(0, env_set_string(&session, "a-b", "1"));
    EXPECT_EQ("", env_get_string(&session, std::string("a-b")));
    EXPECT_EQ("1", env_get_string(&session, std::string("a_b")));
    EXPECT_STREQ("1", env_get_string(&session, "a_b"));
    EXPECT_STREQ("", env_get_string(&session, "missing"));
    EXPECT_FALSE(env_exists(&session, "a-b"));
    EXPECT_TRUE(env_exists(&session, "a_b"));
    EXPECT_EQ(0, env_cat_string(&session, "a_b", "23"));
    EXPECT_EQ("123", env_get_string(&session, std::string("a_b")));
    EXPECT_EQ(0, env_remove(&session, "a_b"));
    EXPECT_EQ(0, env_remove(&session, "a_b"));
    EXPECT_FALSE(env_exists(&session, "a_b"));
}

TEST(EnvTest, NullArgumentsAreLoggedAndRefused) {
    LogCapture log;
    session_t session;
    EXPECT_EQ(-1, env_set_string(nullptr, "a", "b"));
    EXPECT_EQ(-1, env_set_string(&session, nullptr, "b"));
    EXPECT_TRUE(log.has_line(" parameter is null"));
    EXPECT_STREQ("", env_get_string(nullptr, "a"));
    EXPECT_TRUE(log.has_line("ERROR: : env_get_string: session is null"));
    EXPECT_STREQ("", env_get_string(&session, static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log.has_line("ERROR: : env_get_string: name is null"));
    EXPECT_FALSE(env_exists(nullptr, "a"));
    EXPECT_TRUE(log.has_line("ERROR: : env_exists: session is NULL"));
    EXPECT_FALSE(env_exists(&session, static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log.has_line("ERROR: : env_exists: name is NULL"));
    EXPECT_EQ("", env_dump(nullptr, 0));
    EXPECT_TRUE(log.has_line("ERROR: : env_dump: session is null"));
    EXPECT_NE(std::string::npos, log.text().find(" src/env_plugin.cc:"));
}

TEST(EnvTest, LogsChangesOnlyAndNeverSecretValues) {
    LogCapture log;
    session_t session;
    env_set_string(&session, "COLOR", "blue");
    env_set_string(&session, "COLOR", "blue");
    env_set_string(&session, "ROOT__HIDE__PASSWORD", "s3cret");
    const std::string text = log.text();
    EXPECT_TRUE(log.has_line(": env_set_string_internal: key \"COLOR\" with value \"blue\" (length 4)"));
    EXPECT_EQ(text.find("COLOR"), text.rfind("COLOR"));  // the unchanged second write logs nothing
    EXPECT_TRUE(log.has_line(
        ": env_set_string_internal: key \"ROOT__HIDE__PASSWORD\" with value [HIDDEN] (length 20)"));
    EXPECT_EQ(std::string::npos, text.find("s3cret"));
    EXPECT_STREQ("[HIDDEN]", env_log_value("X__HIDE__", "v"));
    EXPECT_STREQ("v", env_log_value("X", "v"));
}

TEST(EnvTest, MaskingFollowsEveryChangeOfTheHiddenValues) {
    session_t session;
    env_set_string(&session, "A__HIDE__", "alpha");
    EXPECT_EQ("[HIDDEN] beta", env_mask_hidden(&session, "alpha beta"));
    env_set_string(&session, "A__HIDE__", "beta");  // same map size, new secret
    EXPECT_EQ("alpha [HIDDEN]", env_mask_hidden(&session, "alpha beta"));
    layer_t layer;
    session.active_layer = &layer;
    env_set_string(&session, "B__HIDE__", "alpha");  // a secret of the layer masks too
    EXPECT_EQ("[HIDDEN] [HIDDEN]", env_mask_hidden(&session, "alpha beta"));
    session.active_layer = nullptr;
    EXPECT_EQ("alpha [HIDDEN]", env_mask_hidden(&session, "alpha beta"));
    layer_t other;  // another layer of the same size, without secrets
    env_set_string_internal(other.properties, "B", "alpha");
    session.active_layer = &other;
    EXPECT_EQ("alpha [HIDDEN]", env_mask_hidden(&session, "alpha beta"));
    session.active_layer = nullptr;
    env_remove(&session, "A__HIDE__");
    EXPECT_EQ("alpha beta", env_mask_hidden(&session, "alpha beta"));
    add_user_stat_data(&session, "C__HIDE__", "gamma");
    EXPECT_EQ("[HIDDEN]", env_mask_hidden(&session, "gamma"));
    // A new plain name keeps what was collected; a secret put into the map directly still counts.
    env_set_string(&session, "PLAIN", "delta");
    session.properties["D__HIDE__"] = "delta";
    EXPECT_EQ("[HIDDEN]", env_mask_hidden(&session, "delta"));
}

TEST(EnvTest, ActiveLayerShadowsTheSessionAndTakesWrites) {
    session_t session;
    env_set_string(&session, "shared", "session");
    layer_t layer;
    layer.id = "layer1";
    session.active_layer = &layer;
    env_set_string(&session, "shared", "layer");
    env_set_string(&session, "only_layer", "x");
    EXPECT_EQ("layer", env_get_string(&session, std::string("shared")));
    EXPECT_TRUE(env_exists(&session, "only_layer"));
    EXPECT_EQ("shared#session\nonly_layer#x\nshared#layer\n", env_dump(&session, 0));
    // Removal touches the session's own map, never the layer.
    env_remove(&session, "only_layer");
    EXPECT_TRUE(env_exists(&session, "only_layer"));
    env_init(&session);  // clears the layer, not the session
    EXPECT_TRUE(layer.properties.empty());
    session.active_layer = nullptr;
    EXPECT_EQ("session", env_get_string(&session, std::string("shared")));
    EXPECT_FALSE(env_exists(&session, "only_layer"));
    // A record added inside a layer continues the session's and lands in the layer.
    add_user_stat_data(&session, "stat", "a");
    session.active_layer = &layer;
    add_user_stat_data(&session, "stat", "b");
    EXPECT_EQ("a,b", layer.properties["stat"]);
    session.active_layer = nullptr;
    EXPECT_EQ("a", env_get_string(&session, std::string("stat")));
}

TEST(EnvTest, MediaPropertiesAreComputedFromTheProductSet) {
    session_t session;
    EXPECT_EQ("", env_get_string(&session, std::string("LUMO_MEDIA")));
    EXPECT_EQ(-1, env_set_string(&session, "LUMO_MEDIA_core_selected", "1"));  // no products yet
    add_products(session);
    EXPECT_EQ("lib__;core", env_get_string(&session, std::string("LUMO_MEDIA")));
    EXPECT_EQ("0", env_get_string(&session, std::string("LUMO_MEDIA_lib___selected")));
    EXPECT_EQ("1", env_get_string(&session, std::string("LUMO_MEDIA_lib___installed")));
    EXPECT_EQ("0", env_get_string(&session, std::string("LUMO_MEDIA_lib___skipped")));
    EXPECT_EQ("", env_get_string(&session, std::string("LUMO_MEDIA_LIB___selected")));  // case counts
    EXPECT_EQ("", env_get_string(&session, std::string("LUMO_MEDIA_lib___other")));
    EXPECT_EQ("", env_get_string(&session, std::string("LUMO_MEDIA_")));

    EXPECT_EQ(0, env_set_string(&session, "LUMO_MEDIA_lib___selected", "1"));
    EXPECT_EQ("1", env_get_string(&session, std::string("LUMO_MEDIA_lib___selected")));
    EXPECT_EQ(0, env_set_string(&session, "LUMO_MEDIA_core_selected", "0"));
    EXPECT_STREQ("0", env_get_string(&session, "LUMO_MEDIA_core_selected"));
    EXPECT_EQ(0, env_set_string(&session, "LUMO_MEDIA_core_selected", "maybe"));  // no change
    EXPECT_EQ(-1, env_set_string(&session, "LUMO_MEDIA_lib___installed", "0"));
    EXPECT_EQ(-1, env_set_string(&session, "LUMO_MEDIA_nothing_selected", "1"));
    EXPECT_EQ(-1, env_set_string(&session, "LUMO_MEDIA_", "1"));
    EXPECT_TRUE(session.properties.empty());  // virtual names are never stored
    EXPECT_FALSE(env_exists(&session, "LUMO_MEDIA"));

    EXPECT_EQ("LUMO_MEDIA#lib__;core\n"
              "LUMO_MEDIA_lib___selected#1\nLUMO_MEDIA_lib___installed#1\nLUMO_MEDIA_lib___skipped#0\n"
              "LUMO_MEDIA_core_selected#0\nLUMO_MEDIA_core_installed#0\nLUMO_MEDIA_core_skipped#0\n",
              env_dump(&session, 1));
}

TEST(EnvTest, SaveAndRestoreCarryPropertiesThroughTheRootFile) {
    TempDir dir;
    session_t first;
    env_set_string(&first, "tmp_dir", dir.path());
    env_set_string(&first, "A", "1");
    env_set_string(&first, "B", "x#y\ncontinued");
    env_set_string(&first, "E", "line\n\nafter empty");
    env_set_string(&first, "PASS__HIDE__", "secret");
    env_set_string(&first, "TEMP_FOLDER", "/first");
    env_set_string(&first, "USER", "first");
    ASSERT_EQ(0, env_save(&first));
    const std::string file = dir.file("vexan.lumo.root.env_file");
    struct stat info;
    ASSERT_EQ(0, stat(file.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    session_t second;
    env_set_string(&second, "tmp_dir", dir.path());
    env_set_string(&second, "TEMP_FOLDER", "/second");
    ASSERT_EQ(0, env_restore(&second));
    // Who and where the restoring instance is stays its own.
    EXPECT_EQ("/second", env_get_string(&second, std::string("TEMP_FOLDER")));
    EXPECT_FALSE(env_exists(&second, std::string("USER")));
    EXPECT_EQ("1", env_get_string(&second, std::string("A")));
    EXPECT_EQ("x#y\ncontinued", env_get_string(&second, std::string("B")));
    EXPECT_EQ("line\n\nafter empty", env_get_string(&second, std::string("E")));
    EXPECT_EQ("secret", env_get_string(&second, std::string("PASS__HIDE__")));
}

TEST(EnvTest, RestoreReadsTheDumpPropertyWhenTheFileGivesNothing) {
    TempDir dir;
    session_t session;
    env_set_string(&session, "tmp_dir", dir.path());
    env_set_string(&session, "LUMO_ENV_DUMP", "A#1\nB#x#y\ncontinued\n#ignored\nC#3");
    ASSERT_EQ(0, env_restore(&session));
    EXPECT_EQ("1", env_get_string(&session, std::string("A")));
    EXPECT_EQ("x#y\ncontinued", env_get_string(&session, std::string("B")));
    EXPECT_EQ("3", env_get_string(&session, std::string("C")));
    EXPECT_FALSE(env_exists(&session, ""));
}

TEST(EnvTest, SaveReplacesALinkInsteadOfFollowingIt) {
    TempDir dir;
    const std::string victim = dir.file("victim");
    write_file_text(victim, "keep me");
    ASSERT_EQ(0, symlink(victim.c_str(), dir.file("vexan.lumo.root.env_file").c_str()));
    session_t session;
    env_set_string(&session, "tmp_dir", dir.path());
    env_set_string(&session, "A", "1");
    env_save(&session);
    EXPECT_EQ("keep me", read_file(victim));
    struct stat info;
    ASSERT_EQ(0, lstat(dir.file("vexan.lumo.root.env_file").c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ("A#1\ntmp_dir#" + dir.path() + "\n", read_file(dir.file("vexan.lumo.root.env_file")));
}

TEST(EnvTest, RootFileOfAnotherUserIsNeitherWrittenNorRestored) {
    if (getuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
    TempDir dir;
    LogCapture log;
    const std::string file = dir.file("vexan.lumo.root.env_file");
    write_file_text(file, "EVIL#1\n");
    ASSERT_EQ(0, chown(file.c_str(), 12345, 12345));
    session_t session;
    env_set_string(&session, "tmp_dir", dir.path());
    // The owner of the temporary folder earns the file no trust.
    ASSERT_EQ(0, chown(dir.path().c_str(), 12345, 12345));
    env_set_string(&session, "TEMP_FOLDER", dir.path());
    env_restore(&session);
    EXPECT_FALSE(env_exists(&session, "EVIL"));
    EXPECT_NE(std::string::npos, log.text().find("env_restore: " + file + " belongs to another user"));
    env_set_string(&session, "A", "1");
    env_save(&session);
    EXPECT_EQ("EVIL#1\n", read_file(file));
    EXPECT_TRUE(log.has_line(": env_save: unable to write environment to file"));
}

// Whatever sits at the name instead of a plain file of this user, the restore returns at once
// and takes the dump property instead: a FIFO must not hold it, a link must not lead it away.
TEST(EnvTest, RestoreRefusesFifosLinksAndOpenFilesPromptly) {
    TempDir dir;
    LogCapture log;
    const std::string file = dir.file("vexan.lumo.root.env_file");
    write_file_text(dir.file("planted"), "EVIL#1\n");
    const struct {
        const char* kind;
        const char* message;
    } rows[] = {
        {"fifo", " is not a regular file, not restored"},
        {"link", " cannot be opened or is a link, not restored"},
        {"open", " is writable by group or others, not restored"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        unlink(file.c_str());
        const std::string kind = row.kind;
        if (kind == "fifo") {
            ASSERT_EQ(0, mkfifo(file.c_str(), 0600));
        } else if (kind == "link") {
            ASSERT_EQ(0, symlink(dir.file("planted").c_str(), file.c_str()));
        } else {
            write_file_text(file, "EVIL#1\n");
            ASSERT_EQ(0, chmod(file.c_str(), 0666));
        }
        session_t session;
        env_set_string(&session, "tmp_dir", dir.path());
        env_set_string(&session, "LUMO_ENV_DUMP", "A#1");
        alarm(10);  // a hang ends the test binary instead of the whole run
        EXPECT_EQ(0, env_restore(&session));
        alarm(0);
        EXPECT_FALSE(env_exists(&session, "EVIL"));
        EXPECT_EQ("1", env_get_string(&session, std::string("A")));
        EXPECT_TRUE(log.has_line("ERROR: : env_restore: " + file + row.message));
    }
}

TEST(EnvTest, SaveWithoutAWritableFolderStillSucceeds) {
    LogCapture log;
    session_t session;
    env_set_string(&session, "tmp_dir", "/nonexistent-folder/x");
    EXPECT_EQ(0, env_save(&session));
    EXPECT_TRUE(log.has_line(": env_save: unable to write environment to file"));
}

TEST(EnvTest, NamedDataSlotsFillReplaceAndRunOut) {
    LogCapture log;
    session_t session;
    int a = 1, b = 2;
    ASSERT_EQ(0, session_init_cdata(&session));
    EXPECT_EQ(0, session_add_cdata(&session, &a, "first"));
    EXPECT_EQ(0, session_add_cdata(&session, &b, "first"));  // replaced in place
    EXPECT_EQ(&b, session_get_cdata(&session, "first"));
    EXPECT_EQ(nullptr, session_get_cdata(&session, "second"));
    EXPECT_TRUE(log.has_line("ERROR: : session_get_cdata: cdata is not found"));
    for (int i = 1; i < 1024; ++i) ASSERT_EQ(0, session_add_cdata(&session, &a, ("id" + std::to_string(i)).c_str()));
    EXPECT_EQ(-1, session_add_cdata(&session, &a, "one too many"));
    EXPECT_TRUE(log.has_line("ERROR: : session_add_cdata: cdata storage is full"));
    EXPECT_EQ(0, session_delete_cdata(&session, "first"));
    EXPECT_EQ(-1, session_delete_cdata(&session, "first"));
    EXPECT_TRUE(log.has_line("ERROR: : session_delete_cdata: cdata is not found"));
    EXPECT_EQ(0, session_add_cdata(&session, &a, "one too many"));
    EXPECT_EQ(-1, session_add_cdata(nullptr, &a, "x"));
    EXPECT_TRUE(log.has_line("ERROR: : session_add_data: session is null"));
    EXPECT_EQ(-1, session_add_cdata(&session, &a, nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : session_add_cdata: cdata id is NULL"));
}

TEST(EnvTest, CastsDecimalTextToAPointerValue) {
    int value = 5;
    const std::string text = std::to_string(reinterpret_cast<intptr_t>(&value));
    EXPECT_EQ(&value, reinterpret_cast<int*>(castStringToEnvPointer(text)));
    EXPECT_EQ(0, castStringToEnvPointer(static_cast<const char*>(nullptr)));
}
