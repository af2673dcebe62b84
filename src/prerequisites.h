// Judging the machine before anything is written: the operating system against each product's
// supported systems, required packages (system package database and the engine's archive
// database) and free disk space. Every problem is appended to three parallel ";"-lists
// (SIGNIFICANCE, SHORT_DESC, FULL_DESC) that the prerequisite dialog actions turn into screens.
//
// Properties a sequence sets for the checks:
//   IS_RPM                  "yes": packages are asked of rpm; anything else: of dpkg-query
//   RPM_DBPATH              a private rpm database for that query (rpm --dbpath)
//   NONRPM_DB_DIR           the folder of the engine's own archive database
//   OS_PREREQUISITE_SEVERITY "1": an unsupported system is a critical issue, else an optional one
//   LUMO_OS_RELEASE_FILE    read instead of /etc/os-release (and /usr/lib/os-release) wherever a
//                           definition names that file: lets a test or a support case pose as
//                           another system without touching the machine
//   LUMO_SPACE_REQUIREMENT_DIR / _SIZE / _MESSAGE  the disk-space requests (megabytes)
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "xml.h"

struct session_t;

// One `os` element of a definition file; an empty text stands for an absent attribute.
struct prerequisites_os_def_t {
    std::string tag, release, file1, file2, content1, content2, fakes, help, family;
};

// One `required` or `package` element.
struct prerequisites_pkg_def_t {
    int product = 0;
    std::string package, version, condition;
    int rpm = 0;  // 0 any, 1 RPM only, 2 Debian package only, 5 archive database only
    int severity = 0;
    std::string short_desc, full_desc, flag;
};

struct prerequisites_product_t {
    std::string name;
    bool named = false;
    std::string native, foreign;  // supported tags for the running and for the other architecture
    bool has_native = false, has_foreign = false;
};

// One issue as the dialogs show it. index: its position in the issue lists, from 1.
struct prerequisites_list_t {
    int index = 0;
    int severity = 0;  // 0 optional, anything else critical
    std::string short_text, full_text;
};

struct prerequisites_t {
    std::vector<std::unique_ptr<document_t>> xmls;
    std::vector<std::string> xml_names;  // component::file of each document, to read each once
    std::vector<prerequisites_os_def_t> os_defs;
    std::vector<prerequisites_pkg_def_t> pkg_defs;
    std::vector<prerequisites_product_t> products;
    std::string detected_os;    // each detected tag followed by ";"
    std::string detected_help;  // help key of the last detected system that has one
    // The dialogs' issue list, published as session named data "prerequisite_dialog".
    std::vector<prerequisites_list_t> dialog;
};

// The session's prerequisite data, created empty on first use; null for a null session.
prerequisites_t* prerequisites_data(session_t* session);

// Loading the definitions (action prerequisites_init): _internal_::prerequisites_prod_def.xml and
// every file it includes (each read once). 0, or -1 when the first file cannot be read.
int prerequisites_init_data(session_t* session);
int prerequisites_read_config(session_t* session, const char* component, const char* file);
int prerequisites_proceed_os_node(session_t* session, int product, const node_t* node);
int prerequisites_proceed_supported_os_list_node(session_t* session, int product, const node_t* node);
int prerequisites_proceed_required_node(session_t* session, int product, const node_t* node);
int prerequisites_proceed_package_node(session_t* session, int product, const node_t* node);

// The checks; each returns 0: what they find goes to the issue lists.
int prerequisites_os_check(session_t* session);
int prerequisites_system_check(session_t* session);
int prerequisites_disk_space_check(session_t* session);

// 1 when the system of definition `index` is detected, else 0.
int prerequisites_check_os_release_files(session_t* session, int index);
// 1 when a definition after `index` whose tag begins with one of the ";"-separated tags is detected.
int prerequisites_check_fakes(session_t* session, int index, const std::string& fakes);
// 0 when requirement `index` is satisfied, -1 when the package is missing, too old or cannot be
// asked about (no query tool, a name that is no package name).
int prerequisites_check_package(session_t* session, int index);
int prerequisites_report_issue(session_t* session, int product, int severity, const std::string& short_key,
                               const std::string& full_key);
int prerequisites_report_package_issue(session_t* session, int index);
// The readable list of the systems product `product` supports, grouped by family.
std::string prerequisites_prepare_supported_os_list(session_t* session, int product);
// The template with its first "%s" replaced by first and its second by second, "%%" by "%", and
// every other byte kept: a text from a string table is never taken as a printf format.
std::string prerequisites_format_two(const std::string& format, const std::string& first,
                                     const std::string& second);

// Dialog material; each action returns 0, or -1 (logged) when its inputs are missing.
int lumo_fill_prerequisites_list(session_t* session);
int lumo_prepare_prerequisites_formatted_text(session_t* session);
int lumo_prepare_prerequisites_critical_summary_dialog(session_t* session);
int lumo_prepare_prerequisites_optional_summary_dialog(session_t* session);
int lumo_prepare_prerequisites_critical_dialog_pre(session_t* session);
int lumo_prepare_prerequisites_optional_dialog_pre(session_t* session);
int lumo_prepare_prerequisites_critical_dialog_post(session_t* session);
int lumo_prepare_prerequisites_optional_dialog_post(session_t* session);
// Sets PREREQUISITE_TEXT to the full text of the issue with that index ("" when none has it); 0.
int prepare_prerequisite_dialog(session_t* session, const std::vector<prerequisites_list_t>& list, int index);

// Registers the checks and the dialog actions with the sequence's action registry; 0 or -1.
int prerequisites_actions_register(session_t* session);
