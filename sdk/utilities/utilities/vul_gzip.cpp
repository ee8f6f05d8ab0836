#include "sdk/utilities/utilities/vul_gzip.h"

#include <zlib.h>

#include <limits>

namespace {

constexpr std::size_t kChunk = 1024;
constexpr std::uint64_t kLargestInput = std::numeric_limits<std::uint32_t>::max();

platform::Error zlibError(int status, const char* message = nullptr) {
  platform::Value::Dictionary info;
  info[std::string(kVULNSDataZlibErrorKey)] = static_cast<std::int64_t>(status);
  if (message) info[std::string(platform::kLocalizedDescriptionKey)] = std::string(message);
  return platform::Error(std::string(kVULNSDataZlibErrorDomain), VULNSDataZlibErrorInternal, std::move(info));
}

// Offers zlib at least a chunk of room at the end of `out` (short of `capacity`); the whole spare
// capacity when there is more, so large outputs do not pay one call per kilobyte.
void offerRoom(z_stream& stream, platform::Data& out, std::size_t& used,
               std::size_t capacity = std::numeric_limits<std::size_t>::max()) {
  if (out.size() - used < kChunk) out.resize(std::min(std::max(used + kChunk, out.size() * 2), capacity));
  stream.next_out = out.data() + used;
  stream.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - used, std::numeric_limits<uInt>::max()));
}

// A gzip trailer states the expanded size (modulo 4 GiB): one buffer of that size saves growing
// and copying. Other data, or a stated size beyond a sane bound for the input, gets four times
// the input.
std::size_t initialInflateSize(const platform::Data& data) {
  constexpr std::size_t kLargestGuess = 64u << 20;
  const std::size_t guess = std::min(data.size() * 4, kLargestGuess);
  if (data.size() < 18 || data[0] != 0x1f || data[1] != 0x8b) return guess;
  const std::uint8_t* trailer = data.data() + data.size() - 4;
  const std::size_t stated = trailer[0] | (trailer[1] << 8) | (trailer[2] << 16) | (std::size_t{trailer[3]} << 24);
  // Deflate expands at most about 1032 to 1.
  if (stated > kLargestGuess || stated > data.size() * 1032) return guess;
  return stated + 1;  // one spare byte lets zlib report the end without a further call
}

}  // namespace

namespace VULGzip {

std::optional<platform::Data> vul_dataByGzippingData(const platform::Data& data, platform::Error* error) {
  if (data.empty()) return std::nullopt;
  if (data.size() > kLargestInput) {
    platform::setError(error, platform::Error(std::string(kVULNSDataZlibErrorDomain),
                                              VULNSDataZlibErrorGreaterThan32BitsToCompress));
    return std::nullopt;
  }
  z_stream stream{};
  int status = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  if (status != Z_OK) {
    platform::setError(error, zlibError(status));
    return std::nullopt;
  }
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  platform::Data out(std::max<std::size_t>(data.size() / 4, kChunk));
  std::size_t used = 0;
  for (;;) {
    offerRoom(stream, out, used);
    const uInt offered = stream.avail_out;
    status = deflate(&stream, Z_FINISH);
    if (status != Z_OK && status != Z_STREAM_END) {
      deflateEnd(&stream);
      platform::setError(error, zlibError(status));
      return std::nullopt;
    }
    used += offered - stream.avail_out;
    if (status == Z_STREAM_END) break;
  }
  deflateEnd(&stream);
  out.resize(used);
  return out;
}

std::optional<platform::Data> vul_dataByInflatingGzippedData(const platform::Data& data, platform::Error* error,
                                                             std::size_t maximumLength) {
  if (data.empty() || data.size() > kLargestInput) return std::nullopt;
  z_stream stream{};
  int status = inflateInit2(&stream, 47);
  if (status != Z_OK) {
    platform::setError(error, zlibError(status));
    return std::nullopt;
  }
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  // One byte past the limit shows that the data does not fit.
  const std::size_t capacity = maximumLength == std::numeric_limits<std::size_t>::max() ? maximumLength
                                                                                        : maximumLength + 1;
  platform::Data out(std::min(std::max(initialInflateSize(data), kChunk), capacity));
  std::size_t used = 0;
  for (;;) {
    offerRoom(stream, out, used, capacity);
    const uInt offered = stream.avail_out;
    // A stream cut short makes no progress on the next call: zlib answers Z_BUF_ERROR.
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      platform::setError(error, zlibError(status, stream.msg));
      inflateEnd(&stream);
      return std::nullopt;
    }
    used += offered - stream.avail_out;
    if (used > maximumLength) {
      inflateEnd(&stream);
      platform::Value::Dictionary info;
      info[std::string(platform::kLocalizedDescriptionKey)] =
          "The expanded data is longer than " + std::to_string(maximumLength) + " bytes.";
      platform::setError(error, platform::Error(std::string(kVULNSDataZlibErrorDomain),
                                                VULNSDataZlibErrorGreaterThanLimitToInflate, std::move(info)));
      return std::nullopt;
    }
    if (status == Z_STREAM_END) break;
  }
  const uInt remaining = stream.avail_in;
  inflateEnd(&stream);
  if (remaining > 0) {
    platform::Value::Dictionary info;
    info[std::string(kVULNSDataZlibRemainingBytesKey)] = static_cast<std::int64_t>(remaining);
    platform::setError(error, platform::Error(std::string(kVULNSDataZlibErrorDomain),
                                              VULNSDataZlibErrorDataRemaining, std::move(info)));
    return std::nullopt;
  }
  out.resize(used);
  return out;
}

}  // namespace VULGzip
