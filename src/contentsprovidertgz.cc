#include "contentsprovidertgz.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <utility>

#include "env.h"
#include "file.h"
#include "log.h"
#include "payload.h"
#include "seq_shell.h"
#include "utils.h"

namespace {

constexpr size_t tar_block = 512;
const char* const tgz_script_kinds[] = {"PREIN", "POSTIN", "PREUN", "POSTUN", "SUMMARY"};

// A numeric field: octal text (leading blanks, ended by NUL or blank) or, with the high bit of
// its first byte set, a big-endian base-256 number. 0, or -1 for anything else.
int parse_number(const unsigned char* field, size_t length, uint64_t* value) {
    *value = 0;
    if (field[0] & 0x80) {
        if (field[0] == 0xff) return -1;  // negative
        uint64_t v = field[0] & 0x7f;
        for (size_t i = 1; i < length; ++i) {
            if (v >> 55) return -1;  // would not fit in 63 bits
            v = v << 8 | field[i];
        }
        *value = v;
        return 0;
    }
    size_t i = 0;
    while (i < length && field[i] == ' ') ++i;
    for (; i < length && field[i] != '\0' && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7' || (*value >> 60)) return -1;
        *value = *value << 3 | uint64_t(field[i] - '0');
    }
    for (; i < length; ++i) {
        if (field[i] != '\0' && field[i] != ' ') return -1;
    }
    return 0;
}

// A text field that may fill its whole width without a terminating NUL.
std::string text_field(const unsigned char* field, size_t length) {
    const void* end = memchr(field, '\0', length);
    return std::string(reinterpret_cast<const char*>(field),
                       end ? static_cast<const unsigned char*>(end) - field : length);
}

// Reads the data of an 'L', 'K', 'x' or 'g' entry, within its cap; padding consumed. 0 or -1.
int read_meta(payload_source& source, uint64_t size, uint64_t cap, std::string* data) {
    if (size > cap) {
        error("ContentsProviderTgz::installFile: extended header of %llu bytes is too long",
              static_cast<unsigned long long>(size));
        return -1;
    }
    data->assign(static_cast<size_t>(size), '\0');
    if (size && source.read_exact(&(*data)[0], data->size()) != 0) return -1;
    return source.skip((tar_block - size % tar_block) % tar_block);
}

struct install_context_t {
    ContentsProviderTgz* provider;
    payload_extractor* out;
};

void run_prein_now(void* context, const std::string& name) {
    auto* c = static_cast<install_context_t*>(context);
    // The package's own pre-install script runs before the rest of the archive is written.
    if (name != ".scripts/PREIN") return;
    c->out->drain();
    c->provider->runTgzScript(c->out->target(name), c->out->prefix());
}

// The folder where removal of a package stops: the installation folder holding the prefix, else
// the prefix itself.
std::string removal_root(session_t* session, const std::string& prefix) {
    const std::string install_dir = path(env_get_string(session, std::string("LUMO_INSTALL_DIR")));
    if (!install_dir.empty() && install_dir != "/" &&
        (prefix == install_dir || prefix.compare(0, install_dir.size() + 1, install_dir + "/") == 0))
        return install_dir;
    return prefix;
}

std::string temp_folder(session_t* session) {
    const std::string folder = env_get_string(session, std::string("TEMP_FOLDER"));
    return folder.empty() ? std::string("/tmp") : folder;
}

}  // namespace

