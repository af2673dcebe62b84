// Reads arbitrary bytes as an online product description and as a third party description, and
// queues what they accept: nothing may crash, hang or leak, and no accepted file may be placed
// outside its download folder.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download.h"
#include "productxml.h"
#include "thirdparty.h"

namespace {

const std::string& work_dir() {
    static const std::string dir = [] {
        char name[] = "/tmp/productxml_fuzz.XXXXXX";
        const char* made = mkdtemp(name);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

void check_inside(const DownloadManager::FileToDownload& file) {
    if (!download_path_is_safe(file.m_subdirname, true) || file.m_filename.find('/') != std::string::npos ||
        file.m_filename == "..")
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string file = work_dir() + "/product.xml";
    FILE* out = fopen(file.c_str(), "wb");
    if (!out) return 0;
    fwrite(data, 1, size, out);
    fclose(out);
    static DownloadManager manager(std::vector<std::string>{});
    manager.clearQueue();
    ProductXML product;
    if (product.parseProductXML(file, "http://127.0.0.1/base")) {
        for (const product_file_t& entry : product.files()) {
            DownloadManager::FileToDownload queued;
            queued.m_filename = entry.name;
            queued.m_subdirname = entry.path;
            queued.m_url = entry.url;
            if (manager.enqueueFileToDownload(queued, work_dir(), nullptr)) check_inside(queued);
            product.getFileToDownloadByFilename(entry.name);
        }
    }
    ThirdPartyConfig config;
    if (config.parseConfigText(text, "fuzz", "http://127.0.0.1/base")) {
        config.dumpToLog();
        for (const char* abbr : {"a", "", "tool"}) {
            const ThirdPartyComponentDescription* description = config.getThirdPartyComponentDescription(abbr);
            if (!description) continue;
            description->getFilesToDownloadSize();
            manager.enqueueFilesForThirdPartyComponent(description, work_dir(), nullptr);
        }
    }
    for (const DownloadManager::FileToDownload& queued : manager.queue()) check_inside(queued);
    return 0;
}
