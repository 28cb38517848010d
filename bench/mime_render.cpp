// Rendering and cloning a large message: a 20 MB binary attachment and a
// 1 MB text body. Reports output MB/s and the peak memory that render and
// clone add, as a multiple of the attachment size.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "diag/log_base.h"
#include "mime/cls_email.h"
#include "mime/email2.h"
#include "text/xstring.h"

namespace {

constexpr size_t kAttachmentBytes = 20u * 1000 * 1000;
constexpr size_t kBodyBytes = 1000 * 1000;

// Resident-set high-water mark in bytes (Linux); 0 where unknown.
size_t peakRss() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

// Makes the high-water mark start again from the current size.
void resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

struct BigMessage {
    std::string path = "/tmp/smtp_bench_attachment.bin";
    ClsEmail email;

    BigMessage() {
        std::mt19937 rng(42);
        std::string bytes(kAttachmentBytes, '\0');
        for (auto& c : bytes) c = static_cast<char>(rng());
        std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());

        std::string body;
        while (body.size() < kBodyBytes) body += "The quick brown fox jumps over the lazy dog. ";
        XString x;
        x.setFromUtf8(body.c_str());
        email.put_Body(x);
        XString to, name;
        to.setFromUtf8("someone@example.com");
        email.AddTo(name, to);
        XString file;
        file.setFromUtf8(path.c_str());
        StringBuffer type;
        email.AddFileAttachment(file, type);
    }
    ~BigMessage() { std::remove(path.c_str()); }

    Email2* tree() {
        bool created = false;
        return email.getEmailTree(created);
    }
};

BigMessage& message() {
    static BigMessage m;
    return m;
}

void BM_RenderLargeMessage(benchmark::State& state) {
    Email2* tree = message().tree();
    LogNull log;
    size_t bytes = 0;
    for (auto _ : state) {
        StringBuffer out;
        tree->assembleMime(out, nullptr, "BVX-", log);
        bytes = out.length();
        benchmark::DoNotOptimize(out.getString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes) * state.iterations());
    state.counters["output_MB"] = bytes / 1e6;
}
BENCHMARK(BM_RenderLargeMessage)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_CloneLargeMessage(benchmark::State& state) {
    Email2* tree = message().tree();
    LogNull log;
    for (auto _ : state) {
        std::unique_ptr<Email2> copy = tree->clone(log);
        benchmark::DoNotOptimize(copy.get());
    }
}
BENCHMARK(BM_CloneLargeMessage)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// One render followed by one clone, as a send does; the peak memory they add
// is reported relative to the attachment.
void BM_RenderThenClonePeakMemory(benchmark::State& state) {
    Email2* tree = message().tree();
    LogNull log;
    double ratio = 0;
    for (auto _ : state) {
        resetPeakRss();
        size_t before = peakRss();
        std::unique_ptr<Email2> copy = tree->clone(log);
        StringBuffer out;
        copy->assembleMime(out, nullptr, "BVX-", log);
        size_t after = peakRss();
        copy.reset();
        ratio = before && after > before ? double(after - before) / kAttachmentBytes : 0;
        state.counters["peak_added_MB"] = after > before ? (after - before) / 1e6 : 0;
    }
    state.counters["peak_added_x_attachment"] = ratio;
}
BENCHMARK(BM_RenderThenClonePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    // Fixed thresholds: large blocks are always mapped and given back when
    // freed, so the resident-set peak measures what render and clone hold.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
