// Third party components: components whose payload is published elsewhere and described by a
// small XML file at their ProxyURL. The file is read here into one description per component:
// the texts shown for it, its size, and the files to download with their checksums.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "download.h"

struct node_t;

#define THIRD_PARTY_CONFIG_ELEMENT_COMPONENT "component"
#define THIRD_PARTY_CONFIG_ATTRIBUTE_ABBR "abbr"
#define THIRD_PARTY_CONFIG_ELEMENT_FILES "files"
#define THIRD_PARTY_CONFIG_ELEMENT_SIZE "size"
#define THIRD_PARTY_CONFIG_ELEMENT_NAME "name"
#define THIRD_PARTY_CONFIG_ELEMENT_VERSION "version"
#define THIRD_PARTY_CONFIG_ELEMENT_DESCRIPTION "description"
#define THIRD_PARTY_CONFIG_ELEMENT_FILE "file"
#define THIRD_PARTY_CONFIG_ATTRIBUTE_MD5 "md5"
#define THIRD_PARTY_CONFIG_ATTRIBUTE_SIZE "size"
#define THIRD_PARTY_CONFIG_ATTRIBUTE_NAME "name"
// Beyond the names above: the file's full URL (else its name below the description's folder on
// the server) and a SHA-256 digest that, when given, is the checksum verified.
#define THIRD_PARTY_CONFIG_ATTRIBUTE_URL "url"
#define THIRD_PARTY_CONFIG_ATTRIBUTE_SHA256 "sha256"

class ThirdPartyComponentDescription {
public:
    // From a `component` element; base_url is the folder URL that file names are relative to.
    // isValid() is false (logged) for a null node, a number that does not parse or a file whose
    // name or URL would leave the download folder.
    explicit ThirdPartyComponentDescription(const node_t* node, const std::string& base_url = "");
    bool isValid() const { return m_valid; }
    std::string getProperty(const std::string& name) const;
    const std::string& getAbbr() const { return m_abbr; }
    int getFilesToDowloadCount() const { return static_cast<int>(m_files.size()); }
    int64_t getFilesToDownloadSize() const;
    const std::vector<DownloadManager::FileToDownload>& getFilesToDownload() const { return m_files; }
    void dumpToLog() const;

private:
    bool readFile(const node_t& node, const std::string& base_url);

    std::string m_abbr;
    std::map<std::string, std::string> m_properties;
    std::vector<DownloadManager::FileToDownload> m_files;
    bool m_valid = false;
};

class ThirdPartyConfig {
public:
    // false (logged) when the file cannot be read or parsed; descriptions that were built from it
    // are kept, the invalid ones left out.
    bool parseConfigFile(const std::string& file, const std::string& base_url = "");
    // Parses text already in memory; `file` names it in the log.
    bool parseConfigText(const std::string& text, const std::string& file, const std::string& base_url);
    const ThirdPartyComponentDescription* getThirdPartyComponentDescription(const std::string& abbr) const;
    void dumpToLog() const;

private:
    std::map<std::string, ThirdPartyComponentDescription> m_descriptions;
};
