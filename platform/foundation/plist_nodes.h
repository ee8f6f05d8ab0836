// Shared by the property-list reader/writer and the keyed archiver: guarded parsing into libplist
// nodes and conversion of single nodes. Not for use outside platform/foundation.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/error.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/value.h"

namespace platform::PlistNodes {

// libplist's node handle is an untyped pointer; owning it through this frees it with plist_free.
struct NodeDeleter {
  void operator()(void* node) const;
};
using Node = std::unique_ptr<void, NodeDeleter>;

// Deeper nesting is refused before libplist, whose reader recurses, sees the bytes.
inline constexpr std::size_t kMaxDepth = 512;

// Checks a binary property list's trailer, offset table and object graph (cycles, nesting deeper
// than `limit`, runaway sharing, dictionary keys that are not sound strings) before any decoder
// sees it.
bool binaryGraphSound(const Data& bytes, std::size_t limit, std::string* why);
// The binary format by our own bounded reader and writer: dates keep their exact double.
std::optional<Value> readBinary(const Data& bytes, std::string* why);
std::optional<Data> writeBinary(const Value& value, std::string* why);

// Parses either format after checking size, nesting depth and (binary) the object graph, so
// that no input can crash or exhaust the reader. Errors are Cocoa 3840.
Node parse(const Data& bytes, Error* error, PropertyList::Format* detected);

// The Value of a scalar node (bool, integer, real, string, data, date); none for containers,
// UIDs, keys and strings that are not UTF-8.
std::optional<Value> scalarValue(void* node);
// A node for a scalar Value (not null, array or dictionary). A string with a NUL or invalid
// UTF-8, or a date out of the format's range, gives null and a description in `why`. Dates are
// rounded to the whole second, the precision of the XML form.
Node scalarNode(const Value& value, std::string* why);

// The XML form writes an object reference as the dictionary {"CF$UID": <integer>}: turns each
// such dictionary below `node` into the reference node the binary form reads as.
void resolveXMLReferences(void* node);

// Whole trees, with the depth bound; `why` explains a refusal.
std::optional<Value> toValue(void* node, std::size_t depth, std::string* why);
Node fromValue(const Value& value, std::size_t depth, std::string* why);
}  // namespace platform::PlistNodes
