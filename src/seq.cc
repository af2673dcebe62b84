#include "seq.h"

#include <sys/stat.h>
#include <algorithm>
#include <map>
#include <new>
#include <set>
#include <unordered_map>

#include "actions.h"
#include "cond.h"
#include "debug.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "seq_dialog.h"
#include "interrupt.h"
#include "store.h"
#include "utils.h"

seq_item_t::~seq_item_t() = default;

namespace {

constexpr int transition_restart = 1;
constexpr int transition_finish = 2;
constexpr int transition_next = 3;
constexpr int transition_prev = 4;
constexpr int transition_in = 5;
constexpr int transition_out = 6;
constexpr int transition_jump = 7;
// The log shows a move into a sub-module as one number: the code, the next shift above it.
constexpr int transition_shift_bits = 8;
int packed(int code, int shift) { return code | (shift << transition_shift_bits); }

// The stack flags value that makes "previous" leave the step instead of going back inside it.

// Outcome of scanning one behavior.
constexpr int scan_exhausted = 0;
constexpr int scan_transition = 1;
constexpr int scan_failed = -1;

// Counts one move; false (logged once) when the moves made since the last dialog are too many.
bool count_move(session_t* session) {
    int& moves = session->seqs->moves_without_answer;
    if (moves > seq_moves_without_answer_max) return false;
    if (++moves > seq_moves_without_answer_max) {
        error("sequence_execute: %d moves made without a dialog answer, the sequence loops and is stopped",
              seq_moves_without_answer_max);
        return false;
    }
    return true;
}

// Attribute names of sequences and modules are case-sensitive.
const std::string* find_key(const node_t* node, const char* name) { return xml_node_find_key(node, name); }

std::string key_or(const node_t* node, const char* name, const char* fallback) {
    const std::string* value = find_key(node, name);
    return value ? *value : std::string(fallback);
}

// For log lines: the text, or "(null)" for an absent attribute.
const char* shown(const std::string* value) { return value ? value->c_str() : "(null)"; }

bool condition_holds(session_t* session, const std::string* condition) {
    return !condition || cond_holds(*condition, session);
}

bool step_condition_holds(session_t* session, const step_t* step) { return cond_holds(step->condition, session); }

node_t* doc_root(document_t* doc) {
    if (!doc || doc->nodes_count <= 0 || doc->nodes.empty()) return nullptr;
    return &doc->nodes[0];
}

// A parsed document with at least one root element, or null: a damaged text is never half-used.
std::unique_ptr<document_t> parse_document(const std::string& text) {
    auto doc = std::make_unique<document_t>();
    if (xml_parse_buffer(text.data(), text.size(), doc.get()) != 0 || !doc_root(doc.get())) return nullptr;
    return doc;
}

// A module or sub-module document read from the session's store; null when absent or damaged.
document_t* load_module_document(session_t* session, seq_item_t* sequence, const std::string& component,
                                 const std::string& file) {
    std::string text;
    if (file.empty() || store_file_get_content(session->store.get(), component, file, text) < 0) return nullptr;
    std::unique_ptr<document_t> doc = parse_document(text);
    if (!doc) {
        error("sequence_execute_container: can't parse %s::%s", component.c_str(), file.c_str());
        return nullptr;
    }
    document_t* raw = doc.get();
    sequence->owned_docs.push_back(std::move(doc));
    return raw;
}

// A layer id names a folder under the temporary folder: it must stay a single plain name.
bool plain_folder_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// A store entry name lands under the layer's folder only when it is relative and none of its
// components is "..".
bool stays_inside(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    for (const std::string& part : splitString(name, "/", true)) {
        if (part == "..") return false;
    }
    return true;
}

// Extracts every file of the layer's store into its folder; -1 when a target path is too long.
int extract_layer_files(session_t* session, layer_t* layer, const std::string& folder, const std::string& arch) {
    store_iter_t iter;
    if (store_iter_init(&layer->store, &iter) != 0) return 0;
    while (cab_item_t* item = store_iter_next(&iter)) {
        print_log("sequence_execute_container: processing layer file %s:%s", item->component.c_str(),
                  item->name.c_str());
        if (item->component == "_internal_32_" && arch != "KX32") continue;
        if (item->component == "_internal_32e_" && arch != "VEXAN64") continue;
        if (!stays_inside(item->name)) {
            error("sequence_execute_container: entry %s:%s would land outside the layer folder, skipping",
                  item->component.c_str(), item->name.c_str());
            continue;
        }
        const std::string target = folder + "/" + item->name;
        if (target.size() > seq_entry_name_max) {
            error("sequence_execute_container: entry_name max length exceeded");
            return -1;
        }
        // Anything at the name counts, a link to nowhere too: it is never written through.
        struct stat taken;
        if (lstat(target.c_str(), &taken) == 0) {
            print_log("sequence_execute_container: entry %s already exists, skipping", target.c_str());
            continue;
        }
        print_log("sequence_execute_container: extracting to %s", target.c_str());
        store_file_extract(session, &layer->store, item->component.c_str(), item->name.c_str(), target.c_str());
    }
    return 0;
}

// The layer's strings: the ones of the current language when that language is also one of the
// additional locales, the default ones otherwise.
void read_layer_strings(session_t* session, layer_t* layer, node_t* root,
                        const std::map<std::string, std::string>& locales) {
    const std::string lang = env_get_string(session, "LANG");
    auto mapped = locales.find(lang);
    const std::string mapped_lang = mapped == locales.end() ? std::string() : mapped->second;
    const std::string additional = env_get_string(session, "ADDITIONAL_LOCALES");
    bool localized = false;
    for (const node_t& child : root->childs) {
        if (child.name != "strings") continue;
        const std::string* locale = find_key(&child, "locale");
        if (!locale || locale->empty() || (*locale != lang && *locale != mapped_lang)) continue;
        if (additional.find(*locale) != std::string::npos) {
            print_log("sequence_execute_container: found localized strings for layer for LANG '%s'", lang.c_str());
            localized = true;
        } else {
            print_log("sequence_execute_container: found localized strings for LANG '%s' but it is not "
                      "included into ADDITIONAL_LOCALES list",
                      lang.c_str());
        }
    }
    for (const node_t& child : root->childs) {
        if (child.name != "strings") continue;
        const std::string* locale = find_key(&child, "locale");
        bool take;
        if (localized) {
            take = locale && !locale->empty() && (*locale == lang || *locale == mapped_lang) &&
                   additional.find(*locale) != std::string::npos;
        } else {
            take = !locale || locale->empty() || *locale == "default";
        }
        if (!take) continue;
        for (const node_t& item : child.childs) {
            const std::string* name = find_key(&item, "name");
            if (!name) continue;
            const std::string value = item.data_len >= 0 ? item.data : std::string();
            env_set_string(session, *name, value);
            if (name->compare(0, layer->id.size(), layer->id) == 0) {
                std::string key = *name;  // written as env_set_string writes names
                std::replace(key.begin(), key.end(), '-', '_');
                env_set_string_internal(session->properties, key, value);
            }
        }
    }
}

// Loads one layer element: 0 when added or passed over, -1 on a fatal failure.
int load_layer(session_t* session, seq_item_t* sequence, const node_t* node, const std::string& config_dir,
               const std::string& temp, const std::string& arch, const std::map<std::string, std::string>& locales) {
    const std::string* file = find_key(node, "file");
    if (!file) {
        error("sequence_execute_container: layer file name is NULL");
        return 0;
    }
    const std::string* id = find_key(node, "id");
    if (!id) {
        error("sequence_execute_container: id of layer is NULL");
        return 0;
    }
    if (!plain_folder_name(*id)) {
        error("sequence_execute_container: id of layer %s is not a plain name, skipping", id->c_str());
        return 0;
    }
    auto layer = std::make_unique<layer_t>();
    layer->id = *id;
    layer->executedir = key_or(node, "executedir", "");
    layer->condition = key_or(node, "condition", "");
    print_log("sequence_execute_container: layer info: file %s, condition %s", file->c_str(),
              layer->condition.c_str());
    const std::string store_path = config_dir + "/" + *file;
    if (store_read_header(session, &layer->store, store_path.c_str()) != 0) {
        error("sequence_execute_container: can't read layer store %s", store_path.c_str());
        return 0;
    }
    const std::string doc_name = *id + ".xml";
    std::string text;
    if (store_file_get_content(&layer->store, "_internal_", doc_name, text) < 0) {
        error("sequence_execute_container: can't extract %s", doc_name.c_str());
        return 0;
    }
    print_log("sequence_execute_container: read %d bytes from %s", static_cast<int>(text.size()), doc_name.c_str());
    layer->doc = parse_document(text);

    const std::string folder = temp + "/" + *id;
    if (!is_dir(folder)) folder_create(folder, 0755);
    print_log("sequence_execute_container: layer temp dir is %s, arch is %s", folder.c_str(), arch.c_str());
    if (extract_layer_files(session, layer.get(), folder, arch) != 0) return -1;

    layer_t* raw = layer.get();
    sequence->owned_layers.push_back(std::move(layer));
    sequence->seq_layers.push_back(raw);
    print_log("sequence_execute_container: layer_num = %d", static_cast<int>(sequence->seq_layers.size()));
    session->active_layer = raw;
    raw->properties.clear();
    node_t* root = doc_root(raw->doc.get());
    if (!root) {
        error("sequence_execute_container: root node is NULL");
        session->active_layer = nullptr;
        return -1;
    }
    read_layer_strings(session, raw, root, locales);
    session->active_layer = nullptr;
    return 0;
}

// Builds one step from its module element; *next gets the following module's id ("" for none).
void load_step(session_t* session, seq_item_t* sequence, const node_t* module, std::string* next) {
    auto step = std::make_unique<step_t>();
    const std::string* file = find_key(module, "file");
    const std::string* component = find_key(module, "component");
    const std::string* id = find_key(module, "id");
    const std::string* action = find_key(module, "action");
    const std::string* name = find_key(module, "name");
    const std::string* condition = find_key(module, "condition");
    print_log("sequence_execute_container: Module info: id %s, file %s, component %s, action %s, name %s, "
              "condition %s",
              shown(id), shown(file), shown(component), shown(action), shown(name), shown(condition));
    step->id = id ? *id : "";
    step->action = action ? *action : "";
    step->name = name ? *name : "";
    step->condition = condition ? *condition : "";
    step->sequence = sequence;
    const std::string file_text = file ? *file : "";
    const std::string component_text = component ? *component : "";
    step->doc = load_module_document(session, sequence, component_text, file_text);
    if (!step->doc)
        error("sequence_execute_container: can't extract %s::%s HERE", component_text.c_str(), file_text.c_str());
    next->clear();
    bool have_next = false;
    for (const node_t& child : module->childs) {
        if (child.name == "module") {
            auto sub = std::make_unique<sub_module_t>();
            const std::string sub_file = key_or(&child, "file", "");
            const std::string sub_component = key_or(&child, "component", "");
            std::string text;
            if (!sub_file.empty() && store_file_get_content(session->store.get(), sub_component, sub_file, text) >= 0) {
                sub->doc = parse_document(text);
                if (!sub->doc)
                    error("sequence_execute_container: can't parse %s::%s", sub_component.c_str(), sub_file.c_str());
            } else {
                error("sequence_execute_container: can't extract %s::%s", sub_component.c_str(), sub_file.c_str());
            }
            sub->id = key_or(&child, "id", "");
            sub->action = key_or(&child, "action", "");
            print_log("sequence_execute_container: found sub: %s", sub->id.c_str());
            step->sub.push_back(sub.get());
            sequence->owned_subs.push_back(std::move(sub));
        } else if (child.name == "next" && !have_next) {
            const std::string* call = find_key(&child, "call");
            if (!call) continue;
            have_next = true;
            *next = expand_operand(session, *call);
            print_log("sequence_execute_container: next: %s", next->c_str());
        }
    }
    print_log("sequence_execute_container: found subs: %d", static_cast<int>(step->sub.size()));
    print_log("sequence_execute_container: module_num = %d", static_cast<int>(sequence->seq_steps.size()));
    sequence->seq_steps.push_back(step.get());
    sequence->owned_steps.push_back(std::move(step));
}

std::string current_sequence_name(session_t* session) {
    return session->seqs->current ? session->seqs->current->filename : std::string();
}

// The debug link's view of where the run is: the running layer or the current step, and the
// current sub-module.
void report_action(session_t* session, const std::string& action) {
    seq_item_t* sequence = session->seqs->current;
    std::string step;
    if (session->active_layer) step = session->active_layer->id;
    else if (sequence && sequence->current_step) step = sequence->current_step->id;
    const std::string sub = sequence && sequence->current_sub ? sequence->current_sub->id : std::string();
    dump_debug_info(session, current_sequence_name(session), step, sub, action);
}

void exec_dialog(session_t* session, node_t* root, const node_t* action) {
    const std::string call = key_or(action, "call", "");
    node_t* dialog = nullptr;
    for (node_t& view : root->childs) {
        if (dialog) break;
        if (view.name != "interface" || key_or(&view, "view", "") != "cli") continue;
        for (node_t& candidate : view.childs) {
            if (candidate.name == "dialog" && key_or(&candidate, "id", "") == call) {
                dialog = &candidate;
                break;
            }
        }
    }
    if (!dialog) {
        error("sequence_exec_dialog: Unknown dialog \"%s\"", call.c_str());
        // Nothing was shown, so nothing may be recorded as visited.
        env_set_string(session, "SAVE_IN_VISITED", "no");
        return;
    }
    env_set_string(session, "SAVE_IN_VISITED", key_or(dialog, "save_in_visited", "yes"));
    env_set_string(session, "CURRENT_DIALOG", call);
    print_log("sequence_exec_dialog: show \"%s\" dialog", call.c_str());
    add_user_stat_data(session, "LUMO_USER_STAT_VISITED_DIALOGS", "\\\"" + call + "\\\"");
    show_dialog(session, dialog);
    // Someone was asked: the moves count anew. A silent run answers by itself, so its moves
    // keep counting.
    if (!env_exists(session, "silent")) session->seqs->moves_without_answer = 0;
    g_is_dialog = 0;
}

struct document_run_t {
    session_t* session = nullptr;
    cab_t* store = nullptr;
    node_t* root = nullptr;
    step_cursor_t* cursor = nullptr;
    transition_t* out = nullptr;
    std::unique_ptr<seq_stack_t>* visited = nullptr;  // the cursor's, may be null
    int shift = 0;  // next elements passed over on the first action (return from a sub-module)
    // The last next taken, for a move into a sub-module.
    std::string last_action;
    std::string last_sub;
    int last_shift = 0;
};

// Loads the sequence of a "file:module" jump (or finds it loaded) and makes it current.
int jump_to_sequence(document_run_t& run, const std::string& name) {
    session_t* session = run.session;
    print_log("sequence_execute_document: moving to the another sequence = %s", name.c_str());
    const std::vector<std::string> parts = splitString(name, ":", true);
    if (parts.size() != 2) {
        error("sequence_execute_document: bad syntax of transition to another sequence");
        return -1;
    }
    seq_item_t* next = get_sequence_by_filename(session, parts[0]);
    if (!next) {
        std::string text;
        if (store_file_get_content(session->store.get(), "_internal_", parts[0], text) < 0) {
            error("sequence_execute: can't extract _internal_::%s", parts[0].c_str());
            error("sequence_execute_document: cannot load another sequence");
            return -1;
        }
        std::unique_ptr<document_t> doc = parse_document(text);
        if (!doc) {
            error("sequence_execute_document: cannot load another sequence");
            return -1;
        }
        auto item = std::make_unique<seq_item_t>();
        item->doc = std::move(doc);
        item->filename = parts[0];
        next = item.get();
        session->seqs->seq.push_back(std::move(item));
    }
    session->seqs->current = next;
    run.out->module = parts[1];
    run.out->code = transition_jump;
    return 0;
}

// The fixed action names: scan_transition when name is one of them (the transition is set),
// scan_failed for a bad jump, scan_exhausted for an ordinary action name.
int fixed_transition(document_run_t& run, const std::string& name) {
    if (name == "_finish_") {
        print_log("sequence_execute_document: moving to last module");
        run.out->code = transition_finish;
        return scan_transition;
    }
    if (name == "_next_") {
        print_log("sequence_execute_document: moving to next module");
        run.out->code = transition_next;
        return scan_transition;
    }
    if (name == "_prev_") {
        // The top is the dialog just left (it was pushed as it was left). What stays after the pop
        // decides: an earlier dialog of this step to go back to, or nothing and the step is left.
        if (run.visited) pop(run.visited);
        run.cursor->stack_flags = run.visited && *run.visited ? 0 : stack_flags_empty;
        print_log("sequence_execute_document: moving to previous module2");
        run.out->code = transition_prev;
        return scan_transition;
    }
    if (name == "_in_") {
        run.out->code = transition_in;
        run.out->shift = run.last_shift;
        run.out->sub = run.last_sub;
        run.cursor->start = run.last_action;
        print_log("sequence_execute_document: moving into submodule %s from action %s. Result is %d",
                  run.last_sub.c_str(), run.last_action.c_str(), packed(transition_in, run.last_shift));
        return scan_transition;
    }
    if (name == "_out_") {
        print_log("sequence_execute_document: moving out of submodule");
        run.out->code = transition_out;
        return scan_transition;
    }
    if (name.find(':') != std::string::npos)
        return jump_to_sequence(run, name) == 0 ? scan_transition : scan_failed;
    return scan_exhausted;
}

// Runs the action's own work; -1 for an unknown type.
int run_action(document_run_t& run, node_t* action, const std::string& id, const std::string& type) {
    session_t* session = run.session;
    report_action(session, id);
    if (type == "action") {
        print_log("sequence_execute_document: call \"%s\" action", id.c_str());
        return sequence_exec_action(session, action);
    }
    if (type == "dialog") {
        print_log("sequence_execute_document: call \"%s\" dialog", id.c_str());
        exec_dialog(session, run.root, action);
        if (g_input_ended) return 0;  // no answer: nothing of the action's outcome is recorded
    } else if (type == "plugin_c") {
        print_log("sequence_execute_document: call \"%s\" C plug-in", id.c_str());
        sequence_exec_plugin_c_action(session, run.store, action);
    } else if (type == "plugin_bash" || type == "plugin_sh") {
        print_log("sequence_execute_document: call \"%s\" Shell plug-in", id.c_str());
        sequence_exec_plugin_bash_action(session, run.store, action);
    } else if (type == "built_in") {
        print_log("sequence_execute_document: call \"%s\" built-in action", id.c_str());
        sequence_exec_built_in_action(session, action);
    } else {
        error("sequence_execute_document: Unknown type of the action - %s", type.c_str());
        return -1;
    }
    // Every kind passes its results on through its set children, after EXIT_CODE is known.
    return sequence_exec_action(session, action);
}

// The first next element of the action that applies, or null; *position gets its place.
const node_t* choose_next(document_run_t& run, const node_t* action, int* position) {
    session_t* session = run.session;
    const std::string handle_value = env_get_string(session, "HANDLE");
    int current = 0;
    for (const node_t& next : action->childs) {
        if (next.name != "next") continue;
        const std::string handle = expand_operand(session, key_or(&next, "handle", ""));
        const std::string* condition = find_key(&next, "condition");
        const bool act = current >= run.shift && (handle.empty() || handle == handle_value) &&
                         condition_holds(session, condition);
        print_log("sequence_execute_document: detecting transition. Handle: %s, condition: %s, next_cur: %d, "
                  "next_shift: %d, act: %d",
                  handle.c_str(), shown(condition), current, run.shift, act ? 1 : 0);
        if (act) {
            *position = current;
            return &next;
        }
        ++current;
    }
    return nullptr;
}

// A dialog left through a next is remembered for "back" unless it asked not to be.
void remember_dialog(document_run_t& run, const std::string& id) {
    session_t* session = run.session;
    const bool save = env_get_string(session, "SAVE_IN_VISITED") == "yes";
    const seq_stack_t* top = run.visited ? run.visited->get() : nullptr;
    print_log("sequence_execute_document: visited_dialog: %d, top dialog: %s, cur dialog: %s", save ? 1 : 0,
              top ? top->value.c_str() : "null", id.c_str());
    if (!save || !run.visited) return;
    if (!top || top->value != id) push(run.visited, id);
    // An answer of "back" leaves the dialog backwards: it is no step forward to remember. An
    // unset back property matches nothing, or every dialog without input would be forgotten.
    const std::string back = env_get_string(session, "back");
    if (!back.empty() && env_get_string(session, "HANDLE") == back) pop(run.visited);
}

// Runs the behavior's actions from *current until a transition or the end of its children.
int scan_behavior(document_run_t& run, node_t* behavior, std::string* current) {
    session_t* session = run.session;
    bool restart = true;
    while (restart) {
        restart = false;
        if (!count_move(session)) return scan_failed;
        const int fixed = fixed_transition(run, *current);
        if (fixed != scan_exhausted) return fixed;
        for (node_t& action : behavior->childs) {
            if (action.name != "action") continue;
            const std::string* id = find_key(&action, "id");
            if (!id) {
                print_log("sequence_execute_document: action id is NULL");
                continue;
            }
            if (*id != *current) continue;
            const std::string action_id = *id;
            const std::string type = key_or(&action, "type", "action");
            // Back from a sub-module the entering action has run already: it only goes on with
            // the next elements after the one that led in.
            if (run.shift == 0 && run_action(run, &action, action_id, type) != 0) return scan_failed;
            if (g_input_ended) {
                // Nobody is left to answer: the dialog cancelled the run, which ends here.
                print_log("sequence_execute_document: input ended, moving to last module");
                run.out->code = transition_finish;
                return scan_transition;
            }
            int position = 0;
            if (const node_t* next = choose_next(run, &action, &position)) {
                *current = expand_operand(session, key_or(next, "call", ""));
                print_log("sequence_execute_document: next_name = %s", current->c_str());
                run.shift = 0;
                run.last_action = action_id;
                run.last_sub = key_or(next, "sub", "");
                run.last_shift = position + 1;
                if (type == "dialog") remember_dialog(run, action_id);
                restart = true;
                break;
            }
            run.shift = 0;
            bool went_back = false;
            for (const node_t& back : action.childs) {
                if (back.name != "back" || !condition_holds(session, find_key(&back, "condition"))) continue;
                print_log("sequence_execute_document: perform \"step_back\" action");
                std::unique_ptr<seq_stack_t> top = run.visited ? pop(run.visited) : nullptr;
                if (!top) {
                    run.cursor->stack_flags = stack_flags_empty;
                    print_log("sequence_execute_document: moving to previous module1");
                    run.out->code = transition_prev;
                    return scan_transition;
                }
                *current = top->value;
                print_log("sequence_execute_document: next name is %s", current->c_str());
                went_back = true;
                break;
            }
            if (went_back) {
                restart = true;
                break;
            }
        }
    }
    return scan_exhausted;
}

// The state of the main loop.
struct loop_t {
    session_t* session;
    seq_item_t* sequence = nullptr;
    std::vector<step_t*> steps;
    std::vector<const step_t*> named;  // the steps with a name, in order: the totals count only these
    std::vector<layer_t*> layers;
    int index = 0;
    int visible = 0;
    int status = 0;
    int stack_flags = stack_flags_empty;
    std::string sub_name;
    std::string saved_action;
    int saved_shift = 0;
    int last_code = 0;  // the code the previous round ended with
    std::string install_base;
    int count() const { return static_cast<int>(steps.size()); }
    void set_steps(std::vector<step_t*> list) {
        steps = std::move(list);
        named.clear();
        for (const step_t* step : steps) {
            if (!step->name.empty()) named.push_back(step);
        }
    }
};

void set_step_totals(loop_t& loop) {
    session_t* session = loop.session;
    const std::string prefix = env_get_string(session, "step");
    int total = 0;
    std::string titles;
    for (const step_t* step : loop.named) {
        if (!step_condition_holds(session, step)) continue;
        ++total;
        titles += prefix + " " + std::to_string(total) + " : " + step->name + "\n";
    }
    env_set_string(session, "TOTAL_STEPS", std::to_string(total));
    env_set_string(session, "TOTAL_STEP_TITLES", titles);
}

// Sets a property of one of the maps directly; a value holding a secret is logged masked.
void set_masked(session_t* session, property_map_t& map, const std::string& name, const std::string& value) {
    const std::string shown = env_mask_hidden(session, value);
    env_set_string_internal(map, name, value, &shown);
}

void import_layer_properties(session_t* session, layer_t* layer, const node_t* root) {
    for (const node_t& group : root->childs) {
        if (group.name != "properties") continue;
        for (const node_t& item : group.childs) {
            const std::string* name = find_key(&item, "name");
            if (!name) continue;
            const std::string fallback = key_or(&item, "default", "");
            const std::string* input = find_key(&item, "input");
            const std::string* output = find_key(&item, "output");
            if (!input || !output) {
                error("sequence_execute: input or output is not defined for property %s", name->c_str());
                continue;
            }
            const bool in_layer = env_exists_internal(layer->properties, *name);
            if (*input == "local") {
                if (!in_layer) set_masked(session, layer->properties, *name, fallback);
            } else if (*input == "global") {
                if (env_exists_internal(session->properties, *name)) {
                    set_masked(session, layer->properties, *name, env_get_string_internal(session->properties, *name));
                } else if (*output == "local" && !in_layer) {
                    set_masked(session, layer->properties, *name, fallback);
                }
            }
        }
    }
}

void export_layer_properties(session_t* session, layer_t* layer, const node_t* root) {
    for (const node_t& group : root->childs) {
        if (group.name != "properties") continue;
        for (const node_t& item : group.childs) {
            const std::string* name = find_key(&item, "name");
            const std::string* output = find_key(&item, "output");
            if (!name || !output || *output != "global") continue;
            if (!env_exists_internal(layer->properties, *name)) continue;
            set_masked(session, session->properties, *name, env_get_string_internal(layer->properties, *name));
        }
    }
}

// One run of a layer's document for the section; its transition code.
int run_layer_document(session_t* session, layer_t* layer, node_t* root, const std::string& section) {
    step_cursor_t cursor;
    seq_item_t* current = session->seqs->current;
    const transition_t result = sequence_execute_document(session, &layer->store, root, section.c_str(), &cursor);
    // A layer takes part in a step; it cannot move the run into another sequence.
    session->seqs->current = current;
    if (result.status != 0) error("sequence_execute: layer %s failed at %s", layer->id.c_str(), section.c_str());
    return result.code;
}

// Every layer of the current sequence takes its part of the section; the first finish (2) or
// previous (4) a layer yields ends the pass and is returned, else 0.
int run_layers(loop_t& loop, const std::string& section) {
    session_t* session = loop.session;
    for (layer_t* layer : loop.layers) {
        node_t* root = doc_root(layer->doc.get());
        if (!root) continue;
        const std::string install_dir = env_get_string(session, "LUMO_INSTALL_DIR");
        import_layer_properties(session, layer, root);
        session->active_layer = layer;
        int code = 0;
        if (layer->executedir.empty() || install_dir.empty()) {
            code = run_layer_document(session, layer, root, section);
        } else {
            for (const std::string& entry : splitString(layer->executedir, ";", false)) {
                const std::string dir = loop.install_base + entry;
                print_log("sequence_execute(): changing execute dir for layer: %s to %s", layer->id.c_str(), dir.c_str());
                env_set_string(session, "LUMO_INSTALL_DIR", dir);
                code = run_layer_document(session, layer, root, section);
                if (code == transition_finish || code == transition_prev) break;
            }
        }
        export_layer_properties(session, layer, root);
        session->active_layer = nullptr;
        if (code == transition_finish || code == transition_prev) return code;
    }
    return 0;
}

void finish_run(loop_t& loop) {
    loop.status = 1;
    loop.index = loop.count() - 1;
}

// Back to the previous step that is visible and whose condition holds; inside the step instead
// when its visited stack still has an action to return to.
void move_back(loop_t& loop, const char* inside_message) {
    session_t* session = loop.session;
    if (loop.stack_flags != stack_flags_empty) {
        print_log("%s", inside_message);
        loop.stack_flags = stack_flags_empty;
        return;
    }
    print_log("sequence_execute(): stack is empty, moving to the previous module");
    if (loop.index > 0) {
        step_t* left = loop.steps[static_cast<size_t>(loop.index)];
        if (!left->name.empty() && loop.visible > 0) --loop.visible;
        flush(&left->stack);
        --loop.index;
        while (loop.index > 0) {
            step_t* step = loop.steps[static_cast<size_t>(loop.index)];
            if (!step->name.empty() && step_condition_holds(session, step)) break;
            flush(&step->stack);
            --loop.index;
        }
    }
    const step_t* step = loop.steps[static_cast<size_t>(loop.index)];
    env_set_string(session, "CURRENT_STEP_TITLE", expand_operand(session, step->name));
    env_set_string(session, "CURRENT_STEP", std::to_string(loop.visible));
}

void move_forward(loop_t& loop) {
    session_t* session = loop.session;
    print_log("sequence_execute(): empty_stack: 1 after transition to the next module");
    loop.stack_flags = stack_flags_empty;
    int next = loop.index + 1;
    while (next < loop.count() && !step_condition_holds(session, loop.steps[static_cast<size_t>(next)])) ++next;
    loop.index = next;
    if (loop.index >= loop.count()) {
        loop.status = 1;
        return;
    }
    const step_t* step = loop.steps[static_cast<size_t>(loop.index)];
    if (!step->name.empty()) {
        ++loop.visible;
        env_set_string(session, "CURRENT_STEP_TITLE", step->name);
    } else {
        env_set_string(session, "CURRENT_STEP_TITLE", "");
    }
    env_set_string(session, "CURRENT_STEP", std::to_string(loop.visible));
    set_step_totals(loop);
}

sub_module_t* find_sub(step_t* step, const std::string& name) {
    for (sub_module_t* sub : step->sub) {
        if (sub->id == name) return sub;
    }
    return nullptr;
}

void leave_sub(loop_t& loop) {
    loop.sub_name.clear();
    if (loop.sequence) loop.sequence->current_sub = nullptr;
    if (loop.session->seqs->current) loop.session->seqs->current->current_sub = nullptr;
}

// Into a sub-module: its layers take their part first; a sub-module with a document of its own
// then runs in the next rounds until it moves out. Returns the code the round ends with.
int enter_sub(loop_t& loop, step_t* step, const std::string& start, int shift, const std::string& name) {
    loop.saved_action = start;
    loop.saved_shift = shift;
    loop.sub_name = name;
    sub_module_t* sub = find_sub(step, name);
    if (loop.sequence) loop.sequence->current_sub = sub;
    const int layer_code = run_layers(loop, name);
    if (layer_code == transition_finish) {
        leave_sub(loop);
        finish_run(loop);
        return transition_finish;
    }
    if (layer_code == transition_prev) {
        const bool leaves_step = loop.stack_flags == stack_flags_empty;
        move_back(loop, "sequence_execute(): empty_stack: 1 after LI_TRANSITION_PREV in intra-module layer");
        if (leaves_step) print_log("sequence_execute(): empty_stack: 1 after LI_TRANSITION_PREV in intra-module layer");
        loop.stack_flags = stack_flags_empty;
        leave_sub(loop);
        // The entering action belongs to the step left behind: nothing to resume. A step that was
        // not left goes on after the transition that led into the sub-module.
        return leaves_step ? transition_prev : transition_out;
    }
    if (sub && doc_root(sub->doc.get()) && !sub->action.empty()) return transition_in;
    leave_sub(loop);
    return transition_out;
}

void jump(loop_t& loop, const std::string& target_module) {
    session_t* session = loop.session;
    print_log("sequence_execute(): empty_stack: 1 after inter-sequence transition");
    loop.stack_flags = stack_flags_empty;
    seq_item_t* next = session->seqs->current;
    if (!next) {
        loop.status = -1;
        return;
    }
    if (next != loop.sequence) {
        // A sequence met again (a jump back) keeps the steps it was built with.
        if (!next->loaded) {
            print_log("sequence_execute: loading steps of %s", next->filename.c_str());
            if (sequence_execute_container(session, next) != 0) {
                loop.status = -1;
                return;
            }
        }
        loop.sequence = next;
    }
    const std::string target = target_module.empty() ? "_init_" : target_module;
    const int found = get_module_index_by_id(next, target);
    if (found < 0) {
        error("sequence_execute: cannot find module %s in sequence %s", target.c_str(), next->filename.c_str());
    } else {
        std::vector<step_t*> merged = loop.steps;
        merge_steps(merged, loop.count(), loop.index, next->seq_steps, static_cast<int>(next->seq_steps.size()), found);
        loop.set_steps(std::move(merged));
        loop.layers = next->seq_layers;
    }
    ++loop.index;
}

// LOCALES_MAPPING, "from:to;from:to", as a map; pairs without a colon are left out.
std::map<std::string, std::string> locales_mapping(session_t* session) {
    std::map<std::string, std::string> locales;
    for (const std::string& pair : splitString(env_get_string(session, "LOCALES_MAPPING"), ";", false)) {
        const size_t colon = pair.find(':');
        if (colon == std::string::npos) continue;
        const std::string from = pair.substr(0, colon);
        const std::string to = pair.substr(colon + 1);
        print_log("sequence_execute_container: Locale '%s' is mapped to '%s'", from.c_str(), to.c_str());
        locales[from] = to;
    }
    return locales;
}

// The steps in the order their next attributes chain them, from "_start_" on; a module met
// twice ends the chain.
void load_steps(session_t* session, seq_item_t* sequence, const node_t* root) {
    // The first module element of each id is the one a next names, whatever follows it.
    std::unordered_map<std::string, const node_t*> modules;
    for (const node_t& child : root->childs) {
        if (child.name != "module") continue;
        if (const std::string* id = find_key(&child, "id")) modules.emplace(*id, &child);
    }
    std::set<std::string> taken;
    std::string wanted = "_start_";
    for (;;) {
        auto found = modules.find(wanted);
        if (found == modules.end()) break;
        if (!taken.insert(wanted).second) {
            error("sequence_execute_container: module %s is already in the list, stopping here", wanted.c_str());
            break;
        }
        std::string next;
        load_step(session, sequence, found->second, &next);
        if (next.empty()) break;
        wanted = next;
    }
}

seq_core_subdir_t g_core_subdir = nullptr;  // see sequence_set_core_subdir

// The part of LUMO_INSTALL_DIR before the sub-directory of the suite: layers run below it.
std::string install_base(session_t* session) {
    const std::string dir = env_get_string(session, "LUMO_INSTALL_DIR");
    if (dir.empty()) return "";
    std::string subdir = env_get_string(session, "LUMO_INSTALL_SUBDIR");
    if (subdir.empty() && g_core_subdir) subdir = g_core_subdir(session);
    if (subdir.empty()) return dir;
    const size_t at = dir.find(subdir);
    return at == std::string::npos ? dir : dir.substr(0, at);
}

// Where this round's document run begins: the step's own document, resumed where its visited
// stack or a sub-module left it, or the document of the sub-module the loop is in.
node_t* begin_round(loop_t& loop, step_t* step, step_cursor_t& cursor) {
    session_t* session = loop.session;
    seq_item_t* current = session->seqs->current ? session->seqs->current : loop.sequence;
    current->current_step = step;
    current->current_sub = nullptr;
    cursor.stack_flags = loop.stack_flags;
    cursor.visited = &step->stack;
    if (!loop.sub_name.empty()) {
        sub_module_t* sub = find_sub(step, loop.sub_name);
        current->current_sub = sub;
        if (!sub) return nullptr;
        cursor.start = sub->action;
        return doc_root(sub->doc.get());
    }
    print_log("sequence_execute: module = %d", loop.index);
    if (loop.last_code == transition_out) {
        cursor.start = loop.saved_action;
        cursor.shift = loop.saved_shift;
        print_log("sequence_execute: returning to action %s, transition %d", cursor.start.c_str(),
                  packed(transition_in, cursor.shift));
    } else {
        cursor.start = step->action;
        if (step->stack) {
            cursor.start = pop(&step->stack)->value;
            cursor.stack_flags = 0;
        }
    }
    return doc_root(step->doc);
}

// The step's document is done: its layers take their part before the loop moves on.
void leave_step(loop_t& loop, const step_t* step) {
    const int layer_code = run_layers(loop, step->id);
    if (layer_code == transition_finish) {
        finish_run(loop);
    } else if (layer_code == transition_prev) {
        move_back(loop, "sequence_execute(): empty_stack: 1 after LI_TRANSITION_PREV in inter-module layer");
    } else {
        move_forward(loop);
    }
}

// Carries out the transition a document run ended with; the code the round ends with.
int take_transition(loop_t& loop, step_t* step, const step_cursor_t& cursor, const transition_t& result,
                    bool in_sub) {
    if (in_sub && result.code != transition_out) leave_sub(loop);
    switch (result.code) {
    case transition_restart:
        loop.index = 1;
        break;
    case transition_finish:
        finish_run(loop);
        break;
    case transition_next:
        leave_step(loop, step);
        break;
    case transition_prev:
        move_back(loop, "sequence_execute(): empty_stack: 1 after transition to the previous module");
        break;
    case transition_in:
        if (cursor.start.empty()) {
            LOG_NULL_PARAM();
            loop.status = -1;
            break;
        }
        return enter_sub(loop, step, cursor.start, result.shift, result.sub);
    case transition_out:
        if (!in_sub) {
            error("sequence_execute: Unknown transition.");
            loop.status = -1;
            break;
        }
        leave_sub(loop);
        break;
    case transition_jump:
        jump(loop, result.module);
        break;
    default:
        error("sequence_execute: Unknown transition.");
        loop.status = -1;
        break;
    }
    return result.code;
}

// One round of the main loop: the current step's (or sub-module's) document runs, and the
// transition it ends with moves the loop. A round that ends the loop leaves its status non-zero.
void run_round(loop_t& loop) {
    session_t* session = loop.session;
    if (!count_move(session)) {
        loop.status = -1;
        return;
    }
    // The list ran out: an empty list, or a restart or jump past its end.
    if (loop.index < 0 || loop.index >= loop.count()) {
        loop.status = 1;
        return;
    }
    step_t* step = loop.steps[static_cast<size_t>(loop.index)];
    const bool in_sub = !loop.sub_name.empty();
    step_cursor_t cursor;
    node_t* root = begin_round(loop, step, cursor);
    const transition_t result = sequence_execute_document(session, session->store.get(), root, nullptr, &cursor);
    loop.stack_flags = cursor.stack_flags;
    loop.status |= result.status;
    if (result.status != 0) {
        // A failed run yields no transition; the loop reports that before it ends.
        if (result.code == 0) error("sequence_execute: Unknown transition.");
        return;
    }
    loop.install_base = install_base(session);
    loop.last_code = take_transition(loop, step, cursor, result, in_sub);
}

// The text of a sequence file named in sequence.ini: from a component of the store, or from a
// file, relative to the engine's folder unless absolute. 0 when read, 1 to skip the line, -1 to stop.
int read_sequence_text(session_t* session, const std::string& component, const std::string& file,
                       std::string& content) {
    if (!component.empty()) {
        print_log("init_sequence: Looks like we should read %s::%s sequence file", component.c_str(), file.c_str());
        if (store_file_get_content(session->store.get(), component, file, content) < 0) {
            error("init_sequence: can't extract %s::%s", component.c_str(), file.c_str());
            return 1;
        }
        return 0;
    }
    std::string path = file;
    if (path.empty() || path[0] != '/') {
        const std::string engine_dir = env_get_string(session, "ENGINE_DIR");
        if (engine_dir.empty()) {
            error("sequence_init: can not read ENGINE_DIR property");
            return -1;
        }
        path = engine_dir + "/" + file;
    }
    print_log("init_sequence: Looks like we should read %s sequence file", path.c_str());
    if (get_file(path, content, 1) != 0) {
        error("sequence_init: can not open file %s", path.c_str());
        return -1;
    }
    if (content.empty()) {
        error("sequence_init: can not read content of the %s", path.c_str());
        return -1;
    }
    return 0;
}

constexpr int sequence_line_skipped = 0;
constexpr int sequence_line_loaded = 1;

// One line of sequence.ini, "component:file:condition": the first line whose condition holds and
// whose file parses becomes the session's sequence. -1 when the sequence cannot be read at all.
int read_sequence_line(session_t* session, std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') return sequence_line_skipped;
    const std::vector<std::string> fields = splitString(line, ":", true);
    if (fields.size() < 3) {
        print_log("init_sequence: less than three components, skipping this line");
        return sequence_line_skipped;
    }
    const std::string& file = fields[1];
    if (cond_is_true(fields[2], session) != 1) {
        print_log("init_sequence: Condition is false");
        return sequence_line_skipped;
    }
    print_log("init_sequence: Condition is true");
    std::string content;
    const int read = read_sequence_text(session, fields[0], file, content);
    if (read != 0) return read < 0 ? -1 : sequence_line_skipped;
    std::unique_ptr<document_t> doc = parse_document(content);
    if (!doc) {
        error("init_sequence: can't load the sequence data");
        return sequence_line_skipped;
    }
    auto item = std::make_unique<seq_item_t>();
    item->doc = std::move(doc);
    item->filename = file;
    session->seqs->current = item.get();
    session->seqs->seq.push_back(std::move(item));
    return sequence_line_loaded;
}

}  // namespace

