#include "payload.h"

#include <fcntl.h>
#include <isa-l/igzip_lib.h>
#include <lzma.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "utils.h"

extern char** environ;

std::string payload_random_text(size_t count) {
    static thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<uint64_t>(getpid())};
    static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string text;
    for (size_t i = 0; i < count; ++i) text += digits[random() % (sizeof(digits) - 1)];
    return text;
}

namespace {

constexpr size_t input_chunk = 1 << 20;   // compressed bytes read at once
constexpr size_t output_block = 1 << 20;  // decompressed bytes handed over at once
constexpr size_t queue_blocks = 4;        // bounds memory whatever the payload's size

// A byte buffer that is not zeroed when allocated: every byte is written before it is read, and
// zeroing megabytes of inflated data that is overwritten at once costs as much as copying it.
class raw_bytes {
public:
    raw_bytes() = default;
    explicit raw_bytes(size_t size) : m_data(size ? new unsigned char[size] : nullptr), m_size(size) {}
    unsigned char* data() { return m_data.get(); }
    const unsigned char* data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    size_t capacity() const { return m_capacity ? m_capacity : m_size; }
    bool empty() const { return m_size == 0; }
    // Shrinks or restores the used size within the allocation.
    void set_size(size_t size) {
        if (!m_capacity) m_capacity = m_size;
        m_size = std::min(size, m_capacity);
    }

private:
    std::unique_ptr<unsigned char[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

std::string errno_text() { return strerror(errno); }

bool write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, p, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool write_pieces(int fd, const std::vector<payload_piece>& pieces) {
    for (const payload_piece& piece : pieces) {
        if (!write_all(fd, piece.data, piece.size)) return false;
    }
    return true;
}

// The name an entry is written under until it is complete: derived from its final name, so that
// removing a listed entry also removes what a killed install left half-written beside it.
std::string part_name(const std::string& base) { return "." + base.substr(0, 200) + ".lumo-part"; }

// A name no other writer guesses: the target's name hidden behind a dot with a random tail.
std::string temp_name(const std::string& base) { return "." + base.substr(0, 200) + ".lumo" + payload_random_text(8); }

// Where the compressed bytes come from: a descriptor from an offset, or memory.
class byte_input {
public:
    virtual ~byte_input() = default;
    virtual int64_t read(unsigned char* buffer, size_t size) = 0;
};

class fd_input : public byte_input {
public:
    fd_input(int fd, int64_t offset) : m_fd(fd), m_offset(offset) {}
    int64_t read(unsigned char* buffer, size_t size) override {
        for (;;) {
            const ssize_t got = pread(m_fd, buffer, size, m_offset);
            if (got < 0 && errno == EINTR) continue;
            if (got > 0) m_offset += got;
            return got;
        }
    }

private:
    int m_fd;
    int64_t m_offset;
};

class memory_input : public byte_input {
public:
    memory_input(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}
    int64_t read(unsigned char* buffer, size_t size) override {
        const size_t n = std::min(size, m_size - m_pos);
        if (n) memcpy(buffer, m_data + m_pos, n);
        m_pos += n;
        return static_cast<int64_t>(n);
    }

private:
    const unsigned char* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// The decoders: each fills buffer and returns the bytes produced, 0 at the clean end, -1 on error.
class decoder : public payload_source {
public:
    explicit decoder(std::unique_ptr<byte_input> input) : m_input(std::move(input)), m_in(input_chunk) {}

protected:
    // Refills the input buffer when it is empty; false at the end of the input.
    bool refill() {
        if (m_inPos < m_inLen) return true;
        if (m_eof) return false;
        const int64_t got = m_input->read(m_in.data(), m_in.size());
        if (got < 0) {
            error("payload_source: can not read the payload: %s", errno_text().c_str());
            m_failed = true;
            return false;
        }
        m_inPos = 0;
        m_inLen = static_cast<size_t>(got);
        if (got == 0) m_eof = true;
        return got > 0;
    }

    std::unique_ptr<byte_input> m_input;
    raw_bytes m_in;
    size_t m_inPos = 0;
    size_t m_inLen = 0;
    bool m_eof = false;
    bool m_failed = false;
    bool m_done = false;
};

class plain_decoder : public decoder {
public:
    using decoder::decoder;
    int64_t read(void* buffer, size_t size) override {
        if (m_failed) return -1;
        if (!refill()) return m_failed ? -1 : 0;
        const size_t n = std::min(size, m_inLen - m_inPos);
        memcpy(buffer, m_in.data() + m_inPos, n);
        m_inPos += n;
        return static_cast<int64_t>(n);
    }
};

class gzip_decoder : public decoder {
public:
    explicit gzip_decoder(std::unique_ptr<byte_input> input)
        : decoder(std::move(input)), m_state(new inflate_state) {
        start_member();
    }
    int64_t read(void* buffer, size_t size) override {
        if (m_failed) return -1;
        if (m_done) return 0;
        unsigned char* out = static_cast<unsigned char*>(buffer);
        size_t produced = 0;
        while (produced < size && !m_done) {
            if (m_state->avail_in == 0) {
                const bool more = refill();
                if (m_failed) return -1;
                m_state->next_in = m_in.data() + m_inPos;
                m_state->avail_in = static_cast<uint32_t>(m_inLen - m_inPos);
                m_inPos = m_inLen;  // the state holds these bytes now
                if (!more && m_state->avail_in == 0 && m_state->block_state != ISAL_BLOCK_FINISH) {
                    // Input ended inside a member; what was buffered inside the state is drained first.
                    m_state->next_out = out + produced;
                    m_state->avail_out = static_cast<uint32_t>(size - produced);
                    const int ret = isal_inflate(m_state.get());
                    const size_t got = static_cast<size_t>(m_state->next_out - (out + produced));
                    produced += got;
                    if (ret < 0 || (got == 0 && m_state->block_state != ISAL_BLOCK_FINISH)) {
                        error("payload_source: the gzip stream is truncated");
                        m_failed = true;
                        return -1;
                    }
                    if (m_state->block_state == ISAL_BLOCK_FINISH) end_member();
                    continue;
                }
            }
            m_state->next_out = out + produced;
            m_state->avail_out = static_cast<uint32_t>(size - produced);
            const int ret = isal_inflate(m_state.get());
            if (ret < 0) {
                error("payload_source: the gzip stream is damaged (%d)", ret);
                m_failed = true;
                return -1;
            }
            produced += static_cast<size_t>(m_state->next_out - (out + produced));
            if (m_state->block_state == ISAL_BLOCK_FINISH) end_member();
        }
        return static_cast<int64_t>(produced);
    }

private:
    void start_member() {
        isal_inflate_init(m_state.get());
        m_state->crc_flag = ISAL_GZIP;  // parses the header and checks the trailer's CRC and size
    }
    // A member ended: another may follow (concatenated gzip); anything else after it ends the data.
    void end_member() {
        const uint8_t* next = m_state->next_in;
        uint32_t avail = m_state->avail_in;
        if (avail == 0) {
            if (!refill()) {
                m_done = !m_failed;
                return;
            }
            next = m_in.data() + m_inPos;
            avail = static_cast<uint32_t>(m_inLen - m_inPos);
            m_inPos = m_inLen;
        }
        if (avail >= 2 && next[0] == 0x1f && next[1] == 0x8b) {
            start_member();
            m_state->next_in = const_cast<uint8_t*>(next);
            m_state->avail_in = avail;
            return;
        }
        print_log("payload_source: %u bytes after the gzip stream ignored", avail);
        m_done = true;
    }

    std::unique_ptr<inflate_state> m_state;
};

class xz_decoder : public decoder {
public:
    explicit xz_decoder(std::unique_ptr<byte_input> input) : decoder(std::move(input)) {
        if (lzma_auto_decoder(&m_stream, UINT64_MAX, LZMA_CONCATENATED) != LZMA_OK) m_failed = true;
    }
    ~xz_decoder() override { lzma_end(&m_stream); }
    int64_t read(void* buffer, size_t size) override {
        if (m_failed) {
            error("payload_source: the xz stream is damaged");
            return -1;
        }
        if (m_done) return 0;
        m_stream.next_out = static_cast<uint8_t*>(buffer);
        m_stream.avail_out = size;
        while (m_stream.avail_out > 0) {
            if (m_stream.avail_in == 0) {
                refill();
                if (m_failed) return -1;
                m_stream.next_in = m_in.data() + m_inPos;
                m_stream.avail_in = m_inLen - m_inPos;
                m_inPos = m_inLen;
            }
            const lzma_ret ret = lzma_code(&m_stream, m_eof && m_stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
            if (ret == LZMA_STREAM_END) {
                m_done = true;
                break;
            }
            if (ret != LZMA_OK) {
                error("payload_source: the xz stream is damaged or truncated (%d)", static_cast<int>(ret));
                m_failed = true;
                return -1;
            }
        }
        return static_cast<int64_t>(size - m_stream.avail_out);
    }

private:
    lzma_stream m_stream = LZMA_STREAM_INIT;
};

class zstd_decoder : public decoder {
public:
    explicit zstd_decoder(std::unique_ptr<byte_input> input) : decoder(std::move(input)), m_ctx(ZSTD_createDCtx()) {
        if (!m_ctx) m_failed = true;
    }
    ~zstd_decoder() override { ZSTD_freeDCtx(m_ctx); }
    int64_t read(void* buffer, size_t size) override {
        if (m_failed) return -1;
        if (m_done) return 0;
        ZSTD_outBuffer out = {buffer, size, 0};
        while (out.pos < out.size) {
            if (m_inPos == m_inLen) {
                if (!refill()) {
                    if (m_failed) return -1;
                    if (m_pending != 0) {
                        // Output may still sit in the context after the input ended.
                        ZSTD_inBuffer empty = {nullptr, 0, 0};
                        const size_t before = out.pos;
                        m_pending = ZSTD_decompressStream(m_ctx, &out, &empty);
                        if (ZSTD_isError(m_pending) || (out.pos == before && m_pending != 0)) {
                            error("payload_source: the zstd stream is truncated");
                            m_failed = true;
                            return -1;
                        }
                        continue;
                    }
                    m_done = true;
                    break;
                }
            }
            ZSTD_inBuffer in = {m_in.data(), m_inLen, m_inPos};
            m_pending = ZSTD_decompressStream(m_ctx, &out, &in);
            m_inPos = in.pos;
            if (ZSTD_isError(m_pending)) {
                error("payload_source: the zstd stream is damaged: %s", ZSTD_getErrorName(m_pending));
                m_failed = true;
                return -1;
            }
        }
        return static_cast<int64_t>(out.pos);
    }

private:
    ZSTD_DCtx* m_ctx;
    size_t m_pending = 1;  // 0 once a frame is complete
};

// The engine's stopping signals go to the thread that runs the sequence, never to a helper
// thread: a handler there could act before that thread has recorded the child it started.
sigset_t stopping_signals() {
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int signo : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) sigaddset(&stopping, signo);
    return stopping;
}

void block_stopping_signals() {
    const sigset_t stopping = stopping_signals();
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
}

// Runs a decoder on a thread of its own and hands its output over in bounded blocks, so inflating
// and writing files overlap and memory stays a few blocks whatever the payload's size. Blocks are
// lent to the writers as they are, not copied, and used again once nobody holds them.
class threaded_source : public payload_source {
public:
    explicit threaded_source(std::unique_ptr<payload_source> inner) : m_inner(std::move(inner)) {
        m_thread = std::thread([this] {
            block_stopping_signals();
            produce();
        });
    }
    ~threaded_source() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    int64_t read(void* buffer, size_t size) override {
        unsigned char* out = static_cast<unsigned char*>(buffer);
        size_t given = 0;
        while (given < size) {
            const int more = next_bytes();
            if (more < 0) return -1;
            if (more == 0) break;
            const size_t n = std::min(size - given, m_current->size() - m_pos);
            memcpy(out + given, m_current->data() + m_pos, n);
            m_pos += n;
            given += n;
        }
        return static_cast<int64_t>(given);
    }
    int read_pieces(uint64_t size, std::vector<payload_piece>* pieces) override {
        pieces->clear();
        while (size > 0) {
            if (next_bytes() <= 0) return -1;
            const size_t n = static_cast<size_t>(std::min<uint64_t>(size, m_current->size() - m_pos));
            pieces->push_back({m_current, m_current->data() + m_pos, n});
            m_pos += n;
            size -= n;
        }
        return 0;
    }

private:
    using block_ptr = std::shared_ptr<raw_bytes>;

    // Makes sure the current block has bytes left: 1, 0 at the clean end, -1 on failure.
    int next_bytes() {
        if (m_current && m_pos < m_current->size()) return 1;
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_blocks.empty() || m_finished; });
        if (m_blocks.empty()) return m_status < 0 ? -1 : 0;
        if (m_current) {
            // Kept to be used again; the oldest are let go, so blocks the writers hold long are
            // freed by them instead of piling up here.
            if (m_spare.size() >= spare_blocks) m_spare.erase(m_spare.begin());
            m_spare.push_back(std::move(m_current));
        }
        m_current = std::move(m_blocks.front());
        m_blocks.pop_front();
        m_pos = 0;
        lock.unlock();
        m_changed.notify_all();
        return 1;
    }

    void produce() {
        for (;;) {
            block_ptr block = take_free_block();
            size_t filled = 0;
            int64_t got = 0;
            while (filled < block->size() &&
                   (got = m_inner->read(block->data() + filled, block->size() - filled)) > 0)
                filled += static_cast<size_t>(got);
            block->set_size(filled);
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_blocks.size() < queue_blocks || m_stop; });
            if (m_stop) break;
            if (!block->empty()) m_blocks.push_back(std::move(block));
            if (got <= 0) {
                m_status = got < 0 ? -1 : 0;
                break;
            }
            lock.unlock();
            m_changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
    }

