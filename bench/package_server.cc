// quarn_bench_package_server: serves generated update packages over HTTPS on
// 127.0.0.1 for the download benchmark (download.sh), until SIGINT or SIGTERM.
//
//   quarn_bench_package_server SIZE...
//
// Each SIZE (bytes) is served at "/package-<SIZE>" as a streamed generated body
// (never held in memory), any number of times; other paths get 404. Once it
// listens, the program prints, one per line and flushed:
//
//   port <port>
//   ca <path of the test CA's PEM file, removed when the program ends>
//   package <SIZE> <path> <SHA-256 of the body, lower-case hex>
//   ready
//
// The digests are computed here from the same generator the server sends, so
// the runner needs no extra download to learn them. Errors go to stderr with
// exit status 2 (usage) or 1 (start-up failure).
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto.h"
#include "tests/support/https_server.h"

namespace quarn::bench {
namespace {

// Bytes of generated body digested at a time.
constexpr std::size_t kDigestPiece = 1 << 20;

std::string packagePath(std::uint64_t size) { return "/package-" + std::to_string(size); }

std::string generatedBodyDigest(std::uint64_t size) {
  platform::Sha256 digest;
  for (std::uint64_t offset = 0; offset < size; offset += kDigestPiece) {
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(kDigestPiece, size - offset));
    digest.update(testing::generatedBody(offset, length));
  }
  return digest.finishHex();
}

bool parseNumber(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

int usage() {
  std::fprintf(stderr, "usage: quarn_bench_package_server SIZE...\n");
  return 2;
}

int run(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) {
    std::uint64_t number = 0;
    if (!parseNumber(argv[i], number)) return usage();
    sizes.push_back(number);
  }
  if (sizes.empty()) return usage();

  // Block the stop signals before the server starts its threads, so that they
  // inherit the mask and only sigwait() below sees the signals.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  testing::HttpsServer server;
  std::printf("port %d\nca %s\n", server.port(), server.caFile().c_str());
  std::fflush(stdout);
  for (const std::uint64_t size : sizes) {
    server.answer(packagePath(size), {.generated = size, .length = size});
    std::printf("package %llu %s %s\n", static_cast<unsigned long long>(size),
                packagePath(size).c_str(), generatedBodyDigest(size).c_str());
    std::fflush(stdout);
  }
  std::printf("ready\n");
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  return 0;
}

}  // namespace
}  // namespace quarn::bench

int main(int argc, char** argv) {
  try {
    return quarn::bench::run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quarn_bench_package_server: %s\n", error.what());
    return 1;
  }
}
