#include "string_table.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "cond.h"
#include "env.h"
#include "file.h"
#include "log.h"
#include "store.h"
#include "utils.h"
#include "xml.h"

namespace {

// The list's fields: split at every ':', untrimmed; a ':' at the very end adds no empty field.
std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t colon = line.find(':', start);
        if (colon == std::string::npos) {
            if (start < line.size() || fields.empty()) fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, colon - start));
        start = colon + 1;
        if (start == line.size()) break;
    }
    return fields;
}

// Depth alone does not bound the work: a table including itself three times reads 3^depth tables.
// The count of includes read in one call is bounded as well.
struct include_walk_t {
    int depth = 0;
    int* includes = nullptr;
};

int xml2prop(session_t* session, node_t* node, include_walk_t walk) {
    if (!node) {
        error("string_xml2prop: NODE is NULL");
        return -1;
    }
    if (node->name == "include") {
        print_log("string_xml2prop: include directive");
        const char* component = xml_node_get_key(node, "component");
        const char* file = xml_node_get_key(node, "file");
        if (!file) {
            error("string_xml2prop: name of the file is missing");
            return -1;
        }
        if (component) {
            if (walk.depth >= string_include_depth_max) {
                error("string_xml2prop: includes nested deeper than %d, %s::%s is not read",
                      string_include_depth_max, component, file);
                return -1;
            }
            // Past the limit each further include is refused; only the first refusal is logged.
            if (++*walk.includes > string_include_total_max) {
                if (*walk.includes == string_include_total_max + 1) {
                    error("string_xml2prop: more than %d includes, %s::%s is not read", string_include_total_max,
                          component, file);
                }
                return -1;
            }
            std::string content;
            if (store_file_get_content(session->store.get(), component, file, content) < 0) {
                error("string_xml2prop: can't read %s::%s.", component, file);
                return -1;
            }
            document_t included;
            xml_parse_buffer(content.data(), content.size(), &included);
            for (node_t& root : included.nodes) xml2prop(session, &root, {walk.depth + 1, walk.includes});
            xml_free_doc(&included);
        }
    } else if (node->name == "string") {
        const std::string* name = xml_node_find_key(node, "name");
        if (name && node->data_len >= 0) env_set_string(session, *name, node->data);
    }
    for (node_t& child : node->childs) xml2prop(session, &child, walk);
    return 0;
}

}  // namespace

int string_xml2prop(session_t* session, node_t* node) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    int includes = 0;
    return xml2prop(session, node, {0, &includes});
}

int string_table_is_external(const char* root) {
    if (!root) {
        error("string_table_is_external: string table root is null");
        return -1;
    }
    return is_file(std::string(root) + "/strings.ini") ? 1 : 0;
}

int load_string_from_directory(session_t* session, const char* root) {
    if (!session) {
        error("load_string_from_directory: session is null");
        return -1;
    }
    if (!root) {
        error("load_string_from_directory: string table root is null");
        return -1;
    }
    std::string content;
    if (get_file(std::string(root) + "/strings.ini", content, 0) != 0) return -1;
    return string_table_parse_ini(session, content.c_str());
}

int load_string_from_store(session_t* session) {
    if (!session) {
        error("load_string_from_store: session is null");
        return -1;
    }
    if (!store_file_exists(session->store.get(), "_internal_", "strings.ini")) {
        print_log("load_string_from_store: There is no _internal_::strings.ini");
        return -1;
    }
    print_log("load_string_from_store: Let's get strings.ini content");
    std::string content;
    if (store_file_get_content(session->store.get(), "_internal_", "strings.ini", content) < 0) {
        error("load_string_from_store: can't read _vexannal_::strings.ini.");
        return -1;
    }
    return string_table_parse_ini(session, content.c_str());
}

