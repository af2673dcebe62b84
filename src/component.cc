#include "component.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cond.h"
#include "console.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "productxml.h"
#include "utils.h"

namespace {

// The skip answers of one bulk walk; see SkipCache. A generation of 0 is never live.
uint64_t g_skip_generation = 0;
int g_skip_depth = 0;
uint64_t g_size_walk = 0;  // numbers the size walks; see Component::sizeWalk

bool list_has_entry(const std::string& list, const std::string& entry) {
    return (";" + list + ";").find(";" + entry + ";") != std::string::npos;
}

// Whether a silent run's COMPONENTS wants the node: named, or chosen by default with DEFAULTS in
// the list. A product is wanted when one of its components is, so that the product a list names
// components of is shown and counted as taking part, not left out for not being named itself.
bool named_in_components(const Component& node, const std::string& components) {
    if (node.m_abbr.empty()) return true;
    if (node.m_defaultSelected && list_has_entry(components, "DEFAULTS")) return true;
    if (list_has_entry(components, node.m_abbr)) return true;
    for (const Component* child : node.subcomponents()) {
        if (named_in_components(*child, components)) return true;
    }
    return false;
}

bool has_property(session_t* session, const char* name) { return session && env_exists(session, std::string(name)); }

std::string property(session_t* session, const char* name) {
    return session ? env_get_string(session, std::string(name)) : std::string();
}

// Writes the lines beside the file and renames them over it after fsync: a crash or a full disk
// leaves the old database or the new one, never a truncated one. An empty list removes the file.
bool write_lines_atomically(const std::string& file, const std::vector<std::string>& lines) {
    if (lines.empty()) return remove(file.c_str()) == 0 || !exists(file);
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    std::string temp = file + ".XXXXXX";
    fd_owner out{mkstemp(temp.data())};
    if (out.fd < 0) return false;
    const bool written = fchmod(out.fd, 0644) == 0 && fd_write_all(out.fd, text) && fsync(out.fd) == 0 &&
                         rename(temp.c_str(), file.c_str()) == 0;
    if (!written) unlink(temp.c_str());
    return written;
}

// The database's lines; false when the file exists but cannot be read (a missing file is empty).
bool read_lines(const std::string& file, std::vector<std::string>& lines) {
    lines.clear();
    if (!exists(file)) return true;
    std::string text;
    if (!is_file(file) || get_file(file, text, 1) != 0) return false;
    for (const std::string& line : splitString(text, "\n", false)) {
        if (!line.empty()) lines.push_back(line);
    }
    return true;
}

}  // namespace

int get_lumo_mode(session_t* session) {
    const std::string mode = property(session, "LUMO_MODE");
    if (mode == "uninstall") return lumo_mode_uninstall;
    if (mode == "modify") return lumo_mode_modify;
    if (mode == "repair") return lumo_mode_repair;
    return lumo_mode_install;
}

bool is_online_installer_mode(session_t* session) { return property(session, "ONLINE_INSTALLER_MODE") == "1"; }

std::string base_user_dir(session_t* session) {
    const std::string platform = property(session, "LUMO_PLATFORM");
    std::string result;
    if (platform == "Windows") {
        result = "C:\\Program Files (x86)\\Vexan\\";
    } else if (platform == "Linux" || platform == "Mac") {
        const char* home = getenv("HOME");
        if (geteuid() == 0) {
            result = "/opt/vexan/";
        } else if (!home || !*home) {
            // Names are glued onto this folder, so it keeps its separator.
            error("base_user_dir: HOME environment variable is not set, /tmp directory will be used");
            result = "/tmp/";
        } else {
            result = std::string(home) + "/vexan/";
        }
    }
    print_log("base_user_dir: result is %s", result.c_str());
    return result;
}

SkipCache::SkipCache() {
    if (g_skip_depth++ == 0) ++g_skip_generation;
}

SkipCache::~SkipCache() { --g_skip_depth; }

bool Component::getSelected() const {
    if (!isProduct()) return m_selected;
    for (const Component* child : m_subcomponents) {
        if (!child->isSkipped() && child->getSelected()) return true;
    }
    return false;
}

