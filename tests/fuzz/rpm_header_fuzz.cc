// Reads arbitrary bytes as an RPM package: lead, signature with its padding, main header, every
// tag of both headers, and the payload's cpio headers. A hostile package must fail cleanly, never
// read outside the input or allocate without bound.
#include <cstdint>
#include <memory>

#include "payload.h"
#include "rpm_extract.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    rpm_file_t rpm;
    if (rpm_parse(data, size, &rpm) != 0) return 0;
    for (const rpm_header_t* header : {&rpm.signature, &rpm.main}) {
        for (const rpm_entry_t& entry : header->entries) {
            rpm_field_t field;
            rpm_header_field(*header, entry.tag, &field);
        }
    }
    if (rpm.payload_offset > static_cast<int64_t>(size)) __builtin_trap();
    std::unique_ptr<payload_source> payload =
        payload_open_memory(data + rpm.payload_offset, size - static_cast<size_t>(rpm.payload_offset));
    if (!payload) return 0;
    cpio_entry_t entry;
    for (int i = 0; i < 64 && cpio_read_header(*payload, &entry) == 0; ++i) {
        if (payload->skip((entry.size + 3) & ~uint64_t(3)) != 0) break;
    }
    return 0;
}
