// The installation flow as data: sequence.ini selects a container document listing the steps
// (modules) and plug-in layers; each module's document holds its actions and transitions. This
// area loads that model and runs it step by step.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "actions.h"
#include "env.h"
#include "store.h"
#include "xml.h"

// A plug-in layer: its own package store and document, its own properties (which shadow the
// session's while the layer is active), its id (also its folder under the temporary folder).
struct layer_t : property_layer_t {
    cab_t store;
    std::unique_ptr<document_t> doc;
    std::string condition;
    std::string executedir;
    plugin_desc_t plugin;
};

// One entry of a step's visited-action stack (for "back"); the empty stack is a null pointer.
struct seq_stack_t {
    std::string value;
    std::unique_ptr<seq_stack_t> next;
    // Unlinks the rest one node at a time: a long chain must not recurse once per node.
    ~seq_stack_t() {
        std::unique_ptr<seq_stack_t> rest = std::move(next);
        while (rest) rest = std::move(rest->next);
    }
};

struct sub_module_t {
    std::unique_ptr<document_t> doc;  // null when the file could not be read
    std::string id;
    std::string action;
};

struct seq_item_t;

// One module of the flow. A text attribute absent from the container reads as "".
struct step_t {
    document_t* doc = nullptr;  // owned by the sequence's module documents
    std::string id;
    std::string action;
    std::string condition;
    std::string name;
    std::vector<sub_module_t*> sub;  // owned by the sequence
    seq_item_t* sequence = nullptr;
    std::unique_ptr<seq_stack_t> stack;
};

// One loaded sequence: its container, the steps and layers built from it, and the documents
// they point into (owned here and freed when the run ends).
struct seq_item_t {
    std::unique_ptr<document_t> doc;
    std::string filename;
    std::vector<step_t*> seq_steps;
    std::vector<layer_t*> seq_layers;
    step_t* current_step = nullptr;
    sub_module_t* current_sub = nullptr;
    bool loaded = false;  // steps and layers were built
    std::vector<std::unique_ptr<step_t>> owned_steps;
    std::vector<std::unique_ptr<sub_module_t>> owned_subs;
    std::vector<std::unique_ptr<document_t>> owned_docs;
    std::vector<std::unique_ptr<layer_t>> owned_layers;
    ~seq_item_t();
};

struct seqs_t {
    std::vector<std::unique_ptr<seq_item_t>> seq;
    seq_item_t* current = nullptr;
    int moves_without_answer = 0;  // actions and module moves since a dialog was last shown
};

// A sequence can move for ever with nobody answering: an action calling itself, two calling each
// other, modules handing _next_ and _prev_ back and forth, a sub-module entering itself. Real
// sequences make a few hundred moves between dialogs; past this many the run stops with an error.
constexpr int seq_moves_without_answer_max = 20000;

// The limits of a layer file extracted into the layer's folder.
constexpr size_t seq_entry_name_max = 4096;

// Reads sequence.ini and loads the first container whose condition holds. 0 (also when nothing
// was loaded), -1 on a fatal read failure.
int init_sequence(session_t* session);
// Builds the steps and layers of a loaded sequence, once: a sequence already built is left as it
// is. 0 or -1. A next chain that comes back to a module already taken ends the list there.
int sequence_execute_container(session_t* session, seq_item_t* sequence);
// The loaded sequence of that file name, or null.
seq_item_t* get_sequence_by_filename(session_t* session, const std::string& filename);
// The index of the first step with that id, or -1.
int get_module_index_by_id(seq_item_t* sequence, const std::string& id);
// Steps 0..out of list 1 followed by steps in.. of list 2 (from 0 when in is negative) replace
// list 1; the new count.
int merge_steps(std::vector<step_t*>& list1, int count1, int out, const std::vector<step_t*>& list2,
                int count2, int in);
// 1, or -1 for a null stack or a failed allocation.
int push(std::unique_ptr<seq_stack_t>* stack, const std::string& value);
// The top node, now owned by the caller; null when the stack is empty or null.
std::unique_ptr<seq_stack_t> pop(std::unique_ptr<seq_stack_t>* stack);
void print_seq_stack(const seq_stack_t* stack);
void flush(std::unique_ptr<seq_stack_t>* stack);

// Runs the current sequence to its end and frees every loaded sequence; 0 (also after an
// execution error, which is logged), or -1 for a null session or no sequence.
int sequence_execute(session_t* session);
// Frees every loaded sequence with its documents and layers; the active layer is cleared when it
// is one of them.
void sequence_free_all(session_t* session);
// The stack flags' value that treats a step's visited stack as empty; set after every step change.
constexpr int stack_flags_empty = 3;

// Where one document run starts, and the step's state it reads and updates.
struct step_cursor_t {
    std::string start;  // the action to start at; a move into a sub-module leaves the action to return to
    int shift = 0;      // next elements of the start action passed over: it ran before the sub-module
    int stack_flags = stack_flags_empty;  // 0 while the run keeps dialogs of this step to go back to
    std::unique_ptr<seq_stack_t>* visited = nullptr;  // the step's visited stack; null for none
};

// How a document run leaves the flow.
struct transition_t {
    int status = 0;      // 0, or -1 on an unknown action type, a null parameter or a bad jump
    int code = 0;        // 0 none, 2 finish, 3 next step, 4 previous step, 5 into `sub`, 6 out of it,
                         // 7 into the sequence made current, at `module`
    int shift = 0;       // 5: the next elements of the entering action up to the one taken
    std::string sub;     // 5
    std::string module;  // 7
};

// Runs one document from cursor->start (with a section, from the matching behavior's action) until
// it yields a transition. A null root yields 3.
transition_t sequence_execute_document(session_t* session, cab_t* store, node_t* root, const char* section,
                                       step_cursor_t* cursor);
// Applies the action's set children; 0.
int sequence_exec_action(session_t* session, node_t* action);

// Where a layer's install base finds the suite's core sub-folder when LUMO_INSTALL_SUBDIR is empty.
// The product model, above this layer, names the function that asks the product set; none: no
// core sub-folder.
using seq_core_subdir_t = std::string (*)(session_t* session);
void sequence_set_core_subdir(seq_core_subdir_t source);
