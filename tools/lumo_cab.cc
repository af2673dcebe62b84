// lumo-cab: writes, lists and extracts package stores (install.cab).
//   lumo-cab create OUT.cab MANIFEST          entries listed in a manifest
//   lumo-cab create OUT.cab --dir DIR COMPONENT   every regular file under DIR
//   lumo-cab list FILE                        component, name, size and attrs of each entry
//   lumo-cab extract FILE COMPONENT NAME TARGET
// Exit status: 0 success, 1 failure, 2 wrong usage.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log.h"
#include "store.h"
#include "store_write.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

const char usage_text[] =
    "usage: lumo-cab create OUT.cab MANIFEST\n"
    "       lumo-cab create OUT.cab --dir DIR COMPONENT\n"
    "       lumo-cab list FILE\n"
    "       lumo-cab extract FILE COMPONENT NAME TARGET\n"
    "       lumo-cab --help\n"
    "\n"
    "A manifest line is: component name source-path [octal-attrs], separated by tabs or spaces.\n"
    "Blank lines and lines starting with # are skipped; relative source paths are taken from the\n"
    "manifest's folder. With --dir, every regular file under DIR becomes an entry of COMPONENT\n"
    "named by its path relative to DIR, with the file's permission bits as attrs.\n";

// The library reports through the log. The tool keeps that log in memory and, when a command
// fails, shows its error lines on standard error; the trace of a successful run stays quiet.
class log_to_memory {
public:
    log_to_memory() {
        m_file = open_memstream(&m_buffer, &m_size);
        if (!m_file) return;
        _g_logging_state.file = m_file;
        _g_logging_state.ready = 1;
    }
    ~log_to_memory() {
        log_disable();
        if (m_file) fclose(m_file);
        free(m_buffer);
    }
    log_to_memory(const log_to_memory&) = delete;
    log_to_memory& operator=(const log_to_memory&) = delete;

    void print_errors() {
        if (!m_file) return;
        fflush(m_file);
        const std::string text(m_buffer ? m_buffer : "", m_size);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            // "<time> - ERROR: <prefix>: <message>"
            const size_t kind = line.find(" - ERROR: ");
            if (kind == std::string::npos) continue;
            const size_t message = line.find(": ", kind + 10);
            if (message == std::string::npos) continue;
            fprintf(stderr, "lumo-cab: %s\n", line.c_str() + message + 2);
        }
    }

private:
    FILE* m_file = nullptr;
    char* m_buffer = nullptr;
    size_t m_size = 0;
};

std::vector<std::string> split_fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
        if (at == line.size()) break;
        const size_t end = line.find_first_of(" \t", at);
        const size_t stop = end == std::string::npos ? line.size() : end;
        fields.push_back(line.substr(at, stop - at));
        at = stop;
    }
    return fields;
}

bool is_octal_mode(const std::string& text) {
    if (text.empty() || text.size() > 4) return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '7'; });
}

int read_manifest(const std::string& manifest, std::vector<store_write_entry_t>* entries) {
    std::ifstream in(manifest);
    if (!in) {
        fprintf(stderr, "lumo-cab: can't read manifest %s: %s\n", manifest.c_str(), strerror(errno));
        return -1;
    }
    const size_t slash = manifest.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : manifest.substr(0, slash);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::vector<std::string> fields = split_fields(line);
        if (fields.empty() || fields[0][0] == '#') continue;
        if (fields.size() < 3 || fields.size() > 4) {
            fprintf(stderr, "lumo-cab: %s:%d: expected: component name source-path [octal-attrs]\n",
                    manifest.c_str(), number);
            return -1;
        }
        if (fields.size() == 4 && !is_octal_mode(fields[3])) {
            fprintf(stderr, "lumo-cab: %s:%d: attrs '%s' are not octal permission digits\n",
                    manifest.c_str(), number, fields[3].c_str());
            return -1;
        }
        store_write_entry_t entry;
        entry.item.component = fields[0];
        entry.item.name = fields[1];
        entry.source_path = fields[2][0] == '/' ? fields[2] : folder + "/" + fields[2];
        if (fields.size() == 4) entry.item.attrs = fields[3];
        struct stat info;
        if (stat(entry.source_path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            fprintf(stderr, "lumo-cab: %s:%d: source %s is not a readable file\n", manifest.c_str(), number,
                    fields[2].c_str());
            return -1;
        }
        entries->push_back(std::move(entry));
    }
    if (entries->empty()) {
        fprintf(stderr, "lumo-cab: %s lists no entries\n", manifest.c_str());
        return -1;
    }
    return 0;
}

