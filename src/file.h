// The file-system helpers every other area goes through: tests, attributes, directory creation,
// links, copies, removal, whole-file reads and writes, path splitting and free-space queries.
// Failures are logged and returned as status codes; nothing here ends the process.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// Owners of open files, folders and descriptors: every return closes what was opened.
struct file_closer {
    void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;
struct dir_closer {
    void operator()(DIR* d) const { closedir(d); }
};
using dir_ptr = std::unique_ptr<DIR, dir_closer>;
struct fd_owner {
    int fd;
    ~fd_owner() {
        if (fd >= 0) close(fd);
    }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    // Closes the descriptor held and takes another.
    void reset(int other) {
        if (fd >= 0) close(fd);
        fd = other;
    }
};

bool exists(const std::string& path);
// 1/0 as exists, logging why a path is missing.
int file_exists(const std::string& path);
bool is_dir(const std::string& path);
bool is_file(const std::string& path);
// A regular file: whether it opens for writing (content untouched). Anything else: the owner-write bit.
bool is_writable(const std::string& path);
// -1 (logged) for an empty path or a failed stat.
int64_t file_size(const std::string& path);
int file_set_attr(const char* path, mode_t mode);
// 0; -1 null path, -2 null out-pointer, -3 stat failure.
int file_get_attr(const char* path, mode_t* mode);
// Octal digit text to its value: "755" gives 493; 0 (logged) for a malformed text.
unsigned oct_string2dec(const char* text);
// Creates the directory and its missing parents; the result is that of the last mkdir.
int folder_create(const std::string& path, mode_t mode);
int link_create(const std::string& link, const std::string& target, int create_parents);
int remove_file(const std::string& path, int ignore_missing);
// Removes a tree deepest first. A symbolic link inside it is removed as a link, never followed.
void remove_dir(const std::string& path);
int remove_fs_entry(const std::string& path);
// 0 removed, 1 did not exist, -1 failure, not empty, or a symbolic link.
int remove_dir_if_empty(const std::string& path, int recursive);
// A file written beside its final name and renamed over it by commit(): a reader never sees half a
// file, a failed write leaves the old file in place, and a link planted at the final name is
// replaced, not followed. The destructor removes the temporary file unless it was committed.
class temp_file {
public:
    // mkstemp(destination + ".XXXXXX"), given mode (less the umask) once created.
    explicit temp_file(const std::string& destination, mode_t mode = 0666);
    ~temp_file();
    temp_file(const temp_file&) = delete;
    temp_file& operator=(const temp_file&) = delete;
    explicit operator bool() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }
    // fsync, close and rename over the destination; false (nothing renamed) when any step fails.
    bool commit();

private:
    std::string m_destination;
    std::string m_path;
    int m_fd = -1;
};

// 0; -1 short write; -3 source and -4 destination cannot be opened. A regular destination is
// replaced whole (see temp_file); a device or pipe named as the destination is written in place.
int file_copy(const std::string& source, const std::string& destination);
// file_copy, then the source is removed only when the copy succeeded in full.
int file_move(const std::string& source, const std::string& destination);
int write_file(const char* path, const char* text);
// The whole file, NUL-terminated, malloc'ed and owned by the caller; null on failure.
char* get_file(const std::string& path, int quiet);
// The same into a string; 0, or -1 when the file cannot be read.
int get_file(const std::string& path, std::string& content, int quiet);
std::vector<std::string> readContentOfTextFile(const std::string& path);
std::string get_basename(const std::string& path);
std::string get_dirname(const std::string& path);
// The absolute form of a path with ".", ".." and symbolic links resolved, also when its last parts
// do not exist yet: the parts that exist are resolved as the kernel resolves them, the rest by their
// text. "" for an empty path, an unreadable working folder or a loop of links.
std::string path_resolve(const std::string& path);
std::string getExtension(const std::string& path);
std::string cutExtension(const std::string& path);
std::string getFilePartition(const std::string& path);
// Megabytes free on the partition of the path's nearest existing ancestor.
int64_t getPartitionFreeSpace(const std::string& path);
std::string getRandomFileName(const std::string& name_template);
// Writes all of bytes to the descriptor, going on after interrupted and partial writes.
bool fd_write_all(int fd, const std::string& bytes);