int tar_header_parse(const unsigned char* block, tar_header_t* header) {
    bool zero = true;
    for (size_t i = 0; i < tar_block && zero; ++i) zero = block[i] == 0;
    if (zero) return 1;
    uint64_t stored = 0;
    if (parse_number(block + 148, 8, &stored) != 0) return -1;
    // The checksum counts its own field as spaces. Summed whole and corrected after, the loops
    // have no branch in them and compile to vector code.
    uint64_t sum_unsigned = 8 * ' ';
    int64_t sum_signed = 8 * ' ';
    for (size_t i = 0; i < tar_block; ++i) sum_unsigned += block[i];
    for (size_t i = 0; i < tar_block; ++i) sum_signed += static_cast<signed char>(block[i]);
    for (size_t i = 148; i < 156; ++i) {
        sum_unsigned -= block[i];
        sum_signed -= static_cast<signed char>(block[i]);
    }
    if (stored != sum_unsigned && static_cast<int64_t>(stored) != sum_signed) return -1;
    uint64_t mode = 0, size = 0, mtime = 0, uid = 0, gid = 0;
    if (parse_number(block + 100, 8, &mode) != 0 || parse_number(block + 124, 12, &size) != 0 ||
        parse_number(block + 136, 12, &mtime) != 0)
        return -1;
    // An owner field that is no number is taken as root's: the owner is never a reason to refuse.
    if (parse_number(block + 108, 8, &uid) != 0) uid = 0;
    if (parse_number(block + 116, 8, &gid) != 0) gid = 0;
    header->uid = uid;
    header->gid = gid;
    header->mode = static_cast<uint32_t>(mode & 07777);
    header->size = size;
    header->mtime = static_cast<int64_t>(mtime);
    header->type = static_cast<char>(block[156]);
    header->name = text_field(block, 100);
    header->linkname = text_field(block + 157, 100);
    // POSIX ustar keeps the leading part of a long name in the prefix field.
    if (memcmp(block + 257, "ustar\0", 6) == 0) {
        const std::string prefix = text_field(block + 345, 155);
        if (!prefix.empty()) header->name = prefix + "/" + header->name;
    }
    return 0;
}

int tar_pax_apply(const std::string& records, tar_header_t* header) {
    size_t pos = 0;
    while (pos < records.size()) {
        size_t i = pos;
        uint64_t length = 0;
        while (i < records.size() && records[i] >= '0' && records[i] <= '9' && length < records.size())
            length = length * 10 + uint64_t(records[i++] - '0');
        if (i == pos || i >= records.size() || records[i] != ' ' || length <= i - pos ||
            length > records.size() - pos || records[pos + length - 1] != '\n')
            return -1;
        const std::string record = records.substr(i + 1, pos + length - 1 - (i + 1));
        const size_t equals = record.find('=');
        if (equals == std::string::npos) return -1;
        const std::string key = record.substr(0, equals), value = record.substr(equals + 1);
        if (key == "path") header->name = value;
        else if (key == "linkpath") header->linkname = value;
        else if (key == "size" || key == "mtime" || key == "uid" || key == "gid") {
            uint64_t number = 0;
            size_t j = 0;
            for (; j < value.size() && value[j] >= '0' && value[j] <= '9' && number < (uint64_t(1) << 59); ++j)
                number = number * 10 + uint64_t(value[j] - '0');
            if (j == 0 || (key == "size" && j != value.size())) return -1;
            if (key == "size") header->size = number;
            else if (key == "uid") header->uid = number;
            else if (key == "gid") header->gid = number;
            else header->mtime = static_cast<int64_t>(number);
        }
        pos += length;
    }
    return 0;
}

