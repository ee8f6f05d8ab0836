// What the transport asks of a storage: the callback interface the send path and the coordinator
// use, and the promise interface the uploader and the metrics controller use.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/date.h"
#include "platform/foundation/error.h"
#include "platform/foundation/value.h"
#include "sdk/transport/core/vdtcor_event.h"
#include "sdk/transport/core/vdtcor_lifecycle_protocol.h"
#include "sdk/transport/core/vdtcor_storage_metadata.h"

template <class T>
class VBLPromise;
struct VBLVoid;

class VDTCORMetricsMetadata;
class VDTCORStorageEventSelector;
class VDTCORStorageProtocol;
class VDTCORUploadBatch;

using VDTCORBatchIDs = std::set<std::int64_t>;

// Hears of events the storage lost: refused for the size limit, or removed because they expired.
class VDTCORStorageDelegate {
 public:
  virtual ~VDTCORStorageDelegate() = default;
  virtual void storageDidDropEvent(VDTCORStorageProtocol& storage, const std::shared_ptr<VDTCOREvent>& event) = 0;
  virtual void storageDidRemoveExpiredEvents(VDTCORStorageProtocol& storage, const VDTCOREventSet& events) = 0;
};

class VDTCORStorageProtocol : public VDTCORLifecycleProtocol {
 public:
  // wasWritten, and the error (unset when there is none).
  using StoreCompletion = std::function<void(bool wasWritten, const platform::Error& error)>;
  // The batch ID and its events, both none when no batch was made.
  using BatchCompletion =
      std::function<void(std::optional<std::int64_t> batchID, std::optional<VDTCOREventSet> events)>;
  using ErrorCompletion = std::function<void(const platform::Error& error)>;
  using FetchCompletion = std::function<void(const std::optional<platform::Data>& data, const platform::Error& error)>;
  // The new value of a library entry; none or empty data leaves the entry as it is.
  using NewValueBlock = std::function<std::optional<platform::Data>()>;

  virtual void storeEvent(std::shared_ptr<VDTCOREvent> event, StoreCompletion onComplete) = 0;
  virtual void hasEventsForTarget(VDTCORTarget target, std::function<void(bool hasEvents)> onComplete) = 0;
  virtual void batchWithEventSelector(std::shared_ptr<VDTCORStorageEventSelector> eventSelector,
                                      platform::Date batchExpiration, BatchCompletion onComplete) = 0;
  virtual void removeBatchWithID(std::int64_t batchID, bool deleteEvents, std::function<void()> onComplete) = 0;
  virtual void batchIDsForTarget(VDTCORTarget target,
                                 std::function<void(std::optional<VDTCORBatchIDs> batchIDs)> onComplete) = 0;
  virtual void checkForExpirations() = 0;
  virtual void storeLibraryData(platform::Data data, std::string key, ErrorCompletion onComplete) = 0;
  virtual void libraryDataForKey(std::string key, FetchCompletion onFetchComplete, NewValueBlock setNewValue) = 0;
  virtual void removeLibraryDataForKey(std::string key, ErrorCompletion onComplete) = 0;
  virtual void storageSizeWithCallback(std::function<void(std::uint64_t size)> onComplete) = 0;
  virtual std::shared_ptr<VDTCORStorageDelegate> delegate() const = 0;
  virtual void setDelegate(std::weak_ptr<VDTCORStorageDelegate> delegate) = 0;
};

class VDTCORStoragePromiseProtocol : public VDTCORStorageProtocol {
 public:
  using VDTCORStorageProtocol::batchIDsForTarget;
  using VDTCORStorageProtocol::batchWithEventSelector;
  using VDTCORStorageProtocol::hasEventsForTarget;
  using VDTCORStorageProtocol::removeBatchWithID;

  // Reads the stored metadata (or the read error), hands it to the handler and stores what the
  // handler returns when that is present and differs. Rejected when that store fails.
  using MetricsHandler = std::function<std::shared_ptr<VDTCORMetricsMetadata>(
      const std::shared_ptr<VDTCORMetricsMetadata>& metadata, const platform::Error& fetchError)>;

  virtual std::shared_ptr<VBLPromise<std::optional<VDTCORBatchIDs>>> batchIDsForTarget(VDTCORTarget target) = 0;
  virtual std::shared_ptr<VBLPromise<VBLVoid>> removeBatchWithID(std::int64_t batchID, bool deleteEvents) = 0;
  virtual std::shared_ptr<VBLPromise<VBLVoid>> removeBatchesWithIDs(const VDTCORBatchIDs& batchIDs,
                                                                    bool deleteEvents) = 0;
  virtual std::shared_ptr<VBLPromise<VBLVoid>> removeAllBatchesForTarget(VDTCORTarget target, bool deleteEvents) = 0;
  virtual std::shared_ptr<VBLPromise<VBLVoid>> fetchAndUpdateMetricsWithHandler(MetricsHandler handler) = 0;
  virtual std::shared_ptr<VBLPromise<VDTCORStorageMetadata>> fetchStorageMetadata() = 0;
  virtual std::shared_ptr<VBLPromise<bool>> hasEventsForTarget(VDTCORTarget target) = 0;
  // Rejected with code -1 "There are no events for the selector." when no batch was made.
  virtual std::shared_ptr<VBLPromise<std::shared_ptr<VDTCORUploadBatch>>> batchWithEventSelector(
      std::shared_ptr<VDTCORStorageEventSelector> eventSelector, platform::Date batchExpiration) = 0;
};
