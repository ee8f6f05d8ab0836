// local-service [--port N] [--measurement-config FILE] [--status PATH=CODE,CODE...] [--hang PATH]
// [--deferred-deep-link LINK]: serves every remote end of the SDK on 127.0.0.1 and prints each
// request it receives, with the uploads decoded, until interrupted. --measurement-config names the
// readable configuration fixture served to every app (default:
// tools/local-service/fixtures/measurement_config.json); --status queues answers for a path (used
// once each, in order, e.g. --status /a=503,500,204); --hang makes a path accept requests and never
// answer; with a deferred deep link, the ad-services endpoint answers every install with that link.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "platform/foundation/thread_safety.h"
#include "tools/local-service/ads_routes.h"
#include "tools/local-service/analytics_routes.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/measurement_config_fixture.h"
#include "tools/local-service/wire_format.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

int usage() {
  std::cerr << "usage: local-service [--port N] [--measurement-config FILE] [--status PATH=CODE,CODE...] "
               "[--hang PATH] [--deferred-deep-link LINK]\n";
  return 2;
}

// "PATH=503,500,204" into the path and its statuses; false when malformed.
bool parseStatuses(const std::string& spec, std::string& path, std::vector<int>& statuses) {
  const auto equals = spec.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  path = spec.substr(0, equals);
  std::string_view rest = std::string_view(spec).substr(equals + 1);
  while (!rest.empty()) {
    const auto comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    int status = 0;
    auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), status);
    if (error != std::errc() || end != item.data() + item.size() || status < 100 || status > 599) return false;
    statuses.push_back(status);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return !statuses.empty();
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string configPath = local_service::defaultMeasurementConfigFixturePath();
  std::vector<std::pair<std::string, std::vector<int>>> scripted;
  std::vector<std::string> hanging;
  std::string deferredDeepLink;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--measurement-config" && i + 1 < argc) {
      configPath = argv[++i];
    } else if (arg == "--status" && i + 1 < argc) {
      std::string path;
      std::vector<int> statuses;
      if (!parseStatuses(argv[++i], path, statuses)) return usage();
      scripted.emplace_back(path, statuses);
    } else if (arg == "--hang" && i + 1 < argc) {
      hanging.emplace_back(argv[++i]);
    } else if (arg == "--port" && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (!end || *end || value < 0 || value > 65535) return usage();
      port = static_cast<int>(value);
    } else if (arg == "--deferred-deep-link" && i + 1 < argc) {
      deferredDeepLink = argv[++i];
    } else {
      return usage();
    }
  }

  local_service::LocalService service;
  const auto measurementConfigs = local_service::addDefaultRoutes(service);
  {
    std::ifstream in(configPath);
    std::stringstream text;
    text << in.rdbuf();
    std::string error;
    if (!in || !measurementConfigs->setFixture(text.str(), error)) {
      std::cerr << "local-service: cannot serve the measurement configuration " << configPath << ": "
                << (in ? error : "cannot read it") << "\n";
      return 1;
    }
  }
  for (const auto& [path, statuses] : scripted) {
    for (int status : statuses) service.enqueueAnswer(path, local_service::Answer::withStatus(status));
  }
  for (const auto& path : hanging) {
    local_service::Answer answer;
    answer.hang = true;
    service.setAnswer(path, answer);
  }
  if (!deferredDeepLink.empty()) {
    local_service::Answer answer;
    answer.body = local_service::deferredDeepLinkJSON({deferredDeepLink, std::nullopt, std::nullopt, std::nullopt});
    answer.contentType = "application/json";
    service.setAnswer(std::string(local_service::kDeferredDeepLinkPath), std::move(answer));
  }
  platform::Mutex printing;
  service.setPrinter([&printing](const local_service::RecordedRequest& request, const local_service::Answer& answer) {
    platform::MutexLock lock(printing);
    std::cout << request.method << " " << request.path << (request.query.empty() ? "" : "?" + request.query) << " -> "
              << answer.status << " (" << request.body.size() << " bytes";
    if (auto encoding = request.header("Content-Encoding")) std::cout << ", " << *encoding;
    std::cout << ")\n";
    for (const auto& [name, value] : request.headers) std::cout << "  " << name << ": " << value << "\n";
    if (!request.decodeError.empty()) std::cout << "  cannot read the body: " << request.decodeError << "\n";
    if (!request.description.empty()) {
      std::cout << request.description;
    } else if (!request.decodedBody.empty()) {
      std::cout << "  " << local_service::printableBytes(request.decodedBody, 400) << "\n";
    }
    std::cout << std::flush;
  });

  auto bound = service.start(port);
  if (!bound) {
    std::cerr << "local-service: cannot listen on 127.0.0.1:" << port << "\n";
    return 1;
  }
  std::cout << "local-service: listening on " << service.baseURL() << "\n"
            << "  run the app against it: VDZ_SERVICE_URL=" << service.baseURL() << " scripts/run\n"
            << std::flush;
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  while (!stopRequested) ::pause();
  service.stop();
  return 0;
}
