#include "sdk/crash/network/rlz_multipart_mime_stream_encoder.h"

#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/output_stream.h"
#include "platform/foundation/uuid.h"
#include "platform/net/url_session.h"
#include "sdk/crash/launch/rlz_logging.h"
#include "sdk/crash/launch/rlz_utilities.h"

namespace {

// One attached file, as large as a report file may be.
constexpr std::uint64_t kRLZMaxAttachedFileBytes = std::uint64_t{8} << 20;

platform::Data bytesOf(std::string_view text) { return platform::Data(text.begin(), text.end()); }

}  // namespace

void RLZMultipartMimeStreamEncoder::populateRequest(platform::URLRequest& request, const EncodeBlock& block) {
  const std::string boundary = generateBoundary();
  auto stream = platform::OutputStream::outputStreamToMemory();
  RLZMultipartMimeStreamEncoder encoder(stream, boundary);
  encoder.encode(block);
  request.setValueForHTTPHeaderField(encoder.contentTypeHTTPHeaderValue(), "Content-Type");
  request.setValueForHTTPHeaderField(encoder.contentLengthHTTPHeaderValue(), "Content-Length");
  request.setHTTPBody(stream->dataWrittenToMemory());
}

std::string RLZMultipartMimeStreamEncoder::contentTypeHTTPHeaderValueWithBoundary(std::string_view boundary) {
  return platform::format("multipart/form-data; boundary=%@", boundary);
}

std::unique_ptr<RLZMultipartMimeStreamEncoder> RLZMultipartMimeStreamEncoder::encoderWithStream(
    std::shared_ptr<platform::OutputStream> stream, std::optional<std::string> boundary) {
  return std::make_unique<RLZMultipartMimeStreamEncoder>(std::move(stream), std::move(boundary));
}

std::string RLZMultipartMimeStreamEncoder::generateBoundary() { return platform::UUID().UUIDString(); }

RLZMultipartMimeStreamEncoder::RLZMultipartMimeStreamEncoder(std::shared_ptr<platform::OutputStream> stream,
                                                             std::optional<std::string> boundary)
    : boundary_(boundary ? std::move(*boundary) : generateBoundary()), outputStream_(std::move(stream)) {}

void RLZMultipartMimeStreamEncoder::encode(const EncodeBlock& block) {
  beginEncoding();
  if (block) block(*this);
  endEncoding();
}

platform::Data RLZMultipartMimeStreamEncoder::headerData() const { return bytesOf("MIME-Version: 1.0\r\n"); }

platform::Data RLZMultipartMimeStreamEncoder::footerData() const {
  return bytesOf(platform::format("--%@--\r\n", boundary_));
}

void RLZMultipartMimeStreamEncoder::beginEncoding() {
  length_ = 0;
  outputStream_->open();
  writeData(headerData());
}

void RLZMultipartMimeStreamEncoder::endEncoding() {
  writeData(footerData());
  outputStream_->close();
}

void RLZMultipartMimeStreamEncoder::addFileData(const platform::Data& data, std::string_view fileName,
                                                std::optional<std::string_view> mimeType,
                                                std::string_view fieldName) {
  if (data.empty()) {
    RLZErrorLog("Unable to MIME encode data with zero length (%@)", fieldName);
    return;
  }
  if (fieldName.empty() || fileName.empty()) {
    RLZErrorLog("name (%@) or fieldname (%@) is invalid", fieldName, fileName);
    return;
  }
  writeText(platform::format("--%@\r\nContent-Disposition: form-data; name=\"%@\"; filename=\"%@\"\r\n", boundary_,
                             fieldName, fileName));
  if (mimeType) {
    writeText(platform::format("Content-Type: %@\r\n", *mimeType));
    writeText("Content-Transfer-Encoding: binary\r\n\r\n");
  } else {
    writeText("Content-Type: application/octet-stream\r\n\r\n");
  }
  writeData(data);
  writeText("\r\n");
}

void RLZMultipartMimeStreamEncoder::addFile(const std::filesystem::path& file, std::string_view fileName,
                                            std::optional<std::string_view> mimeType, std::string_view fieldName) {
  platform::Error error;
  const auto data = platform::FileManager::defaultManager().contentsOfRegularFileNoLargerThan(
      file, kRLZMaxAttachedFileBytes, &error);
  if (!data) RLZErrorLog("Cannot attach %@; the part is sent empty: %@", file.string(), error.description());
  addFileData(data.value_or(platform::Data{}), fileName, mimeType, fieldName);
}

void RLZMultipartMimeStreamEncoder::addValue(const platform::Value& value, std::string_view fieldName) {
  if (value.isNull() || fieldName.empty()) {
    RLZErrorLog("name (%@) or value (%@) is invalid", fieldName, value);
    return;
  }
  writeText(platform::format("--%@\r\nContent-Disposition: form-data; name=\"%@\"\r\n", boundary_, fieldName));
  writeText("Content-Type: text/plain\r\n\r\n");
  writeText(platform::format("%@\r\n", value));
}

bool RLZMultipartMimeStreamEncoder::writeBytes(const std::uint8_t* bytes, std::size_t length) {
  const long written = outputStream_->write(bytes, length);
  if (written < 0 || static_cast<std::size_t>(written) != length) {
    RLZErrorLog("Failed to write bytes to stream");
    return false;
  }
  length_ += length;
  return true;
}

void RLZMultipartMimeStreamEncoder::writeData(const platform::Data& data) {
  RLZEnumerateByteRangesOfNSDataUsingBlock(data, [&](const std::uint8_t* bytes, std::size_t length, bool* stop) {
    const long written = outputStream_->write(bytes, length);
    if (written < 0 || static_cast<std::size_t>(written) != length) {
      RLZErrorLog("Failed to write data to stream");
      *stop = true;
      return;
    }
    length_ += length;
  });
}

bool RLZMultipartMimeStreamEncoder::writeText(std::string_view text) {
  return writeBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}
