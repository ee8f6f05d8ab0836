#include "sdk/transport/core/vdtcor_flat_file_storage.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

#include "platform/dispatch/dispatch_queue.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/format.h"
#include "platform/foundation/strings.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/transport/core/vdtcor_application.h"
#include "sdk/transport/core/vdtcor_console_logger.h"
#include "sdk/transport/core/vdtcor_directory_size_tracker.h"
#include "sdk/transport/core/vdtcor_metrics_metadata.h"
#include "sdk/transport/core/vdtcor_platform.h"
#include "sdk/transport/core/vdtcor_registrar.h"
#include "sdk/transport/core/vdtcor_shared_instance.h"
#include "sdk/transport/core/vdtcor_storage_event_selector.h"
#include "sdk/transport/core/vdtcor_upload_batch.h"
#include "sdk/transport/core/vdtcor_upload_coordinator.h"
#include "sdk/utilities/promises/vbl_promise.h"

namespace fs = std::filesystem;

namespace {

VDTCORSharedInstance<VDTCORFlatFileStorage>& slot() {
  static auto* s = new VDTCORSharedInstance<VDTCORFlatFileStorage>;
  return *s;
}

platform::FileManager& files() { return platform::FileManager::defaultManager(); }

// Size past which a library data file is not what this storage wrote there.
constexpr std::uint64_t kVDTCORMaxLibraryDataFileBytes = std::uint64_t{1} << 20;

const platform::strings::CharacterSet& mappingIDAllowedCharacters() {
  // Never destroyed: the storage queue may still check a mapping ID while the process exits.
  static const auto* const allowed = new platform::strings::CharacterSet(
      platform::strings::CharacterSet::alphanumeric().unionWith(platform::strings::CharacterSet::characters("-")));
  return *allowed;
}

fs::path makeDirectory(fs::path path, std::string_view failureFormat) {
  platform::Error error;
  const bool created = VDTCORCreateDirectoryOnce(path, &error);
  VDTCORAssert(created, failureFormat, error);
  return path;
}

fs::path storageDirectory() { return VDTCORStorageRootURL() / "VDTCORFlatFileStorage"; }

fs::path targetDirectory(VDTCORTarget target) {
  return makeDirectory(VDTCORFlatFileStorage::eventDataStoragePath() / std::to_string(target),
                       "Creating the target's event data path failed: %@");
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || p != end) return std::nullopt;
  return value;
}

