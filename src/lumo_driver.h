// The install and uninstall driver: walks the product set, installs or removes each component
// through its back-end, keeps the progress and result properties, turns failures and close
// requests into a rollback, and writes the records a later modify, repair or uninstall run reads.
// Built-in actions take the session and return 0, or -1 after logging why.
#pragma once

#include <string>

class Component;
struct session_t;

// Registers the driver's actions with the sequence's registry; 0 or -1.
int lumo_driver_actions_register(session_t* session);

int lumo_install_selected_products(session_t* session);
int lumo_uninstall_selected_products(session_t* session);
// One component. install_component: -1 for a missing payload or a full disk, else 0 (a failure of
// the back-end is reported through LUMO_EXIT_CODE and the result record). uninstall_component: 0.
int install_component(session_t* session, Component* component);
int uninstall_component(session_t* session, Component* component);
int lumo_handle_close_request(session_t* session);
int lumo_save_install_settings(session_t* session);
int load_uninstall_ini(session_t* session);
bool is_modify_mode(session_t* session);
int lumo_load_license(session_t* session);

// The folder a component is installed into: its own or its product's install folder (expanded),
// else LUMO_INSTALL_DIR, or for a product with an installation subfolder the parent of
// LUMO_INSTALL_DIR taken LUMO_INSTALL_SUBDIR_LEVELS times (at most 1024) plus that subfolder.
std::string lumo_component_prefix(session_t* session, const Component* component);
// The LUMO_EXIT_CODE a back-end status leaves: "" for success (0 and 10), "3" for 2 to 150 (the
// run goes on), "2" for every other status (a rollback follows).
std::string lumo_status_exit_code(int status);

// Writes the outcome of the run as a JSON document to the file named by the property "report"
// (nothing when it is absent): mode, exit status, every component's result, what was rolled back
// and the log's path. Written through a temporary file and renamed. 0, or -1 when it can't be.
int lumo_report_write(session_t* session, int exit_status);
