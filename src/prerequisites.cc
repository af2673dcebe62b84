#include "prerequisites.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>

#include "actions.h"
#include "cond.h"
#include "console.h"
#include "contentsprovider.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "payload.h"
#include "store.h"
#include "utils.h"

namespace {

constexpr const char* dialog_data_id = "prerequisite_dialog";
constexpr size_t full_text_template_max = 4095;  // longest generated "package not detected" text
constexpr int64_t megabyte = 1048576;

std::string property(session_t* session, const std::string& name) { return env_get_string(session, name); }

// The pieces of a ";"-list with the empty ones dropped.
std::vector<std::string> entries(const std::string& list) { return splitString(list, ";", false); }

// Whether tag is a whole entry of the ";"-list.
bool list_has(const std::string& list, const std::string& tag) {
    return !tag.empty() && (";" + list + ";").find(";" + tag + ";") != std::string::npos;
}

std::string key_or_empty(const node_t& node, const char* name) {
    const std::string* value = xml_node_find_key(&node, name);
    return value ? *value : std::string();
}

std::string other_arch(const std::string& arch) { return arch == "KX32" ? "VEXAN64" : "KX32"; }
std::string arch_display(const std::string& arch) { return arch == "KX32" ? "KX-32" : "Vexan(R) 64"; }

// A definition naming the system's release file reads LUMO_OS_RELEASE_FILE instead when that is set.
std::string release_text(session_t* session, const std::string& file) {
    const std::string fixture = property(session, "LUMO_OS_RELEASE_FILE");
    if (!fixture.empty() && (file == "/etc/os-release" || file == "/usr/lib/os-release")) {
        print_log("prerequisites_check_os_release_files: reading %s in place of %s", fixture.c_str(), file.c_str());
        return get_file_or_command(fixture.c_str());
    }
    return get_file_or_command(file.c_str());
}

// Package names go to rpm and dpkg-query as one argument each, so no shell sees them; a name is
// still refused when it could be read as an option or as a pattern matching other packages.
bool package_name_valid(const std::string& name) {
    if (name.empty() || name[0] == '-') return false;
    for (const char c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("+-._:~", c)) return false;
    }
    return true;
}

// "name-1.2.tgz" stands for package "name" at version 1.2; an archive named just "name.tgz" for
// the package at an unknown version.
bool archive_matches(const std::string& id, const std::string& package, std::string* version) {
    std::string stem = id;
    for (const char* ext : {".tar.gz", ".tgz", ".tar"}) {
        const size_t n = strlen(ext);
        if (stem.size() > n && stem.compare(stem.size() - n, n, ext) == 0) {
            stem.resize(stem.size() - n);
            break;
        }
    }
    if (stem == package) {
        version->clear();
        return true;
    }
    if (stem.size() > package.size() + 1 && stem.compare(0, package.size() + 1, package + "-") == 0 &&
        isdigit(static_cast<unsigned char>(stem[package.size() + 1]))) {
        *version = stem.substr(package.size() + 1);
        return true;
    }
    return false;
}

// Versions of the package installed through the system's package database; none when the tool
// could not be run (logged), so a missing tool never passes for an installed package. A version is taken only from a query that succeeded, and for dpkg only
// from a package that is installed (not one removed with its configuration files left).
std::vector<std::string> system_versions(session_t* session, const std::string& package, bool rpm) {
    std::vector<std::string> argv;
    if (rpm) {
        argv = {"rpm"};
        const std::string dbpath = property(session, "RPM_DBPATH");
        if (!dbpath.empty()) argv.insert(argv.end(), {"--dbpath", dbpath});
        argv.insert(argv.end(), {"-q", "--qf", "%{VERSION}\n", package});
    } else {
        argv = {"dpkg-query", "-W", "-f", "${Status}\t${Version}\n", package};
    }
    print_log("prerequisites_check_package: query is %s", payload_command_text(argv).c_str());
    std::string output;
    const int status = payload_run(argv, "", &output);
    print_log("prerequisites_check_package: query output is %s", output.c_str());
    print_log("prerequisites_check_package: exit code is %d", status);
    std::vector<std::string> versions;
    if (status < 0) {
        error("prerequisites_check_package: %s could not be run, package %s is taken as not installed",
              argv[0].c_str(), package.c_str());
        return versions;
    }
    if (status != 0) return versions;
    for (const std::string& line : splitString(output, "\n", false)) {
        if (rpm) {
            versions.push_back(trimSpaces(line));
            continue;
        }
        const size_t tab = line.find('\t');
        const std::vector<std::string> state = splitString(line.substr(0, tab), " ", false);
        if (tab == std::string::npos || state.size() < 3 || state[2] != "installed") continue;
        // The Debian revision after the first "-" is not part of the version compared.
        const std::string version = line.substr(tab + 1);
        versions.push_back(version.substr(0, version.find('-')));
    }
    return versions;
}

std::vector<prerequisites_list_t>* dialog_list(session_t* session) {
    return static_cast<std::vector<prerequisites_list_t>*>(session_get_cdata(session, dialog_data_id));
}

