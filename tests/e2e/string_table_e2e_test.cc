// String tables chosen by language and condition, seen through the engine's string extraction.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_util.h"

using lumo_test::quote;
using lumo_test::read_file;
using lumo_test::run_command;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

class StringTablePackage : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string stage = m_dir.file("stage");
        std::filesystem::create_directories(stage);
        std::filesystem::create_directories(m_dir.file("pkg/config/bin"));
        std::filesystem::create_directories(m_dir.file("run"));
        write_file_text(stage + "/product.ini", "PRODUCT_NAME=Suite\n");
        write_file_text(stage + "/strings.ini",
                        "default:_internal_:en.xml\nde:_internal_:de.xml\nde:_internal_:de_beta.xml:${BETA} = yes\n"
                        "fr:_internal_:fr.xml:${NEVER} = 1\n");
        write_file_text(stage + "/en.xml", "<s><string name=\"TITLE\">Welcome to ${PRODUCT_NAME}</string>"
                                           "<string name=\"SCRIPT\">$(touch " + m_dir.file("ran") + ")</string></s>");
        write_file_text(stage + "/de.xml", "<s><string name=\"TITLE\">Willkommen bei ${PRODUCT_NAME}</string></s>");
        write_file_text(stage + "/de_beta.xml", "<s><string name=\"TITLE\">Beta von ${PRODUCT_NAME}</string></s>");
        write_file_text(stage + "/fr.xml", "<s><string name=\"TITLE\">Bienvenue</string></s>");
        std::string output;
        ASSERT_EQ(0, run_command(quote(lumo_test::cab_tool_path()) + " create " +
                                     quote(m_dir.file("pkg/config/install.cab")) + " --dir " + quote(stage) +
                                     " _internal_",
                                 &output, true))
            << output;
        std::filesystem::create_symlink(lumo_test::engine_path(), m_dir.file("pkg/config/bin/lumo"));
    }

    // The extraction output for the given ids and extra arguments.
    std::string strings(const std::string& ids, const std::string& args) {
        const std::string out = m_dir.file("strings.sh");
        std::filesystem::remove(out);
        std::string ignored;
        run_command("cd " + quote(m_dir.file("run")) + " && env -u LANG -u LC_CTYPE " +
                        quote(m_dir.file("pkg/config/bin/lumo")) + " --TEMP_FOLDER " + quote(m_dir.file("run/t")) +
                        " --string_ids " + quote(ids) + " " + args + " --__get_string__ " + quote(out),
                    &ignored);
        return read_file(out);
    }

    static std::string block(const std::string& name, const std::string& value) {
        return "LI_" + name + "=$(cat<<'EOM'\n" + value + "\nEOM\n)\n\n";
    }

    TempDir m_dir;
};

}  // namespace

TEST_F(StringTablePackage, LanguageAndConditionChooseTheTables) {
    EXPECT_EQ(block("TITLE", "Welcome to Suite"), strings("TITLE", ""));
    EXPECT_EQ(block("TITLE", "Willkommen bei Suite"), strings("TITLE", "--lang de"));
    EXPECT_EQ(block("TITLE", "Beta von Suite"), strings("TITLE", "--lang de --BETA yes"));
    EXPECT_EQ(block("TITLE", "Welcome to Suite"), strings("TITLE", "--lang fr"));
    EXPECT_EQ(block("TITLE", "Welcome to Suite"), strings("TITLE", "--lang xx"));
}

TEST_F(StringTablePackage, ExtractedValuesAreDataWhenSourced) {
    const std::string text = strings("SCRIPT;TITLE", "");
    EXPECT_EQ(block("SCRIPT", "$(touch " + m_dir.file("ran") + ")") + block("TITLE", "Welcome to Suite"), text);
    std::string output;
    ASSERT_EQ(0, run_command("bash -c " + quote(". " + m_dir.file("strings.sh") + "; printf %s \"$LI_SCRIPT\""), &output));
    EXPECT_EQ("$(touch " + m_dir.file("ran") + ")", output);
    EXPECT_FALSE(lumo_test::exists_path(m_dir.file("ran")));
}
