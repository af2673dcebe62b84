// Reads arbitrary bytes as coexistence rules and applies them to a fixed set of installed items,
// then builds the dialog and toggles an entry: bad patterns, unknown keywords and deep nesting must
// end in log lines, never a crash or a hang. Nothing is removed.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "coex.h"
#include "contentsprovider.h"
#include "env.h"

namespace {

struct FixedProvider : ContentsProvider {
    int installFile(const std::string&, const std::string&, const std::string&) override { return 0; }
    int uninstallFile(const std::string&, const std::string&) override { return 0; }
    int registerFiles(const std::string&) override { return 0; }
    int registerAllFiles(const std::string&) override { return 0; }
    std::string coexId(int index) override { return m_contents[static_cast<size_t>(index)]->m_file; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FixedProvider provider;
    const char* const items[][3] = {{"core-1.0-1.x86_64.rpm", "1.0.1", "Core"},
                                    {"docs-2.0.tgz", "2.0", "Docs"},
                                    {"core-1.1.tgz", "", "Core"}};
    for (const auto& row : items) {
        auto item = std::make_unique<ContentsItem>();
        item->m_file = item->m_id = row[0];
        item->m_version = row[1];
        item->m_summary = row[2];
        item->m_prefix = "/opt/x";
        provider.m_contents.push_back(std::move(item));
    }
    session_t session;
    session.coex = std::make_unique<coex_state_t>();
    session.coex->providers = {&provider};
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (coex_parse(&session, text) != 0) return 0;
    if (coex_diag_init(&session) != 0) return 0;
    env_set_string(&session, "HANDLE", "1");
    coex_diag_update(&session);
    coex_diag_finalize(&session);
    return 0;
}
