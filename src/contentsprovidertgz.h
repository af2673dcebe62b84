// The back-end of components whose payload is a gzip-compressed tar archive: the archive is read in
// process and written below the installation prefix, the package's optional scripts are run, and
// the package is recorded in the "tgz" contents database so that it can be removed file by file.
#pragma once

#include <cstdint>
#include <string>

#include "contentsprovider.h"

class payload_source;
class payload_extractor;

constexpr uint64_t tar_long_name_max = 65536;  // longest 'L'/'K' name taken
constexpr uint64_t tar_pax_max = 1 << 20;      // longest pax ('x'/'g') header taken

struct tar_header_t {
    std::string name;
    std::string linkname;
    uint32_t mode = 0;
    uint64_t size = 0;
    int64_t mtime = 0;
    uint64_t uid = 0;
    uint64_t gid = 0;
    char type = '0';
};

// One 512-byte header block: 0 for an entry, 1 for an all-zero block (the end), -1 for a bad
// checksum or a malformed number. Sizes in octal text or base-256.
int tar_header_parse(const unsigned char* block, tar_header_t* header);
// Applies the records of a pax header ("length key=value\n") that name a path, a link, a size or a
// time. 0, or -1 for a malformed record.
int tar_pax_apply(const std::string& records, tar_header_t* header);

// What a tar extraction did; status 0 when every entry went in place.
struct tar_extract_result_t {
    int status = -1;
    int64_t entries = 0;
    int64_t skipped = 0;
};
// Reads a tar stream and writes its entries through the extractor. When on_written is given it is
// called with each clean name just made final (the install uses it to run .scripts/PREIN at once).
tar_extract_result_t tar_extract(payload_source& source, payload_extractor& out,
                                 void (*on_written)(void* context, const std::string& name) = nullptr,
                                 void* context = nullptr);

class ContentsProviderTgz : public ContentsProvider {
public:
    ContentsItem* findItem(const std::string& id, const std::string& file, const std::string& version) override;
    // 0 on success, 1 when the archive could not be opened, is damaged, or an entry was refused
    // (what was written is removed again, nothing is recorded).
    int installFile(const std::string& file, const std::string& prefix, const std::string& options) override;
    int uninstallFile(const std::string& id, const std::string& file) override;
    int registerFiles(const std::string& pattern) override;
    int registerAllFiles(const std::string& unused) override;
    std::string coexId(int index) override;
    // Runs the script, when it exists, with LUMO_INSTALL_PREFIX set to the prefix (as a property
    // and in the script's environment); its status goes to EXIT_CODE.
    int runTgzScript(const std::string& script, const std::string& prefix);

    ContentsDatabase m_database;
    std::string m_text;
};
