// Runs a fuzz target over every file of its seed corpus, so the corpus is an ordinary test.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::error_code ec;
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1], ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // An empty file gives a null data(): each target must take that as the fuzzer may give it.
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        ++count;
    }
    if (ec) { fprintf(stderr, "cannot read corpus %s\n", argv[1]); return 1; }
    printf("%d corpus inputs run\n", count);
    return 0;
}
