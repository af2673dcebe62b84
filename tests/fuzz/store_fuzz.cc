// Reads arbitrary bytes as a package store: the index, every entry's content by lookup, and the
// iterator. A damaged or hostile store must fail cleanly, never crash or allocate without bound.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // an in-memory stream needs at least one byte
    std::vector<uint8_t> bytes(data, data + size);
    cab_t cab;
    cab.file.reset(fmemopen(bytes.data(), bytes.size(), "rb"));
    if (!cab.file) return 0;
    if (store_read_cab(&cab) != 0) return 0;
    store_iter_t iter;
    if (store_iter_init(&cab, &iter) != 0) return 0;
    while (cab_item_t* item = store_iter_next(&iter)) {
        std::string content;
        cab_item_t entry;
        store_file_get_content(&cab, item->component, item->name, content, &entry);
        char* buffer = nullptr;
        int length = 0;
        if (store_file_get_content(&cab, item->component.c_str(), item->name.c_str(), &buffer, &length, nullptr) >= 0)
            free(buffer);
        store_component_exists(&cab, item->component.c_str());
    }
    return 0;
}
