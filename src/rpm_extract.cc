#include "rpm_extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "file.h"
#include "log.h"
#include "payload.h"

namespace {

constexpr size_t lead_size = 96;
constexpr size_t intro_size = 16;
constexpr size_t entry_size = 16;
constexpr unsigned char header_magic[3] = {0x8e, 0xad, 0xe8};
constexpr uint64_t cpio_name_max = 4096;  // longest entry name taken

// Headers hold at most rpm_index_max entries and rpm_data_max bytes: together with the lead a few
// hundred megabytes; anything claiming more is refused before a byte is allocated.
int read_at(int fd, int64_t offset, size_t size, std::vector<unsigned char>* out) {
    out->resize(size);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, out->data() + done, size - done, offset + static_cast<int64_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        done += static_cast<size_t>(got);
    }
    return 0;
}

// Checks an intro: magic, and the index and data sizes within the limits and the bytes available.
int check_intro(const unsigned char* intro, uint64_t available, uint32_t* count, uint32_t* data_size) {
    if (memcmp(intro, header_magic, 3) != 0) {
        error("rpm_header_parse: bad header magic");
        return -1;
    }
    *count = buf2i(intro, 8);
    *data_size = buf2i(intro, 12);
    if (*count > rpm_index_max || *data_size > rpm_data_max) {
        error("rpm_header_parse: header claims %u entries and %u bytes", *count, *data_size);
        return -1;
    }
    const uint64_t need = intro_size + uint64_t(*count) * entry_size + *data_size;
    if (need > available) {
        error("rpm_header_parse: header of %llu bytes is longer than the file", static_cast<unsigned long long>(need));
        return -1;
    }
    return 0;
}

void fill_header(const unsigned char* index, uint32_t count, const unsigned char* data, uint32_t data_size,
                 rpm_header_t* header) {
    header->entries.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* e = index + size_t(i) * entry_size;
        header->entries[i] = {buf2i(e, 0), buf2i(e, 4), buf2i(e, 8), buf2i(e, 12)};
    }
    header->data.assign(data, data + data_size);
}

// The signature is followed by zero bytes up to the main header, which starts with its non-zero
// magic: writers align it to 8 bytes, but a package padded otherwise reads just as well.
size_t skip_padding(const unsigned char* bytes, size_t size, size_t pos) {
    while (pos < size && bytes[pos] == 0) ++pos;
    return pos;
}

// The same on a file: the offset of the first non-zero byte at or after pos (the file's size when
// none), or -1 on a read error.
int64_t skip_padding(int fd, uint64_t file_size, uint64_t pos) {
    std::vector<unsigned char> chunk;
    while (pos < file_size) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(4096, file_size - pos));
        if (read_at(fd, static_cast<int64_t>(pos), n, &chunk) != 0) return -1;
        const size_t at = skip_padding(chunk.data(), n, 0);
        pos += at;
        if (at < n) break;
    }
    return static_cast<int64_t>(pos);
}

}  // namespace

