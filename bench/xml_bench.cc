// Speed of the XML reader and writer on a generated document of about 5 MB and 50,000 elements,
// four levels deep, with attributes and text, as large product descriptions are.
//   xml_bench                     runs the benchmarks
//   xml_bench --generate FILE     writes the document
//   xml_bench --parse FILE        parses FILE once and prints the number of elements (exit 1 on failure)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "xml.h"

namespace {

// 1 catalog, 50 sections, 20 groups in each, 49 items in each group: 50,051 elements.
std::string generate_document() {
    std::string text;
    text.reserve(5 * 1024 * 1024 + 4096);
    unsigned seed = 12345;
    const auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % 100000;
    };
    const char* words[] = {"install", "package", "component", "runtime", "library", "compiler", "debugger",
                           "analyzer", "profiler", "documentation", "samples", "headers"};
    text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- generated catalog -->\n<catalog version=\"1\">\n";
    int id = 0;
    for (int s = 0; s < 50; ++s) {
        text += " <section id=\"s" + std::to_string(s) + "\" name=\"section_" + std::to_string(s) + "\">\n";
        for (int g = 0; g < 20; ++g) {
            text += "  <group id=\"g" + std::to_string(s * 20 + g) + "\" kind=\"" + words[g % 12] + "\">\n";
            for (int i = 0; i < 49; ++i, ++id) {
                text += "   <item id=\"" + std::to_string(id) + "\">";
                for (int w = 0; w < 7; ++w) {
                    text += words[next() % 12];
                    text += ' ';
                }
                text += std::to_string(next()) + " &amp; more</item>\n";
            }
            text += "  </group>\n";
        }
        text += " </section>\n";
    }
    text += "</catalog>\n";
    return text;
}

int count_elements(const node_t& node) {
    int count = 1;
    for (const node_t& child : node.childs) count += count_elements(child);
    return count;
}

const std::string& document() {
    static const std::string text = generate_document();
    return text;
}

void BM_ParseBuffer(benchmark::State& state) {
    const std::string& text = document();
    for (auto _ : state) {
        document_t doc;
        if (xml_parse_buffer(text.data(), text.size(), &doc) != 0) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc.nodes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseBuffer)->Unit(benchmark::kMillisecond);

void BM_ParseFile(benchmark::State& state) {
    char path[] = "/tmp/xml_bench.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    FILE* file = fdopen(fd, "wb");
    fwrite(document().data(), 1, document().size(), file);
    fclose(file);
    for (auto _ : state) {
        document_t doc;
        if (xml_parse_file(path, &doc) != 0) state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(doc.nodes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(document().size()));
    unlink(path);
}
BENCHMARK(BM_ParseFile)->Unit(benchmark::kMillisecond);

void BM_Write(benchmark::State& state) {
    document_t doc;
    xml_parse_buffer(document().data(), document().size(), &doc);
    FILE* sink = fopen("/dev/null", "wb");
    for (auto _ : state) {
        if (xml_write_to_handle(sink, &doc) != 0) state.SkipWithError("write failed");
    }
    fclose(sink);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * xml_get_size(&doc));
}
BENCHMARK(BM_Write)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--generate") == 0) {
        FILE* file = fopen(argv[2], "wb");
        if (!file) return 1;
        const std::string& text = document();
        const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
        return fclose(file) == 0 && written ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "--parse") == 0) {
        document_t doc;
        if (xml_parse_file(argv[2], &doc) != 0) return 1;
        int elements = 0;
        for (const node_t& root : doc.nodes) elements += count_elements(root);
        printf("%d elements\n", elements);
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
