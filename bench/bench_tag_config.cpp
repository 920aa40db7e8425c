// Loading speed of the tag configuration: generated files of 10, 1,000 and
// 100,000 tags, parsed from memory and loaded from a file. Throughput must
// stay flat as the file grows (loading is linear in its size).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "LoadTagConfig.h"
#include "TagModel.h"
#include "driver_config.h"

// The server defines this beside its other process-wide objects.
TagConfig driverConfig;

namespace {

constexpr int kTagsPerBlock = 10;

// Blocks of eight single registers and one run of two, as a plant's
// configuration might list them; the last block takes the remainder.
std::string Generate(int tags) {
    std::string text = "<TagConfig>\n";
    int made = 0;
    for (int block = 0; made < tags; ++block) {
        text += "  <QueryBlock deviceAddr='" + std::to_string(block % 247 + 1) + "' millisecondPeriod='1000'>\n";
        const int here = tags - made < kTagsPerBlock ? tags - made : kTagsPerBlock;
        const int singles = here < 8 ? here : 8;
        for (int i = 0; i < singles; ++i) {
            text += "    <SingleReg name='Block" + std::to_string(block) + "_Reg" + std::to_string(i) + "' addr='0x" +
                    std::to_string(1000 + i) + "'/>\n";
        }
        if (here > singles) {
            text += "    <BlockOfRegs namePrefix='Block" + std::to_string(block) + "_Run' startIndex='1' count='" +
                    std::to_string(here - singles) + "' addrStart='" + std::to_string(1008) + "'/>\n";
        }
        text += "  </QueryBlock>\n";
        made += here;
    }
    return text + "</TagConfig>\n";
}

void Report(benchmark::State &state, std::size_t bytes, int tags) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
    state.counters["tags"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * tags, benchmark::Counter::kIsRate);
    state.counters["bytes"] = static_cast<double>(bytes);
    state.SetComplexityN(static_cast<std::int64_t>(bytes));
}

void BM_ParseTagConfig(benchmark::State &state) {
    const int tags = static_cast<int>(state.range(0));
    const std::string text = Generate(tags);
    TagConfig config;
    for (auto _ : state) {
        config.Parse(text);
        benchmark::DoNotOptimize(config.blocks.data());
    }
    if (config.TotalTagCount() != tags) state.SkipWithError("generated configuration has the wrong tag count");
    Report(state, text.size(), tags);
}

void BM_LoadTagConfigFile(benchmark::State &state) {
    const int tags = static_cast<int>(state.range(0));
    const std::string text = Generate(tags);
    const char *name = "bench_tag_config.tag.cfg";
    std::FILE *file = std::fopen(name, "wb");
    if (file == nullptr) {
        state.SkipWithError("cannot write the configuration file");
        return;
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
    for (auto _ : state) {
        LoadTagConfigFrom(L"bench_tag_config.tag.cfg");
        benchmark::DoNotOptimize(driverConfig.blocks.data());
    }
    std::remove(name);
    if (driverConfig.TotalTagCount() != tags) state.SkipWithError("file loaded with the wrong tag count");
    Report(state, text.size(), tags);
}

BENCHMARK(BM_ParseTagConfig)->Arg(10)->Arg(1000)->Arg(100000)->Unit(benchmark::kMicrosecond)->Complexity(benchmark::oN);
BENCHMARK(BM_LoadTagConfigFile)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
