// StatusReporter: tells the service that an update action failed, and why.
//
// A reporter is bound to one asset and one action, and sends through the
// process's one ApiService. reportFailure() returns at once; its completion
// runs exactly once on the URL session's thread when the report has ended,
// delivered or not (a failed report is logged), as long as the service is
// alive when a delayed retry falls due.
#pragma once

#include <memory>
#include <string>

#include "api/api_service.h"
#include "platform/logger.h"
#include "platform/once_callback.h"

namespace quarn::update {

class StatusReporter {
 public:
  // `logger` is the reporter's: subsystem "com.kelvane.Orvanta.Updater",
  // category "Package Updater".
  StatusReporter(std::string assetId, std::string actionId,
                 std::shared_ptr<api::ApiService> apiService, platform::Logger logger);

  void reportFailure(std::string reason, platform::OnceCallback<void()> completion);

 private:
  std::shared_ptr<api::ApiService> apiService_;
  std::string assetId_;
  std::string actionId_;
  platform::Logger logger_;
};

}  // namespace quarn::update
