// The back-ends that install, remove and enumerate one kind of payload, the packages each knows to
// be installed, and the engine's own text database of the packages it installed itself.
// One provider object exists per payload type for the whole run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct session_t;

// One installed package.
class ContentsItem {
public:
    std::string m_id;        // package name, or the product code recorded at installation
    std::string m_file;      // payload file name
    std::string m_prefix;    // directory the package was installed into
    std::string m_summary;
    std::string m_version;   // digits and dots only
    std::string m_listFile;  // file listing what an engine extraction put on disk
    // 0 after construction; 2 once addItem replaced its record (or a coexistence action is bound);
    // -1 once removed: never written again.
    int32_t m_status = 0;
    // Coexistence state: the bound rule's settings (show 1 yes, 2 no; uninstall 3 required,
    // 4 optional, 5 forbidden, 0 while no rule is bound), the item's number in the optional list,
    // whether it is to be removed, and its dialog group (0: none).
    int32_t coex_show = 0;
    int32_t coex_uninstall = 0;
    std::string coex_run;
    std::string coex_options;
    std::string coex_condition;
    std::string coex_skiplist;
    int32_t coex_choice = 0;
    int32_t coex_selected = 0;
    int32_t coex_group = 0;
};

class ContentsProvider {
public:
    // The single provider of the type ("rpm", "tgz", "msi", "pkg"), created on first use; its
    // session is refreshed on every call. Null for any other type.
    static ContentsProvider* create(session_t* session, const std::string& type);

    ContentsProvider() = default;
    virtual ~ContentsProvider() = default;
    ContentsProvider(const ContentsProvider&) = delete;
    ContentsProvider& operator=(const ContentsProvider&) = delete;

    // With an id, items match on m_id, otherwise on m_file; a non-empty version (reduced to digits
    // and dots) must equal the item's. Null when none matches.
    virtual ContentsItem* findItem(const std::string& id, const std::string& file, const std::string& version);
    // 0 on success; non-zero fails the component.
    virtual int installFile(const std::string& file, const std::string& prefix, const std::string& options) = 0;
    virtual int uninstallFile(const std::string& id, const std::string& file) = 0;
    virtual int registerFiles(const std::string& pattern) = 0;
    virtual int registerAllFiles(const std::string& unused) = 0;
    virtual std::string coexId(int index);
    // Mode 2: coexId(index) matches pattern as an extended regular expression (an invalid pattern
    // is logged and matches nothing); any other mode: equals it.
    virtual bool coexMatch(int index, const std::string& pattern, int mode);

    std::vector<std::unique_ptr<ContentsItem>>& contents() { return m_contents; }

    session_t* m_session = nullptr;
    // The items live as long as the provider; findItem and the lists built from these hand out
    // plain pointers that never own.
    std::vector<std::unique_ptr<ContentsItem>> m_contents;
};

// The record of packages a back-end installed itself: one line per package,
// "<:id:file:prefix:listfile:>". A field that is empty or holds ':', '%' or a newline is written
// percent-encoded ("%" alone for the empty text), so that a record never shifts its fields;
// records written without encoding read back as they always did.
class ContentsDatabase {
public:
    // Reads every line of the database file (a missing file gives none); 0.
    int init(session_t* session, const std::string& name);
    int size() const { return static_cast<int>(m_lines.size()); }
    const std::string& line(int index) const { return m_lines[static_cast<size_t>(index)]; }
    // The line split at ':' with empty pieces dropped and fields decoded: "<", the fields, ">".
    // Empty for an index out of range.
    std::vector<std::string> getItem(int index) const;
    // The split record whose id and file are those given; empty when there is none.
    std::vector<std::string> getItem(const std::string& id, const std::string& file) const;
    // nonrpm_db_dir (copied to NONRPM_DB_DIR), else NONRPM_DB_DIR, else the base user directory.
    std::string getDir() const;
    std::string getDbFilename() const;
    // Records the item, replacing the line of a record for the same file. The file is rewritten
    // through a temporary file, fsync and rename, so a crash leaves the old or the new database.
    // The item is handed over: the list keeps it, unless the listed item of the same file that took
    // its fields had been removed in this run, and then it is freed here. 0, or -1 with the list
    // and file untouched.
    int addItem(std::vector<std::unique_ptr<ContentsItem>>* contents, std::unique_ptr<ContentsItem> item);
    // Drops the records of the item's file from the file (the lines read from disk, not only those
    // this run knows) and marks the listed items of that file -1; removing the last record deletes
    // the file. The item stays its owner's. 0 or -1.
    int removeItem(std::vector<std::unique_ptr<ContentsItem>>* contents, const ContentsItem* item);
    // Deletes an installed-file list named by a record, when it lies in the database folder (where
    // the back-ends make them): a damaged record must not name any other file to be deleted.
    void removeListFile(const std::string& list) const;

    session_t* m_session = nullptr;
    std::vector<std::string> m_lines;
    std::string m_name;

private:
    int rewrite(const std::vector<std::string>& lines, const std::string& db) const;
    std::vector<std::string> readLines(const std::string& db) const;
};

// The prefix and list file recorded for the payload file in the database, when there is a whole
// record for it. 0, or -1 when there is none.
int contents_recorded(session_t* session, const std::string& name, const std::string& file, std::string* prefix,
                      std::string* list_file);
// After a reinstallation of the file: removes what its earlier installation listed (old_paths,
// below old_prefix) and the new one (new_paths) does not, except what the installed-file lists of
// the database's other records name: what two packages both ship stays when one stops shipping it.
void contents_remove_superseded(session_t* session, const std::string& name, const std::string& file,
                                const std::string& old_prefix, const std::vector<std::string>& old_paths,
                                std::vector<std::string> new_paths);
// The record line (without its newline) for the four fields.
std::string contents_record_format(const std::string& id, const std::string& file, const std::string& prefix,
                                   const std::string& list_file);
// A record line split at ':' with empty pieces dropped, each piece decoded.
std::vector<std::string> contents_record_split(const std::string& line);
// Digits and '.' of the text, in order.
std::string contents_clean_version(const std::string& version);

// Stand-ins for the back-ends of other platforms: registered so that a package naming them finds a
// provider, and doing nothing on Linux.
class ContentsProviderMsi : public ContentsProvider {
public:
    ContentsItem* findItem(const std::string& id, const std::string& file, const std::string& version) override;
    int installFile(const std::string&, const std::string&, const std::string&) override { return 0; }
    int uninstallFile(const std::string&, const std::string&) override { return 0; }
    int registerFiles(const std::string&) override { return 0; }
    int registerAllFiles(const std::string&) override { return registerFiles(""); }
    std::string coexId(int index) override;
};

class ContentsProviderPkg : public ContentsProvider {
public:
    int installFile(const std::string& file, const std::string& prefix, const std::string& options) override;
    int uninstallFile(const std::string& id, const std::string& file) override;
    int registerFiles(const std::string&) override { return 0; }
    int registerAllFiles(const std::string&) override { return registerFiles(""); }
    std::string coexId(int index) override;

private:
    ContentsDatabase m_database;
    std::string m_text;
};
