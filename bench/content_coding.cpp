// Throughput of the body encoders on 20 MB of random bytes, in MB/s.
#include "mime/content_coding.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>

namespace {

const std::string& randomBytes() {
    static const std::string data = [] {
        std::string s(20u * 1024 * 1024, '\0');
        std::mt19937 rng(2009);
        for (char& c : s) c = static_cast<char>(rng() & 0xFF);
        return s;
    }();
    return data;
}

void reportMBps(benchmark::State& state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void BM_Base64Lines(benchmark::State& state) {
    const std::string& in = randomBytes();
    ContentCoding cc;
    for (auto _ : state) {
        StringBuffer out;
        cc.encodeBase64Lines(in.data(), static_cast<uint32_t>(in.size()), out);
        benchmark::DoNotOptimize(out.getString());
    }
    reportMBps(state, in.size());
}

void BM_QuotedPrintable(benchmark::State& state) {
    const std::string& in = randomBytes();
    ContentCoding cc;
    for (auto _ : state) {
        StringBuffer out;
        cc.encodeQuotedPrintable(in.data(), static_cast<uint32_t>(in.size()), out);
        benchmark::DoNotOptimize(out.getString());
    }
    reportMBps(state, in.size());
}

}  // namespace

BENCHMARK(BM_Base64Lines)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QuotedPrintable)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
