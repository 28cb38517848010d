// Converts 10 MB of mixed text UTF-8 -> windows-1252, UTF-8 -> shift_jis and
// shift_jis -> UTF-8 with EncodingConvert and, side by side on the same input
// in the same run, with the C library's iconv(3). Compare the bytes_per_second
// of each BM_Ours_* with its BM_Iconv_*.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "text/encoding_convert.h"

namespace {

constexpr size_t kSize = 10u << 20;

// Repeats phrases until the text is 10 MB (whole phrases only).
std::string build(const char* const* phrases, size_t count) {
    std::string s;
    s.reserve(kSize + 256);
    size_t i = 0;
    while (s.size() < kSize) {
        s += phrases[i % count];
        i = i * 7 + 3;  // vary the order a little
    }
    return s;
}

// Western European text: mostly ASCII with accented letters and typography,
// every character in windows-1252.
const std::string& latinText() {
    static const char* const phrases[] = {
        "The quick brown fox jumps over the lazy dog. ",
        "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
        "e \xE2\x80\x93 \xE2\x82\xAC"
        "12,50 ",
        "Gr\xC3\xBC\xC3\x9F"
        "e aus M\xC3\xBCnchen, \xE2\x80\x9E"
        "sch\xC3\xB6n\xE2\x80\x9C!\r\n",
        "Se\xC3\xB1or Pe\xC3\xB1"
        "a, \xC2\xBF"
        "qu\xC3\xA9 tal? ",
        "Line with plain ASCII words and numbers 0123456789.\r\n",
        "\xC3\x85ngstr\xC3\xB6m \xC3\x86\xC3\x98 \xE2\x80\xA6 \xE2\x84\xA2 ",
    };
    static const std::string s = build(phrases, sizeof phrases / sizeof phrases[0]);
    return s;
}

// Japanese text mixed with ASCII, every character in shift_jis.
const std::string& japaneseText() {
    static const char* const phrases[] = {
        "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
        "\xE3\x83\x88\xE3\x81\xA7\xE3\x81\x99\xE3\x80\x82",
        " ASCII words in between, 2024-01-01. ",
        "\xE6\x9D\xB1\xE4\xBA\xAC\xE9\x83\xBD\xE6\xB8\x8B\xE8\xB0\xB7\xE5\x8C\xBA\xE3\x80\x81"
        "\xE3\x82\xAB\xE3\x82\xBF\xE3\x82\xAB\xE3\x83\x8A\xE3\x81\xA8\xE3\x81\xB2\xE3\x82\x89"
        "\xE3\x81\x8C\xE3\x81\xAA\xE3\x80\x82\r\n",
        "\xEF\xBD\xB6\xEF\xBE\x80\xEF\xBD\xB6\xEF\xBE\x85 \xE2\x91\xA0\xE2\x85\xA0 ",
        "\xE6\xBC\xA2\xE5\xAD\x97\xE5\xA4\x89\xE6\x8F\x9B\xE3\x81\xAE\xE9\x80\x9F\xE5\xBA\xA6"
        "\xE3\x82\x92\xE6\xB8\xAC\xE3\x82\x8B\xE3\x80\x82",
    };
    static const std::string s = build(phrases, sizeof phrases / sizeof phrases[0]);
    return s;
}

const std::string& sjisText() {
    static const std::string s = [] {
        EncodingConvert ec;
        DataBuffer out;
        const std::string& in = japaneseText();
        if (!ec.convert(65001, 932, in.data(), static_cast<uint32_t>(in.size()), out)) {
            std::fprintf(stderr, "setup: not every character converted\n");
            std::abort();
        }
        return std::string(reinterpret_cast<const char*>(out.data()), out.size());
    }();
    return s;
}

void runOurs(benchmark::State& state, const std::string& in, unsigned from, unsigned to) {
    EncodingConvert ec;
    DataBuffer out;
    for (auto _ : state) {
        out.clear();
        bool ok = ec.convert(from, to, in.data(), static_cast<uint32_t>(in.size()), out);
        if (!ok) state.SkipWithError("conversion reported unmappable characters");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
    state.counters["out_bytes"] = static_cast<double>(out.size());
}

void runIconv(benchmark::State& state, const std::string& in, const char* from, const char* to) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    std::string out(in.size() * 4 + 64, '\0');
    size_t produced = 0;
    for (auto _ : state) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* ip = const_cast<char*>(in.data());
        size_t il = in.size();
        char* op = out.data();
        size_t ol = out.size();
        size_t r = iconv(cd, &ip, &il, &op, &ol);
        if (r == static_cast<size_t>(-1)) state.SkipWithError("iconv failed");
        produced = out.size() - ol;
        benchmark::DoNotOptimize(out.data());
    }
    iconv_close(cd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(in.size()));
    state.counters["out_bytes"] = static_cast<double>(produced);
}

void BM_Ours_Utf8To1252(benchmark::State& s) {
    runOurs(s, latinText(), 65001, 1252);
}
void BM_Iconv_Utf8To1252(benchmark::State& s) {
    runIconv(s, latinText(), "UTF-8", "CP1252");
}
void BM_Ours_Utf8ToShiftJis(benchmark::State& s) {
    runOurs(s, japaneseText(), 65001, 932);
}
void BM_Iconv_Utf8ToShiftJis(benchmark::State& s) {
    runIconv(s, japaneseText(), "UTF-8", "CP932");
}
void BM_Ours_ShiftJisToUtf8(benchmark::State& s) {
    runOurs(s, sjisText(), 932, 65001);
}
void BM_Iconv_ShiftJisToUtf8(benchmark::State& s) {
    runIconv(s, sjisText(), "CP932", "UTF-8");
}

}  // namespace

BENCHMARK(BM_Ours_Utf8To1252)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iconv_Utf8To1252)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_Utf8ToShiftJis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iconv_Utf8ToShiftJis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours_ShiftJisToUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Iconv_ShiftJisToUtf8)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
