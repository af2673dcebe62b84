#include "contentsprovider.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "component.h"
#include "env.h"
#include "file.h"
#include "log.h"
#include "payload.h"
#include "utils.h"

namespace {

// Percent-encodes a field that would shift or split its record; a field that needs nothing stays
// as it is, so older records and their readers agree.
std::string encode_field(const std::string& field) {
    if (field.empty()) return "%";
    std::string out;
    for (char c : field) {
        if (c == '%') out += "%25";
        else if (c == ':') out += "%3A";
        else if (c == '\n') out += "%0A";
        else if (c == '\r') out += "%0D";
        else out += c;
    }
    return out;
}

std::string decode_field(const std::string& piece) {
    if (piece == "%") return "";
    std::string out;
    for (size_t i = 0; i < piece.size(); ++i) {
        if (piece[i] == '%' && i + 2 < piece.size()) {
            const std::string code = piece.substr(i + 1, 2);
            const char* known[][2] = {{"25", "%"}, {"3A", ":"}, {"0A", "\n"}, {"0D", "\r"}};
            bool replaced = false;
            for (const auto& k : known) {
                if (code == k[0]) {
                    out += k[1];
                    i += 2;
                    replaced = true;
                    break;
                }
            }
            if (replaced) continue;
        }
        out += piece[i];
    }
    return out;
}

// False only when the line cannot be the record of the file, which spares taking apart every line
// of a large database. A name free of the encoded characters stands literally in any record of it,
// old unencoded ones included; other names are always looked at closely.
bool may_hold(const std::string& line, const std::string& file, const std::string& encoded) {
    return encoded != file || line.find(encoded) != std::string::npos;
}

// The file field of a record line, "" when the line is no record.
std::string record_file(const std::string& line) {
    const std::vector<std::string> pieces = contents_record_split(line);
    return pieces.size() >= 3 ? pieces[2] : std::string();
}

}  // namespace

std::string contents_record_format(const std::string& id, const std::string& file, const std::string& prefix,
                                   const std::string& list_file) {
    return "<:" + encode_field(id) + ":" + encode_field(file) + ":" + encode_field(prefix) + ":" +
           encode_field(list_file) + ":>";
}

std::vector<std::string> contents_record_split(const std::string& line) {
    std::vector<std::string> pieces;
    for (const std::string& piece : splitString(line, ":", false)) {
        if (!piece.empty()) pieces.push_back(decode_field(piece));
    }
    return pieces;
}

int contents_recorded(session_t* session, const std::string& name, const std::string& file, std::string* prefix,
                      std::string* list_file) {
    ContentsDatabase db;
    db.init(session, name);
    const std::string encoded = encode_field(file);
    for (int i = 0; i < db.size(); ++i) {
        if (!may_hold(db.line(i), file, encoded)) continue;
        const std::vector<std::string> pieces = db.getItem(i);
        if (pieces.size() == 6 && pieces[2] == file) {
            *prefix = pieces[3];
            *list_file = pieces[4];
            return 0;
        }
    }
    return -1;
}

void contents_remove_superseded(session_t* session, const std::string& name, const std::string& file,
                                const std::string& old_prefix, const std::vector<std::string>& old_paths,
                                std::vector<std::string> new_paths) {
    ContentsDatabase db;
    db.init(session, name);
    for (int i = 0; i < db.size(); ++i) {
        const std::vector<std::string> pieces = db.getItem(i);
        if (pieces.size() != 6 || pieces[2] == file || pieces[4].empty() || !is_file(pieces[4])) continue;
        for (std::string& line : readContentOfTextFile(pieces[4])) new_paths.push_back(std::move(line));
    }
    payload_remove_stale(old_prefix, old_paths, new_paths);
}

std::string contents_clean_version(const std::string& version) {
    std::string out;
    for (char c : version) {
        if ((c >= '0' && c <= '9') || c == '.') out += c;
    }
    return out;
}

