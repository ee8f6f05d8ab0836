// Keeps every event the transport accepts as one file until an uploader has sent it or it has
// expired, moves events into batches for uploads and back, and keeps small library entries
// (the batch-ID counter, the dropped-event metrics). One instance serves every target; all its
// work runs on one serial queue, so stores, batch moves, removals, sweeps and library updates
// never interleave.
//
// Layout under the transport's root directory:
//   VDTCORFlatFileStorage/vdt_event_data/<target>/<eventID>-<tier>-<expiry seconds>-<escaped mapping ID>
//   VDTCORFlatFileStorage/vdt_batch_data/<target>-<batchID>-<expiry seconds>/<event files>
//   VDTCORFlatFileStorage/vdt_library_data/<key>
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/thread_safety.h"
#include "sdk/transport/core/vdtcor_storage_protocol.h"

namespace platform {
class DispatchQueue;
}

class VDTCORBackgroundTask;
class VDTCORDirectorySizeTracker;
class VDTCORUploadCoordinator;

inline constexpr std::string_view kVDTCORFlatFileStorageErrorDomain = "VDTCORFlatFileStorage";
inline constexpr std::int64_t kVDTCORFlatFileStorageSizeLimitReachedErrorCode = 0;
// An event whose archive passes kVDTCORMaxEventArchiveBytes: no upload would ever carry it.
inline constexpr std::int64_t kVDTCORFlatFileStorageEventTooLargeErrorCode = 1;
inline constexpr std::uint64_t kVDTCORFlatFileStorageSizeLimit = 20'000'000;
inline constexpr std::string_view kVDTCORFlatFileStorageBatchIDCounterKey = "VDTCORFlatFileStorageBatchIDCounter";
inline constexpr std::string_view kVDTCORMetricsMetadataStorageKey = "metrics_metadata";
// Followed by the target in decimal: the IDs of the target's events last deleted as delivered, one
// a line, so that an event stored once per ID (VDTCOREvent::storedOncePerID) is not stored again
// after its upload. The newest kVDTCORDeliveredEventIDsKept are kept.
inline constexpr std::string_view kVDTCORDeliveredEventIDsKeyPrefix = "VDTCORFlatFileStorageDeliveredEventIDs-";
inline constexpr std::size_t kVDTCORDeliveredEventIDsKept = 256;

// The parts of an event file's name.
struct VDTCOREventComponents {
  std::string eventID;
  std::int64_t qosTier = 0;
  platform::Date expiration;
  std::string mappingID;  // still percent-encoded
};

// The parts of a batch directory's name.
struct VDTCORBatchComponents {
  VDTCORTarget target = 0;
  std::int64_t batchID = 0;
  platform::Date expiration;
};

