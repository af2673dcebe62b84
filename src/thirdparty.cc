#include "thirdparty.h"

#include <cerrno>
#include <cstdlib>

#include "file.h"
#include "log.h"
#include "xml.h"

namespace {

// Element text is kept as written, so blanks and line breaks around the number are allowed.
bool parse_size(const std::string& text_in, int64_t& value) {
    const size_t first = text_in.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return false;
    const std::string text = text_in.substr(first, text_in.find_last_not_of(" \t\r\n") + 1 - first);
    errno = 0;
    char* end = nullptr;
    const long long parsed = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || parsed < 0) return false;
    value = parsed;
    return true;
}

}  // namespace

ThirdPartyComponentDescription::ThirdPartyComponentDescription(const node_t* node, const std::string& base_url) {
    if (!node) {
        error("ThirdPartyComponentDescription::ThirdPartyComponentDescription: xml_node is null");
        return;
    }
    m_valid = true;
    for (const xml_key_t& key : node->keys) {
        if (key.name == THIRD_PARTY_CONFIG_ATTRIBUTE_ABBR)
            m_abbr = key.value;
        else
            warn("ThirdPartyComponentDescription::ThirdPartyComponentDescription: unknown attribute '%s' for element "
                 "'%s'",
                 key.name.c_str(), node->name.c_str());
    }
    for (const node_t& child : node->childs) {
        if (child.name != THIRD_PARTY_CONFIG_ELEMENT_FILES) {
            m_properties[child.name] = child.data_len > 0 ? child.data : "";
            continue;
        }
        for (const node_t& entry : child.childs) {
            if (entry.name != THIRD_PARTY_CONFIG_ELEMENT_FILE) {
                warn("ThirdPartyComponentDescription::ThirdPartyComponentDescription: unknown element with name '%s' "
                     "in element '%s'",
                     entry.name.c_str(), child.name.c_str());
                continue;
            }
            m_valid = readFile(entry, base_url) && m_valid;
        }
    }
    int64_t size = 0;
    const std::string size_text = getProperty(THIRD_PARTY_CONFIG_ELEMENT_SIZE);
    if (!size_text.empty() && !parse_size(size_text, size)) {
        error("ThirdPartyComponentDescription::ThirdPartyComponentDescription: size '%s' of '%s' is not a number",
              size_text.c_str(), m_abbr.c_str());
        m_valid = false;
    }
}

bool ThirdPartyComponentDescription::readFile(const node_t& node, const std::string& base_url) {
    DownloadManager::FileToDownload file;
    std::string name;
    for (const xml_key_t& key : node.keys) {
        if (key.name == THIRD_PARTY_CONFIG_ATTRIBUTE_NAME) {
            name = key.value;
        } else if (key.name == THIRD_PARTY_CONFIG_ATTRIBUTE_MD5) {
            file.m_cksum_md5 = key.value;
        } else if (key.name == THIRD_PARTY_CONFIG_ATTRIBUTE_SHA256) {
            file.m_cksum_sha256 = key.value;
        } else if (key.name == THIRD_PARTY_CONFIG_ATTRIBUTE_URL) {
            file.m_url = key.value;
        } else if (key.name == THIRD_PARTY_CONFIG_ATTRIBUTE_SIZE) {
            if (!parse_size(key.value, file.m_size)) {
                error("ThirdPartyComponentDescription::ThirdPartyComponentDescription: size '%s' of file '%s' is not a "
                      "number",
                      key.value.c_str(), name.c_str());
                return false;
            }
        } else {
            warn("ThirdPartyComponentDescription::ThirdPartyComponentDescription: unknown attribute '%s' for element "
                 "'%s'",
                 key.name.c_str(), node.name.c_str());
        }
    }
    // A name is a name, never a path: the local file is the last segment of the URL, and a name
    // that would climb out of the folder on the server is refused as well.
    if (!name.empty() && (!download_path_is_safe(name, false) || name.find('/') != std::string::npos)) {
        error("ThirdPartyComponentDescription::ThirdPartyComponentDescription: refusing file name '%s'", name.c_str());
        return false;
    }
    if (file.m_url.empty()) file.m_url = name.empty() || base_url.empty() ? "" : base_url + "/" + name;
    file.m_filename = download_name_from_url(file.m_url);
    if (file.m_filename.empty() || file.m_filename == "." || file.m_filename == "..") {
        error("ThirdPartyComponentDescription::ThirdPartyComponentDescription: file '%s' has no usable URL '%s'",
              name.c_str(), file.m_url.c_str());
        return false;
    }
    m_files.push_back(file);
    return true;
}