int string_table_init(session_t* session) {
    if (!session) {
        error("string_table_init: session is NULL");
        return -1;
    }
    if (!env_exists(session, "STRING_TABLE_ROOT"))
        env_set_string(session, "STRING_TABLE_ROOT", env_get_string(session, "ENGINE_DIR"));
    const std::string root = env_get_string(session, "STRING_TABLE_ROOT");
    *session->strings = string_table_set_t();
    if (string_table_is_external(root.c_str()) == 1) {
        print_log("string_table_init: get strings.ini from %s", root.c_str());
        return load_string_from_directory(session, root.c_str());
    }
    print_log("string_table_init: There is no strings.ini in %s, get it from store", root.c_str());
    return load_string_from_store(session);
}

int string_table_parse_ini(session_t* session, const char* ini) {
    if (!session) {
        error("string_table_parse_ini: session is null");
        return -1;
    }
    if (!ini) {
        error("string_table_parse_ini: ini is null");
        return -1;
    }
    print_log("string_table_parse_ini: start parsing of the strings definition \n%s\n", ini);
    const std::string engine_dir = env_get_string(session, "ENGINE_DIR");
    string_table_set_t& set = *session->strings;
    for (std::string line : splitString(ini, "\n", true)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = split_fields(line);
        if (fields.size() < 3) {
            print_log("string_table_parse_ini: less than 3 items in the line, skipping it");
            continue;
        }
        const std::string& component = fields[1];
        const std::string& file = fields[2];
        std::string shown, content;
        bool read = false;
        if (component.empty()) {
            shown = engine_dir + "/" + file;
            print_log("string_table_parse_ini: get string file %s", shown.c_str());
            read = get_file(shown, content, 0) == 0;
        } else {
            shown = component + ":" + file;
            print_log("string_table_parse_ini: get string file %s", shown.c_str());
            read = store_file_get_content(session->store.get(), component, file, content) >= 0;
        }
        if (!read) {
            error("string_table_parse_ini: can't read %s", shown.c_str());
            return -1;
        }
        if (set.string_last + 1 >= string_table_max) {
            error("string_table_parse_ini: more than %d string tables, %s and the rest are not loaded",
                  string_table_max, shown.c_str());
            return -1;
        }
        document_t doc;
        xml_parse_buffer(content.data(), content.size(), &doc);
        set.string_docs.push_back(std::move(doc));
        set.string_langs.push_back(fields[0]);
        set.string_conds.push_back(fields.size() == 4 ? fields[3] : "");
        set.string_last = static_cast<int>(set.string_docs.size()) - 1;
    }
    return 0;
}

int string_table_bind(session_t* session) {
    if (!session) {
        error("string_table_bind: session is null");
        return -1;
    }
    std::string lang = env_get_string(session, "LANG");
    if (lang.empty()) {
        print_log("string_table_bind: LANG is not defined. Use defualt");
        lang = "default";
    } else {
        print_log("string_table_bind: lang is %s", lang.c_str());
    }
    string_table_set_t& set = *session->strings;
    bool found = false;
    for (int i = 0; i <= set.string_last; ++i) {
        print_log("string_table_bind: check lang %s against %s", set.string_langs[i].c_str(), lang.c_str());
        if (set.string_langs[i] != lang) {
            print_log("string_table_bind: skip lang %s", set.string_langs[i].c_str());
            continue;
        }
        if (cond_holds(set.string_conds[i], session)) {
            print_log("string_table_bind: desired lang is found");
            found = true;
            break;
        }
        print_log("string_table_bind: condition is not true, skip this lang");
    }
    if (!found) {
        lang = "default";
        print_log("string_table_bind: desired lang is not found. Search for default");
    }
    for (int i = 0; i <= set.string_last; ++i) {
        if (set.string_langs[i] != lang) continue;
        if (!cond_holds(set.string_conds[i], session)) {
            print_log("string_table_bind: condition is not true");
            continue;
        }
        print_log("string_table_bind: load properties from XML");
        for (node_t& root : set.string_docs[i].nodes) string_xml2prop(session, &root);
    }
    return 0;
}
