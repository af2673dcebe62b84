// Building, configuring and changing the selection of a product set of 50 components per product,
// at 200, 400 and 800 products (10,000 to 40,000 components). Inside each product every component
// needs the one before it; the first component of every product needs the first component of
// product 1, a base that everything rests on. All components are selected by default and have an
// archive back-end with an empty database; the selection change unselects the base, which takes
// every component of the set with it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "env.h"
#include "log.h"
#include "lumo.h"
#include "tsd.h"

namespace {

constexpr int components_per_product = 50;

std::string media(int products) {
    std::string text = "<Media><Name>Bench</Name>";
    for (int p = 1; p <= products; ++p) {
        text += "<Product id=\"" + std::to_string(p) + "\" platform=\"KX32;KX64;VEXAN64\"><Name>P" + std::to_string(p) +
                "</Name><Abbr>p" + std::to_string(p) + "</Abbr>";
        for (int c = 1; c <= components_per_product; ++c) {
            std::string depend;
            if (c > 1) depend = std::to_string(p) + "." + std::to_string(c - 1);
            else if (p > 1) depend = "1.1";
            text += "<Component id=\"" + std::to_string(c) + "\" depend=\"" + depend +
                    "\" platform=\"KX32;KX64;VEXAN64\"><Name>C" + std::to_string(p) + "_" + std::to_string(c) +
                    "</Name><Abbr>c" + std::to_string(p) + "_" + std::to_string(c) +
                    "</Abbr><Type>tgz</Type><RPMFileDir>${PAYLOAD}</RPMFileDir><NONRPMProductCode>p.tar.gz"
                    "</NONRPMProductCode><Data>" +
                    std::to_string(c) + "</Data><Selected>1</Selected></Component>";
        }
        text += "</Product>";
    }
    return text + "</Media>";
}

// One folder per product count with its media description, a payload and an empty database.
const std::string& folder_for(int products) {
    static std::map<int, std::string> folders;
    auto found = folders.find(products);
    if (found != folders.end()) return found->second;
    char name[] = "/tmp/lumo_products_bench.XXXXXX";
    const std::string dir = mkdtemp(name) ? name : "/tmp";
    for (const auto& file : {std::make_pair(std::string("/mediaconfig.xml"), media(products)),
                             std::make_pair(std::string("/p.tar.gz"), std::string("x"))}) {
        FILE* out = fopen((dir + file.first).c_str(), "wb");
        if (out) {
            fwrite(file.second.data(), 1, file.second.size(), out);
            fclose(out);
        }
    }
    return folders[products] = dir;
}

void prepare(session_t& session, int products) {
    const std::string& dir = folder_for(products);
    env_set_string(&session, "CONFIG_DIR", dir);
    env_set_string(&session, "PAYLOAD", dir);
    env_set_string(&session, "NONRPM_DB_DIR", dir + "/db");
    env_set_string(&session, "INSTALL_MODE", "NONRPM");
    env_set_string(&session, "LUMO_INSTALL_DIR", dir + "/inst");
}

void BM_Build(benchmark::State& state) {
    const int products = static_cast<int>(state.range(0));
    for (auto _ : state) {
        session_t session;
        prepare(session, products);
        if (lumo_init_products_list(&session) != 0) state.SkipWithError("build failed");
    }
    state.counters["components"] = products * components_per_product;
}

void BM_Configure(benchmark::State& state) {
    const int products = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        session_t session;
        prepare(session, products);
        lumo_init_products_list(&session);
        state.ResumeTiming();
        if (lumo_configure_products_list(&session) != 0) state.SkipWithError("configure failed");
        state.PauseTiming();
        session.tsd.reset();  // the teardown is not part of the figure
        state.ResumeTiming();
    }
    state.counters["components"] = products * components_per_product;
}

void BM_SelectionChange(benchmark::State& state) {
    const int products = static_cast<int>(state.range(0));
    session_t session;
    prepare(session, products);
    lumo_init_products_list(&session);
    lumo_configure_products_list(&session);
    TSD& tsd = *session.tsd;
    Component* base = tsd.products()[0]->subcomponents()[0];
    for (auto _ : state) {
        state.PauseTiming();
        for (Component* product : tsd.products()) {
            for (Component* component : product->subcomponents()) component->m_selected = true;
        }
        state.ResumeTiming();
        tsd.selectUnselectComponent(base, 0, false);
        if (tsd.products().back()->subcomponents().back()->m_selected) state.SkipWithError("not propagated");
    }
    state.counters["components"] = products * components_per_product;
}

}  // namespace

BENCHMARK(BM_Build)->Arg(200)->Arg(400)->Arg(800)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Configure)->Arg(200)->Arg(400)->Arg(800)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SelectionChange)->Arg(200)->Arg(400)->Arg(800)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