int init_sequence(session_t* session) {
    if (!session) {
        error("init_sequence: parameter is NULL");
        return -1;
    }
    print_log("init_sequence: started");
    if (!store_file_exists(session->store.get(), "_internal_", "sequence.ini")) {
        error("init_sequence: There is no _internal_::sequence.ini");
        return 0;
    }
    std::string text;
    if (store_file_get_content(session->store.get(), "_internal_", "sequence.ini", text) < 0) {
        error("init_sequence: can't read _vexannal_::sequence.ini.");
        return 0;
    }
    sequence_free_all(session);
    for (const std::string& line : splitString(text, "\n", true)) {
        const int read = read_sequence_line(session, line);
        if (read < 0) return -1;
        if (read == sequence_line_loaded) break;
    }
    print_log("init_sequence: finished");
    return 0;
}

int sequence_execute_container(session_t* session, seq_item_t* sequence) {
    if (!session) {
        error("sequence_execute_container: session is NULL");
        return -1;
    }
    if (!sequence) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (sequence->loaded) return 0;
    sequence->loaded = true;
    node_t* root = doc_root(sequence->doc.get());
    if (!root) {
        error("sequence_execute_container: root node is NULL");
        return -1;
    }
    if (!env_exists(session, "ARCH")) env_set_string(session, "ARCH", "KX32");
    const std::string arch = env_get_string(session, "ARCH");
    std::string temp = env_get_string(session, "TEMP_FOLDER");
    if (temp.empty()) {
        temp = env_get_string(session, "PACKAGE_DIR") + "/tmp";
        env_set_string(session, "TEMP_FOLDER", temp);
        if (!is_dir(temp)) folder_create(temp, 0755);
    }
    const std::map<std::string, std::string> locales = locales_mapping(session);
    const std::string config_dir = env_get_string(session, "CONFIG_DIR");
    if (config_dir.empty()) {
        error("sequence_execute_container: base_dir is null");
        return -1;
    }
    for (const node_t& child : root->childs) {
        if (child.name != "layer") continue;
        if (load_layer(session, sequence, &child, config_dir, temp, arch, locales) != 0) return -1;
    }
    load_steps(session, sequence, root);
    print_log("sequence_execute_container: finished");
    return 0;
}

