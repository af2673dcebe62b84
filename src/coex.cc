#include "coex.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "actions.h"
#include "cond.h"
#include "console.h"
#include "contentsprovider.h"
#include "env.h"
#include "env_expand.h"
#include "interrupt.h"
#include "log.h"
#include "payload.h"
#include "store.h"
#include "utils.h"

namespace {

coex_state_t* coex_state(session_t* session) {
    if (!session->coex) session->coex = std::make_unique<coex_state_t>();
    return session->coex.get();
}

// The providers the rules look at: those a test put in, else every back-end of the engine.
std::vector<ContentsProvider*> coex_providers(session_t* session) {
    coex_state_t* state = coex_state(session);
    if (!state->providers.empty()) return state->providers;
    std::vector<ContentsProvider*> providers;
    for (const char* type : {"rpm", "tgz", "pkg", "msi"}) {
        if (ContentsProvider* provider = ContentsProvider::create(session, type)) providers.push_back(provider);
    }
    return providers;
}

// Calls f(provider, item) for every item of every provider, in provider and then list order.
template <typename F>
void coex_for_items(const std::vector<ContentsProvider*>& providers, F f) {
    for (ContentsProvider* provider : providers) {
        const std::vector<std::unique_ptr<ContentsItem>>& items = provider->contents();
        for (size_t i = 0; i < items.size(); ++i) {
            if (items[i]) f(provider, items[i].get(), static_cast<int>(i));
        }
    }
}

bool coex_bound(const ContentsItem* item) {
    return item->m_status == 2 && item->coex_uninstall >= coex_uninstall_required &&
           item->coex_uninstall <= coex_uninstall_forbidden;
}

// The name the dialog shows: the summary, else the package identifier, else the file. Items
// without a summary would otherwise all read "" and fall into one group, so that choosing one
// of them would choose them all.
std::string coex_item_name(const ContentsItem* item) {
    if (!item->m_summary.empty()) return item->m_summary;
    return item->m_id.empty() ? item->m_file : item->m_id;
}

std::string coex_item_key(const ContentsItem* item) { return item->m_file.empty() ? item->m_id : item->m_file; }

std::string property(session_t* session, const char* name) { return env_get_string(session, std::string(name)); }

// "yes" and "no" of a keyword attribute: 1, 0, or -1 for any other value (logged).
int coex_yes_no(const node_t* node, const xml_key_t& key) {
    if (key.value == "yes") return 1;
    if (key.value == "no") return 0;
    warn("coex_proceed_node: unknown value '%s' of %s in %s, default kept", key.value.c_str(), key.name.c_str(),
         node->name.c_str());
    return -1;
}

int coex_integer(const node_t* node, const xml_key_t& key) {
    errno = 0;
    char* end = nullptr;
    const long value = strtol(key.value.c_str(), &end, 10);
    if (key.value.empty() || *end != '\0' || errno != 0 || value < INT_MIN || value > INT_MAX) {
        warn("coex_proceed_node: unknown value '%s' of %s in %s, default kept", key.value.c_str(), key.name.c_str(),
             node->name.c_str());
        return 0;
    }
    return static_cast<int>(value);
}

void coex_read_filter(session_t* session, const node_t* node, filter_t* filter) {
    filter->invert = 0;
    filter->match_mode = coex_match_regex;
    if (node->keys_count <= 0) return;
    for (const xml_key_t& key : node->keys) {
        if (key.name == "rpm_name") {
            filter->pattern = expand_operand(session, key.value);
        } else if (key.name == "version_condition") {
            filter->version_condition = key.value;
        } else if (key.name == "invert") {
            filter->invert = coex_yes_no(node, key) == 1 ? 1 : 0;
        } else if (key.name == "exact") {
            filter->match_mode = coex_yes_no(node, key) == 1 ? coex_match_exact : coex_match_regex;
        } else {
            warn("coex_proceed_node: unknown attribute %s of %s ignored", key.name.c_str(), node->name.c_str());
        }
    }
}

void coex_read_action(const node_t* node, coex_action_t* action) {
    if (node->keys_count <= 0) return;
    const struct {
        const char* name;
        std::string coex_action_t::*field;
    } texts[] = {
        {"run", &coex_action_t::run},
        {"options", &coex_action_t::options},
        {"property", &coex_action_t::property},
        {"prop_value", &coex_action_t::prop_value},
        {"save", &coex_action_t::save},
        {"condition", &coex_action_t::condition},
        {"installdir", &coex_action_t::installdir},
        {"skiplist", &coex_action_t::skiplist},
        {"subdir_depth", &coex_action_t::subdir_depth},
    };
    for (const xml_key_t& key : node->keys) {
        bool known = false;
        for (const auto& text : texts) {
            if (key.name == text.name) {
                action->*text.field = key.value;
                known = true;
            }
        }
        if (known) continue;
        if (key.name == "show") {
            const int yes = coex_yes_no(node, key);
            if (yes >= 0) action->show = yes ? coex_show_yes : coex_show_no;
        } else if (key.name == "uninstall") {
            if (key.value == "required") action->uninstall = coex_uninstall_required;
            else if (key.value == "optional") action->uninstall = coex_uninstall_optional;
            else if (key.value == "forbidden") action->uninstall = coex_uninstall_forbidden;
            else
                warn("coex_proceed_node: unknown value '%s' of %s in %s, default kept", key.value.c_str(),
                     key.name.c_str(), node->name.c_str());
        } else if (key.name == "side_by_side") {
            action->side_by_side = coex_integer(node, key);
        } else if (key.name == "lock_installdir") {
            action->lock_installdir = coex_integer(node, key);
        } else {
            warn("coex_proceed_node: unknown attribute %s of %s ignored", key.name.c_str(), node->name.c_str());
        }
    }
}

int coex_proceed(session_t* session, node_t* node, filter_t* filter, int depth) {
    if (!node) {
        error("coex_proceed_node: NODE is NULL");
        return -1;
    }
    if (!filter) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("coex_proceed_node: started for node %s", node->name.c_str());
    int result = 0;
    if (node->name == "filter") {
        if (depth >= coex_filter_depth_max) {
            error("coex_proceed_node: filters nested deeper than %d, the rules are refused", coex_filter_depth_max);
            return -1;
        }
        // Each filter works on a copy of its parent's: what a nested filter sets holds for its own
        // children only, never for the siblings that follow it.
        filter_t own = *filter;
        coex_read_filter(session, node, &own);
        if (node->childs_count > 0) {
            for (node_t& child : node->childs) {
                result = coex_proceed(session, &child, &own, depth + 1);
                if (result == -1) break;
            }
        }
    } else if (node->name == "action") {
        coex_action_t action;
        coex_read_action(node, &action);
        result = coex_apply_filter(session, filter, &action);
    } else {
        error("coex_proceed_node: unknown type of the node.");
    }
    print_log("coex_proceed_node: finished");
    return result;
}

// Splits the options at blanks; double quotes (written &quot; in the rules) keep blanks inside one
// word and are dropped.
std::vector<std::string> coex_split_options(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n')) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

// Removes one item through the rule's command or its provider: the command's or the provider's
// status, 0 for success. The item's prefix, identifier and file reach the command only as
// properties the options may name, each expanded option one argument: no shell reads them.
int coex_remove_item(session_t* session, ContentsProvider* provider, ContentsItem* item) {
    if (item->coex_run.empty()) return provider->uninstallFile(item->m_id, item->m_file);
    std::string command = expand_operand(session, item->coex_run);
    if (command.empty()) {
        error("coex_diag_act: the command of %s is empty", coex_item_key(item).c_str());
        return -1;
    }
    if (command[0] != '/') {
        if (item->m_prefix.empty()) {
            error("coex_diag_act: %s has no prefix to find %s in", coex_item_key(item).c_str(), command.c_str());
            return -1;
        }
        command = path(item->m_prefix + "/" + command);
    }
    std::vector<std::string> argv = {command};
    for (const std::string& word : coex_split_options(decode_character_references(item->coex_options))) {
        const std::string value = expand_operand(session, word);
        if (!value.empty()) argv.push_back(value);
    }
    print_log("coex_diag_act: running %s", env_mask_hidden(session, payload_command_text(argv)).c_str());
    const int status = payload_run(argv, property(session, "log_file"), nullptr);
    print_log("coex_diag_act: return code is %d", status);
    return status;
}

}  // namespace

int coex_parse(session_t* session, const std::string& text) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    document_t& doc = coex_state(session)->doc;
    xml_free_doc(&doc);
    if (xml_parse_buffer(text.data(), text.size(), &doc) != 0) {
        error("coex_read_config: coex.xml is not well-formed");
        xml_free_doc(&doc);
        return -1;
    }
    return 0;
}

