#include "sdk/utilities/utilities/vul_service_endpoints.h"

#include <cstdlib>

std::string VULServiceBaseURL(std::string_view defaultBaseURL) {
  const char* configured = std::getenv(std::string(kVULServiceURLEnvironmentVariable).c_str());
  std::string base = configured && *configured ? std::string(configured) : std::string(defaultBaseURL);
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}