seq_item_t* get_sequence_by_filename(session_t* session, const std::string& filename) {
    if (!session) {
        LOG_NULL_PARAM();
        return nullptr;
    }
    for (const auto& item : session->seqs->seq) {
        if (item && item->filename == filename) {
            print_log("get_sequence_by_filename: sequence %s found in cache", filename.c_str());
            return item.get();
        }
    }
    print_log("get_sequence_by_filename: sequence %s NOT found in cache", filename.c_str());
    return nullptr;
}

int get_module_index_by_id(seq_item_t* sequence, const std::string& id) {
    if (sequence) {
        for (size_t i = 0; i < sequence->seq_steps.size(); ++i) {
            if (sequence->seq_steps[i]->id == id) {
                print_log("get_module_index_by_id: module %s has %d index", id.c_str(), static_cast<int>(i));
                return static_cast<int>(i);
            }
        }
    }
    print_log("get_module_index_by_id: module %s has not been found", id.c_str());
    return -1;
}

int merge_steps(std::vector<step_t*>& list1, int count1, int out, const std::vector<step_t*>& list2, int count2,
                int in) {
    print_log("merge_steps: started");
    print_log("merge_steps: steplist1 count = %d, out = %d", count1, out);
    print_log("merge_steps: steplist2 count = %d; in = %d", count2, in);
    // The counts never reach past what the lists hold.
    const int have1 = std::min(std::max(count1, 0), static_cast<int>(list1.size()));
    const int have2 = std::min(std::max(count2, 0), static_cast<int>(list2.size()));
    const int keep = std::min(out + 1, have1);
    const int from = in < 0 ? 0 : in;
    std::vector<step_t*> merged;
    merged.reserve(static_cast<size_t>(std::max(keep, 0) + std::max(have2 - from, 0)));
    for (int i = 0; i < keep; ++i) merged.push_back(list1[static_cast<size_t>(i)]);
    for (int i = from; i < have2; ++i) merged.push_back(list2[static_cast<size_t>(i)]);
    list1 = std::move(merged);
    const int count = static_cast<int>(list1.size());
    print_log("merge_steps: modules count after merging = %d", count);
    print_log("merge_steps: finished");
    return count;
}

