#include "lumo_select.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "actions.h"
#include "component.h"
#include "env.h"
#include "env_expand.h"
#include "log.h"
#include "tsd.h"

namespace {

std::string property(session_t* session, const char* name) { return env_get_string(session, std::string(name)); }
void set_property(session_t* session, const char* name, const std::string& value) {
    env_set_string(session, std::string(name), value);
}
bool is_gui_mode(session_t* session) { return property(session, "gui") == "1"; }
bool download_only(session_t* session) { return env_exists(session, std::string("download_only")); }

// A whole decimal number and nothing else: an answer such as "2x" or " 2" names no line.
bool parse_number(const std::string& text, int& value) {
    if (text.empty() || (text[0] != '-' && (text[0] < '0' || text[0] > '9'))) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = strtol(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
    value = static_cast<int>(parsed);
    return true;
}

// One summary entry: the helper ends every line it lays out with "\n" and pads the first one to the
// console's width; the summary puts its own line break (which is "<br>" for the graphical front
// end) after the entry, and an entry without a size needs no padding.
std::string summary_entry(const std::string& name, const std::string& size, int reserved) {
    std::string entry = get_component_name_with_size(name, size, reserved);
    if (!entry.empty() && entry.back() == '\n') entry.pop_back();
    if (size.empty()) {
        const size_t end = entry.find_last_not_of(' ');
        entry.erase(end == std::string::npos ? 0 : end + 1);
    }
    return entry;
}

std::string size_text(int64_t megabytes) { return Component::getUserFriendlySizeString(megabytes); }
// Download sizes are bytes; the dialog shows whole megabytes.
std::string download_size_text(int64_t bytes) { return size_text(bytes / 1048576); }

bool shows_download_size(session_t* session, int mode) {
    return mode != lumo_mode_uninstall && (is_online_installer_mode(session) || has_third_party_components(session));
}

// The products the product level lists, in order.
std::vector<Component*> listed_products(TSD& tsd) {
    std::vector<Component*> listed;
    for (Component* product : tsd.products()) {
        if (product->m_dynId >= 1 && !product->m_invisible && product->isAtLeastOneProductComponentAvailable())
            listed.push_back(product);
    }
    return listed;
}

std::string install_type(const Component& product, int mode) {
    if (product.countSelectedSubcomponents(mode, 1) == 0) return "${tool_selection_none_install_type}";
    if (product.checkFullInstallOrUninstall() == 0) return "${tool_selection_custom_install_type}";
    if (mode == lumo_mode_install &&
        product.countVisibleInstalledSubcomponents() == product.countVisibleSubcomponents())
        return "${tool_selection_already_installed}";
    return "${tool_selection_full_install_type}";
}

// Whether the product line of the component level carries the number 2. The answer 2 toggles the
// whole product exactly when it does; otherwise 2 is the first component's number, as the map says.
bool product_line_numbered(const Component& product, int mode) {
    const bool mandatory = product.m_mandatory != 0;
    const bool installed = product.getInstalled();
    switch (mode) {
    case lumo_mode_uninstall:
    case lumo_mode_repair:
        return true;
    case lumo_mode_modify:
        return !mandatory || installed;
    default:
        return !mandatory && !installed;
    }
}

bool component_listed(const Component& component, bool uninstall_repair) {
    return component.m_dynId > 0 && !component.isSkipped() && !component.m_invisible &&
           (component.getInstalled() || !uninstall_repair);
}

bool component_numbered(const Component& component, int mode) {
    const bool mandatory = component.m_mandatory != 0;
    switch (mode) {
    case lumo_mode_install:
        return !mandatory && !component.getInstalled();
    case lumo_mode_modify:
    case lumo_mode_uninstall:
        return !mandatory;
    default:
        return true;
    }
}

bool component_checked(const Component& component, int mode) {
    switch (mode) {
    case lumo_mode_install:
        return component.getInstalled() || component.getSelected();
    case lumo_mode_modify:
        return component.getSelected();
    default:
        return component.getSelected() && component.getInstalled();
    }
}

std::string component_suffix(const Component& component, int mode) {
    const bool installed = component.getInstalled();
    if (mode == lumo_mode_install || mode == lumo_mode_repair) {
        if (installed) return "${tool_selection_dialog_already_installed}";
        if (mode == lumo_mode_install && component.m_mandatory) return "${tool_selection_dialog_mandatory}";
        return "";
    }
    return component.m_mandatory ? "${tool_selection_dialog_mandatory}" : "";
}

// "2;3;...;n;" then the words every dialog of the sequence accepts.
std::string value_list(session_t* session, int last) {
    std::string list;
    for (int i = 2; i <= last; ++i) list += std::to_string(i) + ";";
    return list + expand_operand(session, "${back};${help};${quit}");
}

void select_directly(Component* component, bool select) {
    if (component->getSelected() == select) return;
    print_log("lumo_tool_selection_dialog_act: %s component %s directly", select ? "select" : "unselect",
              component->m_name.c_str());
    component->setSelected(select);
}

// When removing or repairing, the selection marks what the run touches and no dependency is
// carried, so the product set's propagation refuses to run; the user's choice is set directly.
// Its pass over the dependencies would clear every other product's marks too, and they were the
// user's own: they are put back.
void toggle_whole_product(TSD& tsd, Component* product, int mode) {
    const bool select = !product->getSelected();
    const bool direct = mode == lumo_mode_uninstall || mode == lumo_mode_repair;
    std::vector<std::pair<Component*, bool>> others;
    if (direct) {
        for (Component* other : tsd.products()) {
            if (other == product) continue;
            others.emplace_back(other, other->m_selected);
            for (Component* component : other->subcomponents()) others.emplace_back(component, component->getSelected());
        }
    }
    tsd.setProductToInstallUninstall(product, select);
    if (!direct) {
        // A dependency may keep a component of the product unmarked here, a mandatory one among
        // them; what stays of a product needs all its mandatory components, or a modify run would
        // remove them from under it.
        for (Component* each : tsd.products()) {
            for (const Component* component : each->subcomponents()) {
                if (!component->isSkipped() && component->getSelected()) {
                    each->selectUnselectProductMandatoryComponents(1);
                    break;
                }
            }
        }
        tsd.selectUnselectProductsIfNecessary();
        return;
    }
    for (const auto& [component, selected] : others) {
        if (!component->m_parent) component->m_selected = selected;
        else if (component->getSelected() != selected) component->setSelected(selected);
    }
    for (Component* component : product->subcomponents()) {
        if (component_listed(*component, true) && component_numbered(*component, mode))
            select_directly(component, select);
    }
    tsd.selectUnselectProductsIfNecessary();
}

void toggle_component(TSD& tsd, Component* component, int mode) {
    if (mode == lumo_mode_uninstall || mode == lumo_mode_repair) {
        if (mode == lumo_mode_uninstall && component->m_mandatory) {
            print_log("lumo_tool_selection_dialog_act: component %s is mandatory and goes with its product",
                      component->m_name.c_str());
        } else {
            select_directly(component, !component->getSelected());
        }
    } else {
        tsd.selectUnselectComponent(component, component->getSelected() ? 0 : 1, false);
    }
    tsd.unselectInvisibleNonMandatoryComponentsIfNecessary();
    tsd.selectUnselectProductsIfNecessary();
}

void finish_dialog(session_t* session) {
    set_property(session, "TSD_TODO", "finish");
    set_property(session, "TSD_MAP", "");
}

// The product level, or, when the list holds a single product with components, that product's
// components: with one product the component level is the whole dialog.
int prepare_first_screen(session_t* session, TSD& tsd) {
    const std::vector<Component*> listed = listed_products(tsd);
    if (listed.size() == 1 && !listed[0]->subcomponents().empty()) {
        set_property(session, "P_INDEX", std::to_string(listed[0]->m_dynId));
        return prepare_component_level_dialog(session, listed[0]);
    }
    const int result = prepare_product_level_dialog(session);
    // An empty list has no map, and an empty map is what marks the first call: the dialog could
    // never be left. There is nothing to choose, so it is over before it is shown.
    if (result == 0 && listed.empty()) {
        warn("lumo_tool_selection_dialog_act: no product can be chosen, the selection is finished");
        finish_dialog(session);
    }
    return result;
}

// A P_INDEX that names no product (a stale value, a product skipped since) starts the dialog
// afresh instead of failing it for good.
int prepare_component_level_of(session_t* session, TSD& tsd, int p_index) {
    Component* product = tsd.getProductByDynId(p_index);
    if (product && p_index >= 1) return prepare_component_level_dialog(session, product);
    error("lumo_tool_selection_dialog_act: no product has the dynamic id %d, the dialog starts again", p_index);
    set_property(session, "P_INDEX", "-1");
    return prepare_first_screen(session, tsd);
}

}  // namespace

bool is_uninstall_repair_mode(session_t* session) {
    const int mode = get_lumo_mode(session);
    return mode == lumo_mode_uninstall || mode == lumo_mode_repair;
}

bool has_third_party_components(session_t* session) { return property(session, "THIRD_PARTY_COMPONENTS") == "yes"; }

int prepare_product_level_dialog(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    TSD& tsd = *session->tsd;
    const int mode = get_lumo_mode(session);
    const bool uninstall_repair = is_uninstall_repair_mode(session);
    set_property(session, "TSD_TITLE", expand_operand(session, "${tool_selection_product_level_title}"));
    set_property(session, "TSD_DESC", expand_operand(session, "${tool_selection_product_level_desc}"));
    tsd.selectUnselectProductsIfNecessary();
    const SkipCache cache;  // nothing below changes a selection, a property or a file
    int n = 1;
    std::string text;
    std::string map;
    for (Component* product : listed_products(tsd)) {
        ++n;
        text += std::to_string(n) + ". ";
        if (mode == lumo_mode_modify) {
            text += product->getSelected() ? "[x] " : "[ ] ";
            text += product->m_name;
            if (product->getInstalled())
                text += "${tool_selection_dialog_already_installed}";
            else if (product->m_mandatory)
                text += "${tool_selection_dialog_mandatory}";
        } else {
            text += product->m_name + " [" + install_type(*product, mode) + "]";
        }
        text += "\n";
        map += std::to_string(n) + "," + std::to_string(product->m_dynId) + ";";
    }
    if (!uninstall_repair && !download_only(session))
        text += "\n${tool_selection_space_req}" + size_text(tsd.getTotalInstallSize());
    if (shows_download_size(session, mode))
        text += "\n${tool_selection_download_space_req}" + download_size_text(tsd.getTotalDownloadSize());
    text += "\n";
    set_property(session, "TSD_TEXT", expand_operand(session, text));
    set_property(session, "TSD_MAP", map);
    print_log("prepare_product_level_dialog: TSD_MAP=%s", map.c_str());
    const std::string values = value_list(session, n);
    set_property(session, "TSD_VAL_LIST", values);
    print_log("prepare_product_level_dialog: TSD_VAL_LIST=%s", values.c_str());
    return 0;
}

int prepare_component_level_dialog(session_t* session, Component* product) {
    if (!session || !product) {
        LOG_NULL_PARAM();
        return -1;
    }
    const int mode = get_lumo_mode(session);
    const bool uninstall_repair = is_uninstall_repair_mode(session);
    set_property(session, "TSD_TITLE", expand_operand(session, "${tool_selection_component_level_title}"));
    set_property(session, "TSD_DESC", expand_operand(session, "${tool_selection_component_level_desc}"));
    const SkipCache cache;  // nothing below changes a selection, a property or a file
    int n = 1;
    std::string text;
    std::string map;
    const bool product_numbered = product_line_numbered(*product, mode);
    const bool product_selected = product->getSelected();
    const bool product_installed = product->getInstalled();
    if (product_numbered) {
        n = 2;
        map += "2," + std::to_string(product->m_dynId) + ";";
    }
    text +=
        std::string(product_numbered ? "2. " : "   ") + (product_selected ? "[x] " : "[ ] ") + product->m_name + "\n";
    print_log("prepare_component_level_dialog: product %s is %s and %s => will%sdisplay checkbox",
              product->m_abbr.c_str(), product_selected ? "selected" : "not selected",
              product_installed ? "installed" : "not installed", product_numbered ? " " : " not ");
    for (Component* component : product->subcomponents()) {
        if (!component_listed(*component, uninstall_repair)) continue;
        const bool numbered = component_numbered(*component, mode);
        std::string prefix = "   ";
        if (numbered) {
            ++n;
            // From 10 on the number takes the blank's place, so the boxes stay in one column.
            prefix = std::to_string(n) + (n < 10 ? ". " : ".");
            map += std::to_string(n) + "," + std::to_string(component->m_dynId) + ";";
        }
        const bool checked = component_checked(*component, mode);
        const std::string& label = component->m_archGroup.empty() ? component->m_name : component->m_archGroup;
        text += prefix + (checked ? "    [x] " : "    [ ] ") + label + component_suffix(*component, mode) + "\n";
        print_log("prepare_component_level_dialog: component %s is %s and %s => will%sdisplay checkbox",
                  component->m_abbr.c_str(), component->getSelected() ? "selected" : "not selected",
                  component->getInstalled() ? "installed" : "not installed", numbered ? " " : " not ");
    }
    if (!uninstall_repair && !download_only(session))
        text += "\n${tool_selection_space_req}" + size_text(product->getSizeWithDependencies());
    if (shows_download_size(session, mode))
        text +=
            "\n${tool_selection_download_space_req}" + download_size_text(product->getDownloadSizeWithDependencies());
    text += "\n";
    if (!property(session, "DEP_INFO").empty()) text += "${tool_selection_dep_desc}\n";
    set_property(session, "TSD_TEXT", expand_operand(session, text));
    set_property(session, "TSD_MAP", map);
    print_log("prepare_component_level_dialog: TSD_MAP=%s", map.c_str());
    const std::string values = value_list(session, n);
    set_property(session, "TSD_VAL_LIST", values);
    print_log("prepare_component_level_dialog: TSD_VAL_LIST=%s", values.c_str());
    return 0;
}

int lumo_tool_selection_dialog_act(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!session->tsd) {
        error("lumo_tool_selection_dialog_act: the product list is not built");
        return -1;
    }
    TSD& tsd = *session->tsd;
    set_property(session, "DEP_INFO", "");
    set_property(session, "TSD_TODO", "");
    set_property(session, "FINISH_CONFIGURATION", "no");
    const std::string map = property(session, "TSD_MAP");
    const std::string p_text = property(session, "P_INDEX");
    if (p_text.empty()) {
        error("lumo_tool_selection_dialog_act: tsd_p_index is null");
        return -1;
    }
    int p_index = 0;
    if (!parse_number(p_text, p_index)) {
        error("lumo_tool_selection_dialog_act: P_INDEX '%s' is not a number", p_text.c_str());
        return -1;
    }
    const std::string handle = property(session, "HANDLE");
    print_log("lumo_tool_selection_dialog_act:tsd_map=%s, p_index=%d, handle=%s", map.c_str(), p_index, handle.c_str());
    const std::string back = expand_operand(session, "${back}");
    const bool leave = handle == "1" || (!back.empty() && handle == back);
    const bool component_level = p_index != -1;