// The mount point of the file system that holds the path's nearest existing ancestor, its device
// and the megabytes free there for an ordinary user; false when nothing of the path exists.
struct partition_t {
    std::string name;
    dev_t device = 0;
    int64_t free_mb = 0;
};
bool find_partition(const std::string& path_in, partition_t* out) {
    std::string current = path_resolve(path_in);
    struct stat st;
    while (!current.empty() && stat(current.c_str(), &st) != 0) {
        const std::string parent = get_dirname(current);
        if (parent == current) return false;
        current = parent;
    }
    if (current.empty()) return false;
    struct statvfs fs;
    if (statvfs(current.c_str(), &fs) != 0) return false;
    out->device = st.st_dev;
    out->free_mb = static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize) / megabyte;
    while (current != "/") {
        const std::string parent = get_dirname(current);
        struct stat up;
        if (parent.empty() || stat(parent.c_str(), &up) != 0 || up.st_dev != st.st_dev) break;
        current = parent;
    }
    out->name = current;
    return true;
}

struct kind_t {
    int critical;  // 1 for the critical kind
    const char* total;
    const char* title;
    const char* next_dialog;
    const char* summary_stat;
    const char* summary;
};
const kind_t critical_kind = {1, "C_TOTAL", "prerequisite_critical_title", "prerequisite_next_dialog_c_opt",
                              "prerequisite_critical_summary_stat_text", "PREREQUISITE_CRITICAL_SUMMARY_TEXT"};
const kind_t optional_kind = {0, "O_TOTAL", "prerequisite_optional_title", "prerequisite_next_dialog_o_opt",
                              "prerequisite_optional_summary_stat_text", "PREREQUISITE_OPTIONAL_SUMMARY_TEXT"};

bool of_kind(const prerequisites_list_t& issue, const kind_t& kind) { return (issue.severity != 0) == (kind.critical != 0); }

int prepare_summary(session_t* session, const kind_t& kind) {
    const std::vector<prerequisites_list_t>* list = dialog_list(session);
    if (!list) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::string text = expand_operand(session, std::string("${") + kind.summary_stat + "}") + "\n";
    for (const prerequisites_list_t& issue : *list) {
        if (of_kind(issue, kind)) text += "-- " + issue.short_text + "\n";
    }
    text += expand_operand(session, std::string("${DASHES_STRING}"));
    env_set_string(session, kind.summary, list->empty() ? "" : text);
    env_set_string(session, "E_INDEX", "-1");
    return 0;
}

int dialog_pre(session_t* session, const kind_t& kind) {
    const std::vector<prerequisites_list_t>* list = dialog_list(session);
    if (!list) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!env_exists(session, "E_INDEX")) {
        if (kind.critical) error("lumo_prepare_prerequisites_critical_dialog_pre: prerequisite_e_index is null");
        else error("lumo_prepare_prerequisites_optional_dialog_pre: prerequisite_e_index is null");
        return -1;
    }
    if (!env_exists(session, kind.total)) {
        if (kind.critical) error("lumo_prepare_prerequisites_critical_dialog_pre: prerequisite_c_total is null");
        else error("lumo_prepare_prerequisites_optional_dialog_pre: prerequisite_o_total is null");
        return -1;
    }
    env_set_string(session, "PREREQUISITE_TODO", "");
    int index = strtoint(property(session, "E_INDEX"));
    if (index == -1) {
        for (const prerequisites_list_t& issue : *list) {
            if (of_kind(issue, kind)) {
                index = issue.index;
                break;
            }
        }
        env_set_string(session, "E_INDEX", inttostr(index));
    }
    // The "next dialog" label belongs to the last issue of this kind, wherever the other kind's
    // issues and dropped duplicates put it in the numbering.
    int last = -1;
    for (const prerequisites_list_t& issue : *list) {
        if (of_kind(issue, kind)) last = issue.index;
    }
    env_set_string(session, "PREREQUISITE_TITLE", expand_operand(session, std::string("${") + kind.title + "}"));
    const char* next = index == last ? kind.next_dialog : "prerequisite_next_issue_opt";
    env_set_string(session, "PREREQUISITE_NEXT", expand_operand(session, std::string("${") + next + "}"));
    return prepare_prerequisite_dialog(session, *list, index);
}

int dialog_post(session_t* session, const kind_t& kind) {
    const std::vector<prerequisites_list_t>* list = dialog_list(session);
    if (!list || !env_exists(session, "E_INDEX") || !env_exists(session, "HANDLE")) {
        LOG_NULL_PARAM();
        return -1;
    }
    env_set_string(session, "PREREQUISITE_TODO", "");
    const int current = strtoint(property(session, "E_INDEX"));
    const std::string handle = property(session, "HANDLE");
    if (handle == "1") {
        for (const prerequisites_list_t& issue : *list) {
            if (of_kind(issue, kind) && issue.index > current) {
                env_set_string(session, "E_INDEX", inttostr(issue.index));
                return 0;
            }
        }
        env_set_string(session, "PREREQUISITE_TODO", "finish");
    } else if (handle == "2") {
        env_set_string(session, "E_INDEX", "-1");
        env_set_string(session, "PREREQUISITE_TODO", "back");
    } else if (handle == expand_operand(session, expand_operand(session, std::string("${back}")))) {
        int previous = -1;
        for (const prerequisites_list_t& issue : *list) {
            if (of_kind(issue, kind) && issue.index < current) previous = issue.index;
        }
        env_set_string(session, "E_INDEX", inttostr(previous));
        if (previous == -1) env_set_string(session, "PREREQUISITE_TODO", "back");
    }
    return 0;
}

