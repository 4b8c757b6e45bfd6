// quarn_bench_download: one package download through FileDownloader::downloadFile,
// as the update run makes it, for the download benchmark (download.sh).
//
//   quarn_bench_download URL DESTINATION EXPECTED_SHA256 CA_FILE
//
// The URL session trusts only CA_FILE (the loopback server's test CA). Exits 0
// once the package is verified and in place at DESTINATION; otherwise prints
// the error's description to stderr and exits 1 (2 for a usage error).
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "api/file_downloader.h"
#include "platform/error.h"
#include "platform/file_system.h"
#include "platform/logger.h"
#include "platform/url_session.h"

namespace quarn::bench {
namespace {

// Takes the session's records, which nobody reads.
class DiscardingLogSink final : public platform::LogSink {
 public:
  void write(const platform::LogRecord&) override {}
};

int run(std::string url, std::string destination, std::string expectedChecksum,
        std::string caFile) {
  // A failed transfer is reported by the exit status; the session's logger
  // still needs a sink.
  const auto discarding = std::make_shared<DiscardingLogSink>();
  auto downloader = std::make_shared<api::FileDownloader>(
      platform::makeUrlSession(
          platform::UrlSessionOptions{.caFile = std::move(caFile)},
          platform::Logger("com.kelvane.Orvanta.quarn", "URL Session", discarding)),
      platform::makeFileSystem(), api::TransferSettings{});

  std::promise<std::optional<platform::Error>> outcome;
  auto done = outcome.get_future();
  downloader->downloadFile(std::move(url), std::move(destination), std::move(expectedChecksum),
                           [&outcome](std::optional<platform::Error> error) {
                             // Runs on the session's thread; run() waits below
                             // and outlives the promise's use.
                             outcome.set_value(std::move(error));
                           });
  const std::optional<platform::Error> error = done.get();
  // Joins the session's thread before the promise goes away.
  downloader.reset();
  if (error) {
    std::fprintf(stderr, "%s\n", error->description.c_str());
    return 1;
  }
  return 0;
}

}  // namespace
}  // namespace quarn::bench

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: quarn_bench_download URL DESTINATION EXPECTED_SHA256 CA_FILE\n");
    return 2;
  }
  return quarn::bench::run(argv[1], argv[2], argv[3], argv[4]);
}
