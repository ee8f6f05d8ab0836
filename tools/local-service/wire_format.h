// A reader and writer of the protobuf wire format that knows no schema, so that the service reads
// what clients send independently of the encoders that wrote it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace local_service {

struct WireField {
  std::uint32_t number = 0;
  int wireType = 0;            // 0 varint, 1 64-bit, 2 length-delimited, 5 32-bit
  std::uint64_t value = 0;     // varint and fixed-width values
  std::string_view bytes;      // length-delimited content
};

// Every field of a message, in wire order; false with `error` set for malformed input.
bool readWireFields(std::string_view message, std::vector<WireField>& fields, std::string& error);

std::int64_t zigzagDecode(std::uint64_t value);

void writeVarint(std::string& out, std::uint64_t value);
void writeVarintField(std::string& out, std::uint32_t number, std::uint64_t value);
void writeBytesField(std::string& out, std::uint32_t number, std::string_view bytes);

// Printable text: ASCII as it is, other bytes as \xNN; longer input is cut to `limit` bytes.
std::string printableBytes(std::string_view bytes, std::size_t limit = 96);

}  // namespace local_service
