// The experiment database: one SQLite file with a pending, an activated and a launched snapshot
// per SDK, and the rules that move snapshots between them (activation, automatic activation at
// start, deletion of activated snapshots 3 days old).
//
// Not thread-safe: the task manager uses it from its worker queue only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/error.h"
#include "sdk/analytics/storage/apm_sqlite_store.h"

class APMESnapshot;
class APMPBSnapshot;

inline constexpr std::string_view kAPMEDatabaseName = "videzu_experimentation_database.sql";
inline constexpr std::string_view kAPMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr std::string_view kAPMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr std::string_view kAPMELaunchedSnapshotTable = "launched_snapshot_table";

class APMEDatabase {
 public:
  using Snapshots = std::vector<std::shared_ptr<APMESnapshot>>;

  // Null (logged) when the file cannot be opened or its tables cannot be made; such a file is
  // deleted so the next start begins clean.
  static std::unique_ptr<APMEDatabase> initWithPath(const std::string& path);
  ~APMEDatabase();

  APMSqliteStore* store() const { return store_.get(); }
  void reset();
  bool performTransaction(const std::function<bool()>& block);

  std::optional<Snapshots> fetchAllActivatedSnapshots(platform::Error* error);
  std::optional<Snapshots> fetchAllPendingSnapshots(platform::Error* error);
  std::optional<Snapshots> fetchAllLaunchedSnapshots(platform::Error* error);

  bool upsertPendingExperimentSnapshots(const Snapshots& snapshots, platform::Error* error);
  bool upsertSnapshot(const APMPBSnapshot& snapshot, std::string_view table, double timestamp,
                      std::optional<bool> manuallyActivated, platform::Error* error);

  bool activateSnapshot(const std::shared_ptr<APMESnapshot>& snapshot, double timestamp, platform::Error* error);
  bool activatePendingSnapshotsAutomatically(platform::Error* error);
  bool deleteStaleActivatedSnapshots(platform::Error* error);

  bool deleteActivatedExperimentsOfSDKName(const std::string& SDKName, platform::Error* error);
  bool deletePendingExperimentsOfSDKName(const std::string& SDKName, platform::Error* error);
  bool deleteLaunchedExperimentSDKName(const std::string& SDKName, platform::Error* error);
  bool deleteExperimentsOfSDKName(const std::string& SDKName, std::string_view table, platform::Error* error);

 private:
  APMEDatabase() = default;
  bool initializeDatabaseResourcesWithContext(std::string_view context, const std::string& databasePath);
  bool ensureAllTables(platform::Error* error = nullptr);
  std::optional<Snapshots> fetchAllSnapshots(std::string_view table, platform::Error* error);

  std::unique_ptr<APMSqliteStore> store_;
  std::string path_;
};
