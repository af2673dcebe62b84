// What the installation back-ends share below the provider classes: decompressing a payload
// stream (gzip, xz, zstd or none) on a thread of its own, writing archive entries under a prefix
// without ever leaving it, removing what a list names, crash-safe whole-file writes and running a
// program from an argument vector.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "file.h"

// Whole file through a temporary name beside it, fsync, rename and a sync of the folder: a crash
// leaves the old or the new content, never a truncated file. 0 or -1 (logged).
int payload_write_file_atomic(const std::string& path, const std::string& content, mode_t mode);

// count random letters and digits, for names no other writer guesses (each thread draws its own).
std::string payload_random_text(size_t count);

// While one lives, the flush to the disk of the records written through payload_write_file_atomic
// and of the extraction lists is deferred and done once, for all of them, when the last one ends.
// Every record is still written whole and renamed into place, so a killed process leaves the old
// or the new content exactly as before; only the wait for the disk is shared by the components of
// a run instead of paid twice for each.
class payload_sync_batch {
public:
    payload_sync_batch();
    ~payload_sync_batch();
    payload_sync_batch(const payload_sync_batch&) = delete;
    payload_sync_batch& operator=(const payload_sync_batch&) = delete;
};

// Runs argv[0] (searched in PATH) with the arguments as they are: no shell sees them. extra_env
// entries ("NAME=value") are added to the environment. Standard output goes into *output when it
// is given, else to output_path appended ("" for /dev/null); standard error goes to output_path.
// The exit status, 128 + signal for a killed program, -1 when it could not be started.
int payload_run(const std::vector<std::string>& argv, const std::string& output_path, std::string* output,
                const std::vector<std::string>& extra_env = {});
// The command as a shell would read it, every word quoted where needed: for the log.
std::string payload_command_text(const std::vector<std::string>& argv);

enum class payload_kind { none, gzip, xz, zstd, unknown };
// The compression named by the first bytes of a stream.
payload_kind payload_detect(const unsigned char* bytes, size_t size);
const char* payload_kind_name(payload_kind kind);

// Decompressed bytes lent by a source, valid while keeper is held.
struct payload_piece {
    std::shared_ptr<const void> keeper;
    const unsigned char* data = nullptr;
    size_t size = 0;
};

// A stream of decompressed bytes. read: bytes read (short only at the end), 0 at the clean end,
// -1 for a damaged, truncated or unreadable stream (logged once).
class payload_source {
public:
    virtual ~payload_source() = default;
    virtual int64_t read(void* buffer, size_t size) = 0;
    // Lends the next size bytes as pieces, of the source's own buffers where it has them (no
    // copy): 0, or -1 when the stream ends early or fails.
    virtual int read_pieces(uint64_t size, std::vector<payload_piece>* pieces);
    // Reads exactly size bytes: 0, or -1 when the stream ends early or fails.
    int read_exact(void* buffer, size_t size);
    // Reads and drops size bytes: 0 or -1.
    int skip(uint64_t size);
    // Reads and drops the rest of the stream: 0, or -1 when it is damaged. An archive's end marker
    // comes before the end of the compressed stream, whose own check (a checksum in its last
    // bytes) is made only when the stream is read to its end.
    int finish_stream();
};

// Decompresses the bytes of fd from offset on, of the kind named by the stream's first bytes,
// on a separate thread. The descriptor stays the caller's and must outlive the source. Null
// (logged) for an unknown compression.
std::unique_ptr<payload_source> payload_open(int fd, int64_t offset);
// The same over bytes in memory (for the fuzz targets), without a thread.
std::unique_ptr<payload_source> payload_open_memory(const unsigned char* data, size_t size);

// Refuses names that are absolute, empty or hold a ".." component; otherwise the name with "./",
// "." components and repeated slashes dropped. 0, or -1.
int payload_clean_name(const std::string& name, std::string* clean);

// Writes archive entries below a prefix. Every path is walked from the prefix one component at a
// time without following symbolic links, so nothing is written through a link that exists on disk;
// symbolic links are created only after everything else, so no entry is written through a link an
// earlier entry made. Files are written under a temporary name beside their place and renamed when
// complete. Each path is appended to the list file before its entry is made final, so a killed
// install leaves a list of everything it put on disk. As root the archive's owners are not applied
// (files belong to root); otherwise setuid and setgid bits are dropped and the umask applies.
struct payload_writer_pool;
struct write_job_t;

struct payload_existed;