tar_extract_result_t tar_extract(payload_source& source, payload_extractor& out,
                                 void (*on_written)(void*, const std::string&), void* context) {
    tar_extract_result_t result;
    std::string long_name, long_link, pax;
    bool have_long_name = false, have_long_link = false, have_pax = false, broken = false, ended = false;
    unsigned char block[tar_block];
    while (!ended) {
        if (source.read_exact(block, sizeof(block)) != 0) {
            error("ContentsProviderTgz::installFile: the archive is truncated");
            broken = true;
            break;
        }
        tar_header_t header;
        const int parsed = tar_header_parse(block, &header);
        if (parsed == 1) break;
        if (parsed < 0) {
            error("ContentsProviderTgz::installFile: bad tar header (checksum or number)");
            broken = true;
            break;
        }
        std::string data;
        switch (header.type) {
        case 'L':
        case 'K':
            if (read_meta(source, header.size, tar_long_name_max, &data) != 0) {
                broken = true;
                break;
            }
            data = data.substr(0, data.find('\0'));
            if (header.type == 'L') long_name = data, have_long_name = true;
            else long_link = data, have_long_link = true;
            continue;
        case 'x':
            if (read_meta(source, header.size, tar_pax_max, &pax) != 0) {
                broken = true;
                break;
            }
            have_pax = true;
            continue;
        case 'g':
            if (read_meta(source, header.size, tar_pax_max, &data) != 0) {
                broken = true;
                break;
            }
            print_log("ContentsProviderTgz::installFile: global extended header skipped");
            continue;
        default:
            break;
        }
        if (broken) break;
        if (have_long_name) header.name = long_name;
        if (have_long_link) header.linkname = long_link;
        if (have_pax && tar_pax_apply(pax, &header) != 0) {
            error("ContentsProviderTgz::installFile: bad pax header for %s", header.name.c_str());
            broken = true;
            break;
        }
        have_long_name = have_long_link = have_pax = false;
        if (header.name.empty()) break;  // an empty name ends the archive
        print_log("ContentsProviderTgz::installFile: extracting %s, type %c, size %llu",
                  out.target(header.name).c_str(), header.type ? header.type : '0',
                  static_cast<unsigned long long>(header.size));
        const uint64_t padding = (tar_block - header.size % tar_block) % tar_block;
        int status = 0;
        bool data_left = true;
        switch (header.type) {
        case '0':
        case '\0':
        case '7':
            out.set_owner(header.uid, header.gid);
            status = out.add_file(header.name, header.mode, header.mtime, source, header.size);
            data_left = false;
            break;
        case '5':
            out.set_owner(header.uid, header.gid);
            status = out.add_directory(header.name, header.mode, header.mtime);
            break;
        case '2':
            print_log("ContentsProviderTgz::installFile: symlink target is %s", header.linkname.c_str());
            status = out.add_symlink(header.name, header.linkname);
            break;
        case '1':
            status = out.add_hardlink(header.name, header.linkname);
            break;
        default:
            print_log("ContentsProviderTgz::installFile: entry %s of type %c skipped", header.name.c_str(),
                      header.type);
            ++result.skipped;
            status = 1;
            break;
        }
        if (status == -2 || (data_left && source.skip(header.size) != 0) || source.skip(padding) != 0) {
            error("ContentsProviderTgz::installFile: the archive ends inside %s", header.name.c_str());
            broken = true;
            break;
        }
        if (status == 0) {
            ++result.entries;
            std::string clean;
            if (on_written && (header.type == '0' || header.type == '\0' || header.type == '7') &&
                payload_clean_name(header.name, &clean) == 0)
                on_written(context, clean);
        }
    }
    // What follows the end marker (the archive's padding) is read too, so that a damaged
    // compressed stream fails the archive instead of passing for a whole one.
    if (!broken && source.finish_stream() != 0) {
        error("ContentsProviderTgz::installFile: the archive is damaged after its last entry");
        broken = true;
    }
    const int finished = out.finish();
    result.status = (broken || finished != 0) ? -1 : 0;
    return result;
}

ContentsItem* ContentsProviderTgz::findItem(const std::string& id, const std::string& file, const std::string&) {
    // An archive is recorded by its own name: a component that names it with a folder part
    // ("../extra/a.tar.gz") must find that record again, or its removal would leave everything.
    return ContentsProvider::findItem(id, file.empty() ? file : get_basename(file), "");
}

std::string ContentsProviderTgz::coexId(int index) {
    if (index < 0 || index >= static_cast<int>(m_contents.size())) return "";
    return m_contents[static_cast<size_t>(index)]->m_file;
}

