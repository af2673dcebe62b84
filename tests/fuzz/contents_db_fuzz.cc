// Reads arbitrary bytes as lines of the contents database: every record splits into its pieces,
// and a record written from those pieces reads back as the same pieces.
#include <cstdint>
#include <string>
#include <vector>

#include "contentsprovider.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::vector<std::string> pieces = contents_record_split(text.substr(start, end - start));
        if (pieces.size() >= 5) {
            const std::string line = contents_record_format(pieces[1], pieces[2], pieces[3], pieces[4]);
            const std::vector<std::string> again = contents_record_split(line);
            if (again.size() != 6 || again[1] != pieces[1] || again[2] != pieces[2] || again[3] != pieces[3] ||
                again[4] != pieces[4])
                __builtin_trap();
        }
        start = end + 1;
    }
    return 0;
}
