#include "contentsproviderrpm.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include "env.h"
#include "env_expand.h"
#include "file.h"
#include "log.h"
#include "payload.h"
#include "rpm_extract.h"
#include "utils.h"

namespace {

struct script_kind_t {
    const char* kind;
    uint32_t tag;
    uint32_t prog_tag;
};
const script_kind_t script_kinds[] = {
    {"SUMMARY", rpm_tag_summary, 0},
    {"PREIN", rpm_tag_prein, rpm_tag_preinprog},
    {"POSTIN", rpm_tag_postin, rpm_tag_postinprog},
    {"PREUN", rpm_tag_preun, rpm_tag_preunprog},
    {"POSTUN", rpm_tag_postun, rpm_tag_postunprog},
};

std::string temp_folder(session_t* session) {
    const std::string folder = env_get_string(session, std::string("TEMP_FOLDER"));
    return folder.empty() ? std::string("/tmp") : folder;
}

std::string removal_root(session_t* session, const std::string& prefix) {
    const std::string install_dir = path(env_get_string(session, std::string("LUMO_INSTALL_DIR")));
    if (!install_dir.empty() && install_dir != "/" &&
        (prefix == install_dir || prefix.compare(0, install_dir.size() + 1, install_dir + "/") == 0))
        return install_dir;
    return prefix;
}

// VERSION.RELEASE of a file named NAME-VERSION-RELEASE.ARCH.rpm, as digits and dots.
std::string version_from_file(const std::string& file, const std::string& name) {
    std::string stem = file;
    if (stem.size() > 4 && stem.compare(stem.size() - 4, 4, ".rpm") == 0) stem.resize(stem.size() - 4);
    const size_t arch = stem.rfind('.');
    if (arch != std::string::npos) stem.resize(arch);
    if (!name.empty() && stem.compare(0, name.size() + 1, name + "-") == 0) stem.erase(0, name.size() + 1);
    return contents_clean_version(replaceAllSubstrings(stem, "-", "."));
}

}  // namespace

std::vector<std::string> ContentsProviderRpm::rpmCommand() const {
    std::vector<std::string> argv = {"rpm"};
    const std::string dbpath = env_get_string(m_session, std::string("RPM_DBPATH"));
    if (!dbpath.empty()) {
        argv.push_back("--dbpath");
        argv.push_back(dbpath);
    }
    return argv;
}

std::string ContentsProviderRpm::logFile() const { return env_get_string(m_session, std::string("log_file")); }

ContentsItem* ContentsProviderRpm::findItem(const std::string&, const std::string& file, const std::string&) {
    return ContentsProvider::findItem("", file, "");
}

std::string ContentsProviderRpm::coexId(int index) {
    if (index < 0 || index >= static_cast<int>(m_contents.size())) return "";
    return m_contents[static_cast<size_t>(index)]->m_file;
}

int ContentsProviderRpm::installFile(const std::string& file, const std::string& prefix, const std::string&) {
    print_log("ContentsProviderRpm::installFile: started");
    int status;
    if (env_get_string(m_session, std::string("INSTALL_MODE")) == "NONRPM") {
        status = nonrpm_install_item(file.c_str(), prefix.c_str());
    } else {
        std::vector<std::string> argv = rpmCommand();
        for (const char* word : {"-ivh", "--ignorearch", "--oldpackage", "--force", "--nodeps"}) argv.push_back(word);
        const std::string expanded = expand_operand(m_session, prefix);
        if (!expanded.empty()) argv.push_back("--prefix=" + expanded);
        argv.push_back(file);
        print_log("ContentsProviderRpm::installFile: command %s", payload_command_text(argv).c_str());
        status = payload_run(argv, logFile(), nullptr);
        print_log("ContentsProviderRpm::installFile: return code is %d", status);
    }
    print_log("ContentsProviderRpm::installFile: finished");
    return status;
}

