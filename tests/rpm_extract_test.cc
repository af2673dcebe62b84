#include "rpm_extract.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "file.h"
#include "log.h"
#include "payload.h"
#include "rpm_package.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;

namespace {

namespace fs = std::filesystem;

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A header: intro, index, data; entries as (tag, type, offset, count).
std::string make_header(const std::vector<rpm_entry_t>& entries, const std::string& data,
                        uint32_t claimed_count = UINT32_MAX, uint32_t claimed_size = UINT32_MAX) {
    std::string h = "\x8e\xad\xe8\x01";
    h += std::string(4, '\0');
    h += be32(claimed_count == UINT32_MAX ? uint32_t(entries.size()) : claimed_count);
    h += be32(claimed_size == UINT32_MAX ? uint32_t(data.size()) : claimed_size);
    for (const rpm_entry_t& e : entries) h += be32(e.tag) + be32(e.type) + be32(e.offset) + be32(e.count);
    return h + data;
}

std::string hex8(uint64_t v) {
    char text[16];
    snprintf(text, sizeof(text), "%08llx", static_cast<unsigned long long>(v));
    return text;
}

std::string cpio_entry(const std::string& name, uint32_t mode, const std::string& data, uint32_t nlink = 1,
                       uint32_t ino = 1) {
    std::string e = "070701" + hex8(ino) + hex8(mode) + hex8(0) + hex8(0) + hex8(nlink) + hex8(1700000000) +
                    hex8(data.size()) + hex8(0) + hex8(0) + hex8(0) + hex8(0) + hex8(name.size() + 1) + hex8(0);
    e += name + '\0';
    while (e.size() % 4) e += '\0';
    e += data;
    while (e.size() % 4) e += '\0';
    return e;
}

std::string cpio_trailer() { return cpio_entry("TRAILER!!!", 0, ""); }

TEST(RpmHeaderTest, FieldsByTypeAndBoundsOfEveryEntry) {
    const std::string data = std::string("abc\0a\0bb\0c\0", 11) + be32(42) + "Z" + std::string("open", 4);
    const std::vector<rpm_entry_t> entries = {
        {1000, 6, 0, 1}, {1010, 8, 4, 3}, {1011, 4, 11, 1}, {1012, 1, 15, 1}, {1013, 0, 0, 0},
        {1014, 99, 0, 1}, {1015, 6, 16, 1}, {1016, 8, 14, 2}, {1017, 4, 17, 1}, {1018, 6, 400, 1},
    };
    const std::string header = make_header(entries, data);
    rpm_header_t parsed;
    size_t used = 0;
    ASSERT_EQ(0, rpm_header_parse(reinterpret_cast<const unsigned char*>(header.data()), header.size(), &parsed, &used));
    EXPECT_EQ(header.size(), used);
    const struct {
        uint32_t tag;
        int result, type, size;
        uint32_t number;
        const char* text;
    } rows[] = {
        {1000, 0, 6, 3, 0, "abc"},      {1010, 0, 6, 6, 0, "a\nbb\nc"}, {1011, 0, 4, 4, 42, ""},
        {1012, 0, 1, 1, 'Z', ""},       {1013, 0, 0, -1, 0, ""},        {1014, -1, -1, -1, 0, ""},
        {1015, -1, -1, -1, 0, ""},  // the string runs to the end of the data unterminated
        {1016, -1, -1, -1, 0, ""},  // the second string runs off the data
        {1017, -1, -1, -1, 0, ""},  // four bytes past the data
        {1018, -1, -1, -1, 0, ""},  {2000, -1, -1, -1, 0, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.tag);
        rpm_field_t field;
        EXPECT_EQ(r.result, rpm_header_field(parsed, r.tag, &field));
        EXPECT_EQ(r.type, field.type);
        EXPECT_EQ(r.size, field.size);
        EXPECT_EQ(r.number, field.number);
        EXPECT_EQ(r.text, field.text);
    }
}

TEST(RpmHeaderTest, StreamReadersKeepThePositionAndStopAtTheEnd) {
    TempDir dir;
    lumo_test::write_file_text(dir.file("f"), std::string("xx\x01\x02\x03\x04one\0two\0", 14));
    file_ptr file(fopen(dir.file("f").c_str(), "rb"));
    ASSERT_TRUE(file);
    fseek(file.get(), 1, SEEK_SET);
    uint32_t number = 0;
    int byte = 0;
    std::string text;
    EXPECT_EQ(0, extract_int32(file.get(), 1, 1, &number));
    EXPECT_EQ(0x01020304u, number);
    EXPECT_EQ(0, extract_char(file.get(), 0, 5, &byte));
    EXPECT_EQ(4, byte);
    EXPECT_EQ(0, extract_string(file.get(), 6, 0, 2, &text));
    EXPECT_EQ("one\ntwo", text);
    EXPECT_EQ(1, ftell(file.get()));
    EXPECT_EQ(-1, extract_int32(file.get(), 12, 0, &number));
    EXPECT_EQ(-1, extract_char(file.get(), 14, 0, &byte));
    EXPECT_EQ(-1, extract_string(file.get(), 6, 0, 3, &text));
    EXPECT_EQ(0x01020304u, buf2i(reinterpret_cast<const unsigned char*>("\x01\x02\x03\x04"), 0));
}

TEST(RpmHeaderTest, LyingCountsAndSizesAreRefused) {
    LogCapture log;
    const std::string lead(96, '\0');
    const std::string good = make_header({{1000, 6, 0, 1}}, std::string("n\0", 2));
    const struct {
        const char* name;
        std::string file;
    } rows[] = {
        {"index count past the limit", lead + make_header({}, "", 0x10000, 0)},
        {"index count past the file", lead + make_header({}, "", 0xffffffff, 0)},
        {"data size past the file", lead + make_header({}, "", 0, 0x0ffffff0)},
        {"data size past the limit", lead + make_header({}, "", 0, 0xfffffff0)},
        {"bad magic", lead + "\x8e\xad\xe9" + good.substr(3)},
        {"main header missing", lead + good},
        {"shorter than the lead", std::string(95, '\0')},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        rpm_file_t rpm;
        EXPECT_EQ(-1, rpm_parse(reinterpret_cast<const unsigned char*>(r.file.data()), r.file.size(), &rpm));
    }
    const std::string whole = lead + good + std::string(6, '\0') + good + "payload";
    rpm_file_t rpm;
    ASSERT_EQ(0, rpm_parse(reinterpret_cast<const unsigned char*>(whole.data()), whole.size(), &rpm));
    EXPECT_EQ(static_cast<int64_t>(whole.size() - 7), rpm.payload_offset);
    // Cut at every length before the payload: refused, never read past the end.
    for (size_t length = 0; length < whole.size() - 7; ++length) {
        EXPECT_EQ(-1, rpm_parse(reinterpret_cast<const unsigned char*>(whole.data()), length, &rpm)) << length;
    }
    EXPECT_TRUE(log.has_line("ERROR: : rpm_header_parse: header claims 65536 entries and 0 bytes"));
}

TEST(RpmCpioTest, ExtractsTypesHardLinkSetsAndRefusesEscapes) {
    TempDir dir;
    LogCapture log;
    fs::create_directories(dir.file("outside"));
    const std::string archive =
        cpio_entry("./opt/pkg", 040755, "") + cpio_entry("./opt/pkg/bin", 040700, "") +
        cpio_entry("./opt/pkg/bin/tool", 0104755, "tool") + cpio_entry("./opt/pkg/bin/link", 0120777, "tool") +
        cpio_entry("./opt/pkg/h1", 0100644, "", 2, 7) + cpio_entry("./opt/pkg/h2", 0100644, "shared", 2, 7) +
        cpio_entry("./etc/other", 0100644, "elsewhere") + cpio_entry("./opt/pkg/dev", 020644, "") + cpio_trailer();
    std::unique_ptr<payload_source> source =
        payload_open_memory(reinterpret_cast<const unsigned char*>(archive.data()), archive.size());
    payload_extractor out(dir.file("prefix"), dir.file("list"));
    ASSERT_EQ(0, out.open());
    const rpm_extract_result_t result = rpm_extract_cpio(*source, "/opt/pkg", out);
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(2, result.skipped);
    EXPECT_EQ("tool", read_file(dir.file("prefix/bin/tool")));
    EXPECT_EQ("tool", fs::read_symlink(dir.file("prefix/bin/link")).string());
    EXPECT_EQ("shared", read_file(dir.file("prefix/h1")));
    EXPECT_EQ(2u, fs::hard_link_count(dir.file("prefix/h2")));
    EXPECT_FALSE(fs::exists(dir.file("prefix/etc")));
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("prefix/bin").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);
    ASSERT_EQ(0, stat(dir.file("prefix/bin/tool").c_str(), &st));
    // setuid survives only for root, who owns the files; anyone else drops it.
    EXPECT_EQ(geteuid() == 0 ? 04755u : 0755u, st.st_mode & 07777);
    EXPECT_EQ(geteuid(), st.st_uid);