ContentsItem* ContentsProvider::findItem(const std::string& id, const std::string& file, const std::string& version_in) {
    const std::string version = contents_clean_version(version_in);
    print_log("ContentsProvider::findItem: looking for id %s, file %s, version %s", id.c_str(), file.c_str(),
              version.c_str());
    for (const std::unique_ptr<ContentsItem>& item : m_contents) {
        if (item->m_status == -1) continue;  // removed in this run
        const bool match = id.empty() ? item->m_file == file : item->m_id == id;
        if (match && (version.empty() || version == item->m_version)) {
            print_log("ContentsProvider::findItem: id found");
            return item.get();
        }
    }
    return nullptr;
}

std::string ContentsProvider::coexId(int) { return ""; }

bool ContentsProvider::coexMatch(int index, const std::string& pattern, int mode) {
    const std::string value = coexId(index);
    if (mode != 2) return value == pattern;
    regex_ptr regex = get_regex(pattern.c_str(), REG_EXTENDED | REG_NOSUB);
    if (!regex) {
        error("ContentsProvider::coexMatch: pattern %s is not valid regex", pattern.c_str());
        return false;
    }
    return regmatch(regex.get(), value.c_str(), 0) == 1;
}

ContentsItem* ContentsProviderMsi::findItem(const std::string& id, const std::string&, const std::string&) {
    return ContentsProvider::findItem(id.empty() ? std::string("\x01") : id, "", "");
}

std::string ContentsProviderMsi::coexId(int index) {
    if (index < 0 || index >= static_cast<int>(m_contents.size())) return "";
    return m_contents[static_cast<size_t>(index)]->m_id;
}

int ContentsProviderPkg::installFile(const std::string& file, const std::string& prefix, const std::string&) {
    error("Installing PKG file %s to %s", file.c_str(), prefix.c_str());
    error("ContentsProviderPkg::installFile: this package type can not be installed on this system");
    return 1;
}

int ContentsProviderPkg::uninstallFile(const std::string&, const std::string&) { return 0; }

std::string ContentsProviderPkg::coexId(int index) {
    if (index < 0 || index >= static_cast<int>(m_contents.size())) return "";
    return m_contents[static_cast<size_t>(index)]->m_id;
}

std::vector<std::string> ContentsDatabase::readLines(const std::string& db) const {
    std::vector<std::string> lines;
    if (db.empty() || !exists(db)) return lines;
    for (const std::string& line : readContentOfTextFile(db)) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

int ContentsDatabase::init(session_t* session, const std::string& name) {
    m_session = session;
    m_name = name;
    m_lines = readLines(getDbFilename());
    return 0;
}

std::vector<std::string> ContentsDatabase::getItem(int index) const {
    if (index < 0 || index >= size()) return {};
    return contents_record_split(m_lines[static_cast<size_t>(index)]);
}

std::vector<std::string> ContentsDatabase::getItem(const std::string& id, const std::string& file) const {
    for (const std::string& line : m_lines) {
        std::vector<std::string> pieces = contents_record_split(line);
        if (pieces.size() >= 3 && pieces[1] == id && pieces[2] == file) return pieces;
    }
    return {};
}

void ContentsDatabase::removeListFile(const std::string& list) const {
    if (list.empty()) return;
    std::string dir = path(getDir());
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty() || path(get_dirname(path(list))) != dir || get_basename(list).compare(0, 1, ".") != 0) {
        warn("ContentsDatabase::removeListFile: %s is not a list of the database folder %s, left in place",
             list.c_str(), dir.c_str());
        return;
    }
    remove_file(list, 1);
}

std::string ContentsDatabase::getDir() const {
    if (!m_session) {
        error("ContentsDatabase::getDir: session is null");
        return "";
    }
    if (env_exists(m_session, std::string("nonrpm_db_dir"))) {
        const std::string dir = env_get_string(m_session, std::string("nonrpm_db_dir"));
        env_set_string(m_session, std::string("NONRPM_DB_DIR"), dir);
        return dir;
    }
    const std::string dir = env_get_string(m_session, std::string("NONRPM_DB_DIR"));
    return dir.empty() ? base_user_dir(m_session) : dir;
}

