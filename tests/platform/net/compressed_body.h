// Bodies compressed the ways a server may send them, for the response-decoding tests.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace platform::testing {

// `plain` compressed with zlib's window bits: 31 gzip, 15 zlib-wrapped deflate, -15 raw deflate.
inline std::string compressed(const std::string& plain, int windowBits) {
  std::string out(compressBound(static_cast<uLong>(plain.size())) + 32, '\0');
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
  stream.avail_in = static_cast<uInt>(plain.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}
inline std::string gzipped(const std::string& plain) { return compressed(plain, 31); }
inline std::string zlibWrapped(const std::string& plain) { return compressed(plain, 15); }
inline std::string rawDeflated(const std::string& plain) { return compressed(plain, -15); }

}  // namespace platform::testing