std::optional<double> parseDouble(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// Whole seconds since 1970, as the file names carry them; a date before 1970 counts as 0. The
// name parser reads them back as a signed 64-bit number, so a farther date is written as the
// largest such number: a name it could not read would never expire nor match a tier filter.
std::uint64_t wholeSeconds(platform::Date date) {
  const double seconds = date.timeIntervalSince1970();
  if (!(seconds > 0)) return 0;
  constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (seconds >= 9223372036854775808.0) return kLargest;
  return static_cast<std::uint64_t>(seconds);
}

platform::Error internalInconsistencyError() {
  return platform::Error(std::string(platform::kInternalInconsistencyException), -1);
}

platform::Error eventTooLargeError() {
  return platform::Error(std::string(kVDTCORFlatFileStorageErrorDomain), kVDTCORFlatFileStorageEventTooLargeErrorCode,
                         {{std::string(platform::kLocalizedFailureReasonErrorKey),
                           platform::Value("The event is larger than an upload carries.")}});
}

platform::Error unsafeInputError(std::string reason) {
  return platform::Error(std::string(platform::kInternalInconsistencyException), -1,
                         {{std::string(platform::kLocalizedFailureReasonErrorKey), platform::Value(std::move(reason))}});
}

// An event's ID, target and tier become parts of a file name: only values that give a name the
// parser reads back (and that stay inside the event's directory) are stored.
bool isStorable(const VDTCOREvent& event) {
  const std::string& id = event.eventID();
  if (id.empty()) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return event.target() > 0 && event.qosTier() >= 0;
}

bool isSafeLibraryKey(std::string_view key) {
  return !key.empty() && key != "." && key != ".." && key.find('/') == std::string_view::npos &&
         key.find('\0') == std::string_view::npos;
}

std::optional<std::uint64_t> existingFileSize(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

// The batch-ID counter as the file holds it: 4 bytes, little-endian.
std::int32_t readCounter(const platform::Data& bytes) {
  const std::uint32_t value = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                              (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
  return static_cast<std::int32_t>(value);
}

// The IDs of the batches on disk. A batch removal takes every directory of its ID, so an ID handed
// out again while its batch is still there would delete the new batch's events with it.
std::set<std::int32_t> batchIDsOnDisk() {
  std::set<std::int32_t> ids;
  if (auto names = files().contentsOfDirectory(VDTCORFlatFileStorage::batchDataStoragePath())) {
    for (const std::string& name : *names) {
      auto components = VDTCORFlatFileStorage::batchComponentsFromFilename(name);
      if (components && components->batchID >= 0 && components->batchID <= std::numeric_limits<std::int32_t>::max()) {
        ids.insert(static_cast<std::int32_t>(components->batchID));
      }
    }
  }
  return ids;
}

// The larger of the counter and one past the highest ID on disk, stepping over any ID in use (a
// counter that wrapped at the top may meet batches from before the wrap).
std::int32_t unusedBatchID(std::optional<std::int32_t> counter) {
  constexpr std::int32_t kLargest = std::numeric_limits<std::int32_t>::max();
  const std::set<std::int32_t> used = batchIDsOnDisk();
  std::int32_t id = counter.value_or(0);
  if (!used.empty() && *used.rbegin() < kLargest) id = std::max(id, *used.rbegin() + 1);
  while (used.contains(id)) id = id == kLargest ? 0 : id + 1;
  return id;
}

platform::Data counterBytes(std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  return platform::Data{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                        static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

}  // namespace

VDTCORFlatFileStorage::VDTCORFlatFileStorage(Token)
    : storageQueue_(platform::DispatchQueue::serial("com.videzu.VDTCORFlatFileStorage")),
      uploadCoordinator_(VDTCORUploadCoordinator::sharedInstance()) {}

void VDTCORFlatFileStorage::load() {
  auto storage = sharedInstance();
  auto registrar = VDTCORRegistrar::sharedInstance();
  for (VDTCORTarget target : {kVDTCORTargetTest, kVDTCORTargetCCT, kVDTCORTargetFLL, kVDTCORTargetCSH,
                              kVDTCORTargetINT}) {
    registrar->registerStorage(storage, target);
  }
}

std::shared_ptr<VDTCORFlatFileStorage> VDTCORFlatFileStorage::sharedInstance() {
  return slot().get([] { return std::make_shared<VDTCORFlatFileStorage>(Token{}); });
}

void VDTCORFlatFileStorage::resetSharedInstanceForTesting() {
  if (auto old = slot().reset()) old->storageQueue_->sync([&old] { old->syncFinishPendingStores(); });
}

// ---- Paths and names ----

fs::path VDTCORFlatFileStorage::eventDataStoragePath() {
  return makeDirectory(storageDirectory() / "vdt_event_data", "Creating the event data path failed: %@");
}

fs::path VDTCORFlatFileStorage::batchDataStoragePath() {
  return makeDirectory(storageDirectory() / "vdt_batch_data", "Creating the batch data path failed: %@");
}

fs::path VDTCORFlatFileStorage::libraryDataStoragePath() {
  return makeDirectory(storageDirectory() / "vdt_library_data", "Creating the library data path failed: %@");
}

fs::path VDTCORFlatFileStorage::pathForTarget(VDTCORTarget target, std::string_view eventID, std::int64_t qosTier,
                                              platform::Date expirationDate, std::string_view mappingID) {
  std::string name(eventID);
  name += '-';
  name += std::to_string(qosTier);
  name += '-';
  name += std::to_string(wholeSeconds(expirationDate));
  name += '-';
  name += platform::strings::addingPercentEncoding(mappingID, mappingIDAllowedCharacters());
  return eventDataStoragePath() / std::to_string(target) / name;
}

fs::path VDTCORFlatFileStorage::batchPathForTarget(VDTCORTarget target, std::int64_t batchID,
                                                   platform::Date expirationDate) {
  return batchDataStoragePath() /
         platform::format("%ld-%ld-%llu", target, batchID, static_cast<unsigned long long>(wholeSeconds(expirationDate)));
}

std::optional<VDTCOREventComponents> VDTCORFlatFileStorage::eventComponentsFromFilename(std::string_view fileName) {
  const auto parts = split(fileName, '-');
  if (parts.size() < 4) {
    VDTCORLogDebug("The event filename could not be split: %@", fileName);
    return std::nullopt;
  }
  const auto tier = parseInteger(parts[1]);
  const auto expiration = parseInteger(parts[2]);
  if (parts[0].empty() || !tier || !expiration) {
    VDTCORLogDebug("There was an error parsing the event filename components: %@", fileName);
    return std::nullopt;
  }
  VDTCOREventComponents components;
  components.eventID = std::string(parts[0]);
  components.qosTier = *tier;
  components.expiration = platform::Date::fromTimeIntervalSince1970(static_cast<double>(*expiration));
  // A mapping ID may itself hold hyphens: everything after the third one is the mapping ID.
  const std::size_t mappingStart = parts[0].size() + parts[1].size() + parts[2].size() + 3;
  components.mappingID = std::string(fileName.substr(mappingStart));
  return components;
}

std::optional<VDTCORBatchComponents> VDTCORFlatFileStorage::batchComponentsFromFilename(std::string_view fileName) {
  const auto parts = split(fileName, '-');
  if (parts.size() != 3) {
    VDTCORLogDebug("The batch filename could not be split: %@", fileName);
    return std::nullopt;
  }
  const auto target = parseInteger(parts[0]);
  const auto batchID = parseInteger(parts[1]);
  const auto expiration = parseDouble(parts[2]);
  if (!target || !batchID || !expiration) {
    VDTCORLogDebug("There was an error parsing the batch filename components: %@", fileName);
    return std::nullopt;
  }
  return VDTCORBatchComponents{*target, *batchID, platform::Date::fromTimeIntervalSince1970(*expiration)};
}

platform::Error VDTCORFlatFileStorage::genericRejectedPromiseErrorWithReason(std::string_view reason) {
  return platform::Error(std::string(kVDTCORFlatFileStorageErrorDomain), -1,
                         {{std::string(platform::kLocalizedFailureReasonErrorKey), platform::Value(reason)}});
}

VDTCORDirectorySizeTracker& VDTCORFlatFileStorage::sizeTracker() {
  const fs::path root = VDTCORStorageRootURL();
  if (!sizeTracker_ || sizeTracker_->directoryPath() != root) {
    sizeTracker_ = VDTCORDirectorySizeTracker::initWithDirectoryPath(root);
  }
  return *sizeTracker_;
}

std::shared_ptr<VDTCORStorageDelegate> VDTCORFlatFileStorage::delegate() const {
  platform::MutexLock lock(delegateMutex_);
  return delegate_.lock();
}

void VDTCORFlatFileStorage::setDelegate(std::weak_ptr<VDTCORStorageDelegate> delegate) {
  platform::MutexLock lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

// ---- Events ----

void VDTCORFlatFileStorage::storeEvent(std::shared_ptr<VDTCOREvent> event, StoreCompletion onComplete) {
  VDTCORLogDebug("Saving event: %@", event.get());
  if (!event || !event->serializedDataObjectBytes()) {
    VDTCORLogDebug("The event was nil, so it was not saved.");
    if (onComplete) onComplete(false, internalInconsistencyError());
    return;
  }
  if (!isStorable(*event)) {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "The event %@ was not saved: its ID, target or tier cannot name a file.",
                   event.get());
    if (onComplete) {
      onComplete(false, unsafeInputError("The event's ID, target or tier cannot name a file."));
    }
    return;
  }
  if (!onComplete) {
    onComplete = [event](bool wasWritten, const platform::Error& error) {
      VDTCORLogDebug("event %@ stored. success:%@ error:%@", event.get(), wasWritten ? "YES" : "NO", error);
    };
  }
  auto task = VDTCORBackgroundTask::begin(VDTCORApplication::sharedApplication(), "VDTStorage");
  auto self = shared_from_this();
  storageQueue_->async([self, event = std::move(event), onComplete = std::move(onComplete), task]() mutable {
    self->syncStoreEvent(event, std::move(onComplete), std::move(task));
  });
}

void VDTCORFlatFileStorage::syncStoreEvent(const std::shared_ptr<VDTCOREvent>& event, StoreCompletion onComplete,
                                           std::shared_ptr<VDTCORBackgroundTask> task) {
  PendingStore pending;
  pending.completion = std::move(onComplete);
  pending.task = std::move(task);
  // Every outcome waits its turn behind the stores before it, so completions keep send order.
  auto finish = [&] {
    pendingStores_.push_back(std::move(pending));
    if (finishScheduled_) return;
    finishScheduled_ = true;
    auto self = shared_from_this();
    storageQueue_->async([self] { self->syncFinishPendingStores(); });
  };
  const fs::path path = pathForTarget(event->target(), event->eventID(), event->qosTier(), event->expirationDate(),
                                      event->mappingID());
  if (event->storedOncePerID()) {
    // A hand-off made again after one cut short: what the storage holds of it stays as it is.
    if (auto holder = syncHolderOfEventID(event->target(), event->eventID())) {
      VDTCORLogDebug("The event %@ is held already and is not stored again.", event->eventID());
      pending.written = true;
      pending.directory = std::move(*holder);
      if (pending.directory == path.parent_path() && event->qosTier() == kVDTCORTierForcesUpload) {
        pending.forceUpload = event->target();
      }
      return finish();
    }
  }
  // An event stored again under the same name replaces its file: that size is counted once.
  const std::uint64_t replaced = existingFileSize(path).value_or(0);
  VDTCORDirectorySizeTracker& tracker = sizeTracker();
  const std::uint64_t current = tracker.directoryContentSize();
  const std::uint64_t stays = current - std::min(current, replaced);
  auto refuseForSize = [&] {
    pending.error = platform::Error(std::string(kVDTCORFlatFileStorageErrorDomain),
                                    kVDTCORFlatFileStorageSizeLimitReachedErrorCode,
                                    {{std::string(platform::kLocalizedFailureReasonErrorKey),
                                      platform::Value("Storage size limit has been reached.")}});
    if (auto delegate = this->delegate()) {
      VDTCORLogDebug("Delegate notified that event with mapping ID %@ was dropped.", event->mappingID());
      delegate->storageDidDropEvent(*this, event);
    }
    finish();
  };
  // No upload would ever read it: refused, so that its producer keeps what it would lose.
  auto refuseAsTooLarge = [&](std::uint64_t bytes) {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "The event %@ of %@ bytes was not saved: no upload carries more than %@.",
                   event.get(), bytes, kVDTCORMaxEventArchiveBytes);
    pending.error = eventTooLargeError();
    finish();
  };
  // The archive holds the payload and more: an event whose payload alone passes a limit is
  // refused before archiving makes further copies of it.
  const std::uint64_t payloadBytes = event->serializedDataObjectBytes()->size();
  if (payloadBytes > kVDTCORMaxEventArchiveBytes) return refuseAsTooLarge(payloadBytes);
  if (stays + payloadBytes > kVDTCORFlatFileStorageSizeLimit) return refuseForSize();
  auto data = VDTCORArchiveObject(event, {}, &pending.error);
  if (!data) return finish();
  if (data->size() > kVDTCORMaxEventArchiveBytes) return refuseAsTooLarge(data->size());
  if (stays + data->size() > kVDTCORFlatFileStorageSizeLimit) return refuseForSize();
  // The write logs its own outcome.
  if (!VDTCORWriteFileWithoutDirectorySync(*data, path, &pending.error)) return finish();
  if (replaced) tracker.fileWasRemovedAtPath(path, replaced);
  tracker.fileWasAddedAtPath(path, data->size());
  pending.written = true;
  pending.directory = path.parent_path();
  if (event->qosTier() == kVDTCORTierForcesUpload) pending.forceUpload = event->target();
  finish();
}

void VDTCORFlatFileStorage::syncFinishPendingStores() {
  finishScheduled_ = false;
  std::vector<PendingStore> stores;
  stores.swap(pendingStores_);
  std::map<fs::path, platform::Error> synced;
  for (PendingStore& store : stores) {
    // Nothing to sync for an event already delivered.
    if (!store.written || store.directory.empty()) continue;
    auto [it, first] = synced.try_emplace(store.directory);
    if (first) files().syncDirectory(store.directory, &it->second);
    if (it->second.isSet()) {
      // The file is there but its name may not survive a power loss: not reported as stored.
      store.written = false;
      store.error = it->second;
    }
  }
  for (PendingStore& store : stores) {
    store.completion(store.written, store.error);
    if (store.written && store.forceUpload) uploadCoordinator_->forceUploadForTarget(*store.forceUpload);
    store.task->end();
  }
}

void VDTCORFlatFileStorage::hasEventsForTarget(VDTCORTarget target, std::function<void(bool hasEvents)> onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, target, onComplete = std::move(onComplete)] {
    const fs::path directory = targetDirectory(target);
    bool hasEvents = false;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
      // Hidden files are left over from writes that never finished; they hold no event.
      if (!it->path().filename().string().starts_with(".")) {
        hasEvents = true;
        break;
      }
    }
    if (onComplete) onComplete(hasEvents);
  });
}