    // A block nobody holds any more is used again, instead of a fresh allocation (and its page
    // faults) for every megabyte.
    block_ptr take_free_block() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_spare.begin(); it != m_spare.end(); ++it) {
            if (it->use_count() != 1) continue;
            // The last holder's reads of the block come before its release of it.
            std::atomic_thread_fence(std::memory_order_acquire);
            block_ptr block = std::move(*it);
            m_spare.erase(it);
            block->set_size(output_block);
            return block;
        }
        return std::make_shared<raw_bytes>(output_block);
    }

    static constexpr size_t spare_blocks = 32;
    std::unique_ptr<payload_source> m_inner;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<block_ptr> m_blocks;
    std::vector<block_ptr> m_spare;
    block_ptr m_current;
    size_t m_pos = 0;
    bool m_stop = false;
    bool m_finished = false;
    int m_status = 0;
};

std::unique_ptr<payload_source> make_decoder(payload_kind kind, std::unique_ptr<byte_input> input) {
    switch (kind) {
    case payload_kind::none: return std::make_unique<plain_decoder>(std::move(input));
    case payload_kind::gzip: return std::make_unique<gzip_decoder>(std::move(input));
    case payload_kind::xz: return std::make_unique<xz_decoder>(std::move(input));
    case payload_kind::zstd: return std::make_unique<zstd_decoder>(std::move(input));
    case payload_kind::unknown: break;
    }
    error("payload_open: the payload's compression is not supported");
    return nullptr;
}