int push(std::unique_ptr<seq_stack_t>* stack, const std::string& value) {
    if (!stack) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::unique_ptr<seq_stack_t> node(new (std::nothrow) seq_stack_t);
    if (!node) {
        LOG_ALLOC_FAILED();
        return -1;
    }
    node->value = value;
    node->next = std::move(*stack);
    *stack = std::move(node);
    print_log("seq_push");
    print_seq_stack(stack->get());
    return 1;
}

std::unique_ptr<seq_stack_t> pop(std::unique_ptr<seq_stack_t>* stack) {
    if (!stack) {
        LOG_NULL_PARAM();
        return nullptr;
    }
    std::unique_ptr<seq_stack_t> top = std::move(*stack);
    if (top) *stack = std::move(top->next);
    print_log("seq_pop");
    print_seq_stack(stack->get());
    return top;
}

void print_seq_stack(const seq_stack_t* stack) {
    print_log("print_seq_stack: the seq stack are:");
    for (const seq_stack_t* node = stack; node; node = node->next.get()) print_log("print_seq_stack: %s", node->value.c_str());
}

void flush(std::unique_ptr<seq_stack_t>* stack) {
    if (stack) stack->reset();
}

void sequence_free_all(session_t* session) {
    if (!session) return;
    for (const auto& item : session->seqs->seq) {
        for (const auto& layer : item->owned_layers) {
            if (session->active_layer == layer.get()) session->active_layer = nullptr;
        }
    }
    session->seqs->current = nullptr;
    session->seqs->seq.clear();
}

