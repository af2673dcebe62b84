// Payload downloads for online packages and third party components. This engine has no download
// manager yet: a package whose selection needs a download fails here, visibly, before anything is
// installed; a package that needs none passes through.
#include "lumo_driver.h"

#include <string>

#include "component.h"
#include "console.h"
#include "env.h"
#include "log.h"
#include "tsd.h"

namespace {

// The first component taking part in this run whose payload has to be downloaded; null when none.
const Component* first_download(session_t* session) {
    if (!session->tsd) return nullptr;
    const bool online = is_online_installer_mode(session);
    for (const Component* product : session->tsd->products())
        for (const Component* component : product->subcomponents())
            if (component->installCondition() && (online || component->isThirdPartyComponent())) return component;
    return nullptr;
}

}  // namespace

int lumo_download_rpms(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_download_rpms: started");
    if (const Component* component = first_download(session)) {
        error("lumo_download_rpms: component '%s' needs a download, and this engine can not download",
              component->m_name.c_str());
        print_string("Component %s must be downloaded, but this installer can not download.\n",
                     component->m_name.c_str());
        env_set_string(session, "LUMO_EXIT_CODE", "2");
        return -1;
    }
    print_log("lumo_download_rpms: finished");
    return 0;
}

int lumo_prepare_download_list(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_prepare_download_list: started");
    if (const Component* component = first_download(session)) {
        error("lumo_prepare_download_list: component '%s' needs a download, and this engine can not download",
              component->m_name.c_str());
        print_string("Component %s must be downloaded, but this installer can not download.\n",
                     component->m_name.c_str());
        return -1;
    }
    print_log("lumo_prepare_download_list: finished");
    return 0;
}
