#include "store.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store_write.h"
#include "env.h"
#include "test_util.h"

using lumo_test::LogCapture;
using lumo_test::read_file;
using lumo_test::TempDir;
using lumo_test::write_file_text;

namespace {

store_write_entry_t memory_entry(const std::string& component, const std::string& name,
                                 const std::string& bytes, const std::string& attrs = "") {
    store_write_entry_t entry;
    entry.item.component = component;
    entry.item.name = name;
    entry.item.attrs = attrs;
    entry.bytes = bytes;
    entry.from_memory = true;
    return entry;
}

std::string be64(uint64_t value) {
    std::string bytes(8, '\0');
    for (int i = 7; i >= 0; --i) {
        bytes[static_cast<size_t>(i)] = static_cast<char>(value & 0xFF);
        value >>= 8;
    }
    return bytes;
}

// A store index built by hand, so that tests can put any number in any field.
struct raw_field {
    uint64_t number;
    std::string text;
};

std::vector<raw_field> raw_entry(const std::string& component, const std::string& name, uint64_t size,
                                 uint64_t offset, const std::string& attrs = "") {
    return {{component.size(), component}, {name.size(), name}, {0, ""}, {0, ""}, {0, ""}, {0, ""},
            {size, ""}, {0, ""}, {0, ""}, {attrs.size(), attrs}, {0, ""}, {size, ""}, {offset, ""},
            {0, ""}};
}

std::string raw_index(uint64_t last, const std::vector<std::vector<raw_field>>& entries,
                      const std::string& end_marker = "\xBB\xBB\xBB\xBB") {
    std::string index = "\xAA\xAA\xAA\xAA" + be64(last) + std::string(2, '\0');
    for (const auto& entry : entries) {
        for (const raw_field& field : entry) index += std::string(2, '\0') + be64(field.number) + field.text;
    }
    return index + end_marker;
}

std::string raw_store(const std::string& index, const std::string& content) {
    return index + content + be64(index.size()) + be64(content.size() + 16);
}

mode_t mode_of(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

class StoreTest : public ::testing::Test {
protected:
    std::string write_store(const std::vector<store_write_entry_t>& entries, const std::string& name = "test.cab") {
        const std::string path = dir_.file(name);
        EXPECT_EQ(0, store_write(path, entries));
        return path;
    }
    std::string write_raw(const std::string& bytes, const std::string& name = "raw.cab") {
        const std::string path = dir_.file(name);
        unlink(path.c_str());  // rewriting a truncated file makes some file systems flush it to disk
        write_file_text(path, bytes);
        return path;
    }
    bool logged(const std::string& line) const { return log_.has_line(line); }
    size_t log_mark() const { return log_.text().size(); }
    // Whether a line written after the mark ends with the text: rows of a table share one log.
    bool logged_since(size_t mark, const std::string& line_end) const {
        const std::string text = log_.text();
        size_t start = mark;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            if (end - start >= line_end.size() && text.compare(end - line_end.size(), line_end.size(), line_end) == 0)
                return true;
            start = end + 1;
        }
        return false;
    }

    TempDir dir_;
    LogCapture log_;
};

TEST_F(StoreTest, SingleEntryStoreCountsItsLastEntryAsZero) {
    const std::string path = write_store({memory_entry("_internal_", "help.msg", "usage\n")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    EXPECT_EQ(0, cab.last_item);
    EXPECT_EQ(1u, cab.items.size());
    EXPECT_EQ(-1, cab.attached_last);
    EXPECT_TRUE(logged(": store_read_cab: detected 0 enties in CAB"));
}

TEST_F(StoreTest, ReadsEveryFieldWhereTheWriterPutIt) {
    store_write_entry_t entry = memory_entry("core", "bin/tool", "0123456789", "750");
    entry.item.install_name = "tool";
    entry.item.target_name = "/opt/tool";
    entry.item.type = -5;
    entry.item.install_uid = "root";
    entry.item.group_id = "wheel";
    entry.item.cksum = "abc123";
    entry.item.condition = "${x} == 1";
    const std::string path = write_store({memory_entry("core", "first", "xyz"), entry});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    ASSERT_EQ(2u, cab.items.size());
    const cab_item_t& item = cab.items[1];
    EXPECT_EQ("core", item.component);
    EXPECT_EQ("bin/tool", item.name);
    EXPECT_EQ("tool", item.install_name);
    EXPECT_EQ("/opt/tool", item.target_name);
    EXPECT_EQ(-5, item.type);
    EXPECT_EQ(10u, item.install_size);
    EXPECT_EQ("root", item.install_uid);
    EXPECT_EQ("wheel", item.group_id);
    EXPECT_EQ("750", item.attrs);
    EXPECT_EQ("abc123", item.cksum);
    EXPECT_EQ(10u, item.store_size);
    EXPECT_EQ(3u, item.store_offset);
    EXPECT_EQ("${x} == 1", item.condition);
    EXPECT_EQ("", cab.items[0].install_name);  // absent texts read as empty
}

TEST_F(StoreTest, ComponentLosesOneTrailingLineEnd) {
    const struct { const char* stored; const char* read; int found_as_core; } rows[] = {
        {"core\n", "core", 1}, {"core\r", "core", 1}, {"core\r\n", "core\r", 0}, {"core\n\n", "core\n", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stored);
        const std::string path = write_store({memory_entry(r.stored, "a", "x")});
        cab_t cab;
        ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
        EXPECT_EQ(r.read, cab.items[0].component);
        EXPECT_EQ(r.found_as_core, store_file_exists(&cab, "core", "a"));
    }
}

TEST_F(StoreTest, ComponentMatchesWhereItsFirstOccurrenceEndsTheFieldOrAnEntry) {
    const struct { const char* stored; const char* asked; int found; } rows[] = {
        {"core;tools", "core", 1}, {"core;tools", "tools", 1}, {"core;tools", "tool", 0},
        {"core;tools", "cor", 0},  {"core", "core", 1},        {"core", "core;tools", 0},
        {"core;tools", "ols", 1},  // the text before the name is not looked at
        {"tools;tool", "tool", 0},  // only the first occurrence counts
        {"a;b;c", "b", 1},         {"core", "", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.stored) + " / " + r.asked);
        const std::string path = write_store({memory_entry(r.stored, "f", "x")});
        cab_t cab;
        ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
        EXPECT_EQ(r.found, store_file_exists(&cab, r.asked, "f"));
        EXPECT_EQ(r.found, store_component_exists(&cab, r.asked));
    }
}

TEST_F(StoreTest, NamesCompareCaseSensitively) {
    const std::string path = write_store({memory_entry("_internal_", "Help.msg", "x")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    EXPECT_EQ(0, store_file_exists(&cab, "_internal_", "help.msg"));
    EXPECT_EQ(1, store_file_exists(&cab, "_internal_", "Help.msg"));
    EXPECT_EQ(0, store_component_exists(&cab, "_INTERNAL_"));
}

TEST_F(StoreTest, MissingNameIsNotFoundAndExtractsNothing) {
    const std::string path = write_store({memory_entry("core", "a", "x")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    char* content = reinterpret_cast<char*>(&cab);  // must be reset, not left pointing anywhere
    int size = 7;
    EXPECT_EQ(-2, store_file_get_content(&cab, "core", "b", &content, &size, nullptr));
    EXPECT_EQ(nullptr, content);
    EXPECT_EQ(0, size);
    std::string text;
    EXPECT_EQ(-2, store_file_get_content(&cab, "core", "b", text));
    EXPECT_EQ(0, store_file_exists(&cab, "core", "b"));
    const std::string target = dir_.file("out/b");
    EXPECT_EQ(-1, store_file_extract(nullptr, &cab, "core", "b", target.c_str()));
    EXPECT_TRUE(logged("ERROR: : store_file_extract: unable to get content of file/component: b/core - -2"));
    EXPECT_FALSE(lumo_test::run_command("test -e " + lumo_test::quote(dir_.file("out"))) == 0);
}

TEST_F(StoreTest, EveryEntryIncludingTheFirstReadsAndExtracts) {
    const std::string binary("\x00\x01\xAA\xBB\xFF text", 9);
    const std::string path = write_store({memory_entry("core", "zero", "first entry"),
                                          memory_entry("core", "one", binary),
                                          memory_entry("other", "two", "third")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    const struct { const char* component; const char* name; int index; std::string bytes; } rows[] = {
        {"core", "zero", 0, "first entry"}, {"core", "one", 1, binary}, {"other", "two", 2, "third"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        char* content = nullptr;
        int size = -1;
        cab_item_t entry;
        ASSERT_EQ(r.index, store_file_get_content(&cab, r.component, r.name, &content, &size, &entry));
        EXPECT_EQ(r.bytes, std::string(content, static_cast<size_t>(size)));
        EXPECT_EQ('\0', content[size]);
        EXPECT_EQ(r.name, entry.name);
        free(content);
        std::string text;
        EXPECT_EQ(r.index, store_file_get_content(&cab, r.component, r.name, text));
        EXPECT_EQ(r.bytes, text);
        const std::string target = dir_.file(std::string("x/") + r.name);
        EXPECT_EQ(0, store_file_extract(nullptr, &cab, r.component, r.name, target.c_str()));
        EXPECT_EQ(r.bytes, read_file(target));
    }
}

TEST_F(StoreTest, EmptyContentGivesANulBufferAndAnEmptyFile) {
    const std::string path = write_store({memory_entry("core", "empty", "")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    char* content = nullptr;
    int size = -1;
    ASSERT_EQ(0, store_file_get_content(&cab, "core", "empty", &content, &size, nullptr));
    ASSERT_NE(nullptr, content);
    EXPECT_EQ(0, size);
    EXPECT_EQ('\0', content[0]);
    free(content);
    const std::string target = dir_.file("empty");
    write_file_text(target, "old content");
    ASSERT_EQ(0, store_file_extract(nullptr, &cab, "core", "empty", target.c_str()));
    EXPECT_EQ(0, access(target.c_str(), F_OK));
    EXPECT_EQ("", read_file(target));
}

TEST_F(StoreTest, ExtractionAppliesNonZeroAttrsOnly) {
    const std::string fresh = dir_.file("fresh");
    write_file_text(fresh, "");
    const mode_t created = mode_of(fresh);
    const struct { const char* attrs; mode_t mode; } rows[] = {
        {"755", 0755}, {"0600", 0600}, {"", created}, {"0", created}, {"000", created},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.attrs);
        const std::string path = write_store({memory_entry("core", "f", "#!/bin/sh\n", r.attrs)});
        cab_t cab;
        ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
        const std::string target = dir_.file("f" + std::to_string(n++));
        ASSERT_EQ(0, store_file_extract(nullptr, &cab, "core", "f", target.c_str()));
        EXPECT_EQ(r.mode, mode_of(target));
    }
}

TEST_F(StoreTest, ExtractionDropsSetIdAndWorldWriteBits) {
    const struct { const char* attrs; mode_t mode; } rows[] = {
        {"4777", 0775}, {"6777", 0775}, {"2755", 0755}, {"1777", 01775}, {"0757", 0755},
    };
    int n = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.attrs);
        const std::string path = write_store({memory_entry("core", "f", "#!/bin/sh\n", r.attrs)});
        cab_t cab;
        ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
        const std::string target = dir_.file("s" + std::to_string(n++));
        session_t session;  // asked for, but only a root run that sets the property keeps them
        ASSERT_EQ(0, store_file_extract(&session, &cab, "core", "f", target.c_str()));
        EXPECT_EQ(r.mode, mode_of(target));
        EXPECT_TRUE(logged(": store_file_extract: mode " + std::string(r.attrs).substr(std::string(r.attrs)[0] == '0') +
                           " of " + target + " loses its set-id and world-write bits"));
    }
    session_t wanted;
    env_set_string(&wanted, "LUMO_KEEP_SETID", "1");
    EXPECT_EQ(geteuid() == 0 ? 04777u : 0775u, store_safe_mode(&wanted, 04777, "x"));
    EXPECT_EQ(0775u, store_safe_mode(nullptr, 04777, "x"));
}

TEST_F(StoreTest, ExtractionCreatesMissingFoldersAndReportsAnUncreatableTarget) {
    const std::string path = write_store({memory_entry("core", "f", "data")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    const std::string target = dir_.file("a/b/c/f");
    ASSERT_EQ(0, store_file_extract(nullptr, &cab, "core", "f", target.c_str()));
    EXPECT_EQ("data", read_file(target));
    // A folder where the file should go cannot be opened for writing.
    const std::string folder_target = dir_.file("a/b");
    EXPECT_EQ(-1, store_file_extract(nullptr, &cab, "core", "f", folder_target.c_str()));
    EXPECT_TRUE(log_.text().find("ERROR: : store_file_extract: can't create " + folder_target + "\n") !=
                std::string::npos);
}

TEST_F(StoreTest, StoreAppendedToOtherBytesIsFoundFromTheEnd) {
    const std::string store_path = write_store({memory_entry("core", "a", "alpha"), memory_entry("core", "b", "beta")});
    std::string bytes = "#!/bin/sh\nexit 0\n" + std::string(1000, '\xAA') + read_file(store_path);
    const std::string path = write_raw(bytes);
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    std::string text;
    EXPECT_EQ(1, store_file_get_content(&cab, "core", "b", text));
    EXPECT_EQ("beta", text);
}

TEST_F(StoreTest, DamagedTailOrMarkersFailWithTheirLines) {
    const std::string index = raw_index(0, {raw_entry("core", "a", 1, 0)});
    std::string wrong_magic = raw_store(index, "x");
    wrong_magic[0] = 'A';
    std::string wrong_end = raw_store(raw_index(0, {raw_entry("core", "a", 1, 0)}, "\xBB\xBB\xBB\xBC"), "x");
    const std::string before_start = index + "x" + be64(index.size() + 100) + be64(17);
    const std::string wrapped_sum = index + "x" + be64(UINT64_MAX) + be64(index.size() + 18);
    const struct { const char* what; std::string bytes; const char* line; } rows[] = {
        {"tail points before the start", before_start, "ERROR: : store_read_cab: can not seek to the start of CAB file"},
        {"tail sum wraps around", wrapped_sum, "ERROR: : store_read_cab: can not seek to the start of CAB file"},
        {"wrong index magic", wrong_magic, "ERROR: : store_read_cab: It's not a valid store"},
        {"shorter than a tail", std::string(15, '\0'), "ERROR: : store_read_cab: can not seek to the end of CAB file"},
        {"empty file", "", "ERROR: : store_read_cab: can not seek to the end of CAB file"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        cab_t cab;
        const size_t mark = log_mark();
        EXPECT_EQ(-1, store_read_header(nullptr, &cab, write_raw(r.bytes).c_str()));
        EXPECT_TRUE(logged_since(mark, r.line));
        EXPECT_EQ(nullptr, cab.file.get());
        EXPECT_TRUE(cab.items.empty());
    }
    // The wrong end marker is reported as a plain trace line, not as an error.
    cab_t cab;
    EXPECT_EQ(-1, store_read_header(nullptr, &cab, write_raw(wrong_end).c_str()));
    EXPECT_NE(std::string::npos, log_.text().find(" - : store_read_cab: It's not a valid store\n\n"));
    EXPECT_EQ(nullptr, cab.file.get());
}

TEST_F(StoreTest, OpeningReportsNullAndMissingFiles) {
    cab_t cab;
    EXPECT_EQ(-1, store_read_header(nullptr, &cab, nullptr));
    EXPECT_TRUE(logged("ERROR: : store_read_header: name of the executable is not defined"));
    const std::string missing = dir_.file("missing.cab");
    EXPECT_EQ(-1, store_read_header(nullptr, &cab, missing.c_str()));
    EXPECT_TRUE(logged("ERROR: : store_read_header: can't open '" + missing + "'"));
    EXPECT_EQ(-1, store_read_cab(&cab));
    EXPECT_TRUE(logged("ERROR: : store_read_cab: cab file is null"));
    EXPECT_EQ(0, store_file_exists(nullptr, "a", "b"));
    EXPECT_EQ(0, store_component_exists(&cab, nullptr));
    EXPECT_TRUE(logged("ERROR: : store_component_exists: parameters are NULL"));
}

TEST_F(StoreTest, StoreTruncatedAtEveryLengthFailsCleanly) {
    std::vector<store_write_entry_t> entries = {memory_entry("_internal_", "sequence.ini", "core:a.xml:\n", "644"),
                                                memory_entry("core;tools", "bin/run", "#!/bin/sh\n", "755"),
                                                memory_entry("core", "empty", "")};
    entries[1].item.condition = "${os} == linux";
    const std::string whole = read_file(write_store(entries));
    for (size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        cab_t cab;
        EXPECT_EQ(-1, store_read_header(nullptr, &cab, write_raw(whole.substr(0, length)).c_str()));
        EXPECT_EQ(nullptr, cab.file.get());
        EXPECT_TRUE(cab.items.empty());
    }
    // An index cut short while the tail still points at it: every field boundary is a place to fail.
    const size_t index_size = unpack_i64(reinterpret_cast<const unsigned char*>(whole.data() + whole.size() - 16));
    for (size_t length = 0; length < index_size; ++length) {
        SCOPED_TRACE(length);
        const std::string cut = whole.substr(0, length);
        cab_t cab;
        EXPECT_EQ(-1, store_read_header(nullptr, &cab, write_raw(cut + be64(cut.size()) + be64(16)).c_str()));
        EXPECT_TRUE(cab.items.empty());
    }
}

TEST_F(StoreTest, HostileCountsLengthsAndOffsetsAreRefused) {
    auto with_field = [](size_t field, uint64_t number) {
        std::vector<raw_field> entry = raw_entry("core", "a", 1, 0);
        entry[field] = {number, ""};
        return raw_store(raw_index(0, {entry}), "x");
    };
    const struct { const char* what; std::string bytes; const char* line; } rows[] = {
        {"2^40 entries", raw_store(raw_index(1ull << 40, {raw_entry("core", "a", 1, 0)}), "x"),
         "ERROR: : store_read_cab: cab->items allocation failed"},
        {"2^64-1 as last entry", raw_store(raw_index(UINT64_MAX, {raw_entry("core", "a", 1, 0)}), "x"),
         "ERROR: : store_read_cab: cab->items allocation failed"},
        {"2^31-2 as last entry", raw_store(raw_index(0x7FFFFFFE, {raw_entry("core", "a", 1, 0)}), "x"),
         "ERROR: : store_read_cab: cab->items allocation failed"},
        {"one entry more than written", raw_store(raw_index(1, {raw_entry("core", "a", 1, 0)}), "x"),
         "ERROR: : store_read_cab: cab->items allocation failed"},
        {"component of 2^31-1 bytes", with_field(0, 0x7FFFFFFF),
         "ERROR: : store_read_cab: component is 2147483647 bytes long, longer than 8191"},
        {"name of 9000 bytes", with_field(1, 9000), "ERROR: : store_read_cab: name is 9000 bytes long, longer than 8191"},
        {"install name", with_field(2, 8192), "ERROR: : store_read_cab: install name is 8192 bytes long, longer than 8191"},
        {"target name", with_field(3, 9000), "ERROR: : store_read_cab: target name is 9000 bytes long, longer than 8191"},
        {"duplicated", with_field(4, 9000), "ERROR: : store_read_cab: duplicated is 9000 bytes long, longer than 8191"},
        {"install UID", with_field(7, 9000), "ERROR: : store_read_cab: install UID is 9000 bytes long, longer than 8191"},
        {"group ID", with_field(8, 9000), "ERROR: : store_read_cab: group ID is 9000 bytes long, longer than 8191"},
        {"attrs", with_field(9, 9000), "ERROR: : store_read_cab: attrs is 9000 bytes long, longer than 8191"},
        {"cksum", with_field(10, 9000), "ERROR: : store_read_cab: cksum is 9000 bytes long, longer than 8191"},
        // The condition's length is the whole number, so its upper half counts.
        {"condition of 2^40 bytes", with_field(13, 1ull << 40),
         "ERROR: : store_read_cab: condition is 1099511627776 bytes long, longer than 8191"},
        {"text running past the end", with_field(0, 8000), "ERROR: : store_read_cab: can not read conponents"},
        {"offset beyond the file", with_field(12, 1000), "ERROR: : store_read_cab: content of core::a lies outside the file"},
        {"size beyond the file", with_field(6, 1000), "ERROR: : store_read_cab: content of core::a lies outside the file"},
        {"size running into the tail", with_field(6, 2), "ERROR: : store_read_cab: content of core::a lies outside the file"},
        {"size running to the end of the tail", with_field(6, 17),
         "ERROR: : store_read_cab: content of core::a lies outside the file"},
        {"offset inside the tail", with_field(12, 1), "ERROR: : store_read_cab: content of core::a lies outside the file"},
        {"offset and size wrapping", [] {
             std::vector<raw_field> entry = raw_entry("core", "a", 2, UINT64_MAX);
             return raw_store(raw_index(0, {entry}), "x");
         }(), "ERROR: : store_read_cab: content of core::a lies outside the file"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        cab_t cab;
        const size_t mark = log_mark();
        EXPECT_EQ(-1, store_read_header(nullptr, &cab, write_raw(r.bytes).c_str()));
        EXPECT_TRUE(logged_since(mark, r.line));
        EXPECT_TRUE(cab.items.empty());
    }
}

TEST_F(StoreTest, TextLengthKeepsToItsLowHalfAndNegativeMeansAbsent) {
    std::vector<raw_field> entry = raw_entry("core", "a", 1, 0);
    entry[0] = {(1ull << 32) | 4, "core"};
    entry[3] = {0xFFFFFFFFull, ""};  // -1: absent, no text follows
    const std::string path = write_raw(raw_store(raw_index(0, {entry}), "x"));
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    EXPECT_EQ("core", cab.items[0].component);
    EXPECT_EQ("", cab.items[0].target_name);
    EXPECT_EQ(1, store_file_exists(&cab, "core", "a"));

    const std::string unnamed = write_raw(raw_store(raw_index(0, {raw_entry("", "", 1, 0)}), "x"), "unnamed.cab");
    ASSERT_EQ(0, store_read_header(nullptr, &cab, unnamed.c_str()));
    EXPECT_TRUE(logged(": store_read_cab: (none)::(none)"));
    EXPECT_EQ(0, store_component_exists(&cab, ""));
}

TEST_F(StoreTest, ContentLostAfterOpeningFailsAndLeavesNoPartialFile) {
    const std::string big(300 * 1024, 'z');
    const std::string path = write_store({memory_entry("core", "big", big), memory_entry("core", "small", "s")});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    ASSERT_EQ(0, truncate(path.c_str(), cab.data_offset + 100 * 1024));
    const std::string target = dir_.file("big");
    EXPECT_EQ(-1, store_file_extract(nullptr, &cab, "core", "big", target.c_str()));
    EXPECT_TRUE(logged("ERROR: : store_file_extract: content of core::big ends early"));
    EXPECT_NE(0, access(target.c_str(), F_OK));
    std::string text;
    EXPECT_EQ(-1, store_file_get_content(&cab, "core", "big", text));
    EXPECT_EQ("", text);
    char* content = nullptr;
    int size = 0;
    EXPECT_EQ(-1, store_file_get_content(&cab, "core", "big", &content, &size, nullptr));
    EXPECT_EQ(nullptr, content);
    EXPECT_TRUE(logged("ERROR: : store_file_get_content: content of core::big ends early"));
}

TEST_F(StoreTest, FailedWriteRemovesThePartialTarget) {
    const std::string path = write_store({memory_entry("core", "big", std::string(1024 * 1024, 'q'))});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    const std::string target = dir_.file("big");
    // A file size limit makes the write fail part way, as a full disk would.
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 256 * 1024;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    const int result = store_file_extract(nullptr, &cab, "core", "big", target.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(-1, result);
    EXPECT_NE(0, access(target.c_str(), F_OK));
    EXPECT_NE(std::string::npos, log_.text().find("ERROR: : store_file_extract: can't write " + target));
}

TEST_F(StoreTest, EntryTooLargeForAnIntIsRefusedInMemoryButNotInTheIndex) {
    const uint64_t size = (1ull << 31) + 5;
    const std::string index = raw_index(0, {raw_entry("core", "huge", size, 0)});
    const std::string path = dir_.file("sparse.cab");
    write_file_text(path, index);
    // A sparse file: the content area reads as zeros without taking disk space.
    ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(index.size() + size)));
    FILE* file = fopen(path.c_str(), "ab");
    ASSERT_NE(nullptr, file);
    const std::string tail = be64(index.size()) + be64(size + 16);
    fwrite(tail.data(), 1, tail.size(), file);
    fclose(file);
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    EXPECT_EQ(size, cab.items[0].install_size);
    char* content = nullptr;
    int got = 0;
    EXPECT_EQ(-1, store_file_get_content(&cab, "core", "huge", &content, &got, nullptr));
    EXPECT_EQ(nullptr, content);
    EXPECT_TRUE(logged("ERROR: : store_file_get_content: core::huge is too large to read into memory (2147483653 bytes)"));
}

TEST_F(StoreTest, IterationWalksTheStoreThenEachAttachedStore) {
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, write_store({memory_entry("c", "r0", "0"), memory_entry("c", "r1", "1")}, "root.cab").c_str()));
    const std::vector<std::vector<const char*>> attached_names = {{"a0"}, {"b0", "b1"}};
    for (size_t i = 0; i < attached_names.size(); ++i) {
        std::vector<store_write_entry_t> entries;
        for (const char* name : attached_names[i]) entries.push_back(memory_entry("c", name, name));
        cab_t other;
        ASSERT_EQ(0, store_read_header(nullptr, &other, write_store(entries, "att" + std::to_string(i) + ".cab").c_str()));
        ASSERT_EQ(0, store_attach(&cab, std::move(other)));
    }
    EXPECT_EQ(1, cab.attached_last);
    store_iter_t iter;
    ASSERT_EQ(0, store_iter_init(&cab, &iter));
    std::vector<std::string> seen;
    while (cab_item_t* item = store_iter_next(&iter)) seen.push_back(item->name);
    EXPECT_EQ((std::vector<std::string>{"r0", "r1", "a0", "b0", "b1"}), seen);
    EXPECT_EQ(nullptr, store_iter_next(&iter));

    // Lookups by content reach the attached stores; existence tests look at the store itself only.
    std::string text;
    EXPECT_EQ(1, store_file_get_content(&cab, "c", "b1", text));
    EXPECT_EQ("b1", text);
    EXPECT_EQ(0, store_file_exists(&cab, "c", "b1"));
    const std::string target = dir_.file("b1");
    EXPECT_EQ(0, store_file_extract(nullptr, &cab, "c", "b1", target.c_str()));
    EXPECT_EQ("b1", read_file(target));
}

TEST_F(StoreTest, IterationWithoutAttachedStoresEndsAndMisuseIsReported) {
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, write_store({memory_entry("c", "only", "x")}).c_str()));
    store_iter_t iter;
    EXPECT_EQ(nullptr, store_iter_next(&iter));
    EXPECT_TRUE(logged("ERROR: : store_iter_next: iterator is not inited"));
    ASSERT_EQ(0, store_iter_init(&cab, &iter));
    ASSERT_NE(nullptr, store_iter_next(&iter));
    EXPECT_EQ(nullptr, store_iter_next(&iter));
    EXPECT_EQ(-1, store_iter_init(nullptr, &iter));
    EXPECT_TRUE(logged("ERROR: : store_iter_init: CAB is null"));
    EXPECT_EQ(-1, store_iter_init(&cab, nullptr));
    EXPECT_TRUE(logged("ERROR: : store_iter_init: iterator is null"));
    EXPECT_EQ(nullptr, store_iter_next(nullptr));
    EXPECT_TRUE(logged("ERROR: : store_iter_next: iterator is null"));
}

TEST_F(StoreTest, AttachingStopsAtTheLimit) {
    cab_t cab;
    for (int i = 0; i < store_attached_max; ++i) EXPECT_EQ(0, store_attach(&cab, cab_t()));
    EXPECT_EQ(store_attached_max - 1, cab.attached_last);
    EXPECT_EQ(-1, store_attach(&cab, cab_t()));
    EXPECT_TRUE(logged("ERROR: : store_attach: no room for another attached store, at most 10"));
    EXPECT_EQ(store_attached_max, static_cast<int>(cab.attached.size()));
}

TEST_F(StoreTest, UltoaClearsTheBufferAndKeepsTheLeadingDigits) {
    const struct { uint64_t value; int size; const char* text; } rows[] = {
        {0, 4, "0"}, {12345, 8, "12345"}, {12345, 3, "123"}, {UINT64_MAX, 21, "18446744073709551615"}, {7, 1, "7"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        std::vector<char> buffer(static_cast<size_t>(r.size) + 1, 'x');
        buffer.back() = '\0';  // a guard past size, never written
        EXPECT_EQ(buffer.data(), ultoa(r.value, buffer.data(), r.size));
        EXPECT_EQ(r.text, std::string(buffer.data(), strnlen(buffer.data(), static_cast<size_t>(r.size))));
        for (size_t i = strlen(r.text); i < static_cast<size_t>(r.size); ++i) EXPECT_EQ('\0', buffer[i]);
    }
}

TEST_F(StoreTest, WriterRefusesWhatTheReaderCouldNotUseAndLeavesNoFile) {
    const std::string out = dir_.file("out.cab");
    store_write_entry_t missing;
    missing.item.component = "core";
    missing.item.name = "gone";
    missing.source_path = dir_.file("does-not-exist");
    store_write_entry_t folder = missing;
    folder.source_path = dir_.path();
    const struct { const char* what; std::vector<store_write_entry_t> entries; const char* line; } rows[] = {
        {"no entries", {}, "ERROR: : store_write: a store holds at least one entry"},
        {"no component", {memory_entry("", "a", "x")}, "ERROR: : store_write: an entry needs a component and a name (::a)"},
        {"text too long", {memory_entry("core", std::string(8192, 'n'), "x")}, nullptr},
        {"missing source", {memory_entry("core", "a", "x"), missing}, nullptr},
        {"folder as source", {folder}, nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        const size_t mark = log_mark();
        EXPECT_EQ(-1, store_write(out, r.entries));
        if (r.line) {
            EXPECT_TRUE(logged_since(mark, r.line));
        }
        EXPECT_NE(0, access(out.c_str(), F_OK));
        EXPECT_NE(0, access((out + ".tmp").c_str(), F_OK));
    }
    EXPECT_TRUE(logged("ERROR: : store_write: can't read " + missing.source_path + ": No such file or directory"));
    EXPECT_TRUE(logged("ERROR: : store_write: " + dir_.path() + " is not a regular file"));
    EXPECT_EQ(-1, store_write(dir_.file("no/such/folder/out.cab"), {memory_entry("core", "a", "x")}));
}

TEST_F(StoreTest, WriterStreamsFileSourcesByteForByte) {
    std::string payload;
    for (int i = 0; i < 200000; ++i) payload += static_cast<char>((i * 7919) & 0xFF);
    const std::string source = dir_.file("payload.bin");
    write_file_text(source, payload);
    store_write_entry_t entry;
    entry.item.component = "data";
    entry.item.name = "payload.bin";
    entry.source_path = source;
    const std::string path = write_store({memory_entry("data", "before", "abc"), entry});
    cab_t cab;
    ASSERT_EQ(0, store_read_header(nullptr, &cab, path.c_str()));
    std::string text;
    ASSERT_EQ(1, store_file_get_content(&cab, "data", "payload.bin", text));
    EXPECT_TRUE(text == payload);
}

}  // namespace
