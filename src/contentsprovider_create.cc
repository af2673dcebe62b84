// The one place that knows every back-end: the providers derive from ContentsProvider, so the
// factory that picks one by payload type sits above them all.
#include <memory>

#include "contentsprovider.h"
#include "contentsproviderrpm.h"
#include "contentsprovidertgz.h"
#include "log.h"

ContentsProvider* ContentsProvider::create(session_t* session, const std::string& type) {
    // Process-wide: one provider per payload type for the whole run.
    static std::unique_ptr<ContentsProvider> msi, rpm, pkg, tgz;
    std::unique_ptr<ContentsProvider>* slot = nullptr;
    if (type == "msi") slot = &msi;
    else if (type == "rpm") slot = &rpm;
    else if (type == "pkg") slot = &pkg;
    else if (type == "tgz") slot = &tgz;
    if (!slot) return nullptr;
    if (!*slot) {
        if (type == "msi") {
            slot->reset(new ContentsProviderMsi);
            print_log("ContentsProvider::create: created MSI provider");
        } else if (type == "rpm") {
            slot->reset(new ContentsProviderRpm);
            print_log("ContentsProvider::create: created RPM provider");
        } else if (type == "pkg") {
            slot->reset(new ContentsProviderPkg);
            print_log("ContentsProvider::create: created PKG provider");
        } else {
            slot->reset(new ContentsProviderTgz);
            print_log("ContentsProvider::create: created TGZ provider");
        }
    }
    (*slot)->m_session = session;
    return slot->get();
}