int coex_read_config(session_t* session) {
    if (!session) {
        error("coex_read_config: session is null");
        return -1;
    }
    std::string text;
    if (!session->store || store_file_get_content(session->store.get(), lumo_internal_component, "coex.xml", text) < 0) {
        error("coex_read_config: can't extract _internal_::coex.xml");
        return -1;
    }
    return coex_parse(session, text);
}

int coex_init(session_t* session) {
    if (!session) {
        error("coex_init: session is null");
        return -1;
    }
    if (env_exists(session, "LUMO_COEX_DISABLE")) return 0;
    document_t& doc = coex_state(session)->doc;
    if (doc.nodes.empty()) {
        error("coex_init: coex xml is empty");
        return -1;
    }
    print_log("coex_init: initializing providers");
    const std::vector<ContentsProvider*> providers = coex_providers(session);
    for (ContentsProvider* provider : providers) {
        provider->registerAllFiles("");
        // The rules are matched against every installed item: a provider's own filter reads names
        // in another form than the rules do (rpm's list has no ".rpm"), so filtering there would
        // hide items from exact patterns.
        provider->registerFiles("");
    }
    // Applying the rules again (the user went back) starts from unbound items, so that no rule
    // is skipped because its item still carries the binding of the previous pass.
    coex_for_items(providers, [](ContentsProvider*, ContentsItem* item, int) {
        if (item->coex_uninstall == 0) return;
        if (item->m_status == 2) item->m_status = 0;
        item->coex_show = item->coex_uninstall = item->coex_choice = item->coex_selected = item->coex_group = 0;
        item->coex_run.clear();
        item->coex_options.clear();
        item->coex_condition.clear();
        item->coex_skiplist.clear();
    });
    node_t& root = doc.nodes[0];
    print_log("coex_init: coex xml contains %d nodes", root.childs_count > 0 ? root.childs_count : 0);
    if (root.childs_count <= 0) return 0;
    for (node_t& child : root.childs) {
        print_log("coex_init: start node");
        filter_t filter;
        if (coex_proceed(session, &child, &filter, 0) == -1) {
            error("coex_init: node failed");
            return -1;
        }
    }
    return 0;
}

