// Writes package stores in the layout the store reader expects: the index of entries, their raw
// contents, and the tail that locates the index from the end of the file. Contents are streamed
// from their sources, so a store of any size is written in bounded memory.
#pragma once

#include <string>
#include <vector>

#include "store.h"

// One entry to write. The writer fills install_size, store_size and store_offset of item itself;
// every other field of item is written as given ("" writes an absent text).
struct store_write_entry_t {
    cab_item_t item;
    std::string source_path;  // the content is this file's bytes ...
    std::string bytes;        // ... or, when from_memory is set, these
    bool from_memory = false;
};

// Builds the store at out_path. It is written to out_path + ".tmp" and renamed into place only when
// complete, so a failure leaves neither file behind. 0, or -1 (logged) for an empty list, an entry
// without component or name, a text longer than store_text_max, a source that is not a readable
// regular file or changes size while it is copied, or a failed write.
int store_write(const std::string& out_path, const std::vector<store_write_entry_t>& entries);