// ---- Batches ----

void VDTCORFlatFileStorage::nextBatchID(std::function<void(std::optional<std::int64_t> batchID)> onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, onComplete = std::move(onComplete)] {
    const auto batchID = self->syncNextBatchID();
    if (onComplete) onComplete(batchID);
  });
}

std::optional<std::int64_t> VDTCORFlatFileStorage::syncNextBatchID() {
  const fs::path path = libraryDataStoragePath() / kVDTCORFlatFileStorageBatchIDCounterKey;
  // The counter only speeds the search up: whatever it holds, the ID comes out unused on disk.
  std::optional<std::int32_t> counter;
  syncRemoveDirectoryInPlaceOf(path, "the batch ID counter");
  if (files().fileExists(path)) {
    platform::Error error;
    if (auto bytes = files().contentsOfRegularFileNoLargerThan(path, kVDTCORMaxLibraryDataFileBytes, &error);
        !bytes) {
      VDTCORLogError(kVDTCORMessageCodeEncoding, "The batch ID counter could not be read: %@", error);
    } else if (bytes->size() < 4) {
      VDTCORLogError(kVDTCORMessageCodeEncoding, "The batch ID counter is corrupt (%lu bytes).", bytes->size());
    } else if (const std::int32_t value = readCounter(*bytes); value < 0) {
      VDTCORLogError(kVDTCORMessageCodeEncoding, "The batch ID counter held %d.", value);
    } else {
      counter = value;
    }
  }
  const std::int32_t batchID = unusedBatchID(counter);
  const std::int32_t next = batchID == std::numeric_limits<std::int32_t>::max() ? 0 : batchID + 1;
  platform::Error error;
  if (!syncWriteLibraryData(counterBytes(next), path, &error)) {
    // The ID is still safe to use: the next one is again checked against the batches on disk.
    // Refusing it would keep a full disk full, as nothing could be uploaded.
    VDTCORLogError(kVDTCORMessageCodeEncoding, "The batch ID counter could not be written: %@", error);
  }
  return batchID;
}

