// StatusReporter: one failure report, and the log record of a report that
// failed.
#include "update/status_reporter.h"

#include <utility>

#include "api/service_records.h"
#include "update/log_message_ids.h"

namespace quarn::update {

StatusReporter::StatusReporter(std::string assetId, std::string actionId,
                               std::shared_ptr<api::ApiService> apiService, platform::Logger logger)
    : apiService_(std::move(apiService)),
      assetId_(std::move(assetId)),
      actionId_(std::move(actionId)),
      logger_(std::move(logger)) {}

void StatusReporter::reportFailure(std::string reason, platform::OnceCallback<void()> completion) {
  apiService_->reportFailedAction(
      assetId_, actionId_, reason,
      [logger = logger_, completion = std::move(completion)](
          std::optional<api::ActionResultResponse>, std::optional<platform::Error> error) mutable {
        if (error)
          logger.log(message_ids::kReportFailed, "Error reporting installation failed: %{public}s",
                     error->description);
        std::move(completion)();
      });
}

}  // namespace quarn::update
