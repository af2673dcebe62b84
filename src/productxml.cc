#include "productxml.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "file.h"
#include "log.h"
#include "utils.h"
#include "xml.h"

namespace {

bool parse_int64(const std::string& text, int base, int64_t& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = strtoll(text.c_str(), &end, base);
    if (errno != 0 || !end || *end != '\0' || parsed < 0) return false;
    value = parsed;
    return true;
}

uint32_t crc_table_entry(uint32_t index) {
    uint32_t crc = index << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    return crc;
}

}  // namespace

std::string product_file_cksum(const std::string& path) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) table[i] = crc_table_entry(i);
        ready = true;
    }
    file_ptr in(fopen(path.c_str(), "rb"));
    if (!in) return "";
    uint32_t crc = 0;
    uint64_t length = 0;
    unsigned char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), in.get())) > 0) {
        for (size_t i = 0; i < got; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ block[i]) & 0xFF];
        length += got;
    }
    if (ferror(in.get())) return "";
    // The length follows the data, least significant byte first, without its leading zero bytes.
    for (uint64_t rest = length; rest != 0; rest >>= 8) crc = (crc << 8) ^ table[((crc >> 24) ^ rest) & 0xFF];
    return std::to_string(~crc & 0xFFFFFFFFu);
}

bool ProductXML::parseProductXML(const std::string& file, const std::string& url) {
    print_log("ProductXML::productXMLFullPath: started for file '%s'", file.c_str());
    m_files.clear();
    std::string text;
    if (get_file(file, text, 1) != 0) {
        error("ProductXML::parseProductXML: Cannot read file %s", file.c_str());
        return false;
    }
    document_t doc;
    if (xml_parse(text.c_str(), &doc) != 0) {
        error("ProductXML::parseProductXML: Cannot parse file %s", file.c_str());
        return false;
    }
    for (const node_t& top : doc.nodes) {
        if (top.childs_count <= 0) continue;
        for (const node_t& element : top.childs) {
            if (element.name != "file") {
                print_log("ProductXML::parseProductXML: unknown element with name '%s'.", element.name.c_str());
                continue;
            }
            product_file_t entry;
            bool good = true;
            for (const xml_key_t& key : element.keys) {
                int64_t number = 0;
                if (key.name == "name") {
                    entry.name = key.value;
                } else if (key.name == "path") {
                    entry.path = key.value;
                } else if (key.name == "cksum") {
                    entry.cksum = key.value;
                } else if (key.name == "sha256") {
                    entry.sha256 = key.value;
                } else if (key.name == "size") {
                    good = good && parse_int64(key.value, 10, number);
                    entry.size = number;
                } else if (key.name == "perm") {
                    good = good && parse_int64(key.value, 8, number) && number <= 07777;
                    entry.perm = static_cast<unsigned>(number);
                } else {
                    warn("ProductXML::parseProductXML: unknown attribute '%s' for element '%s'", key.name.c_str(),
                         element.name.c_str());
                }
            }
            if (!good) {
                error("ProductXML::parseProductXML: file '%s' in %s has a size or perm that is not a number",
                      entry.name.c_str(), file.c_str());
                return false;
            }
            if (!is_safe_relative_path(entry.name, false) || entry.name.find('/') != std::string::npos ||
                !is_safe_relative_path(entry.path, true)) {
                error("ProductXML::parseProductXML: refusing file '%s' in folder '%s': it would be written outside "
                      "the download folder",
                      entry.name.c_str(), entry.path.c_str());
                return false;
            }
            entry.url = url + "/" + entry.path + "/" + entry.name;
            m_files.push_back(entry);
        }
    }
    print_log("ProductXML::parseProductXML: %s has been parsed successfully", file.c_str());
    print_log("ProductXML::parseProductXML: finished");
    return true;
}

const product_file_t* ProductXML::getFileToDownloadByFilename(const std::string& name) const {
    for (const product_file_t& entry : m_files) {
        if (entry.name == name) return &entry;
    }
    return nullptr;
}

bool ProductXML::verifyChecksum(const product_file_t& file, const std::string& local_path) {
    if (!is_file(local_path)) return false;
    // SHA-256 is computed by the download manager; here such a file never passes unchecked.
    if (!file.sha256.empty()) return false;
    if (file.cksum.empty()) return true;
    return product_file_cksum(local_path) == file.cksum;
}

void ProductXML::dumpToLog() const {
    print_log("ProductXML::dumpToLog: started");
    for (const product_file_t& entry : m_files) {
        print_log("ProductXML::dumpToLog: name='%s' path='%s' cksum='%s' size='%lld' perm='%o' url='%s'",
                  entry.name.c_str(), entry.path.c_str(), entry.cksum.c_str(), static_cast<long long>(entry.size),
                  entry.perm, entry.url.c_str());
    }
    print_log("ProductXML::dumpToLog: finished");
}