int ContentsProviderRpm::uninstallFile(const std::string&, const std::string& file) {
    print_log("ContentsProviderRpm::uninstallFile: started");
    ContentsItem* item = findItem("", file, "");
    const std::string prefix = item ? item->m_prefix : std::string();
    int status;
    if (env_get_string(m_session, std::string("INSTALL_MODE")) == "NONRPM") {
        status = item ? nonrpm_uninstall_item(item) : -1;
    } else {
        std::vector<std::string> argv = rpmCommand();
        argv.push_back("-e");
        argv.push_back("--nodeps");
        argv.push_back(cutExtension(get_basename(file)));
        print_log("ContentsProviderRpm::uninstallFile: command %s", payload_command_text(argv).c_str());
        status = payload_run(argv, logFile(), nullptr);
    }
    // Empty folders the package leaves are removed up to the installation folder, never above it.
    if (item && !prefix.empty()) payload_remove_empty_up(prefix, removal_root(m_session, prefix));
    print_log("ContentsProviderRpm::uninstallFile: finished");
    return status;
}

int ContentsProviderRpm::registerFiles(const std::string& pattern) {
    if (env_get_string(m_session, std::string("INSTALL_MODE")) == "RPM") return registerFilesRpm(pattern);
    if (pattern.empty()) registerFilesNonRpm();
    return 0;
}

int ContentsProviderRpm::registerAllFiles(const std::string&) {
    if (env_get_string(m_session, std::string("INSTALL_MODE")) == "NONRPM") registerFilesNonRpm();
    return 0;
}

int ContentsProviderRpm::registerFilesRpm(const std::string& pattern) {
    print_log("ContentsProviderRpm::registerFilesRpm: started with pattern %s", pattern.c_str());
    // One query gives every package with the fields its item needs, instead of one rpm run per
    // package; the fields are separated by tabs, which rpm's own values do not hold.
    static const char* const format =
        "%{NAME}-%{VERSION}-%{RELEASE}.%{ARCH}\\t%{NAME}\\t%{VERSION}.%{RELEASE}\\t%{SUMMARY}\\t%{INSTPREFIXES}\\n";
    if (!m_installedRead) {
        print_log("ContentsProviderRpm::registerFilesRpm: retrieving RPM packages list");
        std::vector<std::string> argv = rpmCommand();
        argv.push_back("-qa");
        argv.push_back("--qf");
        argv.push_back(format);
        std::string output;
        payload_run(argv, "", &output);
        m_installed = splitString(output, "\n", false);
        m_installedRead = true;
    }
    regex_ptr regex;
    if (!pattern.empty()) {
        regex = get_regex(pattern.c_str(), REG_EXTENDED | REG_NOSUB);
        if (!regex) {
            error("ContentsProviderRpm::registerFilesRpm: unable to compile regular expression.");
            return -1;
        }
    }
    for (const std::string& line : m_installed) {
        std::vector<std::string> fields = splitString(line, "\t", true);
        fields.resize(std::max<size_t>(fields.size(), 5));
        const std::string& package = fields[0];
        if (package.empty() || (regex && regmatch(regex.get(), package.c_str(), 0) != 1)) continue;
        if (ContentsProvider::findItem("", package + ".rpm", "")) continue;
        auto item = std::make_unique<ContentsItem>();
        item->m_id = fields[1];
        item->m_file = package + ".rpm";
        item->m_version = contents_clean_version(fields[2]);
        item->m_summary = fields[3];
        item->m_prefix = fields[4] == "(none)" ? "" : fields[4];
        print_log("ContentsProviderRpm::registerFiles: detected RPM file: %s, path %s", item->m_file.c_str(),
                  item->m_prefix.c_str());
        m_contents.push_back(std::move(item));
    }
    print_log("ContentsProviderRpm::registerFilesRpm: finished.");
    return 0;
}

