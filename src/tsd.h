// The product set: the ordered products (each with its components) that one run installs,
// modifies, repairs or uninstalls, and the rules that act across products: dependencies and their
// propagation, the initial selection per mode, invisible helpers, 32/64-bit pairs, and totals.
// The session owns exactly one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "component.h"
#include "productxml.h"

struct media_hooks_t;
struct session_t;

// The computed LUMO_MEDIA* properties over the session's product set.
extern const media_hooks_t tsd_media_hooks;

using dependency_groups_t = std::vector<std::vector<Component*>>;

class TSD {
public:
    TSD() = default;
    explicit TSD(session_t* session) : m_session(session) {}
    TSD(const TSD&) = delete;
    TSD& operator=(const TSD&) = delete;

    const std::vector<Component*>& products() const { return m_products; }
    // Takes ownership; products live to the end of the run. The product and its components get
    // this set's session and context when they have none. Null is logged and ignored.
    void addProduct(std::unique_ptr<Component> product);
    void setSession(session_t* session) { m_session = session; }
    // Shared by every component of the set: back-end calls, the online description, providers.
    component_context_t& context() { return m_context; }
    // The online product description; read by the configuration in online mode.
    ProductXML& productXML() { return m_productXML; }

    // "p.c|p.c;p.c": groups of alternatives; unresolvable tokens are logged and dropped.
    dependency_groups_t parseDependencyString(const std::string& text);
    // Resolves every component's depend string and indexes who depends on whom.
    void resolveDependencies();
    Component* getProductByDepId(int id);
    Component* getProductByDynId(int id);

    int reindexProductsList();
    int selectChosenProducts();
    int selectAllAvailableProducts();
    int setAllProductsToInstallUninstall();
    int selectUnselectProductsIfNecessary();
    // -1 for a null product.
    int setProductToInstallUninstall(Component* product, bool select);
    // Changes one component and carries the change through the dependencies, each component at
    // most once per direction, so cycles end. -1 for a null component, else 0.
    int selectUnselectComponent(Component* component, int select, bool quiet);
    int unselectInvisibleNonMandatoryComponentsIfNecessary();
    bool isComponentRequiredForAnotherComponent(int component_dep_id, int product_dep_id);
    int fixDependencies();
    int initArchitectureConfiguration();
    int architectureConfiguration();

    int64_t getTotalInstallSize();
    int64_t getTotalDownloadSize();
    // Appends "value;" per install folder to sizes, directories and names (prefix + "_", "__", ...).
    void prepareInstallSizeRequest(std::string& sizes, std::string& directories, std::string& names,
                                   const std::string& prefix);
    std::string getLumoCoreSubdir();
    // The dynamic id of id in "id,dyn;id,dyn"; -1 when absent or malformed.
    int getDynIdById(const char* map, const char* id);
    bool isFullUninstall();
    bool isComponentListEmpty();

private:
    // Steps one component into the new state (the refusals logged); true when it changed.
    bool enterSelection(Component* component, int select);
    // Whether the dependent lost every alternative of a group that names the component.
    bool lostDependency(const Component* dependent, const Component* component) const;
    void noteDependencyChange(const Component* component, bool quiet, std::string& notes);
    bool componentStays(const Component* component, int mode) const;
    // A component on the way of a change through the dependencies: the group and member next.
    struct selection_frame_t {
        Component* node;
        bool select;
        size_t group;
        size_t member;
        bool checked;
    };
    // One step of an unselection (dependents) or a selection (dependencies) carried from the
    // frame on top; a component it reaches is pushed, a frame with nothing left is popped.
    void unselectStep(std::vector<selection_frame_t>& stack, bool quiet, std::string& notes);
    void selectStep(std::vector<selection_frame_t>& stack, int mode, bool quiet, std::string& notes);

    session_t* m_session = nullptr;
    // Set while resolveDependencies runs: products by dependency id.
    const std::unordered_map<int, Component*>* m_productIndex = nullptr;
    std::vector<Component*> m_products;
    std::vector<std::unique_ptr<Component>> m_owned;
    component_context_t m_context;
    ProductXML m_productXML;
};
