#include "sdk/analytics/engine/apm_kept_writes_journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <string_view>
#include <system_error>

#include "platform/foundation/data_encoding.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/json.h"
#include "platform/security/digest.h"
#include "sdk/analytics/common/apm_data_type_validator.h"
#include "sdk/analytics/common/apm_user_attribute.h"
#include "sdk/analytics/common/apm_value.h"
#include "sdk/analytics/engine/apm_conditional_user_property_controller.h"
#include "sdk/analytics/events/apm_event.h"
#include "sdk/analytics/messages/apmpb_messages.h"
#include "sdk/analytics/storage/apm_event_params.h"
#include "sdk/analytics/storage/apm_storage_paths.h"

namespace {

namespace fs = std::filesystem;
using Dictionary = platform::Value::Dictionary;

constexpr std::string_view kMagic = "kept-writes 1 ";
// A record is a flat dictionary whose parameters hold at most item arrays of flat dictionaries.
constexpr std::size_t kMaxRecordDepth = 8;

std::string digestOf(std::string_view body) {
  const auto digest = platform::Digest::sha1(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
  return platform::DataEncoding::hexEncode(digest);
}

std::optional<std::size_t> parseCount(std::string_view text) {
  std::size_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The JSON reader bounds nesting far above what a record needs; a record is refused before it
// is parsed when its brackets nest deeper than any record can.
bool nestsWithin(std::string_view line, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : line) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > limit) return false;
    } else if ((c == '}' || c == ']') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// A value as the journal keeps it: its kind tagged, so an integer stays an integer.
platform::Value journalValue(const APMValue& value) {
  if (value.isDouble()) return platform::Value(Dictionary{{"d", platform::Value(value.doubleValue())}});
  if (value.isInt64()) return platform::Value(Dictionary{{"i", platform::Value(value.int64Value())}});
  if (const std::string* text = value.stringValue()) return platform::Value(Dictionary{{"s", platform::Value(*text)}});
  platform::Value::Array items;
  if (const APMArray* elements = value.arrayValue()) {
    for (const APMObject& element : *elements) {
      Dictionary item;
      for (const auto& [name, object] : element.dictionaryEntries()) {
        const APMValuePtr* itemValue = object.apmValue();
        if (itemValue && *itemValue && !(*itemValue)->isArray()) item[name] = journalValue(**itemValue);
      }
      items.emplace_back(std::move(item));
    }
  }
  return platform::Value(Dictionary{{"a", platform::Value(std::move(items))}});
}

std::optional<double> number(const platform::Value& value) {
  if (!value.isNumber() || value.isBool()) return std::nullopt;
  const double result = value.doubleValue();
  if (!std::isfinite(result)) return std::nullopt;
  return result;
}

APMValuePtr valueFromJournal(const platform::Value& value, bool allowArray) {
  const Dictionary* tagged = value.ifDictionary();
  if (!tagged || tagged->size() != 1) return nullptr;
  const auto& [tag, payload] = *tagged->begin();
  if (tag == "d") {
    const auto d = number(payload);
    return d ? APMValue::initWithDouble(*d) : nullptr;
  }
  if (tag == "i") {
    if (const std::int64_t* i = payload.ifInteger()) return APMValue::initWithInt64(*i);
    const std::uint64_t* u = payload.ifUnsigned();
    if (u && *u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return APMValue::initWithInt64(static_cast<std::int64_t>(*u));
    }
    return nullptr;
  }
  if (tag == "s") {
    const std::string* text = payload.ifString();
    return text ? APMValue::initWithString(*text) : nullptr;
  }
  if (tag == "a" && allowArray) {
    const platform::Value::Array* items = payload.ifArray();
    if (!items) return nullptr;
    APMArray elements;
    for (const platform::Value& item : *items) {
      const Dictionary* entries = item.ifDictionary();
      if (!entries) return nullptr;
      APMDictionary element;
      for (const auto& [name, itemValue] : *entries) {
        APMValuePtr decoded = valueFromJournal(itemValue, false);
        if (!decoded) return nullptr;
        element[name] = APMObject(decoded);
      }
      elements.emplace_back(std::move(element));
    }
    return APMValue::initWithValueType(APMValue::Type::Array, std::make_shared<const APMArray>(std::move(elements)));
  }
  return nullptr;
}

}  // namespace

std::string APMKeptWritesJournalPath(const std::string& databaseName) {
  // Not "-journal": that name beside a database is the store's own rollback journal.
  return APMMeasurementFilePath(databaseName + ".kept");
}

std::string APMKeptWritesJournalPathOfRun(const std::string& databaseName, const std::string& runID) {
  return APMKeptWritesJournalPath(databaseName) + "." + runID;
}

std::optional<std::string> APMKeptWriteJournalLine(const Dictionary& record) {
  auto line = platform::JSON::serialize(platform::Value(record));
  if (!line || line->find('\n') != std::string::npos) return std::nullopt;
  return line;
}

bool APMWriteKeptWritesJournal(const std::string& path, const std::vector<const std::string*>& lines,
                               std::size_t& written, platform::Error* error) {
  written = 0;
  std::string body;
  // Room for the header: the magic, two numbers and the digest.
  const std::size_t limit = kAPMMaxKeptWritesJournalBytes - 128;
  for (const std::string* line : lines) {
    if (!line || body.size() + line->size() + 1 > limit) break;
    body.append(*line).push_back('\n');
    ++written;
  }
  if (written == 0) return APMRemoveKeptWritesJournal(path, error);
  std::string text(kMagic);
  text.append(std::to_string(written)).push_back(' ');
  text.append(digestOf(body)).push_back('\n');
  text.append(body);
  if (platform::FileManager::defaultManager().writeAtomically(path, std::string_view(text), 0600, error)) return true;
  written = 0;
  return false;
}

APMKeptWritesJournalContents APMReadKeptWritesJournal(const std::string& path) {
  APMKeptWritesJournalContents contents;
  platform::Error error;
  const auto bytes =
      platform::FileManager::defaultManager().contentsOfRegularFileNoLargerThan(path, kAPMMaxKeptWritesJournalBytes, &error);
  if (!bytes) {
    const int err = error.underlyingError() ? static_cast<int>(error.underlyingError()->code()) : 0;
    if (err == ENOENT) return contents;
    // Too large to be one the engine wrote: damaged. Anything else (a lock, the disk, a link or
    // a directory in its place) says nothing about the records, which stay where they are.
    if (err == EFBIG) {
      contents.state = APMKeptWritesJournalContents::State::damaged;
      return contents;
    }
    contents.state = APMKeptWritesJournalContents::State::unreadable;
    contents.error = error;
    return contents;
  }
  return APMParseKeptWritesJournal(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

APMKeptWritesJournalContents APMParseKeptWritesJournal(std::string_view text) {
  APMKeptWritesJournalContents contents;
  const auto headerEnd = text.find('\n');
  const std::string_view body = headerEnd == std::string_view::npos ? std::string_view() : text.substr(headerEnd + 1);
  std::size_t lines = 0;
  for (const char c : body) lines += c == '\n';
  contents.state = APMKeptWritesJournalContents::State::damaged;
  contents.damagedRecords = lines;
  if (headerEnd == std::string_view::npos || !text.starts_with(kMagic)) return contents;
  const std::string_view header = text.substr(kMagic.size(), headerEnd - kMagic.size());
  const auto space = header.find(' ');
  if (space == std::string_view::npos) return contents;
  const auto count = parseCount(header.substr(0, space));
  if (!count) return contents;
  contents.damagedRecords = std::max(lines, *count);
  if (header.substr(space + 1) != digestOf(body) || *count != lines) return contents;

  contents.state = APMKeptWritesJournalContents::State::read;
  contents.damagedRecords = 0;
  std::size_t start = 0;
  while (start < body.size()) {
    const std::size_t end = body.find('\n', start);
    // Every record the header counts ends its line: what follows the last line break is none.
    if (end == std::string_view::npos) {
      ++contents.damagedRecords;
      break;
    }
    const std::string_view line = body.substr(start, end - start);
    start = end + 1;
    std::optional<platform::Value> record;
    if (nestsWithin(line, kMaxRecordDepth)) record = platform::JSON::parse(line);
    const Dictionary* fields = record ? record->ifDictionary() : nullptr;
    if (!fields || !APMKeptWriteRecordString(*fields, "id") || !APMKeptWriteRecordString(*fields, "k")) {
      ++contents.damagedRecords;
      continue;
    }
    contents.records.push_back(*fields);
  }
  return contents;
}

bool APMSetAsideKeptWritesJournal(const std::string& path, platform::Error* error) {
  std::error_code ec;
  fs::rename(path, path + ".damaged", ec);
  if (!ec || ec == std::errc::no_such_file_or_directory) return true;
  if (error) *error = platform::fileError(512, path, ec.value());
  return false;
}

bool APMRemoveKeptWritesJournal(const std::string& path, platform::Error* error) {
  std::error_code ec;
  if (fs::remove(path, ec) || !ec) return true;
  if (error) *error = platform::fileError(512, path, ec.value());
  return false;
}

// ---- the journals of the runs that share a home ----

namespace {

constexpr std::string_view kLockSuffix = ".lock";

std::string leafOf(const std::string& path) { return fs::path(path).filename().string(); }

// Which journal a name in the folder belongs to (the journal itself, its lock or a temporary file
// of its write), by the journal's file name; nothing for any other name.
std::optional<std::string> journalNamed(std::string_view name, std::string_view baseName) {
  auto isJournal = [&](std::string_view candidate) {
    if (candidate == baseName) return true;
    if (!candidate.starts_with(baseName) || candidate.size() <= baseName.size() + 1 ||
        candidate[baseName.size()] != '.') {
      return false;
    }
    // A run's ID is a UUID's text: nothing else beside the journal (a link's target, a copy) is
    // taken for a journal.
    const std::string_view run = candidate.substr(baseName.size() + 1);
    if (run.size() != 36) return false;
    for (std::size_t i = 0; i < run.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      if (dash ? run[i] != '-' : !std::isxdigit(static_cast<unsigned char>(run[i]))) return false;
    }
    return true;
  };
  if (isJournal(name)) return std::string(name);
  if (name.ends_with(kLockSuffix) && isJournal(name.substr(0, name.size() - kLockSuffix.size()))) {
    return std::string(name.substr(0, name.size() - kLockSuffix.size()));
  }
  if (auto target = platform::FileManager::targetOfTemporaryName(name); target && isJournal(*target)) return target;
  return std::nullopt;
}

std::int64_t modifiedNanoseconds(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
}

}  // namespace

APMKeptWritesJournals::APMKeptWritesJournals(std::string databaseName, std::string runID)
    : directory_(fs::path(APMKeptWritesJournalPath(databaseName)).parent_path().string()),
      baseName_(leafOf(APMKeptWritesJournalPath(databaseName))),
      ownPath_(APMKeptWritesJournalPathOfRun(databaseName, runID)) {}

// A process's locks go with it; one torn down before (a test's engine) gives them back.
APMKeptWritesJournals::~APMKeptWritesJournals() {
  if (own_) release(*own_, false);
  for (Held& held : claimed_) release(held, false);
}

std::optional<APMKeptWritesJournals::Held> APMKeptWritesJournals::tryLock(const std::string& journal,
                                                                          int attempts) const {
  const std::string lockPath = journal + std::string(kLockSuffix);
  // A claimer may remove a lock file between our open and our lock: the lock is ours only while
  // the path still names the file we locked.
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) ::usleep(1000);
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return std::nullopt;
    struct stat locked {};
    if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
      ::close(fd);
      return std::nullopt;
    }
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd);
      continue;
    }
    struct stat named {};
    if (::lstat(lockPath.c_str(), &named) == 0 && named.st_dev == locked.st_dev && named.st_ino == locked.st_ino) {
      return Held{journal, fd};
    }
    ::close(fd);
  }
  return std::nullopt;
}

