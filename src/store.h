// The package store: one file (install.cab) holding an index of entries addressed as
// component::name and their raw contents. Opened once at start-up and read for the whole run.
// The index is found from the end of the file, so other bytes may precede the store.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "file.h"

struct session_t;

constexpr int store_text_max = 8191;     // longest text field the reader accepts
constexpr int store_attached_max = 10;   // attached stores consulted after the own entries

// One index entry. A text field absent from the file reads as the empty string.
struct cab_item_t {
    std::string component;
    std::string name;
    std::string install_name;
    std::string target_name;
    int32_t type = 0;
    uint64_t install_size = 0;
    std::string install_uid;
    std::string group_id;
    std::string attrs;
    uint64_t store_size = 0;
    uint64_t store_offset = 0;
    std::string condition;
    std::string cksum;
};

struct cab_t {
    file_ptr file;
    std::vector<cab_item_t> items;
    int32_t last_item = -1;     // number of the last entry: the entry count minus one
    int64_t data_offset = 0;    // absolute file position of the content area
    int64_t file_size = 0;      // every offset and length read from the index is checked against it
    int32_t attached_last = -1;
    std::vector<cab_t> attached;
};

struct store_iter_t {
    cab_t* cab = nullptr;
    int not_inited = 1;      // 0 once store_iter_init ran
    int in_attached = 0;
    int attached_index = 0;
    int item_index = -1;
};

// Opens file_name and reads its index; 0, or -1 (logged) for a missing, damaged or hostile store.
int store_read_header(session_t* session, cab_t* cab, const char* file_name);
// Reads the index of the store already open in cab->file. On failure (-1, logged) the stream is
// closed and no entry is kept, so a damaged store is never half-read.
int store_read_cab(cab_t* cab);
// 1 when an entry of this store itself (not of the attached ones) matches, else 0.
int store_file_exists(cab_t* cab, const char* component, const char* name);
int store_component_exists(cab_t* cab, const char* component);
// The entry's number (0 or more) with *content (malloc'ed, NUL-terminated, freed by the caller)
// and *size filled; -2 when nothing matches; -1 when the content cannot be read or allocated.
int store_file_get_content(cab_t* cab, const char* component, const char* name, char** content,
                           int* size, cab_item_t* entry);
// The same, into a string; the std::string form used inside the engine.
int store_file_get_content(cab_t* cab, const std::string& component, const std::string& name,
                           std::string& content, cab_item_t* entry = nullptr);
// Streams the entry to target_path (parents created 0775) and applies its attrs; 0 or -1. A copy
// that fails part way is removed, so no truncated file is left in its place.
int store_file_extract(session_t* session, cab_t* cab, const char* component, const char* name,
                       const char* target_path);
// The mode an extracted entry gets: its attrs without setuid, setgid and world-write (logged),
// unless root runs with LUMO_KEEP_SETID set to "1"; a null session never keeps them.
mode_t store_safe_mode(session_t* session, unsigned mode, const char* target_path);
// Attaches another opened store, searched after this one; 0, or -1 beyond store_attached_max.
int store_attach(cab_t* cab, cab_t&& other);
int store_iter_init(cab_t* cab, store_iter_t* iter);
cab_item_t* store_iter_next(store_iter_t* iter);

// 9 bytes (the value big-endian, then NUL), malloc'ed and owned by the caller; null when out of memory.
unsigned char* pack_i64(uint64_t value);
uint64_t unpack_i64(const unsigned char* buffer);
// Clears size bytes of buffer and writes at most size decimal digits of value into it.
char* ultoa(uint64_t value, char* buffer, int size);
