// Installs a fresh process monitor for one test and records every line given to it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sdk/analytics/common/apm_monitor.h"

class MonitorRecorder {
 public:
  struct Line {
    std::int64_t level;
    std::int64_t code;
    std::string message;
    APMMonitor::Contexts contexts;
  };

  MonitorRecorder() : monitor_(APMMonitor::initWithLibraryVersion(kAPMLibraryVersion)) {
    monitor_->setObserver([lines = lines_, mutex = mutex_](std::int64_t level, std::int64_t code,
                                                           const std::string& message,
                                                           const APMMonitor::Contexts& contexts) {
      std::lock_guard lock(*mutex);
      lines->push_back({level, code, message, contexts});
    });
    APMSetMeasurementMonitor(monitor_);
  }
  ~MonitorRecorder() {
    monitor_->waitUntilIdle();
    APMSetMeasurementMonitor(nullptr);
  }

  std::vector<Line> lines() const {
    std::lock_guard lock(*mutex_);
    return *lines_;
  }
  std::vector<std::int64_t> codes() const {
    std::vector<std::int64_t> out;
    for (const Line& line : lines()) out.push_back(line.code);
    return out;
  }
  bool has(std::int64_t code) const {
    const auto all = codes();
    return std::find(all.begin(), all.end(), code) != all.end();
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const Line& line : lines()) out.push_back(line.message);
    return out;
  }
  void clear() {
    std::lock_guard lock(*mutex_);
    lines_->clear();
  }
  const std::shared_ptr<APMMonitor>& monitor() const { return monitor_; }

 private:
  std::shared_ptr<std::mutex> mutex_ = std::make_shared<std::mutex>();
  std::shared_ptr<std::vector<Line>> lines_ = std::make_shared<std::vector<Line>>();
  std::shared_ptr<APMMonitor> monitor_;
};
