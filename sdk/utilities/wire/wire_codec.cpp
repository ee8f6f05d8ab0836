#include "sdk/utilities/wire/wire_codec.h"

namespace wire {

namespace {

bool writeBytes(pb_ostream_t* stream, const pb_field_t* field, const void* bytes, std::size_t size) {
  return pb_encode_tag_for_field(stream, field) &&
         pb_encode_string(stream, static_cast<const pb_byte_t*>(bytes), size);
}

template <typename Container>
bool encodeContainer(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  const auto* container = static_cast<const Container*>(*arg);
  return writeBytes(stream, field, container->data(), container->size());
}

// The substream's length was checked against the message when nanopb opened it.
bool readRest(pb_istream_t* stream, std::string& target) {
  target.resize(stream->bytes_left);
  return pb_read(stream, reinterpret_cast<pb_byte_t*>(target.data()), target.size());
}

bool decodeString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  return readRest(stream, *static_cast<std::string*>(*arg));
}

bool decodeOptionalString(pb_istream_t* stream, const pb_field_t*, void** arg) {
  return readRest(stream, static_cast<std::optional<std::string>*>(*arg)->emplace());
}

// Never destroyed: an upload on a worker may still encode an empty field while the process exits.
const std::string& kEmpty = *new std::string;

}  // namespace

pb_callback_t bytesField(const std::string& text) {
  pb_callback_t callback{};
  callback.funcs.encode = &encodeContainer<std::string>;
  callback.arg = const_cast<std::string*>(&text);
  return callback;
}

pb_callback_t bytesField(const std::vector<std::uint8_t>& bytes) {
  pb_callback_t callback{};
  callback.funcs.encode = &encodeContainer<std::vector<std::uint8_t>>;
  callback.arg = const_cast<std::vector<std::uint8_t>*>(&bytes);
  return callback;
}

pb_callback_t emptyBytesField() { return bytesField(kEmpty); }

Encoded encode(const pb_msgdesc_t* fields, const void* message) {
  Encoded encoded;
  pb_ostream_t sizing = PB_OSTREAM_SIZING;
  if (!pb_encode(&sizing, fields, message)) encoded.sizingError = errorText(sizing);
  encoded.bytes.resize(sizing.bytes_written);
  pb_ostream_t stream = pb_ostream_from_buffer(encoded.bytes.data(), encoded.bytes.size());
  if (!pb_encode(&stream, fields, message)) encoded.writingError = errorText(stream);
  encoded.bytes.resize(stream.bytes_written);
  return encoded;
}

pb_callback_t bytesInto(std::string& target) {
  pb_callback_t callback{};
  callback.funcs.decode = &decodeString;
  callback.arg = &target;
  return callback;
}

pb_callback_t bytesInto(std::optional<std::string>& target) {
  pb_callback_t callback{};
  callback.funcs.decode = &decodeOptionalString;
  callback.arg = &target;
  return callback;
}

std::optional<std::string> bytesOf(const pb_bytes_array_t* array) {
  if (!array) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(array->bytes), array->size);
}

const char* decode(const pb_msgdesc_t* fields, std::string_view bytes, void* message) {
  pb_istream_t stream = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(bytes.data()), bytes.size());
  return pb_decode(&stream, fields, message) ? nullptr : errorText(stream);
}

const char* errorText(const pb_ostream_t& stream) { return stream.errmsg ? stream.errmsg : "(none)"; }
const char* errorText(const pb_istream_t& stream) { return stream.errmsg ? stream.errmsg : "(none)"; }

}  // namespace wire
