#include "tsd.h"

#include "env.h"
#include "utils.h"

void TSD::addProduct(std::unique_ptr<Component> product) {
    if (!product) return;
    m_products.push_back(product.get());
    m_owned.push_back(std::move(product));
}

namespace {

// The component whose media id has this letter form; null when none has.
Component* find_media_component(session_t* session, const std::string& id) {
    if (!session->tsd) return nullptr;
    for (Component* product : session->tsd->products()) {
        for (Component* component : product->subcomponents()) {
            if (strtoletters(component->mediaId()) == id) return component;
        }
    }
    return nullptr;
}

std::vector<std::string> media_ids(session_t* session) {
    std::vector<std::string> ids;
    if (!session->tsd) return ids;
    for (Component* product : session->tsd->products()) {
        for (Component* component : product->subcomponents()) ids.push_back(strtoletters(component->mediaId()));
    }
    return ids;
}

std::string media_get(session_t* session, const std::string& id, const std::string& suffix) {
    const Component* component = find_media_component(session, id);
    if (!component) return "";
    if (suffix == "selected") return component->getSelected() ? "1" : "0";
    if (suffix == "installed") return component->getInstalled() ? "1" : "0";
    if (suffix == "skipped") return component->isSkipped() ? "1" : "0";
    return "";
}

int media_select(session_t* session, const std::string& id, bool selected) {
    Component* component = find_media_component(session, id);
    if (!component) return -1;
    if (component->getSelected() != selected) component->setSelected(selected);
    return 0;
}

}  // namespace

const media_hooks_t tsd_media_hooks = {media_ids, media_get, media_select};
