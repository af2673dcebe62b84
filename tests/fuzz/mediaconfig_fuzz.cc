// Reads arbitrary bytes as a media description and, when it is accepted, runs the product set's
// rules over it: dependency resolution, re-indexing, every component selected and unselected with
// propagation, dependency repair and the size walks. Nothing may crash, hang or leak.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "env.h"
#include "lumo.h"
#include "tsd.h"

namespace {

const std::string& work_dir() {
    static const std::string dir = [] {
        char name[] = "/tmp/mediaconfig_fuzz.XXXXXX";
        const char* made = mkdtemp(name);
        return std::string(made ? made : "/tmp");
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string file = work_dir() + "/mediaconfig.xml";
    FILE* out = fopen(file.c_str(), "wb");
    if (!out) return 0;
    fwrite(data, 1, size, out);
    fclose(out);
    session_t session;
    env_set_string(&session, "CONFIG_DIR", work_dir());
    env_set_string(&session, "download_only", "1");  // every platform is accepted
    if (lumo_init_products_list(&session) != 0) return 0;
    TSD& tsd = *session.tsd;
    tsd.resolveDependencies();
    tsd.reindexProductsList();
    for (Component* product : tsd.products()) {
        for (Component* component : product->subcomponents()) {
            tsd.selectUnselectComponent(component, 1, false);
            component->getSizeWithDependencies();
            tsd.selectUnselectComponent(component, 0, false);
        }
    }
    tsd.fixDependencies();
    tsd.unselectInvisibleNonMandatoryComponentsIfNecessary();
    tsd.getTotalInstallSize();
    lumo_fill_abbr_var(&session);
    return 0;
}