int coex_proceed_node(session_t* session, node_t* node, filter_t* filter) {
    return coex_proceed(session, node, filter, 0);
}

int coex_apply_filter(session_t* session, filter_t* filter, coex_action_t* action) {
    if (!session || !filter || !action) {
        error("coex_apply_filter: parameter is null");
        return -1;
    }
    print_log("coex_apply_filter: started with pattern %s", filter->pattern.c_str());
    // An empty pattern names no product; matching it as an expression would take every package on
    // the machine, and a required removal would then remove them all.
    bool usable = !filter->pattern.empty();
    if (!usable) warn("coex_apply_filter: empty pattern matches nothing");
    if (usable && filter->match_mode == coex_match_regex &&
        !get_regex(filter->pattern.c_str(), REG_EXTENDED | REG_NOSUB)) {
        error("coex_apply_filter: pattern %s is not a valid regular expression, the filter matches nothing",
              filter->pattern.c_str());
        usable = false;
    }
    const std::string version_condition = env_replace_tags(filter->version_condition);
    bool matched = false;
    for (ContentsProvider* provider : coex_providers(session)) {
        const std::vector<std::unique_ptr<ContentsItem>>& items = provider->contents();
        for (size_t i = 0; i < items.size() && usable; ++i) {
            ContentsItem* item = items[i].get();
            if (!item || item->m_status == -1) continue;
            if (!provider->coexMatch(static_cast<int>(i), filter->pattern, filter->match_mode)) continue;
            // An inverted filter asks whether the product is installed at all, whatever its
            // version; an item that an earlier rule decided on is installed all the same.
            matched = true;
            env_set_string(session, "COEX_VERSION", item->m_version);
            if (!cond_holds(version_condition, session)) continue;
            if (!filter->invert && item->m_status != 2) coex_run_action(session, item, action, true);
        }
    }
    if (!matched && filter->invert) coex_run_action(session, nullptr, action, true);
    print_log("coex_apply_filter: finished");
    return 0;
}

