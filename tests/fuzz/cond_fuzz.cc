// Feeds arbitrary text to the condition evaluator on a fresh session that holds a few properties,
// so that references, version and text comparisons and patterns all meet real values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "cond.h"
#include "env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    session_t session;
    env_set_string(&session, std::string("A"), std::string("1.10"));
    env_set_string(&session, std::string("P"), std::string("two words"));
    env_set_string(&session, std::string("R"), std::string("${A}"));
    cond_is_true(std::string(reinterpret_cast<const char*>(data), size), &session);
    return 0;
}
