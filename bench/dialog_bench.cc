// The time to build, draw and answer a long dialog, and to word-wrap large texts, with standard
// output on /dev/null (not a terminal, so 80 columns) and the answers read from a file. The log
// is closed, as it is before start-up opens it, so the figures are the console work alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "console.h"
#include "env.h"
#include "seq_dialog.h"
#include "utils.h"
#include "xml.h"

namespace {

// Points a standard descriptor at a file while it lives.
class Redirect {
public:
    Redirect(int fd, const char* path, int flags) : m_fd(fd) {
        fflush(stdout);
        m_saved = dup(fd);
        const int opened = open(path, flags, 0644);
        dup2(opened, fd);
        close(opened);
    }
    ~Redirect() {
        fflush(stdout);
        dup2(m_saved, m_fd);
        close(m_saved);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

private:
    int m_fd;
    int m_saved;
};

std::string long_dialog(int lines) {
    std::string xml = R"(<dialog id="big"><title text="${TITLE}"/><description text="Pick one of the products below."/>)"
                      R"(<question id="1" type="list"><list type="num">)";
    for (int i = 1; i <= lines; ++i) {
        xml += R"(<line id=")" + std::to_string(i * 10) + R"(" text="Product number )" + std::to_string(i) +
               R"( with a description long enough to be wrapped over two console lines on a narrow screen")" +
               (i % 7 == 0 ? R"( condition="${SHOW} = 1")" : "") + "/>";
    }
    xml += R"(</list></question><input text="Your choice" keep="CHOICE" default="1">)"
           R"(<validation type="pattern" pattern="^[0-9]+$" err="Digits only"/></input></dialog>)";
    return xml;
}

void BM_show_dialog(benchmark::State& state) {
    const std::string xml = long_dialog(static_cast<int>(state.range(0)));
    document_t doc;
    if (xml_parse_buffer(xml.data(), xml.size(), &doc) != 0) {
        state.SkipWithError("the dialog does not parse");
        return;
    }
    session_t session;
    env_set_string(&session, std::string("CURRENT_DIALOG"), std::string("big"));
    env_set_string(&session, std::string("TITLE"), std::string("Installation of the suite"));
    char answers[] = "/tmp/dialog_bench.XXXXXX";
    const int answer_fd = mkstemp(answers);
    if (answer_fd < 0 || write(answer_fd, "2\n", 2) != 2) {
        state.SkipWithError("no answer file");
        return;
    }
    close(answer_fd);
    {
        Redirect in(STDIN_FILENO, answers, O_RDONLY);
        Redirect out(STDOUT_FILENO, "/dev/null", O_WRONLY);
        Redirect err(STDERR_FILENO, "/dev/null", O_WRONLY);
        for (auto _ : state) {
            lseek(STDIN_FILENO, 0, SEEK_SET);
            benchmark::DoNotOptimize(show_dialog(&session, &doc.nodes[0]));
        }
    }
    unlink(answers);
    state.SetLabel("HANDLE=" + env_get_string(&session, std::string("HANDLE")));
}

void BM_print_string(benchmark::State& state) {
    std::string text;
    const size_t size = static_cast<size_t>(state.range(0));
    while (text.size() < size) text += "lorem ipsum dolor sit amet consectetur adipiscing elit sed do ";
    text.resize(size);
    {
        Redirect out(STDOUT_FILENO, "/dev/null", O_WRONLY);
        for (auto _ : state) benchmark::DoNotOptimize(print_string("%s", text.c_str()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(BM_show_dialog)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_print_string)->RangeMultiplier(4)->Range(1 << 14, 1 << 20)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