int coex_run_action(session_t* session, ContentsItem* item, coex_action_t* action, bool fire) {
    if (!session || !action) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (!fire) return 0;
    if (item) {
        print_log("coex_run_action: entry %s matches all filter elements, show: %d, un: %d",
                  coex_item_key(item).c_str(), action->show, action->uninstall);
        item->m_status = 2;
        item->coex_show = action->show;
        item->coex_uninstall = action->uninstall;
        item->coex_run = action->run;
        item->coex_condition = action->condition;
        item->coex_options = action->options;
        item->coex_skiplist = action->skiplist;
    }
    if (!action->property.empty()) env_set_string(session, action->property, "1");
    if (!action->installdir.empty()) {
        const std::string value = !action->prop_value.empty() ? action->prop_value : item ? item->m_prefix : "1";
        env_set_string(session, action->installdir, value);
    }
    if (item && action->side_by_side != 0 && property(session, "LOCK_INSTALL_DIR") != "yes") {
        env_set_string(session, "SXS_PEER_DIR", item->m_prefix);
        if (!action->subdir_depth.empty()) env_set_string(session, "SXS_PEER_SUBDIR", action->subdir_depth);
        if (action->lock_installdir != 0) env_set_string(session, "LOCK_INSTALL_DIR", "yes");
    }
    if (!action->skiplist.empty() && action->uninstall == coex_uninstall_forbidden)
        env_cat_string(session, "PRODUCTS_TO_SKIP", ";" + action->skiplist);
    return 0;
}

int coex_diag_init(session_t* session) {
    if (!session) {
        error("coex_diag_init: session is null");
        return -1;
    }
    if (coex_init(session) != 0) {
        error("coex_diag_init: coexistence init failed");
        return -1;
    }
    // A group is one dialog entry: the items of one product and one kind. Forbidden and
    // optional items of the same name stay apart, so that choosing an optional entry can never
    // take a forbidden item along.
    std::vector<std::string> groups;
    int index = 0;
    coex_for_items(coex_providers(session), [&](ContentsProvider*, ContentsItem* item, int) {
        item->coex_selected = 0;
        item->coex_group = 0;
        item->coex_choice = 0;
        ++index;
        if (!coex_bound(item)) return;
        if (item->coex_uninstall == coex_uninstall_required) item->coex_selected = 1;
        if (item->coex_show != coex_show_yes) return;
        const std::string name = coex_item_name(item);
        print_log("coex_diag_init: looking for %s in group list", name.c_str());
        const std::string key = std::to_string(item->coex_uninstall) + ":" + name;
        const auto found = std::find(groups.begin(), groups.end(), key);
        if (found == groups.end()) {
            groups.push_back(key);
            item->coex_group = static_cast<int>(groups.size());
            print_log("coex_diag_init: assigning group id %d for '%s' RPM product", item->coex_group, name.c_str());
        } else {
            item->coex_group = static_cast<int>(found - groups.begin()) + 1;
            item->coex_show = coex_show_no;
            print_log("coex_diag_init: the '%d'th RPM product has this group id already", index);
        }
    });
    // The optional entries chosen for removal before, by this run or by the instance that handed
    // its properties over to this one: the choice stands, so the removal is the one agreed to.
    if (env_exists(session, "COEX_CHOSEN")) {
        const std::string chosen = ";" + property(session, "COEX_CHOSEN") + ";";
        coex_for_items(coex_providers(session), [&](ContentsProvider*, ContentsItem* item, int) {
            if (coex_bound(item) && item->coex_uninstall == coex_uninstall_optional &&
                chosen.find(";" + coex_item_key(item) + ";") != std::string::npos)
                item->coex_selected = 1;
        });
    }
    coex_generate_strings(session);
    return 0;
}

