#include "sdk/analytics/engine/apm_session_reporter.h"

APMSessionReporter::APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

void APMSessionReporter::setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

void APMSessionReporter::setSessionTimeoutInterval(double seconds) { sessionTimeoutInterval_ = seconds; }
