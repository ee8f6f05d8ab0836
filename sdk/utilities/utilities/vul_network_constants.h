// What the HTTP client and its URL-session fetcher share: the error domain and codes, the message
// codes of their log lines, and the protocols the client's owner implements.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/foundation/value.h"
#include "sdk/utilities/utilities/vul_logger.h"

inline constexpr std::string_view kVULNetworkErrorDomain = "com.vul.network.ErrorDomain";
inline constexpr std::string_view kVULNetworkErrorContext = "Context";

enum VULNetworkErrorCode : std::int64_t {
  VULErrorCodeNetworkInvalidURL = 1,
  VULErrorCodeNetworkSessionTaskCreation = 2,
  VULErrorCodeNetworkPayloadCompression = 3,
  VULErrorCodeNetworkInvalidResponse = 4,
  VULErrorCodeNetworkEmptyResponse = 5,
};

inline constexpr std::string_view kVULNetworkService = "[VULNetwork]";
inline constexpr std::string_view kVULNetworkBackgroundSessionPrefix = "com.vul.network.background-upload";

// Printed as "I-NET%06ld".
enum VULNetworkMessageCode : std::int64_t {
  kVULNetworkMessageCodeNetwork000 = 900000,
  kVULNetworkMessageCodeNetwork001 = 900001,
  kVULNetworkMessageCodeNetwork002 = 900002,
  kVULNetworkMessageCodeNetwork003 = 900003,
  kVULNetworkMessageCodeURLSession000 = 901000,
  kVULNetworkMessageCodeURLSession001 = 901001,
  kVULNetworkMessageCodeURLSession002 = 901002,
  kVULNetworkMessageCodeURLSession003 = 901003,
  kVULNetworkMessageCodeURLSession004 = 901004,
  kVULNetworkMessageCodeURLSession005 = 901005,
  kVULNetworkMessageCodeURLSession006 = 901006,
  kVULNetworkMessageCodeURLSession007 = 901007,
  kVULNetworkMessageCodeURLSession008 = 901008,
  kVULNetworkMessageCodeURLSession009 = 901009,
  kVULNetworkMessageCodeURLSession010 = 901010,
  kVULNetworkMessageCodeURLSession011 = 901011,
  kVULNetworkMessageCodeURLSession012 = 901012,
  kVULNetworkMessageCodeURLSession013 = 901013,
  kVULNetworkMessageCodeURLSession014 = 901014,
  kVULNetworkMessageCodeURLSession015 = 901015,
  kVULNetworkMessageCodeURLSession016 = 901016,
  kVULNetworkMessageCodeURLSession017 = 901017,
  kVULNetworkMessageCodeURLSession019 = 901019,
};

// Receives every log line of a client (and of its fetchers) instead of the built-in output. A
// context is any value; a null value stands for "nothing" and prints as "(nil)".
class VULNetworkLoggerDelegate {
 public:
  virtual ~VULNetworkLoggerDelegate() = default;
  virtual void VULNetwork_logWithLevelContexts(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                               std::string_view message,
                                               const std::vector<platform::Value>& contexts) = 0;
  virtual void VULNetwork_logWithLevelContext(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                              std::string_view message, const platform::Value& context) = 0;
  virtual void VULNetwork_logWithLevel(VULLoggerLevel level, VULNetworkMessageCode messageCode,
                                       std::string_view message) = 0;
};

class VULNetworkReachabilityDelegate {
 public:
  virtual ~VULNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};