int read_folder(const std::string& folder, const std::string& component, std::vector<store_write_entry_t>* entries) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        fprintf(stderr, "lumo-cab: %s is not a folder\n", folder.c_str());
        return -1;
    }
    fs::recursive_directory_iterator it(folder, ec);
    const fs::recursive_directory_iterator end;
    for (; !ec && it != end; it.increment(ec)) {
        // Links are left out: the store holds contents, and a link's target may lie anywhere.
        const fs::file_status status = it->symlink_status(ec);
        if (ec || !fs::is_regular_file(status)) continue;
        struct stat info;
        if (stat(it->path().c_str(), &info) != 0) continue;
        store_write_entry_t entry;
        entry.item.component = component;
        entry.item.name = it->path().lexically_relative(folder).generic_string();
        entry.source_path = it->path().string();
        char mode[8];
        snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(info.st_mode & 07777));
        entry.item.attrs = mode;
        entries->push_back(std::move(entry));
    }
    if (ec) {
        fprintf(stderr, "lumo-cab: can't read folder %s: %s\n", folder.c_str(), ec.message().c_str());
        return -1;
    }
    if (entries->empty()) {
        fprintf(stderr, "lumo-cab: %s holds no regular files\n", folder.c_str());
        return -1;
    }
    // Directory order differs between file systems; sorted names make the same tree give the same store.
    std::sort(entries->begin(), entries->end(), [](const store_write_entry_t& a, const store_write_entry_t& b) {
        return a.item.name < b.item.name;
    });
    return 0;
}

int command_create(const std::vector<std::string>& args, log_to_memory& log) {
    std::vector<store_write_entry_t> entries;
    const std::string& out = args[0];
    const int read = args.size() == 2 ? read_manifest(args[1], &entries) : read_folder(args[2], args[3], &entries);
    if (read != 0) return exit_failed;
    if (store_write(out, entries) != 0) {
        log.print_errors();
        fprintf(stderr, "lumo-cab: can't create %s\n", out.c_str());
        return exit_failed;
    }
    return exit_ok;
}

int command_list(const std::string& store, log_to_memory& log) {
    cab_t cab;
    if (store_read_header(nullptr, &cab, store.c_str()) != 0) {
        log.print_errors();
        fprintf(stderr, "lumo-cab: %s is not a readable store\n", store.c_str());
        return exit_failed;
    }
    for (const cab_item_t& item : cab.items) {
        printf("%s\t%s\t%llu\t%s\n", item.component.c_str(), item.name.c_str(),
               static_cast<unsigned long long>(item.install_size), item.attrs.c_str());
    }
    if (fflush(stdout) != 0) {
        fprintf(stderr, "lumo-cab: can't write the list: %s\n", strerror(errno));
        return exit_failed;
    }
    return exit_ok;
}

int command_extract(const std::vector<std::string>& args, log_to_memory& log) {
    cab_t cab;
    if (store_read_header(nullptr, &cab, args[0].c_str()) != 0) {
        log.print_errors();
        fprintf(stderr, "lumo-cab: %s is not a readable store\n", args[0].c_str());
        return exit_failed;
    }
    if (store_file_extract(nullptr, &cab, args[1].c_str(), args[2].c_str(), args[3].c_str()) != 0) {
        log.print_errors();
        return exit_failed;
    }
    return exit_ok;
}

int usage_error() {
    fputs(usage_text, stderr);
    return exit_usage;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error();
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h") {
        fputs(usage_text, stdout);
        return exit_ok;
    }
    log_to_memory log;
    if (command == "create") {
        const bool manifest_form = rest.size() == 2 && rest[1] != "--dir";
        const bool folder_form = rest.size() == 4 && rest[1] == "--dir";
        if (!manifest_form && !folder_form) return usage_error();
        return command_create(rest, log);
    }
    if (command == "list" && rest.size() == 1) return command_list(rest[0], log);
    if (command == "extract" && rest.size() == 4) return command_extract(rest, log);
    return usage_error();
}
