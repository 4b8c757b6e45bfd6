#include "api/file_download.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "api/api_service.h"
#include "platform/url_session.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/https_server.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"

namespace quarn::api {
namespace {

namespace fs = std::filesystem;
using testing::FakeUrlSession;
using testing::HttpsServer;

constexpr char kEmptyDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kPackage = "package bytes\n";

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class FileDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quarn-download-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    destination_ = dir_ / "ForwarderInstallerPackage.pkg";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Downloads `url` over `session` into `files` and waits for the one
  // completion. A download that never completes fails the test; releasing
  // the session then cancels it.
  std::optional<platform::Error> download(std::shared_ptr<platform::UrlSession> session,
                                          const std::string& url, const std::string& checksum,
                                          std::optional<fs::path> destination = std::nullopt,
                                          std::shared_ptr<platform::FileSystem> files = nullptr) {
    auto service =
        ApiService::create(std::make_unique<RequestBuilder>("https://service.test/v1/"), session,
                           platform::Logger("com.kelvane.Orvanta.quarn", "API Service", sink_),
                           loop_, files ? files : platform::makeFileSystem());
    struct Outcome {
      std::promise<std::optional<platform::Error>> error;
      std::thread::id thread;
      int calls = 0;
    };
    auto outcome = std::make_shared<Outcome>();
    auto future = outcome->error.get_future();
    service->downloadFile(url, destination.value_or(destination_).string(), checksum,
                          [outcome](std::optional<platform::Error> error) {
                            outcome->thread = std::this_thread::get_id();
                            if (++outcome->calls == 1) outcome->error.set_value(std::move(error));
                          });
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      ADD_FAILURE() << "the download did not complete";
      return platform::Error{"test", 0, "no completion"};
    }
    auto result = future.get();
    EXPECT_EQ(outcome->calls, 1);
    EXPECT_NE(outcome->thread, std::this_thread::get_id()) << "completion on the caller's thread";
    return result;
  }

  std::shared_ptr<platform::UrlSession> realSession() {
    return platform::makeUrlSession(
        {.connectTimeout = 5, .stallTimeout = 5, .caFile = server_.caFile()},
        platform::Logger("com.kelvane.Orvanta.quarn", "URL Session", sink_));
  }

  // No file but the destination (and what the test put there) is left.
  void expectNoTemporaryFiles(std::size_t expected = 0) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path() != destination_) ++count;
    }
    EXPECT_EQ(count, expected);
  }

  HttpsServer server_;
  fs::path dir_;
  fs::path destination_;
  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<testing::VirtualTimeLoop> loop_ = std::make_shared<testing::VirtualTimeLoop>();
};

TEST_F(FileDownloadTest, AMatchingBodyReplacesTheDestination) {
  std::ofstream(destination_) << "an older package";
  server_.expect({"GET", "/p.pkg"}).respond(200, kPackage);
  EXPECT_EQ(download(realSession(), server_.url("/p.pkg"), sha256HexString(kPackage)),
            std::nullopt);
  EXPECT_EQ(contents(destination_), kPackage);
  EXPECT_EQ(fs::status(destination_).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  expectNoTemporaryFiles();

  // A plain GET: none of the service's headers.
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Accept"), std::nullopt);
  EXPECT_EQ(requests[0].header("Content-Type"), std::nullopt);
}

TEST_F(FileDownloadTest, ChecksumsAreComparedAsExactText) {
  std::string upper = sha256HexString(kPackage);
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& expected : {upper, sha256HexString(kPackage) + "\n", std::string()}) {
    std::ofstream(destination_) << "old";
    server_.expect({"GET", "/p.pkg"}).respond(200, kPackage);
    const auto error = download(realSession(), server_.url("/p.pkg"), expected);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, kFileDownloaderErrorDomain);
    EXPECT_EQ(error->description, "The SHA256 package checksum is invalid. Expected: " + expected +
                                      ", Received: " + sha256HexString(kPackage));
    EXPECT_EQ(contents(destination_), "old");
    expectNoTemporaryFiles();
  }
}

TEST_F(FileDownloadTest, AnEmptyBodyIsDigestedAsZeroBytes) {
  server_.expect({"GET", "/empty"}).respond(200, "");
  EXPECT_EQ(download(realSession(), server_.url("/empty"), kEmptyDigest), std::nullopt);
  EXPECT_TRUE(fs::exists(destination_));
  EXPECT_EQ(fs::file_size(destination_), 0u);
}

TEST_F(FileDownloadTest, StatusOutside2xxIsRefusedWithItsCode) {
  struct Case {
    std::int64_t status;
    bool passes;
  };
  for (const Case c :
       {Case{199, false}, Case{200, true}, Case{299, true}, Case{300, false}, Case{404, false}}) {
    SCOPED_TRACE(c.status);
    fs::remove(destination_);
    auto session = std::make_shared<FakeUrlSession>(FakeUrlSession::Delivery::kOwnThread);
    session->script(FakeUrlSession::answer(c.status, kPackage));
    const auto error = download(session, "https://cdn.test/p.pkg", sha256HexString(kPackage));
    if (c.passes) {
      EXPECT_EQ(error, std::nullopt);
      EXPECT_EQ(contents(destination_), kPackage);
    } else {
      ASSERT_TRUE(error.has_value());
      EXPECT_EQ(error->description, "Wrong status code received during download status code: " +
                                        std::to_string(c.status));
      EXPECT_FALSE(fs::exists(destination_));
    }
    expectNoTemporaryFiles();
  }
}