int ContentsProviderRpm::registerFilesNonRpm() {
    print_log("ContentsProviderRpm::registerFilesNonRpm: started");
    m_database.init(m_session, "");
    print_log("ContentsProviderRpm::registerFilesNonRpm: retrieving nonRPM packages list");
    print_log("ContentsProviderRpm::registerFilesNonRpm: preparing nonRPM list");
    for (int i = 0; i < m_database.size(); ++i) {
        std::vector<std::string> pieces = m_database.getItem(i);
        pieces.resize(std::max<size_t>(pieces.size(), 5));
        bool known = false;
        for (const std::unique_ptr<ContentsItem>& item : m_contents)
            known = known || (item->m_id == pieces[1] && item->m_file == pieces[2] && item->m_status != -1);
        if (known) continue;
        auto item = std::make_unique<ContentsItem>();
        item->m_id = pieces[1];
        item->m_file = pieces[2];
        item->m_prefix = pieces[3] == ">" ? "" : pieces[3];
        item->m_listFile = pieces[4] == ">" ? "" : pieces[4];
        item->m_version = version_from_file(item->m_file, item->m_id);
        std::string summary;
        if (get_file(item->m_prefix + "/.scripts/SUMMARY." + item->m_file, summary, 1) == 0)
            item->m_summary = trimSpaces(remove_newlines(summary));
        m_contents.push_back(std::move(item));
    }
    print_log("ContentsProviderRpm::registerFilesNonRpm: finished.");
    return 0;
}

std::string ContentsProviderRpm::nonrpm_get_rpm_prog(const std::string& package, const std::string& kind) {
    for (const script_kind_t& k : script_kinds) {
        if (kind != k.kind || !k.prog_tag) continue;
        rpm_field_t prog;
        if (rpm_get_field(package, k.prog_tag, &prog) != 0 || prog.type != 6 || prog.text.empty()) {
            print_log("nonrpm_get_rpm_prog: RPM prog is not specified for given RPM script, /bin/sh will be used by "
                      "default");
            return "/bin/sh";
        }
        // An interpreter with arguments is stored as an array: program first.
        const std::string program = replaceAllSubstrings(prog.text, "\n", " ");
        print_log("nonrpm_get_rpm_prog: RPM name: %s, RPM prog: %s", package.c_str(), program.c_str());
        return program;
    }
    error("nonrpm_get_rpm_prog: user argument exception!");
    return "";
}

int ContentsProviderRpm::nonrpm_generate_rpm_script(const std::string& package, const std::string& prefix,
                                                    const std::string& kind, int tag) {
    if (package.empty() || prefix.empty() || kind.empty()) {
        LOG_EMPTY_PARAM();
        return -1;
    }
    print_log("nonrpm_generate_rpm_script: started: %s %s %s %d", package.c_str(), prefix.c_str(), kind.c_str(), tag);
    rpm_field_t field;
    rpm_get_field(package, static_cast<unsigned>(tag), &field);
    const std::string script = prefix + "/.scripts/" + kind + "." + get_basename(package);
    print_log("nonrpm_generate_rpm_script: creating script - %s", script.c_str());
    std::string content;
    mode_t mode = 0644;
    if (kind == "SUMMARY") {
        content = field.text;
    } else {
        print_log("nonrpm_generate_rpm_script: need to save shell to execute the script");
        const std::string program = nonrpm_get_rpm_prog(package, kind);
        if (program.empty()) return -1;
        // The prefix is data: quoted, so a "$", a quote or a ";" in it is never run.
        content = "#!" + program + "\nRPM_INSTALL_PREFIX=" + shell_quote(prefix) +
                  "\nRPM_INSTALL_PREFIX0=$RPM_INSTALL_PREFIX\nexport RPM_INSTALL_PREFIX RPM_INSTALL_PREFIX0\n";
        if (field.type != 6) print_log("nonrpm_generate_rpm_script: can not generate script");
        content += field.text + "\n";
        mode = 0754;
    }
    // Written whole each time: a second installation replaces the script instead of adding to it.
    if (payload_write_file_atomic(script, content, mode) != 0) {
        error("nonrpm_generate_rpm_script: cannot open file");
        return -1;
    }
    print_log("nonrpm_generate_rpm_script: finished");
    return 0;
}

