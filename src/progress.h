// Download progress: the functions the transfer library calls while a file arrives. One draws a
// percentage line on the console, one publishes progress and the time left in properties for a
// graphical front end, one does nothing.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

struct session_t;

// The counters of a batch of downloads, owned by the download manager and handed to the callbacks
// as their opaque pointer.
struct progress_state_t {
    session_t* session = nullptr;
    int32_t cur_chunk = 0;                // 128 KiB blocks of the current file already reported
    int64_t file_download_start_time = 0;  // seconds
    int64_t total_spend_time = 0;          // seconds spent on the files already finished
    int64_t total_bytes_downloaded = 0;    // bytes of the files already finished
    int64_t total_bytes_to_download = 0;
    int64_t resume_offset = 0;  // bytes of the current file present before this transfer
};

constexpr int64_t progress_chunk_bytes = 131072;

// The transfer library's progress signature; 0 lets the transfer go on.
using progress_callback_t = int (*)(void* state, double dltotal, double dlnow, double ultotal, double ulnow);

int CLIProgressCallback(void* state, double dltotal, double dlnow, double ultotal, double ulnow);
int GUIProgressCallback(void* state, double dltotal, double dlnow, double ultotal, double ulnow);
int NoProgressCallback(void* state, double dltotal, double dlnow, double ultotal, double ulnow);

// The remaining-time text: "${download_time_prefix} " and less than a minute, minutes, or hours
// and minutes, each word expanded from the string tables.
std::string progress_time_text(session_t* session, int64_t seconds);
