// Feeds arbitrary text to the answer-file reader, and holds it to what the loader relies on: every
// setting it returns has a property name and a one-line value, and a clean parse reports nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "silent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<silent_setting_t> settings;
    std::vector<silent_problem_t> problems;
    const int result = silent_parse(text, settings, problems);
    if ((result == 0) != problems.empty()) abort();
    for (const silent_setting_t& setting : settings) {
        if (setting.name.empty() || setting.name.find_first_of("=\n\r -") != std::string::npos) abort();
        if (setting.value.find_first_of("\n") != std::string::npos) abort();
        if (setting.line < 1) abort();
    }
    return 0;
}