int coex_add_req_string(std::string* list, std::string* raw_list, const std::string& name, const std::string& detail,
                        int* choice) {
    if (!list || !raw_list || !choice) {
        LOG_NULL_PARAM();
        return -1;
    }
    *list += "    [x] " + name + "\n" + detail;
    *raw_list += "    " + name + "\n" + detail;
    *choice = 0;
    return 0;
}

int coex_add_opt_string(std::string* choices, int* counter, std::string* list, std::string* raw_list,
                        const std::string& name, const std::string& detail, int* choice, int selected) {
    if (!choices || !counter || !list || !raw_list || !choice) {
        LOG_NULL_PARAM();
        return -1;
    }
    *choice = ++*counter;
    *list += std::to_string(*choice) + ":  [" + (selected ? "x" : " ") + "] " + name + "\n" + detail;
    *raw_list += "    " + name + "\n" + detail;
    *choices += std::to_string(*choice) + ";";
    return 0;
}

int coex_generate_strings(session_t* session) {
    if (!session) {
        error("coex_generate_strings: session is null");
        return -1;
    }
    env_set_string(session, "COEX_DIAG", "no");
    const bool show_dir = property(session, "COEX_SHOW_INSTALLDIR") == "yes";
    std::string frb, frb_raw, req, req_raw, opt, opt_raw, opt_skip, opt_skip_raw, choices;
    int counter = 0;
    coex_for_items(coex_providers(session), [&](ContentsProvider*, ContentsItem* item, int) {
        if (!coex_bound(item) || item->coex_show != coex_show_yes) return;
        const std::string name = coex_item_name(item);
        const std::string detail = show_dir ? "        (in " + item->m_prefix + ")\n" : "";
        if (item->coex_uninstall == coex_uninstall_forbidden) {
            coex_add_req_string(&frb, &frb_raw, name, detail, &item->coex_choice);
        } else if (item->coex_uninstall == coex_uninstall_required) {
            coex_add_req_string(&req, &req_raw, name, detail, &item->coex_choice);
        } else if (item->coex_skiplist.empty()) {
            coex_add_opt_string(&choices, &counter, &opt, &opt_raw, name, detail, &item->coex_choice,
                                item->coex_selected);
        } else {
            coex_add_opt_string(&choices, &counter, &opt_skip, &opt_skip_raw, name, detail, &item->coex_choice,
                                item->coex_selected);
        }
        print_log("coex_generate_strings: the '%s' RPM product uninstall status: %d, bind: %d", name.c_str(),
                  item->coex_uninstall, item->m_status);
        env_set_string(session, "COEX_DIAG", "yes");
    });
    const struct {
        const char* name;
        const std::string& value;
    } lists[] = {
        {"COEX_LIST_FRB", frb},           {"COEX_LIST_REQ", req},         {"COEX_LIST_OPT", opt},
        {"COEX_LIST_OPT_SKIP", opt_skip}, {"COEX_LIST_FRB_RAW", frb_raw}, {"COEX_LIST_REQ_RAW", req_raw},
        {"COEX_LIST_OPT_RAW", opt_raw},   {"COEX_LIST_OPT_RAW_SKIP", opt_skip_raw}, {"COEX_CHOICES", choices},
    };
    for (const auto& list : lists) env_set_string(session, list.name, list.value);
    return 0;
}

