// The text as BDAT chunks carry it: chunk sizes, the last chunk marked and
// never empty, no dot-stuffing, and the count alone without a sink.
#include "mail/smtp_chunker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Chunk {
    std::string bytes;
    bool last;
};

// Writes the text in pieces of the given size, then the tail.
std::vector<Chunk> chunksOf(const std::string& text, size_t piece, const char* tail) {
    std::vector<Chunk> out;
    SmtpChunker chunker([&](const char* bytes, uint32_t n, bool last) {
        out.push_back({std::string(bytes, n), last});
        return true;
    });
    for (size_t at = 0; at < text.size(); at += piece) {
        const size_t n = std::min(piece, text.size() - at);
        EXPECT_TRUE(chunker.writeBytes(text.data() + at, static_cast<uint32_t>(n)));
    }
    EXPECT_TRUE(chunker.finish(tail));
    EXPECT_EQ(chunker.total(), text.size());
    return out;
}

std::string textOf(size_t n) {
    std::string s;
    for (size_t i = 0; s.size() < n; ++i) s += i % 7 == 0 ? "\r\n.dot\r\n" : "line\r\n";
    s.resize(n);
    return s;
}

TEST(SmtpChunker, FullChunksThenTheRestWithTheTailAsLast) {
    constexpr size_t k = SmtpChunker::kChunk;
    for (size_t piece : {size_t{1000}, size_t{4096}, k, k + 3}) {
        SCOPED_TRACE(piece);
        const std::string text = textOf(2 * k + 1);
        const std::vector<Chunk> chunks = chunksOf(text, piece, "\r\n");
        ASSERT_EQ(chunks.size(), 3u);
        EXPECT_EQ(chunks[0].bytes.size(), k);
        EXPECT_EQ(chunks[1].bytes.size(), k);
        EXPECT_EQ(chunks[2].bytes.size(), 3u);
        EXPECT_FALSE(chunks[0].last);
        EXPECT_FALSE(chunks[1].last);
        EXPECT_TRUE(chunks[2].last);
        // As it is: the lines that begin with "." keep a single one.
        EXPECT_EQ(chunks[0].bytes + chunks[1].bytes + chunks[2].bytes, text + "\r\n");
    }
}

TEST(SmtpChunker, TextOfExactlyOneChunkGoesAsTheLastOne) {
    const std::string text = textOf(SmtpChunker::kChunk);
    const std::vector<Chunk> chunks = chunksOf(text, 777, "\r\n");
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_TRUE(chunks[0].last);
    EXPECT_EQ(chunks[0].bytes, text + "\r\n");
}

TEST(SmtpChunker, EmptyTextStillEndsWithTheTail) {
    const std::vector<Chunk> chunks = chunksOf("", 1, "\r\n");
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_TRUE(chunks[0].last);
    EXPECT_EQ(chunks[0].bytes, "\r\n");
}

TEST(SmtpChunker, RefusedChunkStopsTheText) {
    int calls = 0;
    SmtpChunker chunker([&](const char*, uint32_t, bool) {
        ++calls;
        return false;
    });
    const std::string text = textOf(3 * SmtpChunker::kChunk);
    EXPECT_FALSE(chunker.writeBytes(text.data(), static_cast<uint32_t>(text.size())));
    EXPECT_EQ(calls, 1);
}

TEST(SmtpChunker, WithoutSinkOnlyCounts) {
    SmtpChunker counter;
    const std::string text = "a\r\n.b\r\n..c\r\n";
    EXPECT_TRUE(counter.writeBytes(text.data(), static_cast<uint32_t>(text.size())));
    EXPECT_TRUE(counter.finish("\r\n"));
    EXPECT_EQ(counter.total(), text.size());
}

}  // namespace
