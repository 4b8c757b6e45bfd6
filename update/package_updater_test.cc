#include "update/package_updater.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "tests/support/fake_clock.h"
#include "tests/support/fake_file_system.h"
#include "tests/support/fake_shared_items_storage.h"
#include "tests/support/fake_url_session.h"
#include "tests/support/memory_log_sink.h"
#include "tests/support/virtual_time_loop.h"
#include "update/last_run_text.h"

namespace quarn::update {
namespace {

using storage::SharedItem;
using testing::FakeUrlSession;

constexpr double kNow = 1'765'000'000.0;

class PackageUpdaterTest : public ::testing::Test {
 protected:
  std::shared_ptr<PackageUpdater> makeUpdater() {
    platform::Logger apiLogger("com.kelvane.Orvanta.quarn", "API Service", sink_);
    auto apiService = api::ApiService::create(
        std::make_unique<api::RequestBuilder>("https://service.test/v1/"), session_, apiLogger,
        loop_, std::make_shared<testing::FakeFileSystem>());
    platform::Logger logger("com.kelvane.Orvanta.quarn", "Package Updater", sink_);
    PackageUpdaterEnvironment environment{
        .logger = logger,
        .clock = clock_,
        .random = random_,
        .mainQueue = loop_,
        .processLauncher = platform::makeProcessLauncher(),
        .packageValidator = PackageValidator(platform::makeProcessLauncher(), logger,
                                             "/usr/sbin/pkgutil --check-signature ", "/bin/zsh"),
        .makeStatusReporter =
            [apiService, sink = sink_](std::string assetId, std::string actionId) {
              return std::make_shared<StatusReporter>(
                  std::move(assetId), std::move(actionId), apiService,
                  platform::Logger("com.kelvane.Orvanta.Updater", "Package Updater", sink));
            },
        .exitProcess = [this](int status) { exits_.push_back(status); },
        .packagePath = "/tmp/ForwarderInstallerPackage.pkg",
        .maximumDelay = 900.0,
        .updaterOutputIdentifier = "orvanta-updater",
    };
    return PackageUpdater::create(apiService, "/nonexistent/updater", storage_, nullptr,
                                  std::move(environment));
  }

  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<testing::FakeClock> clock_ = std::make_shared<testing::FakeClock>(kNow);
  std::shared_ptr<testing::FakeRandom> random_ = std::make_shared<testing::FakeRandom>(0);
  std::shared_ptr<testing::VirtualTimeLoop> loop_ = std::make_shared<testing::VirtualTimeLoop>();
  std::shared_ptr<FakeUrlSession> session_ = std::make_shared<FakeUrlSession>();
  std::shared_ptr<testing::FakeSharedItemsStorage> storage_ =
      std::make_shared<testing::FakeSharedItemsStorage>();
  std::vector<int> exits_;
};

TEST_F(PackageUpdaterTest, GateOverStoredTexts) {
  struct Case {
    std::optional<std::string> stored;
    bool due;
  };
  const std::string recent = formatUpdateLastRun(kNow - 10.0);
  const Case cases[] = {
      {std::nullopt, true},
      {"0", true},
      {"abc", true},
      {"", true},
      {" " + recent, true},  // unparsable texts count as 0
      {recent + " ", true},
      {recent, false},
      {formatUpdateLastRun(kNow - 86400.0), false},  // exactly 24 hours is not due
      {formatUpdateLastRun(kNow - 86400.5), true},
      {formatUpdateLastRun(kNow + 3600.0), false},  // the clock was set back
      {"0x1.a4cf0cp+30", false},                    // hexadecimal: 64 s before now
      {"inf", false},
      {"nan", false},
      {"-inf", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.value_or("<absent>"));
    storage_ = std::make_shared<testing::FakeSharedItemsStorage>();
    if (c.stored) storage_->set(SharedItem::updateLastRun, *c.stored);
    sink_->clear();
    auto updater = makeUpdater();
    EXPECT_EQ(updater->isUpdateCheckDue(), c.due);
    EXPECT_EQ(sink_->messages(), std::vector<std::string>{"Last installation check timestamp: " +
                                                          c.stored.value_or("0")});
  }
}

TEST_F(PackageUpdaterTest, ADueCheckRecordsTheTimeThenSchedulesOneRun) {
  storage_->set(SharedItem::updateLastRun, formatUpdateLastRun(kNow - 90000.0));
  auto updater = makeUpdater();
  clock_->set(kNow);
  updater->start();

  // The new time is in the store before the delay has elapsed: a process
  // killed during the wait keeps it.
  EXPECT_EQ(storage_->get(SharedItem::updateLastRun), formatUpdateLastRun(kNow));
  EXPECT_EQ(storage_->trustedApplications(SharedItem::updateLastRun),
            std::vector{storage::TrustedApplication::quarn});
  EXPECT_TRUE(exits_.empty());
  EXPECT_EQ(loop_->pendingTasks(), 1u);
  const auto messages = sink_->messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[1], "New timestamp for installation check: " + formatUpdateLastRun(kNow));
  EXPECT_EQ(messages[2], "Update process scheduled to be executed in 0.000000 seconds.");