std::string ContentsDatabase::getDbFilename() const {
    if (!m_session) {
        error("ContentsDatabase::getDbFilename: session is null");
        return "";
    }
    const std::string dir = getDir();
    if (dir.empty()) {
        error("ContentsDatabase::getDbFilename: db_dir is empty");
        return "";
    }
    return path(dir + "/vexan_kwq_products." + (m_name.empty() ? "" : m_name + ".") + "db");
}

int ContentsDatabase::rewrite(const std::vector<std::string>& lines, const std::string& db) const {
    if (lines.empty()) {
        if (exists(db) && unlink(db.c_str()) != 0) return -1;
        return 0;
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return payload_write_file_atomic(db, text, 0644);
}

int ContentsDatabase::addItem(std::vector<std::unique_ptr<ContentsItem>>* contents,
                              std::unique_ptr<ContentsItem> item) {
    if (!m_session || !contents || !item) {
        error("ContentsDatabase::addItem: parameter is null");
        return -1;
    }
    const std::string db = getDbFilename();
    if (db.empty()) {
        error("ContentsDatabase::addItem: db path is empty");
        return -1;
    }
    const std::string dir = get_dirname(db);
    if (!dir.empty() && !is_dir(dir)) folder_create(dir, 0755);
    print_log("ContentsDatabase::addItem: started");
    // The record of the same file is replaced in place, so the file holds one line per package.
    std::vector<std::string> lines;
    bool placed = false;
    const std::string record = contents_record_format(item->m_id, item->m_file, item->m_prefix, item->m_listFile);
    const std::string encoded = encode_field(item->m_file);
    for (const std::string& line : readLines(db)) {
        if (may_hold(line, item->m_file, encoded) && record_file(line) == item->m_file) {
            if (!placed) lines.push_back(record);
            placed = true;
        } else {
            lines.push_back(line);
        }
    }
    if (!placed) lines.push_back(record);
    if (rewrite(lines, db) != 0) {
        error("ContentsDatabase::addItem: can not open %s", db.c_str());
        return -1;
    }
    m_lines = lines;
    int replaced_status = 0;
    bool replaced = false;
    for (const std::unique_ptr<ContentsItem>& existing : *contents) {
        if (existing->m_id.empty() || existing->m_file != item->m_file) continue;
        print_log("ContentsDatabase::addItem: existing item, status %d", existing->m_status);
        replaced_status = existing->m_status;
        replaced = true;
        existing->m_status = 2;
        existing->m_id = item->m_id;
        existing->m_file = item->m_file;
        existing->m_prefix = item->m_prefix;
        existing->m_listFile = item->m_listFile;
    }
    // An item whose record replaced that of one removed in this run is not listed: the removed one
    // now carries its fields, and the item handed over goes when this returns.
    if (!(replaced && replaced_status == -1)) contents->push_back(std::move(item));
    print_log("ContentsDatabase::addItem: finished");
    return 0;
}

int ContentsDatabase::removeItem(std::vector<std::unique_ptr<ContentsItem>>* contents, const ContentsItem* item) {
    if (!m_session || !contents || !item) {
        error("ContentsDatabase::removeItem: session is null");
        return -1;
    }
    print_log("ContentsDatabase::removeItem: delete %s ", item->m_file.c_str());
    const std::string db = getDbFilename();
    std::vector<std::string> lines;
    const std::string encoded = encode_field(item->m_file);
    for (const std::string& line : readLines(db)) {
        if (!may_hold(line, item->m_file, encoded) || record_file(line) != item->m_file) lines.push_back(line);
    }
    if (rewrite(lines, db) != 0) {
        error("ContentsDatabase::removeItem: can not open %s", db.c_str());
        return -1;
    }
    m_lines = lines;
    for (const std::unique_ptr<ContentsItem>& existing : *contents) {
        if (existing->m_file == item->m_file) existing->m_status = -1;
    }
    print_log("ContentsDatabase::removeItem: finished");
    return 0;
}