    if (component_level && leave && !map.empty()) {
        // A single product is the whole dialog: there is no list to go back to.
        if (listed_products(tsd).size() <= 1) {
            finish_dialog(session);
            return 0;
        }
        set_property(session, "P_INDEX", "-1");
        return prepare_product_level_dialog(session);
    }
    if (map.empty()) {
        // The first call of the dialog (or one after it finished): draw the screen, apply nothing.
        if (component_level) return prepare_component_level_of(session, tsd, p_index);
        return prepare_first_screen(session, tsd);
    }
    if (leave) {
        finish_dialog(session);
        return 0;
    }
    int answer = 0;
    const int dyn_id = parse_number(handle, answer) && answer >= 2 ? tsd.getDynIdById(map.c_str(), handle.c_str()) : -1;
    if (dyn_id == -1) {
        // Redraw the screen the user is on: the map and P_INDEX keep describing the same level.
        print_log("lumo_tool_selection_dialog_act: something wrong with obtaining dyn_id");
        if (component_level) return prepare_component_level_of(session, tsd, p_index);
        return prepare_product_level_dialog(session);
    }
    const int mode = get_lumo_mode(session);
    if (component_level) {
        print_log("lumo_tool_selection_dialog_act: we on component level");
        Component* product = tsd.getProductByDynId(p_index);
        if (!product) {
            LOG_NULL_PARAM();
            return -1;
        }
        if (answer == 2 && product_line_numbered(*product, mode)) {
            print_log("lumo_tool_selection_dialog_act: select/unselect whole product");
            toggle_whole_product(tsd, product, mode);
            return prepare_component_level_dialog(session, product);
        }
        print_log("lumo_tool_selection_dialog_act: select/unselect component p_index=%d, dyn_id=%d", p_index, dyn_id);
        Component* component = product->getSubcomponentByDynId(dyn_id);
        if (!component) {
            error("lumo_tool_selection_dialog_act: component is null");
            return -1;
        }
        toggle_component(tsd, component, mode);
        return prepare_component_level_dialog(session, product);
    }
    print_log("lumo_tool_selection_dialog_act: we on product level");
    Component* product = tsd.getProductByDynId(dyn_id);
    if (product && !product->subcomponents().empty()) {
        set_property(session, "P_INDEX", std::to_string(dyn_id));
        return prepare_component_level_dialog(session, product);
    }
    return prepare_product_level_dialog(session);
}