class VDTCORFlatFileStorage final : public VDTCORStoragePromiseProtocol,
                                    public std::enable_shared_from_this<VDTCORFlatFileStorage> {
  struct Token {};

 public:
  using VDTCORStoragePromiseProtocol::batchIDsForTarget;
  using VDTCORStoragePromiseProtocol::batchWithEventSelector;
  using VDTCORStoragePromiseProtocol::hasEventsForTarget;
  using VDTCORStoragePromiseProtocol::removeBatchWithID;

  explicit VDTCORFlatFileStorage(Token);

  // The class-load hook: registers the shared storage for targets 999 to 1003.
  static void load();
  // Creating it creates the upload coordinator, whose timer starts then.
  static std::shared_ptr<VDTCORFlatFileStorage> sharedInstance();
  // Waits for the queued work of the instance given up.
  static void resetSharedInstanceForTesting();

  // Each creates its directory when missing.
  static std::filesystem::path eventDataStoragePath();
  static std::filesystem::path batchDataStoragePath();
  static std::filesystem::path libraryDataStoragePath();

  static std::filesystem::path pathForTarget(VDTCORTarget target, std::string_view eventID, std::int64_t qosTier,
                                             platform::Date expirationDate, std::string_view mappingID);
  static std::filesystem::path batchPathForTarget(VDTCORTarget target, std::int64_t batchID,
                                                  platform::Date expirationDate);
  static std::optional<VDTCOREventComponents> eventComponentsFromFilename(std::string_view fileName);
  static std::optional<VDTCORBatchComponents> batchComponentsFromFilename(std::string_view fileName);
  // Domain "VDTCORFlatFileStorage", code -1, the reason as the failure reason.
  static platform::Error genericRejectedPromiseErrorWithReason(std::string_view reason);

  // ---- Callback interface ----
  // An event stored once per ID whose ID the storage holds (pending, in a batch, or among the
  // target's delivered IDs) is not written again: the store succeeds once that holding is durable.
  void storeEvent(std::shared_ptr<VDTCOREvent> event, StoreCompletion onComplete) override;
  void hasEventsForTarget(VDTCORTarget target, std::function<void(bool hasEvents)> onComplete) override;
  void batchWithEventSelector(std::shared_ptr<VDTCORStorageEventSelector> eventSelector,
                              platform::Date batchExpiration, BatchCompletion onComplete) override;
  void removeBatchWithID(std::int64_t batchID, bool deleteEvents, std::function<void()> onComplete) override;
  void batchIDsForTarget(VDTCORTarget target,
                         std::function<void(std::optional<VDTCORBatchIDs> batchIDs)> onComplete) override;
  void checkForExpirations() override;
  void storeLibraryData(platform::Data data, std::string key, ErrorCompletion onComplete) override;
  void libraryDataForKey(std::string key, FetchCompletion onFetchComplete, NewValueBlock setNewValue) override;
  void removeLibraryDataForKey(std::string key, ErrorCompletion onComplete) override;
  void storageSizeWithCallback(std::function<void(std::uint64_t size)> onComplete) override;
  std::shared_ptr<VDTCORStorageDelegate> delegate() const override;
  void setDelegate(std::weak_ptr<VDTCORStorageDelegate> delegate) override;

  // The next batch ID: never one a batch on disk has, also when the counter cannot be read or
  // written back.
  void nextBatchID(std::function<void(std::optional<std::int64_t> batchID)> onComplete);
  // The event files of the target that match the filters (all of them when every filter is none
  // or empty).
  void pathsForTarget(VDTCORTarget target, std::optional<std::set<std::string>> eventIDs,
                      std::optional<std::set<std::int64_t>> qosTiers,
                      std::optional<std::set<std::string>> mappingIDs,
                      std::function<void(std::set<std::filesystem::path> paths)> onComplete);

  // ---- Promise interface ----
  std::shared_ptr<VBLPromise<std::optional<VDTCORBatchIDs>>> batchIDsForTarget(VDTCORTarget target) override;
  std::shared_ptr<VBLPromise<VBLVoid>> removeBatchWithID(std::int64_t batchID, bool deleteEvents) override;
  std::shared_ptr<VBLPromise<VBLVoid>> removeBatchesWithIDs(const VDTCORBatchIDs& batchIDs, bool deleteEvents) override;
  std::shared_ptr<VBLPromise<VBLVoid>> removeAllBatchesForTarget(VDTCORTarget target, bool deleteEvents) override;
  std::shared_ptr<VBLPromise<VBLVoid>> fetchAndUpdateMetricsWithHandler(MetricsHandler handler) override;
  std::shared_ptr<VBLPromise<VDTCORStorageMetadata>> fetchStorageMetadata() override;
  std::shared_ptr<VBLPromise<bool>> hasEventsForTarget(VDTCORTarget target) override;
  std::shared_ptr<VBLPromise<std::shared_ptr<VDTCORUploadBatch>>> batchWithEventSelector(
      std::shared_ptr<VDTCORStorageEventSelector> eventSelector, platform::Date batchExpiration) override;

  // ---- Lifecycle ----
  // A short background task on the storage queue, so queued work may finish.
  void appWillBackground(VDTCORApplication& app) override;
  // Returns once every queued storage operation has finished.
  void appWillTerminate(VDTCORApplication& app) override;

  const std::shared_ptr<platform::DispatchQueue>& storageQueue() const { return storageQueue_; }
  const std::shared_ptr<VDTCORUploadCoordinator>& uploadCoordinator() const { return uploadCoordinator_; }
  // The tracker of the current root directory; storage queue only.
  VDTCORDirectorySizeTracker& sizeTracker();

  // Storage queue only.
  void syncThreadUnsafeRemoveBatchWithID(std::int64_t batchID, bool deleteEvents);
  std::optional<std::vector<std::filesystem::path>> batchDirPathsForBatchID(std::int64_t batchID,
                                                                            platform::Error* error);
  bool moveContentsOfDirectoryAtPath(const std::filesystem::path& sourcePath,
                                     const std::filesystem::path& destinationPath, platform::Error* error);

 private:
  // Storage queue only.
  std::optional<std::int64_t> syncNextBatchID();
  std::set<std::filesystem::path> syncPathsForTarget(VDTCORTarget target,
                                                     const std::optional<std::set<std::string>>& eventIDs,
                                                     const std::optional<std::set<std::int64_t>>& qosTiers,
                                                     const std::optional<std::set<std::string>>& mappingIDs);
  std::optional<VDTCORBatchIDs> syncBatchIDsForTarget(VDTCORTarget target);
  // Where the storage holds an event of this ID for the target: the directory of its file (the
  // pool or a batch), an empty path when the ID is among the delivered ones, none when nowhere.
  std::optional<std::filesystem::path> syncHolderOfEventID(VDTCORTarget target, const std::string& eventID);
  // Whether the file is a readable event of this ID; what is no event at all is removed.
  bool syncHoldsEvent(const std::filesystem::path& path, const std::string& eventID);
  static std::filesystem::path deliveredEventIDsPath(VDTCORTarget target);
  std::vector<std::string> syncDeliveredEventIDs(VDTCORTarget target);
  // Adds the IDs of the event files in a batch about to be deleted as delivered.
  void syncRememberDeliveredEvents(const std::filesystem::path& batchDirectory, VDTCORTarget target);
  // Removes from a batch about to be given back the events recorded as delivered: a deletion after
  // their upload was cut short, and they are not to be sent again.
  void syncRemoveDeliveredEvents(const std::filesystem::path& batchDirectory, VDTCORTarget target);
  // A directory where a library file belongs is removed (with a log line), as nothing could ever
  // write the file there.
  void syncRemoveDirectoryInPlaceOf(const std::filesystem::path& path, std::string_view what);
  // A regular event file larger than any upload reads is removed, with a log line: left in the
  // pool it would never be sent and would take the storage's room for ever. True when the file
  // is such a file (removed or not).
  bool syncRemoveIfNeverUploadable(const std::filesystem::path& path);
  void syncCheckForExpirations();
  // Writes a library entry atomically and keeps the tracked size right when it replaces one.
  bool syncWriteLibraryData(const platform::Data& data, const std::filesystem::path& path, platform::Error* error);
  void syncStoreEvent(const std::shared_ptr<VDTCOREvent>& event, StoreCompletion onComplete,
                      std::shared_ptr<VDTCORBackgroundTask> task);
  // Syncs the directories of the event files written since the last time, then completes their
  // stores in order: a burst of stores costs one directory sync, and a store is reported done
  // only once it is durable.
  void syncFinishPendingStores();

  std::shared_ptr<platform::DispatchQueue> storageQueue_;
  std::shared_ptr<VDTCORUploadCoordinator> uploadCoordinator_;
  std::shared_ptr<VDTCORDirectorySizeTracker> sizeTracker_;
  struct PendingStore {
    StoreCompletion completion;
    std::shared_ptr<VDTCORBackgroundTask> task;
    bool written = false;
    platform::Error error;
    std::filesystem::path directory;  // empty unless written
    std::optional<VDTCORTarget> forceUpload;
  };
  std::vector<PendingStore> pendingStores_;  // storage queue only
  bool finishScheduled_ = false;            // storage queue only
  mutable platform::Mutex delegateMutex_;
  std::weak_ptr<VDTCORStorageDelegate> delegate_ GUARDED_BY(delegateMutex_);
};
