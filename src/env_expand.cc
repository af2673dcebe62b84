#include "env_expand.h"

#include <cstdlib>
#include <cstring>

#include "env.h"
#include "log.h"
#include "utils.h"

namespace {

// Each reference replaces every occurrence left to right and never rescans what it inserted, and
// &amp; goes last, so "&amp;lt;" decodes to "&lt;".
enum class pass_result { plain, replaced, erroneous, too_long };

// One expansion pass over op into out.
pass_result expand_pass(session_t* session, const std::string& op, std::string& out) {
    out.clear();
    if (op.empty()) return pass_result::plain;
    std::string text = op;
    if (text.size() >= 2 && ((text.front() == '\'' && text.back() == '\'') ||
                              (text.front() == '"' && text.back() == '"'))) {
        text = text.substr(1, text.size() - 2);
    }
    if (op.find("${") == std::string::npos) {
        out = decode_character_references(text);
        return pass_result::plain;
    }
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool starts = c == '$' && i + 1 < text.size() && (i == 0 || text[i - 1] != '\\') &&
                            (text[i + 1] == '{' || text[i + 1] == '<');
        if (!starts) {
            result += c;
            continue;
        }
        size_t close = text.find('}', i);
        if (close == std::string::npos) close = text.find('>', i);
        if (close == std::string::npos) {
            // The text of a later pass holds property values: a hidden one must not reach the log.
            error("expand_operand: operand %s is erroneous\n", env_mask_hidden(session, op).c_str());
            out = op;
            return pass_result::erroneous;
        }
        // "$<}" or "${>" leave an empty name; the closing character is never part of it.
        const size_t name_start = i + 2;
        const std::string name = close > name_start ? text.substr(name_start, close - name_start) : "";
        result += env_get_string(session, name);
        // Checked as it grows: one pass over many references to a long value could take
        // gigabytes before the pass ends.
        if (result.size() > expand_result_max) return pass_result::too_long;
        i = close;
    }
    out = decode_character_references(result);
    return pass_result::replaced;
}

void log_too_long(session_t* session, const std::string& op) {
    error("expand_operand: operand %.64s expands to more than %d bytes, expansion stopped",
          env_mask_hidden(session, op).c_str(), static_cast<int>(expand_result_max));
}

std::string expand_all(session_t* session, const std::string& op) {
    std::string current;
    pass_result state = expand_pass(session, op, current);
    int passes = 1;
    if (state == pass_result::too_long) {
        log_too_long(session, op);
        return op;
    }
    // A pass that replaced references is followed by another, which resolves references inside
    // the values and decodes again; a pass without references or without change ends it.
    while (state == pass_result::replaced) {
        if (passes >= expand_max_passes) {
            error("expand_operand: operand %s does not settle after %d passes, references may refer to each other",
                  env_mask_hidden(session, op).c_str(), passes);
            break;
        }
        std::string next;
        state = expand_pass(session, current, next);
        ++passes;
        if (state == pass_result::too_long) {  // the last text that kept within the bound is the result
            log_too_long(session, op);
            break;
        }
        if (next == current) break;
        current.swap(next);
    }
    return current;
}

char* copy_out(const std::string& text) {
    char* copy = static_cast<char*>(malloc(text.size() + 1));
    if (!copy) {
        error("expand_operand: result calloc failure.");
        return nullptr;
    }
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace

std::string expand_operand(session_t* session, const std::string& op) {
    if (!session) {
        LOG_NULL_PARAM();
        return "";
    }
    return expand_all(session, op);
}

std::string expand_operand(session_t* session, const char* op) {
    if (!session || !op) {
        LOG_NULL_PARAM();
        return "";
    }
    return expand_all(session, std::string(op));
}

char* expand_operand_internal(session_t* session, const char* op) {
    if (!session || !op) {
        LOG_NULL_PARAM();
        return nullptr;
    }
    std::string out;
    if (expand_pass(session, op, out) == pass_result::too_long) {
        log_too_long(session, op);
        out = op;
    }
    return copy_out(out);
}

std::string env_replace_tags(const std::string& text) { return decode_character_references(text); }

char* env_replace_tags(const char* text) {
    if (!text) {
        error("env_replace_tags: input string is NULL");
        return nullptr;
    }
    return copy_out(decode_character_references(text));
}