bool Component::getInstalled() const {
    if (!isProduct()) return m_installed;
    bool any = false;
    for (const Component* child : m_subcomponents) {
        if (child->isSkipped()) continue;
        if (!child->getInstalled()) return false;
        any = true;
    }
    return any;
}

void Component::setSelected(bool selected) {
    if (isProduct()) {
        print_log("Component::setSelected: cannot set value for product '%s'", m_name.c_str());
        return;
    }
    m_selected = selected;
    print_log("Component::setSelected: component with name '%s' is %s.", m_name.c_str(),
              selected ? "selected" : "not selected");
}

void Component::setInstalled(bool installed) {
    if (isProduct()) {
        print_log("Component::setInstalled: cannot set value for product '%s'", m_name.c_str());
        return;
    }
    print_log("Component::setInstalled: old value=%d, new value=%d for component %s", m_installed ? 1 : 0,
              installed ? 1 : 0, m_name.c_str());
    m_installed = installed;
}

void Component::addSubcomponent(std::unique_ptr<Component> component) {
    if (!component) {
        LOG_NULL_PARAM();
        return;
    }
    component->m_parent = this;
    if (!component->m_session) component->m_session = m_session;
    if (!component->m_context) component->m_context = m_context;
    m_subcomponents.push_back(component.get());
    m_owned.push_back(std::move(component));
}

Component* Component::getSubcomponentByDynId(int id) const {
    for (Component* child : m_subcomponents) {
        if (child->m_dynId == id) return child;
    }
    return nullptr;
}

Component* Component::getSubcomponentByDepId(int id) const {
    for (Component* child : m_subcomponents) {
        if (child->m_depId == id) return child;
    }
    return nullptr;
}

void Component::setType(const char* type) {
    if (!type || !*type) return;
    m_type = type;
    if (!m_context || !m_context->create_provider) return;
    m_provider = m_context->create_provider(m_session, m_type);
    if (!m_provider) return;
    for (ContentsProvider* known : m_context->providers) {
        if (known == m_provider) return;
    }
    m_context->providers.push_back(m_provider);
}

namespace {

// Whether a component has a third party description to count or measure; logs why not under the
// caller's name.
bool has_third_party_description(const Component& component, const char* caller) {
    if (!component.isThirdPartyComponent()) {
        print_log("%s: component '%s' is not third party", caller, component.m_name.c_str());
        return false;
    }
    if (!component.getThirdPartyComponentDescription()) {
        warn("%s: m_thirdPartyComponentDescription is NULL, looks like we have no Internet access", caller);
        return false;
    }
    return true;
}

}  // namespace

int Component::thirdPartyFilesToDownloadCount() const {
    if (!has_third_party_description(*this, "Component::thirdPartyFilesToDownloadCount")) return 0;
    return m_context && m_context->third_party_count ? m_context->third_party_count(m_thirdPartyComponentDescription)
                                                     : 0;
}

int64_t Component::thirdPartyFilesToDownloadSize() const {
    if (!has_third_party_description(*this, "Component::thirdPartyFilesToDownloadSize")) return 0;
    return m_context && m_context->third_party_size ? m_context->third_party_size(m_thirdPartyComponentDescription)
                                                    : 0;
}

int Component::countNotSkippedComponents() const {
    int count = 0;
    for (const Component* child : m_subcomponents) {
        if (!child->isSkipped()) ++count;
    }
    print_log("count_components: component '%s', count = %d", m_name.c_str(), count);
    return count;
}

int Component::countVisibleSubcomponents() const {
    print_log("countVisibleSubcomponents: started for product '%s'", m_name.c_str());
    int count = 0;
    for (const Component* child : m_subcomponents) {
        if (!child->isSkipped() && !child->m_invisible) ++count;
    }
    print_log("countVisibleSubcomponents: count = %d", count);
    return count;
}

