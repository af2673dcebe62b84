// Expands arbitrary text against a session whose properties refer to each other, to text with
// quotes and to character references; the expansion must settle, stay bounded and never overrun.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "env.h"
#include "env_expand.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    static std::unique_ptr<session_t> owner = [] {
        auto s = std::make_unique<session_t>();
        env_set_string(s.get(), "A", "x");
        env_set_string(s.get(), "B", "${A}y");
        env_set_string(s.get(), "X", "${Y}");
        env_set_string(s.get(), "Y", "${X}");
        env_set_string(s.get(), "G", "a${G}");
        env_set_string(s.get(), "Q", "'${A}'");
        env_set_string(s.get(), "R", "&amp;lt;${B}&gt;");
        return s;
    }();
    session_t* session = owner.get();
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string expanded = expand_operand(session, text);
    (void)expanded;
    char* once = expand_operand_internal(session, text.c_str());
    free(once);
    char* tags = env_replace_tags(text.c_str());
    free(tags);
    return 0;
}
