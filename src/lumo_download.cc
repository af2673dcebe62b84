#include "lumo_download.h"

#include <unistd.h>

#include <map>
#include <memory>
#include <vector>

#include "actions.h"
#include "component.h"
#include "console.h"
#include "download.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "productxml.h"
#include "thirdparty.h"
#include "tsd.h"
#include "utils.h"

namespace {

// Retries one call makes on its own before it hands the decision back: a "retry" answer that
// stays set must not turn a dead server into an endless loop.
constexpr int download_retry_limit = 3;

std::string property(session_t* session, const char* name) { return env_get_string(session, std::string(name)); }
bool has_property(session_t* session, const char* name) { return env_exists(session, std::string(name)); }

// The descriptions fetched during this run, by ProxyURL; components point into them, so they
// live to the end of the run. Null for a URL whose description could not be had.
std::map<std::string, std::unique_ptr<ThirdPartyConfig>>& third_party_configs() {
    static std::map<std::string, std::unique_ptr<ThirdPartyConfig>> configs;
    return configs;
}

int third_party_count(const ThirdPartyComponentDescription* description) {
    return description ? description->getFilesToDowloadCount() : 0;
}

int64_t third_party_size(const ThirdPartyComponentDescription* description) {
    return description ? description->getFilesToDownloadSize() : 0;
}

DownloadManager::FileToDownload file_from_product(const product_file_t& file) {
    DownloadManager::FileToDownload entry;
    entry.m_url = file.url;
    entry.m_filename = file.name;
    entry.m_subdirname = file.path;
    entry.m_cksum_cksum = file.cksum;
    entry.m_cksum_sha256 = file.sha256;
    entry.m_size = file.size;
    entry.m_perm = file.perm ? static_cast<int32_t>(file.perm) : -1;
    return entry;
}

const ProductXML* product_description(session_t* session) {
    return session && session->tsd ? session->tsd->context().product_xml : nullptr;
}

template <typename Visit>
void for_each_component(session_t* session, Visit visit) {
    if (!session || !session->tsd) return;
    for (Component* product : session->tsd->products()) {
        for (Component* component : product->subcomponents()) visit(component);
    }
}

std::string xml_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::string join_path(const std::string& folder, const std::string& sub, const std::string& name) {
    return sub.empty() ? folder + "/" + name : folder + "/" + sub + "/" + name;
}

std::string absolute_from_pwd(session_t* session, const std::string& value) {
    if (value.empty() || value[0] == '/' || value[0] == '~') return value;
    return property(session, "LUMO_PWD") + "/" + value;
}

// Third party files and a download list's targets go below download_dir; without one, into the
// package folder rather than below the file system's root.
std::string download_folder(session_t* session) {
    const std::string folder = property(session, "download_dir");
    return folder.empty() ? property(session, "PACKAGE_DIR") : folder;
}

bool queue_payload(session_t* session, DownloadManager& manager) {
    const bool online = is_online_installer_mode(session);
    const ProductXML* description = product_description(session);
    const std::string package_dir = property(session, "PACKAGE_DIR");
    const std::string download_dir = download_folder(session);
    bool all = true;
    for_each_component(session, [&](Component* component) {
        if (!component->installCondition()) return;
        if (component->isThirdPartyComponent()) {
            const ThirdPartyComponentDescription* third = component->getThirdPartyComponentDescription();
            if (!third) {
                error("lumo_download_rpms: description for 3rd party component '%s' is not available",
                      component->m_name.c_str());
                all = false;
                return;
            }
            print_log("lumo_download_rpms: download %d 3rd party files with total size %lld for component '%s'",
                      third->getFilesToDowloadCount(), static_cast<long long>(third->getFilesToDownloadSize()),
                      component->m_name.c_str());
            all = manager.enqueueFilesForThirdPartyComponent(third, download_dir, component) && all;
            return;
        }
        if (!online) return;
        const product_file_t* file = description ? description->getFileToDownloadByFilename(component->m_nonrpmProductCode)
                                                 : nullptr;
        if (!file) {
            error("lumo_download_rpms: cannot find record for file with name '%s'",
                  component->m_nonrpmProductCode.c_str());
            all = false;
            return;
        }
        all = manager.enqueueFileToDownload(file_from_product(*file), package_dir, component) && all;
    });
    return all;
}

// One answer to the failure that stopped the batch; 1 to look at the result again, 0 to stop
// asking, -1 to end the action with a failure.
int apply_answer(session_t* session, DownloadManager& manager, int& retries) {
    const std::string answer = property(session, "LUMO_DOWNLOAD_FAILURE_ANSWER");
    if (answer.empty()) return 0;  // whoever runs the sequence asks, then calls again
    if (answer == "abort") {
        env_set_string(session, "LUMO_EXIT_CODE", "2");
        error("lumo_download_rpms: user aborted installation after download failure.");
        manager.clearQueue();
        return -1;
    }
    if (answer == "ignore") {
        for (int index : manager.failedToDownloadFiles()) {
            const DownloadManager::FileToDownload* file = manager.getFailedToDownloadFile(index);
            if (!file || !file->component) continue;
            file->component->m_downloadFailed = 1;
            print_log("lumo_download_rpms: mark component '%s' as failed to download", file->component->m_name.c_str());
        }
        manager.ignoreFailedDownload(session);
        return 1;
    }
    if (answer == "retry") {
        if (retries >= download_retry_limit) {
            error("lumo_download_rpms: download still fails after %d retries", retries);
            // Nobody is there to answer again in a silent run.
            if (has_property(session, "silent")) {
                env_set_string(session, "LUMO_EXIT_CODE", "2");
                manager.clearQueue();
                return -1;
            }
            return 0;
        }
        // A server that has just failed is given a moment before the answer is applied again.
        if (retries > 0) sleep(1);
        ++retries;
        for_each_component(session, [](Component* component) { component->m_downloadFailed = 0; });
        manager.retryDownload(session);
        return 1;
    }
    error("lumo_download_rpms: unknown user input result '%s'", answer.c_str());
    return -1;
}

}  // namespace