std::string quoted(const std::string& text) { return "\\\"" + text + "\\\""; }

}  // namespace

prerequisites_t* prerequisites_data(session_t* session) {
    if (!session) return nullptr;
    if (!session->prereq) session->prereq = std::make_unique<prerequisites_t>();
    return session->prereq.get();
}

std::string prerequisites_format_two(const std::string& format, const std::string& first, const std::string& second) {
    std::string out;
    int used = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's' && used < 2) {
            out += used++ == 0 ? first : second;
            ++i;
        } else if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
        } else {
            out += format[i];
        }
    }
    return out;
}

int prerequisites_read_config(session_t* session, const char* component, const char* file) {
    if (!component) {
        error("prerequisites_read_config: component is null");
        return -1;
    }
    if (!file) {
        error("prerequisites_read_config: file is null");
        return -1;
    }
    prerequisites_t* data = prerequisites_data(session);
    if (!data || !session->store) {
        LOG_NULL_PARAM();
        return -1;
    }
    // A file included twice (or including itself) is read once: every product in it would
    // otherwise be checked again, or the loading would never end.
    const std::string name = std::string(component) + "::" + file;
    for (const std::string& known : data->xml_names) {
        if (known == name) {
            print_log("prerequisites_read_config: %s was already read", name.c_str());
            return 0;
        }
    }
    std::string content;
    auto doc = std::make_unique<document_t>();
    if (store_file_get_content(session->store.get(), component, file, content) < 0 ||
        xml_parse(content.c_str(), doc.get()) != 0) {
        error("prerequisites_read_config: can't read %s::%s.", component, file);
        return -1;
    }
    data->xmls.push_back(std::move(doc));
    data->xml_names.push_back(name);
    return 0;
}

int prerequisites_proceed_os_node(session_t* session, int, const node_t* node) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || !node) {
        LOG_NULL_PARAM();
        return -1;
    }
    prerequisites_os_def_t def;
    const struct {
        const char* name;
        std::string prerequisites_os_def_t::*field;
    } fields[] = {{"tag", &prerequisites_os_def_t::tag},           {"release", &prerequisites_os_def_t::release},
                  {"file1", &prerequisites_os_def_t::file1},       {"file2", &prerequisites_os_def_t::file2},
                  {"content1", &prerequisites_os_def_t::content1}, {"content2", &prerequisites_os_def_t::content2},
                  {"fakes", &prerequisites_os_def_t::fakes},       {"help", &prerequisites_os_def_t::help},
                  {"family", &prerequisites_os_def_t::family}};
    for (const auto& f : fields) def.*f.field = key_or_empty(*node, f.name);
    print_log("prerequisites_proceed_os_node: %s definition loaded", def.tag.c_str());
    data->os_defs.push_back(def);
    return 0;
}

int prerequisites_proceed_supported_os_list_node(session_t* session, int product, const node_t* node) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || !node || product < 0 || product >= static_cast<int>(data->products.size())) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!env_exists(session, "ARCH")) {
        error("prerequisites_proceed_supported_os_list_node: my_arch is null");
        return -1;
    }
    const std::string arch = property(session, "ARCH");
    std::string arch_list, os_list;
    for (const xml_key_t& key : node->keys) {
        if (key.name == "arch") arch_list = key.value;
        else if (key.name == "list") os_list = key.value;
        else print_log("prerequisites_proceed_supported_os_list_node: ERROR: unexpected attribute %s", key.name.c_str());
    }
    prerequisites_product_t& p = data->products[static_cast<size_t>(product)];
    for (const std::string& tag : entries(arch_list)) {
        std::string* list = nullptr;
        bool* has = nullptr;
        if (tag == arch) {
            print_log("prerequisites_proceed_supported_os_list_node: found the list os OSes for the current architecture");
            list = &p.native;
            has = &p.has_native;
        } else if (tag == other_arch(arch)) {
            print_log("prerequisites_proceed_supported_os_list_node: found the list os OSes for the other architecture");
            list = &p.foreign;
            has = &p.has_foreign;
        } else {
            continue;
        }
        if (*has)
            print_log("prerequisites_proceed_supported_os_list_node: WARNING: supported OS list was already defined: %s",
                      list->c_str());
        *list = os_list;
        *has = true;
    }
    return 0;
}

int prerequisites_proceed_required_node(session_t* session, int product, const node_t* node) {
    if (!node) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!xml_node_find_key(node, "package")) {
        print_log("prerequisites_proceed_required_node: ERROR: unknown \"required\" node");
        return 0;
    }
    return prerequisites_proceed_package_node(session, product, node);
}

