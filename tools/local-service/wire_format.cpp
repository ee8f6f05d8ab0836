#include "tools/local-service/wire_format.h"

#include <cstdio>

namespace local_service {

namespace {

bool readVarint(std::string_view& in, std::uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (in.empty()) return false;
    const auto byte = static_cast<std::uint8_t>(in.front());
    in.remove_prefix(1);
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if (!(byte & 0x80)) return true;
  }
  return false;
}

bool readFixed(std::string_view& in, int width, std::uint64_t& value) {
  if (in.size() < static_cast<std::size_t>(width)) return false;
  value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in[i])) << (8 * i);
  in.remove_prefix(width);
  return true;
}

}  // namespace

bool readWireFields(std::string_view message, std::vector<WireField>& fields, std::string& error) {
  while (!message.empty()) {
    std::uint64_t key = 0;
    if (!readVarint(message, key)) return error = "truncated field key", false;
    WireField field;
    field.number = static_cast<std::uint32_t>(key >> 3);
    field.wireType = static_cast<int>(key & 7);
    if (field.number == 0 || (key >> 3) > 0x1fffffff) return error = "invalid field number", false;
    bool ok = false;
    switch (field.wireType) {
      case 0:
        ok = readVarint(message, field.value);
        break;
      case 1:
        ok = readFixed(message, 8, field.value);
        break;
      case 5:
        ok = readFixed(message, 4, field.value);
        break;
      case 2: {
        std::uint64_t length = 0;
        ok = readVarint(message, length) && length <= message.size();
        if (ok) {
          field.bytes = message.substr(0, length);
          message.remove_prefix(length);
        }
        break;
      }
      default:
        return error = "unsupported wire type " + std::to_string(field.wireType), false;
    }
    if (!ok) return error = "truncated field " + std::to_string(field.number), false;
    fields.push_back(field);
  }
  return true;
}

std::int64_t zigzagDecode(std::uint64_t value) {
  return static_cast<std::int64_t>(value >> 1) ^ -static_cast<std::int64_t>(value & 1);
}

void writeVarint(std::string& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

void writeVarintField(std::string& out, std::uint32_t number, std::uint64_t value) {
  writeVarint(out, static_cast<std::uint64_t>(number) << 3);
  writeVarint(out, value);
}

void writeBytesField(std::string& out, std::uint32_t number, std::string_view bytes) {
  writeVarint(out, (static_cast<std::uint64_t>(number) << 3) | 2);
  writeVarint(out, bytes.size());
  out.append(bytes);
}

std::string printableBytes(std::string_view bytes, std::size_t limit) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    }
  }
  if (bytes.size() > limit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

}  // namespace local_service
