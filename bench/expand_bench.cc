// Time of expand_operand on the texts a package carries: plain text, a reference or two, a quoted
// operand, references that resolve through other properties, and character references.
#include <benchmark/benchmark.h>

#include "env.h"
#include "env_expand.h"

namespace {

session_t& bench_session() {
    static session_t session;
    static const bool filled = [] {
        env_set_string(&session, "PRODUCT_NAME", "Sample Suite");
        env_set_string(&session, "PRODUCT_VERSION", "1.0.0");
        env_set_string(&session, "WELCOME_TITLE", "Welcome to the ${PRODUCT_NAME} ${PRODUCT_VERSION} installer");
        env_set_string(&session, "LUMO_INSTALL_DIR", "/opt/sample");
        return true;
    }();
    (void)filled;
    return session;
}

void run(benchmark::State& state, const char* text) {
    session_t& session = bench_session();
    for (auto _ : state) benchmark::DoNotOptimize(expand_operand(&session, text));
}

}  // namespace

BENCHMARK_CAPTURE(run, plain_text, "Press Enter to continue...");
BENCHMARK_CAPTURE(run, one_reference, "${LUMO_INSTALL_DIR}/bin");
BENCHMARK_CAPTURE(run, quoted_operand, "'${PRODUCT_NAME}'");
BENCHMARK_CAPTURE(run, nested_references, "${WELCOME_TITLE}");
BENCHMARK_CAPTURE(run, character_references, "a &lt;b&gt; &amp;amp; &quot;c&quot;");

BENCHMARK_MAIN();
