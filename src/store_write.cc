#include "store_write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "file.h"
#include "log.h"

namespace {


constexpr unsigned char index_magic[4] = {0xAA, 0xAA, 0xAA, 0xAA};
constexpr unsigned char index_end[4] = {0xBB, 0xBB, 0xBB, 0xBB};
constexpr unsigned char separator[2] = {0, 0};
constexpr size_t copy_block_size = 64 * 1024;

// Appends to the output and remembers the first failure, so the writing code reads straight and
// the result is checked once at the end.
class store_output {
public:
    explicit store_output(FILE* file) : m_file(file) {}
    void bytes(const void* data, size_t size) {
        if (m_ok && size > 0 && fwrite(data, 1, size, m_file) != size) m_ok = false;
        m_written += size;
    }
    void number(uint64_t value) {
        unsigned char packed[8];
        for (int i = 7; i >= 0; --i) {
            packed[i] = static_cast<unsigned char>(value & 0xFF);
            value >>= 8;
        }
        bytes(packed, sizeof packed);
    }
    void integer_field(uint64_t value) {
        bytes(separator, sizeof separator);
        number(value);
    }
    // An empty text is written as absent: length 0 and no bytes.
    void text_field(const std::string& text) {
        bytes(separator, sizeof separator);
        number(text.size());
        bytes(text.data(), text.size());
    }
    bool ok() const { return m_ok; }
    void fail() { m_ok = false; }
    uint64_t written() const { return m_written; }

private:
    FILE* m_file;
    bool m_ok = true;
    uint64_t m_written = 0;
};

// The texts of an entry in file order; the reader refuses any longer than store_text_max.
struct text_check_t {
    const char* label;
    std::string cab_item_t::*text;
};
const text_check_t entry_texts[] = {
    {"component", &cab_item_t::component}, {"name", &cab_item_t::name},
    {"install name", &cab_item_t::install_name}, {"target name", &cab_item_t::target_name},
    {"install UID", &cab_item_t::install_uid}, {"group ID", &cab_item_t::group_id},
    {"attrs", &cab_item_t::attrs}, {"cksum", &cab_item_t::cksum}, {"condition", &cab_item_t::condition},
};

int check_entry(const store_write_entry_t& entry, uint64_t* size) {
    const cab_item_t& item = entry.item;
    if (item.component.empty() || item.name.empty()) {
        error("store_write: an entry needs a component and a name (%s::%s)", item.component.c_str(),
              item.name.c_str());
        return -1;
    }
    for (const text_check_t& check : entry_texts) {
        if ((item.*check.text).size() > static_cast<size_t>(store_text_max)) {
            error("store_write: %s::%s: %s is %zu bytes long, longer than %d", item.component.c_str(),
                  item.name.c_str(), check.label, (item.*check.text).size(), store_text_max);
            return -1;
        }
    }
    if (entry.from_memory) {
        *size = entry.bytes.size();
        return 0;
    }
    struct stat info;
    if (stat(entry.source_path.c_str(), &info) != 0) {
        error("store_write: can't read %s: %s", entry.source_path.c_str(), strerror(errno));
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error("store_write: %s is not a regular file", entry.source_path.c_str());
        return -1;
    }
    *size = static_cast<uint64_t>(info.st_size);
    return 0;
}

void write_index(store_output& out, const std::vector<store_write_entry_t>& entries,
                 const std::vector<uint64_t>& sizes) {
    out.bytes(index_magic, sizeof index_magic);
    out.number(entries.size() - 1);  // the number of the last entry, not the count
    out.bytes(separator, sizeof separator);
    uint64_t offset = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const cab_item_t& item = entries[i].item;
        out.text_field(item.component);
        out.text_field(item.name);
        out.text_field(item.install_name);
        out.text_field(item.target_name);
        out.text_field("");  // duplicated: the reader discards it
        out.integer_field(static_cast<uint32_t>(item.type));
        out.integer_field(sizes[i]);
        out.text_field(item.install_uid);
        out.text_field(item.group_id);
        out.text_field(item.attrs);
        out.text_field(item.cksum);
        out.integer_field(sizes[i]);  // store size: content is stored raw
        out.integer_field(offset);
        out.text_field(item.condition);
        offset += sizes[i];
    }
    out.bytes(index_end, sizeof index_end);
}

// Copies exactly size bytes of the source; a source that grew or shrank since it was measured
// would put the offsets of every later entry out of step, so it fails the store.
int copy_source(store_output& out, const store_write_entry_t& entry, uint64_t size, std::vector<char>& block) {
    if (entry.from_memory) {
        out.bytes(entry.bytes.data(), entry.bytes.size());
        return 0;
    }
    file_ptr in(fopen(entry.source_path.c_str(), "rb"));
    if (!in) {
        error("store_write: can't read %s: %s", entry.source_path.c_str(), strerror(errno));
        return -1;
    }
    uint64_t copied = 0;
    for (;;) {
        const size_t got = fread(block.data(), 1, block.size(), in.get());
        copied += got;
        if (copied > size) break;
        out.bytes(block.data(), got);
        if (!out.ok()) return 0;  // reported once by the caller
        if (got < block.size()) break;
    }
    if (ferror(in.get())) {
        error("store_write: can't read %s", entry.source_path.c_str());
        return -1;
    }
    if (copied != size) {
        error("store_write: %s changed size while it was copied", entry.source_path.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

int store_write(const std::string& out_path, const std::vector<store_write_entry_t>& entries) {
    if (out_path.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    if (entries.empty()) {
        error("store_write: a store holds at least one entry");
        return -1;
    }
    std::vector<uint64_t> sizes(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        if (check_entry(entries[i], &sizes[i]) != 0) return -1;
    }
    // Made with mkstemp beside the store and renamed over it: a link planted under a guessable
    // temporary name is never followed, and a failed write leaves the previous store as it was.
    temp_file temporary(out_path, 0644);
    const int fd = temporary ? dup(temporary.fd()) : -1;
    file_ptr file(fd >= 0 ? fdopen(fd, "wb") : nullptr);
    if (!file) {
        if (fd >= 0) close(fd);
        error("store_write: can't create %s: %s", (out_path + ".XXXXXX").c_str(), strerror(errno));
        return -1;
    }
    store_output out(file.get());
    write_index(out, entries, sizes);
    const uint64_t index_size = out.written();
    std::vector<char> block(copy_block_size);
    int status = 0;
    for (size_t i = 0; i < entries.size() && status == 0 && out.ok(); ++i) {
        status = copy_source(out, entries[i], sizes[i], block);
    }
    // The tail: the index size, then what follows the index; their sum leads from the end of the
    // file back to the index magic.
    const uint64_t content_size = out.written() - index_size;
    out.number(index_size);
    out.number(content_size + 16);
    if (status == 0 && !out.ok()) {
        error("store_write: can't write %s: %s", temporary.path().c_str(), strerror(errno));
        status = -1;
    }
    if (fclose(file.release()) != 0 && status == 0) {
        error("store_write: can't write %s: %s", temporary.path().c_str(), strerror(errno));
        status = -1;
    }
    if (status == 0 && !temporary.commit()) {
        error("store_write: can't rename %s to %s: %s", temporary.path().c_str(), out_path.c_str(), strerror(errno));
        status = -1;
    }
    return status;
}
