#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "env.h"
#include "file.h"
#include "log.h"

namespace {


constexpr unsigned char index_magic[4] = {0xAA, 0xAA, 0xAA, 0xAA};
constexpr unsigned char index_end[4] = {0xBB, 0xBB, 0xBB, 0xBB};
constexpr int64_t tail_size = 16;
// Every field is 2 uninterpreted bytes and an 8-byte number; a text adds its bytes after that.
constexpr int64_t field_head_size = 10;
constexpr int64_t entry_field_count = 14;
constexpr int64_t entry_min_size = entry_field_count * field_head_size;
// Content is copied through a block of this size, so extraction needs the same memory for any entry.
constexpr size_t copy_block_size = 64 * 1024;

bool read_exact(FILE* file, void* buffer, size_t size) { return fread(buffer, 1, size, file) == size; }

bool read_number(FILE* file, uint64_t* value) {
    unsigned char bytes[8];
    if (!read_exact(file, bytes, sizeof bytes)) return false;
    *value = unpack_i64(bytes);
    return true;
}

bool skip_separator(FILE* file) {
    unsigned char bytes[2];
    return read_exact(file, bytes, sizeof bytes);
}

enum class field_kind { text, discarded_text, type, size };

// The 14 fields of an entry in file order, each with the lines it logs when the file lets it down.
struct field_t {
    field_kind kind;
    std::string cab_item_t::*text;
    uint64_t cab_item_t::*number;
    bool whole_length;           // the condition's length is the whole number, the others its low 32 bits
    const char* skip_failed;
    const char* number_failed;
    const char* text_failed;     // a text shorter than its length: the file ends inside it
    const char* too_long;        // format with the length and store_text_max
};

const field_t entry_fields[] = {
    {field_kind::text, &cab_item_t::component, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read component's name",
     "store_read_cab: can not read conponents",
     "store_read_cab: component is %lld bytes long, longer than %d"},
    {field_kind::text, &cab_item_t::name, nullptr, false,
     "store_read_cab: can not skip 2 bytes after component in CAB",
     "store_read_cab: can not read name in CAB",
     "store_read_cab: can not read text of name in CAB",
     "store_read_cab: name is %lld bytes long, longer than %d"},
    {field_kind::text, &cab_item_t::install_name, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read install name in CAB",
     "store_read_cab: can not read text of install name in CAB",
     "store_read_cab: install name is %lld bytes long, longer than %d"},
    {field_kind::text, &cab_item_t::target_name, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read target name in CAB",
     "store_read_cab: can not read text of target name in CAB",
     "store_read_cab: target name is %lld bytes long, longer than %d"},
    {field_kind::discarded_text, nullptr, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not reaf duplicated in CAB",
     "store_read_cab: can not read text of duplicated in CAB",
     "store_read_cab: duplicated is %lld bytes long, longer than %d"},
    {field_kind::type, nullptr, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read type in CAB", nullptr, nullptr},
    {field_kind::size, nullptr, &cab_item_t::install_size, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read install size in CAB", nullptr, nullptr},
    {field_kind::text, &cab_item_t::install_uid, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not install UID in CAB",
     "store_read_cab: can not read text of install UID in CAB",
     "store_read_cab: install UID is %lld bytes long, longer than %d"},
    {field_kind::text, &cab_item_t::group_id, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not group ID in CAB",
     "store_read_cab: can not read text of group ID in CAB",
     "store_read_cab: group ID is %lld bytes long, longer than %d"},
    {field_kind::text, &cab_item_t::attrs, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not attrs in CAB",
     "store_read_cab: can not read text of attrs in CAB",
     "store_read_cab: attrs is %lld bytes long, longer than %d"},
    {field_kind::text, &cab_item_t::cksum, nullptr, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read cksum in CAB",
     "store_read_cab: can not read text of cksum in CAB",
     "store_read_cab: cksum is %lld bytes long, longer than %d"},
    {field_kind::size, nullptr, &cab_item_t::store_size, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read store size in CAB", nullptr, nullptr},
    {field_kind::size, nullptr, &cab_item_t::store_offset, false,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read store offset in CAB", nullptr, nullptr},
    {field_kind::text, &cab_item_t::condition, nullptr, true,
     "store_read_cab: can not skip 2 bytes in CAB",
     "store_read_cab: can not read condition in CAB",
     "store_read_cab: can not read text of condition in CAB",
     "store_read_cab: condition is %lld bytes long, longer than %d"},
};
static_assert(sizeof entry_fields / sizeof entry_fields[0] == entry_field_count, "one row per field");

// Reads one text field's bytes into text; the length was checked against store_text_max.
bool read_text(FILE* file, int64_t length, std::string* text) {
    std::string bytes(static_cast<size_t>(length), '\0');
    if (!read_exact(file, bytes.data(), bytes.size())) return false;
    if (text) *text = std::move(bytes);
    return true;
}

int read_entry(FILE* file, cab_item_t* item) {
    for (const field_t& field : entry_fields) {
        uint64_t number = 0;
        if (!skip_separator(file)) {
            error("%s", field.skip_failed);
            return -1;
        }
        if (!read_number(file, &number)) {
            error("%s", field.number_failed);
            return -1;
        }
        switch (field.kind) {
        case field_kind::type:
            item->type = static_cast<int32_t>(static_cast<uint32_t>(number));
            break;
        case field_kind::size:
            item->*field.number = number;
            break;
        case field_kind::text:
        case field_kind::discarded_text: {
            // The format keeps a writer's lengths in the low half; a length of 0 or less is absent.
            const int64_t length = field.whole_length ? static_cast<int64_t>(number)
                                                      : static_cast<int32_t>(static_cast<uint32_t>(number));
            if (length <= 0) break;
            if (length > store_text_max) {
                error(field.too_long, static_cast<long long>(length), store_text_max);
                return -1;
            }
            std::string* target = field.kind == field_kind::text ? &(item->*field.text) : nullptr;
            if (!read_text(file, length, target)) {
                error("%s", field.text_failed);
                return -1;
            }
            break;
        }
        }
    }
    std::string& component = item->component;
    if (!component.empty() && (component.back() == '\n' || component.back() == '\r')) component.pop_back();
    return 0;
}

const char* or_none(const std::string& text) { return text.empty() ? "(none)" : text.c_str(); }

// A failed read leaves nothing behind: no open stream and no entries from a damaged index.
int fail_read(cab_t* cab) {
    cab->file.reset();
    cab->items.clear();
    cab->last_item = -1;
    cab->data_offset = 0;
    cab->file_size = 0;
    return -1;
}

// Only the first occurrence of the component counts: "tools;tool" is not found for "tool".
bool component_matches(const cab_item_t& item, const char* component) {
    if (item.component.empty()) return false;
    const size_t at = item.component.find(component);
    if (at == std::string::npos) return false;
    const size_t after = at + strlen(component);
    return after == item.component.size() || item.component[after] == ';';
}

// Lookups scan the index in order, so the first match wins; the name's length is compared first
// because it rules out nearly every entry at once.
int find_own_entry(const cab_t* cab, const char* component, const char* name) {
    const size_t name_length = strlen(name);
    if (name_length == 0) return -1;  // an entry without a name never matches
    for (size_t i = 0; i < cab->items.size(); ++i) {
        const cab_item_t& item = cab->items[i];
        if (item.name.size() == name_length && memcmp(item.name.data(), name, name_length) == 0 &&
            component_matches(item, component))
            return static_cast<int>(i);
    }
    return -1;
}

// The store that holds the first match, own entries first and then the attached stores in order.
cab_t* find_entry(cab_t* cab, const char* component, const char* name, int* index) {
    *index = find_own_entry(cab, component, name);
    if (*index >= 0) return cab;
    for (cab_t& attached : cab->attached) {
        *index = find_own_entry(&attached, component, name);
        if (*index >= 0) return &attached;
    }
    return nullptr;
}

// Positions the stream at the entry's content after checking that all of it lies between the
// index and the tail: the tail's 16 bytes are never any entry's content.
bool seek_content(cab_t* cab, const cab_item_t& item) {
    if (!cab->file) return false;
    const int64_t content_end = cab->file_size - tail_size;
    const uint64_t room = content_end > cab->data_offset
                              ? static_cast<uint64_t>(content_end - cab->data_offset) : 0;
    if (item.store_offset > room || item.install_size > room - item.store_offset) return false;
    const int64_t position = cab->data_offset + static_cast<int64_t>(item.store_offset);
    return fseeko(cab->file.get(), static_cast<off_t>(position), SEEK_SET) == 0;
}

// Reads the whole content into memory: install_size + 1 bytes, the last one NUL.
char* read_content(cab_t* cab, const cab_item_t& item) {
    if (!seek_content(cab, item)) {
        error("store_file_get_content: content of %s::%s lies outside the store",
              item.component.c_str(), item.name.c_str());
        return nullptr;
    }
    char* buffer = static_cast<char*>(calloc(static_cast<size_t>(item.install_size) + 1, 1));
    if (!buffer) {
        LOG_ALLOC_FAILED();
        return nullptr;
    }
    if (!read_exact(cab->file.get(), buffer, static_cast<size_t>(item.install_size))) {
        error("store_file_get_content: content of %s::%s ends early", item.component.c_str(),
              item.name.c_str());
        free(buffer);
        return nullptr;
    }
    return buffer;
}

}  // namespace

int store_read_header(session_t* session, cab_t* cab, const char* file_name) {
    (void)session;
    if (!cab) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!file_name) {
        error("store_read_header: name of the executable is not defined");
        return -1;
    }
    *cab = cab_t();
    // Opened without waiting: a pipe or device at the name would block the start for ever.
    const int fd = open(file_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd < 0) {
        error("store_read_header: can't open '%s'", file_name);
        return -1;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        error("store_read_header: '%s' is not a regular file", file_name);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    cab->file.reset(fdopen(fd, "rb"));
    if (!cab->file) {
        close(fd);
        error("store_read_header: can't open '%s'", file_name);
        return -1;
    }
    cab->attached_last = -1;
    cab->attached.clear();
    print_log("inited cab");
    return store_read_cab(cab);
}

namespace {

// Reads the tail and moves to the index it points at; false (logged) when it points nowhere.
bool seek_index(cab_t* cab) {
    FILE* file = cab->file.get();
    if (fseeko(file, 0, SEEK_END) != 0) {
        error("store_read_cab: can not seek to the end of CAB file");
        return false;
    }
    const int64_t length = ftello(file);
    if (length < tail_size || fseeko(file, -tail_size, SEEK_END) != 0) {
        error("store_read_cab: can not seek to the end of CAB file");
        return false;
    }
    cab->file_size = length;
    uint64_t first = 0;
    uint64_t second = 0;
    if (!read_number(file, &first) || !read_number(file, &second)) {
        error("store_read_cab: can not read 8 bytes from tail");
        return false;
    }
    // Only the sum counts: the distance from the index magic to the end of the file. Both halves
    // are checked on their own so that a wrapped sum cannot pass.
    const uint64_t file_length = static_cast<uint64_t>(length);
    if (first > file_length || second > file_length || first + second > file_length) {
        error("store_read_cab: can not seek to the start of CAB file");
        return false;
    }
    const int64_t start = length - static_cast<int64_t>(first + second);
    if (fseeko(file, static_cast<off_t>(start), SEEK_SET) != 0) {
        error("store_read_cab: can not seek to the start of CAB file");
        return false;
    }
    return true;
}

// Reads the index's magic and the number of its last entry; false (logged) when that is no
// store's index or its entries cannot fit in the file.
bool read_index_head(cab_t* cab, uint64_t* last) {
    FILE* file = cab->file.get();
    unsigned char magic[4];
    if (!read_exact(file, magic, sizeof magic)) {
        error("store_read_cab: can not read first 4 bytes from CAB");
        return false;
    }
    if (memcmp(magic, index_magic, sizeof magic) != 0) {
        error("store_read_cab: It's not a valid store");
        return false;
    }
    if (!read_number(file, last)) {
        error("store_read_cab: can not get number of enties in CAB");
        return false;
    }
    // The number stored is that of the last entry, not the count: 0 means one entry. The line
    // shows it as the signed 32-bit number the entry count is kept in; a larger one is refused below.
    print_log("store_read_cab: detected %d enties in CAB", static_cast<int>(static_cast<int32_t>(*last)));
    if (!skip_separator(file)) {
        error("store_read_cab: can not skip 2 bytes in CAB");
        return false;
    }
    // The count comes from the file: before reserving room for it, the entries must fit, at their
    // smallest, between here and the end marker in front of the tail.
    const int64_t entries_start = ftello(file);
    const int64_t index_room = cab->file_size - tail_size - static_cast<int64_t>(sizeof index_end) - entries_start;
    const uint64_t fitting = index_room > 0 ? static_cast<uint64_t>(index_room / entry_min_size) : 0;
    if (*last >= fitting || *last >= static_cast<uint64_t>(INT32_MAX)) {
        print_log("store_read_cab: %llu enties can not fit in %lld bytes of index",
                  static_cast<unsigned long long>(*last) + 1, static_cast<long long>(index_room));
        error("store_read_cab: cab->items allocation failed");
        return false;
    }
    return true;
}

// Content ends where the tail begins: an entry reaching into it would hand out tail bytes.
bool contents_inside(const cab_t* cab) {
    const int64_t content_end = cab->file_size - tail_size;
    for (const cab_item_t& item : cab->items) {
        const uint64_t room =
            content_end > cab->data_offset ? static_cast<uint64_t>(content_end - cab->data_offset) : 0;
        if (item.store_offset > room || item.install_size > room - item.store_offset) {
            error("store_read_cab: content of %s::%s lies outside the file", or_none(item.component),
                  or_none(item.name));
            return false;
        }
    }
    return true;
}

}  // namespace

int store_read_cab(cab_t* cab) {
    if (!cab || !cab->file) {
        error("store_read_cab: cab file is null");
        return -1;
    }
    FILE* file = cab->file.get();
    cab->items.clear();
    cab->last_item = -1;
    uint64_t last = 0;
    if (!seek_index(cab) || !read_index_head(cab, &last)) return fail_read(cab);
    const size_t count = static_cast<size_t>(last) + 1;
    cab->items.reserve(count + 1);
    cab->items.resize(count);
    for (cab_item_t& item : cab->items) {
        if (read_entry(file, &item) != 0) return fail_read(cab);
        print_log("store_read_cab: %s::%s", or_none(item.component), or_none(item.name));
    }
    unsigned char end[4];
    if (!read_exact(file, end, sizeof end) || memcmp(end, index_end, sizeof end) != 0) {
        print_log("store_read_cab: It's not a valid store\n");
        return fail_read(cab);
    }
    cab->data_offset = ftello(file);
    if (!contents_inside(cab)) return fail_read(cab);
    cab->last_item = static_cast<int32_t>(last);
    return 0;
}

int store_file_exists(cab_t* cab, const char* component, const char* name) {
    if (!cab || !component || !name) {
        error("store_component_exists: parameters are NULL");
        return 0;
    }
    return find_own_entry(cab, component, name) >= 0 ? 1 : 0;
}

int store_component_exists(cab_t* cab, const char* component) {
    if (!cab || !component) {
        error("store_component_exists: parameters are NULL");
        return 0;
    }
    for (const cab_item_t& item : cab->items) {
        if (component_matches(item, component)) return 1;
    }
    return 0;
}

int store_file_get_content(cab_t* cab, const char* component, const char* name, char** content,
                           int* size, cab_item_t* entry) {
    if (!cab || !component || !name || !content || !size) {
        LOG_NULL_PARAM();
        return -1;
    }
    *content = nullptr;
    *size = 0;
    int index = -1;
    cab_t* holder = find_entry(cab, component, name, &index);
    if (!holder) return -2;
    const cab_item_t& item = holder->items[static_cast<size_t>(index)];
    // The size is handed back as an int: a larger entry can only be extracted.
    if (item.install_size > static_cast<uint64_t>(INT_MAX)) {
        error("store_file_get_content: %s::%s is too large to read into memory (%llu bytes)",
              item.component.c_str(), item.name.c_str(), static_cast<unsigned long long>(item.install_size));
        return -1;
    }
    char* buffer = read_content(holder, item);
    if (!buffer) return -1;
    *content = buffer;
    *size = static_cast<int>(item.install_size);
    if (entry) *entry = item;
    return index;
}

int store_file_get_content(cab_t* cab, const std::string& component, const std::string& name,
                           std::string& content, cab_item_t* entry) {
    content.clear();
    if (!cab) {
        LOG_NULL_PARAM();
        return -1;
    }
    int index = -1;
    cab_t* holder = find_entry(cab, component.c_str(), name.c_str(), &index);
    if (!holder) return -2;
    const cab_item_t& item = holder->items[static_cast<size_t>(index)];
    if (!seek_content(holder, item)) {
        error("store_file_get_content: content of %s::%s lies outside the store",
              item.component.c_str(), item.name.c_str());
        return -1;
    }
    content.resize(static_cast<size_t>(item.install_size));
    if (!read_exact(holder->file.get(), content.data(), content.size())) {
        error("store_file_get_content: content of %s::%s ends early", item.component.c_str(),
              item.name.c_str());
        content.clear();
        return -1;
    }
    if (entry) *entry = item;
    return index;
}

int store_file_extract(session_t* session, cab_t* cab, const char* component, const char* name,
                       const char* target_path) {
    if (!cab || !component || !name || !target_path) {
        LOG_NULL_PARAM();
        return -1;
    }
    int index = -1;
    cab_t* holder = find_entry(cab, component, name, &index);
    if (!holder) {
        error("store_file_extract: unable to get content of file/component: %s/%s - %d", name, component, -2);
        return -1;
    }
    const cab_item_t& item = holder->items[static_cast<size_t>(index)];
    if (!seek_content(holder, item)) {
        error("store_file_extract: content of %s::%s lies outside the store", item.component.c_str(),
              item.name.c_str());
        return -1;
    }
    const std::string folder = get_dirname(target_path);
    if (!folder.empty() && !exists(folder)) folder_create(folder, 0775);
    file_ptr out(fopen(target_path, "wb"));
    if (!out) {
        error("store_file_extract: can't create %s\n", target_path);
        return -1;
    }
    std::vector<char> block(copy_block_size);
    uint64_t left = item.install_size;
    bool copied = true;
    while (left > 0 && copied) {
        const size_t want = left < block.size() ? static_cast<size_t>(left) : block.size();
        if (!read_exact(holder->file.get(), block.data(), want)) {
            error("store_file_extract: content of %s::%s ends early", item.component.c_str(), item.name.c_str());
            copied = false;
        } else if (fwrite(block.data(), 1, want, out.get()) != want) {
            error("store_file_extract: can't write %s: %s", target_path, strerror(errno));
            copied = false;
        }
        left -= copied ? want : 0;
    }
    // A full disk may show only when the last buffered block is written out.
    if (fclose(out.release()) != 0 && copied) {
        error("store_file_extract: can't write %s: %s", target_path, strerror(errno));
        copied = false;
    }
    if (!copied) {
        // Half a file must not pass for the entry; a device or pipe named as the target stays.
        struct stat info;
        if (lstat(target_path, &info) == 0 && S_ISREG(info.st_mode)) remove(target_path);
        return -1;
    }
    if (!item.attrs.empty()) {
        const unsigned mode = oct_string2dec(item.attrs.c_str());
        if (mode != 0) file_set_attr(target_path, store_safe_mode(session, mode, target_path));
    }
    return 0;
}

mode_t store_safe_mode(session_t* session, unsigned mode, const char* target_path) {
    constexpr unsigned risky = S_ISUID | S_ISGID | S_IWOTH;
    if ((mode & risky) == 0) return static_cast<mode_t>(mode & 07777);
    // A package may ask for these bits only when root installs it and the run says it wants them:
    // a set-id or world-writable file dropped by any other run is a way into the machine.
    if (session && geteuid() == 0 && env_get_string(session, "LUMO_KEEP_SETID") == "1") {
        return static_cast<mode_t>(mode & 07777);
    }
    print_log("store_file_extract: mode %o of %s loses its set-id and world-write bits", mode,
              target_path ? target_path : "");
    return static_cast<mode_t>(mode & 07777 & ~risky);
}

int store_attach(cab_t* cab, cab_t&& other) {
    if (!cab) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (static_cast<int>(cab->attached.size()) >= store_attached_max) {
        error("store_attach: no room for another attached store, at most %d", store_attached_max);
        return -1;
    }
    cab->attached.push_back(std::move(other));
    cab->attached_last = static_cast<int32_t>(cab->attached.size()) - 1;
    return 0;
}

int store_iter_init(cab_t* cab, store_iter_t* iter) {
    if (!cab) {
        error("store_iter_init: CAB is null");
        return -1;
    }
    if (!iter) {
        error("store_iter_init: iterator is null");
        return -1;
    }
    *iter = store_iter_t();
    iter->cab = cab;
    iter->not_inited = 0;
    return 0;
}

cab_item_t* store_iter_next(store_iter_t* iter) {
    if (!iter) {
        error("store_iter_next: iterator is null");
        return nullptr;
    }
    if (iter->not_inited || !iter->cab) {
        error("store_iter_next: iterator is not inited");
        return nullptr;
    }
    cab_t* cab = iter->cab;
    if (!iter->in_attached) {
        print_log("In root");
        if (iter->item_index + 1 < static_cast<int>(cab->items.size())) {
            ++iter->item_index;
            return &cab->items[static_cast<size_t>(iter->item_index)];
        }
        if (cab->attached.empty()) {
            print_log("end");
            return nullptr;
        }
        print_log("go to attach");
        iter->in_attached = 1;
        iter->attached_index = 0;
        iter->item_index = -1;
    }
    while (iter->attached_index < static_cast<int>(cab->attached.size())) {
        print_log("In attach");
        print_log("store_iter_next: cab_index=%d", iter->attached_index);
        cab_t& attached = cab->attached[static_cast<size_t>(iter->attached_index)];
        if (iter->item_index + 1 < static_cast<int>(attached.items.size())) {
            ++iter->item_index;
            return &attached.items[static_cast<size_t>(iter->item_index)];
        }
        ++iter->attached_index;
        iter->item_index = -1;
    }
    return nullptr;
}

unsigned char* pack_i64(uint64_t value) {
    unsigned char* buffer = static_cast<unsigned char*>(malloc(9));
    if (!buffer) {
        LOG_ALLOC_FAILED();
        return nullptr;
    }
    for (int i = 7; i >= 0; --i) {
        buffer[i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
    buffer[8] = '\0';
    return buffer;
}

uint64_t unpack_i64(const unsigned char* buffer) {
    if (!buffer) {
        error("unpack_i64: buffer is null");
        return 0;
    }
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | buffer[i];
    return value;
}

char* ultoa(uint64_t value, char* buffer, int size) {
    if (!buffer) {
        LOG_NULL_PARAM();
        return nullptr;
    }
    if (size <= 0) return buffer;
    memset(buffer, 0, static_cast<size_t>(size));
    std::array<char, 20> digits;  // 2^64 has 20 decimal digits
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    // The most significant digits are kept when the buffer is shorter than the number.
    for (int i = 0; i < size && count > 0; ++i) buffer[i] = digits[--count];
    return buffer;
}