void VDTCORFlatFileStorage::pathsForTarget(VDTCORTarget target, std::optional<std::set<std::string>> eventIDs,
                                           std::optional<std::set<std::int64_t>> qosTiers,
                                           std::optional<std::set<std::string>> mappingIDs,
                                           std::function<void(std::set<fs::path> paths)> onComplete) {
  if (!onComplete) onComplete = [](std::set<fs::path>) {};
  auto self = shared_from_this();
  storageQueue_->async([self, target, eventIDs = std::move(eventIDs), qosTiers = std::move(qosTiers),
                        mappingIDs = std::move(mappingIDs), onComplete = std::move(onComplete)] {
    onComplete(self->syncPathsForTarget(target, eventIDs, qosTiers, mappingIDs));
  });
}

std::set<fs::path> VDTCORFlatFileStorage::syncPathsForTarget(VDTCORTarget target,
                                                             const std::optional<std::set<std::string>>& eventIDs,
                                                             const std::optional<std::set<std::int64_t>>& qosTiers,
                                                             const std::optional<std::set<std::string>>& mappingIDs) {
  const fs::path directory = targetDirectory(target);
  platform::Error error;
  auto names = files().contentsOfDirectory(directory, &error);
  if (!names) {
    VDTCORLogDebug("There was an error reading the contents of the target path: %@", error);
    return {};
  }
  const bool byEventID = eventIDs && !eventIDs->empty();
  const bool byTier = qosTiers && !qosTiers->empty();
  const bool byMappingID = mappingIDs && !mappingIDs->empty();
  std::set<fs::path> paths;
  for (const std::string& name : *names) {
    if (name.starts_with(".")) continue;
    if (!byEventID && !byTier && !byMappingID) {
      paths.insert(directory / name);
      continue;
    }
    auto components = eventComponentsFromFilename(name);
    if (!components) {
      VDTCORLogDebug("There was an error reading the filename components: %@", name);
      continue;
    }
    if (byEventID && !eventIDs->contains(components->eventID)) continue;
    if (byTier && !qosTiers->contains(components->qosTier)) continue;
    if (byMappingID) {
      auto mappingID = platform::strings::removingPercentEncoding(components->mappingID);
      if (!mappingID || !mappingIDs->contains(*mappingID)) continue;
    }
    paths.insert(directory / name);
  }
  return paths;
}

void VDTCORFlatFileStorage::batchWithEventSelector(std::shared_ptr<VDTCORStorageEventSelector> eventSelector,
                                                   platform::Date batchExpiration, BatchCompletion onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, eventSelector = std::move(eventSelector), batchExpiration,
                        onComplete = std::move(onComplete)] {
    auto complete = [&](std::optional<std::int64_t> batchID, std::optional<VDTCOREventSet> events) {
      if (onComplete) onComplete(batchID, std::move(events));
    };
    if (!eventSelector) {
      complete(std::nullopt, std::nullopt);
      return;
    }
    const auto batchID = self->syncNextBatchID();
    if (!batchID) {
      complete(std::nullopt, std::nullopt);
      return;
    }
    const VDTCORTarget target = eventSelector->selectedTarget();
    const auto paths = self->syncPathsForTarget(target, eventSelector->selectedEventIDs(),
                                                eventSelector->selectedQosTiers(), eventSelector->selectedMappingIDs());
    VDTCOREventSet events;
    for (const fs::path& path : paths) {
      if (self->syncRemoveIfNeverUploadable(path)) continue;
      platform::Error error;
      auto bytes = files().contentsOfRegularFileNoLargerThan(path, kVDTCORMaxEventArchiveBytes, &error);
      if (!bytes) {
        // Unreadable (a link, a FIFO, too large, or trouble reading) is not corrupt: the file stays.
        VDTCORLogDebug("An event file could not be read: %@", error);
        continue;
      }
      auto event = std::dynamic_pointer_cast<VDTCOREvent>(VDTCORUnarchiveData(kVDTCOREventClassName, *bytes, &error));
      if (!event) {
        VDTCORLogError(kVDTCORMessageCodeEncoding, "Error deserializing event: %@", error);
        if (files().removeItem(path)) self->sizeTracker().fileWasRemovedAtPath(path, bytes->size());
        continue;
      }
      const fs::path batchDirectory = batchPathForTarget(target, *batchID, batchExpiration);
      files().createDirectory(batchDirectory, true);
      if (!files().moveItem(path, batchDirectory / path.filename(), &error)) {
        // Left in the pool, and so out of this batch: sending it now would send it twice.
        VDTCORLogDebug("An event file wasn't moveable into the batch directory: %@", error);
        continue;
      }
      events.insert(std::move(event));
    }
    if (events.empty()) {
      complete(std::nullopt, std::nullopt);
    } else {
      complete(*batchID, std::move(events));
    }
  });
}

void VDTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID, bool deleteEvents,
                                              std::function<void()> onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, batchID, deleteEvents, onComplete = std::move(onComplete)] {
    self->syncThreadUnsafeRemoveBatchWithID(batchID, deleteEvents);
    if (onComplete) onComplete();
  });
}

std::optional<std::vector<fs::path>> VDTCORFlatFileStorage::batchDirPathsForBatchID(std::int64_t batchID,
                                                                                    platform::Error* error) {
  const fs::path batchData = batchDataStoragePath();
  auto names = files().contentsOfDirectory(batchData, error);
  if (!names) return std::nullopt;
  std::vector<fs::path> paths;
  for (const std::string& name : *names) {
    auto components = batchComponentsFromFilename(name);
    if (components && components->batchID == batchID) paths.push_back(batchData / name);
  }
  return paths;
}

bool VDTCORFlatFileStorage::moveContentsOfDirectoryAtPath(const fs::path& sourcePath, const fs::path& destinationPath,
                                                          platform::Error* error) {
  auto names = files().contentsOfDirectory(sourcePath, error);
  if (!names) return false;
  platform::Value::Array failures;
  std::shared_ptr<const platform::Error> firstFailure;
  for (const std::string& name : *names) {
    platform::Error moveError;
    const fs::path destination = destinationPath / name;
    if (files().moveItem(sourcePath / name, destination, &moveError)) continue;
    if (files().fileExists(destination)) {
      // The same name means the same event (its ID, tier, expiry and mapping ID): the pool already
      // holds it, so this copy is not needed.
      if (files().removeItem(sourcePath / name)) continue;
    }
    failures.push_back(platform::Value(moveError.description()));
    if (!firstFailure) firstFailure = std::make_shared<const platform::Error>(moveError);
  }
  if (failures.empty()) return true;
  platform::setError(error, platform::Error(std::string(kVDTCORFlatFileStorageErrorDomain), -1,
                                            {{std::string(platform::kUnderlyingErrorKey),
                                              platform::Value(std::move(failures))}},
                                            firstFailure));
  return false;
}

void VDTCORFlatFileStorage::syncThreadUnsafeRemoveBatchWithID(std::int64_t batchID, bool deleteEvents) {
  platform::Error error;
  auto directories = batchDirPathsForBatchID(batchID, &error);
  if (!directories) {
    VDTCORLogDebug("Failed to find event file paths for batchID: %@, error: %@", batchID, error);
    return;
  }
  for (const fs::path& directory : *directories) {
    auto components = batchComponentsFromFilename(directory.filename().string());
    if (deleteEvents && components) syncRememberDeliveredEvents(directory, components->target);
    if (!deleteEvents) {
      platform::Error moveError;
      bool moved = false;
      if (components) {
        syncRemoveDeliveredEvents(directory, components->target);
        fs::path destination = targetDirectory(components->target);
        moved = moveContentsOfDirectoryAtPath(directory, destination, &moveError);
        if (!moved && !files().fileExists(destination)) {
          // The pool was removed since this process made it.
          VDTCORForgetCreatedDirectories();
          moveError = platform::Error();
          destination = targetDirectory(components->target);
          moved = moveContentsOfDirectoryAtPath(directory, destination, &moveError);
        }
        if (moved) VDTCORLogDebug("Batched events at path: %@ moved back to the storage: %@", directory.string(),
                                  destination.string());
      }
      if (!moved) {
        // What could not move back stays in the batch directory, whose expiry returns it to the
        // pool at a later sweep; nothing of it is deleted.
        VDTCORLogDebug("Error encountered whilst moving events back: %@", moveError);
        continue;
      }
    }
    if (files().removeItem(directory)) {
      VDTCORLogDebug("Batch removed at path: %@", directory.string());
    } else {
      VDTCORLogDebug("Failed to remove batch at path: %@", directory.string());
    }
  }
  sizeTracker().resetCachedSize();
}

void VDTCORFlatFileStorage::batchIDsForTarget(VDTCORTarget target,
                                              std::function<void(std::optional<VDTCORBatchIDs> batchIDs)> onComplete) {
  auto self = shared_from_this();
  storageQueue_->async([self, target, onComplete = std::move(onComplete)] {
    auto batchIDs = self->syncBatchIDsForTarget(target);
    if (onComplete) onComplete(std::move(batchIDs));
  });
}

std::optional<VDTCORBatchIDs> VDTCORFlatFileStorage::syncBatchIDsForTarget(VDTCORTarget target) {
  platform::Error error;
  auto names = files().contentsOfDirectory(batchDataStoragePath(), &error);
  if (!names || names->empty()) return std::nullopt;
  VDTCORBatchIDs batchIDs;
  for (const std::string& name : *names) {
    auto components = batchComponentsFromFilename(name);
    if (components && components->target == target) batchIDs.insert(components->batchID);
  }
  return batchIDs;
}