int lumo_download_rpms(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_download_rpms: started");
    DownloadManager* manager = DownloadManager::getInstance();
    if (!manager) {
        error("lumo_download_rpms: failed to get DownloaderManager object");
        return -1;
    }
    const bool gui = property(session, "gui") == "1";
    manager->setVerbose(!gui && (!has_property(session, "silent") || has_property(session, "VERBOSE_INSTALL")));
    if (!manager->initialized()) {
        if (!gui)
            print_string("Error: downloading needs the libcurl library, which is not installed (Debian package "
                         "libcurl4).\n");
        error("lumo_download_rpms: libcurl is not available, nothing can be downloaded");
        env_set_string(session, "LUMO_DOWNLOAD_FAILED", "yes");
        env_set_string(session, "LUMO_EXIT_CODE", "2");
        return -1;
    }
    // A batch stopped by a failure goes on from there once an answer has been given; anything
    // else starts a fresh batch.
    if (!(manager->hasPendingFailure() && property(session, "LUMO_DOWNLOAD_FAILED") == "yes")) {
        manager->clearQueue();
        if (!queue_payload(session, *manager)) {
            env_set_string(session, "LUMO_EXIT_CODE", "2");
            error("lumo_download_rpms: some files cannot be downloaded");
            return -1;
        }
        manager->execute(session, 0);
    }
    int retries = 0;
    // Each round either ends the action or moves the batch on (ignore skips a file; retry is
    // limited), so the loop ends.
    while (property(session, "LUMO_DOWNLOAD_FAILED") == "yes" && manager->hasPendingFailure()) {
        const int next = apply_answer(session, *manager, retries);
        if (next < 0) return -1;
        if (next == 0) break;
    }
    print_log("lumo_download_rpms: finished");
    return 0;
}

int64_t get_component_rpm_size(session_t* session, const std::string& name) {
    if (name.empty()) {
        error("get_component_rpm_size: rpm_name is empty");
        return 0;
    }
    const ProductXML* description = product_description(session);
    const product_file_t* file = description ? description->getFileToDownloadByFilename(name) : nullptr;
    if (!file) {
        error("get_component_rpm_size: cannot find RPM file description for file %s", name.c_str());
        return 0;
    }
    DownloadManager::FileToDownload entry = file_from_product(*file);
    entry.m_dirname = property(session, "PACKAGE_DIR");
    const int64_t size = entry.verifyChecksum() || file->size < 0 ? 0 : file->size;
    print_log("get_component_rpm_size: size is %lld for '%s'", static_cast<long long>(size), name.c_str());
    return size;
}

