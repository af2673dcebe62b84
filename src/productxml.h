// The online product description, product.xml: the payload files an online package downloads
// instead of carrying them, with their place on the server, size, checksum and permissions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One downloadable file.
struct product_file_t {
    std::string name;
    std::string path;   // folder on the server, also the sub-folder it is written to
    std::string cksum;  // first field of the POSIX cksum tool's output; may be empty
    std::string sha256;  // lower-case hex; when present it is the checksum that is verified
    int64_t size = -1;  // bytes; -1 when the description gives none
    unsigned perm = 0;
    std::string url;    // download_url + "/" + path + "/" + name
};

// The POSIX cksum CRC of the file's bytes as decimal text; "" when it cannot be read.
std::string product_file_cksum(const std::string& path);

class ProductXML {
public:
    // Reads the description; false (logged) for an unreadable or malformed file, a number that
    // does not parse, or a file name or folder that would leave the download folder.
    bool parseProductXML(const std::string& file, const std::string& url);
    // The first file of that name, null when none.
    const product_file_t* getFileToDownloadByFilename(const std::string& name) const;
    // Whether the copy at local_path is intact: it exists and its checksum (when one is given)
    // matches. A file with a SHA-256 value is left to the download manager: false here.
    static bool verifyChecksum(const product_file_t& file, const std::string& local_path);
    void dumpToLog() const;
    const std::vector<product_file_t>& files() const { return m_files; }

private:
    std::vector<product_file_t> m_files;
};