int coex_diag_show(session_t* session) {
    if (!session) {
        error("coex_diag_show: parameter is null");
        return -1;
    }
    coex_generate_strings(session);
    int frb = 0, req = 0, opt = 0, opt_skip = 0;
    coex_for_items(coex_providers(session), [&](ContentsProvider*, ContentsItem* item, int) {
        if (!coex_bound(item) || item->coex_show != coex_show_yes) return;
        if (item->coex_uninstall == coex_uninstall_forbidden) ++frb;
        else if (item->coex_uninstall == coex_uninstall_required) ++req;
        else if (item->coex_skiplist.empty()) ++opt;
        else ++opt_skip;
    });
    print_log("coex_diag_show: forbidden %d, required %d, optional %d", frb, req, opt + opt_skip);
    const bool any_opt = opt + opt_skip > 0;
    const char* subtitle = nullptr;
    if (req) subtitle = any_opt ? "coexistence_text_req_opt" : frb ? "coexistence_text_frb_req" : "coexistence_text_req";
    else if (frb) subtitle = any_opt ? "coexistence_text_frb_opt" : "coexistence_text_frb";
    else if (any_opt) subtitle = "coexistence_text_opt";
    env_set_string(session, "COEX_DIALOG_SUBTITLE", subtitle ? property(session, subtitle) : "");
    // Without a prompt the numbers mean nothing: a silent run lists the optional items plainly.
    const bool silent = env_exists(session, "silent");
    const struct {
        int count;
        const char* one;
        const char* many;
        const char* header;
        const char* list;
    } kinds[] = {
        {frb, "\n${coexistence_forbidden_one}\n", "\n${coexistence_forbidden_many}\n", "COEX_TEXT_FORBIDDEN",
         "COEX_LIST_FRB"},
        {req, "\n${coexistence_required_one}\n", "\n${coexistence_required_many}\n", "COEX_TEXT_REQUIRED",
         "COEX_LIST_REQ"},
        {opt_skip, "\n${coexistence_optional_skip_one}\n", "\n${coexistence_optional_skip_many}\n",
         "COEX_TEXT_OPTIONAL_SKIP", silent ? "COEX_LIST_OPT_RAW_SKIP" : "COEX_LIST_OPT_SKIP"},
        {opt, silent ? "\n${coexistence_optional_one_silent}\n" : "\n${coexistence_optional_one}\n",
         silent ? "\n${coexistence_optional_many_silent}\n" : "\n${coexistence_optional_many}\n",
         "COEX_TEXT_OPTIONAL", silent ? "COEX_LIST_OPT_RAW" : "COEX_LIST_OPT"},
    };
    std::string text = property(session, "COEX_DIALOG_SUBTITLE");
    for (const auto& kind : kinds) {
        if (kind.count == 0) {
            env_set_string(session, kind.header, "");
            continue;
        }
        const std::string header = expand_operand(session, std::string(kind.count > 1 ? kind.many : kind.one));
        env_set_string(session, kind.header, header);
        text += header + property(session, kind.list);
    }
    env_set_string(session, "COEX_DIALOG_TEXT", text);
    return 0;
}

int coex_diag_update(session_t* session) {
    if (!session) {
        error("coex_diag_update: session is null");
        return -1;
    }
    const std::string* answer = env_lookup(session, "HANDLE");
    if (!answer) {
        error("coex_diag_update: answer is null");
        return -1;
    }
    const int choice = strtoint(*answer);
    print_log("coex_diag_update: choice=%d", choice);
    const std::vector<ContentsProvider*> providers = coex_providers(session);
    int group = 0, selected = 0;
    coex_for_items(providers, [&](ContentsProvider*, ContentsItem* item, int) {
        if (group || choice <= 0 || !coex_bound(item) || item->coex_show != coex_show_yes ||
            item->coex_uninstall != coex_uninstall_optional || item->coex_choice != choice)
            return;
        group = item->coex_group;
        selected = item->coex_selected ? 0 : 1;
        print_log("coex_diag_update: changing selection of %d and all products in group %d", choice, group);
    });
    // The entry stands for its whole group, whichever back-end holds each member.
    if (group) {
        coex_for_items(providers, [&](ContentsProvider*, ContentsItem* item, int) {
            if (coex_bound(item) && item->coex_uninstall == coex_uninstall_optional && item->coex_group == group)
                item->coex_selected = selected;
        });
    }
    return coex_diag_show(session);
}

int coex_diag_finalize(session_t* session) {
    if (!session) {
        error("coex_diag_finalize: session is null");
        return -1;
    }
    // Members of a group count as the entry they are listed under.
    coex_for_items(coex_providers(session), [&](ContentsProvider*, ContentsItem* item, int) {
        if (coex_bound(item) && item->coex_uninstall == coex_uninstall_optional && !item->coex_selected &&
            !item->coex_skiplist.empty() && (item->coex_show == coex_show_yes || item->coex_group != 0))
            env_cat_string(session, "PRODUCTS_TO_SKIP", ";" + item->coex_skiplist);
    });
    // What the removal will touch, for the flow: the folders tell whether this user may remove
    // them at all, and the chosen optional entries let an instance with other rights remove
    // exactly these (coex_diag_init takes them back).
    std::string dirs, chosen;
    coex_for_items(coex_providers(session), [&](ContentsProvider*, ContentsItem* item, int) {
        if (!coex_bound(item) || !item->coex_selected || item->coex_uninstall == coex_uninstall_forbidden) return;
        if (!item->m_prefix.empty() && (dirs + ";").find(";" + item->m_prefix + ";") == std::string::npos)
            dirs += ";" + item->m_prefix;
        if (item->coex_uninstall == coex_uninstall_optional) chosen += ";" + coex_item_key(item);
    });
    env_set_string(session, "COEX_REMOVE_DIRS", dirs);
    env_set_string(session, "COEX_CHOSEN", chosen);
    return 0;
}