int prerequisites_proceed_package_node(session_t* session, int product, const node_t* node) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || !node) {
        LOG_NULL_PARAM();
        return -1;
    }
    prerequisites_pkg_def_t def;
    def.product = product;
    for (const xml_key_t& key : node->keys) {
        if (key.name == "package") def.package = key.value;
        else if (key.name == "version") def.version = env_replace_tags(key.value);
        else if (key.name == "condition") def.condition = key.value;
        else if (key.name == "rpm") def.rpm = strtoint(key.value);
        else if (key.name == "severity") def.severity = strtoint(key.value);
        else if (key.name == "short_desc") def.short_desc = key.value;
        else if (key.name == "full_desc") def.full_desc = key.value;
        else if (key.name == "flag") def.flag = key.value;
        else if (key.name != "title")
            print_log("prerequisites_proceed_package_node: ERROR: unexpected attribute %s", key.name.c_str());
    }
    const int index = static_cast<int>(data->pkg_defs.size());
    if (def.short_desc.empty()) def.short_desc = "prerequisite_package_not_detected_short";
    if (def.full_desc.empty()) {
        def.full_desc = "prerequisite_package_not_detected_full_" + inttostr(index);
        std::string text = prerequisites_format_two(property(session, "prerequisite_package_not_detected_full_temp"),
                                                    def.package, def.version);
        if (text.size() > full_text_template_max) {
            print_log("prerequisites_proceed_package_node: text of %s cut to %d characters", def.full_desc.c_str(),
                      static_cast<int>(full_text_template_max));
            text.resize(full_text_template_max);
        }
        env_set_string(session, def.full_desc, text);
    }
    print_log("prerequisites_proceed_package_node: package %s with version condition %s will be required",
              def.package.c_str(), def.version.c_str());
    data->pkg_defs.push_back(def);
    return 0;
}

int prerequisites_init_data(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("prerequisites_init_data: started");
    // A new load starts from nothing but the dialogs' issue list, which named data points at.
    prerequisites_t* data = prerequisites_data(session);
    std::vector<prerequisites_list_t> dialog = std::move(data->dialog);
    *data = prerequisites_t();
    data->dialog = std::move(dialog);
    // A definitions file that cannot be read has been reported; the load goes on without it, as
    // for an included one, and the checks then find nothing to judge.
    prerequisites_read_config(session, lumo_internal_component, "prerequisites_prod_def.xml");
    // Included documents are appended to xmls while it is walked: index, not iterators.
    for (size_t d = 0; d < data->xmls.size(); ++d) {
        print_log("prerequisites_init_data: processing XML file #%d", static_cast<int>(d));
        if (data->xmls[d]->nodes.empty() || data->xmls[d]->nodes[0].childs_count <= 0) continue;
        const std::vector<node_t> products = data->xmls[d]->nodes[0].childs;  // stays put while xmls grows
        for (const node_t& entry : products) {
            prerequisites_product_t product;
            const std::string* name = xml_node_find_key(&entry, "name");
            product.named = name != nullptr;
            if (name) product.name = *name;
            print_log("prerequisites_init_data: started processing prerequisites for %s product",
                      name ? name->c_str() : "unnamed");
            const int p = static_cast<int>(data->products.size());
            data->products.push_back(product);
            if (entry.childs_count <= 0) continue;
            for (const node_t& child : entry.childs) {
                if (child.name == "os") {
                    prerequisites_proceed_os_node(session, p, &child);
                } else if (child.name == "supported_os") {
                    prerequisites_proceed_supported_os_list_node(session, p, &child);
                } else if (child.name == "required") {
                    prerequisites_proceed_required_node(session, p, &child);
                } else if (child.name == "package") {
                    prerequisites_proceed_package_node(session, p, &child);
                } else if (child.name == "include") {
                    const std::string file = key_or_empty(child, "file");
                    print_log("prerequsites_init_data: inclusion of %s file", file.c_str());
                    const std::string* component = xml_node_find_key(&child, "component");
                    const std::string* file_key = xml_node_find_key(&child, "file");
                    prerequisites_read_config(session, component ? component->c_str() : nullptr,
                                              file_key ? file_key->c_str() : nullptr);
                }
            }
        }
    }
    print_log("prerequisites_init_data: the following products have defined prerequisites:");
    for (size_t p = 0; p < data->products.size(); ++p)
        print_log("%d=%s", static_cast<int>(p),
                  data->products[p].named ? data->products[p].name.c_str() : "name is not defined");
    print_log("prerequisites_init_data: finished");
    return 0;
}