int Component::countVisibleInstalledSubcomponents() const {
    print_log("countVisibleInstalledSubcomponents: started for product '%s'", m_name.c_str());
    int count = 0;
    for (const Component* child : m_subcomponents) {
        if (!child->m_invisible && child->getInstalled() && !child->isSkipped()) ++count;
    }
    print_log("countVisibleInstalledSubcomponents: count = %d", count);
    return count;
}

int Component::countSelectedSubcomponents(int mode, int target_to_install) const {
    const bool count_unselected = mode == lumo_mode_modify && target_to_install == 0;
    int count = 0;
    for (const Component* child : m_subcomponents) {
        if (child->m_invisible || child->isSkipped()) continue;
        if (child->getSelected() != count_unselected) ++count;
    }
    print_log("countSelectedSubcomponents: name = %s, count = %d, target_to_install = %d", m_name.c_str(), count,
              target_to_install);
    return count;
}

void Component::selectUnselectProductMandatoryComponents(int select) {
    print_log("selectUnselectProductMandatoryComponents: started for product %s", m_name.c_str());
    for (Component* child : m_subcomponents) {
        if (!child->m_mandatory || child->getSelected() == (select != 0)) continue;
        print_log("selectUnselectProductMandatoryComponents: select component '%s'", child->m_name.c_str());
        child->setSelected(select != 0);
    }
}

bool Component::isAtLeastOneProductComponentAvailable() const {
    print_log("is_at_least_one_product_component_available: start for product '%s'", m_name.c_str());
    for (const Component* child : m_subcomponents) {
        if (!child->isSkipped() && !child->m_invisible) {
            print_log("is_at_least_one_product_component_available: there is component '%s' for product '%s'",
                      child->m_name.c_str(), m_name.c_str());
            return true;
        }
    }
    print_log("is_at_least_one_product_component_available: there are no components available for product '%s'",
              m_name.c_str());
    return false;
}

bool Component::checkComponent() const {
    print_log("check_component: started for component %s", m_name.c_str());
    if (has_property(m_session, "SHARED_INSTALL") || get_lumo_mode(m_session) == lumo_mode_uninstall) return true;
    const std::string machine = get_arch();
    const std::string arch = machine == "kx64" ? "KX64" : machine == "x86_64" ? "VEXAN64" : "KX32";
    if (has_property(m_session, "download_only")) {
        print_log("check_component: skip architecture checking for download_only mode");
        return true;
    }
    if (!m_archGroup.empty() && arch != "KX32") return true;
    return m_platform.find(arch) != std::string::npos;
}

bool Component::isSkipped() const {
    if (m_abbr.empty()) return false;
    if (g_skip_depth > 0 && m_skipGeneration == g_skip_generation) return m_skipValue;
    const std::string components = property(m_session, "COMPONENTS");
    const std::string skip_list = property(m_session, "PRODUCTS_TO_SKIP");
    const bool silent = has_property(m_session, "silent");
    const int mode = get_lumo_mode(m_session);
    const std::string payload = path(m_rpmFileDir + "/" + m_nonrpmProductCode);
    bool skipped = false;

    if (!m_versionCondition.empty() && (!m_session || cond_is_true(m_versionCondition, m_session) != 1)) {
        print_log("is_skipped: component %s is skipped because the check of condition '%s' returned false",
                  m_abbr.c_str(), m_versionCondition.c_str());
        skipped = true;
    }
    if ((mode == lumo_mode_uninstall || mode == lumo_mode_repair) && !getInstalled()) {
        print_log("is_skipped: component %s is skipped because it's not installed and we're in UNINSTALL/REPAIR mode",
                  m_abbr.c_str());
        skipped = true;
    }
    // Whole entries: "db" in the list must not skip a component named "mydb".
    if (list_has_entry(skip_list, m_abbr)) {
        print_log("is_skipped: component %s is skipped because is in the skiplist", m_abbr.c_str());
        skipped = true;
    }
    if (silent && !components.empty() && components != "ALL" && !named_in_components(*this, components)) {
        print_log("is_skipped: component %s is skipped because is not contained in COMPONENTS", m_abbr.c_str());
        skipped = true;
    }
    if (mode != lumo_mode_uninstall) {
        if (!exists(payload)) {
            if (!is_online_installer_mode(m_session)) {
                print_log("is_skipped: component %s is skipped because RPM %s is not available", m_abbr.c_str(),
                          payload.c_str());
                skipped = true;
            } else if (!m_context || !m_context->product_xml ||
                       !m_context->product_xml->getFileToDownloadByFilename(m_nonrpmProductCode)) {
                print_log("is_skipped: component '%s' is skipped because RPM %s is not found in the product.xml",
                          m_abbr.c_str(), m_nonrpmProductCode.c_str());
                skipped = true;
            }
        }
        if (!m_proxyURL.empty() && !m_thirdPartyComponentDescription) {
            print_log("is_skipped: component '%s' is skipped because it is not available for download using proxyURL",
                      m_abbr.c_str());
            skipped = true;
        }
    }
    if (g_skip_depth > 0) {
        m_skipGeneration = g_skip_generation;
        m_skipValue = skipped;
    }
    return skipped;
}