int coex_diag_act(session_t* session) {
    if (!session) {
        error("coex_diag_act: session is null");
        return -1;
    }
    const std::string uninstalling = property(session, "uninstalling_currently_installed");
    const std::string done = property(session, "install_component_done");
    const std::string failed = property(session, "install_component_failed");
    const bool gui = property(session, "gui") == "1";
    struct chosen_t {
        ContentsProvider* provider;
        ContentsItem* item;
    };
    std::vector<chosen_t> chosen;
    coex_for_items(coex_providers(session), [&](ContentsProvider* provider, ContentsItem* item, int) {
        if (!coex_bound(item) || !item->coex_selected) return;
        // Whatever the answers were, a forbidden item is never removed here.
        if (item->coex_uninstall == coex_uninstall_forbidden) {
            warn("coex_diag_act: %s may not be removed, it is kept", coex_item_key(item).c_str());
            item->coex_selected = 0;
            return;
        }
        chosen.push_back({provider, item});
    });
    // One status line per group, with the group's items removed one after the other.
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const chosen_t& a, const chosen_t& b) { return a.item->coex_group < b.item->coex_group; });
    // Removing must not stop half-way through an item.
    const interrupt_ignored quiet;
    for (size_t i = 0; i < chosen.size(); ++i) {
        ContentsItem* item = chosen[i].item;
        const std::string name = coex_item_name(item);
        env_set_string(session, "COEX_ITEM_ID", item->m_id);
        env_set_string(session, "COEX_ITEM_FILE", item->m_file);
        env_set_string(session, "COEX_ITEM_PREFIX", item->m_prefix);
        if (!item->coex_condition.empty() && !cond_holds(item->coex_condition, session)) {
            print_log("coex_diag_act: condition of %s does not hold, item kept", coex_item_key(item).c_str());
            continue;
        }
        print_log("coex_diag_act: delete item, group #%d", item->coex_group);
        const bool first = i == 0 || item->coex_group == 0 || chosen[i - 1].item->coex_group != item->coex_group;
        const bool last = i + 1 == chosen.size() || item->coex_group == 0 ||
                          chosen[i + 1].item->coex_group != item->coex_group;
        if (first) {
            if (gui) env_set_string(session, "LUMO_STATUS_TEXT", uninstalling + " " + name + "... ");
            else print_string("%s %s... ", uninstalling.c_str(), name.c_str());
        }
        if (coex_remove_item(session, chosen[i].provider, item) != 0) {
            error("coex_diag_act: can't delete item %s", coex_item_key(item).c_str());
            if (!gui) {
                print_string("\n%s %s: %s\n", uninstalling.c_str(), name.c_str(), failed.c_str());
                print_dashes();
            }
            // The item stays recorded as installed; the result dialog reads what failed.
            env_set_string(session, "INSTALLATION_ERROR_DESCRIPTION", uninstalling + " " + name + ": " + failed + "\n");
            env_set_string(session, "COEX_REMOVE_FAILED", name);
            env_set_string(session, "LUMO_EXIT_CODE", "2");
            return -1;
        }
        item->m_status = -1;
        item->coex_selected = 0;
        if (last && !gui) print_string("%s\n", done.c_str());
    }
    return 0;
}

int coex_actions_register(session_t* session) {
    return actions_register_table(session, {
        {"coex_diag_init", coex_diag_init},         {"coex_diag_update", coex_diag_update},
        {"coex_diag_finalize", coex_diag_finalize}, {"coex_diag_act", coex_diag_act},
        {"coex_diag_show", coex_diag_show},
    });
}
