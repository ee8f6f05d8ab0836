// Writes a multipart/form-data body (file parts and text values) into an output stream, counting
// the bytes the stream took.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/value.h"

namespace platform {
class OutputStream;
class URLRequest;
}  // namespace platform

class RLZMultipartMimeStreamEncoder {
 public:
  using EncodeBlock = std::function<void(RLZMultipartMimeStreamEncoder& encoder)>;

  // Runs the block on an encoder writing to memory, then gives the request the body, its
  // Content-Type and its Content-Length.
  static void populateRequest(platform::URLRequest& request, const EncodeBlock& block);
  static std::string contentTypeHTTPHeaderValueWithBoundary(std::string_view boundary);
  // A null boundary gives a generated one.
  static std::unique_ptr<RLZMultipartMimeStreamEncoder> encoderWithStream(
      std::shared_ptr<platform::OutputStream> stream, std::optional<std::string> boundary);
  static std::string generateBoundary();

  RLZMultipartMimeStreamEncoder(std::shared_ptr<platform::OutputStream> stream, std::optional<std::string> boundary);

  void encode(const EncodeBlock& block);
  std::string contentTypeHTTPHeaderValue() const { return contentTypeHTTPHeaderValueWithBoundary(boundary_); }
  std::string contentLengthHTTPHeaderValue() const { return std::to_string(length_); }
  void beginEncoding();
  void endEncoding();
  platform::Data headerData() const;
  platform::Data footerData() const;

  void addFileData(const platform::Data& data, std::string_view fileName, std::optional<std::string_view> mimeType,
                   std::string_view fieldName);
  void addFile(const std::filesystem::path& file, std::string_view fileName, std::optional<std::string_view> mimeType,
               std::string_view fieldName);
  void addValue(const platform::Value& value, std::string_view fieldName);

  bool writeBytes(const std::uint8_t* bytes, std::size_t length);
  void writeData(const platform::Data& data);

  std::uint64_t length() const { return length_; }
  const std::string& boundary() const { return boundary_; }

 private:
  bool writeText(std::string_view text);

  std::uint64_t length_ = 0;
  std::string boundary_;
  std::shared_ptr<platform::OutputStream> outputStream_;
};
