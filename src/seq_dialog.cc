#include "seq_dialog.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "cond.h"
#include "console.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "utils.h"
#include "xml.h"

namespace {

// Results of one pass over a drawn screen.
constexpr int screen_done = 0;
constexpr int screen_failed = -1;
constexpr int screen_rebuild = 1;  // a checkbox or radio item was toggled

const char* attr(const node_t& node, const char* name) { return xml_node_get_key(&node, name); }

std::string attr_text(const node_t& node, const char* name) {
    const char* value = attr(node, name);
    return value ? value : "";
}

bool named(const node_t& node, const char* name) { return node.name == name; }

const std::vector<node_t>& children(const node_t& node) {
    static const std::vector<node_t> none;
    return node.childs_count > 0 ? node.childs : none;
}

// Whether text equals one of the non-empty ";"-separated pieces of list: "1" is not an entry of
// ";10", and "" is never an entry.
bool is_entry(const std::string& text, const std::string& list) {
    if (text.empty()) return false;
    for (const std::string& piece : splitString(list, ";", false)) {
        if (piece == text) return true;
    }
    return false;
}

bool contains(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

std::string current_dialog(session_t* session) {
    return env_get_string(session, "CURRENT_DIALOG");
}

// Everything one build of the dialog produces; a redraw after an interrupt reuses it unchanged.
struct screen_t {
    std::string title;
    std::string description;
    std::string questions;
    std::string prompt;  // expanded once; expanded again whenever it is printed
    bool has_input = false;
    input_t input;
    bool clear_screen = true;
    bool checkbox = false;
    bool numbers_hidden = false;
    bool custom_hidden = false;
    int count = 0;                        // visible lines of "num" lists
    std::vector<int> inputs_map;          // shown number - 1 -> the line's own id
    std::set<std::string> hidden_labels;  // labels of hidden "alpha"/"custom" lines
};

// The lines of every list of one list-type question, in document order; -1 on a malformed list.
int build_lines(session_t* session, const node_t& question, int kind, screen_t& screen,
                std::vector<line_t>& lines, std::optional<std::string>& default_override) {
    for (const node_t& list : children(question)) {
        if (!named(list, "list")) continue;
        const char* type = attr(list, "type");
        if (!type) {
            error("show_dialog: type is undefined");
            continue;
        }
        const bool numbered = strcmp(type, "num") == 0;
        if (!numbered && strcmp(type, "alpha") != 0 && strcmp(type, "custom") != 0) {
            error("show_dialog: Unknown list type - %s", type);
            return -1;
        }
        for (const node_t& line : children(list)) {
            if (!named(line, "line")) continue;
            const char* condition = attr(line, "condition");
            const bool hidden = condition && cond_is_true(condition, session) != 1;
            const bool has_default = attr(line, "default") != nullptr;
            if (numbered) {
                if (hidden) {
                    screen.numbers_hidden = true;
                    if (has_default) {
                        print_log("show_dialog: hidden default num option");
                        default_override = std::string();
                    }
                    continue;
                }
                const std::string number = std::to_string(screen.count + 1);
                line_t made;
                if (make_line(session, &line, &made, kind, number.c_str()) != 0) return -1;
                const char* own_id = attr(line, "id");
                if (!own_id) error("show_dialog: line id is NULL");
                const int id = own_id ? strtoint(own_id) : 0;
                screen.inputs_map.push_back(id);
                if (has_default) {
                    print_log("show_dialog: changing default option from %d to %s", id, number.c_str());
                    default_override = number;
                }
                ++screen.count;
                lines.push_back(made);
                continue;
            }
            if (hidden) {
                const char* index = attr(line, "index");
                const char* id = attr(line, "id");
                const std::string label = expand_operand(session, index ? index : id ? id : "0");
                screen.hidden_labels.insert(label);
                screen.custom_hidden = true;
                print_log("show_dialog: skipping custom index %s", label.c_str());
                if (has_default) {
                    print_log("show_dialog: hidden default custom option");
                    default_override = std::string();
                }
                continue;
            }
            line_t made;
            if (make_line(session, &line, &made, kind, nullptr) != 0) return -1;
            lines.push_back(made);
        }
    }
    return 0;
}

// Reads the dialog element into a screen; -1 on a malformed dialog.
int build_screen(session_t* session, const node_t& dialog, screen_t& screen) {
    const char* clear = attr(dialog, "clear_screen");
    screen.clear_screen = !clear || strcmp(clear, "true") == 0;
    std::vector<question_t> questions;
    // Set by a "num" list's default line (its shown number) or cleared by a hidden default line;
    // it replaces the input's own default, so the input must come after the lists to see it.
    std::optional<std::string> default_override;
    for (const node_t& child : children(dialog)) {
        if (named(child, "title")) {
            screen.title = attr_text(child, "text");
        } else if (named(child, "description")) {
            screen.description = attr_text(child, "text");
        } else if (named(child, "question")) {
            question_t question;
            const char* id = attr(child, "id");
            if (!id) error("show_dialog: id of dialog %s is NULL", child.name.c_str());
            question.id = id ? strtoint(id) : 0;
            const char* type_attr = attr(child, "type");
            const std::string type = type_attr ? type_attr : "simple";
            int kind = line_kind_plain;
            if (type == "simple") {
                const char* text = attr(child, "text");
                question.has_text = text != nullptr;
                question.text = text ? text : "";
                questions.push_back(question);
                continue;
            }
            if (type == "checkbox") {
                kind = line_kind_checkbox;
                screen.checkbox = true;
            } else if (type == "radiobutton") {
                kind = line_kind_radio;
            } else if (type != "list") {
                error("show_dialog: Unknown type of the question - %s", type.c_str());
                return -1;
            }
            std::vector<line_t> lines;
            if (build_lines(session, child, kind, screen, lines, default_override) != 0) return -1;
            sort_list(lines);
            question.text = make_list(lines);
            question.has_text = true;
            questions.push_back(question);
        } else if (named(child, "input")) {
            if (make_input(&child, &screen.input, default_override ? &*default_override : nullptr) != 0)
                return -1;
            screen.has_input = true;
        }
    }
    sort_questions(questions);
    screen.questions = make_question(questions);
    if (screen.has_input) screen.prompt = expand_operand(session, screen.input.prompt);
    return 0;
}

// Title and description: expanded, "&#xa;" turned into a line break, expanded again.
void print_heading(session_t* session, const std::string& text) {
    if (text.empty()) return;
    std::string shown = replaceAllSubstrings(expand_operand(session, text), "&#xa;", "\n");
    shown = expand_operand(session, shown);
    print_string("%s\n", shown.c_str());
    print_dashes();
}

int draw_screen(session_t* session, const screen_t& screen) {
    const int width = get_window_width();
    env_set_string(session, "DASHES_STRING", std::string(static_cast<size_t>(width), '-'));
    if (screen.clear_screen) {
        fflush(stdout);  // what is already on its way must land before the screen is cleared
        fputs("\x1b[2J\x1b[1;1H", stderr);
        fflush(stderr);
    }
    print_heading(session, screen.title);
    print_heading(session, screen.description);
    if (!screen.questions.empty()) {
        const std::string shown = expand_operand(session, expand_operand(session, screen.questions));
        print_string("%s", shown.c_str());
        print_dashes();
    }
    if (screen.checkbox) {
        const std::string dialog_name = current_dialog(session);
        if (dialog_name.empty()) {
            error("show_dialog: cannot get CURRENT_DIALOG from session");
            return -1;
        }
        const std::string showed_name = dialog_name + "_showed";
        env_set_string(session, showed_name, std::string("yes"));
        print_log("show_dialog: this is checkbox dialog, %s is %s", showed_name.c_str(), "yes");
    }
    return 0;
}

constexpr int answer_read = 0;
constexpr int answer_ended = 1;
constexpr int answer_interrupted = 2;

// One answer line from standard input, read byte by byte with read(2) so that nothing beyond the
// newline is taken from the next reader.
int read_answer(std::string& answer, bool with_completion) {
    answer.clear();
    if (with_completion) {
        const int got = read_path(answer, &g_dialog_interrupted);
        if (got == read_path_interrupted) return answer_interrupted;
        if (got == read_path_ended && answer.empty()) return answer_ended;
        return answer_read;
    }
    bool cut = false;
    for (;;) {
        char byte = 0;
        const int got = console_read_byte(&byte, &g_dialog_interrupted);
        if (got == console_byte_interrupted) return answer_interrupted;
        if (got == console_byte_ended) {
            // A last line without its newline is still an answer; nothing at all is the end.
            if (answer.empty() && !cut) return answer_ended;
            break;
        }
        if (byte == '\n') break;
        if (answer.size() < dialog_answer_max) answer += byte;
        else cut = true;
    }
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    if (cut)
        error("show_dialog: answer longer than %d bytes, the rest is dropped", static_cast<int>(dialog_answer_max));
    return answer_read;
}

struct verdict_t {
    int status;                     // 1 accepted, 0 rejected, -1 the dialog fails
    const validation_t* rejecting;  // whose err is shown, when rejected
};

// The chain runs from the last validation element to the first. A validation whose invert is
// "false" is required: it rejects at once when it fails. Any other validation is sufficient: it
// accepts at once when it passes. What is left after the last one decides.
verdict_t validate(session_t* session, const screen_t& screen, const std::string& answer,
                   const char* shown_answer) {
    const std::vector<validation_t>& chain = screen.input.validations;
    if (chain.empty()) return {1, nullptr};
    int result = chain.front().invert == "false" ? 1 : 0;
    for (const validation_t& validation : chain) {
        const bool required = validation.invert == "false";
        if (validation.type == "list" && !validation.list.empty()) {
            bool listed = false;
            const std::string list = expand_operand(session, validation.list);
            for (const std::string& piece : splitString(list, ";", false)) {
                if ((piece == "ENTER" ? std::string() : piece) == answer) listed = true;
            }
            if (listed) {
                const int number = strtoint(answer);
                // A listed answer that names a hidden line is no answer.
                if ((screen.numbers_hidden && number > screen.count) ||
                    (number == 0 && screen.custom_hidden && screen.hidden_labels.count(answer) > 0)) {
                    print_log("show_dialog: not accepted hidden answer %s", shown_answer);
                    result = 0;
                } else {
                    result = required ? 0 : 1;
                }
            }
        } else if (validation.type == "pattern") {
            const std::string pattern = expand_operand(session, validation.pattern);
            regex_ptr regex = get_regex(pattern.c_str(), REG_EXTENDED | REG_NOSUB);
            if (!regex) {
                error("show_dialog: input_regexp is null");
                return {-1, nullptr};
            }
            print_log("show_dialog: checking %s against regexp %s", shown_answer,
                      env_mask_hidden(session, pattern).c_str());
            result = regmatch(regex.get(), answer.c_str(), 0) == 1 ? 1 : 0;
        } else if (validation.type == "path") {
            if (validation.has_check && result == 0) {
                if (contains(validation.check, "empty")) result = 1;
                else if (contains(validation.check, "dir") && is_dir(answer)) result = 1;
                else if (contains(validation.check, "file")) result = is_file(answer) ? 1 : 0;
            }
        } else {
            result = 1;
        }
        if (required && result == 0) return {0, &validation};
        if (!required && result == 1) return {1, nullptr};
    }
    if (result == 0) return {0, &chain.back()};
    return {1, nullptr};
}

// A rejected answer that names a drawn checkbox or radio item toggles it; true when it did.
bool toggle_item(session_t* session, const std::string& answer) {
    const std::string dialog_name = current_dialog(session);
    const std::string cb_list_name = dialog_name + "_cb_list";
    const std::string cb_list = env_get_string(session, cb_list_name);
    if (!cb_list.empty() && is_entry(answer, cb_list)) {
        const std::string cb_name = dialog_name + "_cb";
        const std::string before = env_get_string(session, cb_name);
        print_log("show_dialog: %s before is %s", cb_name.c_str(), before.c_str());
        std::string after;
        if (is_entry(answer, before)) {
            print_log("show_dialog: item is checked, going to uncheck");
            for (const std::string& token : splitString(before, ";", false)) {
                print_log("show_dialog: token is %s", token.c_str());
                if (token == answer) continue;
                print_log("show_dialog: token not equal %s so store it", token.c_str());
                after += ";" + token;
            }
        } else {
            print_log("show_dialog: item is unchecked, going to check");
            after = before + ";" + answer;
        }
        env_set_string(session, cb_name, after);
        print_log("show_dialog: %s after is %s", cb_name.c_str(), after.c_str());
        env_set_string(session, cb_list_name, std::string());
        return true;
    }
    const std::string rb_list_name = dialog_name + "_rb_list";
    const std::string rb_list = env_get_string(session, rb_list_name);
    if (!rb_list.empty() && is_entry(answer, rb_list)) {
        const std::string rb_name = dialog_name + "_rb";
        env_set_string(session, rb_name, answer);
        print_log("show_dialog: %s = %s", rb_name.c_str(), answer.c_str());
        env_set_string(session, rb_list_name, std::string());
        return true;
    }
    return false;
}

// HANDLE is an ordinary property, logged and dumped with its value, so a secret answer must not
// reach it. The words a "list" validation names are the package's own (such as a word for going
// back) and the sequence may branch on them; any other secret answer reads "[HIDDEN]" there.
std::string handle_for_secret(session_t* session, const input_t& input, const std::string& answer) {
    for (const validation_t& validation : input.validations) {
        if (validation.type != "list") continue;
        for (const std::string& piece : splitString(expand_operand(session, validation.list), ";", false)) {
            if ((piece == "ENTER" ? std::string() : piece) == answer) return answer;
        }
    }
    return answer.empty() ? answer : "[HIDDEN]";
}

// Nobody is left to answer: the run is cancelled instead of waiting for ever.
void cancel_for_ended_input(session_t* session) {
    warn("show_dialog: input ended, the installation is cancelled");
    env_set_string(session, "HANDLE", std::string());
    env_set_string(session, "LUMO_EXIT_CODE", std::string("4"));
    print_string("\nInput ended, the installation is cancelled.\n");
    g_input_ended = 1;
}

// Keeps a valid answer: a hidden item number becomes the item's id, the answer goes to the
// dialog's property and to HANDLE (a secret only as a handle).
void accept_answer(session_t* session, const screen_t& screen, std::string answer, bool secret) {
    const input_t& input = screen.input;
    const int number = strtoint(answer);
    if (screen.numbers_hidden && number >= 1 && number <= screen.count) {
        const int id = screen.inputs_map[static_cast<size_t>(number - 1)];
        print_log("show_dialog: ID %d is mapped to %d", number, id);
        answer = std::to_string(id);
    }
    if (!input.keep.empty()) env_set_string(session, input.keep, answer);
    const std::string handle = secret ? handle_for_secret(session, input, answer) : answer;
    env_set_string(session, "HANDLE", handle);
    print_log("show_dialog: finished");
}

// Draws the screen and asks until an answer is accepted. An interrupt the user declined draws the
// same screen again; a toggle asks the caller to build it anew.
int run_screen(session_t* session, const screen_t& screen) {
    const input_t& input = screen.input;
    const bool secret = input.keep.find("__HIDE__") != std::string::npos;
    const bool with_completion = !input.validations.empty() && input.validations.front().type == "path";
    for (;;) {
        if (draw_screen(session, screen) != 0) return screen_failed;
        if (!screen.has_input) {
            print_log("show_dialog: finished");
            return screen_done;
        }
        bool redraw = false;
        while (!redraw) {
            // A secret is typed with echo off (the newline still shows). Echo goes off before the
            // prompt appears, so nothing typed ahead of it is shown either, and comes back on every
            // way out of this block, the interrupted one included.
            std::optional<console_mode> quiet;
            if (secret) quiet.emplace(ECHO, ECHONL);
            print_string("%s", expand_operand(session, screen.prompt).c_str());
            if (env_exists(session, "print_dialogs_list")) {
                print_string("\n");
                return screen_done;
            }
            // Secrets are never completed: the completion would show what was typed.
            const bool completing = with_completion && !secret;
            if (completing) print_log("show_dialog: path will be read");
            std::string answer;
            const int got = read_answer(answer, completing);
            if (got == answer_interrupted) {
                g_dialog_interrupted = 0;
                print_log("show_dialog: interrupt declined, drawing the dialog again");
                redraw = true;
                continue;
            }
            if (got == answer_ended) {
                cancel_for_ended_input(session);
                return screen_failed;
            }
            print_log("show_dialog: user input is %s", env_log_value(input.keep, answer));
            if (answer.empty()) {
                answer = expand_operand(session, input.default_value);
                print_log("show_dialog: user didn't input anything, so copying default input (%s)",
                          env_log_value(input.keep, answer));
            }
            const verdict_t verdict = validate(session, screen, answer, env_log_value(input.keep, answer));
            if (verdict.status < 0) return screen_failed;
            print_log("pass is %d", verdict.status);
            if (verdict.status == 1) {
                accept_answer(session, screen, answer, secret);
                return screen_done;
            }
            if (toggle_item(session, answer)) return screen_rebuild;
            if (verdict.rejecting && !verdict.rejecting->err.empty())
                print_string("%s\n", expand_operand(session, verdict.rejecting->err).c_str());
        }
    }
}

// g_is_dialog is set while the dialog runs and cleared on every return, so an interrupt after it
// lets the interrupted work go on instead of leaving a stale redraw request behind.
struct dialog_flag {
    dialog_flag() {
        g_dialog_interrupted = 0;
        g_is_dialog = 1;
    }
    ~dialog_flag() { g_is_dialog = 0; }
    dialog_flag(const dialog_flag&) = delete;
    dialog_flag& operator=(const dialog_flag&) = delete;
};

// Whether the check box of the item is ticked; the first drawing of the dialog takes the defaults
// as the initial selection.
bool checkbox_checked(session_t* session, const std::string& dialog_name, const std::string& label,
                      const char* default_attr) {
    const std::string list_name = dialog_name + "_cb_list";
    env_set_string(session, list_name, env_get_string(session, list_name) + ";" + label);
    const std::string showed_name = dialog_name + "_showed";
    const std::string showed = env_get_string(session, showed_name);
    print_log("make_line: %s is %s", showed_name.c_str(), showed.c_str());
    const std::string cb_name = dialog_name + "_cb";
    std::string selection = env_get_string(session, cb_name);
    bool checked;
    if (!showed.empty()) {
        checked = is_entry(label, selection);
    } else {
        checked = default_attr != nullptr;
        if (checked) {
            selection = selection.empty() ? label : selection + ";" + label;
            env_set_string(session, cb_name, selection);
        }
    }
    print_log("make_line: selected checkboxed for %s is %s", label.c_str(), selection.c_str());
    return checked;
}

// Whether the radio button of the item is the chosen one; with none chosen yet, a default is.
bool radio_selected(session_t* session, const std::string& dialog_name, const std::string& label,
                    const char* default_attr) {
    const std::string list_name = dialog_name + "_rb_list";
    env_set_string(session, list_name, env_get_string(session, list_name) + ";" + label);
    const std::string rb_name = dialog_name + "_rb";
    const std::string chosen = env_get_string(session, rb_name);
    bool selected;
    if (!chosen.empty()) {
        selected = chosen == label;
    } else {
        selected = default_attr != nullptr;
        if (selected) env_set_string(session, rb_name, label);
    }
    print_log("make_line: selected radiobutton for %s is %s", label.c_str(),
              env_get_string(session, rb_name).c_str());
    return selected;
}

}  // namespace

int make_line(session_t* session, const node_t* line, line_t* out, int kind, const char* id_override) {
    if (!session || !line || !out) {
        LOG_NULL_PARAM();
        return -1;
    }
    std::string id;
    if (id_override) {
        id = id_override;
    } else if (const char* own_id = attr(*line, "id")) {
        id = own_id;
    } else {
        error("make_line: id is NULL. Set it to 0");
        id = "0";
    }
    const char* text = attr(*line, "text");
    if (!text) error("make_line: text is null");
    const std::string body = text ? text : "";
    const char* index = attr(*line, "index");
    const char* default_attr = attr(*line, "default");
    out->id = strtoint(id);
    if (kind == line_kind_plain) {
        const std::string label = index ? expand_operand(session, index) : std::to_string(out->id);
        out->text = label + ". " + body;
        if (default_attr && strcmp(default_attr, "false") != 0)
            out->text += " [" + expand_operand(session, default_attr) + "]";
        return 0;
    }
    // The label is what the user types to toggle the item, so the selection properties hold labels.
    const std::string label = index ? expand_operand(session, index) : id;
    const std::string dialog_name = current_dialog(session);
    if (kind == line_kind_checkbox) {
        if (dialog_name.empty()) {
            error("make_line: cannot get CURRENT_DIALOG from session");
            return -1;
        }
        const bool checked = checkbox_checked(session, dialog_name, label, default_attr);
        out->text = label + ". " + (checked ? "[x] " : "[ ] ") + body;
        return 0;
    }
    const bool selected = radio_selected(session, dialog_name, label, default_attr);
    out->text = label + ". " + (selected ? "(*) " : "( ) ") + body;
    return 0;
}

int make_input(const node_t* input, input_t* out, const std::string* default_override) {
    if (!input || !out) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("make_input: started");
    *out = input_t();
    const char* text = attr(*input, "text");
    if (!text) error("make_input: text is null");
    const char* keep = attr(*input, "keep");
    if (!keep) error("make_input: keep is null");
    out->keep = keep ? keep : "";
    out->default_value = default_override ? *default_override : attr_text(*input, "default");

    std::string choices;
    for (const node_t& child : children(*input)) {
        if (named(child, "choice")) {
            const char* choice = attr(child, "text");
            if (!choice) error("make_input: c_text is NULL");
            choices += (choices.empty() ? " (" : "/") + std::string(choice ? choice : "");
        } else if (named(child, "validation")) {
            validation_t validation;
            const char* type = attr(child, "type");
            validation.type = type ? type : "";
            validation.err = attr_text(child, "err");
            validation.refresh = attr_text(child, "refresh");
            validation.pattern = attr_text(child, "pattern");
            validation.list = attr_text(child, "list");
            validation.invert = attr_text(child, "invert");
            const char* check = attr(child, "check");
            validation.has_check = check != nullptr;
            validation.check = check ? check : "";
            out->validations.push_back(validation);
        }
    }
    // Evaluated from the last validation element to the first.
    std::reverse(out->validations.begin(), out->validations.end());
    out->prompt = std::string(text ? text : "") + (choices.empty() ? "" : choices + ")");
    if (!out->default_value.empty()) out->prompt += " [" + out->default_value + "]";
    out->prompt += ": ";
    print_log("make_input: finished");
    return 0;
}

void sort_list(std::vector<line_t>& lines) {
    std::stable_sort(lines.begin(), lines.end(),
                     [](const line_t& a, const line_t& b) { return a.id < b.id; });
}

void sort_questions(std::vector<question_t>& questions) {
    std::stable_sort(questions.begin(), questions.end(),
                     [](const question_t& a, const question_t& b) { return a.id < b.id; });
}

std::string make_list(const std::vector<line_t>& lines) {
    std::string text;
    for (const line_t& line : lines) text += line.text + "\n";
    return text;
}

std::string make_question(const std::vector<question_t>& questions) {
    std::string text;
    bool first = true;
    for (const question_t& question : questions) {
        if (!question.has_text) continue;
        if (!first) text += "\n";
        text += question.text;
        first = false;
    }
    return text;
}

int show_dialog(session_t* session, node_t* dialog) {
    if (!session || !dialog) {
        LOG_NULL_PARAM();
        return -1;
    }
    const dialog_flag waiting;
    for (;;) {
        print_log("show_dialog: started");
        screen_t screen;
        if (build_screen(session, *dialog, screen) != 0) return -1;
        const int result = run_screen(session, screen);
        if (result != screen_rebuild) return result;
    }
}