class payload_extractor {
public:
    payload_extractor(const std::string& prefix, const std::string& list_path);
    ~payload_extractor();
    payload_extractor(const payload_extractor&) = delete;
    payload_extractor& operator=(const payload_extractor&) = delete;

    // Creates the prefix (and its parents), opens it and the list file. 0 or -1.
    int open();
    // Each returns 0 or -1 (logged, counted in failures()). name is relative to the prefix and
    // goes through payload_clean_name.
    int add_directory(const std::string& name, mode_t mode, int64_t mtime);
    // Streams size bytes from the source into the file. -1 for a refused entry (its data skipped);
    // -2 when the source ended or failed and is unusable: the caller stops.
    int add_file(const std::string& name, mode_t mode, int64_t mtime, payload_source& source, uint64_t size);
    int add_symlink(const std::string& name, const std::string& target);
    // The owner the next files and folders are given, when running as root (an ordinary user can
    // give files to nobody else). Unset, or equal to this process's, nothing is changed.
    void set_owner(uint64_t uid, uint64_t gid);
    int add_hardlink(const std::string& name, const std::string& target);
    // Waits until every file handed to the writer threads is in place. 0, or -1 when one failed.
    int drain();
    // Creates the symbolic links and sets the directories' modes. 0, or -1 when something failed
    // now or earlier.
    int finish();
    int failures() const { return m_failures; }
    // The entries (absolute paths) that were on disk before this extraction wrote them: a failed
    // extraction removes what it made, never what an earlier installation or the user had there.
    std::vector<std::string> existed() const;
    // Absolute path of a name below the prefix.
    std::string target(const std::string& clean_name) const { return m_prefix + "/" + clean_name; }
    const std::string& prefix() const { return m_prefix; }

private:
    int parent_fd(const std::string& clean, bool create, std::string* base);
    // Lists clean, once. With now, the list (with whatever lines wait) goes to the file before
    // return; otherwise the line waits for the next flush, which comes before the entry is made.
    // *repeated tells whether the name came before in this archive.
    int record(const std::string& clean, bool now = true, bool* repeated = nullptr);
    int flush_list();
    // Hands the staged small files to the writers, after their lines are in the list.
    void publish();
    int fail();
    mode_t effective_mode(mode_t mode) const;

    std::string m_prefix;
    std::string m_listPath;
    int m_root = -1;
    int m_list = -1;
    int m_failures = 0;
    bool m_asRoot = false;
    bool m_chown = false;  // the next entries go to m_uid:m_gid
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    gid_t m_egid = 0;  // the group new entries get anyway
    mode_t m_umask = 022;
    std::string m_cachedDir;  // the last parent folder walked, and its descriptor
    std::shared_ptr<fd_owner> m_cached;
    // The folders of the last path walked, outermost first, each open.
    std::vector<std::pair<std::string, std::shared_ptr<fd_owner>>> m_chain;
    // Small files are written by a few threads at once: creating files, not copying bytes, is what
    // an archive of many files spends its time on.
    std::unique_ptr<payload_writer_pool> m_pool;
    std::map<std::string, std::string> m_links;  // symbolic links made at finish: name -> target
    std::vector<std::pair<std::string, mode_t>> m_dirModes;
    std::unordered_set<std::string> m_recorded;  // every name seen, listed or not
    std::shared_ptr<payload_existed> m_existed;   // filled by the writers too
    std::string m_listWaiting;  // lines not written to the list yet
    // Small files read but not yet handed to the writers: handing them over a few at a time costs
    // one list write and one wake-up for the lot instead of one each.
    std::vector<write_job_t> m_staged;
    size_t m_stagedBytes = 0;
    uint64_t m_inlineBytes = 0;  // written on this thread, before any writer started
};

// Removes the listed paths in reverse order (files before their folders; folders only when empty;
// missing entries ignored). A path outside the prefix is refused, and every path is walked from the
// prefix without following links, so removal never leaves it. The number of refused entries.
int payload_remove_listed(const std::string& prefix, const std::vector<std::string>& paths);
// Removes what an earlier installation listed and a new one did not write again: the entries of
// old_paths missing from new_paths, as payload_remove_listed removes them below old_prefix.
int payload_remove_stale(const std::string& old_prefix, const std::vector<std::string>& old_paths,
                         const std::vector<std::string>& new_paths);
// Removes the empty folders from start up to and including stop (start must lie inside stop);
// a non-empty folder, a link or any failure ends the walk.
void payload_remove_empty_up(const std::string& start, const std::string& stop);
