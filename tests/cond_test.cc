#include "cond.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "env.h"
#include "test_util.h"

namespace {

using lumo_test::LogCapture;

using properties_t = std::vector<std::pair<const char*, const char*>>;

struct cond_row_t {
    const char* condition;
    properties_t properties;
    int expected;
};

// Each row on a fresh session holding only its own properties.
void check_rows(const std::vector<cond_row_t>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.condition);
        session_t session;
        for (const auto& p : row.properties) env_set_string(&session, std::string(p.first), std::string(p.second));
        EXPECT_EQ(row.expected, cond_is_true(row.condition, &session));
    }
}

struct cond_error_row_t {
    const char* condition;
    const char* line;
};

void check_error_rows(const std::vector<cond_error_row_t>& rows) {
    for (const auto& row : rows) {
        SCOPED_TRACE(row.condition);
        LogCapture log;
        session_t session;
        env_set_string(&session, std::string("x"), std::string("1"));
        EXPECT_EQ(-1, cond_is_true(row.condition, &session));
        EXPECT_TRUE(log.has_line(row.line)) << log.text();
    }
}

TEST(CondTest, EmptyOrBlankConditionIsTrue) {
    check_rows({{"", {}, 1}, {" ", {}, 1}, {"     ", {}, 1}, {"\t", {}, 1}, {" \r\n", {}, 1}});
}

TEST(CondTest, NullSessionIsAnError) {
    LogCapture log;
    EXPECT_EQ(-1, cond_is_true("x", nullptr));
    EXPECT_EQ(-1, cond_is_true("", nullptr));
    EXPECT_TRUE(log.has_line("ERROR: : cond_is_true: session is NULL"));
}

TEST(CondTest, ComparesNumbersVersionsOrTexts) {
    check_rows({
        {"10 > 9", {}, 1},
        {"9 < 10", {}, 1},
        {"007 = 7", {}, 1},  // numbers by value, not by text
        {"1.10 > 1.9", {}, 1},
        {"1.9 < 1.10", {}, 1},
        {"1.02 = 1.2", {}, 1},
        {"1.2 = 1.2.0", {}, 1},
        {"1.2 < 1.2.0.1", {}, 1},
        {"1.2.3.4.5 = 1.2.3.4.6", {}, 1},
        {"1.2.3.4.5 != 1.2.3.4.6", {}, 0},
        {"1.0 >= 1", {}, 1},  // a number and a version compare as versions
        {"1.0 -le 1", {}, 1},
        {"abc < abd", {}, 1},
        {"10 > 9a", {}, 0},  // one side is text: "1" sorts before "9"
        {"-5 < -1", {}, 0},  // a sign makes a text
        {"-1 < 1", {}, 1},
        {"abc = ABC", {}, 0},
        {"abc != ABC", {}, 1},
        {"\xc3\xa9 > z", {}, 1},  // bytes compare unsigned
        {"5 >= 5", {}, 1},
        {"5 <= 4", {}, 0},
        {"5 != 5", {}, 0},
        {"${V} > 2.6.32", {{"V", "2.6.9"}}, 0},
        {"${V} >= 2.6.32", {{"V", "3.10.0"}}, 1},
        {"${N} -gt 100", {{"N", "1000"}}, 1},
        {"${N} -gt 100", {{"N", "1,000"}}, 0},  // text: "1,000" sorts before "100"
    });
}

TEST(CondTest, ComparesNumbersOfAnyLengthExactly) {
    check_rows({
        {"99999999999999999999999 > 99999999999999999999998", {}, 1},
        {"18446744073709551616 > 18446744073709551615", {}, 1},
        {"000000000000000000000000000001 = 1", {}, 1},
        {"1.99999999999999999999 > 1.99999999999999999998", {}, 1},
        {"4294967297.0 > 1.0", {}, 1},
    });
}

