// What the engine knows about itself and its surroundings before the command line is merged in:
// its version, the exit-code constants, copies of environment variables, its own paths, the user,
// the machine and the package's product.ini. Also the string-extraction output for package scripts.
#pragma once

#include <cstdio>
#include <string>

struct session_t;

// "Package id: <id>, built <date> <time>".
std::string engine_identification();
// 0, or -1 (logged) when SCRIPT_NAME is missing, the working folder is unknown or product.ini fails.
int init_configuration(session_t* session);
int load_product_info(session_t* session);
// Writes "LI_<name>=..." blocks to the file named by __get_string__ (else standard output).
int configuration_get_strings(session_t* session);
int write_string_to_file(session_t* session, const std::string& name, const std::string& value, FILE* out);
// Keeps only digits and '.'.
std::string sanitizeVersion(const std::string& text);
// 1 when the real user id is 0, else 0.
int user_is_root(session_t* session);