int ContentsProviderRpm::nonrpm_run_rpm_script(const std::string& rpm_file, const std::string& directory,
                                               const std::string& kind, const std::string& argument) {
    if (rpm_file.empty() || directory.empty() || kind.empty()) {
        error("nonrpm_run_rpm_script: parameter is empty");
        return -1;
    }
    const std::string script = directory + "/" + kind + "." + rpm_file;
    if (!exists(script)) return 0;
    const std::vector<std::string> argv = {script, argument};
    print_log("nonrpm_run_rpm_script: running %s", payload_command_text(argv).c_str());
    const int status = payload_run(argv, "", nullptr);
    if (status != 0) warn("nonrpm_run_rpm_script: %s ended with status %d", script.c_str(), status);
    return status;
}

namespace {

// The installed-file list of one installation: "." + file + "_" + YYMMDD_hhmmss + ".log" in the
// database folder (made when missing), numbered when that name is taken; "" when there is no
// folder or no clock.
std::string nonrpm_list_name(ContentsDatabase& database, const std::string& rpm_file) {
    const time_t now = time(nullptr);
    struct tm local;
    if (now == static_cast<time_t>(-1) || !localtime_r(&now, &local)) {
        error("nonrpm_install_item: cannot get curtime");
        return "";
    }
    char stamp[64];
    snprintf(stamp, sizeof(stamp), "%.2d%.2d%.2d_%.2d%.2d%.2d", local.tm_year % 100, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min, local.tm_sec);
    print_log("nonrpm_install_item: timestamp is %s", stamp);
    const std::string db_dir = database.getDir();
    if (db_dir.empty()) return "";
    if (!is_dir(db_dir)) folder_create(db_dir, 0755);
    std::string list = path(db_dir + "/." + rpm_file + "_" + stamp + ".log");
    for (int n = 1; exists(list); ++n) list = path(db_dir + "/." + rpm_file + "_" + stamp + "_" + inttostr(n) + ".log");
    return list;
}

}  // namespace

