// local-service [--port N] [--deferred-deep-link LINK]: serves every remote end of the SDK on
// 127.0.0.1 and prints each request it receives, with the uploads decoded, until interrupted.
// With a deferred deep link, the ad-services endpoint answers every install with that link.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <unistd.h>

#include "platform/foundation/thread_safety.h"
#include "tools/local-service/ads_routes.h"
#include "tools/local-service/local_service.h"
#include "tools/local-service/wire_format.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

int usage() {
  std::cerr << "usage: local-service [--port N] [--deferred-deep-link LINK]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  std::string deferredDeepLink;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
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
  local_service::addDefaultRoutes(service);
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
