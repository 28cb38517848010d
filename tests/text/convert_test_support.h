#pragma once
// Runs one conversion and hands back its flag and bytes, for the converter tests.
#include <string>

#include "text/data_buffer.h"
#include "text/encoding_convert.h"

namespace {

inline std::string bytesOf(const DataBuffer& db) {
    return std::string(reinterpret_cast<const char*>(db.data()), db.size());
}

struct Result {
    bool ok;
    std::string out;
};

inline Result conv(unsigned from, unsigned to, const std::string& in) {
    EncodingConvert ec;
    DataBuffer out;
    bool ok = ec.convert(from, to, in.data(), static_cast<uint32_t>(in.size()), out);
    return {ok, bytesOf(out)};
}

}  // namespace