int prerequisites_check_os_release_files(session_t* session, int index) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || index < 0 || index >= static_cast<int>(data->os_defs.size())) {
        LOG_NULL_PARAM();
        return 0;
    }
    const prerequisites_os_def_t os = data->os_defs[static_cast<size_t>(index)];
    const std::string file1 = os.file1.empty() ? "" : release_text(session, os.file1);
    const std::string file2 = os.file2.empty() ? "" : release_text(session, os.file2);
    print_log("prerequisites_check_os_release_files: checking os %s, file1_content=%s, file2_content=%s",
              os.tag.c_str(), file1.c_str(), file2.c_str());
    if (file1.empty()) return 0;
    print_log("prerequisites_check_os_release_files: file1 (%s) found", os.file1.c_str());
    const auto has = [](const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; };
    bool detected = false;
    if (!os.file2.empty() && !file2.empty() && !os.content1.empty() && !os.content2.empty()) {
        print_log("prerequisites_check_os_release_files: file2 (%s) also found", os.file2.c_str());
        detected = has(file1, os.content1) && has(file2, os.content2);
        if (detected)
            print_log("prerequisites_check_os_release_files: file1 contains %s and file2 contains %s => OS detected",
                      os.content1.c_str(), os.content2.c_str());
    } else {
        print_log("prerequisites_check_os_release_files: file2 is either not defined or not exists");
        if (!os.content1.empty() && has(file1, os.content1)) {
            print_log("prerequisites_check_os_release files: file1 contains %s", os.content1.c_str());
            if (os.content2.empty()) {
                print_log("prerequisites_check_os_release_files: content2 is empty => OS detected");
                detected = true;
            } else if (has(file1, os.content2)) {
                print_log("prerequisites_check_os_release_files: file1 contains %s and %s => OS detected",
                          os.content1.c_str(), os.content2.c_str());
                detected = true;
            } else {
                print_log("prerequisites_check_os_release_files: file1 contains %s but does not contain %s => OS NOT "
                          "detected",
                          os.content1.c_str(), os.content2.c_str());
            }
        }
    }
    if (!detected) return 0;
    print_log("prerequisites_check_os_release_files: detected %s", os.tag.c_str());
    env_set_string(session, "OS_ABBR", os.tag);
    env_set_string(session, "OS_NAME", os.release);
    if (!os.help.empty()) env_set_string(session, "OS_HELP_PTR", os.help);
    if (!os.fakes.empty() && prerequisites_check_fakes(session, index, os.fakes) == 1) return 1;
    if (!list_has(data->detected_os, os.tag)) data->detected_os += os.tag + ";";
    env_set_string(session, "LUMO_DETECTED_OS_ABBRS", data->detected_os);
    if (!os.help.empty()) data->detected_help = os.help;
    return 1;
}

int prerequisites_check_fakes(session_t* session, int index, const std::string& fakes) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data) {
        LOG_NULL_PARAM();
        return 0;
    }
    for (const std::string& fake : entries(fakes)) {
        print_log("prerequisites_check_fakes: looking for %s from fakelist", fake.c_str());
        // Only definitions after this one: a chain of fakes always moves on and ends.
        for (size_t j = static_cast<size_t>(index) + 1; j < data->os_defs.size(); ++j) {
            if (data->os_defs[j].tag.compare(0, fake.size(), fake) != 0) continue;
            if (prerequisites_check_os_release_files(session, static_cast<int>(j)) == 1) return 1;
        }
    }
    return 0;
}

int prerequisites_report_issue(session_t* session, int product, int severity, const std::string& short_key,
                               const std::string& full_key) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("prerequisites_report_issue: reporting issue with severity %d, short_desc %s and full_desc %s", severity,
              short_key.c_str(), full_key.c_str());
    std::string key = short_key;
    if (product >= 0 && product < static_cast<int>(data->products.size()) &&
        data->products[static_cast<size_t>(product)].named) {
        key = short_key + "_" + inttostr(product);
        env_set_string(session, key, data->products[static_cast<size_t>(product)].name + ": " + property(session, short_key));
    }
    env_cat_string(session, "SIGNIFICANCE", ";" + inttostr(severity));
    env_cat_string(session, "SHORT_DESC", ";" + key);
    env_cat_string(session, "FULL_DESC", ";" + full_key);
    return 0;
}

int prerequisites_report_package_issue(session_t* session, int index) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || index < 0 || index >= static_cast<int>(data->pkg_defs.size())) {
        LOG_NULL_PARAM();
        return -1;
    }
    const prerequisites_pkg_def_t& def = data->pkg_defs[static_cast<size_t>(index)];
    return prerequisites_report_issue(session, def.product, def.severity, def.short_desc, def.full_desc);
}

std::string prerequisites_prepare_supported_os_list(session_t* session, int product) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || product < 0 || product >= static_cast<int>(data->products.size())) return "";
    const prerequisites_product_t& p = data->products[static_cast<size_t>(product)];
    const std::string arch = property(session, "ARCH");
    std::map<std::string, std::vector<std::string>> families;
    const auto add = [&](const std::string& tag, const std::string& suffix) {
        for (const prerequisites_os_def_t& os : data->os_defs) {
            if (os.tag.compare(0, tag.size(), tag) != 0) continue;
            if (!os.release.empty() && !os.family.empty()) families[os.family].push_back(os.release + suffix);
            return;
        }
    };
    for (const std::string& tag : entries(p.foreign)) {
        if (!list_has(p.native, tag)) add(tag, " (" + arch_display(other_arch(arch)) + ")");
    }
    for (const std::string& tag : entries(p.native))
        add(tag, list_has(p.foreign, tag) ? "" : " (" + arch_display(arch) + ")");
    const bool gui = env_exists(session, "gui");
    std::string text = gui ? "&lt;ul&gt;" : "\n";
    for (const auto& family : families) {
        std::string joined;
        for (const std::string& entry : family.second) joined += (joined.empty() ? "" : ", ") + entry;
        if (gui) text += "&lt;li&gt;" + family.first + " " + joined + "&lt;/li&gt;";
        else text += "    - " + family.first + " " + joined + ";\n";
    }
    if (gui) text += "&lt;/ul&gt;";
    return text;
}