// Splits "a/b/c" into its components.
std::vector<std::string> components(const std::string& clean) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= clean.size()) {
        const size_t slash = clean.find('/', start);
        const size_t end = slash == std::string::npos ? clean.size() : slash;
        if (end > start) parts.push_back(clean.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return parts;
}

// Opens the folder of components [0, count) below root, never following a link. With create,
// missing folders are made (mode 0755 less the umask). The descriptor, or -1.
int walk(int root, const std::vector<std::string>& parts, size_t count, bool create) {
    int fd = dup(root);
    for (size_t i = 0; i < count && fd >= 0; ++i) {
        int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(fd, parts[i].c_str(), 0755) == 0 || errno == EEXIST)
                next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        close(fd);
        fd = next;
    }
    return fd;
}

constexpr size_t pool_threads = 4;
constexpr uint64_t pool_file_max = 8 << 20;   // larger files are streamed by the reading thread
constexpr size_t pool_bytes_max = 16 << 20;   // data waiting for the writers, at most
constexpr size_t chain_depth_max = 64;        // folders of the last path kept open, at most
// A small payload is inflated and written on the calling thread: for a few kilobytes, starting
// threads and handing data between them costs more than it saves.
constexpr int64_t threaded_payload_min = 256 << 10;  // compressed bytes
constexpr uint64_t inline_write_max = 1 << 20;      // bytes written before the writers start
constexpr size_t stage_files_max = 16;        // small files handed to the writers at once
constexpr size_t stage_bytes_max = 512 << 10;

// Creates the part file of an entry, removing one a killed install left there (a link there is
// removed, never followed). The mode is the entry's own when the umask leaves it whole, so no
// separate chmod is needed.
int create_part(int dir, const std::string& temp, mode_t mode, mode_t mask) {
    const mode_t initial = (mode & ~mask) == mode ? mode : 0600;
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(dir, temp.c_str(), flags, initial);
    if (fd < 0 && errno == EEXIST) {
        unlinkat(dir, temp.c_str(), 0);
        fd = openat(dir, temp.c_str(), flags, initial);
    }
    return fd;
}

}  // namespace

// Entries found on disk when this extraction came to write them; the writer threads add to it.
struct payload_existed {
    std::mutex lock;
    std::vector<std::string> names;
    void add(const std::string& name) {
        const std::lock_guard<std::mutex> hold(lock);
        names.push_back(name);
    }
};

namespace {

// Opens the file an entry is written to. A new name is created in place (exclusively, never
// through a link): it is already in the list, so a kill halfway leaves a file that uninstall
// removes. A name that exists (a repair, an update) is written under its part name and renamed
// over the old file afterwards, so the old one stays whole until the new one is.
int create_target(int dir, const char* base, const std::string& temp, mode_t mode, mode_t mask, bool* in_place) {
    const mode_t initial = (mode & ~mask) == mode ? mode : 0600;
    const int fd = openat(dir, base, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, initial);
    *in_place = fd >= 0;
    if (fd >= 0 || errno != EEXIST) return fd;
    return create_part(dir, temp, mode, mask);
}

}  // namespace

struct write_job_t {
    std::shared_ptr<fd_owner> dir;
    std::string target;  // the path, for messages
    size_t base = 0;     // where the name in the folder starts in target
    std::vector<payload_piece> data;  // lent by the source: its blocks stay taken until written
    size_t size = 0;
    mode_t mode = 0;
    mode_t umask = 0;
    int64_t mtime = 0;
    payload_existed* existed = nullptr;  // told when the name was taken before this archive
    bool chown = false;                  // give the file to uid:gid (its mode is set again after)
    uid_t uid = 0;
    gid_t gid = 0;
};

namespace {

// What a job counts against the writers' queue: its bytes, and at least a block of the source
// held for it, however small the file, so memory stays bounded for any number of tiny files.
size_t job_weight(const write_job_t& job) { return job.size + 1024; }

// Writes one file. true on success (logged otherwise).
bool write_job(const write_job_t& job) {
    const char* base = job.target.c_str() + job.base;
    const std::string temp = part_name(base);
    const int dir = job.dir->fd;
    bool in_place = false;
    fd_owner out{create_target(dir, base, temp, job.mode, job.umask, &in_place)};
    if (!in_place && job.existed) job.existed->add(job.target);
    // A change of owner takes the set-id bits: the mode is set after it.
    bool ok = out.fd >= 0 && write_pieces(out.fd, job.data) &&
              (!job.chown || fchown(out.fd, job.uid, job.gid) == 0) &&
              ((!job.chown && (job.mode & ~job.umask) == job.mode) || fchmod(out.fd, job.mode) == 0);
    if (ok && job.mtime > 0) {
        const struct timespec times[2] = {{job.mtime, 0}, {job.mtime, 0}};
        futimens(out.fd, times);
    }
    ok = ok && (in_place || renameat(dir, temp.c_str(), dir, base) == 0);
    if (!ok) {
        error("payload_extractor: can not write %s: %s", job.target.c_str(), errno_text().c_str());
        unlinkat(dir, in_place ? base : temp.c_str(), 0);
    }
    return ok;
}

}  // namespace

// Writers give way to the thread that inflates and the one that reads entries: every writer waits
// for those two, and a writer that takes their processor on a wake-up idles the whole pipeline.
// As throughput work at a lower weight (this thread only) they use what those two leave.
static void yield_to_reader() {
    struct sched_param none {};
    sched_setscheduler(0, SCHED_BATCH, &none);
    const id_t thread = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, thread);
    if (errno == 0) setpriority(PRIO_PROCESS, thread, nice + 5);
}

