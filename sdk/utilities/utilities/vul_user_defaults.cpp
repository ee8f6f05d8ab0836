#include "sdk/utilities/utilities/vul_user_defaults.h"

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/user_defaults.h"
#include "sdk/utilities/utilities/vul_logger.h"

using platform::Value;

namespace {

constexpr std::string_view kUtilitiesService = "<VidezuUtilities>";
constexpr std::string_view kUserDefaultsService = "[VidezuUtilities/UserDefaults]";
constexpr double kSynchronizeDelaySeconds = 1.0;

}  // namespace

std::shared_ptr<VULUserDefaults> VULUserDefaults::standardUserDefaults() {
  // Never destroyed: a worker may still read or write defaults while the process exits.
  static const auto* const shared = new std::shared_ptr<VULUserDefaults>(initWithSuiteName(std::nullopt));
  return *shared;
}

std::shared_ptr<VULUserDefaults> VULUserDefaults::initWithSuiteName(std::optional<std::string_view> suiteName) {
  auto domain = suiteName && !suiteName->empty() ? platform::UserDefaults::suite(*suiteName)
                                                 : platform::UserDefaults::standard();
  // A name the platform cannot keep as a file falls back on the app's own domain rather than
  // losing every write.
  if (!domain) domain = platform::UserDefaults::standard();
  return std::make_shared<VULUserDefaults>(Private{}, std::move(domain));
}

VULUserDefaults::VULUserDefaults(Private, std::shared_ptr<platform::UserDefaults> domain)
    : domain_(std::move(domain)),
      syncQueue_(platform::DispatchQueue::serial("com.vul.UserDefaults.synchronize")),
      generation_(std::make_shared<std::atomic<std::uint64_t>>(0)) {}

VULUserDefaults::~VULUserDefaults() {
  // Cancels the pending flush; the platform's own schedule still saves the values.
  generation_->fetch_add(1);
}

const std::string& VULUserDefaults::suiteName() const { return domain_->suiteName(); }

Value VULUserDefaults::objectForKey(std::string_view key) const {
  if (key.empty()) {
    VULLoggerLogWarning(kUtilitiesService, false, "I-VUL000001", "Cannot get object for invalid user default key.");
    return Value();
  }
  return domain_->objectForKey(key);
}

void VULUserDefaults::setObject(const Value& value, std::string_view key) {
  if (key.empty()) {
    VULLoggerLogWarning(kUserDefaultsService, false, "I-VUL000002", "Cannot set object for invalid user default key.");
    return;
  }
  if (!domain_->setObject(value, key)) {
    VULLoggerLogWarning(kUserDefaultsService, false, "I-VUL000003",
                        "Cannot set invalid object to user defaults. Must be a string, number, array, dictionary, "
                        "date, or data. Value: %@",
                        value);
    return;
  }
  scheduleSynchronize();
}

void VULUserDefaults::synchronize() {
  if (!domain_->synchronize()) {
    VULLoggerLogWarning(kUserDefaultsService, false, "I-VUL000004", "Cannot synchronize user defaults to disk");
  }
}

void VULUserDefaults::scheduleSynchronize() {
  const std::uint64_t mine = generation_->fetch_add(1) + 1;
  std::weak_ptr<VULUserDefaults> weakSelf = weak_from_this();
  syncQueue_->after(kSynchronizeDelaySeconds, [weakSelf, generation = generation_, mine] {
    if (generation->load() != mine) return;
    if (auto self = weakSelf.lock()) self->synchronize();
  });
}