    const struct {
        const char* name;
        std::string archive;
    } hostile[] = {
        {"dotdot", cpio_entry("./../outside/x", 0100644, "x") + cpio_trailer()},
        {"dotdot inside", cpio_entry("./a/../../outside/x", 0100644, "x") + cpio_trailer()},
        {"link then file", cpio_entry("./l", 0120777, dir.file("outside")) + cpio_entry("./l/x", 0100644, "x") + cpio_trailer()},
        {"no trailer", cpio_entry("./f", 0100644, "x")},
        {"data cut short", cpio_entry("./f", 0100644, "xxxxxxxx").substr(0, 120)},
        {"bad magic", "070707" + cpio_entry("./f", 0100644, "x").substr(6)},
        {"name size zero", cpio_entry("./f", 0100644, "x").replace(94, 8, hex8(0))},
        {"name size huge", cpio_entry("./f", 0100644, "x").replace(94, 8, hex8(0xffffffff))},
        {"name not terminated", cpio_entry("./f", 0100644, "x").replace(94, 8, hex8(2))},
        {"bad hex", cpio_entry("./f", 0100644, "x").replace(54, 1, "g")},
    };
    for (const auto& r : hostile) {
        SCOPED_TRACE(r.name);
        TempDir target;
        std::unique_ptr<payload_source> s =
            payload_open_memory(reinterpret_cast<const unsigned char*>(r.archive.data()), r.archive.size());
        ASSERT_NE(nullptr, s);
        payload_extractor o(target.file("prefix"), target.file("list"));
        ASSERT_EQ(0, o.open());
        EXPECT_EQ(-1, rpm_extract_cpio(*s, "", o).status);
        EXPECT_TRUE(fs::is_empty(dir.file("outside")));
    }
}

class RpmFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!lumo_test::rpmbuild_missing().empty()) return;
        work_ = new TempDir;
        lumo_test::RpmSpec spec;
        spec.install = "echo data > \"$P/data\"";
        std::string output;
        rpm_ = lumo_test::build_rpm(work_->path(), spec, &output);
        ASSERT_FALSE(rpm_.empty()) << output;
    }
    static void TearDownTestSuite() {
        delete work_;
        work_ = nullptr;
    }
    void SetUp() override {
        const std::string missing = lumo_test::rpmbuild_missing();
        if (!missing.empty()) GTEST_SKIP() << missing;
    }
    static TempDir* work_;
    static std::string rpm_;
};
TempDir* RpmFileTest::work_ = nullptr;
std::string RpmFileTest::rpm_;

TEST_F(RpmFileTest, ReadsTagsAndPayloadWhateverTheSignaturePadding) {
    LogCapture log;
    // Aligned paddings of 0, 4 and 7 bytes, then paddings that leave the main header unaligned
    // (none at all, 3 bytes, 12 bytes): the reader goes by the zero bytes, not by the alignment.
    for (int padding : {-1, 0, 4, 7, 100, 103, 112}) {
        SCOPED_TRACE(padding);
        std::string file = rpm_;
        if (padding >= 0) {
            file = work_->file("padded" + std::to_string(padding) + ".rpm");
            ASSERT_TRUE(lumo_test::pad_rpm_signature(rpm_, file, padding % 100, padding < 100));
        }
        rpm_field_t field;
        ASSERT_EQ(0, rpm_get_field(file, rpm_tag_name, &field));
        EXPECT_EQ("lumotest", field.text);
        ASSERT_EQ(0, rpm_get_field(file, rpm_tag_prefixes, &field));
        EXPECT_EQ("/opt/lumotest", field.text);
        ASSERT_EQ(0, rpm_get_field(file, rpm_tag_summary, &field));
        EXPECT_EQ("Test package lumotest", field.text);
        rpm_file_t rpm;
        ASSERT_EQ(0, rpm_read(file, &rpm));
        fd_owner fd{open(file.c_str(), O_RDONLY)};
        std::unique_ptr<payload_source> source = payload_open(fd.fd, rpm.payload_offset);
        ASSERT_NE(nullptr, source);
        cpio_entry_t entry;
        EXPECT_EQ(0, cpio_read_header(*source, &entry));
        // The copied payload is the bytes after the header, unchanged.
        const std::string copy = work_->file("payload" + std::to_string(padding));
        ASSERT_EQ(0, rpm_get_archive(file, copy));
        EXPECT_EQ(read_file(file).substr(static_cast<size_t>(rpm.payload_offset)), read_file(copy));
    }
    rpm_field_t field;
    EXPECT_EQ(-1, rpm_get_field(work_->file("missing.rpm"), rpm_tag_name, &field));
    EXPECT_EQ(-1, field.type);
}

}  // namespace
