#include "env_expand.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "cond.h"
#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;

TEST(ExpandTest, ResolvesReferencesQuotesAndCharacterReferences) {
    session_t session;
    env_set_string(&session, "A", "x");
    env_set_string(&session, "B", "${A}y");
    env_set_string(&session, "Q", "'quoted'");
    env_set_string(&session, "AMP", "&amp;lt;");
    const struct {
        const char* op;
        const char* expected;
    } rows[] = {
        {"[${B}]", "[xy]"},
        {"'${A}'", "x"},
        {"\"${A}\"", "x"},
        {"'${A}\"", "'x\""},
        {"a${U}b", "ab"},
        {"$A", "$A"},
        {"$", "$"},
        {"a$", "a$"},
        {"$<A>", "$<A>"},
        {"${A}$<A>", "xx"},
        {"a &lt;b&gt; &amp;amp;", "a <b> &amp;"},
        {"&quot;x&quot;", "\"x\""},
        {"\\${A}", "\\${A}"},
        {"${a${b}}", "}"},
        {"''", ""},
        {"'", "'"},
        {"", ""},
        {"${A}${A}${A}", "xxx"},
        {"${Q}", "quoted"},   // the next pass removes the quotes the value brought
        {"${AMP}", "<"},      // and decodes once more
        {"${A>", "x"},        // no '}' anywhere: the reference ends at '>'
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.op);
        EXPECT_EQ(row.expected, expand_operand(&session, row.op));
        EXPECT_EQ(row.expected, expand_operand(&session, std::string(row.op)));
    }
}

TEST(ExpandTest, ErroneousOperandComesBackUnchanged) {
    LogCapture log;
    session_t session;
    env_set_string(&session, "A", "x");
    EXPECT_EQ("'${A'", expand_operand(&session, "'${A'"));
    EXPECT_TRUE(log.has_line("ERROR: : expand_operand: operand '${A' is erroneous"));
    EXPECT_EQ("a ${", expand_operand(&session, "a ${"));
    char* internal = expand_operand_internal(&session, "&lt;${A");
    ASSERT_NE(nullptr, internal);
    EXPECT_STREQ("&lt;${A", internal);
    free(internal);
}

TEST(ExpandTest, HiddenValuesNeverReachTheLog) {
    LogCapture log;
    session_t session;
    // Unterminated references make the value itself the erroneous operand of the next pass.
    env_set_string(&session, "PW__HIDE__", "pa&amp;ss${w0rd");
    env_set_string(&session, "COPY", "${PW__HIDE__}");  // a plain name that reads the secret
    env_set_string(&session, "PIN__HIDE__", "77${X}${Y");
    for (const char* op : {"${PW__HIDE__}", "'${PIN__HIDE__}'", "[${COPY}]", "${PW__HIDE__}${PW__HIDE__}"}) {
        SCOPED_TRACE(op);
        expand_operand(&session, op);
    }
    EXPECT_EQ(1, cond_is_true("${PW__HIDE__} =~ ^pa", &session));
    cond_is_true("${COPY} =~ pa&ss${w0rd", &session);
    cond_is_true("pa&amp;ss${w0rd ( ==", &session);
    cond_is_true("${PIN__HIDE__} == 77${X}${Y", &session);
    cond_is_true("1.${COPY} > 1.2", &session);
    print_log("%s", env_dump_for_log(&session, 0).c_str());
    const std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("operand [HIDDEN] is erroneous"));
    for (const char* secret : {"pa&amp;ss", "pa&ss", "ss${w0rd", "77${X}"}) {
        SCOPED_TRACE(secret);
        EXPECT_EQ(std::string::npos, text.find(secret));
    }
}

TEST(ExpandTest, ResultsStopAtTheSizeBound) {
    LogCapture log;
    session_t session;
    env_set_string(&session, "D", "${D}${D}");  // doubles on every pass
    env_set_string(&session, "BIG", std::string(600000, 'b'));
    const auto start = std::chrono::steady_clock::now();
    const std::string doubled = expand_operand(&session, "${D}");
    EXPECT_LE(doubled.size(), expand_result_max);
    EXPECT_GT(doubled.size(), expand_result_max / 4);
    EXPECT_EQ("${BIG}${BIG}", expand_operand(&session, "${BIG}${BIG}"));  // the first pass is over already
    char* once = expand_operand_internal(&session, "${BIG}${BIG}");
    ASSERT_NE(nullptr, once);
    EXPECT_STREQ("${BIG}${BIG}", once);
    free(once);
    EXPECT_EQ(std::string(600000, 'b'), expand_operand(&session, "${BIG}"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(1u, lumo_test::count_occurrences(
                      log.text(), "ERROR: : expand_operand: operand ${D} expands to more than 1048576 bytes, expansion stopped"));
    EXPECT_EQ(2u, lumo_test::count_occurrences(log.text(), "operand ${BIG}${BIG} expands to more than 1048576 bytes"));
}

TEST(ExpandTest, InternalFormRunsOnePass) {
    session_t session;
    env_set_string(&session, "A", "x");
    env_set_string(&session, "B", "${A}y");
    char* once = expand_operand_internal(&session, "[${B}]");
    ASSERT_NE(nullptr, once);
    EXPECT_STREQ("[${A}y]", once);
    free(once);
    EXPECT_EQ(nullptr, expand_operand_internal(&session, nullptr));
    EXPECT_EQ(nullptr, expand_operand_internal(nullptr, "x"));
    EXPECT_EQ("", expand_operand(nullptr, "x"));
}

TEST(ExpandTest, ReferencesThatReferToEachOtherStop) {
    LogCapture log;
    session_t session;
    env_set_string(&session, "X", "${Y}");
    env_set_string(&session, "Y", "${X}");
    env_set_string(&session, "G", "a${G}");
    const std::string cycle = expand_operand(&session, "${X}");
    EXPECT_TRUE(cycle == "${X}" || cycle == "${Y}");
    EXPECT_NE(std::string::npos, log.text().find("does not settle after 64 passes"));
    const std::string growing = expand_operand(&session, "${G}");
    EXPECT_EQ(std::string(64, 'a') + "${G}", growing);
}

TEST(ExpandTest, LongTextsKeepEveryCharacter) {
    session_t session;
    env_set_string(&session, "V", std::string(5000, 'v'));
    std::string op, expected;
    for (int i = 0; i < 200; ++i) {
        op += "chunk" + std::to_string(i) + "${V}";
        expected += "chunk" + std::to_string(i) + std::string(5000, 'v');
    }
    EXPECT_EQ(expected, expand_operand(&session, op));
}

TEST(ExpandTest, ReplaceTagsDecodesInOrder) {
    LogCapture log;
    char* decoded = env_replace_tags("&amp;lt; &lt;&gt;&quot;");
    ASSERT_NE(nullptr, decoded);
    EXPECT_STREQ("&lt; <>\"", decoded);
    free(decoded);
    EXPECT_EQ(nullptr, env_replace_tags(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(log.has_line("ERROR: : env_replace_tags: input string is NULL"));
}
