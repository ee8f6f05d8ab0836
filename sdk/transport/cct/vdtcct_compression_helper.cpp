#include "sdk/transport/cct/vdtcct_compression_helper.h"

#include <zlib.h>

#include <limits>

std::optional<platform::Data> VDTCCTCompressionHelper::gzippedData(const platform::Data& data) {
  if (data.empty() || data.size() > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  platform::Data out;
  out.reserve(data.size() / 4);
  std::uint8_t chunk[1024];
  int code = Z_OK;
  do {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    code = deflate(&stream, Z_FINISH);
    if (code == Z_STREAM_ERROR) break;
    out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
  } while (code == Z_OK);
  deflateEnd(&stream);
  if (code != Z_STREAM_END) return std::nullopt;
  return out;
}

bool VDTCCTCompressionHelper::isGzipped(const platform::Data& data) {
  return data.size() >= 2 && data[0] == 0x1f && data[1] == 0x8b;
}