int sequence_execute(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (session->seqs->seq.empty() || !session->seqs->seq[0]) {
        error("sequence_execute: sequence is NULL");
        return -1;
    }
    print_log("sequence_execute: started");
    loop_t loop;
    loop.session = session;
    loop.sequence = session->seqs->seq[0].get();
    session->seqs->current = loop.sequence;
    if (sequence_execute_container(session, loop.sequence) != 0) loop.status = -1;
    loop.set_steps(loop.sequence->seq_steps);
    loop.layers = loop.sequence->seq_layers;
    session->seqs->moves_without_answer = 0;
    while (loop.status == 0) run_round(loop);
    if (loop.status != 1) error("sequence_execute: Execution error.");
    sequence_free_all(session);
    print_log("sequence_execute: finished");
    return 0;
}

transition_t sequence_execute_document(session_t* session, cab_t* store, node_t* root, const char* section,
                                       step_cursor_t* cursor) {
    transition_t result;
    if (!session || !cursor) {
        error("sequence_execute_document: parameter is NULL");
        result.status = -1;
        return result;
    }
    const std::string mode = env_get_string(session, "LUMO_MODE");
    const bool install = mode != "uninstall" && mode != "modify" && mode != "repair";
    const bool silent = env_exists(session, "silent");
    if (!root) {
        print_log("sequence_execute_document: Nothing to process, exiting");
        result.code = transition_next;
        return result;
    }
    print_log("sequence_execute_document: started");
    print_log("sequence_execute_document: root: %s, section: %s, start: %s, sub: %s", root->name.c_str(),
              section ? section : "(null)", cursor->start.c_str(), "(null)");
    const char* kind = install ? (silent ? "silent_inst" : "cli_inst") : (silent ? "silent_uninst" : "cli_uninst");
    document_run_t run;
    run.session = session;
    run.store = store;
    run.root = root;
    run.cursor = cursor;
    run.out = &result;
    run.visited = cursor->visited;
    run.shift = cursor->shift;
    std::string current = cursor->start;
    for (node_t& behavior : root->childs) {
        if (behavior.name != "behavior") continue;
        if (section) {
            const std::string* id = find_key(&behavior, "id");
            const std::string* names = find_key(&behavior, "sequence");
            print_log("sequence_execute_document(): sect id = %s, looked for %s, seqnames = %s", shown(id), section,
                      shown(names));
            if (!id || *id != section || !names || names->find(kind) == std::string::npos) continue;
        }
        if (!condition_holds(session, find_key(&behavior, "condition"))) continue;
        if (section) current = key_or(&behavior, "action", "");
        if (current.empty()) return result;
        const int scanned = scan_behavior(run, &behavior, &current);
        if (scanned == scan_failed) result.status = -1;
        if (scanned != scan_exhausted) return result;
    }
    print_log("sequence_execute_document: finished");
    return result;
}

int sequence_exec_action(session_t* session, node_t* action) {
    if (!session || !action) {
        LOG_NULL_PARAM();
        return -1;
    }
    for (const node_t& set : action->childs) {
        if (set.name != "set") continue;
        if (!condition_holds(session, find_key(&set, "condition"))) continue;
        const std::string* property = find_key(&set, "property");
        const std::string* value = find_key(&set, "value");
        if (!property || !value) continue;
        const std::string expanded = expand_operand(session, *value);
        print_log("sequence_exec_action: set the var \"%s\" with value \"%s\"", property->c_str(),
                  env_log_value(*property, env_mask_hidden(session, expanded)));
        env_set_string(session, *property, expanded);
    }
    return 0;
}

void sequence_set_core_subdir(seq_core_subdir_t source) { g_core_subdir = source; }
