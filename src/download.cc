#include "download.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <isa-l/crc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "component.h"
#include "console.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "utils.h"

namespace {

// The libcurl interface this manager uses, by the numbers of its stable ABI: the library is
// loaded at run time, so its headers are not needed to build the engine.
constexpr int opt_writedata = 10001;
constexpr int opt_url = 10002;
constexpr int opt_errorbuffer = 10010;
constexpr int opt_writefunction = 20011;
constexpr int opt_low_speed_limit = 19;
constexpr int opt_low_speed_time = 20;
constexpr int opt_noprogress = 43;
constexpr int opt_failonerror = 45;
constexpr int opt_followlocation = 52;
constexpr int opt_progressfunction = 20056;
constexpr int opt_progressdata = 10057;
constexpr int opt_maxredirs = 68;
constexpr int opt_connecttimeout = 78;
constexpr int opt_buffersize = 98;
constexpr int opt_nosignal = 99;
constexpr int opt_resume_from_large = 30116;
constexpr int opt_protocols = 181;
constexpr int opt_redir_protocols = 182;
constexpr long proto_http_https = 1 | 2;
constexpr int info_response_code = 0x200002;
constexpr int code_http_returned_error = 22;  // the server answered with an error status
constexpr int curl_range_error = 33;
constexpr int curl_error_size = 256;

constexpr long connect_timeout_seconds = 5;
// A redirect loop ends here instead of going round for ever.
constexpr long max_redirects = 10;
constexpr long receive_buffer_bytes = 256 * 1024;
constexpr size_t read_block_bytes = 1 << 20;

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

std::string to_hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Feeds whole 64-byte blocks to `block`, keeping the rest for the next call.
template <typename Block>
void feed_blocks(std::string& pending, const unsigned char* data, size_t size, Block block) {
    if (!pending.empty()) {
        const size_t take = std::min(size, 64 - pending.size());
        pending.append(reinterpret_cast<const char*>(data), take);
        data += take;
        size -= take;
        if (pending.size() < 64) return;
        block(reinterpret_cast<const unsigned char*>(pending.data()));
        pending.clear();
    }
    for (; size >= 64; data += 64, size -= 64) block(data);
    pending.assign(reinterpret_cast<const char*>(data), size);
}

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The one checksum that decides whether a file is intact: SHA-256 when given, else the cksum
// CRC, else MD5; none when no value is given.
class file_digest {
public:
    explicit file_digest(const DownloadManager::FileToDownload& file) {
        if (!file.m_cksum_sha256.empty()) {
            m_kind = 3;
            m_expected = lower(file.m_cksum_sha256);
        } else if (!file.m_cksum_cksum.empty()) {
            m_kind = 1;
            m_expected = trimSpaces(file.m_cksum_cksum);
        } else if (!file.m_cksum_md5.empty()) {
            m_kind = 2;
            m_expected = lower(trimSpaces(file.m_cksum_md5));
        }
    }
    bool any() const { return m_kind != 0; }
    void update(const unsigned char* data, size_t size) {
        if (m_kind == 1) m_crc.update(data, size);
        if (m_kind == 2) m_md5.update(data, size);
        if (m_kind == 3) m_sha.update(data, size);
    }
    // Reads the first `limit` bytes of the file (all when limit < 0); false when fewer were there.
    bool updateFromFile(const std::string& path, int64_t limit) {
        fd_owner in{open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (in.fd < 0) return false;
        std::vector<unsigned char> block(read_block_bytes);
        int64_t done = 0;
        while (limit < 0 || done < limit) {
            size_t want = block.size();
            if (limit >= 0 && static_cast<int64_t>(want) > limit - done) want = static_cast<size_t>(limit - done);
            const ssize_t got = read(in.fd, block.data(), want);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return false;
            if (got == 0) break;
            update(block.data(), static_cast<size_t>(got));
            done += got;
        }
        return limit < 0 || done == limit;
    }
    std::string finish() {
        if (m_kind == 1) return m_crc.finish();
        if (m_kind == 2) return m_md5.finish();
        if (m_kind == 3) return m_sha.finish();
        return "";
    }
    const std::string& expected() const { return m_expected; }

private:
    int m_kind = 0;
    std::string m_expected;
    CksumCrc m_crc;
    Md5 m_md5;
    Sha256 m_sha;
};

// Where the transfer writes: the partial file, with the digest kept up to date as bytes arrive so
// that no second pass over the file is needed, and a cap at the announced size.
struct write_target_t {
    int fd = -1;
    file_digest* digest = nullptr;
    int64_t written = 0;
    int64_t room = -1;  // bytes the file may still take; -1 when its size is unknown
    bool too_long = false;
    bool write_failed = false;
};

size_t write_received(char* data, size_t size, size_t count, void* opaque) {
    write_target_t& target = *static_cast<write_target_t*>(opaque);
    const size_t bytes = size * count;
    // More bytes than the file has means a wrong length or a different file: stop rather than
    // keep a file that can only fail its check.
    if (target.room >= 0 && static_cast<int64_t>(bytes) > target.room - target.written) {
        target.too_long = true;
        return 0;
    }
    size_t done = 0;
    while (done < bytes) {
        const ssize_t put = write(target.fd, data + done, bytes - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            target.write_failed = true;
            return 0;
        }
        done += static_cast<size_t>(put);
    }
    target.digest->update(reinterpret_cast<const unsigned char*>(data), bytes);
    target.written += static_cast<int64_t>(bytes);
    return bytes;
}

bool is_plain_name(const std::string& name) {
    return download_path_is_safe(name, false) && name.find('/') == std::string::npos && name != ".";
}

long stall_seconds(session_t* session, long fallback) {
    const std::string text = env_get_string(session, std::string("LUMO_DOWNLOAD_STALL_TIMEOUT"));
    if (text.empty()) return fallback;
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || value <= 0 || value > 86400) {
        warn("DownloadManager::execute: LUMO_DOWNLOAD_STALL_TIMEOUT '%s' is not a number of seconds, using %ld",
             text.c_str(), fallback);
        return fallback;
    }
    return value;
}

}  // namespace