void APMKeptWritesJournals::release(Held& held, bool removeLockFile) {
  if (held.fd < 0) return;
  if (removeLockFile) ::unlink((held.journal + std::string(kLockSuffix)).c_str());
  ::close(held.fd);
  held.fd = -1;
}

APMKeptWritesJournals::Found APMKeptWritesJournals::claimJournalsOfEndedRuns() {
  Found found;
  auto& files = platform::FileManager::defaultManager();
  const auto names = files.contentsOfDirectory(directory_);
  if (!names) return found;
  const fs::path directory(directory_);
  std::set<std::string> journals;
  for (const auto& name : *names) {
    if (auto journal = journalNamed(name, baseName_)) journals.insert(std::move(*journal));
  }
  std::vector<std::pair<Held, std::int64_t>> taken;
  for (const auto& journal : journals) {
    const std::string path = (directory / journal).string();
    if (path == ownPath_ || std::any_of(claimed_.begin(), claimed_.end(), [&](const Held& held) { return held.journal == path; })) {
      continue;
    }
    auto held = tryLock(path, 1);
    if (!held) continue;  // its run is still going
    // Its run ended: a temporary file left by a write it was killed in is no journal.
    for (const auto& name : *names) {
      if (!platform::FileManager::isTemporaryNameFor(name, path)) continue;
      const fs::path stale = directory / name;
      struct stat st {};
      if (::lstat(stale.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(stale.c_str());
    }
    taken.emplace_back(std::move(*held), modifiedNanoseconds(path));
  }
  std::stable_sort(taken.begin(), taken.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  using State = APMKeptWritesJournalContents::State;
  for (auto& [held, modified] : taken) {
    Journal journal{held.journal, APMReadKeptWritesJournal(held.journal)};
    switch (journal.contents.state) {
      case State::missing:
        release(held, true);
        break;
      case State::unreadable:
        release(held, false);
        found.unreadable.push_back(std::move(journal));
        break;
      case State::damaged: {
        const bool setAside = APMSetAsideKeptWritesJournal(held.journal, &journal.contents.error);
        release(held, setAside);
        (setAside ? found.setAside : found.damagedInPlace).push_back(std::move(journal));
        break;
      }
      case State::read:
        claimed_.push_back(held);
        found.claimed.push_back(std::move(journal));
        break;
    }
  }
  return found;
}

bool APMKeptWritesJournals::writeOwn(const std::vector<const std::string*>& lines, std::size_t& written,
                                     platform::Error* error) {
  written = 0;
  if (lines.empty()) return removeOwn(error);
  if (!own_) {
    // Only a claimer looking at a lock file this run just made can hold it, and for a moment.
    own_ = tryLock(ownPath_, 50);
    if (!own_) {
      if (error) *error = platform::fileError(512, ownPath_ + std::string(kLockSuffix), EWOULDBLOCK);
      return false;
    }
  }
  return APMWriteKeptWritesJournal(ownPath_, lines, written, error);
}

bool APMKeptWritesJournals::removeOwn(platform::Error* error) {
  if (!APMRemoveKeptWritesJournal(ownPath_, error)) return false;
  if (own_) {
    release(*own_, true);
    own_.reset();
  }
  return true;
}

bool APMKeptWritesJournals::removeClaimed(platform::Error* error) {
  std::vector<Held> left;
  for (Held& held : claimed_) {
    if (APMRemoveKeptWritesJournal(held.journal, error)) {
      release(held, true);
    } else {
      left.push_back(held);
    }
  }
  claimed_ = std::move(left);
  return claimed_.empty();
}

Dictionary APMKeptWriteRecordForEvent(const APMEvent& event) {
  Dictionary parameters;
  for (const auto& [name, object] : event.parameters()) {
    const APMValuePtr* value = object.apmValue();
    if (value && *value) parameters[name] = journalValue(**value);
  }
  return {{"o", platform::Value(event.origin())},
          {"n", platform::Value(event.name())},
          {"t", platform::Value(event.timestamp())},
          {"pt", platform::Value(event.previousTimestamp())},
          {"p", platform::Value(std::move(parameters))}};
}

std::shared_ptr<APMEvent> APMEventFromKeptWriteRecord(const Dictionary& record) {
  const std::string* origin = APMKeptWriteRecordString(record, "o");
  const std::string* name = APMKeptWriteRecordString(record, "n");
  const auto t = record.find("t");
  const auto pt = record.find("pt");
  const auto p = record.find("p");
  if (!origin || !name || t == record.end() || pt == record.end() || p == record.end()) return nullptr;
  const auto timestamp = number(t->second);
  const auto previous = number(pt->second);
  const Dictionary* stored = p->second.ifDictionary();
  if (!timestamp || !previous || !stored) return nullptr;
  APMDictionary parameters;
  for (const auto& [parameterName, value] : *stored) {
    APMValuePtr decoded = valueFromJournal(value, true);
    if (!decoded) return nullptr;
    parameters[parameterName] = APMObject(decoded);
  }
  // Checked again as at logging; internal names pass, as the event had passed once already.
  return APMEvent::initWithOrigin(*origin, false, *name, *timestamp, *previous, parameters);
}

Dictionary APMKeptWriteRecordForUserAttribute(const APMUserAttribute& attribute) {
  Dictionary record{{"o", platform::Value(attribute.origin())},
                    {"n", platform::Value(attribute.name())},
                    {"t", platform::Value(attribute.lastSetTimestamp())}};
  if (attribute.value()) record["v"] = journalValue(*attribute.value());
  return record;
}

std::shared_ptr<const APMUserAttribute> APMUserAttributeFromKeptWriteRecord(const Dictionary& record) {
  const std::string* origin = APMKeptWriteRecordString(record, "o");
  const std::string* name = APMKeptWriteRecordString(record, "n");
  const auto t = record.find("t");
  const auto v = record.find("v");
  if (!origin || !name || t == record.end() || v == record.end()) return nullptr;
  const auto timestamp = number(t->second);
  APMValuePtr value = valueFromJournal(v->second, false);
  if (!timestamp || !value) return nullptr;
  return APMUserAttribute::initWithOrigin(*origin, *name, value, *timestamp);
}

namespace {

// The events a conditional property logs on its changes of state, as their stored bytes.
constexpr std::pair<const char*, std::shared_ptr<APMPBEvent> APMConditionalUserProperty::*> kConditionalEvents[] = {
    {"te", &APMConditionalUserProperty::triggeredEvent},
    {"oe", &APMConditionalUserProperty::timedOutEvent},
    {"xe", &APMConditionalUserProperty::expiredEvent}};

}  // namespace

Dictionary APMKeptWriteRecordForConditionalUserProperty(const APMConditionalUserProperty& property) {
  Dictionary record{{"o", platform::Value(property.origin)},
                    {"n", platform::Value(property.name)},
                    {"ct", platform::Value(property.creationTimestamp)},
                    {"tt", platform::Value(property.triggerTimeout)},
                    {"ttl", platform::Value(property.timeToLive)},
                    {"tn", platform::Value(property.triggerEventName)}};
  if (property.value) record["v"] = journalValue(*property.value);
  for (const auto& [key, member] : kConditionalEvents) {
    const auto& event = property.*member;
    if (!event) continue;
    if (const auto bytes = event->protoBuffer()) record[key] = platform::Value(platform::DataEncoding::base64Encode(*bytes));
  }
  return record;
}

std::shared_ptr<const APMConditionalUserProperty> APMConditionalUserPropertyFromKeptWriteRecord(const Dictionary& record) {
  const std::string* origin = APMKeptWriteRecordString(record, "o");
  const std::string* name = APMKeptWriteRecordString(record, "n");
  const std::string* triggerEventName = APMKeptWriteRecordString(record, "tn");
  if (!origin || !name || !triggerEventName) return nullptr;
  auto property = std::make_shared<APMConditionalUserProperty>();
  property->origin = *origin;
  property->name = *name;
  property->triggerEventName = *triggerEventName;
  for (const auto& [key, member] : {std::pair{"ct", &APMConditionalUserProperty::creationTimestamp},
                                    std::pair{"tt", &APMConditionalUserProperty::triggerTimeout},
                                    std::pair{"ttl", &APMConditionalUserProperty::timeToLive}}) {
    const auto found = record.find(key);
    if (found == record.end()) return nullptr;
    const auto value = number(found->second);
    if (!value) return nullptr;
    (*property).*member = *value;
  }
  if (const auto v = record.find("v"); v != record.end()) {
    property->value = valueFromJournal(v->second, false);
    if (!property->value) return nullptr;
  }
  for (const auto& [key, member] : kConditionalEvents) {
    const std::string* text = APMKeptWriteRecordString(record, key);
    if (!text) {
      if (record.contains(key)) return nullptr;
      continue;
    }
    const auto bytes = platform::DataEncoding::base64Decode(*text);
    if (!bytes) return nullptr;
    auto event = APMEventFromStoredValue(platform::Value(*bytes), nullptr);
    if (!event) return nullptr;
    (*property).*member = std::move(event);
  }
  // Checked again as at the request: a set whole, a clear by its name.
  if (property->value ? !APMIsValidConditionalUserProperty(*property)
                      : !APMDataTypeValidator::isValidConditionalUserPropertyName(APMObject(property->name), nullptr)) {
    return nullptr;
  }
  return property;
}

const std::string* APMKeptWriteRecordString(const Dictionary& record, const char* key) {
  const auto found = record.find(key);
  return found == record.end() ? nullptr : found->second.ifString();
}
