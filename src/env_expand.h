// Operand expansion: ${name} and $<name> references in configurable text are replaced by property
// values, one pair of surrounding quotes is removed and four character references are decoded,
// pass after pass until the text settles.
#pragma once

#include <string>

struct session_t;

constexpr int expand_max_passes = 64;  // a cycle of references stops here, with one log line

// The expanded text; "" for a null session or operand.
std::string expand_operand(session_t* session, const char* op);
std::string expand_operand(session_t* session, const std::string& op);
// One pass into a malloc'ed buffer the caller frees; null for a null argument; an erroneous
// operand (a reference with no closing character) comes back unchanged.
char* expand_operand_internal(session_t* session, const char* op);
// A malloc'ed copy of text with &lt; &gt; &quot; &amp; decoded in that order; null for null text.
char* env_replace_tags(const char* text);
std::string env_replace_tags(const std::string& text);