int prerequisites_os_check(session_t* session) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data) {
        LOG_NULL_PARAM();
        return -1;
    }
    int severity = 0;
    if (property(session, "OS_PREREQUISITE_SEVERITY") == "1") {
        print_log("prerequisites_os_check: check OS check severity to critical");
        severity = 1;
    }
    for (size_t i = 0; i < data->os_defs.size(); ++i) prerequisites_check_os_release_files(session, static_cast<int>(i));
    print_log("prerequisites_os_check: detected OS definitions: %s", data->detected_os.c_str());
    std::vector<std::string> reported;
    for (size_t i = 0; i < data->products.size(); ++i) {
        const prerequisites_product_t& p = data->products[i];
        // A product that names no supported systems runs on any.
        if (!p.has_native && !p.has_foreign) continue;
        bool supported = false;
        if (p.has_native) {
            for (const std::string& tag : entries(data->detected_os)) {
                if (!list_has(p.native, tag)) continue;
                print_log("prerequisites_os_check: found OS %s in the list => OS supported by %s product", tag.c_str(),
                          p.name.c_str());
                supported = true;
                break;
            }
        }
        if (supported) continue;
        if (p.named) {
            bool seen = false;
            for (const std::string& name : reported) seen = seen || name == p.name;
            if (seen) continue;
            reported.push_back(p.name);
        }
        const int index = static_cast<int>(i);
        if (!data->detected_os.empty() && !data->detected_help.empty()) {
            prerequisites_report_issue(session, index, severity, "prereq_err_os_check_short_desc", data->detected_help);
        } else {
            const std::string key = "prereq_err_os_check_full_desc_" + inttostr(index);
            env_set_string(session, key,
                           property(session, "prereq_err_os_check_full_desc") + " " +
                               prerequisites_prepare_supported_os_list(session, index));
            prerequisites_report_issue(session, index, severity, "prereq_err_os_check_short_desc", key);
        }
    }
    return 0;
}

int prerequisites_check_package(session_t* session, int index) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data || index < 0 || index >= static_cast<int>(data->pkg_defs.size())) {
        LOG_NULL_PARAM();
        return -1;
    }
    const prerequisites_pkg_def_t def = data->pkg_defs[static_cast<size_t>(index)];
    print_log("prerequisites_check_package: started with package %s", def.package.c_str());
    print_log("prerequisites_check_package: package type %d", def.rpm);
    if (!package_name_valid(def.package)) {
        error("prerequisites_check_package: package name %s is not valid, it is taken as not installed",
              def.package.c_str());
        return -1;
    }
    std::vector<std::string> versions;
    const bool is_rpm = property(session, "IS_RPM") == "yes";
    if ((is_rpm && (def.rpm == 0 || def.rpm == 1)) || (!is_rpm && (def.rpm == 0 || def.rpm == 2))) {
        versions = system_versions(session, def.package, is_rpm);
    }
    if (def.rpm == 0 || def.rpm == 5) {
        ContentsProvider* tgz = ContentsProvider::create(session, "tgz");
        if (tgz && tgz->registerAllFiles("") == 0) {
            for (const std::unique_ptr<ContentsItem>& item : tgz->contents()) {
                std::string version;
                if (item->m_status != -1 && archive_matches(item->m_id, def.package, &version)) {
                    print_log("prerequisites_check_package: %s found in the archive database", item->m_id.c_str());
                    versions.push_back(version);
                }
            }
        }
    }
    if (versions.empty()) {
        print_log("prerequisites_check_package: required package not found");
        return -1;
    }
    print_log("prerequisites_check_package: versions found");
    int result = -1;
    for (const std::string& version : versions) {
        env_set_string(session, "COEX_VERSION", version);
        if (cond_is_true(def.version, session) == 1) {
            result = 0;
            break;
        }
    }
    print_log("prerequisites_check_package: finished");
    return result;
}

int prerequisites_system_check(session_t* session) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data) {
        LOG_NULL_PARAM();
        return -1;
    }
    for (size_t i = 0; i < data->pkg_defs.size(); ++i) {
        const prerequisites_pkg_def_t& def = data->pkg_defs[i];
        if (!def.condition.empty() && cond_is_true(def.condition, session) != 1) continue;
        if (prerequisites_check_package(session, static_cast<int>(i)) == 0) continue;
        if (!def.flag.empty()) env_set_string(session, def.flag, "1");
        prerequisites_report_package_issue(session, static_cast<int>(i));
    }
    return 0;
}