struct payload_writer_pool {
    std::mutex mutex;
    // Two conditions, each signalled only when someone waits for it: a wake-up is a system call
    // (and, on a virtual machine, an interrupt to another processor), too dear to pay per file.
    std::condition_variable work;  // writers wait for jobs
    std::condition_variable room;  // the reader waits for room in the queue, or for the end
    std::deque<write_job_t> jobs;
    size_t bytes = 0;
    int busy = 0;
    int idle = 0;     // writers waiting for a job
    int waiting = 0;  // readers waiting on room
    int failures = 0;
    bool stop = false;
    std::vector<std::thread> threads;

    // Writers start as jobs come and none is free, up to pool_threads: a package of a few files
    // (or none) does not pay for threads it would not use.
    payload_writer_pool() = default;
    ~payload_writer_pool() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        work.notify_all();
        for (std::thread& t : threads) t.join();
    }
    // Queues a batch of jobs and wakes as many idle writers as it has jobs.
    void submit(std::vector<write_job_t>& batch) {
        if (batch.empty()) return;
        std::unique_lock<std::mutex> lock(mutex);
        wait_room(lock, [this] { return bytes < pool_bytes_max || (jobs.empty() && busy == 0); });
        for (write_job_t& job : batch) {
            bytes += job_weight(job);
            jobs.push_back(std::move(job));
        }
        batch.clear();
        for (size_t have = static_cast<size_t>(idle); have < jobs.size() && threads.size() < pool_threads; ++have)
            threads.emplace_back([this] {
                block_stopping_signals();
                yield_to_reader();
                run();
            });
        const size_t wake = std::min<size_t>(static_cast<size_t>(idle), jobs.size());
        lock.unlock();
        if (wake >= static_cast<size_t>(pool_threads)) {
            work.notify_all();
        } else {
            for (size_t i = 0; i < wake; ++i) work.notify_one();
        }
    }
    // Waits until every job is done; the failures since the last call.
    int wait_idle() {
        std::unique_lock<std::mutex> lock(mutex);
        wait_room(lock, [this] { return jobs.empty() && busy == 0; });
        const int failed = failures;
        failures = 0;
        return failed;
    }
    template <class Ready>
    void wait_room(std::unique_lock<std::mutex>& lock, Ready ready) {
        ++waiting;
        room.wait(lock, ready);
        --waiting;
    }
    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            ++idle;
            work.wait(lock, [this] { return stop || !jobs.empty(); });
            --idle;
            if (jobs.empty()) return;
            write_job_t job = std::move(jobs.front());
            jobs.pop_front();
            ++busy;
            lock.unlock();
            const bool ok = write_job(job);
            const size_t size = job_weight(job);
            job = write_job_t{};  // the data goes before the lock is taken again
            lock.lock();
            --busy;
            bytes -= size;
            if (!ok) ++failures;
            // The reader is woken once a quarter of the queue is free, not for every file.
            if (waiting > 0 && (bytes <= pool_bytes_max / 4 * 3 || (jobs.empty() && busy == 0))) room.notify_all();
        }
    }
};

int payload_source::read_exact(void* buffer, size_t size) {
    unsigned char* p = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const int64_t got = read(p, size);
        if (got <= 0) return -1;
        p += got;
        size -= static_cast<size_t>(got);
    }
    return 0;
}

int payload_source::read_pieces(uint64_t size, std::vector<payload_piece>* pieces) {
    pieces->clear();
    if (size == 0) return 0;
    auto bytes = std::make_shared<raw_bytes>(static_cast<size_t>(size));
    if (read_exact(bytes->data(), bytes->size()) != 0) return -1;
    pieces->push_back({bytes, bytes->data(), bytes->size()});
    return 0;
}

int payload_source::finish_stream() {
    std::vector<unsigned char> scratch(1 << 16);
    for (;;) {
        const int64_t got = read(scratch.data(), scratch.size());
        if (got < 0) return -1;
        if (got == 0) return 0;
    }
}

int payload_source::skip(uint64_t size) {
    std::vector<unsigned char> scratch(static_cast<size_t>(std::min<uint64_t>(size, 1 << 16)));
    while (size > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size, scratch.size()));
        if (read_exact(scratch.data(), n) != 0) return -1;
        size -= n;
    }
    return 0;
}

namespace {

struct sync_batch_t {
    std::mutex mutex;
    int depth = 0;
    // The written files by the name they are written for, open for reading (renames do not
    // matter). A record written again replaces its entry: the content it replaced is gone.
    std::map<std::string, int> files;
    std::set<std::string> folders;
};

sync_batch_t& sync_batch() {
    static sync_batch_t batch;
    return batch;
}

constexpr size_t sync_batch_max = 64;  // descriptors held open at most

int sync_fd(int fd) {
    while (fsync(fd) != 0) {
        if (errno != EINTR) return -1;
    }
    return 0;
}

// A folder that cannot be opened (gone since) has nothing to flush. 0 or -1.
int sync_folder(const std::string& folder) {
    fd_owner dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    return dir.fd >= 0 ? sync_fd(dir.fd) : 0;
}

void flush_sync_batch(sync_batch_t& batch) {
    int failed = 0;
    for (const auto& entry : batch.files) {
        if (sync_fd(entry.second) != 0) ++failed;
        close(entry.second);
    }
    for (const std::string& folder : batch.folders) {
        if (sync_folder(folder) != 0) ++failed;
    }
    if (failed) error("payload_sync_batch: %d records could not be flushed to the disk: %s", failed, errno_text().c_str());
    batch.files.clear();
    batch.folders.clear();
}

// Hands the flush of the file at path, written for the name record (and of its folder), to the
// running batch: true, or false when no batch runs and the caller flushes now. The batch holds
// the file open for reading only: a writable descriptor would keep a script just written from
// being run ("text file busy").
bool sync_defer(const std::string& path, const std::string& record, const std::string& folder) {
    sync_batch_t& batch = sync_batch();
    std::lock_guard<std::mutex> lock(batch.mutex);
    if (batch.depth == 0) return false;
    const int copy = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (copy < 0) return false;
    const auto it = batch.files.find(record);
    if (it != batch.files.end()) {
        close(it->second);
        it->second = copy;
    } else {
        if (batch.files.size() >= sync_batch_max) flush_sync_batch(batch);
        batch.files.emplace(record, copy);
    }
    batch.folders.insert(folder);
    return true;
}

}  // namespace

payload_sync_batch::payload_sync_batch() {
    sync_batch_t& batch = sync_batch();
    std::lock_guard<std::mutex> lock(batch.mutex);
    ++batch.depth;
}

payload_sync_batch::~payload_sync_batch() {
    sync_batch_t& batch = sync_batch();
    std::lock_guard<std::mutex> lock(batch.mutex);
    if (--batch.depth == 0) flush_sync_batch(batch);
}

int payload_write_file_atomic(const std::string& file, const std::string& content, mode_t mode) {
    const std::string dir = get_dirname(file).empty() ? "." : get_dirname(file);
    const std::string temp = dir + "/" + temp_name(get_basename(file));
    fd_owner out{::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)};
    if (out.fd < 0) {
        error("payload_write_file_atomic: can not create %s: %s", temp.c_str(), errno_text().c_str());
        return -1;
    }
    // Alone, the content reaches the disk before the rename. In a batch it does when the batch
    // ends; until then the kernel holds it, which a killed process does not change.
    bool deferred = false;
    if (!write_all(out.fd, content.data(), content.size()) || fchmod(out.fd, mode) != 0 ||
        (!(deferred = sync_defer(temp, file, dir)) && sync_fd(out.fd) != 0) || rename(temp.c_str(), file.c_str()) != 0) {
        error("payload_write_file_atomic: can not write %s: %s", file.c_str(), errno_text().c_str());
        unlink(temp.c_str());
        return -1;
    }
    if (!deferred) sync_folder(dir);
    return 0;
}