int initialize_3rdparty_components_structures(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    session->tsd->context().third_party_count = third_party_count;
    session->tsd->context().third_party_size = third_party_size;
    DownloadManager* manager = DownloadManager::getInstance();
    std::string temp = property(session, "TEMP_FOLDER");
    if (temp.empty()) temp = "/tmp";
    auto& configs = third_party_configs();
    std::vector<std::string> seen;
    int status = 0;
    for_each_component(session, [&](Component* component) {
        const std::string& url = component->getProxyURL();
        if (url.empty()) return;
        bool known = false;
        for (const std::string& done : seen) known = known || done == url;
        if (known) {
            print_log("initialize_3rdparty_components_structures: proxy file '%s' has already been downloaded",
                      url.c_str());
        } else {
            seen.push_back(url);
            print_log("initialize_3rdparty_components_structures: started downloading of proxy file '%s'", url.c_str());
            configs[url].reset();
            manager->clearQueue();
            const std::string local = temp + "/proxy.xml";
            if (!manager->enqueueFile(url, temp, "", "proxy.xml", "", -1) || manager->execute(session, 0) != 0) {
                error("initialize_3rdparty_components_structures: failed to download proxy file '%s'", url.c_str());
            } else {
                auto config = std::make_unique<ThirdPartyConfig>();
                const size_t slash = url.rfind('/');
                if (config->parseConfigFile(local, slash == std::string::npos ? "" : url.substr(0, slash)))
                    configs[url] = std::move(config);
            }
            // The next description arrives under the same name.
            remove_file(local, 1);
        }
        const ThirdPartyConfig* config = configs[url].get();
        const ThirdPartyComponentDescription* found =
            config ? config->getThirdPartyComponentDescription(component->m_abbr) : nullptr;
        if (!found) {
            status = -1;
            return;
        }
        // The configurations are kept unchanged to the end of the run; the component only reads it.
        component->setThirdPartyComponentDescription(const_cast<ThirdPartyComponentDescription*>(found));
        const std::string key = "THIRD_PARTY_URL_" + strtoletters(component->m_abbr);
        const auto& files = found->getFilesToDownload();
        for (size_t i = 0; i < files.size(); ++i)
            env_set_string(session, key + "_filename_" + std::to_string(i), files[i].m_filename);
        env_set_string(session, key + "_version", found->getProperty(THIRD_PARTY_CONFIG_ELEMENT_VERSION));
    });
    // The queue held descriptions only; a failure among them is not the payload's.
    manager->clearQueue();
    env_set_string(session, "LUMO_DOWNLOAD_FAILED", "no");
    return status;
}

int lumo_prepare_download_list(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_prepare_download_list: started");
    const std::string package_dir = property(session, "PACKAGE_DIR");
    const std::string current_dir = property(session, "CURRENT_DIR");
    const std::string list = property(session, "download_list");
    const std::string download_dir = download_folder(session);
    const ProductXML* description = product_description(session);
    if (list.empty() || !description) {
        error("lumo_prepare_download_list: %s", list.empty() ? "download_list is empty" : "product.xml is not loaded");
        return -1;
    }
    DownloadManager* manager = DownloadManager::getInstance();
    manager->clearQueue();
    std::string text = "<process>";
    for_each_component(session, [&](Component* component) {
        if (!component->m_selected || component->isSkipped()) return;
        const product_file_t* file = description->getFileToDownloadByFilename(component->m_nonrpmProductCode);
        if (!file) return;
        manager->enqueueFileToDownload(file_from_product(*file), download_dir, component);
        print_log("lumo_prepare_download_list: processing file %s/%s", file->path.c_str(), file->name.c_str());
        text += "\n\t<download>\n\t\t<size>" + std::to_string(static_cast<long long>(file->size)) + "</size>\n\t\t<md5>" +
                xml_text(file->cksum) + "</md5>\n\t\t<crc32></crc32>\n\t\t<url>" + xml_text(file->url) +
                "</url>\n\t\t<target>" + xml_text(join_path(download_dir, file->path, file->name)) + "</target>";
        if (!file->sha256.empty()) text += "\n\t\t<sha256>" + xml_text(file->sha256) + "</sha256>";
        text += "\n\t</download>";
    });
    const std::string given = current_dir.empty() ? package_dir : current_dir;
    const std::string resolved = path_resolve(given);
    const std::string folder = resolved.empty() ? given : resolved;
    text += "\n\t<execute>\n\t\t<module>" + xml_text(folder) +
            "/install.sh</module>\n\t\t<arguments></arguments>\n\t</execute>\n</process>\n";
    // Written whole or not at all: a tool that reads the list never sees half of it.
    temp_file out(list, 0644);
    if (!out || !fd_write_all(out.fd(), text) || !out.commit()) {
        error("lumo_prepare_download_list: can't open file for writing");
        return -1;
    }
    print_log("lumo_prepare_download_list: writing file %s\n\n%s", list.c_str(), text.c_str());
    print_log("lumo_prepare_download_list: finished");
    return 0;
}

int lumo_download_list_resolve(session_t* session) {
    if (!has_property(session, "download_list")) return 0;
    const std::string list = property(session, "download_list");
    if (list.empty()) {
        printf("Error: Please provide the name of the download list file.\n");
        return -1;
    }
    env_set_string(session, "download_list", absolute_from_pwd(session, list));
    if (property(session, "download_dir").empty())
        env_set_string(session, "download_dir", get_dirname(absolute_from_pwd(session, list)));
    else
        env_set_string(session, "download_dir", absolute_from_pwd(session, property(session, "download_dir")));
    return 0;
}

int lumo_download_actions_register(session_t* session) {
    return actions_register_table(session, {
        {"lumo_download_rpms", lumo_download_rpms},
        {"lumo_prepare_download_list", lumo_prepare_download_list},
    });
}
