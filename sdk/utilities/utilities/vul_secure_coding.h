// Keyed archiving with secure coding required, turning archiver exceptions into errors.
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "platform/foundation/error.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/keyed_archive.h"

inline constexpr std::string_view kVULSecureCodingErrorDomain = "VULSecureCodingError";

class VULSecureCoding {
 public:
  VULSecureCoding() = delete;

  static platform::ArchiveObject unarchivedObjectOfClasses(const platform::ClassSet& classes, const platform::Data& data,
                                                           platform::Error* error);
  static platform::ArchiveObject unarchivedObjectOfClass(std::string_view className, const platform::Data& data,
                                                         platform::Error* error);
  // None, with the error set, when the archiver raises.
  static std::optional<platform::Data> archivedDataWithRootObject(const platform::Value& object, platform::Error* error);
  static std::optional<platform::Data> archivedDataWithRootObject(const std::shared_ptr<const platform::Codable>& object,
                                                                  platform::Error* error);
  // Domain "VULSecureCodingError", code -1, the exception's name, reason and user info as the
  // failure reason.
  static platform::Error archivingErrorWithException(const platform::Exception& exception);
};
