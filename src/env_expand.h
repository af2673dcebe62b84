// Operand expansion: ${name} and $<name> references in configurable text are replaced by property
// values, one pair of surrounding quotes is removed and four character references are decoded,
// pass after pass until the text settles.
#pragma once

#include <cstddef>
#include <string>

struct session_t;

constexpr int expand_max_passes = 64;  // a cycle of references stops here, with one log line
// A longer result stops the expansion, with one log line: values whose references double on each
// pass would otherwise fill memory. The result is then the last text within the bound (the
// operand itself when the first pass already exceeds it).
constexpr size_t expand_result_max = 1u << 20;

// The expanded text; "" for a null session or operand.
std::string expand_operand(session_t* session, const char* op);
std::string expand_operand(session_t* session, const std::string& op);
// One pass into a malloc'ed buffer the caller frees; null for a null argument; an erroneous
// operand (a reference with no closing character) comes back unchanged.
char* expand_operand_internal(session_t* session, const char* op);
// A malloc'ed copy of text with &lt; &gt; &quot; &amp; decoded in that order; null for null text.
char* env_replace_tags(const char* text);
std::string env_replace_tags(const std::string& text);
