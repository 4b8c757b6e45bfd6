#include "app/composition.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tests/support/memory_log_sink.h"

namespace quarn::app {
namespace {

using ::testing::ElementsAre;

class FakeFileSystem final : public platform::FileSystem {
 public:
  std::optional<std::string> readFile(const std::string& path) override {
    reads.push_back(path);
    const auto it = files.find(path);
    if (it == files.end()) return std::nullopt;
    return it->second;
  }
  std::map<std::string, std::string> files;
  std::vector<std::string> reads;
};

// Records launches and refuses them, so no process is needed.
class RefusingLauncher final : public platform::ProcessLauncher {
 public:
  platform::Expected<std::shared_ptr<platform::Process>> launch(platform::ProcessSpec spec,
                                                                TerminationHandler) override {
    launches.push_back(spec);
    return platform::posixError(EAGAIN, spec.launchPath);
  }
  std::vector<platform::ProcessSpec> launches;
};

std::string database(const std::string& state) {
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>extensionPolicies</key><array><dict><key>allowedExtensions</key><dict>
    <key>3RZT8QW5KD</key><array><string>com.kelvane.Orvanta.ProcessMonitor</string></array>
  </dict></dict></array>
  <key>extensions</key><array><dict>
    <key>identifier</key><string>com.kelvane.Orvanta.ProcessMonitor</string>
    <key>state</key><string>)" +
         state + R"(</string>
    <key>teamID</key><string>3RZT8QW5KD</string>
  </dict></array>
</dict></plist>)";
}

class QuarnTest : public ::testing::Test {
 protected:
  int run() { return Quarn::run(Platform{sink_, files_, launcher_}); }

  std::shared_ptr<testing::MemoryLogSink> sink_ = std::make_shared<testing::MemoryLogSink>();
  std::shared_ptr<FakeFileSystem> files_ = std::make_shared<FakeFileSystem>();
  std::shared_ptr<RefusingLauncher> launcher_ = std::make_shared<RefusingLauncher>();
};

TEST_F(QuarnTest, InstallsTheForwardersExtensionWhenAllowedButInactive) {
  files_->files["/Library/SystemExtensions/db.plist"] = database("activated_disabled");
  EXPECT_EQ(run(), 0);

  EXPECT_THAT(files_->reads, ElementsAre("/Library/SystemExtensions/db.plist"));
  ASSERT_EQ(launcher_->launches.size(), 1u);
  EXPECT_EQ(launcher_->launches[0].launchPath, "/bin/zsh");
  EXPECT_THAT(launcher_->launches[0].arguments,
              ElementsAre("-c",
                          "/Applications/Orvanta\\ Forwarder.app/Contents/MacOS/Orvanta\\ "
                          "Forwarder install-extension"));
  EXPECT_THAT(sink_->messages(),
              ElementsAre("Installing extension.",
                          "Orvanta Forwarder command error: /bin/zsh: Resource temporarily "
                          "unavailable"));
  for (const auto& record : sink_->records()) {
    EXPECT_EQ(record.subsystem, "com.kelvane.Orvanta.quarn");
    EXPECT_EQ(record.category, "Orvanta Quarn");
  }
}

TEST_F(QuarnTest, LeavesAnActiveExtensionAlone) {
  files_->files["/Library/SystemExtensions/db.plist"] = database("activated_enabled");
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(launcher_->launches.empty());
  EXPECT_THAT(sink_->messages(), ElementsAre("The System extension is already active."));
}

TEST_F(QuarnTest, GoesOnWithoutADatabase) {
  EXPECT_EQ(run(), 0);
  EXPECT_TRUE(launcher_->launches.empty());
  EXPECT_THAT(sink_->messages(), ElementsAre("The file db.plist could not be loaded."));
}

}  // namespace
}  // namespace quarn::app
