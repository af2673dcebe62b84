// Reads arbitrary bytes as a tar stream (plain, or compressed when it starts like gzip, xz or zstd)
// and extracts it into a fresh prefix: whatever the input, nothing may appear beside the prefix
// except the list of what was written.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "contentsprovidertgz.h"
#include "file.h"
#include "payload.h"

namespace {

class memory_source : public payload_source {
public:
    memory_source(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    int64_t read(void* buffer, size_t size) override {
        const size_t n = std::min(size, m_size - m_pos);
        if (n) memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        return static_cast<int64_t>(n);
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

int entries_in(const std::string& folder) {
    dir_ptr dir(opendir(folder.c_str()));
    int count = 0;
    while (dirent* entry = dir ? readdir(dir.get()) : nullptr) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size >= 512) {
        tar_header_t header;
        tar_header_parse(data, &header);
    }
    char base_template[] = "/tmp/lumo_tar_fuzz.XXXXXX";
    if (!mkdtemp(base_template)) return 0;
    const std::string base = base_template;
    {
        std::unique_ptr<payload_source> source;
        if (payload_detect(data, size) != payload_kind::unknown && payload_detect(data, size) != payload_kind::none)
            source = payload_open_memory(data, size);
        if (!source) source = std::make_unique<memory_source>(data, size);
        payload_extractor out(base + "/prefix", base + "/list");
        if (out.open() == 0) tar_extract(*source, out);
    }
    // The prefix and the list, nothing else: no entry escaped the prefix.
    if (entries_in(base) > 2) __builtin_trap();
    remove_dir(base);
    return 0;
}
