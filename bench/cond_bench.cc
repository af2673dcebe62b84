// The time one condition takes, for the kinds a package's sequence and dialogs evaluate again and
// again: a mode test, a version check, a substring test, a pattern, groups and a quoted operand.
// The log is closed, as it is before start-up opens it, so the figures are the evaluation alone.
#include <benchmark/benchmark.h>

#include <string>

#include "cond.h"
#include "env.h"

namespace {

const char* const conditions[] = {
    "${LUMO_MODE} = install",
    "${LUMO_MODE} = install AND NOT ${X} -inc abc",
    "${KERNEL} >= 2.6.32",
    "LUMO_MODE AND NOT MISSING",
    "${ARCH} =~ ^(x86_64|aarch64)$",
    "( ${LUMO_MODE} = modify OR ${LUMO_MODE} = repair ) AND ( ${COUNT} > 10 )",
    "${TITLE} = \"two words\"",
};

void BM_cond_is_true(benchmark::State& state) {
    session_t session;
    env_set_string(&session, std::string("LUMO_MODE"), std::string("install"));
    env_set_string(&session, std::string("X"), std::string("xyz"));
    env_set_string(&session, std::string("KERNEL"), std::string("5.10.0"));
    env_set_string(&session, std::string("ARCH"), std::string("x86_64"));
    env_set_string(&session, std::string("COUNT"), std::string("12"));
    env_set_string(&session, std::string("TITLE"), std::string("two words"));
    const std::string condition = conditions[state.range(0)];
    state.SetLabel(condition);
    for (auto _ : state) benchmark::DoNotOptimize(cond_is_true(condition, &session));
}

}  // namespace

BENCHMARK(BM_cond_is_true)->DenseRange(0, 6)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
