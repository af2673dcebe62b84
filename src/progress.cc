#include "progress.h"

#include <algorithm>
#include <cstdio>

#include "console.h"
#include "env.h"
#include "env_expand.h"

namespace {

// A block of 128 KiB more than last time: at most one update per block keeps the console and the
// front end from being flooded by a fast transfer.
bool next_chunk(progress_state_t& state, int64_t received) {
    const int64_t chunk = received / progress_chunk_bytes;
    if (chunk <= state.cur_chunk) return false;
    state.cur_chunk = static_cast<int32_t>(chunk);
    return true;
}

std::string status_text(session_t* session) {
    return expand_operand(session, env_get_string(session, std::string("download_progress_text")));
}

}  // namespace

std::string progress_time_text(session_t* session, int64_t seconds) {
    std::string text = expand_operand(session, "${download_time_prefix}") + " ";
    if (seconds < 60) return text + expand_operand(session, "${download_less_than_a_minute_text}");
    const std::string minute = expand_operand(session, "${download_minute}");
    if (seconds < 3600) return text + std::to_string(seconds / 60) + " " + minute;
    return text + std::to_string(seconds / 3600) + " " + expand_operand(session, "${download_hour}") + " " +
           expand_operand(session, "${download_and}") + " " + std::to_string(seconds % 3600 / 60) + " " + minute;
}

// The counts the library passes cover only the bytes of this transfer; a resumed file already had
// resume_offset bytes, so both are shifted by it and the percentage is that of the whole file.
int CLIProgressCallback(void* opaque, double dltotal, double dlnow, double, double) {
    if (!opaque) return 0;
    progress_state_t& state = *static_cast<progress_state_t*>(opaque);
    const int64_t received = state.resume_offset + static_cast<int64_t>(dlnow);
    if (!next_chunk(state, received)) return 0;
    const int64_t expected = dltotal > 0 ? state.resume_offset + static_cast<int64_t>(dltotal) : 0;
    // An unknown length shows 0 rather than dividing by it; a server sending more than it
    // announced does not push the number past 100.
    int64_t percent = expected > 0 ? received * 100 / expected : 0;
    if (percent > 100) percent = 100;
    // The line is cut to the console, so that on a narrow one it is redrawn in place instead of
    // wrapping and scrolling at every update.
    const int width = get_window_width();
    const int blank = std::max(std::min(width - 2, 78), 0);
    const int text = std::max(std::min(width - 7, 73), 0);
    print_string("\r%*s", blank, "");
    print_string("\r%.*s%4d%%", text, status_text(state.session).c_str(), static_cast<int>(percent));
    return 0;
}

int GUIProgressCallback(void* opaque, double, double dlnow, double, double) {
    if (!opaque) return 0;
    progress_state_t& state = *static_cast<progress_state_t*>(opaque);
    const int64_t received = state.resume_offset + static_cast<int64_t>(dlnow);
    if (!next_chunk(state, received)) return 0;
    session_t* session = state.session;
    env_set_string(session, "LUMO_CURRENT_COMPONENT_INCLUDING_INVISIBLE",
                   std::to_string(state.total_bytes_downloaded + received));
    // The rate is that of this transfer: bytes that were on disk before it took no time.
    int64_t elapsed = static_cast<int64_t>(time(nullptr)) - state.file_download_start_time;
    if (elapsed < 1) elapsed = 1;
    const int64_t transferred = static_cast<int64_t>(dlnow) > 0 ? static_cast<int64_t>(dlnow) : 1;
    int64_t left = state.total_bytes_to_download - state.total_bytes_downloaded - received;
    if (left < 0) left = 0;
    const int64_t seconds = static_cast<int64_t>(static_cast<double>(left) / transferred * elapsed);
    env_set_string(session, "LUMO_STATUS_TEXT", status_text(session) + "<br>" + progress_time_text(session, seconds));
    return 0;
}

int NoProgressCallback(void*, double, double, double, double) { return 0; }
