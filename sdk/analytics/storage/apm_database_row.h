// Reading the columns of a row read back from the measurement database: a NULL or missing column
// reads as the fallback.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sdk/analytics/storage/apm_sqlite_store.h"

namespace APMDatabaseRow {

// The one row of `app_metadata`.
inline const platform::Value& metadataRowID() {
  // Never destroyed: a store on a worker may still read the row while the process exits.
  static const auto* const id = new platform::Value("1");
  return *id;
}

inline const platform::Value* column(const APMRecord& row, std::string_view name) {
  auto it = row.find(name);
  return it == row.end() || it->second.isNull() ? nullptr : &it->second;
}

inline std::int64_t integerOr(const APMRecord& row, std::string_view name, std::int64_t fallback) {
  const platform::Value* value = column(row, name);
  return value && value->isNumber() ? value->integerValue() : fallback;
}

inline double doubleOr(const APMRecord& row, std::string_view name, double fallback) {
  const platform::Value* value = column(row, name);
  return value && value->isNumber() ? value->doubleValue() : fallback;
}

inline std::string stringOr(const APMRecord& row, std::string_view name) {
  const platform::Value* value = column(row, name);
  return value && value->ifString() ? *value->ifString() : std::string();
}

inline std::optional<platform::Data> dataOf(const APMRecord& row, std::string_view name) {
  const platform::Value* value = column(row, name);
  if (value && value->ifData()) return *value->ifData();
  return std::nullopt;
}

}  // namespace APMDatabaseRow