std::string ThirdPartyComponentDescription::getProperty(const std::string& name) const {
    const auto found = m_properties.find(name);
    return found == m_properties.end() ? "" : found->second;
}

int64_t ThirdPartyComponentDescription::getFilesToDownloadSize() const {
    int64_t total = 0;
    for (const DownloadManager::FileToDownload& file : m_files) total += file.m_size > 0 ? file.m_size : 0;
    return total;
}

void ThirdPartyComponentDescription::dumpToLog() const {
    print_log("ThirdPartyComponentDescription::dumpToLog: started for '%s'", m_abbr.c_str());
    for (const auto& property : m_properties)
        print_log("ThirdPartyComponentDescription::dumpToLog: '%s'='%s'", property.first.c_str(),
                  property.second.c_str());
    print_log("ThirdPartyComponentDescription::dumpToLog: finished");
}

bool ThirdPartyConfig::parseConfigFile(const std::string& file, const std::string& base_url) {
    print_log("ThirdPartyConfig::parseConfigFile: started for file '%s'", file.c_str());
    std::string text;
    if (get_file(file, text, 1) != 0) {
        error("ThirdPartyConfig::parseConfigFile: Cannot read file %s", file.c_str());
        return false;
    }
    return parseConfigText(text, file, base_url);
}

bool ThirdPartyConfig::parseConfigText(const std::string& text, const std::string& file, const std::string& base_url) {
    document_t doc;
    if (xml_parse_buffer(text.data(), text.size(), &doc) != 0) {
        error("ThirdPartyConfig::parseConfigFile: Cannot parse file %s", file.c_str());
        return false;
    }
    for (const node_t& top : doc.nodes) {
        if (top.name != THIRD_PARTY_CONFIG_ELEMENT_COMPONENT) {
            print_log("parse_package_description_xml: unknown element with name '%s'.", top.name.c_str());
            continue;
        }
        ThirdPartyComponentDescription description(&top, base_url);
        if (!description.isValid()) continue;
        const std::string abbr = description.getAbbr();
        m_descriptions.erase(abbr);
        m_descriptions.emplace(abbr, std::move(description));
    }
    print_log("ThirdPartyConfig::parseConfigFile: %s has been parsed successfully", file.c_str());
    print_log("ThirdPartyConfig::parseConfigFile: finished");
    return true;
}

const ThirdPartyComponentDescription* ThirdPartyConfig::getThirdPartyComponentDescription(const std::string& abbr) const {
    print_log("ThirdPartyConfig::getThirdPartyComponentDescription: started for abbr '%s'", abbr.c_str());
    const auto found = m_descriptions.find(abbr);
    return found == m_descriptions.end() ? nullptr : &found->second;
}

void ThirdPartyConfig::dumpToLog() const {
    print_log("ThirdPartyConfig::dumpToLog: started");
    for (const auto& entry : m_descriptions) entry.second.dumpToLog();
    print_log("ThirdPartyConfig::dumpToLog: finished");
}

// Kept with the descriptions, whose files it reads: the download manager itself does not depend
// on what a third party description looks like.
bool DownloadManager::enqueueFilesForThirdPartyComponent(const ThirdPartyComponentDescription* description,
                                                         const std::string& dir, Component* component) {
    if (!description) {
        error("DownloadManager::enqueueFilesForThirdPartyComponent: thirdPartyComponentDescription is NULL");
        return false;
    }
    bool all = true;
    for (const FileToDownload& file : description->getFilesToDownload()) {
        FileToDownload copy = file;
        copy.m_filename = download_name_from_url(file.m_url);
        print_log("DownloadManager::enqueueFilesForThirdPartyComponent: filename from url '%s' is '%s'",
                  file.m_url.c_str(), copy.m_filename.c_str());
        all = enqueueFileToDownload(copy, dir, component) && all;
    }
    return all;
}
