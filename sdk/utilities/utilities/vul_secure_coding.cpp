#include "sdk/utilities/utilities/vul_secure_coding.h"

#include <string>

#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"

namespace {

template <class Root>
std::optional<platform::Data> archive(const Root& root, platform::Error* error) {
  try {
    platform::KeyedArchiver archiver(true);
    archiver.encodeObject(root, platform::kKeyedArchiveRootObjectKey);
    return archiver.encodedData();
  } catch (const platform::Exception& exception) {
    platform::setError(error, VULSecureCoding::archivingErrorWithException(exception));
    return std::nullopt;
  }
}

}  // namespace

platform::ArchiveObject VULSecureCoding::unarchivedObjectOfClasses(const platform::ClassSet& classes,
                                                                   const platform::Data& data, platform::Error* error) {
  return platform::KeyedUnarchiver::unarchivedObjectOfClasses(classes, data, error);
}

platform::ArchiveObject VULSecureCoding::unarchivedObjectOfClass(std::string_view className, const platform::Data& data,
                                                                 platform::Error* error) {
  return unarchivedObjectOfClasses(platform::ClassSet{std::string(className)}, data, error);
}

std::optional<platform::Data> VULSecureCoding::archivedDataWithRootObject(const platform::Value& object,
                                                                          platform::Error* error) {
  return archive(object, error);
}

std::optional<platform::Data> VULSecureCoding::archivedDataWithRootObject(
    const std::shared_ptr<const platform::Codable>& object, platform::Error* error) {
  return archive(object, error);
}

platform::Error VULSecureCoding::archivingErrorWithException(const platform::Exception& exception) {
  const std::string reason =
      platform::format("NSKeyedArchiver exception with name: %@, reason: %@, userInfo: %@", exception.name(),
                       exception.reason(), platform::Value(exception.userInfo()));
  return platform::Error(std::string(kVULSecureCodingErrorDomain), -1,
                         {{std::string(platform::kLocalizedFailureReasonErrorKey), platform::Value(reason)}});
}
