#include "tsd.h"

#include <cstdlib>
#include <map>
#include <unordered_map>

#include "env.h"
#include "env_expand.h"
#include "log.h"
#include "utils.h"

namespace {

std::string property(session_t* session, const char* name) {
    return session ? env_get_string(session, std::string(name)) : std::string();
}

bool has_property(session_t* session, const char* name) { return session && env_exists(session, std::string(name)); }

void set_property(session_t* session, const char* name, const std::string& value) {
    if (session) env_set_string(session, name, value);
}

// A decimal number of a dependency token; false for anything else.
bool parse_id(const std::string& text, int& value) {
    const std::string trimmed = trimSpaces(text);
    if (trimmed.empty()) return false;
    char* end = nullptr;
    const long parsed = strtol(trimmed.c_str(), &end, 10);
    if (!end || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

// Whether some member of the group is selected and not skipped.
bool group_satisfied(const std::vector<Component*>& group) {
    for (const Component* member : group) {
        if (member->getSelected() && !member->isSkipped()) return true;
    }
    return false;
}

bool same_component(const Component* a, const Component* b) {
    if (a == b) return true;
    if (a->m_depId != b->m_depId) return false;
    const int pa = a->m_parent ? a->m_parent->m_depId : 0;
    const int pb = b->m_parent ? b->m_parent->m_depId : 0;
    return pa == pb;
}

}  // namespace

void TSD::addProduct(std::unique_ptr<Component> product) {
    if (!product) {
        error("addProduct: product is NULL");
        return;
    }
    if (!product->m_session) product->m_session = m_session;
    if (!product->m_context) product->m_context = &m_context;
    for (Component* child : product->subcomponents()) {
        if (!child->m_session) child->m_session = m_session;
        if (!child->m_context) child->m_context = &m_context;
    }
    m_products.push_back(product.get());
    m_owned.push_back(std::move(product));
}

dependency_groups_t TSD::parseDependencyString(const std::string& text) {
    print_log("parseDependencyString: started with string '%s'", text.c_str());
    dependency_groups_t groups;
    for (const std::string& group_text : splitString(text, ";", false)) {
        if (group_text.empty()) continue;
        std::vector<Component*> group;
        for (const std::string& token : splitString(group_text, "|", false)) {
            if (token.empty()) continue;
            const std::vector<std::string> parts = splitString(token, ".", true);
            int product_id = 0;
            int component_id = 0;
            if (parts.size() != 2 || !parse_id(parts[0], product_id) || !parse_id(parts[1], component_id)) {
                error("parseDependencyString: incorrect dependency token '%s' from dependency string '%s'",
                      token.c_str(), text.c_str());
                continue;
            }
            Component* product = nullptr;
            if (m_productIndex) {
                auto found = m_productIndex->find(product_id);
                if (found != m_productIndex->end()) product = found->second;
                else print_log("getProductByDepId: product with id %d doesn't exist", product_id);
            } else {
                product = getProductByDepId(product_id);
            }
            if (!product) {
                print_log("parseDependencyString: can not find product with id %d.", product_id);
                continue;
            }
            Component* component = product->getSubcomponentByDepId(component_id);
            if (!component) {
                print_log("parseDependencyString: can not find component with id %d for product with id %d.",
                          component_id, product_id);
                continue;
            }
            group.push_back(component);
        }
        groups.push_back(group);
    }
    return groups;
}

void TSD::resolveDependencies() {
    for (Component* product : m_products) {
        product->m_dependents.clear();
        for (Component* component : product->subcomponents()) component->m_dependents.clear();
    }
    // The first product of each id, as getProductByDepId finds it, without a walk per token.
    std::unordered_map<int, Component*> index;
    for (Component* product : m_products) index.emplace(product->m_depId, product);
    m_productIndex = &index;
    for (Component* product : m_products) {
        for (Component* component : product->subcomponents()) {
            component->m_dependencies = parseDependencyString(component->m_depend);
        }
    }
    m_productIndex = nullptr;
    // In product-set order, so that an unselection visits dependents in the order of the set.
    for (Component* product : m_products) {
        for (Component* component : product->subcomponents()) {
            for (const auto& group : component->m_dependencies) {
                for (Component* member : group) {
                    auto& dependents = member->m_dependents;
                    if (dependents.empty() || dependents.back() != component) dependents.push_back(component);
                }
            }
        }
    }
}

Component* TSD::getProductByDepId(int id) {
    for (Component* product : m_products) {
        if (product->m_depId == id) return product;
    }
    print_log("getProductByDepId: product with id %d doesn't exist", id);
    return nullptr;
}

Component* TSD::getProductByDynId(int id) {
    for (Component* product : m_products) {
        if (product->m_dynId == id) return product;
    }
    print_log("getProductByDynId: product with id %d doesn't exist", id);
    return nullptr;
}

namespace {

// What the selection pass over the list found, for the flags set after it.
struct reindex_scan_t {
    bool all_mandatory = true;
    bool all_installed = true;
};

void reset_dynamic_ids(const std::vector<Component*>& products) {
    for (Component* product : products) {
        product->m_dynId = product->m_id;
        for (Component* component : product->subcomponents()) component->m_dynId = component->m_id;
    }
}

// A skipped product's dynamic id turns negative and the later products close the gap; true when skipped.
bool reindex_product(Component* product, int& shift, int& last_skipped) {
    const bool skipped = product->isSkipped();
    if (skipped) {
        product->m_dynId = -product->m_dynId;
        last_skipped = product->m_id;
        product->m_selected = false;
        --shift;
    } else if (last_skipped != 0 && last_skipped < product->m_id) {
        product->m_dynId += shift;
    }
    return skipped;
}

// The COMPONENTS property as the selection pass reads it.
struct component_list_t {
    std::string components;
    std::string list;
    bool all = false;
    bool defaults = false;
};

// The selection a component starts from: its default, then the COMPONENTS list when installing.
// true when the component is skipped.
bool reselect_component(Component* component, int mode, const component_list_t& chosen) {
    if (component->isSkipped()) {
        component->m_dynId = -component->m_dynId;
        component->setSelected(false);
        return true;
    }
    if (mode != lumo_mode_uninstall && mode != lumo_mode_repair) component->setSelected(component->m_defaultSelected);
    if (mode != lumo_mode_install) return false;
    if (chosen.all || chosen.list.find(";" + component->m_abbr + ";") != std::string::npos)
        component->setSelected(true);
    else if (!chosen.defaults && !chosen.components.empty())
        component->setSelected(false);
    return false;
}

reindex_scan_t reindex_and_reselect(session_t* session, const std::vector<Component*>& products, int mode) {
    component_list_t chosen;
    chosen.components = property(session, "COMPONENTS");
    chosen.list = ";" + chosen.components + ";";
    chosen.all = chosen.list.find(";ALL;") != std::string::npos;
    chosen.defaults = chosen.list.find(";DEFAULTS;") != std::string::npos;
    int shift = 0;
    int last_skipped = 0;
    reindex_scan_t scan;
    for (Component* product : products) {
        const bool product_skipped = reindex_product(product, shift, last_skipped);
        if (!product_skipped && !product->m_mandatory) scan.all_mandatory = false;
        for (Component* component : product->subcomponents()) {
            const bool skipped = reselect_component(component, mode, chosen);
            if (!skipped && !component->m_mandatory) scan.all_mandatory = false;
            if (!skipped && !component->m_invisible && !component->getInstalled()) scan.all_installed = false;
        }
    }
    return scan;
}

// Installed components stay selected (and, when modifying, the others unselected); true when any is.
bool select_installed_components(const std::vector<Component*>& products, int mode) {
    bool found_installed = false;
    if (mode != lumo_mode_install && mode != lumo_mode_modify) return false;
    for (Component* product : products) {
        bool product_has_installed = false;
        for (Component* component : product->subcomponents()) {
            if (component->getInstalled()) {
                print_log("reindexProductsList: component %s is installed thus selected", component->m_name.c_str());
                component->setSelected(true);
                found_installed = product_has_installed = true;
            } else if (mode == lumo_mode_modify) {
                print_log("reindexProductsList: component %s is not installed thus unselected",
                          component->m_name.c_str());
                component->setSelected(false);
            }
        }
        if (product_has_installed)
            print_log("reindexProductsList: product %s: some components are installed thus product is selected",
                      product->m_name.c_str());
    }
    return found_installed;
}

// The products not skipped; single is the first of them.
int count_visible_products(const std::vector<Component*>& products, Component*& single) {
    int visible_products = 0;
    single = nullptr;
    for (Component* product : products) {
        if (product->isSkipped()) continue;
        ++visible_products;
        if (!single) single = product;
    }
    return visible_products;
}

}  // namespace

int TSD::reindexProductsList() {
    print_log("reindexProductsList: start");
    const SkipCache cache;
    const int mode = get_lumo_mode(m_session);
    reset_dynamic_ids(m_products);
    const reindex_scan_t scan = reindex_and_reselect(m_session, m_products, mode);
    const bool found_installed = select_installed_components(m_products, mode);
    Component* single = nullptr;
    const int visible_products = count_visible_products(m_products, single);
    print_log("reindexProductsList: products to install/uninstall %d", visible_products);
    int single_components = 0;
    if (visible_products == 1) {
        // The one product left is taken as it is: its dynamic id is 1 only when the ids start at 1.
        single_components = single->countNotSkippedComponents();
        print_log("reindexProductsList: one product to install/uninstall, number of components %d", single_components);
        if (single_components > 0) {
            print_log("reindexProductsList: one product to install/uninstall with components");
            set_property(m_session, "P_INDEX", "1");
            set_property(m_session, "C_INDEX", "-1");
        }
    } else {
        print_log("reindexProductsList: suit install");
        set_property(m_session, "P_INDEX", "-1");
        set_property(m_session, "C_INDEX", "-1");
    }
    if (m_session) env_remove(m_session, "LUMO_PACKAGE_ALREADY_INSTALLED");
    if (scan.all_installed) {
        set_property(m_session, "LUMO_PACKAGE_ALREADY_INSTALLED", "yes");
        if (!found_installed) set_property(m_session, "LUMO_NOTHING_TO_INSTALL", "yes");
    }
    if (visible_products == 1 && single_components <= 1) {
        print_log("reindexProductsList: we have 1 solid product or 1 product with 1 component");
        setAllProductsToInstallUninstall();
        set_property(m_session, "TSD_TODO", "finish");
        set_property(m_session, "TSD_HIDE", "yes");
    }
    if (mode == lumo_mode_install && scan.all_mandatory) {
        print_log("reindexProductsList: all products/components are mandatories");
        print_log("reindexProductsList: set TSD_HIDE=yes");
        set_property(m_session, "TSD_HIDE", "yes");
    }
    if (mode != lumo_mode_uninstall && m_context.calculate_disk_space) m_context.calculate_disk_space(m_session);
    print_log("reindexProductsList: finish");
    return 0;
}

int TSD::selectChosenProducts() {
    print_log("selectChosenProducts: started");
    const SkipCache cache;
    const int mode = get_lumo_mode(m_session);
    const bool listed = has_property(m_session, "COMPONENTS");
    for (Component* product : m_products) {
        if (!product->isSkipped()) product->m_selected = true;
        for (Component* component : product->subcomponents()) {
            if (component->isSkipped()) {
                component->setSelected(false);
            } else if (listed) {
                if (mode == lumo_mode_uninstall || mode == lumo_mode_repair) {
                    component->setSelected(true);
                } else {
                    component->m_selected = false;
                    selectUnselectComponent(component, 1, false);
                }
            }
        }
    }
    print_log("selectChosenProducts: finished");
    return 0;
}

int TSD::selectAllAvailableProducts() {
    print_log("selectAllAvailableProducts: started");
    const SkipCache cache;
    const bool install = get_lumo_mode(m_session) == lumo_mode_install;
    for (Component* product : m_products) {
        for (Component* component : product->subcomponents()) {
            if (component->isSkipped() || component->getInstalled()) {
                component->setSelected(!install);
            } else if (!install) {
                component->setSelected(false);
            } else if (component->m_selected) {
                product->m_selected = true;
            }
            print_log("selectAllAvailableProducts: component %s is %s", component->m_abbr.c_str(),
                      component->getSelected() ? "selected" : "not selected");
        }
        print_log("selectAllAvailableProducts: product %s is %s", product->m_abbr.c_str(),
                  product->getSelected() ? "selected" : "not selected");
    }
    print_log("selectAllAvailableProducts: finished");
    return 0;
}

int TSD::setAllProductsToInstallUninstall() {
    print_log("setAllProductsToInstallUninstall: started");
    const SkipCache cache;
    const bool install = get_lumo_mode(m_session) == lumo_mode_install;
    for (Component* product : m_products) {
        for (Component* component : product->subcomponents()) {
            if (component->isSkipped()) continue;
            component->setSelected(component->getInstalled() ? !install : install);
        }
        print_log("setAllProductsToInstallUninstall: product %s is %s", product->m_name.c_str(),
                  product->getSelected() ? "selected" : "not selected");
    }
    print_log("setAllProductsToInstallUninstall: finished");
    return 0;
}

int TSD::selectUnselectProductsIfNecessary() {
    print_log("selectUnselectProductsIfNecessary: started");
    for (Component* product : m_products) {
        product->m_selected = false;
        for (const Component* component : product->subcomponents()) {
            if (!component->m_invisible && component->getSelected()) {
                product->m_selected = true;
                break;
            }
        }
    }
    print_log("selectUnselectProductsIfNecessary: finished");
    return 0;
}

int TSD::setProductToInstallUninstall(Component* product, bool select) {
    if (!product) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("setProductToInstallUninstall: product '%s', select is %d", product->m_name.c_str(), select ? 1 : 0);
    const SkipCache cache;
    const bool install = get_lumo_mode(m_session) == lumo_mode_install;
    if (!product->m_invisible) product->m_selected = select;
    for (Component* component : product->subcomponents()) {
        if (install && component->getInstalled()) {
            print_log("setProductToInstallUninstall: skip component '%s' which is installed, because we are in install "
                      "mode",
                      component->m_name.c_str());
        } else if (component->m_mandatory) {
            component->setSelected(select);
        } else if (!component->m_invisible) {
            selectUnselectComponent(component, select ? 1 : 0, true);
        }
    }
    unselectInvisibleNonMandatoryComponentsIfNecessary();
    fixDependencies();
    selectUnselectProductsIfNecessary();
    return 0;
}

bool TSD::enterSelection(Component* component, int select) {
    const Component* product = component->m_parent;
    print_log("selectUnselectComponent: product %s, component: %s", product ? product->m_name.c_str() : "",
              component->m_name.c_str());
    if (component->isSkipped()) {
        print_log("selectUnselectComponent: component '%s' is skipped", component->m_name.c_str());
        return false;
    }
    if (component->getSelected() == (select != 0)) {
        print_log("selectUnselectComponent: component '%s' is already in state '%d'", component->m_name.c_str(),
                  select);
        return false;
    }
    if (component->m_mandatory && select == 0) {
        print_log("selectUnselectComponent: component '%s' is mandatory. Can not unselect it. This case should not "
                  "happen.",
                  component->m_name.c_str());
        return false;
    }
    print_log("selectUnselectComponent: change '%s' state from selected '%d' to '%d' ", component->m_name.c_str(),
              component->getSelected() ? 1 : 0, select);
    component->setSelected(select != 0);
    return true;
}

// Every alternative of the group is counted, not only those listed before the component: a
// dependent keeps its selection while any alternative is still selected.
bool TSD::lostDependency(const Component* dependent, const Component* component) const {
    for (const auto& group : dependent->m_dependencies) {
        bool names_component = false;
        for (const Component* member : group) names_component = names_component || same_component(member, component);
        if (names_component && !group_satisfied(group)) return true;
    }
    return false;
}

void TSD::noteDependencyChange(const Component* component, bool quiet, std::string& notes) {
    if (component->m_invisible || quiet || has_property(m_session, "silent") || property(m_session, "gui") == "1")
        return;
    notes += (component->m_archGroup.empty() ? component->m_name : component->m_archGroup) + "\n";
}

// The propagation keeps its own stack instead of recursing, so a dependency chain of any length
// cannot exhaust the call stack. A component changes state at most once per call (it is flipped
// before its own dependencies are looked at), which is what ends cycles.
int TSD::selectUnselectComponent(Component* component, int select, bool quiet) {
    if (!component) {
        LOG_NULL_PARAM();
        return -1;
    }
    const int mode = get_lumo_mode(m_session);
    if (mode == lumo_mode_repair || mode == lumo_mode_uninstall) {
        print_log("selectUnselectComponent: product %s, component: %s",
                  component->m_parent ? component->m_parent->m_name.c_str() : "", component->m_name.c_str());
        print_log("selectUnselectComponent: function is called in REPAIR or UNINSTALL mode. This should not happen. "
                  "Exiting...");
        return 0;
    }
    const SkipCache cache;
    std::vector<selection_frame_t> stack;
    // The names collected for the notice, added to DEP_INFO once: one property write per change of
    // a component, not one per component the change reaches.
    std::string notes;
    if (enterSelection(component, select)) stack.push_back({component, select != 0, 0, 0, false});
    while (!stack.empty()) {
        if (stack.back().select)
            selectStep(stack, mode, quiet, notes);
        else
            unselectStep(stack, quiet, notes);
    }
    if (!notes.empty() && m_session) env_cat_string(m_session, "DEP_INFO", notes);
    return 0;
}

void TSD::unselectStep(std::vector<selection_frame_t>& stack, bool quiet, std::string& notes) {
    selection_frame_t& top = stack.back();
    Component* node = top.node;
    if (top.group >= node->m_dependents.size()) {
        stack.pop_back();
        return;
    }
    Component* dependent = node->m_dependents[top.group++];
    if (!dependent->getSelected() || dependent->isSkipped() || !lostDependency(dependent, node)) return;
    noteDependencyChange(dependent, quiet, notes);
    print_log("selectUnselectComponent: failed dependence for %s to %s", node->m_name.c_str(),
              dependent->m_name.c_str());
    if (enterSelection(dependent, 0)) stack.push_back({dependent, false, 0, 0, false});
}

void TSD::selectStep(std::vector<selection_frame_t>& stack, int mode, bool quiet, std::string& notes) {
    selection_frame_t& top = stack.back();
    Component* node = top.node;
    if (top.group >= node->m_dependencies.size()) {
        stack.pop_back();
        // Selecting any component of a product pulls in the product's mandatory components.
        if (node->m_parent && (mode == lumo_mode_install || (mode == lumo_mode_modify && !node->getInstalled())))
            node->m_parent->selectUnselectProductMandatoryComponents(1);
        return;
    }
    const std::vector<Component*>& group = node->m_dependencies[top.group];
    if (!top.checked) {
        top.checked = true;
        if (group_satisfied(group)) {
            ++top.group;
            top.checked = false;
            return;
        }
    }
    if (top.member >= group.size()) {
        ++top.group;
        top.member = 0;
        top.checked = false;
        return;
    }
    Component* member = group[top.member++];
    if (member->isSkipped() || member->getSelected()) return;
    noteDependencyChange(member, quiet, notes);
    const Component* member_product = member->m_parent;
    print_log("selectUnselectComponent: failed dependence for '%s' to '%s' (%d) of product '%s' (%d)",
              node->m_name.c_str(), member->m_name.c_str(), member->m_dynId,
              member_product ? member_product->m_name.c_str() : "", member_product ? member_product->m_dynId : 0);
    if (enterSelection(member, 1)) stack.push_back({member, true, 0, 0, false});
}

bool TSD::componentStays(const Component* component, int mode) const {
    return mode == lumo_mode_uninstall ? !component->getSelected() && component->getInstalled()
                                       : component->getSelected();
}

bool TSD::isComponentRequiredForAnotherComponent(int component_dep_id, int product_dep_id) {
    print_log("isComponentRequiredForAnotherComponent: started for component c_dep_id=%d p_dep_id=%d",
              component_dep_id, product_dep_id);
    const int mode = get_lumo_mode(m_session);
    for (const Component* product : m_products) {
        for (const Component* other : product->subcomponents()) {
            if (!componentStays(other, mode)) continue;
            for (const auto& group : other->m_dependencies) {
                for (const Component* member : group) {
                    if (member->m_depId == component_dep_id && member->m_parent &&
                        member->m_parent->m_depId == product_dep_id) {
                        print_log("isComponentRequiredForAnotherComponent: component is required for %s",
                                  other->m_name.c_str());
                        return true;
                    }
                }
            }
        }
    }
    print_log("isComponentRequiredForAnotherComponent: component is not required");
    return false;
}

// A pass that changes nothing ends the procedure. Only a real change counts as one: a refused
// change (a mode where selection is fixed) would otherwise repeat the same pass for ever.
int TSD::unselectInvisibleNonMandatoryComponentsIfNecessary() {
    const int mode = get_lumo_mode(m_session);
    const bool both = property(m_session, "ARCH_32_SELECTED") == "1" && property(m_session, "ARCH_64_SELECTED") == "1";
    size_t components = 0;
    for (const Component* product : m_products) components += product->subcomponents().size();
    bool changed = true;
    for (size_t pass = 0; changed && pass <= components + 1; ++pass) {
        changed = false;
        print_log("unselectInvisibleNonMandatoryComponentsIfNecessary: started");
        const SkipCache cache;
        for (Component* product : m_products) {
            print_log("unselectInvisibleNonMandatoryComponentsIfNecessary: started for product %s",
                      product->m_name.c_str());
            for (Component* x : product->subcomponents()) {
                if (!x->m_archGroup.empty() || !x->m_invisible || x->m_mandatory || x->isSkipped() ||
                    !componentStays(x, mode))
                    continue;
                const int parent_dep = x->m_parent ? x->m_parent->m_depId : 0;
                if (isComponentRequiredForAnotherComponent(x->m_depId, parent_dep)) continue;
                print_log("unselectInvisibleNonMandatoryComponentsIfNecessary: %sselect invisible not used component %s",
                          mode == lumo_mode_uninstall ? "" : "un", x->m_name.c_str());
                const bool before = x->m_selected;
                if (mode == lumo_mode_uninstall) x->setSelected(true);
                else selectUnselectComponent(x, 0, false);
                changed = changed || x->m_selected != before;
            }
            for (Component* x : product->subcomponents()) {
                if (!x->m_invisible || x->m_archGroup.empty()) continue;
                if (!both) {
                    if (x->m_selected) {
                        x->setSelected(false);
                        changed = true;
                    }
                    continue;
                }
                for (const Component* v : product->subcomponents()) {
                    if (v == x || v->m_invisible || v->m_archGroup != x->m_archGroup) continue;
                    if (v->getSelected() == x->getSelected() || v->isSkipped() || x->isSkipped()) continue;
                    print_log("unselectInvisibleNonMandatoryComponentsIfNecessary: change %s selection to %d",
                              x->m_name.c_str(), v->getSelected() ? 1 : 0);
                    const bool before = x->m_selected;
                    selectUnselectComponent(x, v->getSelected() ? 1 : 0, false);
                    changed = changed || x->m_selected != before;
                }
            }
        }
        print_log("unselectInvisibleNonMandatoryComponentsIfNecessary: finished");
    }
    return 0;
}

int TSD::fixDependencies() {
    print_log("fixDependencies: started");
    const SkipCache cache;
    for (Component* product : m_products) {
        for (Component* component : product->subcomponents()) {
            if (!component->m_selected || component->isSkipped()) continue;
            component->m_selected = false;
            selectUnselectComponent(component, 1, false);
        }
    }
    print_log("fixDependencies: finished");
    return 0;
}

int TSD::initArchitectureConfiguration() {
    const std::string machine = get_arch();
    const int mode = get_lumo_mode(m_session);
    const std::string cafe = property(m_session, "SUITE_CAFE");
    bool groups = false;
    bool installed32 = false;
    bool installed64 = false;
    for (const Component* product : m_products) {
        for (const Component* component : product->subcomponents()) {
            if (component->m_archGroup.empty()) continue;
            groups = true;
            if (!component->getInstalled()) continue;
            installed32 = installed32 || component->m_platform.find("KX32") != std::string::npos;
            installed64 = installed64 || component->m_platform.find("VEXAN64") != std::string::npos;
        }
    }
    if (cafe.empty() && property(m_session, "ARCH_32_SELECTED").empty() &&
        property(m_session, "ARCH_64_SELECTED").empty()) {
        if (mode == lumo_mode_install) {
            set_property(m_session, "ARCH_32_SELECTED", "1");
            set_property(m_session, "ARCH_64_SELECTED", "1");
        } else {
            if (installed32) set_property(m_session, "ARCH_32_SELECTED", "1");
            if (installed64) set_property(m_session, "ARCH_64_SELECTED", "1");
            if (!installed32 && !installed64 && mode == lumo_mode_modify) {
                if (machine == "x86_64") set_property(m_session, "ARCH_64_SELECTED", "1");
                set_property(m_session, "ARCH_32_SELECTED", "1");
            }
        }
    }
    if (!cafe.empty()) {
        print_log("lumo_init_architecture_configuration: cafe package for %s architecture", cafe.c_str());
        const bool kx32 = cafe == "KX32";
        set_property(m_session, "ARCH_32_SELECTED", kx32 ? "1" : "0");
        set_property(m_session, "ARCH_64_SELECTED", kx32 ? "0" : "1");
    }
    if (m_session)
        set_property(m_session, "SYS_ARCH_STRING",
                     expand_operand(m_session, machine == "x86_64" ? "${arch_64_text}" : "${arch_32_text}"));
    if (!groups || mode == lumo_mode_uninstall || mode == lumo_mode_repair ||
        (machine != "x86_64" && !has_property(m_session, "download_only")))
        set_property(m_session, "ARCH_SELECTION_DISABLED", "1");
    if (mode == lumo_mode_install || mode == lumo_mode_modify) architectureConfiguration();
    return 0;
}

namespace {

// Shows the components of an architecture group again and hides those of the architecture not
// chosen that have a partner in their group; an unpaired one stays only for a chosen architecture.
void hide_other_architecture(const std::vector<Component*>& products, const std::string& hidden, bool new32,
                             bool new64) {
    const SkipCache cache;
    for (Component* product : products) {
        for (Component* x : product->subcomponents()) {
            if (x->m_archGroup.empty() || x->isSkipped()) continue;
            x->m_invisible = 0;
            if (x->m_platform != hidden) continue;
            bool paired = false;
            for (const Component* other : product->subcomponents()) {
                paired = paired || (other->m_archGroup == x->m_archGroup && other->m_id != x->m_id);
            }
            if (paired) {
                print_log("lumo_architecture_configuration: Hiding component for different architecture: %s",
                          x->m_name.c_str());
                x->m_invisible = 1;
            } else {
                const bool visible = (new32 && x->m_platform == "KX32") || (new64 && x->m_platform == "VEXAN64");
                x->m_invisible = visible ? 0 : 1;
                print_log("lumo_architecture_configuration: invisibility for unpaired component '%s' is %d.",
                          x->m_name.c_str(), x->m_invisible);
            }
        }
    }
}

}  // namespace

int TSD::architectureConfiguration() {
    const bool new32 = property(m_session, "ARCH_32_SELECTED") == "1";
    const bool new64 = property(m_session, "ARCH_64_SELECTED") == "1";
    if (!new32 && !new64) {
        print_log("lumo_architecture_configuration: both architectures are unselected do not update old selection "
                  "variables.");
        return 0;
    }
    if (property(m_session, "ARCH_32_SELECTED_OLD").empty())
        set_property(m_session, "ARCH_32_SELECTED_OLD", property(m_session, "ARCH_32_SELECTED"));
    if (property(m_session, "ARCH_64_SELECTED_OLD").empty())
        set_property(m_session, "ARCH_64_SELECTED_OLD", property(m_session, "ARCH_64_SELECTED"));
    const bool old32 = property(m_session, "ARCH_32_SELECTED_OLD") == "1";
    const bool old64 = property(m_session, "ARCH_64_SELECTED_OLD") == "1";
    const std::string hidden = new64 ? "KX32" : "VEXAN64";
    print_log("lumo_architecture_configuration: invisible architecture is %s", hidden.c_str());
    hide_other_architecture(m_products, hidden, new32, new64);
    for (Component* product : m_products) {
        for (Component* x : product->subcomponents()) {
            if (x->m_archGroup.empty() || x->m_invisible || x->isSkipped()) continue;
            for (Component* partner : product->subcomponents()) {
                if (partner == x || !partner->m_invisible || partner->m_archGroup != x->m_archGroup) continue;
                Component* target = nullptr;
                const Component* source = nullptr;
                if (!old64) {
                    if (old32 && new64) target = x, source = partner;
                } else if (!old32 && new32) {
                    if (new64) target = partner, source = x;
                    else target = x, source = partner;
                }
                if (!target) continue;
                const int state = source->getSelected() ? 1 : 0;
                print_log("lumo_architecture_configuration: change %s selection to %d", target->m_name.c_str(), state);
                selectUnselectComponent(target, state, false);
            }
        }
    }
    set_property(m_session, "ARCH_32_SELECTED_OLD", new32 ? "1" : "0");
    set_property(m_session, "ARCH_64_SELECTED_OLD", new64 ? "1" : "0");
    unselectInvisibleNonMandatoryComponentsIfNecessary();
    fixDependencies();
    return 0;
}

int64_t TSD::getTotalInstallSize() {
    const SkipCache cache;
    int64_t total = 0;
    for (const Component* product : m_products) {
        for (const Component* component : product->subcomponents()) {
            if (component->installCondition() && !component->isSkipped()) total += component->m_installSize;
        }
    }
    print_log("getTotalInstallSize: result is %lld", static_cast<long long>(total));
    return total;
}

int64_t TSD::getTotalDownloadSize() {
    const SkipCache cache;
    int64_t total = 0;
    for (const Component* product : m_products) {
        for (const Component* component : product->subcomponents()) {
            if (!component->installCondition() || component->isSkipped()) continue;
            total += component->m_downloadSize;
            if (component->isThirdPartyComponent() && component->m_thirdPartyComponentDescription)
                total += component->thirdPartyFilesToDownloadSize();
        }
    }
    print_log("getTotalDownloadSize: result is %lld", static_cast<long long>(total));
    return total;
}

void TSD::prepareInstallSizeRequest(std::string& sizes, std::string& directories, std::string& names,
                                    const std::string& prefix) {
    const SkipCache cache;
    std::map<std::string, int64_t> by_dir;
    int64_t remainder = 0;
    for (const Component* product : m_products) {
        for (const Component* component : product->subcomponents()) {
            if (!component->installCondition() || component->isSkipped()) continue;
            if (!product->m_installDir.empty()) by_dir[product->m_installDir] += component->m_installSize;
            else remainder += component->m_installSize;
        }
    }
    by_dir[property(m_session, "LUMO_INSTALL_DIR")] += remainder;
    std::string name = prefix;
    for (const auto& entry : by_dir) {
        name += "_";
        directories += entry.first + ";";
        sizes += std::to_string(entry.second) + ";";
        names += name + ";";
    }
}

std::string TSD::getLumoCoreSubdir() {
    print_log("getLumoCoreSubdir: started");
    std::string subdir;
    for (const Component* product : m_products) {
        if (product->m_installSubdir.empty()) continue;
        bool core = false;
        for (const Component* component : product->subcomponents()) core = core || component->m_core;
        if (core) {
            subdir = product->m_installSubdir;
            break;
        }
    }
    print_log("getLumoCoreSubdir: suite core subdir is %s", subdir.c_str());
    return subdir;
}

int TSD::getDynIdById(const char* map, const char* id) {
    if (!map || !id) {
        LOG_NULL_PARAM();
        return -1;
    }
    const int wanted = atoi(id);
    for (const std::string& entry : splitString(map, ";", false)) {
        if (entry.empty()) continue;
        const std::vector<std::string> fields = splitString(entry, ",", false);
        if (fields.size() < 2 || fields[0].empty() || fields[1].empty()) {
            error("getDynIdById: wrong format of id and dyn_id in tsd_map");
            return -1;
        }
        if (atoi(fields[0].c_str()) == wanted) return atoi(fields[1].c_str());
    }
    return -1;
}

bool TSD::isFullUninstall() {
    print_log("isFullUninstall: start");
    bool full = true;
    for (const Component* product : m_products) {
        if (!product->isFullUninstall()) {
            full = false;
            break;
        }
    }
    print_log("isFullUninstall: finish");
    return full;
}

bool TSD::isComponentListEmpty() {
    const SkipCache cache;
    for (const Component* product : m_products) {
        if (product->subcomponents().empty()) {
            if ((product->installCondition() || product->uninstallCondition()) && !product->m_invisible) return false;
            continue;
        }
        for (const Component* component : product->subcomponents()) {
            if ((component->installCondition() || component->uninstallCondition()) &&
                (!component->m_invisible || !component->m_archGroup.empty()))
                return false;
        }
    }
    return true;
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