  // The run starts when the delay elapses; with no asset identifier it ends,
  // and its completion ends the process.
  loop_->runUntilIdle();
  EXPECT_EQ(sink_->messages().back(),
            "Asset identifier Not available in the shared items storage.");
  EXPECT_EQ(exits_, std::vector{0});
  EXPECT_EQ(session_->requests().size(), 0u);
}

TEST_F(PackageUpdaterTest, ACheckNotDueEndsTheProcessAndTouchesNothing) {
  const std::string recent = formatUpdateLastRun(kNow - 60.0);
  storage_->set(SharedItem::updateLastRun, recent);
  makeUpdater()->start();
  EXPECT_EQ(exits_, std::vector{0});
  EXPECT_EQ(loop_->pendingTasks(), 0u);
  EXPECT_EQ(storage_->get(SharedItem::updateLastRun), recent);
  EXPECT_EQ(sink_->messages().back(),
            "Update process skipped until 24 hours passed since the last update check.");
}

TEST_F(PackageUpdaterTest, AFailingStoreStillSchedulesTheRun) {
  storage_->setFailing(true);
  makeUpdater()->start();
  EXPECT_TRUE(exits_.empty());
  EXPECT_EQ(loop_->pendingTasks(), 1u);
}

TEST_F(PackageUpdaterTest, DelayCoversBothEndsOfTheInterval) {
  auto updater = makeUpdater();
  struct Case {
    std::uint64_t bits;
    double delay;
  };
  const Case cases[] = {
      {0, 0.0},
      {std::numeric_limits<std::uint64_t>::max(), 900.0},
      {std::uint64_t{1} << 63, 900.0 * (4503599627370496.0 / 9007199254740991.0)},
  };
  for (const auto& c : cases) {
    random_->queue(c.bits);
    random_->next64();  // drop the value in front
    testing::VirtualTimeLoop queue;
    bool ran = false;
    EXPECT_EQ(updater->asyncAfterRandomDelay(queue, 900.0, [&] { ran = true; }), c.delay);
    EXPECT_DOUBLE_EQ(queue.nextDelay(), c.delay);
    queue.advance(c.delay);
    EXPECT_TRUE(ran);
  }
}

TEST_F(PackageUpdaterTest, TheScheduledRunDoesNothingOnceTheUpdaterIsGone) {
  makeUpdater()->start();  // the only reference goes away here
  loop_->runUntilIdle();
  EXPECT_TRUE(exits_.empty());
  EXPECT_NE(sink_->messages().back(), "Update process started.");
}

TEST(ResolveUpdateActionTest, TakesTheFirstActionWithAnUpdate) {
  const api::ForwarderUpdateAction first{"https://cdn.test/a.pkg", "aa"};
  const api::ForwarderUpdateAction second{"https://cdn.test/b.pkg", "bb"};
  api::ForwarderActionsResponse response{{{"A0", std::nullopt}, {"A1", first}, {"A2", second}}};

  auto action = PackageUpdater::resolveUpdateAction(response, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<UpdateRequired>(action));
  EXPECT_EQ(std::get<UpdateRequired>(action).actionIdentifier, "A1");
  EXPECT_EQ(std::get<UpdateRequired>(action).update, first);

  response.actions = {{"A0", std::nullopt}};
  EXPECT_TRUE(std::holds_alternative<NoUpdateRequired>(
      PackageUpdater::resolveUpdateAction(response, std::nullopt)));
  response.actions.clear();
  EXPECT_TRUE(std::holds_alternative<NoUpdateRequired>(
      PackageUpdater::resolveUpdateAction(response, std::nullopt)));
}

TEST(ResolveUpdateActionTest, AnErrorWinsAndAMissingRecordIsAFormatError) {
  const platform::Error error{"URLError", -1011, "bad"};
  auto failed = PackageUpdater::resolveUpdateAction(api::ForwarderActionsResponse{}, error);
  ASSERT_TRUE(std::holds_alternative<UpdateCheckFailed>(failed));
  EXPECT_EQ(std::get<UpdateCheckFailed>(failed).error, error);

  auto missing = PackageUpdater::resolveUpdateAction(std::nullopt, std::nullopt);
  ASSERT_TRUE(std::holds_alternative<UpdateCheckFailed>(missing));
  EXPECT_EQ(std::get<UpdateCheckFailed>(missing).error.description,
            "The forwarder actions could not be parsed from the response.");
}

}  // namespace
}  // namespace quarn::update
