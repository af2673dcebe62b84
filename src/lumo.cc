#include "lumo.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "actions.h"
#include "coex.h"
#include "console.h"
#include "contentsprovider.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "lumo_select.h"
#include "lumo_driver.h"
#include "prerequisites.h"
#include "seq.h"
#include "productxml.h"
#include "silent.h"
#include "lumo_download.h"
#include "productxml.h"
#include "thirdparty.h"
#include "sushell.h"
#include "tsd.h"
#include "utils.h"
#include "xml.h"

namespace {

std::string property(session_t* session, const char* name) { return env_get_string(session, std::string(name)); }
bool has_property(session_t* session, const char* name) { return env_exists(session, std::string(name)); }

// ---------------------------------------------------------------------------------------------
// Reading the media description

ContentsProvider* create_provider(session_t* session, const std::string& type) {
    return ContentsProvider::create(session, type);
}

bool find_installed(ContentsProvider* provider, const std::string& id, const std::string& file,
                    const std::string& version) {
    return provider && provider->findItem(id, file, version) != nullptr;
}

// A whole decimal number (surrounding blanks allowed); false for anything else or out of range.
bool parse_decimal(const std::string& text, int32_t& value) {
    const std::string trimmed = trimSpaces(text);
    if (trimmed.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = strtol(trimmed.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
    value = static_cast<int32_t>(parsed);
    return true;
}

bool has_text(const node_t& node) { return node.data_len > 0; }

// Reads a numeric attribute when present. false (logged) when it is there but no number.
bool read_number_key(const node_t& node, const char* key, int32_t& value, bool required) {
    const char* text = xml_node_get_key(&node, key);
    if (!text) {
        if (required) error("lumo_init_products_list: element '%s' has no attribute '%s'", node.name.c_str(), key);
        return !required;
    }
    if (!parse_decimal(text, value)) {
        error("lumo_init_products_list: attribute '%s' of element '%s' is not a number: '%s'", key, node.name.c_str(),
              text);
        return false;
    }
    return true;
}

std::string key_text(const node_t& node, const char* key) {
    const char* text = xml_node_get_key(&node, key);
    return text ? text : "";
}

void read_layers(session_t* session, const node_t& layers, Component& node) {
    if (layers.childs_count <= 0) return;
    for (const node_t& layer : layers.childs) {
        auto& map = node.m_layers[layer.name];
        if (layer.childs_count <= 0) continue;
        for (const node_t& entry : layer.childs) map[entry.name] = expand_operand(session, entry.data);
    }
}

// Fills the component field an expanded text element names; false when the element names none.
bool read_component_text(session_t* session, const node_t& child, Component& component) {
    // The expanded texts and the fields they fill.
    const struct {
        const char* name;
        std::string Component::*field;
    } texts[] = {
        {"Name", &Component::m_name},
        {"Description", &Component::m_description},
        {"ArchGroup", &Component::m_archGroup},
        {"RPMProductCode", &Component::m_rpmProductCode},
        {"RPMProductRelease", &Component::m_rpmProductRelease},
        {"RPMFileDir", &Component::m_rpmFileDir},
        {"NONRPMProductCode", &Component::m_nonrpmProductCode},
        {"Version", &Component::m_version},
        {"InstallSubdir", &Component::m_installSubdir},
        {"Abbr", &Component::m_abbr},
        {"Shared", &Component::m_shared},
    };
    for (const auto& text : texts) {
        if (child.name == text.name) {
            component.*text.field = expand_operand(session, child.data);
            return true;
        }
    }
    return false;
}

// Reads the other child elements of a component; false (logged) for a value that does not parse.
bool read_component_value(session_t* session, const node_t& child, Component& component) {
    if (child.name == "Type") {
        component.setType(child.data.c_str());
    } else if (child.name == "ProxyURL") {
        component.setProxyURL(expand_operand(session, child.data));
        env_set_string(session, "THIRD_PARTY_COMPONENTS", "yes");
    } else if (child.name == "InstallDir") {
        component.m_installDir = child.data;
    } else if (child.name == "Data") {
        const std::string size = expand_operand(session, child.data);
        if (!parse_decimal(size, component.m_installSize) || component.m_installSize < 0) {
            error("lumo_init_products_list: size '%s' of component %d is not a number of megabytes", size.c_str(),
                  component.m_id);
            return false;
        }
    } else if (child.name == "Selected") {
        int32_t selected = 0;
        if (!parse_decimal(child.data, selected)) {
            error("lumo_init_products_list: Selected '%s' of component %d is not a number", child.data.c_str(),
                  component.m_id);
            return false;
        }
        component.m_selected = component.m_defaultSelected = selected != 0;
        print_log("lumo_init_products_list: component_node is %s", selected ? "selected" : "not selected");
    }
    return true;
}

// Fills a component from its element; false (logged) for a value that does not parse.
bool read_component(session_t* session, const node_t& element, Component& component) {
    if (!read_number_key(element, "id", component.m_id, true)) return false;
    component.m_dynId = component.m_depId = component.m_id;
    component.m_depend = key_text(element, "depend");
    component.m_versionCondition = key_text(element, "version_condition");
    component.m_platform = key_text(element, "platform");
    int32_t core = 0;
    if (!read_number_key(element, "mandatory", component.m_mandatory, false) ||
        !read_number_key(element, "invisible", component.m_invisible, false) ||
        !read_number_key(element, "core", core, false))
        return false;
    component.m_core = core != 0;
    if (element.childs_count <= 0) return true;
    for (const node_t& child : element.childs) {
        if (child.name == "Layers") {
            read_layers(session, child, component);
            continue;
        }
        if (!has_text(child) || read_component_text(session, child, component)) continue;
        if (!read_component_value(session, child, component)) return false;
    }
    return true;
}

// Builds one product and its accepted components; false (logged) for a malformed element.
bool read_product(session_t* session, TSD& tsd, const node_t& element) {
    auto product = std::make_unique<Component>(session);
    product->m_context = &tsd.context();
    if (!read_number_key(element, "id", product->m_id, true)) return false;
    product->m_dynId = product->m_depId = product->m_id;
    product->m_platform = key_text(element, "platform");
    for (const Component* known : tsd.products()) {
        if (known->m_depId == product->m_depId)
            warn("lumo_init_products_list: product id %d is used twice; dependencies name the first", product->m_id);
    }
    if (element.childs_count > 0) {
        for (const node_t& child : element.childs) {
            if (child.name == "Component") {
                auto component = std::make_unique<Component>(session);
                component->m_context = &tsd.context();
                if (!read_component(session, child, *component)) return false;
                if (product->getSubcomponentByDepId(component->m_depId))
                    warn("lumo_init_products_list: component id %d is used twice in product %d; dependencies name "
                         "the first",
                         component->m_id, product->m_id);
                if (component->checkComponent()) product->addSubcomponent(std::move(component));
            } else if (child.name == "Layers") {
                read_layers(session, child, *product);
            } else if (!has_text(child)) {
                continue;
            } else if (child.name == "Name") {
                product->m_name = expand_operand(session, child.data);
            } else if (child.name == "Description") {
                product->m_description = expand_operand(session, child.data);
            } else if (child.name == "InstallDir") {
                product->m_installDir = child.data;
            } else if (child.name == "InstallSubdir") {
                product->m_installSubdir = expand_operand(session, child.data);
            } else if (child.name == "Abbr") {
                product->m_abbr = expand_operand(session, child.data);
            }
        }
    }
    if (product->checkComponent()) tsd.addProduct(std::move(product));
    return true;
}

// ---------------------------------------------------------------------------------------------
// Installation folder

// 1 when the text holds a '/' anywhere, plus the '/' strictly inside it (not first, not last).
int peer_count(const std::string& subdir) {
    int count = subdir.find('/') != std::string::npos ? 1 : 0;
    for (size_t i = 1; i + 1 < subdir.size(); ++i) count += subdir[i] == '/';
    return count;
}

int clean_count(const std::string& subdir) {
    int count = 1;
    for (size_t i = 1; i + 1 < subdir.size(); ++i) count += subdir[i] == '/';
    return count;
}

// The folder above, after dropping trailing separators ("/opt/a/" gives "/opt").
std::string parent_dir(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return get_dirname(dir);
}

// ---------------------------------------------------------------------------------------------
// Disk space

// "a;b;" into a and b; "a;;" into a and "" (an empty folder keeps its place); "" into nothing.
std::vector<std::string> split_entries(const std::string& text) {
    if (text.empty()) return {};
    std::string body = text;
    if (body.back() == ';') body.pop_back();
    return splitString(body, ";", true);
}

struct space_entry_t {
    std::string dir;
    std::string size;
};

}  // namespace

int lumo_init_products_list(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (property(session, "INSTALL_MODE").empty())
        env_set_string(session, "INSTALL_MODE", property(session, "IS_ROOT") == "yes" ? "RPM" : "NONRPM");
    if (property(session, "IS_RPM") == "no" || has_property(session, "SHARED_INSTALL"))
        env_set_string(session, "INSTALL_MODE", "NONRPM");

    session->tsd = std::make_unique<TSD>(session);
    TSD& tsd = *session->tsd;
    tsd.context().create_provider = create_provider;
    tsd.context().find_installed = find_installed;
    tsd.context().calculate_disk_space = lumo_calculate_require_disk_space;

    if (has_property(session, "product_id") || has_property(session, "download_url")) {
        print_log("lumo_init_products_list: installer is running in online-installer mode");
        env_set_string(session, "ONLINE_INSTALLER_MODE", "1");
    }
    const std::string file = property(session, "CONFIG_DIR") + "/mediaconfig.xml";
    print_log("lumo_init_products_list: Mediaconfig located here \"%s\"", file.c_str());
    document_t doc;
    if (xml_parse_file(file.c_str(), &doc) != 0 || doc.nodes.empty()) {
        error("lumo_init_products_list: failed to parse mediaconfig.xml file");
        return -1;
    }
    const node_t& root = doc.nodes[0];
    if (root.childs_count <= 0) return 0;
    for (const node_t& child : root.childs) {
        if (child.name == "Product") {
            if (!read_product(session, tsd, child)) {
                error("lumo_init_products_list: failed to parse mediaconfig.xml file");
                return -1;
            }
        } else if (!has_text(child)) {
            continue;
        } else if (child.name == "Name") {
            const std::string name = expand_operand(session, child.data);
            if (!has_property(session, "SUITE_NAME_MULTILINE")) env_set_string(session, "SUITE_NAME_MULTILINE", name);
            env_set_string(session, "SUITE_NAME", remove_newlines(name));
        } else if (child.name == "Description") {
            env_set_string(session, "SUITE_DESCRIPTION", child.data);
        } else if (child.name == "GUID") {
            // The GUID names the suite's marker file in the install folder: a name with a folder
            // part would create, and at the last uninstall remove, a file elsewhere.
            if (is_plain_file_name(child.data))
                env_set_string(session, "SUITE_GUID", child.data);
            else
                error("lumo_init_products_list: GUID '%s' can not name a file, the suite has no marker",
                      child.data.c_str());
        } else if (child.name == "Cafe") {
            env_set_string(session, "SUITE_CAFE", child.data);
        }
    }
    return 0;
}

namespace {

// What the detection of installed components found, for the flags set after it.
struct install_scan_t {
    bool self_detected = false;
    bool any_installed = false;
    bool all_installed = true;
};

// The online installer describes its packages in product.xml next to the media.
bool load_product_description(session_t* session, TSD& tsd) {
    if (!is_online_installer_mode(session)) return true;
    const std::string file = property(session, "PACKAGE_DIR") + "/" + "product.xml";
    if (!tsd.productXML().parseProductXML(file, property(session, "download_url"))) {
        error("lumo_configure_products_list: parsing of product.xml failed.");
        return false;
    }
    tsd.context().product_xml = &tsd.productXML();
    return true;
}

void configure_third_party_components(session_t* session, TSD& tsd, int mode) {
    if (property(session, "THIRD_PARTY_COMPONENTS") != "yes") return;
    if (mode == lumo_mode_uninstall) {
        for (Component* product : tsd.products()) {
            for (Component* component : product->subcomponents()) {
                if (component->isThirdPartyComponent()) component->m_rpmProductCode.clear();
            }
        }
        return;
    }
    if (initialize_3rdparty_components_structures(session) != 0)
        error("lumo_configure_products_list: initialization of 3rd-party component structure failed. "
              "Components for which parsing was not successful will not be visible.");
    for (Component* product : tsd.products()) {
        for (Component* component : product->subcomponents()) {
            if (!component->isThirdPartyComponent()) continue;
            const ThirdPartyComponentDescription* description = component->getThirdPartyComponentDescription();
            if (!description) {
                error("lumo_configure_products_list: unable to find description of component '%s' in the "
                      "proxyURL",
                      component->m_name.c_str());
                continue;
            }
            component->m_name = description->getProperty(THIRD_PARTY_CONFIG_ELEMENT_NAME);
            component->m_description = description->getProperty(THIRD_PARTY_CONFIG_ELEMENT_DESCRIPTION);
            component->m_rpmProductRelease = description->getProperty(THIRD_PARTY_CONFIG_ELEMENT_VERSION);
            component->m_rpmProductCode = component->m_version + "." + component->m_rpmProductRelease;
            // The description checked that the size is a number of bytes; none counts as 0.
            const std::string size = description->getProperty(THIRD_PARTY_CONFIG_ELEMENT_SIZE);
            component->m_installSize = static_cast<int32_t>(strtoll(size.c_str(), nullptr, 10) / 1048576);
        }
    }
}

void register_installed_files(TSD& tsd) {
    // Once per back-end and pattern: components of one package type mostly share it, and each call
    // reads the back-end's database or the system's package list.
    std::set<std::pair<ContentsProvider*, std::string>> registered;
    for (Component* product : tsd.products()) {
        for (Component* component : product->subcomponents()) {
            ContentsProvider* provider = component->provider();
            if (!provider) continue;
            const std::pair<ContentsProvider*, std::string> key(provider, component->m_rpmProductCode);
            if (!registered.insert(key).second) continue;
            provider->registerFiles(component->m_rpmProductCode);
        }
    }
    // The RPM back-end lists the packages it extracted itself only for an empty pattern, and a
    // component names its package: without this, what the engine installed in NONRPM mode would
    // read as not installed.
    for (ContentsProvider* provider : tsd.context().providers) provider->registerAllFiles("");
}

void mark_component_installed(session_t* session, Component* product, Component* component,
                              const ContentsItem& item, int mode, install_scan_t& scan) {
    if (product->m_installDir.empty() && component->m_installDir.empty()) {
        scan.self_detected = true;
        if (!item.m_prefix.empty()) {
            env_set_string(session, "LUMO_SELF_PEER_DIR", item.m_prefix);
            env_set_string(session, "LUMO_SELF_PEER_SUBDIR", product->m_installSubdir);
        }
    }
    component->setInstalled(true);
    if (mode != lumo_mode_install) component->setSelected(true);
    scan.any_installed = true;
    print_log("lumo_configure_products_list: component %s is %s and %s", component->m_abbr.c_str(), "installed",
              component->m_selected ? "selected" : "not selected");
    if (mode == lumo_mode_modify && !component->m_shared.empty()) component->m_mandatory = 1;
}

void mark_component_not_installed(Component* component, int mode, install_scan_t& scan) {
    if (mode == lumo_mode_install)
        component->setSelected(component->m_selected && !component->isSkipped());
    else
        component->setSelected(false);
    component->setInstalled(false);
    scan.all_installed = false;
    print_log("lumo_configure_products_list: component %s is %s and %s (not all components installed)",
              component->m_abbr.c_str(), "not installed", component->m_selected ? "selected" : "not selected");
}

install_scan_t detect_installed_components(session_t* session, TSD& tsd, int mode) {
    install_scan_t scan;
    for (Component* product : tsd.products()) {
        for (Component* component : product->subcomponents()) {
            ContentsProvider* provider = component->provider();
            ContentsItem* item =
                provider ? provider->findItem(component->m_rpmProductCode, component->m_nonrpmProductCode,
                                              component->m_version + "." + component->m_rpmProductRelease)
                         : nullptr;
            if (item)
                mark_component_installed(session, product, component, *item, mode, scan);
            else
                mark_component_not_installed(component, mode, scan);
        }
    }
    return scan;
}

void settle_install_dir(session_t* session, int mode) {
    set_lumo_install_dir_and_dirname(session);
    if (mode == lumo_mode_install) return;
    if (property(session, "LUMO_INSTALL_DIR").empty()) {
        print_log("lumo_configure_products_list: LUMO_INSTALL_DIR in LUMO_MODE [%d] is empty", mode);
        env_set_string(session, "LUMO_INSTALL_DIR_UNDEFINED", "yes");
    } else {
        load_uninstall_ini(session);
    }
}

void read_download_sizes(session_t* session, TSD& tsd) {
    if (!is_online_installer_mode(session)) return;
    print_log("lumo_configure_products_list: getting 'rpm_size' properties");
    const SkipCache cache;
    for (Component* product : tsd.products()) {
        for (Component* component : product->subcomponents()) {
            if (!component->isSkipped())
                component->m_downloadSize = get_component_rpm_size(session, component->m_nonrpmProductCode);
        }
    }
}

// Numbers products and their components from 1; true when every component is selected.
bool number_components(TSD& tsd) {
    int product_number = 0;
    bool all_selected = true;
    for (Component* product : tsd.products()) {
        product->m_id = product->m_dynId = ++product_number;
        int component_number = 0;
        for (Component* component : product->subcomponents()) {
            component->m_id = component->m_dynId = ++component_number;
            all_selected = all_selected && component->m_selected;
        }
    }
    return all_selected;
}

void set_install_type(session_t* session, const std::string& status, int mode) {
    const bool full_type =
        status == "full" || mode == lumo_mode_uninstall || (mode == lumo_mode_install && status == "none");
    env_set_string(session, "TSD_INSTALL_TYPE",
                   expand_operand(session, full_type ? "${tool_selection_full_install_type}"
                                                     : "${tool_selection_custom_install_type}"));
    print_log("lumo_configure_products_list: INSTALL_TYPE = %s", property(session, "TSD_INSTALL_TYPE").c_str());
}

void set_install_state_flags(session_t* session, TSD& tsd, const std::string& detected, const std::string& status,
                             int mode, bool self_detected) {
    if (status == "full" && mode == lumo_mode_install)
        env_set_string(session, "LUMO_PACKAGE_ALREADY_INSTALLED", "yes");
    // What was found, not the selection: with nothing installed every component is unselected,
    // which would otherwise turn "none" into "partial" and hide that there is nothing to remove.
    if (detected == "none" && mode == lumo_mode_uninstall)
        env_set_string(session, "LUMO_NOTHING_TO_UNINSTALL", "yes");
    if (self_detected) {
        env_set_string(session, "LOCK_INSTALL_DIR", "yes");
        env_set_string(session, "LUMO_PACKAGE_PARTIAL_INSTALL", "yes");
    }
    if (tsd.products().empty()) env_set_string(session, "EMPTY_TSD_LIST", "yes");
}

void look_for_marker_file(session_t* session) {
    if (!has_property(session, "LUMO_INSTALL_DIR")) return;
    const std::string guid = property(session, "SUITE_GUID");
    const std::string marker = property(session, "LUMO_INSTALL_DIR") + "/uninstall" + "/markers/" + guid;
    print_log("looking for marker file in %s", marker.c_str());
    // Without a GUID the name would be the markers folder itself.
    if (is_plain_file_name(guid) && is_file(marker)) env_set_string(session, "LUMO_MARKER_GUID_FILE_EXISTS", "yes");
}

void compute_sizes_with_dependencies(TSD& tsd) {
    // The sizes and the disk space ask every component whether it is skipped many times over;
    // nothing from here on changes the answer.
    const SkipCache cache;
    for (Component* product : tsd.products()) {
        if (product->m_invisible || product->isSkipped()) continue;
        product->m_sizeWithDependencies = product->getSizeWithDependencies();
        for (Component* component : product->subcomponents()) {
            if (!component->m_invisible && !component->isSkipped())
                component->m_sizeWithDependencies = component->getSizeWithDependencies();
        }
    }
}

}  // namespace

int lumo_configure_products_list(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    TSD& tsd = *session->tsd;
    const int mode = get_lumo_mode(session);
    set_lumo_install_dir_and_dirname(session);
    if (!load_product_description(session, tsd)) return -1;
    configure_third_party_components(session, tsd, mode);
    register_installed_files(tsd);

    print_log("lumo_configure_products_list: check for installed components");
    // In install mode the skip rules do not depend on the installed state this action detects, so
    // each component's answer is taken once for the rest of the action; the other modes take it
    // afresh once the installed state is known.
    std::unique_ptr<SkipCache> install_cache(mode == lumo_mode_install ? new SkipCache : nullptr);
    const install_scan_t scan = detect_installed_components(session, tsd, mode);
    settle_install_dir(session, mode);
    read_download_sizes(session, tsd);

    const std::string detected = !scan.any_installed ? "none" : scan.all_installed ? "full" : "partial";
    if (!scan.any_installed) print_log("lumo_configure_products_list: install_status=none");
    else print_log("lumo_configure_products_list: install_status=%s", detected.c_str());
    const std::string status = number_components(tsd) ? detected : "partial";

    set_install_type(session, status, mode);
    set_install_state_flags(session, tsd, detected, status, mode, scan.self_detected);
    look_for_marker_file(session);
    tsd.resolveDependencies();
    compute_sizes_with_dependencies(tsd);
    env_set_string(session, "TSD_INIT_DONE", "yes");
    if (mode != lumo_mode_uninstall) lumo_calculate_require_disk_space(session);
    return 0;
}

int lumo_reindex_products_list(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_reindex_products_list: start");
    session->tsd->reindexProductsList();
    print_log("lumo_reindex_products_list: finish");
    return 0;
}

int lumo_select_chosen_products(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    return session->tsd->selectChosenProducts();
}

int lumo_select_all_available_products(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    return session->tsd->selectAllAvailableProducts();
}

int lumo_init_architecture_configuration(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    return session->tsd->initArchitectureConfiguration();
}

int lumo_architecture_configuration(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    return session->tsd->architectureConfiguration();
}

int lumo_is_component_list_empty(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (property(session, "IS_COMPONENT_LIST_EMPTY") == "no") return 0;
    env_set_string(session, "IS_COMPONENT_LIST_EMPTY", "");
    if (session->tsd->isComponentListEmpty()) {
        print_log("lumo_is_component_list_empty: empty component list");
        env_set_string(session, "IS_COMPONENT_LIST_EMPTY", "yes");
    }
    return 0;
}

int lumo_detect_full_uninstall(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    env_set_string(session, "FULL_UNINSTALL", session->tsd->isFullUninstall() ? "yes" : "no");
    return 0;
}

int lumo_fill_abbr_var(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    // The selection is final from here on: an interrupt would stop the run halfway through the
    // installation, so it is ignored, and nothing else interrupts the handler change.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigfillset(&ignore.sa_mask);
    sigaction(SIGINT, &ignore, nullptr);
    print_log("lumo_fill_abbr_var: start");
    const SkipCache cache;
    const bool uninstall = get_lumo_mode(session) == lumo_mode_uninstall;
    // Built afresh, so running the step again after going back lists each component once.
    std::string abbrs;
    std::string rpms;
    bool full = true;
    for (Component* product : session->tsd->products()) {
        for (Component* component : product->subcomponents()) {
            if (component->isSkipped()) continue;
            if (component->getSelected()) {
                abbrs += ";" + component->m_abbr;
                rpms += ";" + component->m_rpmFileDir + "/" + component->m_nonrpmProductCode;
            } else if (!component->m_invisible && (!uninstall || component->getInstalled())) {
                full = false;
            }
        }
    }
    env_set_string(session, "PRODUCTS_ABBR_TO_INSTALL", abbrs);
    env_set_string(session, "PRODUCTS_RPMS_TO_INSTALL", rpms);
    env_set_string(session, "TSD_INSTALL_TYPE",
                   expand_operand(session, full ? "${tool_selection_full_install_type}"
                                                : "${tool_selection_custom_install_type}"));
    print_log("lumo_fill_abbr_var: finish");
    return 0;
}

namespace {

// LUMO_INSTALL_SUBDIR expanded in place, or else the core product's own subfolder.
std::string resolve_install_subdir(session_t* session) {
    std::string final_subdir = property(session, "LUMO_INSTALL_SUBDIR");
    if (!final_subdir.empty()) {
        final_subdir = expand_operand(session, final_subdir);
        env_set_string(session, "LUMO_INSTALL_SUBDIR", final_subdir);
    } else if (session->tsd) {
        final_subdir = session->tsd->getLumoCoreSubdir();
    }
    print_log("set_lumo_install_dir_and_dirname: final subdir is '%s'", final_subdir.c_str());
    return final_subdir;
}

// How many folders up from the peer's folder the installation base lies.
int peer_levels_for(session_t* session, bool self, const std::string& subdir, int self_levels, int peer_levels) {
    if (self && subdir.empty()) {
        print_log("set_lumo_install_dir_and_dirname: setting levels to selfLevelNum since sxs subdir is empty and self "
                  "dir exists: '%d'",
                  self_levels);
        return self_levels;
    }
    if (has_property(session, "SXS_PEER_DIR") && !has_property(session, "SXS_PEER_SUBDIR")) {
        print_log("set_lumo_install_dir_and_dirname: setting levels to selfLevelNum since sxs subdir is empty and sxs "
                  "dir exists: '%d'",
                  self_levels);
        return self_levels;
    }
    return peer_levels;
}

void set_clean_install_levels(session_t* session) {
    const std::string subdir_property = property(session, "LUMO_INSTALL_SUBDIR");
    if (subdir_property.empty()) return;
    const int levels = clean_count(subdir_property);
    env_set_string(session, "LUMO_INSTALL_SUBDIR_LEVELS", std::to_string(levels));
    print_log("set_lumo_install_dir_and_dirname: clean install, setting levels according to "
              "LUMO_INSTALL_SUBDIR: %d",
              levels);
}

void set_install_dir_from_peer(session_t* session, const std::string& dir, const std::string& final_subdir,
                               int peer_levels, int self_levels) {
    print_log("set_lumo_install_dir_and_dirname: setting levels to %d", self_levels);
    env_set_string(session, "LUMO_INSTALL_SUBDIR_LEVELS", std::to_string(self_levels));
    std::string base = dir;
    for (int i = 0; i < peer_levels; ++i) base = parent_dir(base);
    env_set_string(session, "LUMO_INSTALL_DIR_DIRNAME", base);
    // Joined with its separator: a subfolder written without a leading '/' is not glued onto the
    // folder's last name.
    std::string install_dir = path(base + "/" + final_subdir);
    while (install_dir.size() > 1 && install_dir.back() == '/') install_dir.pop_back();
    env_set_string(session, "LUMO_INSTALL_DIR", install_dir);
    print_log("set_lumo_install_dir_and_dirname: changing LUMO_INSTALL_DIR to %s", install_dir.c_str());
    if (has_property(session, "silent") && property(session, "SILENT_ERROR_LOCK_DIR").empty() &&
        get_lumo_mode(session) != lumo_mode_uninstall) {
        print_log("The product is already installed to %s and the directory is locked", install_dir.c_str());
        print_string("%s", expand_operand(session, "${silent_product_install_to_another_dir}").c_str());
        env_set_string(session, "SILENT_ERROR_LOCK_DIR", "yes");
    }
}

}  // namespace

int set_lumo_install_dir_and_dirname(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::string dir = property(session, "SXS_PEER_DIR");
    std::string subdir = property(session, "SXS_PEER_SUBDIR");
    print_log("set_lumo_install_dir_and_dirname: started with install dir '%s', subdir '%s'", dir.c_str(),
              subdir.c_str());
    const bool self = has_property(session, "LUMO_SELF_PEER_DIR");
    if (self) {
        dir = property(session, "LUMO_SELF_PEER_DIR");
        subdir = property(session, "LUMO_SELF_PEER_SUBDIR");
        print_log("set_lumo_install_dir_and_dirname: after self-detection install dir '%s', subdir '%s'", dir.c_str(),
                  subdir.c_str());
    }
    int peer_levels = 0;
    if (!subdir.empty()) {
        peer_levels = peer_count(subdir);
        print_log("set_lumo_install_dir_and_dirname: setting levels according to coexistence to '%d'", peer_levels);
    }
    const std::string final_subdir = resolve_install_subdir(session);
    int self_levels = 0;
    if (!final_subdir.empty()) {
        self_levels = peer_count(final_subdir);
        print_log("set_lumo_install_dir_and_dirname: setting levels according to self-detection to '%d'", self_levels);
    }
    peer_levels = peer_levels_for(session, self, subdir, self_levels, peer_levels);
    if (!has_property(session, "SXS_PEER_DIR") && !self)
        set_clean_install_levels(session);
    else
        set_install_dir_from_peer(session, dir, final_subdir, peer_levels, self_levels);
    print_log("set_lumo_install_dir_and_dirname: finished");
    return 0;
}

int lumo_calculate_require_disk_space(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    TSD& tsd = *session->tsd;
    print_log("lumo_calculate_require_disk_space: start");
    const SkipCache cache;  // the totals and the requests below ask the same questions
    env_set_string(session, "TOTAL_REQUIRED_DISK_SPACE", "");
    env_set_string(session, "TOTAL_REQUIRED_DOWNLOAD_DISK_SPACE", "");
    std::string sizes;
    std::string dirs;
    std::string messages;
    int64_t download_mb = 0;
    if (is_online_installer_mode(session) || property(session, "THIRD_PARTY_COMPONENTS") == "yes") {
        const int64_t bytes = tsd.getTotalDownloadSize();
        print_log("lumo_calculate_require_disk_space: total_download_space is %lld", static_cast<long long>(bytes));
        download_mb = bytes == 0 ? 0 : bytes / 1048576 + 1;
    }
    if (!has_property(session, "download_only")) {
        env_set_string(session, "TOTAL_REQUIRED_DISK_SPACE", std::to_string(tsd.getTotalInstallSize()));
        tsd.prepareInstallSizeRequest(sizes, dirs, messages, "prerequisite_no_space_install_location_error");
        if (property(session, "INSTALL_MODE") == "NONRPM") {
            int64_t largest = 0;
            for (const Component* product : tsd.products()) {
                for (const Component* component : product->subcomponents()) {
                    if (component->installCondition() && !component->isSkipped() && component->m_installSize > largest)
                        largest = component->m_installSize;
                }
            }
            std::string temp = property(session, "TEMP_FOLDER");
            if (temp.empty()) temp = "/tmp";
            const std::string temp_size = std::to_string(2 * largest);
            dirs += temp + ";";
            sizes += temp_size + ";";
            messages += "prerequisite_no_space_temporary_location_error;";
            print_log("lumo_calculate_require_disk_space: disk space required for temporary file is %sM",
                      temp_size.c_str());
        }
    }
    if (download_mb != 0) {
        const std::string size = std::to_string(download_mb);
        dirs += property(session, "PACKAGE_DIR") + ";";
        sizes += size + ";";
        messages += "prerequisite_no_space_download_location_error;";
        env_set_string(session, "TOTAL_REQUIRED_DOWNLOAD_DISK_SPACE", size);
        print_log("lumo_calculate_require_disk_space: total required download disk space is %sM", size.c_str());
    }
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_DIR_REQUEST", dirs);
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_SIZE_REQUEST", sizes);
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST", messages);
    print_log("lumo_calculate_require_disk_space: finish");
    return lumo_add_space_requirement(session);
}

namespace {

// The requested entries over the recorded ones, keyed by their message.
void merge_space_requests(std::map<std::string, space_entry_t>& merged, const std::vector<std::string>& dirs_new,
                          const std::vector<std::string>& sizes_new, const std::vector<std::string>& messages_new) {
    for (size_t i = 0; i < messages_new.size(); ++i) {
        auto found = merged.find(messages_new[i]);
        if (found != merged.end()) {
            print_log("lumo_add_space_requirement: updating existing requirement for message %s: OLD: %s MB in "
                      "directory %s, NEW: %s MB in directory %s",
                      messages_new[i].c_str(), found->second.size.c_str(), found->second.dir.c_str(),
                      sizes_new[i].c_str(), dirs_new[i].c_str());
            found->second = {dirs_new[i], sizes_new[i]};
        } else {
            print_log("lumo_add_space_requirement: add new requirement: %s MB in directory %s with message %s",
                      sizes_new[i].c_str(), dirs_new[i].c_str(), messages_new[i].c_str());
            merged[messages_new[i]] = {dirs_new[i], sizes_new[i]};
        }
    }
}

void store_space_requirements(session_t* session, const std::map<std::string, space_entry_t>& merged) {
    std::string dirs_out;
    std::string sizes_out;
    std::string messages_out;
    for (const auto& entry : merged) {
        dirs_out += entry.second.dir + ";";
        sizes_out += entry.second.size + ";";
        messages_out += entry.first + ";";
    }
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_DIR", dirs_out);
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_SIZE", sizes_out);
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_MESSAGE", messages_out);
}

}  // namespace

int lumo_add_space_requirement(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    const std::string dir = property(session, "LUMO_SPACE_REQUIREMENT_DIR");
    const std::string size = property(session, "LUMO_SPACE_REQUIREMENT_SIZE");
    const std::string message = property(session, "LUMO_SPACE_REQUIREMENT_MESSAGE");
    print_log("lumo_add_space_requirement: started with LUMO_SPACE_REQUIREMENT_DIR='%s', LUMO_SPACE_REQUIREMENT_SIZE='%s', "
              "LUMO_SPACE_REQUIREMENT_MESSAGE='%s'",
              dir.c_str(), size.c_str(), message.c_str());
    const std::string dir_request = property(session, "LUMO_SPACE_REQUIREMENT_DIR_REQUEST");
    const std::string size_request = property(session, "LUMO_SPACE_REQUIREMENT_SIZE_REQUEST");
    const std::string message_request = property(session, "LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST");
    if (dir_request.empty()) {
        print_log("lumo_add_space_requirement: LUMO_SPACE_REQUIREMENT_DIR_REQUEST is empty. Exiting");
        return 0;
    }
    if (size_request.empty()) {
        print_log("lumo_add_space_requirement: LUMO_SPACE_REQUIREMENT_SIZE_REQUEST is empty. Exiting");
        return 0;
    }
    if (message_request.empty()) {
        print_log("lumo_add_space_requirement: LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST is empty. Exiting");
        return 0;
    }
    const std::vector<std::string> dirs_new = split_entries(dir_request);
    const std::vector<std::string> sizes_new = split_entries(size_request);
    const std::vector<std::string> messages_new = split_entries(message_request);
    if (dirs_new.size() != sizes_new.size() || dirs_new.size() != messages_new.size()) {
        error("lumo_add_space_requirement: variables LUMO_SPACE_REQUIREMENT_DIR_REQUEST, "
              "LUMO_SPACE_REQUIREMENT_SIZE_REQUEST and LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST contain different amount "
              "of parameters");
        return -1;
    }
    const std::vector<std::string> dirs_old = split_entries(dir);
    const std::vector<std::string> sizes_old = split_entries(size);
    const std::vector<std::string> messages_old = split_entries(message);
    if (dirs_old.size() != sizes_old.size() || dirs_old.size() != messages_old.size()) {
        error("lumo_add_space_requirement: variables LUMO_SPACE_REQUIREMENT_DIR, LUMO_SPACE_REQUIREMENT_SIZE and "
              "LUMO_SPACE_REQUIREMENT_MESSAGE contain different amount of parameters");
        return -1;
    }
    std::map<std::string, space_entry_t> merged;
    for (size_t i = 0; i < messages_old.size(); ++i) merged[messages_old[i]] = {dirs_old[i], sizes_old[i]};
    merge_space_requests(merged, dirs_new, sizes_new, messages_new);
    store_space_requirements(session, merged);
    print_log("lumo_add_space_requirement: cleaning LUMO_SPACE_REQUIREMENT_DIR_REQUEST, "
              "LUMO_SPACE_REQUIREMENT_SIZE_REQUEST, LUMO_SPACE_REQUIREMENT_DIR_MESSAGE");
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_DIR_REQUEST", "");
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_SIZE_REQUEST", "");
    env_set_string(session, "LUMO_SPACE_REQUIREMENT_MESSAGE_REQUEST", "");
    return 0;
}

int lumo_actions_register(session_t* session) {
    // Layers find the suite's core sub-folder through the product set, once there is one.
    sequence_set_core_subdir([](session_t* s) {
        return s->tsd && !s->tsd->products().empty() ? s->tsd->getLumoCoreSubdir() : std::string();
    });
    // Registered in the order the action table lists them.
    if (actions_register_table(session, {
        {"lumo_init_products_list", lumo_init_products_list},
        {"lumo_configure_products_list", lumo_configure_products_list},
        {"lumo_reindex_products_list", lumo_reindex_products_list},
        {"lumo_select_all_available_products", lumo_select_all_available_products},
        {"lumo_select_chosen_products", lumo_select_chosen_products},
        {"lumo_fill_abbr_var", lumo_fill_abbr_var},
        {"lumo_is_component_list_empty", lumo_is_component_list_empty},
        {"lumo_calculate_require_disk_space", lumo_calculate_require_disk_space},
        {"lumo_detect_full_uninstall", lumo_detect_full_uninstall},
        {"lumo_init_architecture_configuration", lumo_init_architecture_configuration},
        {"lumo_architecture_configuration", lumo_architecture_configuration},
        {"lumo_add_space_requirement", lumo_add_space_requirement},
        {"set_lumo_install_dir_and_dirname", set_lumo_install_dir_and_dirname},
        }) != 0)
        return -1;
    if (lumo_select_actions_register(session) != 0) return -1;
    if (lumo_driver_actions_register(session) != 0) return -1;
    if (silent_actions_register(session) != 0) return -1;
    if (coex_actions_register(session) != 0) return -1;
    if (prerequisites_actions_register(session) != 0) return -1;
    if (lumo_download_actions_register(session) != 0) return -1;
    if (sushell_actions_register(session) != 0) return -1;
    return 0;
}