TEST(CondTest, EmptyOperandsCompareAsTheNumberZero) {
    check_rows({
        {"${A} = \"\"", {}, 1},
        {"${A} = \"\"", {{"A", ""}}, 1},
        {"${A} = \"\"", {{"A", "x"}}, 0},
        {"${A} = \"", {}, 1},  // a lone quote is the empty text
        {"${A} != \"\"", {{"A", "x"}}, 1},
        {"${A} = 0", {}, 1},
        {"${A} < 1", {}, 1},
        {"${A} < 0.1", {}, 1},
        {"${A} = ${B}", {}, 1},
    });
}

TEST(CondTest, LetterFormsMatchInAnyCaseSymbolFormsOnlyExactly) {
    check_rows({
        {"10 -GT 9", {}, 1},
        {"a -Eq a", {}, 1},
        {"a -NE b", {}, 1},
        {"abc -START a", {}, 1},
        {"abc -End bc", {}, 1},
        {"abc -INC b", {}, 1},
        {"abc -NINC b", {}, 0},
        {"abc -RE ^a", {}, 1},
        {"x and y", {{"x", "1"}, {"y", "1"}}, 1},
        {"x Or y", {{"x", "1"}}, 1},
        {"x xOR y", {{"x", "1"}}, 1},
        {"not y", {}, 1},
        {"a == a", {}, -1},
        {"a =< b", {}, -1},
        {"a EQ a", {}, -1},
    });
}

TEST(CondTest, ComparesPartsOfTexts) {
    check_rows({
        {"abc << ab", {}, 1},
        {"ab << abc", {}, 0},
        {"abc << \"\"", {}, 0},
        {"abc >> bc", {}, 1},
        {"ab >> abc", {}, 0},
        {"abc >> \"\"", {}, 0},
        {"abc >< b", {}, 1},
        {"abc >< x", {}, 0},
        {"abc >< \"\"", {}, 1},
        {"abc <> x", {}, 1},
        {"abc <> b", {}, 0},
        {"abc <> \"\"", {}, 0},
        {"${L} -inc ;b;", {{"L", "a;b;c"}}, 1},
        {"${MODE} -start inst", {{"MODE", "install"}}, 1},
    });
}

TEST(CondTest, MatchesExtendedRegularExpressionsAnywhere) {
    const properties_t x = {{"X", "abc"}};
    check_rows({
        {"${X} =~ ^ab", x, 1},
        {"${X} =~ bc$", x, 1},
        {"${X} =~ b", x, 1},
        {"${X} =~ ^b", x, 0},
        {"${X} -re a|z", x, 1},
        {"${X} =~ ^(abc|def)$", x, 1},
        {"${X} =~ ^[a-c]{3}$", x, 1},
        {"${X} =~ [0-9]+", x, 0},
        {"${X} =~ \"^a.c$\"", x, 1},
    });
}

TEST(CondTest, InvalidPatternIsAnErrorTermThatMergesLikeAnyValue) {
    const properties_t x = {{"X", "abc"}, {"x", "1"}};
    check_rows({
        {"${X} =~ (a", x, -1},
        {"NOT ${X} =~ (a", x, 0},
        {"${X} =~ (a OR x", x, 1},
        {"${X} =~ (a AND x", x, -1},
        {"${X} =~ (a XOR x", x, 0},
        // Two broken terms must not multiply into true.
        {"${X} =~ (a AND ${X} =~ [", x, -1},
        // A lone parenthesis is never an operand, so this one fails before any pattern.
        {"${X} =~ (", x, -1},
    });
    LogCapture log;
    session_t session;
    env_set_string(&session, std::string("X"), std::string("abc"));
    EXPECT_EQ(-1, cond_is_true("${X} =~ [", &session));
    EXPECT_TRUE(log.has_line("ERROR: : execute: pattern [ is not valid regex"));
    EXPECT_EQ(-1, execute("${X}", "=~", "(", &session));
    EXPECT_TRUE(log.has_line("ERROR: : execute: pattern ( is not valid regex"));
}

