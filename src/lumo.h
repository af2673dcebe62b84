// The engine's built-in actions over the product set: building it from the media description,
// configuring it for the mode with the installed state the back-ends report, selections, the
// installation folder and the disk-space requests. Each action takes the session and returns 0,
// or -1 after logging why.
#pragma once

#include <cstdint>
#include <string>

#include "component.h"
// initialize_3rdparty_components_structures and get_component_rpm_size, used by the configuration.
#include "lumo_download.h"

struct session_t;

// Registers every action of this area with the sequence's action registry; 0 or -1.
int lumo_actions_register(session_t* session);

// Building and configuring the product set.
int lumo_init_products_list(session_t* session);
int lumo_configure_products_list(session_t* session);
int lumo_reindex_products_list(session_t* session);

// Selections.
int lumo_select_chosen_products(session_t* session);
int lumo_select_all_available_products(session_t* session);
int lumo_init_architecture_configuration(session_t* session);
int lumo_architecture_configuration(session_t* session);
int lumo_is_component_list_empty(session_t* session);
int lumo_detect_full_uninstall(session_t* session);
int lumo_fill_abbr_var(session_t* session);

// Installation folder and disk space.
int set_lumo_install_dir_and_dirname(session_t* session);
int lumo_calculate_require_disk_space(session_t* session);
int lumo_add_space_requirement(session_t* session);
