// Property lists in either form, and keyed archives read from them: any input gives a value or an
// error, and a value read back is written again in both forms.
#include <cstddef>
#include <cstdint>

#include "platform/foundation/keyed_archive.h"
#include "platform/foundation/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  const Data bytes(data, data + size);
  Error error;
  if (auto value = PropertyList::read(bytes, &error)) {
    if (auto binary = PropertyList::write(*value, PropertyList::Format::Binary)) PropertyList::read(*binary);
    PropertyList::write(*value, PropertyList::Format::XML);
  }
  static const ClassSet kPlain{"NSDictionary", "NSArray", "NSString", "NSNumber", "NSData", "NSDate", "NSNull"};
  KeyedUnarchiver::unarchivedObjectOfClasses(kPlain, bytes, &error);
  return 0;
}