TEST(CondTest, PatternsThatWouldTakeMinutesToCompileAreRefused) {
    const properties_t x = {{"X", "aaaa"}};
    check_rows({
        {"${X} =~ ((a{200}){200}){200}", x, -1},
        {"${X} =~ a{1000}{1000}", x, -1},
        {"${X} =~ ((a+){500}){500}", x, -1},
        {"${X} =~ ((a{2,}){300}){300}", x, -1},
        {"${X} =~ (([ab]{1,400}){400}|b)", x, -1},
        // Positions that match nothing are linked to each other at a cost that grows faster.
        {"${X} =~ (x*){10000}", x, -1},
        {"${X} =~ x*++++++++++++", x, -1},
        {"${X} =~ !x+++++*++++++++/++", x, -1},
        {"${X} =~ ((((((((((((((x+)+)+)+)+)*)+)+)+)+)+)+)+)+)", x, -1},
        {"${X} =~ (x|){1,2500}", x, -1},
        {"${X} =~ (^){2000}", x, -1},
        {"${X} =~ (x*){100}", x, 1},
        {"${X} =~ ^(a|b)*$", x, 1},
        {"${X} =~ ^([0-9]+\\.){3}[0-9]+$", {{"X", "10.0.0.1"}}, 1},
        {"${X} =~ ((a{20}){20}){20}", x, 0},
        {"${X} =~ ^(a{2}){2}$", x, 1},
        {"${X} =~ ^a{2,}$", x, 1},
        {"${X} =~ ^[{]{3}$", {{"X", "{{{"}}, 1},
        {"${X} =~ ^\\{a", {{"X", "{a"}}, 1},
        {"${X} =~ ^[[:alpha:]]{4}$", x, 1},
        {"${X} =~ a{1,5000}", x, -1},
        {"${X} =~ ([ab]{1,400}){40}", x, -1},
        {"${X} =~ ^a{1,100}$", x, 1},
        {"${X} =~ a{", x, -1},  // no count: left to the compiler, which rejects it
        {"${X} =~ x**", x, -1},
        {"${X} =~ (a$b*****)*****", x, -1},
        {"${X} =~ a{2}*", x, -1},
        {"${X} =~ ^a*b+c?$", x, 0},
        {"${X} =~ [*+?]", x, 0},
        // Back-references make matching time grow as a power of the text's length.
        {"${X} =~ ^(a|b)*\\1$", x, -1},
        {"${X} =~ ^([ab]+)\\9", x, -1},
        {"${X} =~ ^[\\1]$", {{"X", "1"}}, 1},  // a bracket holds the two characters, no reference
        {"${X} =~ ^a\\.b$", {{"X", "a.b"}}, 1},
    });
    LogCapture log;
    session_t session;
    EXPECT_EQ(-1, cond_is_true("x =~ (x{1000}){1000}", &session));
    EXPECT_TRUE(log.has_line("ERROR: : execute: pattern (x{1000}){1000} is too complex"));
}

TEST(CondTest, LoneOperandTestsWhetherThatPropertyExists) {
    check_rows({
        {"x", {{"x", "1"}}, 1},
        {"x", {{"x", ""}}, 1},
        {"x", {}, 0},
        {"NOT x", {}, 1},
        {"! x", {}, 1},
        {"NOT x", {{"x", ""}}, 0},
        {"${X}", {{"X", "1"}}, 0},  // not expanded: asks for a property named ${X}
        {"${X}", {{"${X}", "1"}}, 1},
        {"${A}=1", {{"A", "1"}}, 0},  // one token
    });
}

TEST(CondTest, LogicIsStrictlyLeftToRight) {
    const properties_t only_x = {{"x", "1"}};
    check_rows({
        {"x AND y", only_x, 0},
        {"x OR y", only_x, 1},
        {"x XOR y", only_x, 1},
        {"x XOR x", only_x, 0},
        {"y XOR y", only_x, 0},
        {"y OR y", only_x, 0},
        {"p OR q AND r", {{"p", "1"}}, 0},
        {"p AND q OR r", {{"r", "1"}}, 1},
        {"p OR ( q AND r )", {{"p", "1"}}, 1},
        {"${x} = 1 AND ${y} = 2 OR ${z} = 3", {{"z", "3"}}, 1},
        {"${x} = 1 OR ${y} = 2 AND ${z} = 3", {{"x", "1"}}, 0},
        {"NOT y AND x", only_x, 1},
        {"x AND NOT y", only_x, 1},
        {"x AND NOT NOT y", only_x, 1},  // a second negation leaves it on
        {"NOT x OR y", only_x, 0},
        {"x OR AND y", only_x, 0},       // the last logic word counts
    });
}

