#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "env.h"
#include "store.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::make_store;
using lumo_test::read_file;
using lumo_test::TempDir;

namespace {

// A session whose store holds the given product.ini (none when product_ini is null).
bool open_store_with(session_t& session, const TempDir& dir, const char* product_ini) {
    std::vector<lumo_test::StoreFile> files = {{"_internal_", "help.msg", "help", ""}};
    if (product_ini) files.push_back({"_internal_", "product.ini", product_ini, ""});
    const std::string cab = dir.file("install.cab");
    return make_store(cab, files) && store_read_header(&session, session.store.get(), cab.c_str()) == 0;
}

std::string strings_output(session_t& session, const TempDir& dir) {
    env_set_string(&session, "__get_string__", dir.file("strings.sh"));
    if (configuration_get_strings(&session) != 0) return "<failed>";
    return read_file(dir.file("strings.sh"));
}

}  // namespace

TEST(ConfigTest, SetsEngineUserAndPathProperties) {
    TempDir dir;
    LogCapture log;
    session_t session;
    ASSERT_TRUE(open_store_with(session, dir, "PRODUCT=Suite\r\n# comment\n\nEMPTY=\n==A===B==\n"));
    env_set_string(&session, "SCRIPT_NAME", "/opt/pkg/config/bin/lumo");
    ASSERT_EQ(0, init_configuration(&session));
    const struct {
        const char* name;
        const char* value;
    } rows[] = {
        {"LUMO_EXIT_CODE_SUCCESS", "0"}, {"LUMO_EXIT_CODE_RUN_GUI_FAILED", "1"},
        {"LUMO_EXIT_CODE_ERROR", "2"},   {"LUMO_EXIT_CODE_WARNING", "3"},
        {"LUMO_EXIT_CODE_CANCEL", "4"},  {"ENGINE_BINARY", "lumo"},
        {"ENGINE_DIR", "/opt/pkg/config/bin"}, {"CONFIG_DIR", "/opt/pkg/config/bin/.."},
        {"PACKAGE_DIR", "/opt/pkg/config/bin/../../"}, {"CURRENT_DIR", "/opt/pkg/config/bin/../../"},
        {"PRODUCT", "Suite"}, {"EMPTY", ""}, {"A", "B"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(env_exists(&session, row.name));
        EXPECT_EQ(row.value, env_get_string(&session, std::string(row.name)));
    }
    EXPECT_EQ(std::to_string(getuid()), env_get_string(&session, std::string("UID")));
    EXPECT_EQ(std::to_string(getpid()), env_get_string(&session, std::string("LUMO_PID")));
    EXPECT_EQ(0u, env_get_string(&session, std::string("ENGINE_VERSION")).find("Package id: "));
    EXPECT_TRUE(log.has_line("ERROR: : load_product_info: can not read value of the property"));
    EXPECT_TRUE(log.has_line(": load_product_info: set property 'PRODUCT' with value 'Suite'"));
}

TEST(ConfigTest, RelativeEngineIsPlacedUnderTheWorkingFolder) {
    TempDir dir;
    session_t session;
    ASSERT_TRUE(open_store_with(session, dir, "X=1\n"));
    env_set_string(&session, "SCRIPT_NAME", "config/bin/lumo");
    env_set_string(&session, "PACKAGE_DIR", "/kept");
    ASSERT_EQ(0, init_configuration(&session));
    const std::string pwd = env_get_string(&session, std::string("LUMO_PWD"));
    EXPECT_FALSE(pwd.empty());
    EXPECT_EQ(pwd + "/config/bin", env_get_string(&session, std::string("ENGINE_DIR")));
    EXPECT_EQ("/kept", env_get_string(&session, std::string("PACKAGE_DIR")));
}

TEST(ConfigTest, FailsWithoutScriptNameOrProductInfo) {
    TempDir dir;
    LogCapture log;
    session_t session;
    ASSERT_TRUE(open_store_with(session, dir, nullptr));
    EXPECT_EQ(-1, init_configuration(&session));
    EXPECT_TRUE(log.has_line("ERROR: : init_configuration: SCRIPT_NAME is empty"));
    env_set_string(&session, "SCRIPT_NAME", "/x/lumo");
    EXPECT_EQ(-1, init_configuration(&session));
    EXPECT_TRUE(log.has_line("ERROR: : load_product_info: can not find product.ini in store"));
    EXPECT_EQ(-1, init_configuration(nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : init_configuration: session is NULL"));

    session_t nameless;
    TempDir other;
    ASSERT_TRUE(open_store_with(nameless, other, "===\n"));
    env_set_string(&nameless, "SCRIPT_NAME", "/x/lumo");
    EXPECT_EQ(-1, init_configuration(&nameless));
    EXPECT_TRUE(log.has_line("ERROR: : load_product_info: can not read name of the property"));
}

TEST(ConfigTest, StringOutputIsSourceableAndKeepsValuesAsData) {
    TempDir dir;
    session_t session;
    env_set_string(&session, "A", "it's");
    env_set_string(&session, "B", "$(touch " + dir.file("ran") + ") `touch " + dir.file("ran2") + "`");
    env_set_string(&session, "C", "${A} too");
    env_set_string(&session, "string_ids", "A;B;C;MISSING;");
    const std::string output = strings_output(session, dir);
    EXPECT_EQ("LI_A=$(cat<<'EOM'\nit\\'s\nEOM\n)\n\n"
              "LI_B=$(cat<<'EOM'\n$(touch " + dir.file("ran") + ") `touch " + dir.file("ran2") + "`\nEOM\n)\n\n"
              "LI_C=$(cat<<'EOM'\nit\\'s too\nEOM\n)\n\n"
              "LI_MISSING=$(cat<<'EOM'\n\nEOM\n)\n\n",
              output);
    std::string echoed;
    ASSERT_EQ(0, lumo_test::run_command("bash -c " + lumo_test::quote(". " + dir.file("strings.sh") +
                                                                      "; printf '%s|%s' \"$LI_A\" \"$LI_C\""),
                                        &echoed));
    EXPECT_EQ("it\\'s|it\\'s too", echoed);
    EXPECT_FALSE(lumo_test::exists_path(dir.file("ran")));
    EXPECT_FALSE(lumo_test::exists_path(dir.file("ran2")));
}

TEST(ConfigTest, StringOutputRunsNothingWhenSourcedAndKeepsSecretsPrivate) {
    TempDir dir;
    session_t session;
    const std::string canary = dir.file("canary");
    const std::string touch = "touch " + canary;
    env_set_string(&session, "A", "x\nEOM\n)\n" + touch + "\nEOM_1\n");
    env_set_string(&session, "B", "plain");
    env_set_string(&session, "Y=1 " + touch + " #", "v");
    env_set_string(&session, "PW__HIDE__", "s3cret");
    lumo_test::write_file_text(dir.file("strings.sh"), "old");
    ASSERT_EQ(0, chmod(dir.file("strings.sh").c_str(), 0644));
    {
        LogCapture log;
        const std::string all = strings_output(session, dir);
        EXPECT_EQ(std::string::npos, all.find("s3cret"));
        EXPECT_NE(std::string::npos, all.find("LI_B=$(cat<<'EOM'\nplain\nEOM\n)"));
        EXPECT_NE(std::string::npos, all.find("LI_A=$(cat<<'EOM_2'\n"));
        EXPECT_TRUE(log.has_line("WARN: : write_string_to_file: Y=1 " + touch + " # is not a shell variable name, skipped"));
    }
    struct stat info;
    ASSERT_EQ(0, stat(dir.file("strings.sh").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    env_set_string(&session, "string_ids", "A;Y=1 " + touch + " #;PW__HIDE__;B");
    strings_output(session, dir);
    std::string echoed;
    ASSERT_EQ(0, lumo_test::run_command("bash -c " + lumo_test::quote(". " + dir.file("strings.sh") +
                                                                      "; printf '%s|%s|%s' \"$LI_A\" \"$LI_PW__HIDE__\" \"$LI_B\""),
                                        &echoed));
    EXPECT_EQ("x\nEOM\n)\n" + touch + "\nEOM_1|s3cret|plain", echoed);
    EXPECT_FALSE(lumo_test::exists_path(canary));
    // A link planted at the output's name is refused, not followed.
    lumo_test::write_file_text(dir.file("victim"), "precious");
    ASSERT_EQ(0, symlink(dir.file("victim").c_str(), dir.file("link.sh").c_str()));
    env_set_string(&session, "__get_string__", dir.file("link.sh"));
    EXPECT_EQ(-1, configuration_get_strings(&session));
    EXPECT_EQ("precious", read_file(dir.file("victim")));
}

TEST(ConfigTest, StringOutputWithoutIdsListsEveryProperty) {
    TempDir dir;
    session_t session;
    env_set_string(&session, "Z", "last");
    env_set_string(&session, "A", "first");
    const std::string output = strings_output(session, dir);
    EXPECT_LT(output.find("LI_A="), output.find("LI_Z="));
    EXPECT_NE(std::string::npos, output.find("LI___get_string__="));
    env_set_string(&session, "__get_string__", "/nonexistent-folder/out");
    LogCapture log;
    EXPECT_EQ(-1, configuration_get_strings(&session));
    EXPECT_TRUE(log.has_line("ERROR: : configuration_get_strings: could not open output file"));
}

TEST(ConfigTest, SanitizesVersions) {
    EXPECT_EQ("1.2.3", sanitizeVersion("v1.2.3-beta"));
    EXPECT_EQ("", sanitizeVersion("none"));
}
