#include "file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "log.h"
#include "utils.h"

namespace {

struct malloc_free {
    void operator()(char* p) const { free(p); }
};
using malloc_ptr = std::unique_ptr<char, malloc_free>;

constexpr int64_t file_big_size = 0x40000000;  // larger files are still read, but reported
constexpr size_t copy_block_size = 4096;
constexpr mode_t parent_mode = 0775;
constexpr const char* separators = "/\\";
constexpr int path_links_max = 40;  // the kernel's own limit on links in one lookup

// mkdir of every prefix that ends before a '/', then of the whole path: existing levels simply
// fail, so the result is that of the last mkdir alone.
int create_with_parents(const std::string& dir, mode_t mode) {
    std::string normal = path(dir);
    // Most calls find the folder, or its parent, there already: one call then answers, with the
    // same result and errno as the walk from the top below.
    if (mkdir(normal.c_str(), mode) == 0) return 0;
    if (errno != ENOENT) return -1;
    for (size_t i = 1; i < normal.size(); ++i) {
        if (normal[i] != '/') continue;
        normal[i] = '\0';
        mkdir(normal.c_str(), mode);
        normal[i] = '/';
    }
    return mkdir(normal.c_str(), mode);
}

// The folder a new entry goes into; a bare name lives in the current folder, which is there.
bool parent_exists(const std::string& dir) { return dir.empty() || exists(dir); }

// Opens a folder without following a symbolic link in its last component, so that a link
// swapped in for a folder can never lead the removal outside the tree.
dir_ptr open_dir_nofollow(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return dir_ptr();
    DIR* d = fdopendir(fd);
    if (!d) close(fd);
    return dir_ptr(d);
}

// The names of a folder, without "." and "..". The folder is closed before its entries are
// touched, so a deep tree never holds more than one descriptor open.
int read_entries(dir_ptr dir, std::vector<std::string>& names) {
    errno = 0;
    while (const dirent* entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    const int read_errno = errno;
    if (closedir(dir.release()) != 0) return -1;
    errno = read_errno;
    return read_errno ? -1 : 0;
}

// Unlinks one entry that is not a folder; a missing entry is not an error.
int unlink_entry(const std::string& name) {
    const std::string normal = path(name);
    if (unlink(normal.c_str()) == 0 || errno == ENOENT) return 0;
    error("Can't delete file \"%s\": %s\n", normal.c_str(), strerror(errno));
    return -1;
}

// Reads the whole open file into a malloc'ed, NUL-terminated buffer. size is what fstat found;
// the read goes on to the real end, so a file that grows or reports no size is read in full.
malloc_ptr read_whole(FILE* in, int64_t size, size_t& length) {
    size_t capacity = size > 0 ? static_cast<size_t>(size) : 0;
    if (capacity > SIZE_MAX - 1) return malloc_ptr();
    malloc_ptr buffer(static_cast<char*>(malloc(capacity + 1)));
    if (!buffer) return buffer;
    length = 0;
    for (;;) {
        if (length == capacity) {
            // The expected end: one probe byte tells whether the file goes on (it grew, or
            // reported no size), so a file of exactly its size never grows the buffer.
            const int probe = fgetc(in);
            if (probe == EOF) break;
            const size_t grown = capacity < SIZE_MAX / 2 - copy_block_size
                                     ? capacity * 2 + copy_block_size
                                     : 0;
            if (grown == 0) return malloc_ptr();
            char* bigger = static_cast<char*>(realloc(buffer.get(), grown + 1));
            if (!bigger) return malloc_ptr();
            buffer.release();
            buffer.reset(bigger);
            capacity = grown;
            buffer.get()[length++] = static_cast<char>(probe);
            continue;
        }
        const size_t got = fread(buffer.get() + length, 1, capacity - length, in);
        length += got;
        if (got == 0) break;
    }
    buffer.get()[length] = '\0';
    return buffer;
}

}  // namespace

bool exists(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0;
}

int file_exists(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) == 0) return 1;
    print_log("file_exists: \"%s\": %s", name.c_str(), strerror(errno));
    return 0;
}

bool is_dir(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 && (st.st_mode & 0xF000) == 0x4000;
}

bool is_file(const std::string& name) {
    struct stat st;
    return stat(name.c_str(), &st) == 0 && (st.st_mode & 0xF000) == 0x8000;
}