int prerequisites_disk_space_check(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    const std::string dir = property(session, "LUMO_SPACE_REQUIREMENT_DIR");
    const std::string size = property(session, "LUMO_SPACE_REQUIREMENT_SIZE");
    const std::string message = property(session, "LUMO_SPACE_REQUIREMENT_MESSAGE");
    print_log("prerequisites_disk_space_check: LUMO_SPACE_REQUIREMENT_DIR=%s, LUMO_SPACE_REQUIREMENT_SIZE=%s, "
              "LUMO_SPACE_REQUIREMENT_MESSAGE=%s",
              dir.c_str(), size.c_str(), message.c_str());
    const std::vector<std::string> dirs = entries(dir), sizes = entries(size), messages = entries(message);
    if (dirs.size() != sizes.size() || dirs.size() != messages.size()) {
        error("lumo_add_space_requirement: variables LUMO_SPACE_REQUIREMENT_DIR, LUMO_SPACE_REQUIREMENT_SIZE and "
              "LUMO_SPACE_REQUIREMENT_MESSAGE contain different amount of parameters");
        return 0;
    }
    // Requests on one file system are added up: several products each asking for most of one disk
    // must not all be told it is enough.
    struct total_t {
        partition_t partition;
        int64_t needed = 0;
        std::vector<std::string> messages;
    };
    std::map<std::string, total_t> totals;
    for (size_t i = 0; i < dirs.size(); ++i) {
        const std::string folder = expand_operand(session, dirs[i]);
        char* end = nullptr;
        errno = 0;
        const long long mb = strtoll(sizes[i].c_str(), &end, 10);
        if (errno != 0 || end == sizes[i].c_str() || *end != '\0' || mb < 0) {
            error("prerequisites_disk_space_check: size %s for %s is not a number of megabytes", sizes[i].c_str(),
                  folder.c_str());
            continue;
        }
        partition_t partition;
        if (!find_partition(folder, &partition)) partition.name.clear();
        print_log("prerequisites_disk_space_check: %s is on %s with %lld MB free", folder.c_str(),
                  partition.name.c_str(), static_cast<long long>(partition.free_mb));
        total_t& total = totals[partition.name];
        total.partition = partition;
        total.needed += mb;
        total.messages.push_back(messages[i]);
    }
    const bool gui = property(session, "gui") == "1";
    const std::string indent = gui ? "&nbsp;&nbsp;&nbsp;&nbsp;" : "    ";
    const std::string line_break = gui ? "<br>" : "\n";
    std::string report;
    for (const auto& entry : totals) {
        if (entry.first.empty()) {
            error("lumo_add_space_requirement: partition was detected incorrectly. Skip this check.");
            continue;
        }
        if (entry.second.partition.free_mb >= entry.second.needed) continue;
        // Only the texts are expanded: the mount point is shown as it is.
        report += inttostr(entry.second.needed) +
                  expand_operand(session, std::string("${prerequisite_no_space_message_start}")) + " " + entry.first +
                  " " + expand_operand(session, std::string("${prerequisite_no_space_message_end}")) + line_break;
        for (std::string key : entry.second.messages) {
            while (!key.empty() && key.back() == '_') key.pop_back();
            report += indent + expand_operand(session, "${" + key + "}") + line_break;
        }
        report += line_break;
    }
    env_set_string(session, "prerequisite_no_space_generated_error", report);
    if (!report.empty()) {
        // Without a string table value the issue is still critical, and the lists stay parallel.
        std::string significance = expand_operand(session, std::string("${prerequisite_critical_significance}"));
        if (significance.empty()) significance = "1";
        env_cat_string(session, "SIGNIFICANCE", ";" + significance);
        env_cat_string(session, "SHORT_DESC", ";prerequisite_no_space_short_error");
        env_cat_string(session, "FULL_DESC", ";prerequisite_no_space_generated_error");
    }
    print_log("prerequisites_disk_space_check: finished");
    return 0;
}

