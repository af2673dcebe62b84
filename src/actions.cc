#include "actions.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "console.h"
#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "interrupt.h"
#include "log.h"
#include "seq_shell.h"
#include "store.h"
#include "string_table.h"
#include "utils.h"

namespace {

// Registered in this order; a sequence that calls a name twice gets the first entry, so the
// order decides which one wins.
const action_def_t builtin_actions[] = {
    {"string_table_bind", string_table_bind},
    {"string_table_init", string_table_init},
    {"lumo_wait_enter_key", lumo_wait_enter_key},
    {"env_save", env_save},
    {"env_restore", env_restore},
};

typedef int (*plugin_entry_t)(session_t*);

// Owns a loaded library: every return after dlopen unloads it.
class library_handle {
public:
    explicit library_handle(void* handle) : m_handle(handle) {}
    ~library_handle() {
        if (m_handle) dlclose(m_handle);
    }
    library_handle(const library_handle&) = delete;
    library_handle& operator=(const library_handle&) = delete;
    void* get() const { return m_handle; }

private:
    void* m_handle;
};

// A private copy of a library taken from the store: removed when the owner goes, whatever path
// the load took.
class temp_library {
public:
    temp_library() = default;
    ~temp_library() {
        if (!m_path.empty()) unlink(m_path.c_str());
    }
    temp_library(const temp_library&) = delete;
    temp_library& operator=(const temp_library&) = delete;
    void adopt(const std::string& path) { m_path = path; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

const char* loader_message() {
    const char* message = dlerror();
    return message ? message : "unknown loader error";
}

// A name inside a folder must stay inside it: no absolute path and no ".." component.
bool stays_in_folder(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

// Copies component::file of the store into a fresh file that only this user can read, write and
// map; its name is left in *library for the caller to remove. 0 or -1 (logged).
int extract_private_copy(session_t* session, cab_t* store, const plugin_desc_t* desc,
                         temp_library* library) {
    // The run's own temporary folder, or /tmp when there is none any more (an earlier step may
    // have removed it).
    const std::string temp_folder = env_get_string(session, "TEMP_FOLDER");
    const std::string pattern = (is_dir(temp_folder) ? temp_folder : std::string("/tmp")) + "/li_plugin_c.XXXXXX";
    std::string name = pattern;  // mkstemp fills in the X's, also when it fails
    fd_owner file{mkstemp(name.data())};
    if (file.fd < 0) {
        error("plugin_run: can't create temp file \"%s\"", pattern.c_str());
        return -1;
    }
    library->adopt(name);
    if (fchmod(file.fd, 0700) != 0) {
        error("plugin_run: can't set mode of temp file \"%s\"", name.c_str());
        return -1;
    }
    std::string content;
    if (store_file_get_content(store, desc->component, desc->file, content) < 0) {
        error("plugin_run: can't extract %s::%s", desc->component.c_str(), desc->file.c_str());
        return -1;
    }
    if (!fd_write_all(file.fd, content)) {
        error("plugin_run: can't write temp file \"%s\"", name.c_str());
        return -1;
    }
    return 0;
}

// Reads the action's attribute; "" when absent.
std::string action_key(node_t* action, const char* name) {
    const char* value = xml_node_get_key(action, name);
    return value ? value : "";
}

// The entries in use; never more than the container holds, whatever actions_last says.
size_t registered_count(const session_t* session) {
    const size_t last = session->actions_last < 0 ? 0 : static_cast<size_t>(session->actions_last) + 1;
    return last < session->actions.size() ? last : session->actions.size();
}

void set_exit_code(session_t* session, int result) {
    env_set_string(session, "EXIT_CODE", std::to_string(result));
}

}  // namespace

int actions_init(session_t* session) {
    if (!session) {
        error("actions_init: session is null");
        return -1;
    }
    session->actions.clear();
    session->actions.reserve(actions_max);
    session->actions_last = -1;
    for (const action_def_t& action : builtin_actions) {
        if (actions_register(session, action.name, action.handler) != 0) return -1;
    }
    return 0;
}

int actions_register(session_t* session, const char* name, action_handler_t handler) {
    if (!session) {
        error("actions_register: session is null");
        return -1;
    }
    if (!name) {
        error("actions_register: name of the action is null");
        return -1;
    }
    if (!handler) {
        error("actions_register: function pointer is null for %s", name);
        return -1;
    }
    // actions_last is the index of the last entry, not the number of entries.
    if (session->actions_last >= actions_max - 1) {
        error("actions_register: maximum number of actions has been reached");
        return -1;
    }
    action_entry_t entry;
    entry.handler = handler;
    entry.name = name;
    session->actions.resize(registered_count(session));
    session->actions.push_back(std::move(entry));
    session->actions_last = static_cast<int>(session->actions.size()) - 1;
    return 0;
}

int actions_is_valid(session_t* session, const char* name) {
    if (!session || !name) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("action_is_valid: search for the %s action", name);
    for (size_t i = 0; i < registered_count(session); ++i) {
        if (session->actions[i].name == name) {
            print_log("actions_is_valid: action is found");
            return 0;
        }
    }
    print_log("action_is_valid: action is not found");
    return -1;
}

int actions_execute(session_t* session, const char* name) {
    if (!session) {
        error("actions_execute: session is null");
        return -1;
    }
    if (!name) {
        error("actions_execute: name is null");
        return -1;
    }
    print_log("actions_execute: search for the %s action", name);
    for (size_t i = 0; i < registered_count(session); ++i) {
        const action_entry_t& entry = session->actions[i];
        if (entry.name == name) {
            print_log("actions_execute: action is found");
            return entry.handler(session);
        }
    }
    error("actions_execute: action is not found");
    return -1;
}

int actions_dump(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("action_dump: started");
    for (size_t i = 0; i < registered_count(session); ++i) {
        print_log("actions_dump: action -> %s", session->actions[i].name.c_str());
    }
    print_log("action_dumo: finished");
    return 0;
}

int plugin_run(session_t* session, cab_t* store, const plugin_desc_t* desc) {
    if (!session || !desc) {
        error("plugin_run: parameter is NULL");
        return -1;
    }
    if (!store) store = session->store.get();
    // Declared before the handle so that the library is unloaded before its file is removed.
    temp_library private_copy;
    std::string library;
    if (session->active_layer) {
        if (!stays_in_folder(desc->file)) {
            error("plugin_run: library name \"%s\" leaves its folder", desc->file.c_str());
            return -1;
        }
        // The layer's files were unpacked into its own folder when the sequence was loaded; the
        // plug-in may open them by relative names, so the process works from there from now on.
        const std::string folder =
            env_get_string(session, "TEMP_FOLDER") + "/" + session->active_layer->id;
        if (chdir(folder.c_str()) != 0) {
            error("plugin_run: can't change directory to %s", folder.c_str());
            return -1;
        }
        env_set_string(session, "PWD", folder);
        library = folder + "/" + desc->file;
    } else if (desc->component.empty()) {
        if (!env_exists(session, "ENGINE_DIR")) {
            error("plugin_run: eng_dir is null");
            return -1;
        }
        library = env_get_string(session, "ENGINE_DIR") + "/" + desc->file;
    } else {
        if (!stays_in_folder(desc->file)) {
            error("plugin_run: library name \"%s\" leaves its folder", desc->file.c_str());
            return -1;
        }
        if (extract_private_copy(session, store, desc, &private_copy) != 0) return -1;
        library = private_copy.path();
    }
    print_log("plugin_run: library is \"%s\", func is \"%s\"", library.c_str(), desc->func.c_str());
    library_handle handle(dlopen(library.c_str(), RTLD_LAZY | RTLD_GLOBAL));
    if (!handle.get()) {
        error("plugin_run: %s", loader_message());
        return -1;
    }
    dlerror();
    void* symbol = dlsym(handle.get(), desc->func.c_str());
    if (!symbol) {
        error("plugin_run: %s", loader_message());
        return -1;
    }
    const plugin_entry_t entry = reinterpret_cast<plugin_entry_t>(symbol);
    return entry(session);
}

int sequence_exec_built_in_action(session_t* session, node_t* action) {
    if (!session || !action) {
        LOG_NULL_PARAM();
        return -1;
    }
    const std::string func = action_key(action, "func");
    set_exit_code(session, actions_execute(session, func.c_str()));
    return 0;
}

int sequence_exec_plugin_c_action(session_t* session, cab_t* store, node_t* action) {
    if (!session || !action) {
        LOG_NULL_PARAM();
        return -1;
    }
    plugin_desc_t desc;
    desc.component = action_key(action, "component");
    desc.file = expand_operand(session, action_key(action, "file"));
    desc.func = action_key(action, "func");
    set_exit_code(session, plugin_run(session, store, &desc));
    return 0;
}

int sequence_exec_plugin_bash_action(session_t* session, cab_t* store, node_t* action) {
    if (!session || !action) {
        LOG_NULL_PARAM();
        return -1;
    }
    plugin_desc_t desc;
    desc.component = action_key(action, "component");
    desc.file = action_key(action, "file");
    desc.func = action_key(action, "func");
    desc.vars = action_key(action, "vars");
    int result;
    {
        const interrupt_ignored quiet;  // a script may run for long: see interrupt_ignored
        result = shellexec_execute(session, store, &desc);
    }
    set_exit_code(session, result);
    return 0;
}

int lumo_wait_enter_key(session_t* session) {
    if (!session) {
        LOG_NULL_PARAM();
        return -1;
    }
    if (env_exists(session, "silent") ||
        env_exists(session, "SKIP_PRESS_ENTER_IN_UNINSTALLATION") ||
        env_exists(session, "SKIP_PRESS_ENTER_IN_INSTALLATION"))
        return 0;
    const std::string question = expand_operand(session, "${to_continue_question}");
    print_string("%s", question.c_str());
    // Read byte by byte, straight from the descriptor, so no input meant for the next dialog is
    // buffered away here. The rest of the line goes too: a key typed before Enter must not be
    // taken as the next dialog's answer. End of input ends the wait.
    for (;;) {
        char byte;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || byte == '\n') break;
    }
    return 0;
}

int actions_register_table(session_t* session, std::initializer_list<action_def_t> table) {
    for (const action_def_t& action : table) {
        if (actions_register(session, action.name, action.handler) != 0) return -1;
    }
    return 0;
}
