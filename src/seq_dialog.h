// Dialogs: one screen of the text-mode installer, built from a dialog element, printed through the
// wrapping printer; one answer is read, validated and stored in the keep property and HANDLE.
#pragma once

#include <string>
#include <vector>

struct session_t;
struct node_t;

// One formatted line of a list; id is the numeric label lines are sorted by.
struct line_t {
    int id = 0;
    std::string text;
};

// One question: lines of list questions are already joined into text. has_text is false for a
// simple question without a text attribute, which adds nothing to the screen.
struct question_t {
    int id = 0;
    std::string text;
    bool has_text = false;
};

// One validation element. has_check tells an absent check attribute from an empty one.
struct validation_t {
    std::string type;
    std::string err;
    std::string refresh;
    std::string pattern;
    std::string list;
    std::string invert;
    std::string check;
    bool has_check = false;
};

// The dialog's input: the prompt as built (expanded when printed), the default (not yet expanded),
// the property that receives the answer, and the validations from the last element to the first.
struct input_t {
    std::string prompt;
    std::string default_value;
    std::string keep;
    std::vector<validation_t> validations;
};

constexpr int line_kind_plain = 0;
constexpr int line_kind_checkbox = 1;
constexpr int line_kind_radio = 2;

// The longest answer kept; the rest of a longer line is read and dropped (logged).
constexpr size_t dialog_answer_max = 4095;

// 0 when an answer was accepted, when the dialog needs none, or when print_dialogs_list cut it
// short; -1 on a malformed dialog or when the input ended (see g_input_ended in interrupt.h).
int show_dialog(session_t* session, node_t* dialog);

// Formats one line element of the given kind; id_override, when not null, replaces its id. Checkbox
// and radio lines record their label in the dialog's selection properties. 0, or -1 when a checkbox
// line is drawn without CURRENT_DIALOG.
int make_line(session_t* session, const node_t* line, line_t* out, int kind, const char* id_override);
// Builds the prompt and the validation chain; default_override, when not null (even when empty),
// replaces the default attribute. 0, or -1 for a null argument.
int make_input(const node_t* input, input_t* out, const std::string* default_override);
// Ascending by id; equal ids keep their order.
void sort_list(std::vector<line_t>& lines);
void sort_questions(std::vector<question_t>& questions);
// Every line's text followed by "\n".
std::string make_list(const std::vector<line_t>& lines);
// The texts of the questions that have one, separated by "\n".
std::string make_question(const std::vector<question_t>& questions);
