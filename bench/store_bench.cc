// Opening a store of 10,000 entries and finding each of them: the index is read once and every
// lookup scans it, so the cost of a lookup grows with the entry's position.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "store.h"
#include "store_write.h"

namespace {

constexpr int entry_count = 10000;

std::string component_of(int i) { return i % 10 == 0 ? "_internal_" : "comp" + std::to_string(i % 97) + ";shared"; }
std::string name_of(int i) { return "dir" + std::to_string(i % 50) + "/file" + std::to_string(i) + ".xml"; }

// The store is written once per run into a private folder and removed when the process ends.
class bench_store {
public:
    bench_store() {
        std::string pattern = "/tmp/lumo_store_bench.XXXXXX";
        if (!mkdtemp(pattern.data())) return;
        m_folder = pattern;
        std::vector<store_write_entry_t> entries(entry_count);
        for (int i = 0; i < entry_count; ++i) {
            entries[static_cast<size_t>(i)].item.component = component_of(i);
            entries[static_cast<size_t>(i)].item.name = name_of(i);
            entries[static_cast<size_t>(i)].item.attrs = "644";
            entries[static_cast<size_t>(i)].bytes = std::string(static_cast<size_t>(64 + i % 200), 'x');
            entries[static_cast<size_t>(i)].from_memory = true;
        }
        if (store_write(path(), entries) != 0) m_folder.clear();
    }
    ~bench_store() {
        if (m_folder.empty()) return;
        unlink(path().c_str());
        rmdir(m_folder.c_str());
    }
    bool ok() const { return !m_folder.empty(); }
    std::string path() const { return m_folder + "/install.cab"; }

private:
    std::string m_folder;
};

const bench_store& the_store() {
    static const bench_store store;
    return store;
}

void BM_OpenStore(benchmark::State& state) {
    if (!the_store().ok()) {
        state.SkipWithError("could not write the store");
        return;
    }
    for (auto _ : state) {
        cab_t cab;
        benchmark::DoNotOptimize(store_read_header(nullptr, &cab, the_store().path().c_str()));
    }
    state.SetItemsProcessed(state.iterations() * entry_count);
}
BENCHMARK(BM_OpenStore)->Unit(benchmark::kMillisecond);

void BM_LookUpEveryEntry(benchmark::State& state) {
    cab_t cab;
    if (!the_store().ok() || store_read_header(nullptr, &cab, the_store().path().c_str()) != 0) {
        state.SkipWithError("could not open the store");
        return;
    }
    std::vector<std::string> components(entry_count), names(entry_count);
    for (int i = 0; i < entry_count; ++i) {
        // Ask for one of the listed components, as the engine does.
        components[static_cast<size_t>(i)] = i % 10 == 0 ? "_internal_" : (i % 2 ? "shared" : "comp" + std::to_string(i % 97));
        names[static_cast<size_t>(i)] = name_of(i);
    }
    for (auto _ : state) {
        int found = 0;
        for (int i = 0; i < entry_count; ++i)
            found += store_file_exists(&cab, components[static_cast<size_t>(i)].c_str(), names[static_cast<size_t>(i)].c_str());
        if (found != entry_count) state.SkipWithError("an entry was not found");
        benchmark::DoNotOptimize(found);
    }
    state.SetItemsProcessed(state.iterations() * entry_count);
}
BENCHMARK(BM_LookUpEveryEntry)->Unit(benchmark::kMillisecond);

void BM_ReadEveryEntry(benchmark::State& state) {
    cab_t cab;
    if (!the_store().ok() || store_read_header(nullptr, &cab, the_store().path().c_str()) != 0) {
        state.SkipWithError("could not open the store");
        return;
    }
    std::string content;
    for (auto _ : state) {
        for (int i = 0; i < entry_count; ++i) {
            const cab_item_t& item = cab.items[static_cast<size_t>(i)];
            benchmark::DoNotOptimize(store_file_get_content(&cab, item.component, item.name, content));
        }
    }
    state.SetItemsProcessed(state.iterations() * entry_count);
}
BENCHMARK(BM_ReadEveryEntry)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
