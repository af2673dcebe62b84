// The tool selection dialog and the summary shown before installation. The dialog is an ordinary
// dialog of the sequence: this area fills its title, description, body and valid answers from the
// product set (TSD_TITLE, TSD_DESC, TSD_TEXT, TSD_VAL_LIST, with TSD_MAP and P_INDEX as its state)
// and applies each answer (HANDLE) back to the product set; the summary goes to SUMMARY_INFO.
#pragma once

class Component;
struct session_t;

// Registers lumo_tool_selection_dialog_act and lumo_set_summary_text; 0 or -1.
int lumo_select_actions_register(session_t* session);

// Applies HANDLE to the screen TSD_MAP and P_INDEX describe and prepares the next one; TSD_TODO
// becomes "finish" when the user leaves the dialog. 0, or -1 (logged) when there is no product
// set, P_INDEX is missing or no number, or the map names a product or component that is gone.
// An answer the map does not hold redraws the screen the user is on.
int lumo_tool_selection_dialog_act(session_t* session);
// Write TSD_TITLE, TSD_DESC, TSD_TEXT, TSD_MAP and TSD_VAL_LIST for the product list or for the
// components of one product; -1 for a null session, product set or product.
int prepare_product_level_dialog(session_t* session);
int prepare_component_level_dialog(session_t* session, Component* product);
// SUMMARY_INFO; -1 for a null session or product set, or when an install folder is needed and
// LUMO_INSTALL_DIR is empty.
int lumo_set_summary_text(session_t* session);

bool is_uninstall_repair_mode(session_t* session);
bool has_third_party_components(session_t* session);
