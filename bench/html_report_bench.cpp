// Time and size of the HTML report of a clonesim session: plays each
// scenario once, then writes its page three times and prints the best
// time. Nothing is asserted; the figures are for people.
//
// html_report_bench SCENARIO PAGE [SCENARIO PAGE ...]
#include "report/html_report.h"
#include "run/session.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>

int main(int argc, char** argv)
{
    if (argc < 3 || argc % 2 != 1) {
        std::fprintf(stderr, "usage: html_report_bench SCENARIO PAGE [SCENARIO PAGE ...]\n");
        return 2;
    }
    try {
        for (int i = 1; i + 1 < argc; i += 2) {
            clonesim::run_options options{argv[i], KX_DEFAULT_LIBRARY, ":memory:", true, std::nullopt};
            const clonesim::run_outcome run = clonesim::run_scenario(options);
            double best = 1e9;
            for (int round = 0; round < 3; ++round) {
                const auto start = std::chrono::steady_clock::now();
                clonesim::write_html_report(run, clonesim::judge(run), argv[i + 1]);
                best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            }
            const auto bytes = std::filesystem::file_size(argv[i + 1]);
            std::printf("%s: %zu parts, %zu requests: page %.2f MB (%.0f bytes a part), written in %.3f s\n", argv[i],
                        run.parts.size(), run.requests.size(), static_cast<double>(bytes) / 1e6,
                        run.parts.empty() ? 0.0 : static_cast<double>(bytes) / static_cast<double>(run.parts.size()), best);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "html_report_bench: %s\n", e.what());
        return 2;
    }
    return 0;
}
