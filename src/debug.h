// The debug link: before each action the engine reports where it is and all its properties to a
// front end listening on 127.0.0.1 (port in __debug_wizard__), which may send back a new state.
#pragma once

#include <cstdint>
#include <string>

struct session_t;

// How long one send or receive on the link may wait, in seconds. Generous on purpose: the front
// end legitimately holds the run at an action while a developer looks at the state, so the limit
// only guards against a front end that has stopped answering (the run then goes on without it).
constexpr int debug_link_timeout_seconds = 30;
// The status of a reply is read in one receive of at most this many bytes.
constexpr int debug_status_max = 65535;
// A state text announced longer than this (64 MiB) is refused rather than waited for.
constexpr int32_t debug_state_max = 64 * 1024 * 1024;

// Four empty texts close the link at the end of a run. Failures only log.
void dump_debug_info(session_t* session, const std::string& sequence, const std::string& step,
                     const std::string& sub, const std::string& action);
// dump_debug_info with another time-out per send or receive (seconds; below 1 counts as 1).
void dump_debug_info_timed(session_t* session, const std::string& sequence, const std::string& step,
                           const std::string& sub, const std::string& action, int timeout_seconds);
