// Whole recovery pipeline over a large generated messenger database: the time of
// every stage (from the stage callbacks), the carving rate of each seek, the total
// and the peak memory.
//
// The database is generated once and kept in WCR_BENCH_DB_DIR (default
// /tmp/wcr-bench-large-200): python3 tools/gen_messenger_db.py --profile large
// --target-mb 200 --seed 1. Seek threads: WCR_BENCH_THREADS (default 2).

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "common/ErrorInfo.h"
#include "wchat/WchatChatToDbSeeker.h"

using talwen::wchat::WchatChatToDbSeeker;

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::string benchDatabase() {
    const std::string dir = envOr("WCR_BENCH_DB_DIR", "/tmp/wcr-bench-large-200");
    const std::string path = dir + "/MM.sqlite";
    if (!std::filesystem::exists(path)) {
        const std::string command = std::string("python3 '") + WCR_TOOLS_DIR +
                                    "/gen_messenger_db.py' --out '" + dir +
                                    "' --profile large --target-mb 200 --seed 1";
        if (std::system(command.c_str()) != 0) return std::string();
    }
    return path;
}

long peakRssKb() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void BM_WchatPipeline(benchmark::State& state) {
    const std::string source = benchDatabase();
    if (source.empty()) {
        state.SkipWithError("generating the benchmark database failed");
        return;
    }
    const uint32_t threads = static_cast<uint32_t>(std::stoul(envOr("WCR_BENCH_THREADS", "2")));
    const double fileMb =
        static_cast<double>(std::filesystem::file_size(source)) / (1024.0 * 1024.0);

    for (auto _ : state) {
        // Every stage's end, in order, with its elapsed time and count.
        struct Timings : talwen::wchat::StageObserver {
            std::vector<std::pair<std::string, uint64_t>> stages;
            std::map<std::string, uint32_t> counts;
            void onBegin(talwen::wchat::Stage, const talwen::wchat::StageReport&) override {}
            void onEnd(talwen::wchat::Stage stage, const talwen::wchat::StageReport& report) override {
                const std::string name = talwen::wchat::stageName(stage);
                stages.emplace_back(name, report.elapsedMs);
                if (talwen::wchat::stageCounts(stage)) counts[name] = report.count;
            }
        } timings;
        auto& stages = timings.stages;
        auto& counts = timings.counts;
        WchatChatToDbSeeker seeker(source, "", nullptr);
        seeker.setStageObserver(&timings);

        talwen::common::ErrorInfo error;
        seeker.run(threads, WchatChatToDbSeeker::kSeekFriends | WchatChatToDbSeeker::kSeekChatTables,
                   &error);
        if (!error.isSuccess()) {
            state.SkipWithError(error.getMessage().c_str());
            return;
        }

        uint64_t totalMs = 0;
        std::printf("file %.1f MB, %u seek threads\n", fileMb, threads);
        for (const auto& stage : stages) {
            totalMs += stage.second;
            const auto count = counts.find(stage.first);
            std::printf("  %-17s %8llu ms", stage.first.c_str(),
                        static_cast<unsigned long long>(stage.second));
            if (count != counts.end()) std::printf("  count %u", count->second);
            if (stage.first.rfind("seek", 0) == 0 && stage.second > 0)
                std::printf("  %.1f MB/s", fileMb * 1000.0 / static_cast<double>(stage.second));
            std::printf("\n");
            state.counters[stage.first + "_ms"] = static_cast<double>(stage.second);
        }
        std::printf("  %-17s %8llu ms\n  peak RSS %ld MB\n", "total",
                    static_cast<unsigned long long>(totalMs), peakRssKb() / 1024);
        std::fflush(stdout);
        state.counters["total_ms"] = static_cast<double>(totalMs);
        state.counters["file_MB"] = fileMb;
        state.counters["peakRss_MB"] = static_cast<double>(peakRssKb()) / 1024.0;
    }
}

BENCHMARK(BM_WchatPipeline)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
