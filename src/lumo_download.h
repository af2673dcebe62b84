// The online half of the driver: downloading the payload and the third party files of the
// selected components before they are installed, the sizes still to download, the list of files
// a download-only run writes for another tool, and the third party descriptions.
#pragma once

#include <cstdint>
#include <string>

struct session_t;

// Registers lumo_download_rpms and lumo_prepare_download_list; 0 or -1.
int lumo_download_actions_register(session_t* session);

// Downloads what the components to install need. After a failure LUMO_DOWNLOAD_FAILED is "yes"
// and LUMO_DOWNLOAD_FAILURE_ANSWER decides: "abort" (LUMO_EXIT_CODE "2", -1), "ignore" (the
// components of the failed files are left out), "retry"; with no answer the batch waits, and the
// next call goes on from the failed file with the answer given by then. 0, or -1.
int lumo_download_rpms(session_t* session);
// Writes the file named by download_list: each payload file of the selected components with its
// size, checksum, URL and target below download_dir, then the installer to run. 0, or -1.
int lumo_prepare_download_list(session_t* session);
// Bytes of the payload file still to download in online mode: its size unless an intact copy is
// in the package folder; 0 (logged) for an empty or unknown name.
int64_t get_component_rpm_size(session_t* session, const std::string& name);
// Downloads the description of every distinct ProxyURL once and attaches to each third party
// component the description of its abbreviation. 0, or -1 when some component got none.
int initialize_3rdparty_components_structures(session_t* session);

// At start-up of a download-only run: download_list and download_dir are used by their full
// paths (relative to LUMO_PWD), and download_dir defaults to the list's folder. 0, or -1
// (reported on standard output) for an empty list name.
int lumo_download_list_resolve(session_t* session);