std::string payload_command_text(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& word : argv) {
        if (!text.empty()) text += ' ';
        text += shell_quote(word);
    }
    return text;
}

int payload_run(const std::vector<std::string>& argv, const std::string& output_path, std::string* output,
                const std::vector<std::string>& extra_env) {
    if (argv.empty() || argv[0].empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    const std::string sink = output_path.empty() ? "/dev/null" : output_path;
    fd_owner log_fd{::open(sink.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600)};
    if (log_fd.fd < 0) log_fd.fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    int pipe_fds[2] = {-1, -1};
    if (output && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    fd_owner read_end{pipe_fds[0]};
    fd_owner write_end{pipe_fds[1]};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output ? write_end.fd : log_fd.fd, 1);
    posix_spawn_file_actions_adddup2(&actions, log_fd.fd, 2);
    std::vector<char*> args;
    for (const std::string& word : argv) args.push_back(const_cast<char*>(word.c_str()));
    args.push_back(nullptr);
    // The process's own variables, each replaced by an extra one of the same name.
    std::set<std::string> replaced;
    for (const std::string& extra : extra_env) replaced.insert(extra.substr(0, extra.find('=')));
    std::vector<std::string> env_words;
    for (char** e = environ; e && *e; ++e) {
        const char* equals = strchr(*e, '=');
        if (!equals || replaced.count(std::string(*e, static_cast<size_t>(equals - *e))) == 0) env_words.emplace_back(*e);
    }
    std::set<std::string> added;
    for (auto it = extra_env.rbegin(); it != extra_env.rend(); ++it) {  // the last of a name counts
        if (added.insert(it->substr(0, it->find('='))).second) env_words.push_back(*it);
    }
    std::vector<char*> envp;
    for (std::string& word : env_words) envp.push_back(&word[0]);
    envp.push_back(nullptr);
    pid_t child = -1;
    // The child leads a process group of its own, so ending it ends whatever it started too; it
    // starts with default signal dispositions and no blocked signals, whatever the engine ignores.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signo : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) sigaddset(&defaults, signo);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // The stopping signals wait until the child is known: a script may signal the engine before
    // the spawn returns here, and a handler that looked for the child then would find none.
    const sigset_t stopping = stopping_signals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    const int spawned = posix_spawnp(&child, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    // Held where the interrupt handler finds it, so that stopping the run also stops the child.
    if (spawned == 0) g_child = child;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (spawned != 0) {
        error("payload_run: can not start %s: %s", argv[0].c_str(), strerror(spawned));
        return -1;
    }
    if (output) {
        close(write_end.fd);
        write_end.fd = -1;
        char piece[4096];
        for (;;) {
            const ssize_t got = ::read(read_end.fd, piece, sizeof(piece));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            output->append(piece, static_cast<size_t>(got));
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            g_child = 0;
            return -1;
        }
    }
    g_child = 0;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

namespace {
constexpr size_t tar_magic_offset = 257;
}

payload_kind payload_detect(const unsigned char* bytes, size_t size) {
    if (size >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b) return payload_kind::gzip;
    if (size >= 6 && memcmp(bytes, "\xfd" "7zXZ\0", 6) == 0) return payload_kind::xz;
    if (size >= 4 && memcmp(bytes, "\x28\xb5\x2f\xfd", 4) == 0) return payload_kind::zstd;
    if (size >= 5 && (memcmp(bytes, "07070", 5) == 0 || memcmp(bytes, "ustar", 5) == 0)) return payload_kind::none;
    // An uncompressed tar archive carries its magic in the first header block.
    if (size >= tar_magic_offset + 5 && memcmp(bytes + tar_magic_offset, "ustar", 5) == 0) return payload_kind::none;
    return payload_kind::unknown;
}

const char* payload_kind_name(payload_kind kind) {
    switch (kind) {
    case payload_kind::none: return "none";
    case payload_kind::gzip: return "gzip";
    case payload_kind::xz: return "xz";
    case payload_kind::zstd: return "zstd";
    case payload_kind::unknown: break;
    }
    return "unknown";
}

std::unique_ptr<payload_source> payload_open(int fd, int64_t offset) {
    unsigned char magic[tar_magic_offset + 8] = {0};
    const ssize_t got = pread(fd, magic, sizeof(magic), offset);
    const payload_kind kind = payload_detect(magic, got > 0 ? static_cast<size_t>(got) : 0);
    print_log("payload_open: payload compression is %s", payload_kind_name(kind));
    std::unique_ptr<payload_source> inner = make_decoder(kind, std::make_unique<fd_input>(fd, offset));
    if (!inner) return nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size - offset < threaded_payload_min) return inner;
    return std::make_unique<threaded_source>(std::move(inner));
}

std::unique_ptr<payload_source> payload_open_memory(const unsigned char* data, size_t size) {
    return make_decoder(payload_detect(data, size), std::make_unique<memory_input>(data, size));
}

int payload_clean_name(const std::string& name, std::string* clean) {
    clean->clear();
    // A line break would split the name in the installed-file list, whose lines a removal trusts.
    if (name.empty() || name[0] == '/' || name.find_first_of(std::string("\0\n\r", 3)) != std::string::npos)
        return -1;
    for (const std::string& part : components(name)) {
        if (part == "..") return -1;
        if (part == ".") continue;
        if (!clean->empty()) *clean += '/';
        *clean += part;
    }
    return clean->empty() ? -1 : 0;
}

payload_extractor::payload_extractor(const std::string& prefix, const std::string& list_path)
    : m_prefix(prefix), m_listPath(list_path), m_existed(std::make_shared<payload_existed>()) {
    while (m_prefix.size() > 1 && m_prefix.back() == '/') m_prefix.pop_back();
    m_asRoot = geteuid() == 0;
    m_egid = getegid();
    m_umask = umask(0);
    umask(m_umask);
}

payload_extractor::~payload_extractor() {
    if (m_pool) publish();  // what was read whole is written, as if handed over at once
    m_pool.reset();  // the writers finish what they hold before the folders close
    m_cached.reset();
    m_chain.clear();
    if (m_root >= 0) close(m_root);
    if (m_list >= 0) close(m_list);
}

int payload_extractor::open() {
    if (m_prefix.empty()) {
        error("payload_extractor: the prefix is empty");
        return -1;
    }
    folder_create(m_prefix, 0755);
    // The prefix itself is the administrator's choice and may be reached through links; below it
    // nothing is.
    m_root = ::open(m_prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_root < 0) {
        error("payload_extractor: can not open the prefix %s: %s", m_prefix.c_str(), errno_text().c_str());
        return -1;
    }
    m_pool = std::make_unique<payload_writer_pool>();
    if (!m_listPath.empty()) {
        m_list = ::open(m_listPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (m_list < 0) {
            error("payload_extractor: can not open the list %s: %s", m_listPath.c_str(), errno_text().c_str());
            return -1;
        }
    }
    return 0;
}

std::vector<std::string> payload_extractor::existed() const {
    const std::lock_guard<std::mutex> hold(m_existed->lock);
    return m_existed->names;
}

int payload_extractor::fail() {
    ++m_failures;
    return -1;
}

mode_t payload_extractor::effective_mode(mode_t mode) const {
    mode &= 07777;
    if (!m_asRoot) mode &= ~(S_ISUID | S_ISGID | m_umask);
    return mode;
}

int payload_extractor::record(const std::string& clean, bool now, bool* repeated) {
    const bool fresh = m_recorded.insert(clean).second;
    if (repeated) *repeated = !fresh;
    if (fresh && m_list >= 0) {
        m_listWaiting += target(clean);
        m_listWaiting += '\n';
    }
    return now ? flush_list() : 0;
}

int payload_extractor::flush_list() {
    if (m_listWaiting.empty()) return 0;
    const bool ok = write_all(m_list, m_listWaiting.data(), m_listWaiting.size());
    m_listWaiting.clear();
    if (!ok) {
        error("payload_extractor: can not write the list %s: %s", m_listPath.c_str(), errno_text().c_str());
        return -1;
    }
    return 0;
}

void payload_extractor::publish() {
    if (m_staged.empty()) return;
    if (flush_list() != 0) {
        // Not listed, so not written: an entry on disk that no list names could never be removed.
        m_failures += static_cast<int>(m_staged.size());
        m_staged.clear();
    }
    m_stagedBytes = 0;
    if (m_inlineBytes < inline_write_max) {
        for (const write_job_t& job : m_staged) {
            m_inlineBytes += job.size;
            if (!write_job(job)) ++m_failures;
        }
        m_staged.clear();
        return;
    }
    m_pool->submit(m_staged);
}

namespace {
std::shared_ptr<fd_owner> shared_fd(int fd) { return std::shared_ptr<fd_owner>(new fd_owner{fd}); }

// Whether the name is taken in the folder, by an entry of any kind.
bool taken(int dir, const std::string& base) {
    struct stat st;
    return fstatat(dir, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}
}  // namespace

int payload_extractor::parent_fd(const std::string& clean, bool create, std::string* base) {
    const size_t slash = clean.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : clean.substr(0, slash);
    *base = slash == std::string::npos ? clean : clean.substr(slash + 1);
    if (m_cached && dir == m_cachedDir) return m_cached->fd;
    const std::vector<std::string> parts = components(dir);
    if (parts.empty()) {
        m_cached = shared_fd(dup(m_root));
        m_cachedDir = dir;
        return m_cached->fd;
    }
    // The walk starts from the deepest folder this path shares with the last one: an archive
    // lists a folder's entries together, so most walks open one folder, not the whole path.
    size_t kept = 0;
    while (kept < m_chain.size() && kept < parts.size() && m_chain[kept].first == parts[kept]) ++kept;
    m_chain.resize(kept);
    std::shared_ptr<fd_owner> current = kept ? m_chain.back().second : nullptr;
    std::string walked;
    for (size_t i = 0; i < kept; ++i) walked += (i ? "/" : "") + parts[i];
    for (size_t i = kept; i < parts.size(); ++i) {
        const int from = current ? current->fd : m_root;
        walked += (i ? "/" : "") + parts[i];
        int next = openat(from, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        // A folder the archive does not list is still ours once made: listed first, like every entry.
        if (next < 0 && errno == ENOENT && create && record(walked) == 0) {
            if (mkdirat(from, parts[i].c_str(), 0755 & ~m_umask) == 0 || errno == EEXIST)
                next = openat(from, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            error("payload_extractor: can not reach the folder of %s without following a link: %s",
                  target(clean).c_str(), errno_text().c_str());
            return -1;
        }
        current = shared_fd(next);
        // Kept open to a bounded depth: a deep hostile path must not use up the descriptors.
        if (m_chain.size() == i && i < chain_depth_max) m_chain.emplace_back(parts[i], current);
    }
    m_cached = current;
    m_cachedDir = dir;
    return m_cached->fd;
}

int payload_extractor::add_directory(const std::string& name, mode_t mode, int64_t) {
    std::string clean;
    if (payload_clean_name(name, &clean) != 0) {
        if (name == "." || name == "./" || name == "/") return 0;  // the prefix itself
        error("payload_extractor: refusing entry %s: the name leaves the prefix", name.c_str());
        return fail();
    }
    m_links.erase(clean);
    std::string base;
    const int dir = parent_fd(clean, true, &base);
    if (dir < 0) return fail();
    bool repeated = false;
    if (record(clean, true, &repeated) != 0) return fail();
    if (repeated) drain();  // a file of that name may still be on its way
    // A folder its owner can write into, with no special bits and nothing the umask would take, is
    // made with its mode at once. Any other is made private and given its mode at the end: a
    // folder without write permission must still take its entries.
    const mode_t wanted = effective_mode(mode);
    const bool final_mode = (wanted & 0700) == 0700 && (wanted & 07000) == 0 && (wanted & m_umask) == 0;
    if (mkdirat(dir, base.c_str(), final_mode ? wanted : 0700) == 0) {
        if (m_chown && fchownat(dir, base.c_str(), m_uid, m_gid, AT_SYMLINK_NOFOLLOW) != 0) {
            error("payload_extractor: can not give %s to its owner: %s", target(clean).c_str(), errno_text().c_str());
            return fail();
        }
        if (!final_mode || m_chown) m_dirModes.emplace_back(clean, wanted);
        return 0;
    }
    if (errno != EEXIST) {
        error("payload_extractor: can not create folder %s: %s", target(clean).c_str(), errno_text().c_str());
        return fail();
    }
    if (!repeated) m_existed->add(target(clean));
    struct stat st;
    if (fstatat(dir, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        error("payload_extractor: %s exists and is not a folder", target(clean).c_str());
        return fail();
    }
    m_dirModes.emplace_back(clean, wanted);
    return 0;
}

int payload_extractor::add_file(const std::string& name, mode_t mode, int64_t mtime, payload_source& source,
                                uint64_t size) {
    std::string clean;
    if (payload_clean_name(name, &clean) != 0) {
        error("payload_extractor: refusing entry %s: the name leaves the prefix", name.c_str());
        fail();
        return source.skip(size) == 0 ? -1 : -2;
    }
    m_links.erase(clean);
    std::string base;
    const int dir = parent_fd(clean, true, &base);
    if (dir < 0) {
        fail();
        return source.skip(size) == 0 ? -1 : -2;
    }
    // Listed before anything exists on disk: a kill at any point leaves a list naming it. A small
    // file's line waits until its batch goes to the writers.
    const bool staged = m_pool && size <= pool_file_max;
    bool repeated = false;
    if (record(clean, !staged, &repeated) != 0) {
        fail();
        return source.skip(size) == 0 ? -1 : -2;
    }
    // Two writes of one name keep their order: the first is finished before the second starts.
    if (repeated) drain();
    if (staged) {
        write_job_t job;
        job.size = static_cast<size_t>(size);
        if (source.read_pieces(size, &job.data) != 0) {
            error("payload_extractor: the payload ends inside %s", target(clean).c_str());
            fail();
            return -2;
        }
        job.dir = m_cached;
        job.target = target(clean);
        job.base = job.target.size() - base.size();
        job.mode = effective_mode(mode);
        job.umask = m_umask;
        job.mtime = mtime;
        job.chown = m_chown;
        job.uid = m_uid;
        job.gid = m_gid;
        if (!repeated) job.existed = m_existed.get();
        m_stagedBytes += job_weight(job);
        m_staged.push_back(std::move(job));
        if (m_staged.size() >= stage_files_max || m_stagedBytes >= stage_bytes_max) publish();
        return 0;
    }
    publish();  // the writers work on what is staged while this file streams
    const std::string temp = part_name(base);
    bool in_place = false;
    fd_owner out{create_target(dir, base.c_str(), temp, 0600, 0, &in_place)};
    if (!in_place && !repeated) m_existed->add(target(clean));
    if (out.fd < 0) {
        error("payload_extractor: can not create %s: %s", target(clean).c_str(), errno_text().c_str());
        fail();
        return source.skip(size) == 0 ? -1 : -2;
    }
    std::vector<payload_piece> pieces;
    uint64_t left = size;
    bool written = true;
    while (left > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, output_block));
        if (source.read_pieces(n, &pieces) != 0) {
            error("payload_extractor: the payload ends inside %s", target(clean).c_str());
            unlinkat(dir, in_place ? base.c_str() : temp.c_str(), 0);
            fail();
            return -2;
        }
        if (written && !write_pieces(out.fd, pieces)) {
            error("payload_extractor: can not write %s: %s", target(clean).c_str(), errno_text().c_str());
            written = false;
        }
        left -= n;
    }
    if (written) {
        const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        if ((m_chown && fchown(out.fd, m_uid, m_gid) != 0) || fchmod(out.fd, effective_mode(mode)) != 0)
            written = false;
        if (mtime > 0) futimens(out.fd, times);
    }
    if (!written || (!in_place && renameat(dir, temp.c_str(), dir, base.c_str()) != 0)) {
        if (written) error("payload_extractor: can not put %s in place: %s", target(clean).c_str(), errno_text().c_str());
        unlinkat(dir, in_place ? base.c_str() : temp.c_str(), 0);
        return fail();
    }
    return 0;
}

void payload_extractor::set_owner(uint64_t uid, uint64_t gid) {
    m_chown = m_asRoot && uid <= UINT32_MAX - 1 && gid <= UINT32_MAX - 1 &&
              (uid != 0 || static_cast<gid_t>(gid) != m_egid);
    m_uid = static_cast<uid_t>(uid);
    m_gid = static_cast<gid_t>(gid);
}

int payload_extractor::add_symlink(const std::string& name, const std::string& link_target) {
    std::string clean;
    if (payload_clean_name(name, &clean) != 0 || link_target.empty() ||
        link_target.find('\0') != std::string::npos) {
        error("payload_extractor: refusing entry %s: the name leaves the prefix", name.c_str());
        return fail();
    }
    m_links[clean] = link_target;
    return 0;
}

int payload_extractor::add_hardlink(const std::string& name, const std::string& link_target) {
    std::string clean, clean_target;
    if (payload_clean_name(name, &clean) != 0 || payload_clean_name(link_target, &clean_target) != 0) {
        error("payload_extractor: refusing hard link %s to %s: it leaves the prefix", name.c_str(),
              link_target.c_str());
        return fail();
    }
    m_links.erase(clean);
    drain();  // the file linked to must be in place
    std::string target_base;
    const std::vector<std::string> target_parts = components(clean_target);
    fd_owner target_dir{walk(m_root, target_parts, target_parts.size() - 1, false)};
    target_base = target_parts.back();
    struct stat st;
    if (target_dir.fd < 0 || fstatat(target_dir.fd, target_base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode)) {
        error("payload_extractor: refusing hard link %s: %s is not a file of this package", name.c_str(),
              link_target.c_str());
        return fail();
    }
    std::string base;
    const int dir = parent_fd(clean, true, &base);
    if (dir < 0) return fail();
    const std::string temp = part_name(base);
    unlinkat(dir, temp.c_str(), 0);
    bool repeated = false;
    const int listed = record(clean, true, &repeated);
    if (listed == 0 && !repeated && taken(dir, base)) m_existed->add(target(clean));
    if (listed != 0 || linkat(target_dir.fd, target_base.c_str(), dir, temp.c_str(), 0) != 0) {
        error("payload_extractor: can not link %s: %s", target(clean).c_str(), errno_text().c_str());
        return fail();
    }
    if (renameat(dir, temp.c_str(), dir, base.c_str()) != 0) {
        unlinkat(dir, temp.c_str(), 0);
        return fail();
    }
    return 0;
}

int payload_extractor::drain() {
    if (!m_pool) return 0;
    publish();
    const int failed = m_pool->wait_idle();
    m_failures += failed;
    return failed ? -1 : 0;
}

int payload_extractor::finish() {
    drain();
    for (const auto& [clean, link_target] : m_links) {
        std::string base;
        const int dir = parent_fd(clean, true, &base);
        if (dir < 0) {
            fail();
            continue;
        }
        const std::string temp = part_name(base);
        unlinkat(dir, temp.c_str(), 0);
        bool repeated = false;
        const int listed = record(clean, true, &repeated);
        if (listed == 0 && !repeated && taken(dir, base)) m_existed->add(target(clean));
        if (listed != 0 || symlinkat(link_target.c_str(), dir, temp.c_str()) != 0 ||
            renameat(dir, temp.c_str(), dir, base.c_str()) != 0) {
            error("payload_extractor: can not create link %s: %s", target(clean).c_str(), errno_text().c_str());
            unlinkat(dir, temp.c_str(), 0);
            fail();
        }
    }
    m_links.clear();
    // Deepest folders first, so that a read-only parent is closed after its children.
    for (auto it = m_dirModes.rbegin(); it != m_dirModes.rend(); ++it) {
        const std::vector<std::string> parts = components(it->first);
        fd_owner dir{walk(m_root, parts, parts.size(), false)};
        if (dir.fd < 0 || fchmod(dir.fd, it->second) != 0) {
            error("payload_extractor: can not set the mode of %s", target(it->first).c_str());
            fail();
        }
    }
    m_dirModes.clear();
    if (m_list >= 0 && !sync_defer(m_listPath, m_listPath, get_dirname(m_listPath).empty() ? "." : get_dirname(m_listPath)) &&
        sync_fd(m_list) != 0)
        fail();
    return m_failures ? -1 : 0;
}

namespace {

// One entry of a removal list, checked and split below the prefix.
struct removal {
    std::string entry;   // as listed, for messages
    std::string parent;  // folder below the prefix ("" for the prefix itself)
    std::string base;
    int error = 0;       // errno of a failed removal, logged afterwards in list order
    bool folder = false; // a folder: removed, when empty, after every file
};

// Removes entries[order[from, to)] below root, one walk per run of entries in the same folder.
// The file pass removes files and marks folders; the folder pass removes the marked folders that
// are empty.
void remove_entries(int root, std::vector<removal>& entries, const std::vector<size_t>& order, size_t from,
                    size_t to, bool folders) {
    std::string cached_parent;
    fd_owner cached{-1};
    for (size_t i = from; i < to; ++i) {
        removal& r = entries[order[i]];
        if (cached.fd < 0 || r.parent != cached_parent) {
            const std::vector<std::string> parts = components(r.parent);
            cached.reset(walk(root, parts, parts.size(), false));
            cached_parent = r.parent;
        }
        const int dir = cached.fd;
        if (dir < 0) continue;  // gone already, or reached only through a link
        if (folders) {
            unlinkat(dir, r.base.c_str(), AT_REMOVEDIR);  // only when empty
            continue;
        }
        unlinkat(dir, part_name(r.base).c_str(), 0);  // left by an install killed while replacing it
        if (unlinkat(dir, r.base.c_str(), 0) == 0 || errno == ENOENT) continue;
        struct stat st;
        if ((errno == EISDIR || errno == EPERM) && fstatat(dir, r.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode)) {
            r.folder = true;
        } else {
            r.error = errno;
        }
    }
}

// Threads that share the removals of a run. They are started by the first removal that can use
// them and kept until the process ends: a suite is removed one component after another, and
// starting fresh threads for each component cost about as much as the waits they share.
class removal_pool {
public:
    static removal_pool& instance() {
        static removal_pool pool;
        return pool;
    }
    ~removal_pool() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_threads) t.join();
    }
    // Runs work on the calling thread and on up to helpers threads of the pool, and returns when
    // every run of it has returned. work takes its items from a shared counter, so any number of
    // runs does the whole job: once the caller's run returns, shares not yet started are dropped.
    void run(size_t helpers, const std::function<void()>& work) {
        std::lock_guard<std::mutex> one_at_a_time(m_run_mutex);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            while (m_threads.size() < helpers) m_threads.emplace_back([this, seen = m_generation] { loop(seen); });
            m_work = &work;
            m_shares = helpers;
            ++m_generation;
        }
        m_wake.notify_all();
        work();
        std::unique_lock<std::mutex> lock(m_mutex);
        m_shares = 0;
        m_done.wait(lock, [this] { return m_running == 0; });
        m_work = nullptr;
    }

private:
    removal_pool() = default;
    void loop(uint64_t seen) {
        block_stopping_signals();
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [&] { return m_stop || (m_generation != seen && m_shares > 0); });
            if (m_stop) return;
            seen = m_generation;
            --m_shares;
            ++m_running;
            const std::function<void()>* work = m_work;
            lock.unlock();
            (*work)();
            lock.lock();
            if (--m_running == 0) m_done.notify_all();
        }
    }

    std::mutex m_run_mutex;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::vector<std::thread> m_threads;
    const std::function<void()>* m_work = nullptr;
    uint64_t m_generation = 0;
    size_t m_shares = 0;
    size_t m_running = 0;
    bool m_stop = false;
};

// Runs remove_entries over order on up to eight threads. Most of a removal is the file system
// waiting on the device (freeing and discarding blocks), and several removals wait together.
void remove_entries_parallel(int root, std::vector<removal>& entries, const std::vector<size_t>& order,
                             bool folders) {
    // Folders, fewer and slower to free, are shared one at a time.
    const size_t chunk = folders ? 1 : 4;
    const size_t workers = std::min<size_t>(8, (order.size() + chunk - 1) / chunk);
    if (workers <= 1) {
        remove_entries(root, entries, order, 0, order.size(), folders);
        return;
    }
    std::atomic<size_t> next{0};
    const std::function<void()> work = [&] {
        for (size_t from; (from = next.fetch_add(chunk)) < order.size();)
            remove_entries(root, entries, order, from, std::min(order.size(), from + chunk), folders);
    };
    removal_pool::instance().run(workers - 1, work);
}

}  // namespace