TEST(CondTest, TermsWithoutLogicWordReplaceOrMergeAsTheyAlwaysDid) {
    check_rows({
        {"${x} = 1 ${y} = 2", {{"x", "1"}, {"y", "3"}}, 0},
        {"${x} = 2 ${y} = 2", {{"x", "1"}, {"y", "2"}}, 1},
        // After an unquoted right operand the logic word is forgotten: the next term replaces.
        {"a AND ${x} = 1 ${y} = 2", {{"x", "2"}, {"y", "2"}}, 1},
        // After a quoted one it stays in force.
        {"a AND ${x} = \"1\" ${y} = 2", {{"a", ""}, {"x", "1"}, {"y", "3"}}, 0},
        {"a AND ${x} = \"1\" ${y} = 2", {{"a", ""}, {"x", "1"}, {"y", "2"}}, 1},
        {"a AND ${x} = \"1\" NOT ${y} = 2", {{"a", ""}, {"x", "1"}, {"y", "3"}}, 1},
        {"a AND ( x ) y", {{"a", ""}, {"x", ""}}, 0},
    });
}

TEST(CondTest, QuotedRightOperandSpansTokens) {
    const properties_t p = {{"P", "two words"}, {"x", "1"}};
    check_rows({
        {"${P} = \"two words\"", p, 1},
        {"${P} = \"two   words\"", p, 1},  // runs of spaces collapse
        {"${P} = \"two\"", p, 0},
        {"${P} = two", p, 0},
        {"${P} -eq \"two words\" AND x", p, 1},
        {"${P} = \"two words\" AND y", p, 0},
        {"${P} >< \"o w\"", p, 1},
        {"${T} = \"two words \"", {{"T", "two words "}}, 1},  // a lone quote closes one
        {"${P} = 'two words'", p, 0},  // single quotes do not span tokens
        {"${Q} = \"a \\\" b\"", {{"Q", "a \\\" b"}}, 1},  // an escaped quote does not close
        {"${Q} = \"a\\\"", {{"Q", "a\\\" b"}}, -1},
        {"${Q} = \"\\\" b\"", {{"Q", "\\\" b"}}, 1},
        // A lone quote is a whole operand, the empty text, and cannot open a quoted one.
        {"${Q} = \" x \"", {{"Q", " x "}}, -1},
    });
}

TEST(CondTest, GroupsAreEvaluatedByNestedEvaluation) {
    check_rows({
        {"( ${a} = 1 ) AND ( ${b} = 2 )", {{"a", "1"}, {"b", "2"}}, 1},
        {"( ${a} = 1 ) AND ( ${b} = 2 )", {{"a", "1"}, {"b", "3"}}, 0},
        {"( a = 1 )", {{"a", "1"}}, 0},  // operands are texts: "a" is not the property a
        {"(a = 1)", {{"a", "1"}}, 0},  // "(a" and "1)" are operands
        {"(a = (a", {}, 1},
        {"( x AND ( y OR z ) )", {{"x", ""}, {"z", ""}}, 1},
        {"( x AND ( y OR z ) )", {{"x", ""}}, 0},
        {"NOT ( x AND y )", {{"x", ""}}, 1},
        {"( ( ( x ) ) )", {{"x", ""}}, 1},
        {"( ( ( x ) ) ) AND ( ( y ) )", {{"x", ""}}, 0},
        {"x AND ( ( y ) OR ( ( z ) ) )", {{"x", ""}, {"z", ""}}, 1},
        {"( )", {}, 1},  // an empty group is an empty condition
        {"( ${P} = \"two   words\" )", {{"P", "two words"}}, 1},
        {"( ( x )", {{"x", ""}}, -1},
        {"( x ) )", {{"x", ""}}, -1},
    });
}