bool Component::installCondition() const {
    return installConditionIn(get_lumo_mode(m_session), has_property(m_session, "LUMO_ROLLBACK"));
}

bool Component::installConditionIn(int mode, bool rollback) const {
    if (isSkipped()) return false;
    const bool sel = m_selected;
    const bool inst = getInstalled();
    const bool failed = m_downloadFailed != 0;
    switch (mode) {
    case lumo_mode_install:
        return sel && !failed && !inst;
    case lumo_mode_repair:
        return sel && !failed && inst;
    case lumo_mode_modify:
        return rollback ? !sel && !failed && inst : sel && !failed && !inst;
    default:
        return false;
    }
}

bool Component::uninstallCondition() const {
    const bool sel = m_selected;
    const bool inst = getInstalled();
    const bool full = property(m_session, "FULL_UNINSTALL") == "yes";
    const bool rollback = has_property(m_session, "LUMO_ROLLBACK");
    switch (get_lumo_mode(m_session)) {
    case lumo_mode_install:
        return rollback && (sel || full) && !inst;
    case lumo_mode_uninstall:
        return (sel || full) && inst;
    case lumo_mode_modify:
        return rollback ? (sel || full) && !inst : (!sel || full) && inst;
    default:
        return false;
    }
}

int Component::checkFullInstallOrUninstall() const {
    const int mode = get_lumo_mode(m_session);
    const bool rollback = has_property(m_session, "LUMO_ROLLBACK");
    bool full_install = mode != lumo_mode_uninstall;
    bool full_uninstall =
        mode == lumo_mode_uninstall || mode == lumo_mode_modify || (mode == lumo_mode_install && rollback);
    print_log("isFullInstallUninstall: start for product %s", m_name.c_str());
    for (const Component* child : m_subcomponents) {
        const bool sel = child->getSelected();
        const bool inst = child->getInstalled();
        if (!child->isSkipped()) {
            if (mode == lumo_mode_modify && sel && inst) {
                full_uninstall = false;
                print_log("isFullInstallUninstall: not full uninstall because of component %s", child->m_name.c_str());
            }
            if (!sel && mode != lumo_mode_uninstall) {
                full_install = false;
                print_log("isFullInstallUninstall: not full install because of component %s", child->m_name.c_str());
            }
            if (mode == lumo_mode_install && inst) {
                if (rollback) {
                    full_uninstall = false;
                    print_log("isFullInstallUninstall: not full uninstall because of component %s",
                              child->m_name.c_str());
                }
                continue;
            }
        }
        if (mode == lumo_mode_uninstall && !sel && inst) {
            full_uninstall = false;
            print_log("isFullInstallUninstall: not full uninstall because of component %s", child->m_name.c_str());
        }
    }
    print_log("isFullInstallUninstall: finished with full uninstall=%d and full install=%d", full_uninstall ? 1 : 0,
              full_install ? 1 : 0);
    return (full_install ? 1 : 0) | (full_uninstall ? 2 : 0);
}