uint32_t buf2i(const unsigned char* buffer, int offset) {
    const unsigned char* p = buffer + offset;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

int extract_int32(FILE* file, int64_t base, int64_t offset, uint32_t* value) {
    if (!file || !value) {
        LOG_NULL_PARAM();
        return -1;
    }
    const long kept = ftell(file);
    unsigned char bytes[4];
    const bool ok = fseeko(file, base + offset, SEEK_SET) == 0 && fread(bytes, 1, 4, file) == 4;
    fseek(file, kept, SEEK_SET);
    if (!ok) return -1;
    *value = buf2i(bytes, 0);
    return 0;
}

int extract_char(FILE* file, int64_t base, int64_t offset, int* value) {
    if (!file || !value) {
        LOG_NULL_PARAM();
        return -1;
    }
    const long kept = ftell(file);
    const bool ok = fseeko(file, base + offset, SEEK_SET) == 0;
    const int c = ok ? fgetc(file) : EOF;
    fseek(file, kept, SEEK_SET);
    if (c == EOF) return -1;
    *value = c;
    return 0;
}

int extract_string(FILE* file, int64_t base, int64_t offset, int count, std::string* text) {
    if (!file || !text) {
        LOG_NULL_PARAM();
        return -1;
    }
    text->clear();
    const long kept = ftell(file);
    if (fseeko(file, base + offset, SEEK_SET) != 0) return -1;
    int c = 0;
    for (int i = 0; i < count && c != EOF; ++i) {
        if (i > 0 && text->size() < rpm_text_max) *text += '\n';
        while ((c = fgetc(file)) != EOF && c != '\0') {
            if (text->size() < rpm_text_max) *text += static_cast<char>(c);
        }
    }
    fseek(file, kept, SEEK_SET);
    return c == EOF ? -1 : 0;
}

int rpm_header_parse(const unsigned char* bytes, size_t size, rpm_header_t* header, size_t* used) {
    if (size < intro_size) {
        error("rpm_header_parse: header is truncated");
        return -1;
    }
    uint32_t count = 0, data_size = 0;
    if (check_intro(bytes, size, &count, &data_size) != 0) return -1;
    fill_header(bytes + intro_size, count, bytes + intro_size + size_t(count) * entry_size, data_size, header);
    *used = intro_size + size_t(count) * entry_size + data_size;
    return 0;
}

int rpm_parse(const unsigned char* bytes, size_t size, rpm_file_t* rpm) {
    if (size < lead_size) {
        error("rpm_parse: file is shorter than the lead");
        return -1;
    }
    size_t pos = lead_size, used = 0;
    if (rpm_header_parse(bytes + pos, size - pos, &rpm->signature, &used) != 0) return -1;
    pos = skip_padding(bytes, size, pos + used);
    if (pos > size || rpm_header_parse(bytes + pos, size - pos, &rpm->main, &used) != 0) return -1;
    rpm->payload_offset = static_cast<int64_t>(pos + used);
    rpm->file_size = static_cast<int64_t>(size);
    return 0;
}

int rpm_read(const std::string& path, rpm_file_t* rpm) {
    fd_owner fd{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
        error("rpm_read: can not open %s: %s", path.c_str(), strerror(errno));
        return -1;
    }
    const uint64_t file_size = static_cast<uint64_t>(st.st_size);
    uint64_t pos = lead_size;
    std::vector<unsigned char> intro, body;
    for (rpm_header_t* header : {&rpm->signature, &rpm->main}) {
        if (pos + intro_size > file_size || read_at(fd.fd, static_cast<int64_t>(pos), intro_size, &intro) != 0) {
            error("rpm_read: %s is truncated", path.c_str());
            return -1;
        }
        uint32_t count = 0, data_size = 0;
        if (check_intro(intro.data(), file_size - pos, &count, &data_size) != 0) {
            error("rpm_read: %s is not a valid package", path.c_str());
            return -1;
        }
        const size_t rest = size_t(count) * entry_size + data_size;
        if (read_at(fd.fd, static_cast<int64_t>(pos + intro_size), rest, &body) != 0) {
            error("rpm_read: %s is truncated", path.c_str());
            return -1;
        }
        fill_header(body.data(), count, body.data() + size_t(count) * entry_size, data_size, header);
        pos += intro_size + rest;
        if (header == &rpm->signature) {
            const int64_t next = skip_padding(fd.fd, file_size, pos);
            if (next < 0) {
                error("rpm_read: %s is truncated", path.c_str());
                return -1;
            }
            pos = static_cast<uint64_t>(next);
        }
    }
    rpm->payload_offset = static_cast<int64_t>(pos);
    rpm->file_size = static_cast<int64_t>(file_size);
    return 0;
}

int rpm_header_field(const rpm_header_t& header, uint32_t tag, rpm_field_t* field) {
    *field = rpm_field_t();
    const uint64_t data_size = header.data.size();
    for (const rpm_entry_t& e : header.entries) {
        if (e.tag != tag) continue;
        switch (e.type) {
        case 0:
            field->type = 0;
            return 0;
        case 1:
        case 2:
            if (e.offset >= data_size || e.count == 0) return -1;
            field->type = field->size = 1;
            field->number = header.data[e.offset];
            return 0;
        case 4:
            if (uint64_t(e.offset) + 4 > data_size || e.count == 0) return -1;
            field->type = field->size = 4;
            field->number = buf2i(header.data.data(), static_cast<int>(e.offset));
            return 0;
        case 6:
        case 8:
        case 9: {
            // Every string must end inside the data area.
            const uint32_t count = e.type == 6 ? 1 : e.count;
            if (count == 0 || count > data_size) return -1;
            uint64_t pos = e.offset;
            std::string text;
            for (uint32_t i = 0; i < count; ++i) {
                if (pos >= data_size) return -1;
                const void* end = memchr(header.data.data() + pos, '\0', data_size - pos);
                if (!end) return -1;
                const size_t length = static_cast<const unsigned char*>(end) - (header.data.data() + pos);
                if (i) text += '\n';
                text.append(reinterpret_cast<const char*>(header.data.data() + pos), length);
                pos += length + 1;
                if (e.type == 9) break;  // the first translation is the default one
            }
            if (text.size() > rpm_text_max) {
                print_log("rpm_header_field: tag %u cut to %zu bytes", tag, rpm_text_max);
                text.resize(rpm_text_max);
            }
            field->type = 6;
            field->size = static_cast<int>(text.size());
            field->text = std::move(text);
            return 0;
        }
        default:
            return -1;
        }
    }
    return -1;
}

int rpm_get_field(const std::string& path, unsigned tag, rpm_field_t* field) {
    if (!field) {
        LOG_NULL_PARAM();
        return -1;
    }
    *field = rpm_field_t();
    rpm_file_t rpm;
    if (rpm_read(path, &rpm) != 0) return -1;
    return rpm_header_field(rpm.main, tag, field);
}

int rpm_get_archive(const std::string& package, const std::string& output) {
    if (package.empty() || output.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    rpm_file_t rpm;
    if (rpm_read(package, &rpm) != 0) return -1;
    file_ptr in(fopen(package.c_str(), "rb"));
    if (!in || fseeko(in.get(), rpm.payload_offset, SEEK_SET) != 0) return -1;
    std::string content;
    char block[4096];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), in.get())) > 0) content.append(block, got);
    if (ferror(in.get())) return -1;
    return payload_write_file_atomic(output, content, 0644);
}