bool is_writable(const std::string& name) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) return (st.st_mode & 0200) != 0;
    // Opened without O_TRUNC or O_CREAT: asking must never change the file.
    const int fd = open(name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

int64_t file_size(const std::string& name) {
    if (name.empty()) {
        error("file_size: path is empty");
        return -1;
    }
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
        error("Can't stat file \"%s\": %s\n", name.c_str(), strerror(errno));
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

int file_set_attr(const char* name, mode_t mode) {
    if (!name) {
        error("file_set_attr: filename is NULL");
        return -1;
    }
    const int result = chmod(name, mode);
    if (result != 0) error("file_set_attr: chmod failed %d", errno);
    return result;
}

int file_get_attr(const char* name, mode_t* mode) {
    if (!name) {
        error("file_get_attr: filename is NULL");
        return -1;
    }
    if (!mode) {
        error("file_get_attr: attribute pointer is NULL");
        return -2;
    }
    struct stat st;
    if (stat(name, &st) != 0) {
        error("file_get_attr: can't get information about %s", name);
        return -3;
    }
    *mode = st.st_mode;
    return 0;
}

unsigned oct_string2dec(const char* text) {
    if (!text || !*text) return 0;
    // Trailing non-digits are skipped; the digit run before them is the number, read from its
    // last digit. Anything else in front of the run makes the whole text invalid.
    uint64_t value = 0;
    int position = 0;
    bool seen_digit = false;
    for (size_t i = strlen(text); i-- > 0;) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            if (!seen_digit) continue;
            error("Incorrect permissions string: %s", text);
            return 0;
        }
        seen_digit = true;
        print_log("Permissions string: %s, %c, %d", text, c, position);
        if (c > '7') {
            error("Incorrect permissions string: %s", text);
            return 0;
        }
        const unsigned digit = static_cast<unsigned>(c - '0');
        // Leading zeros of any length are fine; a value past 32 bits is not a permission.
        if (digit != 0) {
            if (position > 10) {
                error("Incorrect permissions string: %s", text);
                return 0;
            }
            value += static_cast<uint64_t>(digit) << (3 * position);
            if (value > UINT_MAX) {
                error("Incorrect permissions string: %s", text);
                return 0;
            }
        }
        ++position;
    }
    return static_cast<unsigned>(value);
}

