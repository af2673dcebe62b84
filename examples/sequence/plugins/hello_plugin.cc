// A sample plug-in library: the sequence calls its functions by name with a "plugin_c" action.
// It uses nothing of the engine but what lumo/plugin.h declares.
#include <cstdlib>
#include <string>

#include "lumo/plugin.h"

// Greets the name in HELLO_NAME ("world" when unset) and leaves the greeting in HELLO_RESULT.
extern "C" int hello(session_t* session) {
    log_init(session, nullptr);
    const std::string name = env_get_string(session, "HELLO_NAME");
    const std::string greeting = "Hello, " + (name.empty() ? std::string("world") : name) + "!";
    env_set_string(session, "HELLO_RESULT", greeting.c_str());
    print_log("hello: %s", greeting.c_str());
    return 0;
}

// Returns the number in HELLO_STATUS (0 when unset), so a sequence can try its branches on
// EXIT_CODE.
extern "C" int hello_status(session_t* session) {
    log_init(session, nullptr);
    const int status = atoi(env_get_string(session, "HELLO_STATUS"));
    print_log("hello_status: returning %d", status);
    return status;
}