int payload_remove_listed(const std::string& prefix_in, const std::vector<std::string>& paths) {
    std::string prefix = prefix_in;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    fd_owner root{::open(prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (root.fd < 0) return 0;  // nothing of the package is left
    int refused = 0;
    std::vector<removal> entries;
    entries.reserve(paths.size());
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        std::string entry = *it;
        while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r' || entry.back() == '/')) entry.pop_back();
        if (entry.empty()) continue;
        std::string clean;
        if (entry.compare(0, prefix.size() + 1, prefix + "/") != 0 ||
            payload_clean_name(entry.substr(prefix.size() + 1), &clean) != 0) {
            error("payload_remove_listed: refusing to remove %s: it is not below %s", entry.c_str(), prefix.c_str());
            ++refused;
            continue;
        }
        removal r;
        const size_t slash = clean.rfind('/');
        r.parent = slash == std::string::npos ? "" : clean.substr(0, slash);
        r.base = slash == std::string::npos ? clean : clean.substr(slash + 1);
        r.entry = std::move(entry);
        entries.push_back(std::move(r));
    }
    // Every file first (their order does not matter), then the folders, deepest first: one depth
    // at a time, so a folder goes only after the folders below it.
    std::vector<size_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    remove_entries_parallel(root.fd, entries, order, false);
    std::map<size_t, std::vector<size_t>, std::greater<size_t>> by_depth;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].error) error("Can't delete file \"%s\": %s\n", entries[i].entry.c_str(), strerror(entries[i].error));
        if (entries[i].folder)
            by_depth[static_cast<size_t>(std::count(entries[i].parent.begin(), entries[i].parent.end(), '/')) +
                     !entries[i].parent.empty()].push_back(i);
    }
    for (const auto& level : by_depth) remove_entries_parallel(root.fd, entries, level.second, true);
    return refused;
}

int payload_remove_stale(const std::string& old_prefix, const std::vector<std::string>& old_paths,
                         const std::vector<std::string>& new_paths) {
    const std::set<std::string> kept(new_paths.begin(), new_paths.end());
    std::vector<std::string> stale;
    for (const std::string& entry : old_paths) {
        if (!kept.count(entry)) stale.push_back(entry);
    }
    return payload_remove_listed(old_prefix, stale);
}

void payload_remove_empty_up(const std::string& start, const std::string& stop_in) {
    std::string current = path(start);
    std::string stop = path(stop_in);
    while (current.size() > 1 && current.back() == '/') current.pop_back();
    while (stop.size() > 1 && stop.back() == '/') stop.pop_back();
    if (stop.empty() || stop == "/") return;
    if (current != stop && current.compare(0, stop.size() + 1, stop + "/") != 0) return;
    for (;;) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || rmdir(current.c_str()) != 0) return;
        print_log("payload_remove_empty_up: removed empty folder %s", current.c_str());
        if (current == stop) return;
        current = get_dirname(current);
    }
}