int folder_create(const std::string& dir, mode_t mode) {
    if (dir.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    return create_with_parents(dir, mode);
}

int link_create(const std::string& link, const std::string& target, int create_parents) {
    if (link.empty() || target.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    const std::string normal = path(link);
    const std::string dir = get_dirname(normal);
    if (!parent_exists(dir)) {
        print_log("link_create: directory %s doesn't exist", dir.c_str());
        if (!create_parents) return -1;
        create_with_parents(dir, parent_mode);
    }
    if (symlink(target.c_str(), normal.c_str()) != 0) {
        error("link_create: symlink %s->%s failed %d", normal.c_str(), target.c_str(), errno);
        return -1;
    }
    return 0;
}

int remove_file(const std::string& name, int ignore_missing) {
    if (name.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    const std::string normal = path(name);
    if (unlink(normal.c_str()) == 0) return 0;
    if (ignore_missing && errno == ENOENT) return 0;
    error("Can't delete file \"%s\": %s\n", normal.c_str(), strerror(errno));
    return -1;
}

void remove_dir(const std::string& dir) {
    const std::string normal = path(dir);
    struct stat st;
    if (lstat(normal.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // A link given as the tree is removed as a link: what it points at is not ours to delete.
        unlink_entry(normal);
        return;
    }
    dir_ptr handle = open_dir_nofollow(normal);
    if (!handle) {
        error("Can't delete directory \"%s\": %s\n", normal.c_str(), strerror(errno));
        return;
    }
    std::vector<std::string> names;
    if (read_entries(std::move(handle), names) != 0) {
        error("Can't delete directory \"%s\": %s\n", normal.c_str(), strerror(errno));
        return;
    }
    for (const std::string& name : names) {
        const std::string child = normal + "/" + name;
        // lstat, not stat: a link to a folder is an entry of this tree, never a way out of it.
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_dir(child);
        } else {
            unlink_entry(child);
        }
    }
    if (rmdir(normal.c_str()) != 0)
        error("Can't delete directory \"%s\": %s\n", normal.c_str(), strerror(errno));
}

int remove_fs_entry(const std::string& name) {
    if (name.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    struct stat st;
    if (lstat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return remove_dir_if_empty(name, 0);
    return unlink_entry(name);
}

int remove_dir_if_empty(const std::string& dir, int recursive) {
    if (dir.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    const std::string normal = path(dir);
    std::array<char, 1> target;  // only whether readlink succeeds matters, not what it reads
    if (readlink(normal.c_str(), target.data(), target.size()) >= 0) {
        print_log("remove_dir_if_empty: %s: this is a symlink", normal.c_str());
        return -1;
    }
    if (errno != EINVAL) {
        const int saved = errno;
        print_log("remove_dir_if_empty: %s: readlink error %d", normal.c_str(), saved);
        return saved == ENOENT ? 1 : -1;
    }
    if (recursive) {
        dir_ptr handle = open_dir_nofollow(normal);
        if (!handle) {
            error("remove_dir_if_empty: can't delete directory \"%s\": %s", normal.c_str(),
                  strerror(errno));
            return -1;
        }
        std::vector<std::string> names;
        if (read_entries(std::move(handle), names) != 0) {
            error("remove_dir_if_empty: can't delete directory \"%s\": %s", normal.c_str(),
                  strerror(errno));
            return -1;
        }
        for (const std::string& name : names) {
            const std::string child = normal + "/" + name;
            struct stat st;
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) remove_dir_if_empty(child, 0);
        }
    }
    if (rmdir(normal.c_str()) == 0) return 0;
    const int saved = errno;
    print_log("remove_dir_if_empty: errno \"%s\": %d", normal.c_str(), saved);
    return saved == ENOENT ? 1 : -1;
}

temp_file::temp_file(const std::string& destination, mode_t mode) : m_destination(destination) {
    std::string name = destination + ".XXXXXX";
    m_fd = mkostemp(&name[0], O_CLOEXEC);
    if (m_fd < 0) return;
    m_path = name;
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(m_fd, mode & ~mask & 07777);
}

temp_file::~temp_file() {
    if (m_fd >= 0) close(m_fd);
    if (!m_path.empty()) unlink(m_path.c_str());
}

bool temp_file::commit() {
    if (m_fd < 0) return false;
    const bool synced = fsync(m_fd) == 0;
    const bool closed = close(m_fd) == 0;
    m_fd = -1;
    if (!synced || !closed || rename(m_path.c_str(), m_destination.c_str()) != 0) return false;
    m_path.clear();
    return true;
}

namespace {

// A device or pipe named as the destination (/dev/null, a FIFO) has no folder entry to replace.
int copy_in_place(FILE* in, const std::string& source, const std::string& destination) {
    file_ptr out(fopen(destination.c_str(), "wb"));
    if (!out) {
        error("file_copy: can't open file %s for writing", destination.c_str());
        return -4;
    }
    print_log("file_copy: copy %s -> %s", source.c_str(), destination.c_str());
    int status = 0;
    std::array<char, copy_block_size> block;  // bounded by its own size: fread never writes past it
    for (;;) {
        const size_t got = fread(block.data(), 1, block.size(), in);
        const size_t put = fwrite(block.data(), 1, got, out.get());
        if (put != got) {
            error("file_copy: data was copied with errors. read: %d, written: %d", int(got), int(put));
            status = -1;
        }
        if (got < block.size()) break;  // a short block is the end of the source, or an error
    }
    if (ferror(in)) {
        error("file_copy: can't read file %s", source.c_str());
        status = -1;
    }
    // Buffered data reaches the destination only here, so a full device may show up at the close.
    if (fclose(out.release()) != 0) {
        error("file_copy: can't close file %s", destination.c_str());
        status = -1;
    }
    print_log("file_copy: finished");
    return status;
}

}  // namespace

int file_copy(const std::string& source, const std::string& destination) {
    file_ptr in(fopen(source.c_str(), "rb"));
    if (!in) {
        error("file_copy: can't open file %s", source.c_str());
        return -3;
    }
    const std::string dir = get_dirname(destination);
    if (!parent_exists(dir)) {
        print_log("file_copy: parent directory for %s doesn't exist. Create it.", destination.c_str());
        create_with_parents(dir, parent_mode);
    }
    // Opening the source itself for writing would truncate it before a byte was read.
    struct stat from;
    struct stat to;
    if (fstat(fileno(in.get()), &from) == 0 && stat(destination.c_str(), &to) == 0 &&
        from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
        error("file_copy: %s and %s are the same file", source.c_str(), destination.c_str());
        return -4;
    }
    struct stat existing;
    const bool present = lstat(destination.c_str(), &existing) == 0;
    if (present && S_ISDIR(existing.st_mode)) {
        error("file_copy: can't open file %s for writing", destination.c_str());
        return -4;
    }
    if (present && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
        return copy_in_place(in.get(), source, destination);
    }
    // Written beside the destination and renamed over it: a full disk leaves the old file in
    // place, and a link planted at the destination is replaced, not followed. A file replaced
    // keeps its mode.
    temp_file out(destination);
    if (!out) {
        error("file_copy: can't open file %s for writing", destination.c_str());
        return -4;
    }
    if (present && S_ISREG(existing.st_mode)) fchmod(out.fd(), existing.st_mode & 0777);
    print_log("file_copy: copy %s -> %s", source.c_str(), destination.c_str());
    std::array<char, copy_block_size> block;  // bounded by its own size: fread never writes past it
    size_t got;
    while ((got = fread(block.data(), 1, block.size(), in.get())) > 0) {
        if (!fd_write_all(out.fd(), std::string(block.data(), got))) {
            error("file_copy: data was copied with errors. read: %d, written: %d", int(got), 0);
            return -1;  // the temporary file goes with `out`
        }
    }
    if (ferror(in.get())) {
        error("file_copy: can't read file %s", source.c_str());
        return -1;
    }
    if (!out.commit()) {
        error("file_copy: can't close file %s", destination.c_str());
        return -1;
    }
    print_log("file_copy: finished");
    return 0;
}

int file_move(const std::string& source, const std::string& destination) {
    const int status = file_copy(source, destination);
    if (status != 0) return status;  // a failed copy keeps the source, the only full copy left
    return remove_file(source, 0);
}

int write_file(const char* name, const char* text) {
    if (!name || !text) {
        LOG_NULL_PARAM();
        return -1;
    }
    file_ptr out(fopen(name, "w"));
    if (!out) {
        error("Can't write file \"%s\": %s\n", name, strerror(errno));
        return -1;
    }
    const size_t length = strlen(text);
    int status = 0;
    if (fwrite(text, 1, length, out.get()) != length) {
        error("Can't write file \"%s\": %s\n", name, strerror(errno));
        status = -1;
    }
    if (fclose(out.release()) != 0) {
        error("Can't close file \"%s\": %s\n", name, strerror(errno));
        status = -1;
    }
    return status;
}

namespace {

// The whole file and its length (a binary file may hold NUL bytes); null on failure, logged.
malloc_ptr load_file(const std::string& name, int quiet, size_t& length) {
    length = 0;
    if (name.empty()) {
        error("get_file: path is empty");
        return malloc_ptr();
    }
    file_ptr in(fopen(name.c_str(), "rb"));
    if (!in) {
        if (!quiet) error("Can't read file \"%s\": %s\n", name.c_str(), strerror(errno));
        return malloc_ptr();
    }
    struct stat st;
    int64_t size = 0;
    if (fstat(fileno(in.get()), &st) == 0 && S_ISREG(st.st_mode)) size = st.st_size;
    if (size > file_big_size && !quiet)
        error("Can't read file \"%s\": %s\n", name.c_str(), "File too big");
    malloc_ptr buffer = read_whole(in.get(), size, length);
    if (!buffer) {
        error("get_file: buffer malloc failure");
        return buffer;
    }
    if (ferror(in.get())) {
        if (!quiet) error("Can't read file \"%s\": %s\n", name.c_str(), strerror(errno));
        return malloc_ptr();
    }
    if (fclose(in.release()) != 0) {
        error("Can't close file \"%s\": %s\n", name.c_str(), strerror(errno));
        return malloc_ptr();
    }
    return buffer;
}

}  // namespace

char* get_file(const std::string& name, int quiet) {
    size_t length = 0;
    return load_file(name, quiet, length).release();
}

int get_file(const std::string& name, std::string& content, int quiet) {
    content.clear();
    size_t length = 0;
    const malloc_ptr buffer = load_file(name, quiet, length);
    if (!buffer) return -1;
    content.assign(buffer.get(), length);
    return 0;
}

std::vector<std::string> readContentOfTextFile(const std::string& name) {
    std::vector<std::string> lines;
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        error("readContentOfTextFile: cannot read content of file %s", name.c_str());
        return lines;
    }
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string get_basename(const std::string& name) {
    const size_t cut = name.find_last_of(separators);
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

std::string get_dirname(const std::string& name) {
    const size_t cut = name.find_last_of(separators);
    if (cut == std::string::npos) return "";
    if (cut == 0) return "/";
    return name.substr(0, cut);
}

std::string path_resolve(const std::string& name) {
    if (name.empty()) return "";
    std::string whole = name;
    if (name[0] != '/') {
        const malloc_ptr cwd(getcwd(nullptr, 0));
        if (!cwd) return "";
        whole = std::string(cwd.get()) + "/" + name;
    }
    // The parts still to walk, the next one last.
    std::vector<std::string> pending = splitString(whole, "/", false);
    std::reverse(pending.begin(), pending.end());
    std::string resolved;  // "" stands for the root
    int links = 0;
    bool missing = false;
    while (!pending.empty()) {
        const std::string part = pending.back();
        pending.pop_back();
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            resolved.resize(resolved.rfind('/') == std::string::npos ? 0 : resolved.rfind('/'));
            continue;
        }
        const std::string next = resolved + "/" + part;
        struct stat st;
        // Past the first missing part nothing can be a link: the rest is taken by its text.
        if (!missing && lstat(next.c_str(), &st) != 0) missing = true;
        if (!missing && S_ISLNK(st.st_mode)) {
            if (++links > path_links_max) return "";
            std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
            const ssize_t got = readlink(next.c_str(), target.data(), target.size());
            if (got < 0 || static_cast<size_t>(got) >= target.size()) return "";
            target.resize(static_cast<size_t>(got));
            std::vector<std::string> parts = splitString(target, "/", false);
            pending.insert(pending.end(), parts.rbegin(), parts.rend());
            if (!target.empty() && target[0] == '/') resolved.clear();
            continue;
        }
        resolved = next;
    }
    return resolved.empty() ? "/" : resolved;
}

std::string getExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? "" : name.substr(dot + 1);
}

std::string cutExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

namespace {

// The nearest existing ancestor of a path that may not exist yet; a relative path none of
// whose parts exist is answered for the current folder.
std::string existing_ancestor(const std::string& name) {
    std::string current = name;
    struct stat st;
    while (!current.empty() && stat(current.c_str(), &st) != 0) {
        const std::string parent = get_dirname(current);
        if (parent == current) break;
        current = parent;
    }
    return current.empty() ? "." : current;
}

}  // namespace

std::string getFilePartition(const std::string& name) {
    // The answer is given for the folder actually asked about, which the log names.
    const std::string asked = existing_ancestor(name);
    const std::string command = "df " + shell_quote(asked) + "| tail -n 1 | awk '{ print $NF }' 2>/dev/null";
    print_log("getFilePartition: command is '%s'", command.c_str());
    const std::string partition = trimSpaces(get_command_output(command));
    print_log("getFilePartition: partition for file '%s' is '%s'", asked.c_str(), partition.c_str());
    return partition;
}

int64_t getPartitionFreeSpace(const std::string& name) {
    const std::string command = "df -Pm " + shell_quote(existing_ancestor(name)) +
                                " | tail -n 1 | awk '{print $4}' 2>/dev/null";
    print_log("getPartitionFreeSpace: command is '%s'", command.c_str());
    const std::string result = trimSpaces(get_command_output(command));
    print_log("getPartitionFreeSpace: result is '%s'", result.c_str());
    return strtoint(result);
}

std::string getRandomFileName(const std::string& name_template) {
    // The name is only made up, not created: the six X's are replaced and a name already taken
    // is drawn again, as mktemp does, without its linker warning.
    static constexpr char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static constexpr size_t letter_count = sizeof(letters) - 1;
    static constexpr size_t x_count = 6;
    static constexpr int attempts = 100;
    const size_t length = name_template.size();
    if (length < x_count || name_template.compare(length - x_count, x_count, "XXXXXX") != 0) {
        error("getRandomFileName: failed to create random file name");
        return "";
    }
    std::string name = name_template;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        std::array<unsigned char, x_count> random;
        if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) break;
        for (size_t i = 0; i < x_count; ++i) name[length - x_count + i] = letters[random[i] % letter_count];
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 && errno == ENOENT) return name;
    }
    error("getRandomFileName: failed to create random file name");
    return "";
}

bool fd_write_all(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}
