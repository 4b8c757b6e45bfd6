// FakeUrlSession: a scripted, in-memory UrlSession for tests of the logic
// above the network.
//
// Every task is recorded and answered with the next Outcome of the script it
// was made with, in the order tasks start. A task started with nothing scripted fails like an
// unreachable host (no response, a kCannotConnectToHost error).
//
// Completions never run inside dataTask()/streamTask(): they are posted to the
// callback queue as tasks start: the virtual-time loop, so that everything
// runs in one thread in a fixed order, or a queue with a thread of its own, as
// the real session's. streamTask hands a present, non-empty body to the chunk
// handler in one piece, with the answer's status; a handler that returns false
// ends the task with a kCancelled error ("fake failure", as every error it
// makes up).
//
// Thread-safe: tasks may start on any thread.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/task_queue.h"
#include "platform/url_session.h"

namespace quarn::testing {

class FakeUrlSession final : public platform::UrlSession {
 public:
  struct Outcome {
    std::optional<std::string> body;
    std::optional<platform::HttpResponse> response;
    std::optional<platform::Error> error;
  };

  // An HTTP answer with `status` and `body` (absent: an answer without data).
  static Outcome answer(std::int64_t status, std::optional<std::string> body = std::string()) {
    return {std::move(body), platform::HttpResponse{status, "", {}}, std::nullopt};
  }
  static platform::Error urlError(std::int64_t code, std::string description = "fake failure") {
    return platform::Error{std::string(platform::kUrlErrorDomain), code, std::move(description)};
  }

  // Answers tasks with `script`, in order.
  FakeUrlSession(std::shared_ptr<platform::TaskQueue> callbackQueue, std::vector<Outcome> script)
      : callbackQueue_(std::move(callbackQueue)), script_(std::move(script)) {}

  std::vector<platform::HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  void dataTask(platform::HttpRequest request, DataCompletion completion) override {
    callbackQueue_->post(
        [outcome = start(std::move(request)), completion = std::move(completion)]() mutable {
          std::move(completion)(outcome.body, outcome.response, outcome.error);
        });
  }
  void streamTask(platform::HttpRequest request, ChunkHandler onChunk,
                  StreamCompletion completion) override {
    callbackQueue_->post([outcome = start(std::move(request)), onChunk = std::move(onChunk),
                          completion = std::move(completion)]() mutable {
      if (outcome.response && outcome.body && !outcome.body->empty() &&
          !onChunk(outcome.response->statusCode, *outcome.body)) {
        outcome = {std::nullopt, std::nullopt, urlError(platform::url_error::kCancelled)};
      }
      std::move(completion)(outcome.response, outcome.error);
    });
  }
  bool runsCallbacksOnCurrentThread() const override {
    return callbackQueue_->runsTasksOnCurrentThread();
  }

 private:
  Outcome start(platform::HttpRequest request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    if (requests_.size() > script_.size())
      return {std::nullopt, std::nullopt, urlError(platform::url_error::kCannotConnectToHost)};
    return script_[requests_.size() - 1];
  }

  const std::shared_ptr<platform::TaskQueue> callbackQueue_;
  mutable std::mutex mutex_;
  const std::vector<Outcome> script_;
  std::vector<platform::HttpRequest> requests_;
};

}  // namespace quarn::testing