int lumo_fill_prerequisites_list(session_t* session) {
    prerequisites_t* data = prerequisites_data(session);
    if (!data) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("lumo_fill_prerequisite_list: start");
    env_set_string(session, "PREREQUISITE_SHOW_CRITICAL_DIALOG", "");
    env_set_string(session, "PREREQUISITE_SHOW_OPTIONAL_DIALOG", "");
    const std::string significance = property(session, "SIGNIFICANCE");
    const std::string short_desc = property(session, "SHORT_DESC");
    const std::string full_desc = property(session, "FULL_DESC");
    print_log("lumo_fill_prerequisite_list: significance_list=%s", significance.c_str());
    print_log("lumo_fill_prerequisite_list: short_desc_list=%s", short_desc.c_str());
    print_log("lumo_fill_prerequisite_list: full_desc_list=%s", full_desc.c_str());
    const std::vector<std::string> sig = entries(significance), shorts = entries(short_desc), fulls = entries(full_desc);
    print_log("lumo_fill_prerequisite_list: tokens count: significance=%d, short_desc=%d, full_desc=%d",
              static_cast<int>(sig.size()), static_cast<int>(shorts.size()), static_cast<int>(fulls.size()));
    if (sig.size() != shorts.size() || sig.size() != fulls.size()) {
        error("lumo_fill_prerequisite_list: tokens list sizes doesn't match");
        return -1;
    }
    std::vector<prerequisites_list_t> list;
    int critical = 0, optional = 0;
    for (size_t k = 0; k < sig.size(); ++k) {
        bool duplicate = false;
        for (size_t j = 0; j < k && !duplicate; ++j) duplicate = shorts[j] == shorts[k] && fulls[j] == fulls[k];
        if (duplicate) continue;
        prerequisites_list_t issue;
        issue.index = static_cast<int>(k) + 1;
        issue.severity = strtoint(sig[k]);
        issue.short_text = expand_operand(session, "${" + shorts[k] + "}");
        issue.full_text = expand_operand(session, "${" + fulls[k] + "}");
        const char* kind = issue.severity == 0 ? "warning" : "critical";
        if (issue.severity == 0) {
            env_set_string(session, "PREREQUISITE_SHOW_OPTIONAL_DIALOG", "yes");
            ++optional;
        } else {
            env_set_string(session, "PREREQUISITE_SHOW_CRITICAL_DIALOG", "yes");
            ++critical;
        }
        add_user_stat_data(session, "LUMO_USER_STAT_PREREQS",
                           quoted("{" + inttostr(static_cast<int64_t>(time(nullptr))) + "}") + ":{\n" +
                               quoted("severity") + ":" + quoted(kind) + ",\n" + quoted("message") + ":" +
                               quoted(issue.short_text) + "\n}");
        list.push_back(issue);
    }
    data->dialog = list;
    if (session_add_cdata(session, &data->dialog, dialog_data_id) != 0) return -1;
    env_set_string(session, "PREREQUISITE_RECHECK", "yes");
    env_set_string(session, "C_TOTAL", inttostr(critical));
    env_set_string(session, "O_TOTAL", inttostr(optional));
    // A new list starts paging from its first issue, not at an index left from an earlier check.
    env_set_string(session, "E_INDEX", "-1");
    print_log("lumo_fill_prerequisite_list: c_count=%d, o_count=%d", critical, optional);
    return 0;
}

int lumo_prepare_prerequisites_formatted_text(session_t* session) {
    const std::vector<prerequisites_list_t>* list = dialog_list(session);
    if (!list) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::string text;
    for (const prerequisites_list_t& issue : *list) {
        text += issue.severity == 0 ? "<font color='blue'>" : "<font color='red'>";
        text += issue.short_text + "</font><br>" + issue.full_text + "<br><br>";
    }
    env_set_string(session, "prerequisites_formatted_text", replaceAllSubstrings(text, "\n", "<br>"));
    env_set_string(session, "E_INDEX", "-1");
    return 0;
}

int lumo_prepare_prerequisites_critical_summary_dialog(session_t* session) {
    return prepare_summary(session, critical_kind);
}
int lumo_prepare_prerequisites_optional_summary_dialog(session_t* session) {
    return prepare_summary(session, optional_kind);
}
int lumo_prepare_prerequisites_critical_dialog_pre(session_t* session) { return dialog_pre(session, critical_kind); }
int lumo_prepare_prerequisites_optional_dialog_pre(session_t* session) { return dialog_pre(session, optional_kind); }
int lumo_prepare_prerequisites_critical_dialog_post(session_t* session) { return dialog_post(session, critical_kind); }
int lumo_prepare_prerequisites_optional_dialog_post(session_t* session) { return dialog_post(session, optional_kind); }

int prepare_prerequisite_dialog(session_t* session, const std::vector<prerequisites_list_t>& list, int index) {
    std::string text;
    for (const prerequisites_list_t& issue : list) {
        if (issue.index == index) text = issue.full_text;
    }
    env_set_string(session, "PREREQUISITE_TEXT", text);
    return 0;
}

int prerequisites_actions_register(session_t* session) {
    return actions_register_table(session, {
        {"prerequisites_init", prerequisites_init_data},
        {"prerequisites_os_check", prerequisites_os_check},
        {"prerequisites_system_check", prerequisites_system_check},
        {"prerequisites_disk_space_check", prerequisites_disk_space_check},
        {"lumo_fill_prerequisites_list", lumo_fill_prerequisites_list},
        {"lumo_prepare_prerequisites_formatted_text", lumo_prepare_prerequisites_formatted_text},
        {"lumo_prepare_prerequisites_critical_summary_dialog", lumo_prepare_prerequisites_critical_summary_dialog},
        {"lumo_prepare_prerequisites_optional_summary_dialog", lumo_prepare_prerequisites_optional_summary_dialog},
        {"lumo_prepare_prerequisites_critical_dialog_pre", lumo_prepare_prerequisites_critical_dialog_pre},
        {"lumo_prepare_prerequisites_critical_dialog_post", lumo_prepare_prerequisites_critical_dialog_post},
        {"lumo_prepare_prerequisites_optional_dialog_pre", lumo_prepare_prerequisites_optional_dialog_pre},
        {"lumo_prepare_prerequisites_optional_dialog_post", lumo_prepare_prerequisites_optional_dialog_post},
    });
}