// ISA-L, already linked for gzip, computes this CRC (the non-reflected one) with carry-less
// multiplication: several times faster than tables, which matters when every downloaded byte
// passes through it. It inverts the value on entry and exit; the POSIX sum does neither.
void CksumCrc::update(const unsigned char* data, size_t size) {
    m_crc = ~crc32_ieee(~m_crc, data, size);
    m_length += size;
}

std::string CksumCrc::finish() {
    // The length follows the data, least significant byte first, without its leading zero bytes.
    uint32_t crc = m_crc;
    for (uint64_t rest = m_length; rest != 0; rest >>= 8) {
        const unsigned char byte = static_cast<unsigned char>(rest & 255);
        crc = ~crc32_ieee(~crc, &byte, 1);
    }
    return std::to_string(~crc & 0xFFFFFFFFu);
}

Md5::Md5() : m_state{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u} {}

void Md5::block(const unsigned char* data) {
    static const uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
        0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
        0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
        0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
        0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
        0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
        0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
    static const int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = data[i * 4] | data[i * 4 + 1] << 8 | data[i * 4 + 2] << 16 | static_cast<uint32_t>(data[i * 4 + 3]) << 24;
    uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        const uint32_t next = b + rotl(a + f + k[i] + w[g], shifts[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
}

void Md5::update(const unsigned char* data, size_t size) {
    m_length += size;
    feed_blocks(m_pending, data, size, [this](const unsigned char* b) { block(b); });
}

std::string Md5::finish() {
    const uint64_t bits = m_length * 8;
    unsigned char tail[72] = {0x80};
    const size_t pad = (m_pending.size() < 56 ? 56 : 120) - m_pending.size();
    for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<unsigned char>(bits >> (8 * i));
    update(tail, pad + 8);
    unsigned char out[16];
    for (int i = 0; i < 16; ++i) out[i] = static_cast<unsigned char>(m_state[i / 4] >> (8 * (i % 4)));
    return to_hex(out, sizeof(out));
}

Sha256::Sha256()
    : m_state{0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au, 0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u} {}

void Sha256::block(const unsigned char* data) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(data[i * 4]) << 24 | data[i * 4 + 1] << 16 | data[i * 4 + 2] << 8 | data[i * 4 + 3];
    for (int i = 16; i < 64; ++i) {
        const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t s[8];
    for (int i = 0; i < 8; ++i) s[i] = m_state[i];
    for (int i = 0; i < 64; ++i) {
        const uint32_t t1 = s[7] + (rotr(s[4], 6) ^ rotr(s[4], 11) ^ rotr(s[4], 25)) + ((s[4] & s[5]) ^ (~s[4] & s[6])) +
                            k[i] + w[i];
        const uint32_t t2 = (rotr(s[0], 2) ^ rotr(s[0], 13) ^ rotr(s[0], 22)) + ((s[0] & s[1]) ^ (s[0] & s[2]) ^ (s[1] & s[2]));
        for (int j = 7; j > 0; --j) s[j] = s[j - 1];
        s[4] += t1;
        s[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) m_state[i] += s[i];
}

void Sha256::update(const unsigned char* data, size_t size) {
    m_length += size;
    feed_blocks(m_pending, data, size, [this](const unsigned char* b) { block(b); });
}

std::string Sha256::finish() {
    const uint64_t bits = m_length * 8;
    unsigned char tail[72] = {0x80};
    const size_t pad = (m_pending.size() < 56 ? 56 : 120) - m_pending.size();
    for (int i = 0; i < 8; ++i) tail[pad + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    update(tail, pad + 8);
    unsigned char out[32];
    for (int i = 0; i < 32; ++i) out[i] = static_cast<unsigned char>(m_state[i / 4] >> (24 - 8 * (i % 4)));
    return to_hex(out, sizeof(out));
}

bool download_path_is_safe(const std::string& name, bool allow_empty) {
    return is_safe_relative_path(name, allow_empty);
}

std::string download_name_from_url(const std::string& url) {
    std::string rest = url.substr(0, url.find_first_of("?#"));
    const size_t scheme = rest.find("://");
    if (scheme != std::string::npos) {
        const size_t path_start = rest.find('/', scheme + 3);
        rest = path_start == std::string::npos ? "" : rest.substr(path_start);
    }
    const size_t slash = rest.rfind('/');
    return slash == std::string::npos ? rest : rest.substr(slash + 1);
}

std::string DownloadManager::FileToDownload::localPath() const {
    return m_dirname + "/" + m_subdirname + "/" + m_filename;
}

void DownloadManager::FileToDownload::dumpToLog() const {
    print_log("FileToDownload::dumpToLog: started");
    print_log("m_url='%s'", m_url.c_str());
    print_log("m_filename='%s'", m_filename.c_str());
    print_log("m_dirname='%s'", m_dirname.c_str());
    print_log("m_subdirname='%s'", m_subdirname.c_str());
    print_log("m_cksum_cksum='%s'", m_cksum_cksum.c_str());
    print_log("m_cksum_md5='%s'", m_cksum_md5.c_str());
    print_log("m_size='%lld'", static_cast<long long>(m_size));
    print_log("m_perm='%d'", m_perm);
    print_log("FileToDownload::dumpToLog: finished");
}

bool DownloadManager::FileToDownload::verifyChecksum() const {
    if (!is_file(localPath())) {
        print_log("FileToDownload::verifyChecksum: file '%s' doesn't exist.", localPath().c_str());
        return false;
    }
    return verifyFile(localPath());
}

bool DownloadManager::FileToDownload::verifyFile(const std::string& path) const {
    if (!is_file(path)) return false;
    file_digest digest(*this);
    if (!digest.any()) {
        // Without a checksum only the length can tell a whole file from a cut one.
        if (m_size >= 0 && file_size(path) != m_size) return false;
        warn("FileToDownload::verifyChecksum: checksum for file '%s' is not specified. Consider it OK.", path.c_str());
        return true;
    }
    if (!digest.updateFromFile(path, -1)) return false;
    const std::string found = digest.finish();
    if (found == digest.expected()) return true;
    print_log("FileToDownload::verifyChecksum: incorrect checksum for file '%s'. Required '%s', found '%s'.",
              path.c_str(), digest.expected().c_str(), found.c_str());
    return false;
}

struct DownloadManager::curl_api {
    void* (*easy_init)();
    void* (*slist_append)(void*, const char*);
    int (*easy_setopt)(void*, int, ...);
    int (*easy_perform)(void*);
    int (*easy_getinfo)(void*, int, ...);
    void (*slist_free_all)(void*);
    void (*easy_cleanup)(void*);
    void (*easy_reset)(void*);
};

std::vector<std::string> DownloadManager::defaultLibraries() {
    return {"libcurl.so", "libcurl.so.2", "libcurl.so.3", "libcurl.so.4"};
}

DownloadManager::DownloadManager(const std::vector<std::string>& libraries) : m_errorBuffer(curl_error_size, '\0') {
    for (const std::string& name : libraries) {
        m_library = dlopen(name.c_str(), RTLD_LAZY);
        if (m_library) break;
    }
    if (!m_library) {
        error("DownloadManager::initCurl: Unable to initialize libcurl library.");
        error("DownloadManager::DownloadManager: libcurl is not found.");
        return;
    }
    m_api = std::make_unique<curl_api>();
    const struct {
        const char* name;
        void** slot;
    } symbols[] = {
        {"curl_easy_init", reinterpret_cast<void**>(&m_api->easy_init)},
        {"curl_slist_append", reinterpret_cast<void**>(&m_api->slist_append)},
        {"curl_easy_setopt", reinterpret_cast<void**>(&m_api->easy_setopt)},
        {"curl_easy_perform", reinterpret_cast<void**>(&m_api->easy_perform)},
        {"curl_easy_getinfo", reinterpret_cast<void**>(&m_api->easy_getinfo)},
        {"curl_slist_free_all", reinterpret_cast<void**>(&m_api->slist_free_all)},
        {"curl_easy_cleanup", reinterpret_cast<void**>(&m_api->easy_cleanup)},
        {"curl_easy_reset", reinterpret_cast<void**>(&m_api->easy_reset)},
    };
    for (const auto& symbol : symbols) {
        dlerror();
        *symbol.slot = dlsym(m_library, symbol.name);
        if (!*symbol.slot) {
            const char* reason = dlerror();
            error("DownloadManager::initCurl: %s\n", reason ? reason : symbol.name);
            error("DownloadManager::initCurl: Unable to initialize libcurl library.");
            m_api.reset();
            return;
        }
    }
    m_handle = m_api->easy_init();
    if (!m_handle) error("DownloadManager::DownloadManager: Failed to initialize libcurl.");
}

// The library stays loaded: the TLS libraries it brings register handlers that run at exit, and
// unloading it first would leave them pointing at unmapped code.
DownloadManager::~DownloadManager() {
    if (m_handle) m_api->easy_cleanup(m_handle);
}

DownloadManager* DownloadManager::getInstance() {
    static std::unique_ptr<DownloadManager> instance;
    if (!instance) instance = std::make_unique<DownloadManager>(defaultLibraries());
    return instance.get();
}

void DownloadManager::clearQueue() {
    m_queue.clear();
    m_failed.clear();
    m_current = -1;
}

bool DownloadManager::enqueueFile(const std::string& url, const std::string& dir, const std::string& subdir,
                                  const std::string& filename, const std::string& cksum, long long size) {
    FileToDownload file;
    file.m_url = url;
    file.m_dirname = dir;
    file.m_subdirname = subdir;
    file.m_filename = filename;
    file.m_cksum_cksum = cksum;
    file.m_size = size;
    return enqueueFileToDownload(file, dir, nullptr);
}

bool DownloadManager::enqueueFileToDownload(const FileToDownload& file, const std::string& dir, Component* component) {
    print_log("DownloadManager::enqueueFileToDownload: started");
    if (!download_path_is_safe(file.m_subdirname, true) || !is_plain_name(file.m_filename)) {
        error("DownloadManager::enqueueFileToDownload: refusing file '%s' in folder '%s': it would be written outside "
              "the download folder",
              file.m_filename.c_str(), file.m_subdirname.c_str());
        return false;
    }
    FileToDownload copy = file;
    copy.m_dirname = dir;
    copy.component = component;
    m_queue.push_back(copy);
    print_log("DownloadManager::enqueueFileToDownload: finished");
    return true;
}

const DownloadManager::FileToDownload* DownloadManager::getFailedToDownloadFile(int index) const {
    if (index < 0 || static_cast<size_t>(index) >= m_queue.size()) return nullptr;
    return &m_queue[static_cast<size_t>(index)];
}

int64_t DownloadManager::getTotalDownloadSize() const {
    int64_t total = 0;
    for (const FileToDownload& file : m_queue) total += file.m_size > 0 ? file.m_size : 0;
    return total;
}

std::string DownloadManager::getUserFriendlyDownloadTime(session_t* session, int seconds) {
    return progress_time_text(session, seconds);
}

int DownloadManager::execute(session_t* session, int from) {
    print_log("DownloadManager::execute: started");
    env_set_string(session, "LUMO_DOWNLOAD_FAILED", "no");
    if (!m_handle) {
        // Nothing can be fetched, so nothing may count as fetched.
        error("DownloadManager::execute: libcurl is not initialized");
        env_set_string(session, "LUMO_DOWNLOAD_FAILED", "yes");
        return -1;
    }
    std::vector<int> indices;
    for (int i = from < 0 ? 0 : from; i < static_cast<int>(m_queue.size()); ++i) indices.push_back(i);
    m_failed.clear();
    return runIndices(session, indices);
}

int DownloadManager::retryDownload(session_t* session) {
    const FileToDownload* failed = getFailedToDownloadFile(m_current);
    print_log("DownloadManager::retryDownload: retrying downloading file '%s'", failed ? failed->m_url.c_str() : "");
    env_set_string(session, "LUMO_DOWNLOAD_FAILED", "no");
    if (!m_handle) return execute(session, 0);
    // Every file that failed, ignored ones included: their components count as wanted again.
    std::vector<int> indices(m_failed.begin(), m_failed.end());
    for (int i = m_current + 1; i < static_cast<int>(m_queue.size()); ++i) indices.push_back(i);
    m_failed.clear();
    return runIndices(session, indices);
}

int DownloadManager::ignoreFailedDownload(session_t* session) {
    const FileToDownload* failed = getFailedToDownloadFile(m_current);
    print_log("DownloadManager::ignoreFailedDownload: ignored downloading file '%s'", failed ? failed->m_url.c_str() : "");
    env_set_string(session, "LUMO_DOWNLOAD_FAILED", "no");
    if (!m_handle) return execute(session, 0);
    std::vector<int> indices;
    for (int i = m_current + 1; i < static_cast<int>(m_queue.size()); ++i) indices.push_back(i);
    return runIndices(session, indices);
}

int DownloadManager::runIndices(session_t* session, const std::vector<int>& indices) {
    g_session = session;
    const bool gui = env_get_string(session, std::string("gui")) == "1";
    const bool console = !gui && (!env_exists(session, std::string("silent")) ||
                                  env_exists(session, std::string("VERBOSE_INSTALL")));
    const progress_callback_t callback = gui ? GUIProgressCallback : console ? CLIProgressCallback : NoProgressCallback;
    m_stallSeconds = stall_seconds(session, m_stallSeconds);
    m_progress = progress_state_t();
    m_progress.session = session;
    for (int index : indices) {
        const int64_t size = m_queue[static_cast<size_t>(index)].m_size;
        m_progress.total_bytes_to_download += size > 0 ? size : 0;
    }
    const std::string total = std::to_string(indices.size());
    env_set_string(session, "LUMO_TOTAL_COMPONENTS", total);
    env_set_string(session, "LUMO_TOTAL_COMPONENTS_INCLUDING_INVISIBLE", total);
    m_current = -1;
    int result = 0;
    int number = 0;
    for (int index : indices) {
        const FileToDownload& file = m_queue[static_cast<size_t>(index)];
        const int64_t size = file.m_size > 0 ? file.m_size : 0;
        env_set_string(session, "LUMO_CURRENT_COMPONENT", std::to_string(++number));
        env_set_string(session, "LUMO_DOWNLOADING_FILE_SIZE", Component::getUserFriendlySizeString(size / 1048576));
        env_set_string(session, "LUMO_STATUS_TEXT",
                       expand_operand(session, env_get_string(session, std::string("download_progress_text"))));
        if (file.m_size >= 0 && file.verifyChecksum()) {
            print_log("DownloadManager::execute: file '%s' has already been downloaded.", file.localPath().c_str());
            m_progress.total_bytes_to_download -= size;
            continue;
        }
        m_progress.file_download_start_time = static_cast<int64_t>(time(nullptr));
        result = downloadFile(file, callback);
        if (result == 0) {
            m_progress.total_bytes_downloaded += size;
            m_progress.total_spend_time += static_cast<int64_t>(time(nullptr)) - m_progress.file_download_start_time;
            if (console) print_string(" %s\n", expand_operand(session, "${install_component_done}").c_str());
            continue;
        }
        if (console) print_string("\n");
        m_current = index;
        m_failed.insert(index);
        env_set_string(session, "LUMO_DOWNLOAD_FAILED", "yes");
        env_set_string(session, "LUMO_FAILED_DOWNLOAD_FILE_URL", file.m_url);
        break;
    }
    print_log("DownloadManager::execute: finished with result %d", result);
    return result == 0 ? 0 : 1;
}

int DownloadManager::downloadFile(const FileToDownload& file, progress_callback_t callback) {
    if (!m_handle) {
        error("DownloadManager::execute: libcurl is not initialized");
        return 1;
    }
    m_api->easy_reset(m_handle);
    const std::string folder = file.m_dirname + "/" + file.m_subdirname;
    if (!is_dir(folder)) folder_create(folder, 0755);
    print_log("DownloadManager::downloadFile: started for file %s", file.localPath().c_str());
    if (!download_path_is_safe(file.m_subdirname, true) || !is_plain_name(file.m_filename)) {
        error("DownloadManager::downloadFile: refusing file '%s' in folder '%s': it would be written outside the "
              "download folder",
              file.m_filename.c_str(), file.m_subdirname.c_str());
        return 1;
    }
    const std::string partial = file.partialPath();
    int64_t offset = 0;
    if (file.m_size >= 0 && is_file(partial)) {
        offset = file_size(partial);
        print_log("DownloadManager::downloadFile: file has already been partially downloaded: %ldd bytes",
                  static_cast<long>(offset));
        // A partial file as long as the whole one is the whole one only when it passes the check.
        if (offset >= file.m_size) {
            if (offset == file.m_size && file.verifyFile(partial) && rename(partial.c_str(), file.localPath().c_str()) == 0) {
                print_log("DownloadManager::downloadFile: file has already been downloaded");
                return 0;
            }
            remove_file(partial, 1);
            offset = 0;
        }
    } else if (is_file(partial)) {
        // Without a known size there is nothing to say the old bytes belong to this file.
        remove_file(partial, 1);
    }
    int result = transfer(file, callback, offset);
    if (result == curl_range_error && offset > 0) {
        // The server sent the whole file instead of the missing part: start over from the first byte.
        warn("DownloadManager::downloadFile: server does not resume %s, downloading it again from the start",
             file.m_url.c_str());
        remove_file(partial, 1);
        m_api->easy_reset(m_handle);
        result = transfer(file, callback, 0);
    }
    return result;
}

int DownloadManager::transfer(const FileToDownload& file, progress_callback_t callback, int64_t offset) {
    const std::string partial = file.partialPath();
    const int flags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | (offset > 0 ? O_APPEND : O_CREAT | O_TRUNC);
    fd_owner out{open(partial.c_str(), flags, 0644)};
    if (out.fd < 0) {
        error("DownloadManager::downloadFile: failed to download file %s - cannot open file for writing.",
              file.localPath().c_str());
        return 1;
    }
    file_digest digest(file);
    if (offset > 0 && !digest.updateFromFile(partial, offset)) {
        error("DownloadManager::downloadFile: failed to read partial file %s", partial.c_str());
        return 1;
    }
    write_target_t target;
    target.fd = out.fd;
    target.digest = &digest;
    target.room = file.m_size >= 0 ? file.m_size - offset : -1;
    m_progress.resume_offset = offset;
    m_progress.cur_chunk = static_cast<int32_t>(offset / progress_chunk_bytes);
    m_errorBuffer.assign(curl_error_size, '\0');
    void* h = m_handle;
    m_api->easy_setopt(h, opt_url, file.m_url.c_str());
    m_api->easy_setopt(h, opt_writefunction, write_received);
    m_api->easy_setopt(h, opt_writedata, &target);
    m_api->easy_setopt(h, opt_noprogress, 0L);
    m_api->easy_setopt(h, opt_progressfunction, callback);
    m_api->easy_setopt(h, opt_progressdata, &m_progress);
    m_api->easy_setopt(h, opt_followlocation, 1L);
    m_api->easy_setopt(h, opt_maxredirs, max_redirects);
    m_api->easy_setopt(h, opt_connecttimeout, connect_timeout_seconds);
    m_api->easy_setopt(h, opt_errorbuffer, &m_errorBuffer[0]);
    // A transfer that receives nothing for this long fails instead of hanging the installation.
    m_api->easy_setopt(h, opt_low_speed_limit, 1L);
    m_api->easy_setopt(h, opt_low_speed_time, m_stallSeconds);
    // An error page is never written into the file.
    m_api->easy_setopt(h, opt_failonerror, 1L);
    // Only web servers, also after a redirect: a redirect must not reach local files.
    m_api->easy_setopt(h, opt_protocols, proto_http_https);
    m_api->easy_setopt(h, opt_redir_protocols, proto_http_https);
    m_api->easy_setopt(h, opt_nosignal, 1L);
    m_api->easy_setopt(h, opt_buffersize, receive_buffer_bytes);
    if (offset > 0) m_api->easy_setopt(h, opt_resume_from_large, static_cast<int64_t>(offset));
    const int code = m_api->easy_perform(h);
    const int closed = close(out.fd);
    out.fd = -1;
    const int64_t total = offset + target.written;
    if (code == curl_range_error && offset > 0 && closed == 0 && !target.write_failed) {
        // The server cannot resume: the caller starts the file again from its first byte.
        print_log("DownloadManager::downloadFile: %s can not be resumed: %s", file.m_url.c_str(), m_errorBuffer.c_str());
        return code;
    }
    if (code != 0 || closed != 0 || target.write_failed) {
        error("DownloadManager::downloadFile: failed to download file %s: %s", file.m_url.c_str(),
              target.too_long ? "the server sent more bytes than the file has" : m_errorBuffer.c_str());
        // What arrived before a drop or a stall is a good start for the next attempt; more bytes
        // than the file has are not, and an empty file is nothing to resume.
        if (target.too_long || target.write_failed || total == 0) remove_file(partial, 1);
        if (code == code_http_returned_error) {
            // Refused by the server (404 and the like): the status is logged as for any answer.
            long http_code = 0;
            m_api->easy_getinfo(h, info_response_code, &http_code);
            print_log("DownloadManager::downloadFile: curl returned http_code '%d'", static_cast<int>(http_code));
            return 1;
        }
        return code != 0 ? code : 1;
    }
    long http_code = 0;
    m_api->easy_getinfo(h, info_response_code, &http_code);
    print_log("DownloadManager::downloadFile: curl returned http_code '%d'", static_cast<int>(http_code));
    if (http_code != 200 && http_code != 206 && http_code != 0) {
        remove_file(partial, 1);
        return 1;
    }
    if (file.m_size >= 0 && total != file.m_size) {
        error("DownloadManager::downloadFile: failed to download file %s: received %lld bytes of %lld",
              file.m_url.c_str(), static_cast<long long>(total), static_cast<long long>(file.m_size));
        return 1;
    }
    if (digest.any()) {
        const std::string found = digest.finish();
        if (found != digest.expected()) {
            error("FileToDownload::verifyChecksum: incorrect checksum for file '%s'. Required '%s', found '%s'.",
                  file.localPath().c_str(), digest.expected().c_str(), found.c_str());
            remove_file(partial, 1);
            return 1;
        }
    } else {
        warn("FileToDownload::verifyChecksum: checksum for file '%s' is not specified. Consider it OK.",
             file.localPath().c_str());
    }
    // Permissions from the description never make a downloaded file set-user-id.
    if (file.m_perm >= 0) chmod(partial.c_str(), static_cast<mode_t>(file.m_perm) & 0777);
    // No fsync before the rename: after a power loss a file may be short, but a file is counted as
    // downloaded only after its check, so the next run fetches it again.
    if (rename(partial.c_str(), file.localPath().c_str()) != 0) {
        error("DownloadManager::downloadFile: cannot rename %s to %s", partial.c_str(), file.localPath().c_str());
        return 1;
    }
    return 0;
}