TEST_F(FileDownloadTest, ATransportErrorIsHandedOnUnchangedAndWinsOverTheStatus) {
  auto session = std::make_shared<FakeUrlSession>(FakeUrlSession::Delivery::kOwnThread);
  auto outcome = FakeUrlSession::answer(200, kPackage);
  outcome.error = FakeUrlSession::urlError(platform::url_error::kNetworkConnectionLost, "lost");
  session->script(outcome);
  std::ofstream(destination_) << "old";
  const auto error = download(session, "https://cdn.test/p.pkg", sha256HexString(kPackage));
  EXPECT_EQ(error, FakeUrlSession::urlError(platform::url_error::kNetworkConnectionLost, "lost"));
  EXPECT_EQ(contents(destination_), "old");
  expectNoTemporaryFiles();

  // Over the network: nothing listens.
  server_.stop();
  const auto unreachable = download(realSession(), server_.url("/p.pkg"), kEmptyDigest);
  ASSERT_TRUE(unreachable.has_value());
  EXPECT_EQ(unreachable->domain, platform::kUrlErrorDomain);
  EXPECT_EQ(contents(destination_), "old");
}

TEST_F(FileDownloadTest, ASymbolicLinkAtTheDestinationIsNeverWrittenThrough) {
  const fs::path victim = dir_ / "victim";
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, destination_);

  server_.expect({"GET", "/p.pkg"}).respond(200, kPackage);
  ASSERT_TRUE(download(realSession(), server_.url("/p.pkg"), "wrong").has_value());
  EXPECT_TRUE(fs::is_symlink(destination_));  // a failure leaves it as it was

  server_.expect({"GET", "/p.pkg"}).respond(200, kPackage);
  EXPECT_EQ(download(realSession(), server_.url("/p.pkg"), sha256HexString(kPackage)),
            std::nullopt);
  EXPECT_FALSE(fs::is_symlink(destination_));
  EXPECT_EQ(contents(destination_), kPackage);
  EXPECT_EQ(contents(victim), "precious");
}

// Once the file cannot be written the outcome is decided: the transfer ends at
// once, however long the body, with the file system's error, and nothing is
// left. The body of a refused answer is never written: its status decides.
TEST_F(FileDownloadTest, AWriteFailureEndsTheTransferAtOnce) {
  constexpr std::uint64_t kEndless = std::uint64_t{1} << 50;
  constexpr std::uint64_t kRoom = 1 << 20;
  struct Case {
    const char* name;
    int status;
    std::uint64_t length;
    std::optional<std::uint64_t> failWritesAfter;
    std::uint64_t mostWritten;
    platform::Error error;
  };
  const Case cases[] = {
      {"disk full during an endless body", 200, kEndless, kRoom, kRoom,
       testing::FakeFileSystem::diskFullError()},
      {"refused answer", 404, 4 * kRoom, std::nullopt, 0,
       FileDownloaderError::errorStatusCode(404).toError()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_.expect({"GET", "/p.pkg"}).respondWithGeneratedBody(c.length, c.status, {}, true);
    auto files = std::make_shared<testing::FakeFileSystem>();
    if (c.failWritesAfter) files->failWritesAfter(*c.failWritesAfter);
    EXPECT_EQ(download(realSession(), server_.url("/p.pkg"), kEmptyDigest, std::nullopt, files),
              c.error);
    EXPECT_LE(files->bytesWritten(), c.mostWritten);
    EXPECT_EQ(files->openStagedFiles(), 0u);
    EXPECT_EQ(files->readFile(destination_.string()), std::nullopt);
  }

  // On disk: a folder that cannot take the file decides before the digest.
  server_.expect({"GET", "/p.pkg"}).respond(200, kPackage);
  const auto unwritable =
      download(realSession(), server_.url("/p.pkg"), "wrong", dir_ / "missing" / "package.pkg");
  ASSERT_TRUE(unwritable.has_value());
  EXPECT_EQ(unwritable->domain, platform::kPosixErrorDomain);
  EXPECT_EQ(unwritable->code, ENOENT);
}

TEST(FileDownloaderErrorTest, DescriptionsAreFixedTexts) {
  EXPECT_EQ(FileDownloaderError::notHTTPURLResponse().description(),
            "The received response can not be casted to HTTPURLResponse.");
  EXPECT_EQ(FileDownloaderError::tempLocalURLNotReceived().description(),
            "The temporary local URL was not received after downloading the file.");
  EXPECT_EQ(FileDownloaderError::dataNotReceived().description(),
            "The data payload was not received.");
  EXPECT_EQ(sha256HexString("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace quarn::api
