// The product set: the ordered products (each with its components) that one run installs,
// modifies, repairs or uninstalls. The session owns exactly one.
#pragma once

#include <memory>
#include <vector>

#include "component.h"

struct media_hooks_t;
struct session_t;

// The computed LUMO_MEDIA* properties over the session's product set.
extern const media_hooks_t tsd_media_hooks;

class TSD {
public:
    TSD() = default;
    explicit TSD(session_t* session) : m_session(session) {}
    TSD(const TSD&) = delete;
    TSD& operator=(const TSD&) = delete;

    const std::vector<Component*>& products() const { return m_products; }
    // Takes ownership; products live to the end of the run.
    void addProduct(std::unique_ptr<Component> product);
    void setSession(session_t* session) { m_session = session; }

private:
    session_t* m_session = nullptr;
    std::vector<Component*> m_products;
    std::vector<std::unique_ptr<Component>> m_owned;
};
