// Throughput of the Modbus ASCII codec, and the software cost of one register
// read against the reference instrument on a pseudo-terminal. The transaction
// figures need the instrument on COM1:
//   tests/fieldbus/with_instrument.sh --device 1 -- build/bench/bench_modbus
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "CError.h"
#include "ComPort.h"
#include "ModbusAscii.h"
#include "ModbusClient.h"
#include "platform/clock.h"

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> ResponseMessage(int registers) {
    std::vector<std::uint8_t> m{1, 3, static_cast<std::uint8_t>(2 * registers)};
    for (int i = 0; i < registers; ++i) {
        m.push_back(static_cast<std::uint8_t>(i));
        m.push_back(static_cast<std::uint8_t>(0xA0 + i));
    }
    return m;
}

void BM_EncodeRequest(benchmark::State &state) {
    std::uint8_t request[ModbusClient::kBufferSize];
    char frame[ModbusClient::kBufferSize];
    std::uint16_t start = 0;
    for (auto _ : state) {
        const unsigned n = ModbusAscii::EncodeReadRequest(1, start++, 61, request, sizeof request);
        benchmark::DoNotOptimize(ModbusAscii::EncodeFrame(request, frame, n, sizeof frame));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeRequest);

void BM_EncodeResponse(benchmark::State &state) {
    const std::vector<std::uint8_t> message = ResponseMessage(static_cast<int>(state.range(0)));
    char frame[ModbusClient::kBufferSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            ModbusAscii::EncodeFrame(message.data(), frame, static_cast<unsigned>(message.size()), sizeof frame));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncodeResponse)->Arg(2)->Arg(61);

// What the transaction does with an answer: decode, LRC, parse.
void BM_DecodeResponse(benchmark::State &state) {
    const int registers = static_cast<int>(state.range(0));
    const std::vector<std::uint8_t> message = ResponseMessage(registers);
    char received[ModbusClient::kBufferSize] = {};
    ModbusAscii::EncodeFrame(message.data(), received, static_cast<unsigned>(message.size()), sizeof received);
    received[registers * 4 + 9] = '\0';  // the CR LF are never read
    std::uint8_t decoded[ModbusClient::kBufferSize];
    std::uint16_t regs[256];
    for (auto _ : state) {
        const unsigned length = ModbusAscii::DecodeFrame(received, decoded, sizeof decoded);
        const bool good = ModbusAscii::CheckLrc(decoded, length) &&
                          ModbusAscii::ParseReadResponse(decoded, length, regs, registers) == registers;
        if (!good) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(regs);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeResponse)->Arg(2)->Arg(61);

// The port, codec and client of one benchmark, on the instrument at COM1.
struct InstrumentLine {
    ComPort port;
    ModbusAscii codec;
    ModbusClient client{port, codec};

    bool Open(benchmark::State &state) {
        try {
            port.SetModeString("COM1:baud=9600 parity=N data=8 stop=1");
            port.Open();
            return true;
        } catch (const CError &) {
            state.SkipWithError("no instrument on COM1 (run through tests/fieldbus/with_instrument.sh)");
            return false;
        }
    }
};

// One ReadHoldingRegisters; the reported time is the transaction less the
// fixed 20 ms pause.
void BM_Transaction(benchmark::State &state) {
    InstrumentLine line;
    if (!line.Open(state)) return;
    const auto count = static_cast<std::uint16_t>(state.range(0));
    std::uint16_t regs[256];
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool ok = line.client.ReadHoldingRegisters(1, 0, count, regs);
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        if (!ok) {
            state.SkipWithError("read failed");
            break;
        }
        state.SetIterationTime(elapsed.count() - ModbusClient::kTurnaroundMs / 1000.0);
    }
}
BENCHMARK(BM_Transaction)->Arg(2)->Arg(61)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The same transaction taken apart, each part timed in turn under the same
// load: the pause as the system really gives it, the instrument's own answer
// time as the port sees it (the request written and the answer read, without
// pause or codec), and what is left for our side. Medians, in microseconds.
void BM_TransactionBreakdown(benchmark::State &state) {
    InstrumentLine line;
    if (!line.Open(state)) return;
    ComPort &port = line.port;
    ModbusClient &client = line.client;
    const auto count = static_cast<std::uint16_t>(state.range(0));
    std::uint8_t request[ModbusClient::kBufferSize];
    char frame[ModbusClient::kBufferSize];
    ModbusAscii::EncodeFrame(request, frame, ModbusAscii::EncodeReadRequest(1, 0, count, request, sizeof request),
                             sizeof frame);
    const DWORD frameLength = static_cast<DWORD>(std::strlen(frame));
    const DWORD answerLength = count * 4u + 11;  // with CR LF: nothing left over
    char answer[ModbusClient::kBufferSize + 16];
    std::uint16_t regs[256];
    std::vector<double> transaction, pause, instrument, ours;

    auto micros = [](Clock::time_point from) {
        return std::chrono::duration<double, std::micro>(Clock::now() - from).count();
    };
    for (auto _ : state) {
        auto start = Clock::now();
        const bool ok = client.ReadHoldingRegisters(1, 0, count, regs);
        const double t = micros(start);

        start = Clock::now();
        Sleep(ModbusClient::kTurnaroundMs);
        const double p = micros(start);

        start = Clock::now();
        port.PurgeInput();
        port.Write(frame, frameLength);
        const DWORD received = port.Read(answer, answerLength);
        const double i = micros(start);
        if (!ok || received != answerLength) {
            state.SkipWithError("read failed");
            break;
        }
        transaction.push_back(t - ModbusClient::kTurnaroundMs * 1000.0);
        pause.push_back(p - ModbusClient::kTurnaroundMs * 1000.0);
        instrument.push_back(i);
        ours.push_back(t - p - i);
    }
    state.counters["less_20ms_us"] = Median(transaction);
    state.counters["pause_over_us"] = Median(pause);
    state.counters["instrument_us"] = Median(instrument);
    state.counters["ours_us"] = Median(ours);
}
BENCHMARK(BM_TransactionBreakdown)->Arg(2)->Arg(61)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