std::optional<fs::path> VDTCORFlatFileStorage::syncHolderOfEventID(VDTCORTarget target, const std::string& eventID) {
  // An event ID holds no hyphen: the name of every file of this ID begins with it and one.
  const std::string prefix = eventID + "-";
  auto holds = [this, &prefix, &eventID](const fs::path& directory) {
    auto names = files().contentsOfDirectory(directory);
    if (!names) return false;
    for (const std::string& name : *names) {
      if (name.starts_with(prefix) && syncHoldsEvent(directory / name, eventID)) return true;
    }
    return false;
  };
  const fs::path pool = targetDirectory(target);
  if (holds(pool)) return pool;
  const fs::path batchData = batchDataStoragePath();
  if (auto names = files().contentsOfDirectory(batchData)) {
    for (const std::string& name : *names) {
      auto components = batchComponentsFromFilename(name);
      if (components && components->target == target && holds(batchData / name)) return batchData / name;
    }
  }
  const auto delivered = syncDeliveredEventIDs(target);
  if (std::find(delivered.begin(), delivered.end(), eventID) != delivered.end()) return fs::path();
  return std::nullopt;
}

bool VDTCORFlatFileStorage::syncHoldsEvent(const fs::path& path, const std::string& eventID) {
  // Too large to upload: removed as at batching.
  if (syncRemoveIfNeverUploadable(path)) return false;
  const auto attributes = files().attributesOfItem(path);
  if (!attributes) return false;
  platform::Error error;
  if (attributes->type == platform::FileType::Regular) {
    auto bytes = files().contentsOfRegularFileNoLargerThan(path, kVDTCORMaxEventArchiveBytes, &error);
    // Not readable now is no proof of anything: the file stays, and the event is stored beside it
    // (or over it, under the same name). Once more on the wire is better than never.
    if (!bytes) return false;
    auto event = std::dynamic_pointer_cast<VDTCOREvent>(VDTCORUnarchiveData(kVDTCOREventClassName, *bytes, &error));
    if (event) {
      // Another event under a misleading name is still an event: it stays and is sent as itself.
      return event->eventID() == eventID;
    }
  }
  // A FIFO, a link, a directory or bytes that are no event: this storage wrote none of them, and
  // batching would delete the bytes anyway. Left there it would stand for the event for ever.
  if (files().removeItem(path, &error)) {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "A file named for the event %@ holds no event; removed: %@", eventID,
                   path.string());
    sizeTracker().resetCachedSize();
  } else {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "A file named for the event %@ holds no event and stays: %@", eventID,
                   error);
  }
  return false;
}

void VDTCORFlatFileStorage::syncRemoveDirectoryInPlaceOf(const fs::path& path, std::string_view what) {
  bool isDirectory = false;
  if (!files().fileExists(path, &isDirectory) || !isDirectory) return;
  // Nothing could ever write the file there: left, it would keep every later write out.
  VDTCORLogError(kVDTCORMessageCodeEncoding, "A directory stood where %@ belongs; removed: %@", what, path.string());
  platform::Error error;
  if (!files().removeItem(path, &error)) {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "The directory at %@'s path stays: %@", what, error);
  }
  sizeTracker().resetCachedSize();
}

void VDTCORFlatFileStorage::syncRemoveDeliveredEvents(const fs::path& batchDirectory, VDTCORTarget target) {
  const auto delivered = syncDeliveredEventIDs(target);
  if (delivered.empty()) return;
  auto names = files().contentsOfDirectory(batchDirectory);
  if (!names) return;
  for (const std::string& name : *names) {
    auto components = eventComponentsFromFilename(name);
    if (!components || std::find(delivered.begin(), delivered.end(), components->eventID) == delivered.end()) continue;
    platform::Error error;
    if (files().removeItem(batchDirectory / name, &error)) {
      VDTCORLogDebug("The event %@ was delivered already and is not given back: %@", components->eventID,
                     (batchDirectory / name).string());
    } else {
      VDTCORLogError(kVDTCORMessageCodeEncoding, "The event %@ was delivered already but is given back: %@",
                     components->eventID, error);
    }
  }
}

fs::path VDTCORFlatFileStorage::deliveredEventIDsPath(VDTCORTarget target) {
  return libraryDataStoragePath() / (std::string(kVDTCORDeliveredEventIDsKeyPrefix) + std::to_string(target));
}

std::vector<std::string> VDTCORFlatFileStorage::syncDeliveredEventIDs(VDTCORTarget target) {
  const fs::path path = deliveredEventIDsPath(target);
  std::vector<std::string> ids;
  platform::Error error;
  auto bytes = files().contentsOfRegularFileNoLargerThan(path, kVDTCORMaxLibraryDataFileBytes, &error);
  if (!bytes) return ids;
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  for (std::string_view id : split(text, '\n')) {
    if (!id.empty()) ids.emplace_back(id);
  }
  return ids;
}

void VDTCORFlatFileStorage::syncRememberDeliveredEvents(const fs::path& batchDirectory, VDTCORTarget target) {
  auto names = files().contentsOfDirectory(batchDirectory);
  if (!names) return;
  std::vector<std::string> ids = syncDeliveredEventIDs(target);
  bool added = false;
  for (const std::string& name : *names) {
    if (name.starts_with(".")) continue;
    auto components = eventComponentsFromFilename(name);
    if (!components || std::find(ids.begin(), ids.end(), components->eventID) != ids.end()) continue;
    ids.push_back(std::move(components->eventID));
    added = true;
  }
  if (!added) return;
  if (ids.size() > kVDTCORDeliveredEventIDsKept) ids.erase(ids.begin(), ids.end() - kVDTCORDeliveredEventIDsKept);
  std::string text;
  for (const std::string& id : ids) text += id + "\n";
  platform::Error error;
  const fs::path path = deliveredEventIDsPath(target);
  syncRemoveDirectoryInPlaceOf(path, "the delivered event IDs");
  if (!syncWriteLibraryData(platform::Data(text.begin(), text.end()), path, &error)) {
    // The batch is deleted all the same: it was delivered. Only an event stored once per ID that
    // a hand-off cut short stores again may then go out twice.
    VDTCORLogError(kVDTCORMessageCodeEncoding, "The delivered event IDs could not be written: %@", error);
  }
}

