// Small helpers shared across the engine: string and line helpers, and the command runners that
// run a command for its exit status or its output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct session_t;

// Every byte outside A-Z and a-z becomes '_' (digits included).
std::string strtoletters(const std::string& text);
// Prefixes width - length spaces when that is positive.
std::string strtowidth(const std::string& text, int width);
std::string remove_newlines(const std::string& text);
bool string_is_empty(const std::string& text);
std::vector<std::string> splitString(const std::string& text, const std::string& delimiter,
                                     bool keep_empty);
std::string trimSpaces(const std::string& text);
std::string replaceAllSubstrings(const std::string& text, const std::string& from,
                                 const std::string& to);
int strtoint(const std::string& text);
std::string inttostr(int64_t value);
// Replaces every "//" by "/" until none is left.
std::string path(const std::string& text);
std::string get_arch();
int add_user_stat_data(session_t* session, const std::string& name, const std::string& value);

// Runs "command arguments" (or the command alone) through the system shell; its exit status,
// -1 for an empty command.
int execute_args(const std::string& command, const std::string& arguments);
// Everything the command wrote to standard output; its standard error goes to /dev/null.
std::string get_command_output(const char* command);
std::string get_command_output(const std::string& command);
// "$(command)" runs the command and gives its output; any other text is a file to read.
std::string get_file_or_command(const char* text);