int cpio_read_header(payload_source& source, cpio_entry_t* entry) {
    char header[110];
    if (source.read_exact(header, sizeof(header)) != 0) {
        error("cpio_read_header: the archive is truncated");
        return -1;
    }
    if (memcmp(header, "070701", 6) != 0 && memcmp(header, "070702", 6) != 0) {
        error("cpio_read_header: bad entry magic");
        return -1;
    }
    uint32_t fields[13];
    for (int i = 0; i < 13; ++i) {
        uint32_t value = 0;
        for (int j = 0; j < 8; ++j) {
            const char c = header[6 + i * 8 + j];
            int digit;
            if (c >= '0' && c <= '9') digit = c - '0';
            else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            else {
                error("cpio_read_header: bad number in header");
                return -1;
            }
            value = value << 4 | uint32_t(digit);
        }
        fields[i] = value;
    }
    entry->ino = fields[0];
    entry->mode = fields[1];
    entry->nlink = fields[4];
    entry->mtime = fields[5];
    entry->size = fields[6];
    entry->dev_major = fields[7];
    entry->dev_minor = fields[8];
    const uint32_t name_size = fields[11];
    if (name_size == 0 || name_size > cpio_name_max) {
        error("cpio_read_header: bad name size %u", name_size);
        return -1;
    }
    // The name is padded so that header and name end on a multiple of four.
    const size_t padded = ((110 + size_t(name_size) + 3) & ~size_t(3)) - 110;
    std::string name(padded, '\0');
    if (source.read_exact(&name[0], padded) != 0) {
        error("cpio_read_header: the archive is truncated");
        return -1;
    }
    if (name[name_size - 1] != '\0' || memchr(name.data(), '\0', name_size - 1)) {
        error("cpio_read_header: entry name is not terminated");
        return -1;
    }
    entry->name = name.substr(0, name_size - 1);
    return entry->name == "TRAILER!!!" ? 1 : 0;
}

