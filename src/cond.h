// The condition language that guards steps, dialog lines, string tables, components, prerequisite
// checks and coexistence filters: comparisons of expanded operands, property-existence tests, NOT,
// AND/OR/XOR taken strictly from left to right, parentheses and quoted right operands.
#pragma once

#include <string>

struct session_t;

// Parentheses nested deeper than this are refused: every level is evaluated by a nested call.
constexpr int cond_group_depth_max = 256;

// 1 when the condition holds, 0 when it does not, -1 for a malformed condition or a null session.
// An empty or blank condition is true. Callers treat only 1 as true.
int cond_is_true(const std::string& condition, session_t* session);
// Whether a guard lets its element through: an empty condition always does, any other only when
// cond_is_true gives 1 (an erroneous condition holds nothing).
bool cond_holds(const std::string& condition, session_t* session);

// One comparison of left and right (both expanded first) by the operation in either spelling
// ("=" or "-eq", ...). An empty operation tests whether a property named left exists (left is not
// expanded for that). 1 or 0; -1 for a null session, an unknown operation or an invalid pattern.
int execute(const std::string& left, const std::string& operation, const std::string& right,
            session_t* session);

// The operation number 1-11; -1 (logged) for a token that is no operation. Letter forms are
// matched in any case, symbol forms exactly.
int get_operation(const std::string& token);

constexpr int cond_merge_none = 0;
constexpr int cond_merge_and = -1;
constexpr int cond_merge_or = 1;
constexpr int cond_merge_xor = -2;

// The logic mode of AND, OR or XOR in any case; none for "" and (logged) for anything else.
int get_merge_mode(const std::string& token);
// previous and current combined by the mode; -1 for an unknown mode. AND of two errors stays an
// error (-1) rather than becoming true.
int merge_result(int previous, int current, int mode);

// Compares up to four dot-separated decimal parts (missing parts are 0, further parts ignored) by
// operation 1-6; 1 when the comparison holds, else 0. Parts of any length are compared exactly.
int compare_versions(const std::string& left, const std::string& right, int operation);

// 1 for "" or ASCII digits only.
int is_operand_number(const std::string& text);
// 1 for "" or ASCII digits and dots only.
int is_operand_version(const std::string& text);
// 1 for "" or only spaces, tabs, carriage returns and line feeds.
int is_operand_empty(const std::string& text);
