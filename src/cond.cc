#include "cond.h"

#include <regex.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "env.h"
#include "env_expand.h"
#include "log.h"
#include "utils.h"

namespace {

// The numbers appear in the "token ... in state %d is invalid" message, so they are fixed.
enum cond_state {
    EXPECT_TERM = 1,
    IN_GROUP = 2,
    AFTER_LEFT = 3,
    AFTER_OPERATOR = 4,
    IN_QUOTE = 5,
};

constexpr int op_equal = 1;
constexpr int op_not_equal = 2;
constexpr int op_less_equal = 3;
constexpr int op_less = 4;
constexpr int op_greater_equal = 5;
constexpr int op_greater = 6;
constexpr int op_starts = 7;
constexpr int op_ends = 8;
constexpr int op_contains = 9;
constexpr int op_not_contains = 10;
constexpr int op_regex = 11;

// Row n - 1 holds the two spellings of operation n.
const struct {
    const char* symbol;
    const char* letters;
} operation_forms[] = {
    {"=", "-eq"},    {"!=", "-ne"},   {"<=", "-le"},  {"<", "-lt"},    {">=", "-ge"}, {">", "-gt"},
    {"<<", "-start"}, {">>", "-end"}, {"><", "-inc"}, {"<>", "-ninc"}, {"=~", "-re"},
};

// ASCII only: a condition's keywords must not change meaning with the locale.
bool equals_ignoring_case(const std::string& text, const char* word) {
    const size_t length = strlen(word);
    if (text.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        char w = word[i];
        if (w >= 'A' && w <= 'Z') w = static_cast<char>(w - 'A' + 'a');
        if (c != w) return false;
    }
    return true;
}

// The operation number, or -1 without a log line: the parser asks this of every token.
int find_operation(const std::string& token) {
    int number = 1;
    for (const auto& form : operation_forms) {
        if (token == form.symbol || equals_ignoring_case(token, form.letters)) return number;
        ++number;
    }
    return -1;
}

bool is_negation(const std::string& token) { return token == "!" || equals_ignoring_case(token, "NOT"); }

bool is_logic(const std::string& token) {
    return equals_ignoring_case(token, "AND") || equals_ignoring_case(token, "OR") ||
           equals_ignoring_case(token, "XOR");
}

bool is_operator(const std::string& token) { return find_operation(token) > 0; }

// A closing double quote: the last character, not escaped by a backslash before it. A lone quote
// closes too.
bool ends_with_quote(const std::string& token) {
    if (token.empty() || token.back() != '"') return false;
    return token.size() == 1 || token[token.size() - 2] != '\\';
}

int negated(int value) { return value == 0 ? 1 : 0; }

// The decimal value of a run of digits without its leading zeros, so that numbers of any length
// compare exactly: the longer is greater, and equal lengths compare digit by digit.
std::string significant_digits(const std::string& digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

int compare_numbers(const std::string& left, const std::string& right) {
    const std::string l = significant_digits(left);
    const std::string r = significant_digits(right);
    if (l.size() != r.size()) return l.size() < r.size() ? -1 : 1;
    const int order = l.compare(r);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// std::string compares its bytes as unsigned characters, which is the order texts are given.
int compare_texts(const std::string& left, const std::string& right) {
    const int order = left.compare(right);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

// Whether operation 1-6 holds for an order of -1, 0 or 1 (left against right).
bool order_satisfies(int order, int operation) {
    switch (operation) {
        case op_equal: return order == 0;
        case op_not_equal: return order != 0;
        case op_less_equal: return order <= 0;
        case op_less: return order < 0;
        case op_greater_equal: return order >= 0;
        case op_greater: return order > 0;
        default: return false;
    }
}

constexpr int version_parts = 4;

// The first four dot-separated parts, each as the significant digits of its leading digit run
// (a part without digits, and a missing part, are 0).
std::vector<std::string> version_numbers(const std::string& version) {
    std::vector<std::string> numbers(version_parts);
    size_t start = 0;
    for (int part = 0; part < version_parts && start <= version.size(); ++part) {
        size_t end = version.find('.', start);
        if (end == std::string::npos) end = version.size();
        size_t digits_end = start;
        while (digits_end < end && version[digits_end] >= '0' && version[digits_end] <= '9') ++digits_end;
        numbers[part] = significant_digits(version.substr(start, digits_end - start));
        start = end + 1;
    }
    return numbers;
}

// The log shows the numbers as int; a part beyond that range shows as INT_MAX, while the
// comparison itself uses every digit.
int number_for_log(const std::string& digits) {
    long long value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

// compare_versions with the values kept out of the log when they come from a hidden property.
int versions_compare(const std::string& left, const std::string& right, int operation, bool hidden) {
    if (hidden) {
        print_log("compare_versions: versions to compare are '%s' and '%s'", "[HIDDEN]", "[HIDDEN]");
    } else {
        print_log("compare_versions: versions to compare are '%s' and '%s'", left.c_str(), right.c_str());
    }
    const std::vector<std::string> l = version_numbers(left);
    const std::vector<std::string> r = version_numbers(right);
    // The first differing part decides; when the first three agree the fourth does. This is the
    // order of the four-number tuples.
    int part = 0;
    while (part < version_parts - 1 && compare_numbers(l[part], r[part]) == 0) ++part;
    if (order_satisfies(compare_numbers(l[part], r[part]), operation)) {
        print_log("compare_versions: statement is true");
        return 1;
    }
    if (hidden) {
        print_log("compare_versions: statement is false for [HIDDEN] %d [HIDDEN]", operation);
    } else {
        print_log("compare_versions: statement is false for %d %d %d", number_for_log(l[part]), operation,
                  number_for_log(r[part]));
    }
    return 0;
}

int match_regex(const std::string& left, const std::string& pattern, const char* shown_pattern) {
    if (regex_too_complex(pattern)) {
        error("execute: pattern %s is too complex", shown_pattern);
        return -1;
    }
    const regex_ptr regex = get_regex(pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (!regex) {
        error("execute: pattern %s is not valid regex", shown_pattern);
        return -1;
    }
    return regmatch(regex.get(), left.c_str(), 0) == 1 ? 1 : 0;
}

// The running evaluation of one condition text.
struct cond_eval_t {
    int state = EXPECT_TERM;
    int result = 0;
    int mode = cond_merge_none;
    bool negate = false;
    int terms = 0;
    int depth = 0;
    std::string left;
    std::string oper;
    std::string group;  // the tokens of a group, or of a quoted right operand
};

// Folds one term's value into the result with the logic mode in force.
void take_term(cond_eval_t& eval, int value) {
    if (eval.negate) value = negated(value);
    eval.result = merge_result(eval.result, value, eval.mode);
    eval.negate = false;
    ++eval.terms;
}

// Tokens are separated by spaces only; a run of spaces is one separator.
std::vector<std::string> split_tokens(const std::string& condition) {
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < condition.size()) {
        const size_t start = condition.find_first_not_of(' ', pos);
        if (start == std::string::npos) break;
        size_t end = condition.find(' ', start);
        if (end == std::string::npos) end = condition.size();
        tokens.push_back(condition.substr(start, end - start));
        pos = end;
    }
    return tokens;
}

int invalid_token(session_t* session, const std::string& token, int state) {
    error("cond_is_true: token %s in state %d is invalid", env_mask_hidden(session, token).c_str(), state);
    return -1;
}

}  // namespace

int is_operand_number(const std::string& text) {
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
    }
    return 1;
}

int is_operand_version(const std::string& text) {
    for (char c : text) {
        if ((c < '0' || c > '9') && c != '.') return 0;
    }
    return 1;
}

int is_operand_empty(const std::string& text) {
    return text.find_first_not_of(" \t\r\n") == std::string::npos ? 1 : 0;
}

int get_operation(const std::string& token) {
    const int number = find_operation(token);
    if (number < 0) error("get_operation: Unknown operation type %s", token.c_str());
    return number;
}

int get_merge_mode(const std::string& token) {
    if (token.empty()) return cond_merge_none;
    if (equals_ignoring_case(token, "AND")) return cond_merge_and;
    if (equals_ignoring_case(token, "OR")) return cond_merge_or;
    if (equals_ignoring_case(token, "XOR")) return cond_merge_xor;
    error("get_merge_mode: invalid merge mode '%s'", token.c_str());
    return cond_merge_none;
}

int merge_result(int previous, int current, int mode) {
    switch (mode) {
        case cond_merge_none: return current;
        case cond_merge_or: return previous == 1 ? 1 : current;
        // The product of the two values, except that two errors stay an error: multiplied they
        // would make a guard with two broken terms true.
        case cond_merge_and: return previous == -1 && current == -1 ? -1 : previous * current;
        case cond_merge_xor: return previous + current == 1 ? 1 : 0;
        default: return -1;
    }
}

int compare_versions(const std::string& left, const std::string& right, int operation) {
    return versions_compare(left, right, operation, false);
}

int execute(const std::string& left, const std::string& operation, const std::string& right,
            session_t* session) {
    if (!session) {
        print_log("execute: session argument is NULL");
        return -1;
    }
    if (operation.empty()) return env_exists(session, left) ? 1 : 0;
    const std::string r = expand_operand(session, right);
    const std::string l = expand_operand(session, left);
    const int number = get_operation(operation);
    if (number < 0) {
        error("execute: Unknown operation.");
        return -1;
    }
    // An operand that names a hidden property, or whose value holds a hidden value, keeps its
    // value out of the log.
    const bool named_hidden =
        left.find("__HIDE__") != std::string::npos || right.find("__HIDE__") != std::string::npos;
    const bool hidden = named_hidden || env_mask_hidden(session, l) != l || env_mask_hidden(session, r) != r;
    switch (number) {
        case op_starts: return !r.empty() && l.compare(0, r.size(), r) == 0 ? 1 : 0;
        case op_ends:
            return !r.empty() && l.size() >= r.size() && l.compare(l.size() - r.size(), r.size(), r) == 0 ? 1 : 0;
        case op_contains: return l.find(r) != std::string::npos ? 1 : 0;
        case op_not_contains: return l.find(r) == std::string::npos ? 1 : 0;
        case op_regex: return match_regex(l, r, named_hidden ? "[HIDDEN]" : env_mask_hidden(session, r).c_str());
        default: break;
    }
    if (is_operand_number(l) && is_operand_number(r)) return order_satisfies(compare_numbers(l, r), number) ? 1 : 0;
    if (is_operand_version(l) && is_operand_version(r)) return versions_compare(l, r, number, hidden);
    return order_satisfies(compare_texts(l, r), number) ? 1 : 0;
}

namespace {

// Each token reader takes one token in its state: 0 to go on, -1 when the condition is invalid.

int read_term_start(cond_eval_t& eval, const std::string& token, session_t* session) {
    eval.left.clear();
    eval.oper.clear();
    if (is_negation(token)) {
        // Without a logic word a negation could only start a second term that
        // replaces the first, which is never what the author meant.
        if (eval.terms > 0 && eval.mode == cond_merge_none) {
            error("cond_is_true: negative is not allowed here");
            return -1;
        }
        eval.negate = true;
    } else if (is_logic(token)) {
        if (eval.terms == 0) {
            error("cond_is_true: Logic should not be a first entry");
            return -1;
        }
        eval.mode = get_merge_mode(token);
    } else if (token == "(") {
        eval.group.clear();
        eval.depth = 1;
        eval.state = IN_GROUP;
    } else if (token.front() == '"' || ends_with_quote(token) || is_operator(token) || token == ")") {
        return invalid_token(session, token, eval.state);
    } else {
        eval.left = token;
        eval.state = AFTER_LEFT;
    }
    return 0;
}

int read_after_left(cond_eval_t& eval, const std::string& token, session_t* session) {
    if (is_logic(token)) {
        print_log("cond_is_true: this is a logic token. Execute already collected condition");
        take_term(eval, execute(eval.left, "", "", session));
        print_log("cond_is_true: result of the previosly collected condition is %d", eval.result);
        eval.mode = get_merge_mode(token);
        eval.state = EXPECT_TERM;
    } else if (is_operator(token)) {
        eval.oper = token;
        eval.state = AFTER_OPERATOR;
    } else {
        return invalid_token(session, token, eval.state);
    }
    return 0;
}

int read_right_operand(cond_eval_t& eval, const std::string& token, session_t* session) {
    if (token.front() == '"') {
        if (!ends_with_quote(token)) {
            eval.group = token;
            eval.state = IN_QUOTE;
            return 0;
        }
        // A lone quote opens and closes at once: the empty text.
        take_term(eval, execute(eval.left, eval.oper, token == "\"" ? std::string() : token, session));
        eval.state = EXPECT_TERM;
        return 0;
    }
    if (is_negation(token) || is_logic(token) || is_operator(token) || ends_with_quote(token) || token == "(" ||
        token == ")") {
        return invalid_token(session, token, eval.state);
    }
    take_term(eval, execute(eval.left, eval.oper, token, session));
    // After an unquoted right operand a following term without a logic word replaces the result
    // instead of being merged.
    eval.mode = cond_merge_none;
    eval.state = EXPECT_TERM;
    return 0;
}

void read_quoted(cond_eval_t& eval, const std::string& token, session_t* session) {
    // Runs of spaces inside the quotes were separators and come back as one space.
    eval.group += ' ';
    eval.group += token;
    if (ends_with_quote(token)) {
        take_term(eval, execute(eval.left, eval.oper, eval.group, session));
        eval.group.clear();
        eval.state = EXPECT_TERM;
    }
}

int read_group(cond_eval_t& eval, const std::string& token, session_t* session) {
    if (token == "(") {
        // Each level is evaluated by a nested call, so the depth bounds the stack.
        if (eval.depth >= cond_group_depth_max) {
            error("cond_is_true: parentheses are nested deeper than %d levels", cond_group_depth_max);
            return -1;
        }
        eval.group += " (";
        ++eval.depth;
    } else if (token == ")") {
        --eval.depth;
        if (eval.depth > 0) {
            eval.group += " )";
        } else {
            take_term(eval, cond_is_true(eval.group, session));
            eval.group.clear();
            eval.state = EXPECT_TERM;
        }
    } else {
        eval.group += ' ';
        eval.group += token;
    }
    return 0;
}

int read_token(cond_eval_t& eval, const std::string& token, session_t* session) {
    switch (eval.state) {
        case EXPECT_TERM: return read_term_start(eval, token, session);
        case AFTER_LEFT: return read_after_left(eval, token, session);
        case AFTER_OPERATOR: return read_right_operand(eval, token, session);
        case IN_QUOTE: read_quoted(eval, token, session); return 0;
        case IN_GROUP: return read_group(eval, token, session);
    }
    return 0;
}

}  // namespace

int cond_is_true(const std::string& condition, session_t* session) {
    if (!session) {
        error("cond_is_true: session is NULL");
        return -1;
    }
    if (!condition.empty()) print_log("cond_is_true: condition is '%s'", env_mask_hidden(session, condition).c_str());
    if (is_operand_empty(condition)) return 1;

    cond_eval_t eval;
    for (const std::string& token : split_tokens(condition)) {
        if (read_token(eval, token, session) != 0) return -1;
    }
    switch (eval.state) {
        case AFTER_LEFT: take_term(eval, execute(eval.left, "", "", session)); break;
        case IN_GROUP: error("cond_is_true: Right parentheses is missed"); return -1;
        case IN_QUOTE: error("cond_is_true: Right \" is missed"); return -1;
        default: break;  // a condition cut after an operator or a logic word keeps what it has
    }
    print_log("cond_is_true: result is %d", eval.result);
    return eval.result;
}

bool cond_holds(const std::string& condition, session_t* session) {
    return condition.empty() || cond_is_true(condition, session) == 1;
}
