// A package for sequence tests, packed at test time with lumo-cab: install.cab from the files
// staged under stage/ (component _internal_), one store per folder under layers/, and the engine
// linked in one folder below the store. Runs happen in run/ with run/temp as temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "test_util.h"

// A module document of one behavior.
inline std::string module(const std::string& actions, const std::string& extra = "") {
    return "<module><behavior>" + actions + "</behavior>" + extra + "</module>";
}

// An action of type "action" that appends its id to the property TRAIL and goes on to next.
inline std::string mark(const std::string& id, const std::string& next) {
    return "<action id=\"" + id + "\"><set property=\"TRAIL\" value=\"${TRAIL}" + id + ";\"/><next call=\"" + next +
           "\"/></action>";
}

class SeqPackage : public ::testing::Test {
protected:
    void stage(const std::string& name, const std::string& content) { put(m_dir.file("stage/" + name), content); }
    void stage_layer(const std::string& cab, const std::string& name, const std::string& content) {
        put(m_dir.file("layers/" + cab + "/" + name), content);
    }

    // extra_manifest: further lumo-cab manifest lines (other components, attrs).
    void pack(const std::string& extra_manifest = "") {
        using lumo_test::quote;
        std::filesystem::create_directories(m_dir.file("pkg/config/bin"));
        std::string manifest = extra_manifest;
        // Every package carries coexistence rules; a test that writes none packs an empty set.
        if (!std::filesystem::exists(m_dir.file("stage/coex.xml"))) stage("coex.xml", "<coex/>\n");
        std::error_code ec;
        const std::filesystem::path stage_dir = m_dir.file("stage");
        for (const auto& entry : std::filesystem::recursive_directory_iterator(stage_dir, ec)) {
            if (!entry.is_regular_file()) continue;
            manifest += "_internal_\t" + entry.path().lexically_relative(stage_dir).string() + "\t" +
                        entry.path().string() + "\n";
        }
        lumo_test::write_file_text(m_dir.file("manifest"), manifest);
        std::string output;
        ASSERT_EQ(0, lumo_test::run_command(quote(lumo_test::cab_tool_path()) + " create " +
                                                quote(m_dir.file("pkg/config/install.cab")) + " " +
                                                quote(m_dir.file("manifest")),
                                            &output, true))
            << output;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.file("layers"), ec)) {
            const std::string cab = entry.path().filename().string();
            ASSERT_EQ(0, lumo_test::run_command(quote(lumo_test::cab_tool_path()) + " create " +
                                                    quote(m_dir.file("pkg/config/" + cab)) + " --dir " +
                                                    quote(entry.path().string()) + " _internal_",
                                                &output, true))
                << output;
        }
        std::filesystem::create_symlink(lumo_test::engine_path(), m_dir.file("pkg/config/bin/lumo"), ec);
    }

    std::string temp() const { return m_dir.file("run/temp"); }
    std::string log_text() const { return lumo_test::engine_logs(m_dir.file("run")); }
    bool logged(const std::string& message) const { return log_text().find(": " + message + "\n") != std::string::npos; }
    size_t count(const std::string& message) const { return lumo_test::count_occurrences(log_text(), message); }
    // The last value the property was given, as the property store logs it.
    std::string value(const std::string& name) const { return lumo_test::logged_value(log_text(), name); }

    lumo_test::TempDir m_dir;

private:
    static void put(const std::string& path, const std::string& content) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        lumo_test::write_file_text(path, content);
    }
};
