// Builds small RPM packages for the tests with rpmbuild, in a private HOME whose macro file sets
// the build tree and the package database, so the machine's own database is never touched.
#pragma once

#include <string>

namespace lumo_test {

struct RpmSpec {
    std::string name = "lumotest";
    std::string version = "1.2";
    std::string release = "3";
    std::string payload = "w9.gzdio";   // the payload compressor and level
    std::string prefix = "/opt/lumotest";  // relocatable prefix; "" for none
    std::string install;    // shell lines run in %install; $P is the buildroot's prefix
    std::string scripts;    // %pre, %post, ... sections
};

// "" when rpmbuild is there, else why it is not.
std::string rpmbuild_missing();
// Builds the package in work (which gets home/, db/ and the tree); its path, "" on failure with the
// build's output in *output.
std::string build_rpm(const std::string& work, const RpmSpec& spec, std::string* output);
// The private database folder build_rpm's macro file names.
std::string rpm_private_db(const std::string& work);
// Copies the package with a filler entry added to its signature, followed by `padding` zero bytes:
// aligned, the filler is sized so that these bring the main header to an 8-byte boundary (as
// writers do); otherwise the filler is one byte and the padding whatever was asked. true on success.
bool pad_rpm_signature(const std::string& in, const std::string& out, int padding, bool aligned = true);

}  // namespace lumo_test