bool VDTCORFlatFileStorage::syncRemoveIfNeverUploadable(const fs::path& path) {
  // Only a regular file: a link or a FIFO is not this storage's to judge, and stays.
  const auto attributes = files().attributesOfItem(path);
  if (!attributes || attributes->type != platform::FileType::Regular ||
      attributes->size <= kVDTCORMaxEventArchiveBytes) {
    return false;
  }
  platform::Error error;
  if (!files().removeItem(path, &error)) {
    VDTCORLogError(kVDTCORMessageCodeEncoding, "An event file of %@ bytes can never be uploaded and stays: %@",
                   attributes->size, error);
    return true;
  }
  VDTCORLogError(kVDTCORMessageCodeEncoding, "An event file of %@ bytes can never be uploaded; removed: %@",
                 attributes->size, path.string());
  sizeTracker().fileWasRemovedAtPath(path, attributes->size);
  return true;
}

// ---- Expiry ----

void VDTCORFlatFileStorage::checkForExpirations() {
  auto self = shared_from_this();
  storageQueue_->async([self] { self->syncCheckForExpirations(); });
}

void VDTCORFlatFileStorage::syncCheckForExpirations() {
  const platform::Date now = platform::Date::now();
  VDTCORLogDebug("Checking for expired events and batches");

  if (auto names = files().contentsOfDirectory(batchDataStoragePath())) {
    for (const std::string& name : *names) {
      auto components = batchComponentsFromFilename(name);
      if (components && components->expiration < now) syncThreadUnsafeRemoveBatchWithID(components->batchID, false);
    }
  }

  VDTCOREventSet expired;
  const fs::path eventData = eventDataStoragePath();
  if (auto entries = files().enumerator(eventData)) {
    for (const fs::path& relative : *entries) {
      const fs::path path = eventData / relative;
      const std::string name = relative.filename().string();
      bool isDirectory = false;
      if (!files().fileExists(path, &isDirectory) || isDirectory) continue;
      if (name.starts_with(".")) {
        // Left by a write that never finished (every write runs on this queue, so none is in
        // flight now): it holds no stored event.
        files().removeItem(path);
        continue;
      }
      if (syncRemoveIfNeverUploadable(path)) continue;
      auto components = eventComponentsFromFilename(name);
      if (!components || !(components->expiration < now)) continue;
      platform::Error error;
      auto event = VDTCORUnarchiveObject<VDTCOREvent>(kVDTCOREventClassName, path, &error);
      if (!event) VDTCORLogDebug("Error deserializing event while checking for expired events: %@", error);
      if (files().removeItem(path, &error)) {
        if (event) {
          VDTCORLogDebug("Item deleted because it expired: %@", path.string());
          expired.insert(std::move(event));
        }
      } else {
        VDTCORLogDebug("There was an error deleting an expired item: %@", error);
      }
    }
  }

  if (auto delegate = this->delegate(); delegate && !expired.empty()) {
    VDTCORLogDebug("Delegate notified that %@ events were dropped.", expired.size());
    delegate->storageDidRemoveExpiredEvents(*this, VDTCOREventSet(expired));
  }
  sizeTracker().resetCachedSize();
}

// ---- Library data ----

bool VDTCORFlatFileStorage::syncWriteLibraryData(const platform::Data& data, const fs::path& path,
                                                 platform::Error* error) {
  const auto replaced = existingFileSize(path);
  if (!VDTCORWriteFile(data, path, error)) return false;
  VDTCORDirectorySizeTracker& tracker = sizeTracker();
  if (replaced) tracker.fileWasRemovedAtPath(path, *replaced);
  tracker.fileWasAddedAtPath(path, data.size());
  return true;
}

void VDTCORFlatFileStorage::storeLibraryData(platform::Data data, std::string key, ErrorCompletion onComplete) {
  if (data.empty()) {
    if (onComplete) onComplete(internalInconsistencyError());
    return;
  }
  if (!isSafeLibraryKey(key)) {
    if (onComplete) onComplete(unsafeInputError("A library data key must name a file."));
    return;
  }
  auto self = shared_from_this();
  storageQueue_->async([self, data = std::move(data), key = std::move(key), onComplete = std::move(onComplete)] {
    platform::Error error;
    self->syncWriteLibraryData(data, libraryDataStoragePath() / key, &error);
    if (onComplete) onComplete(error);
  });
}

void VDTCORFlatFileStorage::libraryDataForKey(std::string key, FetchCompletion onFetchComplete,
                                              NewValueBlock setNewValue) {
  if (!isSafeLibraryKey(key)) {
    if (onFetchComplete) onFetchComplete(std::nullopt, unsafeInputError("A library data key must name a file."));
    return;
  }
  auto self = shared_from_this();
  storageQueue_->async([self, key = std::move(key), onFetchComplete = std::move(onFetchComplete),
                        setNewValue = std::move(setNewValue)] {
    const fs::path path = libraryDataStoragePath() / key;
    platform::Error error;
    auto data = files().contentsOfRegularFileNoLargerThan(path, kVDTCORMaxLibraryDataFileBytes, &error);
    if (onFetchComplete) onFetchComplete(data, data ? platform::Error() : error);
    if (!setNewValue) return;
    auto newValue = setNewValue();
    if (!newValue || newValue->empty()) return;
    platform::Error writeError;
    if (!self->syncWriteLibraryData(*newValue, path, &writeError)) {
      VDTCORLogDebug("Error writing new value in libraryDataForKey: %@", writeError);
    }
  });
}

void VDTCORFlatFileStorage::removeLibraryDataForKey(std::string key, ErrorCompletion onComplete) {
  if (!isSafeLibraryKey(key)) {
    if (onComplete) onComplete(unsafeInputError("A library data key must name a file."));
    return;
  }
  auto self = shared_from_this();
  storageQueue_->async([self, key = std::move(key), onComplete = std::move(onComplete)] {
    const fs::path path = libraryDataStoragePath() / key;
    platform::Error error;
    if (auto size = existingFileSize(path)) {
      if (files().removeItem(path, &error)) self->sizeTracker().fileWasRemovedAtPath(path, *size);
    }
    if (onComplete) onComplete(error);
  });
}

