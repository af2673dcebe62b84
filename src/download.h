// The download manager of online installs: fetches payload files and third party descriptions over
// HTTP with libcurl, loaded at run time, into local folders, one file after another, resuming
// partial files and verifying every file before it takes its final name.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "progress.h"

class Component;
class ThirdPartyComponentDescription;
struct session_t;

// Incremental digests over the bytes of a file, in the text forms the checksum values are written
// in: the POSIX cksum CRC as decimal, MD5 and SHA-256 as lower-case hex.
class CksumCrc {
public:
    void update(const unsigned char* data, size_t size);
    std::string finish();  // appends the length, as the cksum tool does

private:
    uint32_t m_crc = 0;
    uint64_t m_length = 0;
};

class Md5 {
public:
    Md5();
    void update(const unsigned char* data, size_t size);
    std::string finish();

private:
    void block(const unsigned char* data);
    uint32_t m_state[4];
    uint64_t m_length = 0;
    std::string m_pending;
};

class Sha256 {
public:
    Sha256();
    void update(const unsigned char* data, size_t size);
    std::string finish();

private:
    void block(const unsigned char* data);
    uint32_t m_state[8];
    uint64_t m_length = 0;
    std::string m_pending;
};

// Whether a name from a description may be used below a download folder: relative, and without a
// ".." part. Empty is allowed only when allow_empty.
bool download_path_is_safe(const std::string& name, bool allow_empty);
// The last '/'-separated segment of a URL's path, without query or fragment; "" when none.
std::string download_name_from_url(const std::string& url);

class DownloadManager {
public:
    struct FileToDownload {
        std::string m_url;
        std::string m_filename;
        std::string m_dirname;
        std::string m_subdirname;
        std::string m_cksum_cksum;
        std::string m_cksum_md5;
        // Lower-case hex; when present it is the one checksum verified.
        std::string m_cksum_sha256;
        int64_t m_size = -1;
        int32_t m_perm = -1;
        Component* component = nullptr;

        std::string localPath() const;
        // Where the bytes go until they are verified; a file under localPath() is always whole.
        std::string partialPath() const { return localPath() + ".part"; }
        void dumpToLog() const;
        // The file at localPath() exists and its checksum (SHA-256 first, then cksum, then MD5)
        // matches; without any checksum its size must match when one is known.
        bool verifyChecksum() const;
        // The same test for another path.
        bool verifyFile(const std::string& path) const;
    };

    // The library names tried, in order, by the process-wide manager.
    static std::vector<std::string> defaultLibraries();
    // Tries each library name; see initialized().
    explicit DownloadManager(const std::vector<std::string>& libraries);
    ~DownloadManager();
    DownloadManager(const DownloadManager&) = delete;
    DownloadManager& operator=(const DownloadManager&) = delete;

    // The process-wide manager, created on first use.
    static DownloadManager* getInstance();
    bool initialized() const { return m_handle != nullptr; }

    void setVerbose(bool verbose) { m_verbose = verbose; }
    // Seconds without any received byte after which a transfer fails; 60 unless set.
    void setStallTimeout(long seconds) { m_stallSeconds = seconds > 0 ? seconds : 60; }
    void clearQueue();
    // false (logged, nothing queued) for a folder or name that would leave the target folder.
    bool enqueueFile(const std::string& url, const std::string& dir, const std::string& subdir,
                     const std::string& filename, const std::string& cksum, long long size);
    bool enqueueFileToDownload(const FileToDownload& file, const std::string& dir, Component* component);
    // The files of a third party description, named after the last segment of their URL; false
    // when the description is null or a file was refused.
    bool enqueueFilesForThirdPartyComponent(const ThirdPartyComponentDescription* description,
                                            const std::string& dir, Component* component);

    // Downloads the queue from index `from` on and stops at the first failure, which sets
    // LUMO_DOWNLOAD_FAILED "yes". 0 when every file is in place, 1 after a failure, -1 when
    // downloads are impossible (no library).
    int execute(session_t* session, int from);
    // Downloads every failed file again, then the rest of the queue after the one that stopped it.
    int retryDownload(session_t* session);
    // Leaves the failed file out and goes on with the next one.
    int ignoreFailedDownload(session_t* session);
    // Whether a batch stopped at a failed file that retry or ignore can go on from.
    bool hasPendingFailure() const { return m_current >= 0; }

    const std::set<int>& failedToDownloadFiles() const { return m_failed; }
    const FileToDownload* getFailedToDownloadFile(int index) const;
    const std::vector<FileToDownload>& queue() const { return m_queue; }
    int64_t getTotalDownloadSize() const;
    int getTotalDownloadCount() const { return static_cast<int>(m_queue.size()); }
    static std::string getUserFriendlyDownloadTime(session_t* session, int seconds);

    // One file: 0 when it is in place and verified, a libcurl code or 1 otherwise.
    int downloadFile(const FileToDownload& file, progress_callback_t callback);

private:
    struct curl_api;
    int runIndices(session_t* session, const std::vector<int>& indices);
    int transfer(const FileToDownload& file, progress_callback_t callback, int64_t offset);

    void* m_library = nullptr;
    std::unique_ptr<curl_api> m_api;
    void* m_handle = nullptr;
    std::vector<FileToDownload> m_queue;
    int m_current = -1;
    std::set<int> m_failed;
    bool m_verbose = false;
    long m_stallSeconds = 60;
    std::string m_errorBuffer;
    progress_state_t m_progress;
};