TEST(CondTest, MalformedConditionsFailWithTheirMessage) {
    check_error_rows({
        {"(", "ERROR: : cond_is_true: Right parentheses is missed"},
        {"( x = 1", "ERROR: : cond_is_true: Right parentheses is missed"},
        {"( ( x )", "ERROR: : cond_is_true: Right parentheses is missed"},
        {"x = \"abc", "ERROR: : cond_is_true: Right \" is missed"},
        {"x = \"a b c", "ERROR: : cond_is_true: Right \" is missed"},
        {"x = 1 NOT y = 2", "ERROR: : cond_is_true: negative is not allowed here"},
        {"( x ) NOT y", "ERROR: : cond_is_true: negative is not allowed here"},
        {"AND x", "ERROR: : cond_is_true: Logic should not be a first entry"},
        {"NOT OR x", "ERROR: : cond_is_true: Logic should not be a first entry"},
        {"\"x\" = y", "ERROR: : cond_is_true: token \"x\" in state 1 is invalid"},
        {"x\" = y", "ERROR: : cond_is_true: token x\" in state 1 is invalid"},
        {"= x", "ERROR: : cond_is_true: token = in state 1 is invalid"},
        {")", "ERROR: : cond_is_true: token ) in state 1 is invalid"},
        {"x = 1 )", "ERROR: : cond_is_true: token ) in state 1 is invalid"},
        {"x AND -eq", "ERROR: : cond_is_true: token -eq in state 1 is invalid"},
        {"x y", "ERROR: : cond_is_true: token y in state 3 is invalid"},
        {"x NOT", "ERROR: : cond_is_true: token NOT in state 3 is invalid"},
        {"x ( y", "ERROR: : cond_is_true: token ( in state 3 is invalid"},
        {"x -foo 1", "ERROR: : cond_is_true: token -foo in state 3 is invalid"},
        {"x = AND", "ERROR: : cond_is_true: token AND in state 4 is invalid"},
        {"x = NOT", "ERROR: : cond_is_true: token NOT in state 4 is invalid"},
        {"x = = y", "ERROR: : cond_is_true: token = in state 4 is invalid"},
        {"x = (", "ERROR: : cond_is_true: token ( in state 4 is invalid"},
        {"x = )", "ERROR: : cond_is_true: token ) in state 4 is invalid"},
        {"x = y\"", "ERROR: : cond_is_true: token y\" in state 4 is invalid"},
    });
}

TEST(CondTest, ConditionCutAfterOperatorOrLogicKeepsItsResult) {
    check_rows({
        {"x AND", {{"x", "1"}}, 1},
        {"${x} = 1 AND", {{"x", "1"}}, 1},
        {"${x} = 1 OR", {{"x", "2"}}, 0},
        {"${x} =", {{"x", "1"}}, 0},
        {"${x} = 1 AND ${y} =", {{"x", "1"}}, 1},
        {"NOT", {}, 0},
        {"x AND NOT", {{"x", "1"}}, 1},
    });
}

TEST(CondTest, LogsEachStepOfTheEvaluation) {
    LogCapture log;
    session_t session;
    env_set_string(&session, std::string("x"), std::string("1"));
    EXPECT_EQ(0, cond_is_true("x AND y", &session));
    EXPECT_TRUE(log.has_line(": cond_is_true: condition is 'x AND y'"));
    EXPECT_TRUE(log.has_line(": cond_is_true: this is a logic token. Execute already collected condition"));
    EXPECT_TRUE(log.has_line(": cond_is_true: result of the previosly collected condition is 1"));
    EXPECT_TRUE(log.has_line(": cond_is_true: result is 0"));
}

TEST(CondTest, DeepNestingIsBoundedNotRecursedWithoutLimit) {
    session_t session;
    env_set_string(&session, std::string("x"), std::string("1"));
    const auto nested = [](int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += "( ";
        text += "x";
        for (int i = 0; i < levels; ++i) text += " )";
        return text;
    };
    EXPECT_EQ(1, cond_is_true(nested(cond_group_depth_max), &session));
    {
        LogCapture log;
        EXPECT_EQ(-1, cond_is_true(nested(cond_group_depth_max + 1), &session));
        EXPECT_TRUE(log.has_line("ERROR: : cond_is_true: parentheses are nested deeper than 256 levels"));
    }
    std::string opened;
    for (int i = 0; i < 100000; ++i) opened += "( ";
    EXPECT_EQ(-1, cond_is_true(opened, &session));
    std::string negations;
    for (int i = 0; i < 100000; ++i) negations += "NOT ";
    EXPECT_EQ(1, cond_is_true(negations + "y", &session));
}