int ContentsProviderTgz::runTgzScript(const std::string& script, const std::string& prefix) {
    if (!exists(script)) return 0;
    env_set_string(m_session, std::string("LUMO_INSTALL_PREFIX"), prefix);
    const std::vector<std::string> argv = {"/bin/sh", script};
    print_log("ContentsProviderTgz::runTgzScript: running %s", payload_command_text(argv).c_str());
    // The script sees the properties as a shell function of the sequence does, as LI_ variables,
    // and runs as a program of its own, so that its exit status is its result.
    std::vector<std::string> environment = shellexec_environment(m_session);
    environment.push_back("LUMO_INSTALL_PREFIX=" + prefix);
    const int status =
        payload_run(argv, env_get_string(m_session, std::string("log_file")), nullptr, environment);
    env_set_string(m_session, std::string("EXIT_CODE"), inttostr(status));
    return status;
}

int ContentsProviderTgz::installFile(const std::string& file, const std::string& prefix_in, const std::string&) {
    print_log("ContentsProviderTgz::installFile: started");
    std::string prefix = path(prefix_in);
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    const std::string name = get_basename(file);
    fd_owner archive{open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (archive.fd < 0) {
        error("ContentsProviderTgz::installFile: can not open file %s", file.c_str());
        return 1;
    }
    m_database.m_session = m_session;
    m_database.m_name = "tgz";
    const std::string db_dir = m_database.getDir();
    if (db_dir.empty() || prefix.empty()) {
        error("ContentsProviderTgz::installFile: no database folder or prefix for %s", file.c_str());
        return 1;
    }
    if (!is_dir(db_dir)) folder_create(db_dir, 0755);
    const std::string list = path(db_dir + "/." + name + ".log");
    // The new list is written beside the old one and replaces it only on success, so a failed
    // reinstallation leaves the earlier record and its list as they were.
    const std::string new_list = list + ".new";
    std::string old_prefix, old_list;
    std::vector<std::string> old_paths;
    if (contents_recorded(m_session, "tgz", name, &old_prefix, &old_list) == 0) old_paths = readContentOfTextFile(old_list);
    if (exists(new_list)) {
        // Left by an installation that was killed: what it wrote and the record does not name goes.
        payload_remove_stale(prefix, readContentOfTextFile(new_list), old_paths);
        remove_file(new_list, 1);
    }
    std::unique_ptr<payload_source> source = payload_open(archive.fd, 0);
    payload_extractor out(prefix, new_list);
    if (!source || out.open() != 0) {
        error("ContentsProviderTgz::installFile: can not open file %s", file.c_str());
        return 1;
    }
    install_context_t context{this, &out};
    const tar_extract_result_t result = tar_extract(*source, out, run_prein_now, &context);
    source.reset();
    if (result.status != 0) {
        // Nothing half-installed stays behind and nothing is recorded: the component fails whole.
        // What was there before (an earlier installation being repaired, files of the user's) stays.
        error("ContentsProviderTgz::installFile: installation of %s failed, removing what was written", file.c_str());
        payload_remove_stale(prefix, readContentOfTextFile(new_list), out.existed());
        remove_file(new_list, 1);
        return 1;
    }
    if (rename(new_list.c_str(), list.c_str()) != 0) {
        error("ContentsProviderTgz::installFile: can not write %s", list.c_str());
        return 1;
    }
    print_log("ContentsProviderTgz::installFile: %lld entries written, %lld skipped",
              static_cast<long long>(result.entries), static_cast<long long>(result.skipped));
    auto item = std::make_unique<ContentsItem>();
    item->m_id = name;
    item->m_file = name;
    item->m_prefix = prefix;
    item->m_listFile = list;
    if (m_database.addItem(&m_contents, std::move(item)) != 0) {
        // Files no record names could never be removed: a first installation takes them back. A
        // reinstallation keeps its record, which names the list just written.
        error("ContentsProviderTgz::installFile: %s could not be recorded", file.c_str());
        if (old_list.empty()) {
            payload_remove_stale(prefix, readContentOfTextFile(list), out.existed());
            remove_file(list, 1);
        }
        return 1;
    }
    // What the earlier installation of this archive put there and this one did not goes, unless
    // another archive's list names it too.
    if (!old_paths.empty())
        contents_remove_superseded(m_session, "tgz", name, old_prefix, old_paths, readContentOfTextFile(list));
    if (!old_list.empty() && path(old_list) != list) m_database.removeListFile(old_list);
    const std::string scripts = prefix + "/.scripts";
    struct stat st;
    if (lstat(scripts.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        for (const char* kind : tgz_script_kinds) {
            const std::string from = scripts + "/" + kind;
            if (exists(from)) rename(from.c_str(), (from + "." + name).c_str());
        }
    }
    runTgzScript(scripts + "/POSTIN." + name, prefix);
    print_log("ContentsProviderTgz::installFile: finished");
    return 0;
}

int ContentsProviderTgz::uninstallFile(const std::string& id, const std::string& file) {
    print_log("ContentsProviderTgz::uninstallFile: started");
    ContentsItem* item = findItem(id, file, "");
    if (!item) {
        error("ContentsProviderTgz::uninstallFile: %s is not installed", file.c_str());
        return -1;
    }
    m_database.m_session = m_session;
    m_database.m_name = "tgz";
    const std::string prefix = item->m_prefix;
    const std::string name = item->m_file;
    // The removal scripts are moved out of the tree first: removing the files may take their
    // folder. A package without scripts needs no such place.
    std::string temp;
    for (const char* kind : tgz_script_kinds) {
        const std::string from = prefix + "/.scripts/" + kind + "." + name;
        if (!exists(from)) continue;
        if (temp.empty()) {
            temp = temp_folder(m_session) + "/lumo_tgz.XXXXXX";
            if (!mkdtemp(&temp[0])) {
                error("ContentsProviderTgz::uninstallFile: can not create a folder in %s", temp_folder(m_session).c_str());
                return -1;
            }
        }
        if (rename(from.c_str(), (temp + "/" + kind + "." + name).c_str()) != 0)
            file_move(from, temp + "/" + kind + "." + name);
    }
    if (!temp.empty()) runTgzScript(temp + "/PREUN." + name, prefix);
    payload_remove_listed(prefix, readContentOfTextFile(item->m_listFile));
    if (!temp.empty()) {
        runTgzScript(temp + "/POSTUN." + name, prefix);
        remove_dir(temp);
    }
    m_database.removeListFile(item->m_listFile);
    remove_dir_if_empty(prefix + "/.scripts", 0);
    const int removed = m_database.removeItem(&m_contents, item);
    payload_remove_empty_up(prefix, removal_root(m_session, prefix));
    print_log("ContentsProviderTgz::uninstallFile: finished");
    return removed;
}

int ContentsProviderTgz::registerFiles(const std::string&) {
    print_log("ContentsProviderTgz::registerFiles: started");
    m_database.init(m_session, "tgz");
    print_log("ContentsProviderTgz::registerFiles: retrieving TGZ packages list");
    print_log("ContentsProviderTgz::registerFiles: preparing TGZ list");
    for (int i = 0; i < m_database.size(); ++i) {
        std::vector<std::string> pieces = m_database.getItem(i);
        pieces.resize(std::max<size_t>(pieces.size(), 5));
        if (ContentsProvider::findItem(pieces[1], pieces[2], "")) continue;
        auto item = std::make_unique<ContentsItem>();
        item->m_id = pieces[1];
        item->m_file = pieces[2];
        item->m_prefix = pieces[3] == ">" ? "" : pieces[3];
        item->m_listFile = pieces[4] == ">" ? "" : pieces[4];
        std::string summary;
        if (get_file(item->m_prefix + "/.scripts/SUMMARY." + item->m_file, summary, 1) == 0)
            item->m_summary = trimSpaces(remove_newlines(summary));
        print_log("ContentsProviderTgz::registerFiles: detected TGZ file: %s, path %s", item->m_file.c_str(),
                  item->m_prefix.c_str());
        m_contents.push_back(std::move(item));
    }
    print_log("ContentsProviderTgz::registerFiles: finished.");
    return 0;
}

int ContentsProviderTgz::registerAllFiles(const std::string&) { return registerFiles(""); }