void VDTCORFlatFileStorage::storageSizeWithCallback(std::function<void(std::uint64_t size)> onComplete) {
  if (!onComplete) return;
  auto self = shared_from_this();
  storageQueue_->async([self, onComplete = std::move(onComplete)] {
    onComplete(self->sizeTracker().directoryContentSize());
  });
}

// ---- Promises ----

std::shared_ptr<VBLPromise<std::optional<VDTCORBatchIDs>>> VDTCORFlatFileStorage::batchIDsForTarget(
    VDTCORTarget target) {
  auto self = shared_from_this();
  return VBLPromise<std::optional<VDTCORBatchIDs>>::wrapObjectCompletion(
      storageQueue_, [self, target](auto handler) { self->batchIDsForTarget(target, handler); });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCORFlatFileStorage::removeBatchWithID(std::int64_t batchID,
                                                                              bool deleteEvents) {
  auto self = shared_from_this();
  return VBLPromise<VBLVoid>::wrapCompletion(
      storageQueue_, [self, batchID, deleteEvents](auto handler) { self->removeBatchWithID(batchID, deleteEvents, handler); });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCORFlatFileStorage::removeBatchesWithIDs(const VDTCORBatchIDs& batchIDs,
                                                                                 bool deleteEvents) {
  std::vector<std::shared_ptr<VBLPromise<VBLVoid>>> removals;
  for (std::int64_t batchID : batchIDs) removals.push_back(removeBatchWithID(batchID, deleteEvents));
  return VBLPromise<VBLVoid>::all(storageQueue_, removals)->then(storageQueue_, [](const std::vector<VBLVoid>&) {
    return VBLVoid{};
  });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCORFlatFileStorage::removeAllBatchesForTarget(VDTCORTarget target,
                                                                                      bool deleteEvents) {
  auto self = shared_from_this();
  return batchIDsForTarget(target)->then(
      storageQueue_,
      [self, deleteEvents](const std::optional<VDTCORBatchIDs>& batchIDs) -> std::shared_ptr<VBLPromise<VBLVoid>> {
        if (!batchIDs || batchIDs->empty()) return VBLPromise<VBLVoid>::resolvedWith(VBLVoid{});
        return self->removeBatchesWithIDs(*batchIDs, deleteEvents);
      });
}

std::shared_ptr<VBLPromise<VBLVoid>> VDTCORFlatFileStorage::fetchAndUpdateMetricsWithHandler(MetricsHandler handler) {
  auto self = shared_from_this();
  return VBLPromise<VBLVoid>::do_(storageQueue_, [self, handler = std::move(handler)]() -> VBLResult<VBLVoid> {
    const fs::path path = libraryDataStoragePath() / kVDTCORMetricsMetadataStorageKey;
    platform::Error fetchError;
    auto metadata = VDTCORUnarchiveObject<VDTCORMetricsMetadata>(kVDTCORMetricsMetadataClassName, path, &fetchError);
    auto updated = handler ? handler(metadata, metadata ? platform::Error() : fetchError) : nullptr;
    if (!updated || (metadata && updated->isEqualToMetricsMetadata(*metadata))) return VBLVoid{};
    platform::Error error;
    auto data = VDTCORArchiveObject(updated, {}, &error);
    if (data && self->syncWriteLibraryData(*data, path, &error)) return VBLVoid{};
    if (!error) error = genericRejectedPromiseErrorWithReason("The metrics metadata could not be stored.");
    return error;
  });
}

std::shared_ptr<VBLPromise<VDTCORStorageMetadata>> VDTCORFlatFileStorage::fetchStorageMetadata() {
  auto self = shared_from_this();
  return VBLPromise<VDTCORStorageMetadata>::do_(storageQueue_, [self]() -> VBLResult<VDTCORStorageMetadata> {
    return VDTCORStorageMetadata::metadataWithCurrentCacheSize(self->sizeTracker().directoryContentSize(),
                                                               kVDTCORFlatFileStorageSizeLimit);
  });
}

std::shared_ptr<VBLPromise<bool>> VDTCORFlatFileStorage::hasEventsForTarget(VDTCORTarget target) {
  auto self = shared_from_this();
  return VBLPromise<bool>::wrapBoolCompletion(storageQueue_,
                                              [self, target](auto handler) { self->hasEventsForTarget(target, handler); });
}

std::shared_ptr<VBLPromise<std::shared_ptr<VDTCORUploadBatch>>> VDTCORFlatFileStorage::batchWithEventSelector(
    std::shared_ptr<VDTCORStorageEventSelector> eventSelector, platform::Date batchExpiration) {
  auto self = shared_from_this();
  using Promise = VBLPromise<std::shared_ptr<VDTCORUploadBatch>>;
  return Promise::async(storageQueue_, [self, eventSelector, batchExpiration](Promise::Fulfill fulfill,
                                                                               Promise::Reject reject) {
    self->batchWithEventSelector(
        eventSelector, batchExpiration,
        [fulfill, reject](std::optional<std::int64_t> batchID, std::optional<VDTCOREventSet> events) {
          if (!batchID || !events) {
            reject(genericRejectedPromiseErrorWithReason("There are no events for the selector."));
          } else {
            fulfill(VDTCORUploadBatch::initWithBatchID(*batchID, std::move(*events)));
          }
        });
  });
}

// ---- Lifecycle ----

void VDTCORFlatFileStorage::appWillBackground(VDTCORApplication&) {
  storageQueue_->async([] {
    auto task = VDTCORBackgroundTask::begin(VDTCORApplication::sharedApplication(), "VDTStorage");
    task->end();
  });
}

void VDTCORFlatFileStorage::appWillTerminate(VDTCORApplication&) {
  // Stores whose completion still waits for the directory sync finish now, not after the exit.
  storageQueue_->sync([this] { syncFinishPendingStores(); });
}