int ContentsProviderRpm::nonrpm_install_item(const char* package_in, const char* prefix_in) {
    print_log("nonrpm_install_item: started");
    if (!m_session) {
        error("nonrpm_install_item: session is null");
        return -1;
    }
    if (!package_in || !prefix_in) {
        LOG_NULL_PARAM();
        return -1;
    }
    const std::string package = package_in;
    const std::string rpm_file = get_basename(package);
    rpm_file_t rpm;
    if (rpm_read(package, &rpm) != 0) {
        error("nonrpm_install_item: unable to extract data from RPM package %s", package.c_str());
        return -1;
    }
    rpm_field_t field;
    rpm_header_field(rpm.main, rpm_tag_prefixes, &field);
    const std::string default_prefix = field.text.substr(0, field.text.find('\n'));
    print_log("nonrpm_install_item: default prefix is %s", default_prefix.c_str());
    std::string prefix = path(expand_operand(m_session, std::string(prefix_in)));
    if (prefix.empty()) prefix = default_prefix;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    if (prefix.empty() || prefix == "/") {
        // Without a prefix the files would land at the file system's root, outside any package folder.
        error("nonrpm_install_item: no prefix to install %s into", package.c_str());
        return -1;
    }
    folder_create(prefix + "/.scripts", 0755);
    for (const script_kind_t& k : script_kinds)
        nonrpm_generate_rpm_script(package, prefix, k.kind, static_cast<int>(k.tag));
    const std::string scripts = prefix + "/.scripts";
    nonrpm_run_rpm_script(rpm_file, scripts, "PREIN", "1");

    m_database.m_session = m_session;
    m_database.m_name = "";
    const std::string list = nonrpm_list_name(m_database, rpm_file);
    if (list.empty()) return -1;

    payload_extractor out(prefix, list);
    rpm_extract_result_t result;
    if (out.open() == 0) result = rpm_extract_payload(package, rpm, default_prefix, out);
    std::string old_prefix, old_list;
    const bool reinstall = contents_recorded(m_session, "", rpm_file, &old_prefix, &old_list) == 0;
    if (result.status != 0) {
        // What this attempt made goes; what was there before stays, and so do the scripts of an
        // installation of this package that keeps its record.
        error("nonrpm_install_item: unable to extract data from RPM package %s", package.c_str());
        payload_remove_stale(prefix, readContentOfTextFile(list), out.existed());
        remove_file(list, 1);
        if (!reinstall) {
            for (const script_kind_t& k : script_kinds) remove_file(scripts + "/" + k.kind + "." + rpm_file, 1);
            remove_dir_if_empty(scripts, 0);
        }
        return -1;
    }
    print_log("nonrpm_install_item: %lld entries written, %lld skipped", static_cast<long long>(result.entries),
              static_cast<long long>(result.skipped));
    rpm_header_field(rpm.main, rpm_tag_name, &field);
    print_log("nonrpm_install_item: rpm name is %s", field.text.c_str());
    auto item = std::make_unique<ContentsItem>();
    item->m_id = field.text;
    item->m_file = rpm_file;
    item->m_summary = rpm_file;
    item->m_prefix = prefix;
    item->m_listFile = list;
    item->m_version = version_from_file(rpm_file, field.text);
    if (m_database.addItem(&m_contents, std::move(item)) != 0) {
        // Unrecorded files could never be removed: what this attempt made goes, as above.
        error("nonrpm_install_item: %s could not be recorded", package.c_str());
        payload_remove_stale(prefix, readContentOfTextFile(list), out.existed());
        remove_file(list, 1);
        return -1;
    }
    // A reinstallation replaces the record: what only the earlier one wrote goes, with its list,
    // unless another package's list names it too.
    if (!old_list.empty() && old_list != list) {
        contents_remove_superseded(m_session, "", rpm_file, old_prefix, readContentOfTextFile(old_list),
                                   readContentOfTextFile(list));
        m_database.removeListFile(old_list);
    }
    // A failing scriptlet does not stop the installation: the files are in place and recorded.
    const int post = nonrpm_run_rpm_script(rpm_file, scripts, "POSTIN", "1");
    if (post != 0) warn("nonrpm_install_item: the POSTIN script of %s ended with status %d", rpm_file.c_str(), post);
    print_log("nonrpm_install_item: finished");
    return 0;
}

int ContentsProviderRpm::nonrpm_uninstall_item(ContentsItem* item) {
    if (!item) {
        LOG_NULL_PARAM();
        return -1;
    }
    print_log("nonrpm_uninstall_item_directly: item to remove %s", item->m_file.c_str());
    m_database.m_session = m_session;
    m_database.m_name = "";
    const std::string scripts = item->m_prefix + "/.scripts";
    for (const char* kind : {"PREIN", "POSTIN", "SUMMARY"}) remove_file(scripts + "/" + kind + "." + item->m_file, 1);
    // A folder of this run's own, so two removals never share the scripts' names.
    std::string temp = temp_folder(m_session) + "/lumo_rpm.XXXXXX";
    if (!mkdtemp(&temp[0])) {
        error("nonrpm_uninstall_item: can not create a folder in %s", temp_folder(m_session).c_str());
        return -1;
    }
    for (const char* kind : {"PREUN", "POSTUN"}) {
        const std::string from = scripts + "/" + kind + "." + item->m_file;
        const std::string to = temp + "/" + kind + "." + item->m_file;
        if (exists(from) && rename(from.c_str(), to.c_str()) != 0) file_move(from, to);
        chmod(to.c_str(), 0754);
    }
    remove_dir_if_empty(scripts, 0);
    nonrpm_run_rpm_script(item->m_file, temp, "PREUN", "0");
    payload_remove_listed(item->m_prefix, readContentOfTextFile(item->m_listFile));
    nonrpm_run_rpm_script(item->m_file, temp, "POSTUN", "0");
    remove_dir(temp);
    m_database.removeListFile(item->m_listFile);
    return m_database.removeItem(&m_contents, item);
}