// Each node is counted once however many paths reach it. The walk keeps its own stack, so a long
// dependency chain cannot exhaust the call stack, and numbers its marks, so no other node's marks
// need resetting first.
int64_t Component::sizeWalk(bool download) const {
    const SkipCache cache;
    // Read once: the walk asks every node it reaches.
    const int mode = get_lumo_mode(m_session);
    const bool rollback = has_property(m_session, "LUMO_ROLLBACK");
    auto own = [download](const Component* node) -> int64_t {
        if (node->getInstalled()) return 0;
        return download ? node->m_downloadSize : node->m_installSize;
    };
    // A fresh mark per walk: a node carries the number of the last walk that reached it.
    const uint64_t walk = ++g_size_walk;
    m_visitMark = walk;
    std::vector<const Component*> pending{this};
    int64_t total = own(this);
    while (!pending.empty()) {
        const Component* node = pending.back();
        pending.pop_back();
        auto reach = [&](const Component* next) {
            if (!next || next->m_visitMark == walk || !next->installConditionIn(mode, rollback)) return;
            next->m_visitMark = walk;
            total += own(next);
            pending.push_back(next);
        };
        for (const Component* child : node->m_subcomponents) reach(child);
        for (const auto& group : node->m_dependencies) {
            for (const Component* member : group) reach(member);
        }
    }
    return total;
}

int64_t Component::getSizeWithDependencies() const {
    const int64_t size = sizeWalk(false);
    print_log("getSizeWithDependencies: abbr: %s, size: %d", m_abbr.c_str(), static_cast<int>(size));
    return size;
}

int64_t Component::getDownloadSizeWithDependencies() const { return sizeWalk(true); }

void Component::setAllComponentsTmpValue(int value) {
    m_tmpValue = value;
    for (Component* child : m_subcomponents) child->setAllComponentsTmpValue(value);
}

std::string Component::getUserFriendlySizeString(int64_t megabytes) {
    char text[64];
    if (megabytes < 1024) snprintf(text, sizeof(text), "%4dMB", static_cast<int>(megabytes));
    else if (megabytes < 1048576) snprintf(text, sizeof(text), "%4.1fGB", megabytes / 1024.0);
    else snprintf(text, sizeof(text), "%4.1fTB", megabytes / 1048576.0);
    return text;
}

int Component::getVerboseMode() const {
    int mode = 0;
    if (!(m_invisible && m_archGroup.empty() && property(m_session, "SHOW_INVISIBLE_COMPONENT_PROGRESS") != "yes")) {
        if (!has_property(m_session, "silent") || has_property(m_session, "VERBOSE_INSTALL")) mode |= 1;
        if (property(m_session, "gui") == "1") mode |= 2;
    }
    print_log("get_verbose_mode: mode is %s for %s", (mode & 1) ? "verbose" : "silent", m_name.c_str());
    return mode;
}

std::string Component::mediaId() const { return m_abbr.empty() ? std::to_string(m_id) : m_abbr; }

std::string Component::sharedKey() const { return m_abbr + "." + m_version + "." + m_rpmProductRelease; }

std::string Component::sharedDbFile() const {
    const std::string base = base_user_dir(m_session);
    if (base.empty()) return "";
    return base + "upk/db/history/data/shared.db";
}

int Component::addRef() {
    if (m_shared.empty()) return 0;
    const std::string file = sharedDbFile();
    const std::string dir = get_dirname(file);
    const std::string client = expand_operand(m_session, m_shared);
    const std::string key = sharedKey();
    std::vector<std::string> lines;
    if (file.empty() || !read_lines(file, lines)) {
        error("Component::addRef: unable to open file '%s'", file.c_str());
        return -1;
    }
    bool found = false;
    for (std::string& line : lines) {
        const std::vector<std::string> fields = splitString(line, ":", false);
        if (fields.empty() || fields[0] != key) continue;
        found = true;
        bool listed = false;
        for (size_t i = 1; i < fields.size(); ++i) listed = listed || fields[i] == client;
        if (listed) {
            print_log("Component::addRef: client %s already exists", client.c_str());
        } else {
            print_log("Component::addRef: adding client %s to %s", client.c_str(), key.c_str());
            line += ":" + client;
        }
        break;
    }
    if (!found) {
        print_log("Component::addRef: first client %s", client.c_str());
        lines.push_back(key + ":" + client);
    }
    if (!is_dir(dir)) folder_create(dir, 0755);
    if (!write_lines_atomically(file, lines)) {
        error("Component::addRef: unable to open file '%s'", file.c_str());
        return -1;
    }
    return 0;
}

