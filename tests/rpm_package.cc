#include "rpm_package.h"

#include <filesystem>

#include "test_util.h"

namespace lumo_test {

std::string rpmbuild_missing() {
    if (run_command("command -v rpmbuild >/dev/null 2>&1 && command -v rpm >/dev/null 2>&1") != 0)
        return "rpmbuild and rpm are not installed";
    return "";
}

std::string rpm_private_db(const std::string& work) { return work + "/db"; }

std::string build_rpm(const std::string& work, const RpmSpec& spec, std::string* output) {
    std::error_code ec;
    std::filesystem::create_directories(work + "/home", ec);
    write_file_text(work + "/home/.rpmmacros",
                    "%_topdir " + work + "/top\n%_dbpath " + rpm_private_db(work) + "\n");
    const std::string root = spec.prefix.empty() ? "/usr/share/" + spec.name : spec.prefix;
    std::string text = "Name: " + spec.name + "\nVersion: " + spec.version + "\nRelease: " + spec.release +
                       "\nSummary: Test package " + spec.name + "\nLicense: MIT\nBuildArch: noarch\n";
    if (!spec.prefix.empty()) text += "Prefix: " + spec.prefix + "\n";
    text += "%description\nA package built by the tests.\n%install\nP=%{buildroot}" + root + "\nmkdir -p \"$P\"\n" +
            spec.install + "\n" + spec.scripts + "\n%files\n" + root + "\n";
    const std::string spec_file = work + "/" + spec.name + ".spec";
    write_file_text(spec_file, text);
    const std::string command = "HOME=" + quote(work + "/home") + " rpmbuild -bb --define " +
                                quote("_binary_payload " + spec.payload) + " " + quote(spec_file);
    if (run_command(command, output, true) != 0) return "";
    const std::string rpm =
        work + "/top/RPMS/noarch/" + spec.name + "-" + spec.version + "-" + spec.release + ".noarch.rpm";
    return exists_path(rpm) ? rpm : "";
}

bool pad_rpm_signature(const std::string& in, const std::string& out, int padding, bool aligned) {
    const std::string script = out + ".py";
    write_file_text(script, R"(import struct, sys
d = open(sys.argv[1], 'rb').read(); want = int(sys.argv[3])
n, s = struct.unpack('>II', d[104:112])
old_end = 96 + 16 + 16 * n + s
main = old_end + (8 - (16 + 16 * n + s) % 8) % 8
extra = 1
while sys.argv[4] == '1' and (8 - (16 + 16 * (n + 1) + s + extra) % 8) % 8 != want: extra += 1
intro = d[96:104] + struct.pack('>II', n + 1, s + extra)
index = d[112:112 + 16 * n] + struct.pack('>IIII', 999, 7, s, extra)
data = d[112 + 16 * n:old_end] + b'\1' * extra
open(sys.argv[2], 'wb').write(d[:96] + intro + index + data + b'\0' * want + d[main:])
)");
    return run_command("python3 " + quote(script) + " " + quote(in) + " " + quote(out) + " " +
                       std::to_string(padding) + (aligned ? " 1" : " 0")) == 0;
}

}  // namespace lumo_test
