// Reader of the RPM package format: the lead, the signature header with its padding, the main
// header's tags and the payload's offset, and the engine's own extraction of the payload's cpio
// archive. Every count, size and offset read from a file is checked against the file before use,
// so a damaged or hostile package fails cleanly.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class payload_source;
class payload_extractor;

constexpr uint32_t rpm_tag_name = 1000;
constexpr uint32_t rpm_tag_version = 1001;
constexpr uint32_t rpm_tag_release = 1002;
constexpr uint32_t rpm_tag_summary = 1004;
constexpr uint32_t rpm_tag_prein = 1023;
constexpr uint32_t rpm_tag_postin = 1024;
constexpr uint32_t rpm_tag_preun = 1025;
constexpr uint32_t rpm_tag_postun = 1026;
constexpr uint32_t rpm_tag_arch = 1022;
constexpr uint32_t rpm_tag_preinprog = 1085;
constexpr uint32_t rpm_tag_postinprog = 1086;
constexpr uint32_t rpm_tag_preunprog = 1087;
constexpr uint32_t rpm_tag_postunprog = 1088;
constexpr uint32_t rpm_tag_prefixes = 1098;
constexpr uint32_t rpm_tag_payloadcompressor = 1125;

constexpr uint32_t rpm_index_max = 0xffff;        // index entries of one header
constexpr uint32_t rpm_data_max = 0x0fffffff;     // data bytes of one header
constexpr size_t rpm_text_max = 16383;            // longest text a field yields (longer is cut, logged)

struct rpm_entry_t {
    uint32_t tag = 0;
    uint32_t type = 0;
    uint32_t offset = 0;
    uint32_t count = 0;
};

struct rpm_header_t {
    std::vector<rpm_entry_t> entries;
    std::vector<unsigned char> data;
};

struct rpm_file_t {
    rpm_header_t signature;
    rpm_header_t main;
    int64_t payload_offset = 0;
    int64_t file_size = 0;
};

// A tag's value: type 0 (null: size -1), 1 (char) and 4 (int32) in number with size 1 or 4; 6, 8
// and 9 (string, string array, localised string) as type 6 in text, the strings joined by "\n",
// size its length. type and size -1 for a missing tag or a bad entry.
struct rpm_field_t {
    int type = -1;
    int size = -1;
    uint32_t number = 0;
    std::string text;
};

// Big-endian value of buffer[offset] .. buffer[offset + 3].
uint32_t buf2i(const unsigned char* buffer, int offset);
// One value at base + offset of the stream (whose position is kept). 0, or -1 when it can't be read.
int extract_int32(FILE* file, int64_t base, int64_t offset, uint32_t* value);
int extract_char(FILE* file, int64_t base, int64_t offset, int* value);
// count NUL-terminated strings from base + offset joined by "\n", at most rpm_text_max bytes.
int extract_string(FILE* file, int64_t base, int64_t offset, int count, std::string* text);

// Parses a header (intro, index, data) at the start of bytes; *used gets its length. 0 or -1.
int rpm_header_parse(const unsigned char* bytes, size_t size, rpm_header_t* header, size_t* used);
// Lead, signature (with the padding to eight bytes), main header and payload offset, from memory
// or from a file. 0 or -1 (logged).
int rpm_parse(const unsigned char* bytes, size_t size, rpm_file_t* rpm);
int rpm_read(const std::string& path, rpm_file_t* rpm);
// The tag of the header. 0 when found, -1 otherwise.
int rpm_header_field(const rpm_header_t& header, uint32_t tag, rpm_field_t* field);
int rpm_get_field(const std::string& path, unsigned tag, rpm_field_t* field);
// Copies the payload, unchanged, to output (written beside it and renamed). 0 or -1.
int rpm_get_archive(const std::string& package, const std::string& output);

// One entry of a "newc" cpio archive.
struct cpio_entry_t {
    std::string name;
    uint32_t ino = 0;
    uint32_t mode = 0;
    uint32_t nlink = 0;
    uint32_t mtime = 0;
    uint64_t size = 0;
    uint32_t dev_major = 0;
    uint32_t dev_minor = 0;
};
// Reads the next header and its name (the data stays for the caller). 0 for an entry, 1 for the
// trailer, -1 for a damaged header or a truncated stream.
int cpio_read_header(payload_source& source, cpio_entry_t* entry);

// What an extraction did.
struct rpm_extract_result_t {
    int status = -1;      // 0 when every entry went in its place
    int64_t entries = 0;  // entries written
    int64_t skipped = 0;  // entries outside the package's relocatable prefix, or of other types
};
// Writes the payload of the package under the extractor's prefix: entries under the package's
// default prefix (empty for none) land below the extractor's prefix with that part cut off; the
// rest is skipped with a log line.
rpm_extract_result_t rpm_extract_payload(const std::string& package, const rpm_file_t& rpm,
                                         const std::string& default_prefix, payload_extractor& out);
// The same over a cpio stream already opened.
rpm_extract_result_t rpm_extract_cpio(payload_source& source, const std::string& default_prefix,
                                      payload_extractor& out);