TEST(CondTest, LongOperandsAndGroupsAreKeptWhole) {
    session_t session;
    const std::string long_value = std::string(10000, 'a') + "b";
    env_set_string(&session, std::string("V"), long_value);
    EXPECT_EQ(1, cond_is_true("${V} >> ab", &session));
    EXPECT_EQ(1, cond_is_true("${V} = " + long_value, &session));
    EXPECT_EQ(0, cond_is_true("${V} = " + long_value + "c", &session));
    EXPECT_EQ(1, cond_is_true(long_value + " = " + long_value, &session));

    std::string words;
    for (int i = 0; i < 2000; ++i) words += " w" + std::to_string(i);
    env_set_string(&session, std::string("W"), words.substr(1));
    EXPECT_EQ(1, cond_is_true("${W} = \"" + words.substr(1) + "\"", &session));

    std::string group = "(";
    for (int i = 0; i < 2000; ++i) group += " V AND";
    group += " V )";
    EXPECT_GT(group.size(), 4096u);
    EXPECT_EQ(1, cond_is_true(group, &session));
    EXPECT_EQ(0, cond_is_true(group + " AND missing", &session));
}

TEST(CondTest, HiddenValuesStayOutOfTheLog) {
    session_t session;
    env_set_string(&session, std::string("PIN__HIDE__"), std::string("12.34"));
    env_set_string(&session, std::string("RE__HIDE__"), std::string("(secret"));
    LogCapture log;
    EXPECT_EQ(0, cond_is_true("${PIN__HIDE__} = 12.35", &session));
    EXPECT_EQ(1, cond_is_true("${PIN__HIDE__} < 12.35", &session));
    EXPECT_EQ(-1, cond_is_true("x =~ ${RE__HIDE__}", &session));
    EXPECT_TRUE(log.has_line(": compare_versions: versions to compare are '[HIDDEN]' and '[HIDDEN]'"));
    EXPECT_TRUE(log.has_line(": compare_versions: statement is false for [HIDDEN] 1 [HIDDEN]"));
    EXPECT_TRUE(log.has_line("ERROR: : execute: pattern [HIDDEN] is not valid regex"));
    EXPECT_EQ(std::string::npos, log.text().find("12.34"));
    EXPECT_EQ(std::string::npos, log.text().find("secret"));
}

TEST(CondTest, VersionsCompareAsFourNumberTuples) {
    const struct {
        const char* left;
        const char* right;
        int operation;
        int expected;
    } rows[] = {
        {"1.2", "1.2.0.0", 1, 1},     {"1.2", "1.2.0.1", 1, 0},     {"1.2", "1.2.0.0", 2, 0},
        {"1.2", "1.2.0.1", 2, 1},     {"1.2.3.4.5", "1.2.3.4.9", 1, 1}, {"1.10", "1.9", 6, 1},
        {"1.10", "1.9", 4, 0},        {"2.0", "1.99", 5, 1},       {"1.2.3.9", "1.2.4.0", 4, 1},
        {"1.2.3.4", "1.2.3.5", 3, 1}, {"1.2.3.5", "1.2.3.4", 3, 0}, {"", "0.0", 1, 1},
        {"", "0.1", 4, 1},            {"1..2", "1.0.2", 1, 1},     {"1.2", "1.2", 3, 1},
        {"1.2", "1.2", 5, 1},         {"1.2", "1.2", 4, 0},        {"1.2", "1.2", 6, 0},
        {"1.99999999999999999999", "1.99999999999999999998", 6, 1},
        {"1.2", "1.2", 7, 0},  // no order operation
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.left) + " op " + std::to_string(r.operation) + " " + r.right);
        EXPECT_EQ(r.expected, compare_versions(r.left, r.right, r.operation));
    }
}

}  // namespace
