#include "lumo/plugin.h"

#include <cstdlib>
#include <string>

#include "env.h"

// The C forms a plug-in library calls, each over the engine's own std::string form. They keep C
// linkage and plain pointers so that libraries written in C resolve them against the engine.
extern "C" {

int env_set_string(session_t* session, const char* name, const char* value) {
    if (!session || !name || !value) {
        LOG_NULL_PARAM();
        return -1;
    }
    return env_set_string(session, std::string(name), std::string(value));
}

const char* env_get_string(session_t* session, const char* name) {
    if (!session) {
        error("env_get_string: session is null");
        return "";
    }
    if (!name) {
        error("env_get_string: name is null");
        return "";
    }
    const std::string key(name);
    if (env_is_virtual(key)) {
        // Computed values have no home in the maps; the text lives until the next such read.
        static std::string computed;
        computed = env_get_string(session, key);
        return computed.c_str();
    }
    const std::string* value = env_lookup(session, key);
    return value ? value->c_str() : "";
}

int env_cat_string(session_t* session, const char* name, const char* suffix) {
    if (!session || !name || !suffix) {
        LOG_NULL_PARAM();
        return -1;
    }
    return env_cat_string(session, std::string(name), std::string(suffix));
}

bool env_exists(session_t* session, const char* name) {
    if (!session) {
        error("env_exists: session is NULL");
        return false;
    }
    if (!name) {
        error("env_exists: name is NULL");
        return false;
    }
    return env_exists(session, std::string(name));
}

int env_remove(session_t* session, const char* name) {
    if (!session || !name) {
        LOG_NULL_PARAM();
        return -1;
    }
    return env_remove(session, std::string(name));
}

int64_t castStringToEnvPointer(const char* text) { return text ? strtoll(text, nullptr, 10) : 0; }

}  // extern "C"
