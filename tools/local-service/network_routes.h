// Endpoints for the SDK's HTTP client: a gzip upload sink that checks what the client declares,
// a header echo, a redirect per 3xx status, fixed statuses and a slow answer.
#pragma once

#include <string_view>

namespace local_service {

class LocalService;

// POST: 200 when the body came gzip-compressed with "Content-Encoding: gzip", "Content-Type:
// application/x-www-form-urlencoded" and a "Content-Length" equal to the compressed length;
// otherwise 400 with the reason as the body.
inline constexpr std::string_view kNetworkGzipSinkPath = "/network/gzip-sink";
// GET: the request's headers as a JSON object (name -> last value).
inline constexpr std::string_view kNetworkHeadersPath = "/network/headers";
// GET or POST "/network/redirect/<status>": answers the status with "Location: /network/target".
inline constexpr std::string_view kNetworkRedirectPrefix = "/network/redirect/";
// GET or POST: 200 with the body "arrived by <method>".
inline constexpr std::string_view kNetworkTargetPath = "/network/target";
// GET or POST "/network/status/<status>": that status with the body "status <status>".
inline constexpr std::string_view kNetworkStatusPrefix = "/network/status/";
// GET or POST "/network/slow/<seconds>": 200 with the body "slow" after that many real seconds.
inline constexpr std::string_view kNetworkSlowPrefix = "/network/slow/";

void addNetworkRoutes(LocalService& service);

}  // namespace local_service
