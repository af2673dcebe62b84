// The back-end of RPM payloads, in two modes chosen by INSTALL_MODE: "RPM" runs the system rpm
// program with its database; "NONRPM" extracts the package in process below a prefix, runs its
// scriptlets from generated scripts and records it in the engine's contents database.
//
// The property RPM_DBPATH, when set, is passed to every rpm command as "--dbpath <value>": tests
// and package authors point the system route at a private database with it, so the machine's own
// database is never touched.
#pragma once

#include <string>
#include <vector>

#include "contentsprovider.h"

class ContentsProviderRpm : public ContentsProvider {
public:
    ContentsItem* findItem(const std::string& id, const std::string& file, const std::string& version) override;
    // 0 on success; otherwise rpm's status, or 1 when the own extraction failed.
    int installFile(const std::string& file, const std::string& prefix, const std::string& options) override;
    int uninstallFile(const std::string& id, const std::string& file) override;
    int registerFiles(const std::string& pattern) override;
    int registerAllFiles(const std::string& unused) override;
    std::string coexId(int index) override;

    int registerFilesRpm(const std::string& pattern);
    int registerFilesNonRpm();
    // The own extraction: 0, or 1 with nothing recorded and nothing left on disk.
    int nonrpm_install_item(const char* package, const char* prefix);
    int nonrpm_uninstall_item(ContentsItem* item);
    int nonrpm_generate_rpm_script(const std::string& package, const std::string& prefix, const std::string& kind,
                                   int tag);
    int nonrpm_run_rpm_script(const std::string& rpm_file, const std::string& directory, const std::string& kind,
                              const std::string& argument);
    std::string nonrpm_get_rpm_prog(const std::string& package, const std::string& kind);

    std::vector<std::string> m_installed;  // NAME-VERSION-RELEASE.ARCH of the system's packages, read once
    bool m_installedRead = false;
    ContentsDatabase m_database;
    std::string m_text;

private:
    std::vector<std::string> rpmCommand() const;
    std::string logFile() const;
};