rpm_extract_result_t rpm_extract_cpio(payload_source& source, const std::string& default_prefix,
                                      payload_extractor& out) {
    rpm_extract_result_t result;
    std::string trimmed = default_prefix;
    while (!trimmed.empty() && trimmed[0] == '/') trimmed.erase(0, 1);
    std::string base;
    if (!trimmed.empty() && payload_clean_name(trimmed, &base) != 0) base.clear();
    // Members of a hard-link set without data wait for the member that carries it.
    std::map<uint64_t, std::vector<std::string>> waiting;
    bool broken = false;
    for (;;) {
        cpio_entry_t entry;
        const int header = cpio_read_header(source, &entry);
        if (header < 0) {
            broken = true;
            break;
        }
        if (header == 1) break;
        const uint64_t data_padding = (4 - entry.size % 4) % 4;
        std::string name = entry.name;
        while (name.compare(0, 2, "./") == 0) name.erase(0, 2);
        while (!name.empty() && name[0] == '/') name.erase(0, 1);
        // Entries under the package's default prefix land under the chosen prefix.
        std::string relative = name;
        if (!base.empty()) {
            if (name == base) relative = ".";
            else if (name.compare(0, base.size() + 1, base + "/") == 0) relative = name.substr(base.size() + 1);
            else relative.clear();
        }
        const uint32_t type = entry.mode & S_IFMT;
        int status = 0;
        if (relative.empty() || (relative == "." && type == S_IFDIR)) {
            if (relative.empty()) {
                print_log("nonrpm_install_item: %s is outside the relocatable prefix, skipped", entry.name.c_str());
                ++result.skipped;
            }
            status = source.skip(entry.size) == 0 ? 0 : -2;
        } else if (type == S_IFDIR) {
            status = out.add_directory(relative, entry.mode, entry.mtime);
            if (source.skip(entry.size) != 0) status = -2;
        } else if (type == S_IFREG) {
            const uint64_t key = uint64_t(entry.dev_major) << 48 ^ uint64_t(entry.dev_minor) << 32 ^ entry.ino;
            if (entry.nlink > 1 && entry.size == 0) {
                waiting[key].push_back(relative);
                continue;  // no data and no padding follow
            }
            status = out.add_file(relative, entry.mode, entry.mtime, source, entry.size);
            auto set = entry.nlink > 1 ? waiting.find(key) : waiting.end();
            if (set != waiting.end()) {
                for (const std::string& member : set->second) {
                    if (status == 0 && out.add_hardlink(member, relative) == 0) ++result.entries;
                }
                waiting.erase(set);
            }
        } else if (type == S_IFLNK) {
            if (entry.size > 4096) {
                error("nonrpm_install_item: link target of %s is too long", entry.name.c_str());
                status = -2;
            } else {
                std::string target(static_cast<size_t>(entry.size), '\0');
                if (source.read_exact(&target[0], target.size()) != 0) status = -2;
                else status = out.add_symlink(relative, target);
            }
        } else {
            print_log("nonrpm_install_item: %s is not a file, folder or link, skipped", entry.name.c_str());
            ++result.skipped;
            status = source.skip(entry.size) == 0 ? 0 : -2;
        }
        if (status == -2 || source.skip(data_padding) != 0) {
            error("nonrpm_install_item: the payload ends inside %s", entry.name.c_str());
            broken = true;
            break;
        }
        if (status == 0) ++result.entries;
    }
    // Hard-link sets whose data never came are empty files.
    for (const auto& [key, members] : waiting) {
        if (broken) break;
        (void)key;
        if (out.add_file(members[0], 0644, 0, source, 0) != 0) continue;
        for (size_t i = 1; i < members.size(); ++i) out.add_hardlink(members[i], members[0]);
    }
    // The compressed stream's own check comes at its very end, after the trailer entry.
    if (!broken && source.finish_stream() != 0) {
        error("nonrpm_install_item: the payload is damaged after its last entry");
        broken = true;
    }
    const int finished = out.finish();
    result.status = (broken || finished != 0) ? -1 : 0;
    return result;
}

rpm_extract_result_t rpm_extract_payload(const std::string& package, const rpm_file_t& rpm,
                                         const std::string& default_prefix, payload_extractor& out) {
    rpm_extract_result_t result;
    fd_owner fd{open(package.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0) {
        error("nonrpm_install_item: can not open %s: %s", package.c_str(), strerror(errno));
        return result;
    }
    rpm_field_t compressor;
    if (rpm_header_field(rpm.main, rpm_tag_payloadcompressor, &compressor) == 0)
        print_log("nonrpm_install_item: payload compressor is %s", compressor.text.c_str());
    std::unique_ptr<payload_source> source = payload_open(fd.fd, rpm.payload_offset);
    if (!source) {
        error("nonrpm_install_item: the payload compression of %s is not supported", package.c_str());
        return result;
    }
    return rpm_extract_cpio(*source, default_prefix, out);
}
