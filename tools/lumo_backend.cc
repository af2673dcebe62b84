// lumo-backend: installs or removes one payload through the engine's back-ends, the way the engine
// does for a component; package authors use it to check a payload before shipping it.
//   lumo-backend install TYPE PAYLOAD PREFIX [options]
//   lumo-backend uninstall TYPE FILE [options]
//   lumo-backend info RPM                     the tags the engine reads from a package
// TYPE is rpm or tgz. Options:
//   --db DIR          folder of the engine's contents databases (NONRPM_DB_DIR)
//   --mode MODE       RPM (system rpm) or NONRPM (own extraction, the default) for rpm payloads
//   --rpm-dbpath DIR  private rpm database for the system route (RPM_DBPATH)
//   --log FILE        the engine's log (default: none)
// Exit status: 0 success, 1 failure, 2 wrong usage.
#include <cstdio>
#include <cstring>
#include <string>

#include "contentsprovider.h"
#include "env.h"
#include "log.h"
#include "rpm_extract.h"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_usage = 2;

const char usage_text[] =
    "usage: lumo-backend install TYPE PAYLOAD PREFIX [options]\n"
    "       lumo-backend uninstall TYPE FILE [options]\n"
    "       lumo-backend info RPM\n"
    "TYPE is rpm or tgz. Options: --db DIR, --mode RPM|NONRPM, --rpm-dbpath DIR, --log FILE\n";

int usage() {
    fputs(usage_text, stderr);
    return exit_usage;
}

int info(const std::string& package) {
    rpm_file_t rpm;
    if (rpm_read(package, &rpm) != 0) {
        fprintf(stderr, "lumo-backend: %s is not a readable package\n", package.c_str());
        return exit_failed;
    }
    const struct {
        const char* name;
        uint32_t tag;
    } tags[] = {{"NAME", rpm_tag_name},         {"VERSION", rpm_tag_version},
                {"RELEASE", rpm_tag_release},   {"ARCH", rpm_tag_arch},
                {"SUMMARY", rpm_tag_summary},   {"PREFIXES", rpm_tag_prefixes},
                {"PAYLOADCOMPRESSOR", rpm_tag_payloadcompressor}};
    for (const auto& t : tags) {
        rpm_field_t field;
        rpm_header_field(rpm.main, t.tag, &field);
        printf("%s: %s\n", t.name, field.text.c_str());
    }
    printf("PAYLOAD OFFSET: %lld\n", static_cast<long long>(rpm.payload_offset));
    return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "info") == 0) return info(argv[2]);
    if (argc < 4) return usage();
    const std::string command = argv[1], type = argv[2];
    const bool install = command == "install";
    if ((!install && command != "uninstall") || (type != "rpm" && type != "tgz")) return usage();
    if (install && argc < 5) return usage();
    session_t session;
    env_set_string(&session, "INSTALL_MODE", "NONRPM");
    env_set_string(&session, "LUMO_PLATFORM", "Linux");
    for (int i = install ? 5 : 4; i < argc; i += 2) {
        if (i + 1 >= argc) return usage();
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--db") env_set_string(&session, "NONRPM_DB_DIR", value.c_str());
        else if (option == "--mode") env_set_string(&session, "INSTALL_MODE", value.c_str());
        else if (option == "--rpm-dbpath") env_set_string(&session, "RPM_DBPATH", value.c_str());
        else if (option == "--log") {
            log_init(&session, value.c_str());
            env_set_string(&session, "log_file", value.c_str());
        } else return usage();
    }
    ContentsProvider* provider = ContentsProvider::create(&session, type);
    if (!provider) return usage();
    int status;
    if (install) {
        status = provider->installFile(argv[3], argv[4], "");
    } else {
        provider->registerAllFiles("");
        if (env_get_string(&session, std::string("INSTALL_MODE")) == "RPM") provider->registerFiles("");
        status = provider->uninstallFile("", argv[3]);
    }
    if (status != 0) fprintf(stderr, "lumo-backend: %s of %s failed (%d)\n", command.c_str(), argv[3], status);
    return status == 0 ? exit_ok : exit_failed;
}