int lumo_set_summary_text(session_t* session) {
    if (!session || !session->tsd) {
        LOG_NULL_PARAM();
        return -1;
    }
    TSD& tsd = *session->tsd;
    print_log("set_summary_action: started");
    const bool gui = is_gui_mode(session);
    const std::string nl = gui ? "<br>" : "\n";
    const std::string ind = gui ? "&nbsp;&nbsp;&nbsp;&nbsp;" : "    ";
    const int mode = get_lumo_mode(session);
    const bool uninstall_repair = is_uninstall_repair_mode(session);
    const bool space_shown = !uninstall_repair && !download_only(session);
    std::string text;
    if (space_shown) {
        const std::string dir = property(session, "LUMO_INSTALL_DIR");
        if (dir.empty()) {
            error("lumo_set_summary_text: insdir is null");
            return -1;
        }
        text = "${summary_inst_loc}:" + nl + ind + dir + nl + nl;
    }
    const SkipCache cache;  // nothing below changes a selection, a property or a file
    if (property(session, "TSD_HIDE") == "yes") {
        if (uninstall_repair) text += "${tsd_hide_summary_text}" + nl;
    } else {
        text += "${summary_components}:";
        for (Component* product : tsd.products()) {
            if (product->getSelected() && !product->isSkipped() && !product->m_invisible &&
                product->isAtLeastOneProductComponentAvailable() && product->countSelectedSubcomponents(mode, 1) > 0) {
                const int64_t size = uninstall_repair ? 0 : product->getSizeWithDependencies();
                text +=
                    nl +
                    summary_entry(ind + expand_operand(session, product->m_name), size != 0 ? size_text(size) : "", 7) +
                    nl;
            }
            for (const Component* component : product->subcomponents()) {
                if (!component->getSelected() || component->isSkipped() || component->m_invisible) continue;
                const std::string& label =
                    !component->m_archGroup.empty() && !uninstall_repair ? component->m_archGroup : component->m_name;
                text += summary_entry(ind + ind + expand_operand(session, label), "", 0) + nl;
            }
        }
    }
    if (space_shown) text += nl + "${tool_selection_space_req}" + size_text(tsd.getTotalInstallSize()) + nl;
    if (shows_download_size(session, mode))
        text += "${tool_selection_download_space_req}" + download_size_text(tsd.getTotalDownloadSize()) + nl;
    set_property(session, "SUMMARY_INFO", expand_operand(session, text));
    return 0;
}

int lumo_select_actions_register(session_t* session) {
    return actions_register_table(session, {
        {"lumo_tool_selection_dialog_act", lumo_tool_selection_dialog_act},
        {"lumo_set_summary_text", lumo_set_summary_text},
    });
}
