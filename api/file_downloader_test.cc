// FileDownloader over the real URL session and a loopback HTTPS server, with
// the fake file system taking the package.
#include "api/file_downloader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>

#include "tests/support/fake_file_system.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::api {
namespace {

using platform::Error;

const std::string kPackage = "package bytes\n";
const std::string kPackageDigest =
    "40fa264148fd4b9e9bea4447cc4504f68832044997ab4921af95356d05556031";
const std::string kDestination = "/tmp/ForwarderInstallerPackage.pkg";

// One download per row, over an older file at the destination: only a body
// that passed every check replaces it, and a staged file that cannot be made
// or put in place leaves it. A write that fails or a refused status ends even
// an endless body, and no staged file stays open. Writes fail only past twice
// the most a data task keeps: a download is not capped. Bytes a host sends
// past the announced length stay on that connection, which the next row would
// read as its answer were it kept.
TEST(FileDownloaderTest, DownloadOutcomes) {
  struct Case {
    const char* name;
    testing::Answer answer;
    std::string checksum = kPackageDigest;
    std::optional<Error> error{};
    bool createFails = false, commitFails = false;  // the staged file
  };
  // Their texts are those the update run logs (tested there).
  const auto status = [](int code) { return FileDownloaderError::errorStatusCode(code).toError(); };
  const std::string upper = "40FA264148FD4B9E9BEA4447CC4504F68832044997AB4921AF95356D05556031";
  const Error mismatch = FileDownloaderError::invalidFileChecksum(upper, kPackageDigest).toError();
  const std::uint64_t endless = std::uint64_t{1} << 50;
  const Error diskFull = testing::FakeFileSystem::diskFullError();
  const Error noCreate = platform::posixError(EACCES, "Could not create");
  const Error noCommit = platform::posixError(EISDIR, "Could not rename");
  const Case cases[] = {
      {"more than announced", {.body = kPackage, .generated = 64, .length = kPackage.size()}},
      {"299", {.status = 299, .body = kPackage}},
      {"300, endless", {.status = 300, .generated = endless}, kPackageDigest, status(300)},
      {"300, empty body", {.status = 300}, kPackageDigest, status(300)},
      {"digest in upper case", {.body = kPackage}, upper, mismatch},
      {"empty body", {}, sha256HexString("")},
      {"write fails", {.generated = endless}, kPackageDigest, diskFull},
      {"cannot create", {.body = kPackage}, kPackageDigest, noCreate, true},
      {"cannot commit", {.body = kPackage}, kPackageDigest, noCommit, false, true},
  };
  testing::HttpsServer server;
  const auto files = std::make_shared<testing::FakeFileSystem>();
  const platform::Logger log("", "", std::make_shared<testing::MemoryLogSink>());
  FileDownloader downloader(platform::makeUrlSession({.caFile = server.caFile()}, log), files, {});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files->setFile(kDestination, "older");
    files->setFaults({.writeLimit = 2 * platform::UrlSession::kMaxDataTaskBodyBytes,
                      .creates = c.createFails,
                      .commits = c.commitFails});
    server.answer("/p.pkg", c.answer);
    const auto outcome = std::make_shared<std::promise<std::optional<Error>>>();
    auto done = outcome->get_future();
    downloader.downloadFile(server.url("/p.pkg"), kDestination, c.checksum,
                            [outcome](auto error) { outcome->set_value(std::move(error)); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(done.get(), c.error);
    EXPECT_EQ(files->readFile(kDestination), c.error ? "older" : c.answer.body);
    EXPECT_EQ(files->openStagedFiles(), 0u);
  }
}

}  // namespace
}  // namespace quarn::api
