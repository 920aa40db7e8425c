// The cost of polling passes: the pass time against the number of due
// blocks, the server's own share of it per block, and an idle pass in which
// no block is due. The due-block figures need the reference instrument on
// COM1:
//   tests/fieldbus/with_instrument.sh --device 1 -- build/bench/bench_polling
// The "+" of every read go to standard output; the report goes to standard
// error.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "CError.h"
#include "ModbusAscii.h"
#include "ModbusClient.h"
#include "ModbusLink.h"
#include "TagUpdater.h"
#include "lightopc.h"
#include "platform/clock.h"

// The process-wide link, which the server's entry defines.
ModbusLink modbusLink;

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t kRegistersPerBlock = 2;
constexpr std::int32_t kHourMs = 3600000;

// n blocks of two registers on device 1, each with the given period.
std::string Configuration(int blocks, std::int32_t periodMs) {
    std::string text = "<TagConfig>\n";
    for (int i = 0; i < blocks; ++i) {
        text += "<QueryBlock deviceAddr='1' millisecondPeriod='" + std::to_string(periodMs) + "'>";
        text += "<BlockOfRegs namePrefix='B" + std::to_string(i) + "_' count='2' addrStart='" +
                std::to_string(i * kRegistersPerBlock) + "'/></QueryBlock>\n";
    }
    return text + "</TagConfig>\n";
}

struct ServiceDeleter {
    void operator()(loService *service) const { loServiceDestroy(service); }
};

// A published tag updater on the process's link, as driver initialisation
// leaves it, with its own toolkit service.
struct Driver {
    std::unique_ptr<TagUpdater> updater;
    std::unique_ptr<loService, ServiceDeleter> service;

    bool Start(benchmark::State &state, int blocks, std::int32_t periodMs) {
        try {
            modbusLink.Port().Close();
            modbusLink.Port().SetModeString("COM1:baud=9600 parity=N data=8 stop=1");
            updater = std::make_unique<TagUpdater>(&modbusLink);
            updater->config.Parse(Configuration(blocks, periodMs));
            loDriver descriptor;
            std::memset(&descriptor, 0, sizeof descriptor);
            loService *created = nullptr;
            if (loServiceCreate(&created, &descriptor, static_cast<unsigned>(updater->config.TotalTagCount())) != 0) {
                state.SkipWithError("loServiceCreate failed");
                return false;
            }
            service.reset(created);
            updater->service = created;
            updater->PublishTags();
            return true;
        } catch (const CError &error) {
            state.SkipWithError(error.narrowMessage);
            return false;
        }
    }

    ~Driver() { updater.reset(); }
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The process's CPU time, every thread included, in microseconds.
double CpuMicros() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

double MicrosSince(Clock::time_point from) {
    return std::chrono::duration<double, std::micro>(Clock::now() - from).count();
}

// One pass with n due blocks (period 0), timed; then, under the same load, n
// pauses as the system really gives them and n bare exchanges with the
// instrument (request written, answer read, no pause, no codec). What is left
// of the pass is the server's own work: iteration, transaction code, value
// buffer, records and the cache update.
void BM_PassOfDueBlocks(benchmark::State &state) {
    const int blocks = static_cast<int>(state.range(0));
    Driver driver;
    if (!driver.Start(state, blocks, 0)) return;
    ComPort &port = modbusLink.Port();
    driver.updater->PollBlocks();  // opens the port
    if (!port.IsOpen()) {
        state.SkipWithError("no instrument on COM1 (run through tests/fieldbus/with_instrument.sh)");
        return;
    }

    std::uint8_t request[ModbusClient::kBufferSize];
    char frame[ModbusClient::kBufferSize];
    ModbusAscii::EncodeFrame(request, frame,
                             ModbusAscii::EncodeReadRequest(1, 0, kRegistersPerBlock, request, sizeof request),
                             sizeof frame);
    const DWORD frameLength = static_cast<DWORD>(std::strlen(frame));
    const DWORD answerLength = kRegistersPerBlock * 4u + 11;  // with CR LF: nothing left over
    char answer[ModbusClient::kBufferSize + 16];
    std::vector<double> passes, ours, cpu;

    for (auto _ : state) {
        auto start = Clock::now();
        const double cpuStart = CpuMicros();
        driver.updater->PollBlocks();
        const double pass = MicrosSince(start);
        cpu.push_back((CpuMicros() - cpuStart) / blocks);
        state.SetIterationTime(pass / 1e6);

        double fixed = 0;
        for (int i = 0; i < blocks; ++i) {
            start = Clock::now();
            Sleep(ModbusClient::kTurnaroundMs);
            port.PurgeInput();
            port.Write(frame, frameLength);
            const DWORD received = port.Read(answer, answerLength);
            fixed += MicrosSince(start);
            if (received != answerLength) {
                state.SkipWithError("the instrument did not answer");
                return;
            }
        }
        passes.push_back(pass);
        ours.push_back((pass - fixed) / blocks);
    }
    state.counters["pass_ms"] = Median(passes) / 1000;
    state.counters["per_block_ms"] = Median(passes) / 1000 / blocks;
    state.counters["ours_per_block_us"] = Median(ours);
    state.counters["cpu_per_block_us"] = Median(cpu);
    state.SetComplexityN(blocks);
}
BENCHMARK(BM_PassOfDueBlocks)
    ->RangeMultiplier(2)
    ->Range(1, 16)
    ->UseManualTime()
    ->Iterations(30)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// A pass in which no block is due: what every 50 ms tick costs between reads.
// Every block counts as just read, so no instrument is needed.
void BM_IdlePass(benchmark::State &state) {
    const int blocks = static_cast<int>(state.range(0));
    Driver driver;
    if (!driver.Start(state, blocks, kHourMs)) return;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    for (auto &block : driver.updater->lastPoll) block.second = now;
    for (auto _ : state) driver.updater->PollBlocks();
    state.SetItemsProcessed(state.iterations() * blocks);
    state.SetComplexityN(blocks);
}
BENCHMARK(BM_IdlePass)->RangeMultiplier(10)->Range(1, 1000)->Complexity(benchmark::oN)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // The reads' "+" and "-" stay out of the report.
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
