// FakeUrlSession: a scripted, in-memory UrlSession for tests of the logic
// above the network.
//
// Every task is recorded and answered with the next scripted Outcome, in the
// order tasks start. A task started with nothing scripted fails like an
// unreachable host (no response, a kCannotConnectToHost error).
//
// Completions never run inside dataTask()/streamTask(). They wait until the
// test calls deliverNext()/deliverAll(), or, when the session is given a
// callback queue, are posted to that queue as they start: in a test of the
// whole agent, the virtual-time loop that stands in for the main queue, so
// that everything runs in one thread in a fixed order. streamTask hands a
// present, non-empty body to the chunk handler in one piece, with the answer's
// status; a handler that returns false ends the task with a kCancelled error.
//
// Not thread-safe: the test's thread (or the queue's) does everything.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/once_callback.h"
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
    return Outcome{std::move(body), platform::HttpResponse{status, "", {}}, std::nullopt};
  }
  // A transfer that failed: the error alone, no body, no response.
  static Outcome failure(platform::Error error) { return {std::nullopt, std::nullopt, error}; }
  static platform::Error urlError(std::int64_t code, std::string description = "fake failure") {
    return platform::Error{std::string(platform::kUrlErrorDomain), code, std::move(description)};
  }

  explicit FakeUrlSession(std::shared_ptr<platform::TaskQueue> callbackQueue = nullptr)
      : callbackQueue_(std::move(callbackQueue)) {}

  void script(Outcome outcome) { script_.push_back(std::move(outcome)); }

  void dataTask(platform::HttpRequest request, DataCompletion completion) override {
    enqueue([outcome = start(std::move(request)), completion = std::move(completion)]() mutable {
      std::move(completion)(outcome.body, outcome.response, outcome.error);
    });
  }
  void streamTask(platform::HttpRequest request, ChunkHandler onChunk,
                  StreamCompletion completion) override {
    enqueue([outcome = start(std::move(request)), onChunk = std::move(onChunk),
             completion = std::move(completion)]() mutable {
      if (outcome.response && outcome.body && !outcome.body->empty() &&
          !onChunk(outcome.response->statusCode, *outcome.body)) {
        outcome = failure(urlError(platform::url_error::kCancelled, "cancelled"));
      }
      std::move(completion)(outcome.response, outcome.error);
    });
  }

  // Runs the oldest waiting completion; false when none waits.
  bool deliverNext() {
    if (deliveries_.empty()) return false;
    auto delivery = std::move(deliveries_.front());
    deliveries_.pop_front();
    std::move(delivery)();
    return true;
  }
  // Runs completions until none waits, also those of tasks the completions
  // start. Returns how many ran.
  int deliverAll() {
    int count = 0;
    while (deliverNext()) ++count;
    return count;
  }

  const std::vector<platform::HttpRequest>& requests() const { return requests_; }
  std::size_t requestCount() const { return requests_.size(); }

 private:
  Outcome start(platform::HttpRequest request) {
    requests_.push_back(std::move(request));
    if (script_.empty()) return failure(urlError(platform::url_error::kCannotConnectToHost));
    Outcome outcome = std::move(script_.front());
    script_.pop_front();
    return outcome;
  }

  void enqueue(platform::OnceCallback<void()> delivery) {
    if (callbackQueue_) {
      callbackQueue_->post(std::move(delivery));
    } else {
      deliveries_.push_back(std::move(delivery));
    }
  }

  const std::shared_ptr<platform::TaskQueue> callbackQueue_;
  std::deque<Outcome> script_;
  std::vector<platform::HttpRequest> requests_;
  std::deque<platform::OnceCallback<void()>> deliveries_;
};

}  // namespace quarn::testing