int Component::release() {
    if (m_shared.empty()) return 0;
    const std::string file = sharedDbFile();
    const std::string dir = get_dirname(file);
    const std::string client = expand_operand(m_session, m_shared);
    const std::string key = sharedKey();
    std::vector<std::string> lines;
    // Without a readable database nobody can tell who else holds the component: answering "no
    // clients left" would remove what other products still use, so it stays.
    if (file.empty() || !read_lines(file, lines)) {
        error("Component::release: unable to open file '%s'", file.c_str());
        return 1;
    }
    std::vector<std::string> kept;
    int remaining = 0;
    for (const std::string& line : lines) {
        const std::vector<std::string> fields = splitString(line, ":", false);
        if (fields.empty() || fields[0] != key) {
            kept.push_back(line);
            continue;
        }
        std::string others;
        int count = 0;
        for (size_t i = 1; i < fields.size(); ++i) {
            if (fields[i].empty() || fields[i] == client) continue;
            others += ":" + fields[i];
            ++count;
        }
        const bool installed = m_context && m_context->find_installed && m_provider &&
                               m_context->find_installed(m_provider, m_rpmProductCode, m_nonrpmProductCode,
                                                         m_version + "." + m_rpmProductRelease);
        if (count > 0 && installed) {
            kept.push_back(key + others);
            remaining = count;
            print_log("Component::release: leaving clients %s", others.substr(1).c_str());
        } else {
            print_log("Component::release: all clients are removed");
        }
    }
    if (!write_lines_atomically(file, kept)) {
        error("Component::release: unable to open file '%s'", file.c_str());
        return remaining > 0 ? remaining : 1;
    }
    if (kept.empty()) remove_dir_if_empty(dir, 0);
    return remaining;
}

std::string get_component_name_with_size(const std::string& name, const std::string& size, int reserved) {
    const int width = get_window_width() - reserved;
    const int limit = width > 0 ? width : 1;
    std::vector<std::string> lines;
    std::string line;
    int columns = 0;
    size_t last_blank = std::string::npos;  // byte offset in line
    int columns_at_blank = 0;
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        size_t length = 1;
        if (c >= 0xF0) length = 4;
        else if (c >= 0xE0) length = 3;
        else if (c >= 0xC0) length = 2;
        else if (c >= 0x80) print_log("unknown char");
        if (i + length > name.size()) length = name.size() - i;
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            columns = 0;
            last_blank = std::string::npos;
            ++i;
            continue;
        }
        if (columns >= limit) {
            if (last_blank != std::string::npos) {
                lines.push_back(line.substr(0, last_blank));
                line = line.substr(last_blank + 1);
                columns -= columns_at_blank + 1;
            } else {
                lines.push_back(line);
                line.clear();
                columns = 0;
            }
            last_blank = std::string::npos;
        }
        if (c == ' ') {
            last_blank = line.size();
            columns_at_blank = columns;
        }
        line.append(name, i, length);
        ++columns;
        i += length;
    }
    lines.push_back(line);
    std::string result;
    for (size_t n = 0; n < lines.size(); ++n) {
        result += lines[n];
        if (n == 0) {
            std::string padded = size;
            while (static_cast<int>(padded.size()) < reserved) padded = " " + padded;
            // The size sits in the reserved columns right after the first line's own width.
            int used = 0;
            for (unsigned char ch : lines[0]) used += (ch & 0xC0) != 0x80;
            result += std::string(limit > used ? limit - used : 0, ' ') + padded;
        }
        result += "\n";
    }
    return result;
}
