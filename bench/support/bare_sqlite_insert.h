// The ceiling of storing one raw event: a bare prepared SQLite insert of the event's bytes, one
// exclusive transaction per row, into a table of the raw-events table's shape. The store and
// pipeline benchmarks measure against it in their own runs.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/value.h"

namespace bench {

inline void runBareSqliteInserts(benchmark::State& state, const std::string& path,
                                 const std::vector<platform::Data>& blobs) {
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, metadata_fingerprint "
                 "INTEGER NOT NULL, data BLOB NOT NULL, is_realtime INTEGER)",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO raw_events VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr);
    state.ResumeTiming();
    for (std::size_t i = 0; i < blobs.size(); ++i) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      sqlite3_bind_text(insert, 1, "level_up", -1, SQLITE_STATIC);
      sqlite3_bind_double(insert, 2, 1'780'000'000.0 + static_cast<double>(i));
      sqlite3_bind_int64(insert, 3, 42);
      sqlite3_bind_blob(insert, 4, blobs[i].data(), static_cast<int>(blobs[i].size()), SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, 0);
      const bool ok = sqlite3_step(insert) == SQLITE_DONE;
      sqlite3_reset(insert);
      sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
      if (!ok) {
        state.SkipWithError("bare insert failed");
        break;
      }
    }
    state.PauseTiming();
    sqlite3_finalize(insert);
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(blobs.size()));
}

}  // namespace bench
