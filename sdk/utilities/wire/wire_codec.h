// What every nanopb message of the SDK and the local service shares: text and bytes streamed
// from memory the caller keeps alive until encoding ends, repeated sub-messages made element by
// element, the sizing-then-writing encode, and the decoding counterparts.
#pragma once

#include <pb.h>
#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

// ---- Encoding ----

// A bytes field written from the text or bytes when the message is encoded; written even when
// empty, so a field given one of these is always present.
pb_callback_t bytesField(const std::string& text);
pb_callback_t bytesField(const std::vector<std::uint8_t>& bytes);
pb_callback_t emptyBytesField();

namespace detail {
template <typename Fill>
struct FillSignature;
template <typename Item, typename Message>
struct FillSignature<void (*)(const Item&, Message&)> {
  using ItemType = Item;
  using MessageType = Message;
};

template <auto fill, typename Range>
bool encodeEach(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
  using Message = typename FillSignature<decltype(fill)>::MessageType;
  for (const auto& item : *static_cast<const Range*>(*arg)) {
    Message message{};
    fill(item, message);
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, field->submsg_desc, &message)) {
      return false;
    }
  }
  return true;
}
}  // namespace detail

// A repeated sub-message field: one element per item of `items`, in order, each message made by
// `fill(item, message)` from a zeroed message. `items` must outlive the encoding.
template <auto fill, typename Range>
pb_callback_t repeatedMessages(const Range& items) {
  pb_callback_t callback{};
  callback.funcs.encode = &detail::encodeEach<fill, Range>;
  callback.arg = const_cast<Range*>(&items);
  return callback;
}

// The encoded message: a sizing pass, then a writing pass into exactly that many bytes. An error
// is nanopb's text of the failed pass ("(none)" when it gave none), null when the pass succeeded;
// the bytes are cut to what the writing pass wrote.
struct Encoded {
  std::vector<std::uint8_t> bytes;
  const char* sizingError = nullptr;
  const char* writingError = nullptr;
};
Encoded encode(const pb_msgdesc_t* fields, const void* message);

// ---- Decoding ----

// A bytes field copied into `target` (replacing what it held); the optional one is set only when
// the field is on the wire.
pb_callback_t bytesInto(std::string& target);
pb_callback_t bytesInto(std::optional<std::string>& target);

namespace detail {
template <typename Prepare>
struct PrepareSignature;
template <typename Message, typename Item>
struct PrepareSignature<void (*)(Message&, Item&)> {
  using MessageType = Message;
  using ItemType = Item;
};

template <auto prepare, auto finish>
bool decodeEach(pb_istream_t* stream, const pb_field_t* field, void** arg) {
  using Message = typename PrepareSignature<decltype(prepare)>::MessageType;
  using Item = typename PrepareSignature<decltype(prepare)>::ItemType;
  Item item{};
  Message message{};
  prepare(message, item);
  if (!pb_decode(stream, field->submsg_desc, &message)) return false;
  finish(message, item);
  static_cast<std::vector<Item>*>(*arg)->push_back(std::move(item));
  return true;
}
}  // namespace detail

// A repeated sub-message field: each element becomes an item appended to `items`.
// `prepare(message, item)` points the zeroed message's callbacks into the item before decoding;
// `finish(message, item)` copies its other fields after.
template <auto prepare, auto finish, typename Item>
pb_callback_t messagesInto(std::vector<Item>& items) {
  pb_callback_t callback{};
  callback.funcs.decode = &detail::decodeEach<prepare, finish>;
  callback.arg = &items;
  return callback;
}

// A malloc'd bytes field of a decoded message as text; none when it was not on the wire.
std::optional<std::string> bytesOf(const pb_bytes_array_t* array);

// Decodes `bytes` into `message`, whose callbacks the caller has set. Null on success, else
// nanopb's error text ("(none)" when it gave none); a failed decode has released what it
// allocated, a successful one leaves that to the caller (pb_release).
const char* decode(const pb_msgdesc_t* fields, std::string_view bytes, void* message);

// nanopb's text of a stream's error, or "(none)".
const char* errorText(const pb_ostream_t& stream);
const char* errorText(const pb_istream_t& stream);

}  // namespace wire
