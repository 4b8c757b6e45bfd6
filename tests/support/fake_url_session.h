// FakeUrlSession: a scripted, in-memory UrlSession for tests of the logic
// above the network.
//
// Every task is recorded and answered with the next scripted Outcome, in the
// order tasks start. A task started with nothing scripted fails like an
// unreachable host (no response, a kCannotConnectToHost error) and is counted
// in unscriptedRequests(), so a test can assert there were none.
//
// Delivery decides where completions run:
//   kManual    - they wait until the test calls deliverNext()/deliverAll(),
//                and then run on the test's thread, after dataTask() returned;
//   kOwnThread - a thread of the fake's runs them one at a time, in order, like
//                the real session's callback queue.
// streamTask hands a present, non-empty body to the chunk handler in one
// piece, with the answer's status; a handler that returns false ends the task
// with a kCancelled error.
//
// Thread-safe: tasks may be started from any thread, also from a completion.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/once_callback.h"
#include "platform/url_session.h"

namespace quarn::testing {

class FakeUrlSession final : public platform::UrlSession {
 public:
  struct Outcome {
    std::optional<std::string> body;
    std::optional<platform::HttpResponse> response;
    std::optional<platform::Error> error;
  };
  enum class Delivery { kManual, kOwnThread };

  // An HTTP answer with `status` and `body` (absent: an answer without data).
  static Outcome answer(std::int64_t status, std::optional<std::string> body = std::string()) {
    return Outcome{std::move(body), platform::HttpResponse{status, "", {}}, std::nullopt};
  }
  // A transfer that failed: the error alone, no body, no response.
  static Outcome failure(platform::Error error) { return {std::nullopt, std::nullopt, error}; }
  static platform::Error urlError(std::int64_t code, std::string description = "fake failure") {
    return platform::Error{std::string(platform::kUrlErrorDomain), code, std::move(description)};
  }

  explicit FakeUrlSession(Delivery delivery = Delivery::kManual) {
    if (delivery == Delivery::kOwnThread) thread_ = std::thread([this] { serve(); });
  }
  // Stops the callback thread; completions not yet run are dropped.
  // REQUIRES: not called from one of the session's own completions.
  ~FakeUrlSession() override {
    enqueue({}, /*first=*/true);  // an empty delivery stops the thread
    if (thread_.joinable()) thread_.join();
  }

  void script(Outcome outcome) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(outcome));
  }

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

  // kManual: runs the oldest waiting completion on this thread; false when
  // none waits.
  bool deliverNext() {
    std::unique_lock lock(mutex_);
    if (deliveries_.empty()) return false;
    auto delivery = std::move(deliveries_.front());
    deliveries_.pop_front();
    lock.unlock();
    std::move(delivery)();
    return true;
  }
  // kManual: runs completions until none waits, also those of tasks the
  // completions start. Returns how many ran.
  int deliverAll() {
    int count = 0;
    while (deliverNext()) ++count;
    return count;
  }
  // kOwnThread: waits, at most `limit` in real time, until every started task
  // has completed. False on time-out.
  bool waitUntilIdle(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [&] { return deliveries_.empty() && !running_; });
  }

  std::vector<platform::HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t requestCount() const { return requests().size(); }
  std::size_t unscriptedRequests() const {
    std::lock_guard lock(mutex_);
    return unscripted_;
  }

 private:
  Outcome start(platform::HttpRequest request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    if (script_.empty()) {
      ++unscripted_;
      return failure(urlError(platform::url_error::kCannotConnectToHost, "unscripted request"));
    }
    Outcome outcome = std::move(script_.front());
    script_.pop_front();
    return outcome;
  }

  void enqueue(platform::OnceCallback<void()> delivery, bool first = false) {
    std::lock_guard lock(mutex_);
    deliveries_.insert(first ? deliveries_.begin() : deliveries_.end(), std::move(delivery));
    waiting_.notify_all();
  }

  // Runs deliveries until the empty one the destructor queues.
  void serve() {
    std::unique_lock lock(mutex_);
    while (true) {
      waiting_.wait(lock, [&] { return !deliveries_.empty(); });
      auto delivery = std::move(deliveries_.front());
      deliveries_.pop_front();
      if (!delivery) return;
      running_ = true;
      lock.unlock();
      std::move(delivery)();
      lock.lock();
      running_ = false;
      idle_.notify_all();
    }
  }

  mutable std::mutex mutex_;
  std::condition_variable waiting_, idle_;
  std::deque<Outcome> script_;
  std::vector<platform::HttpRequest> requests_;
  std::deque<platform::OnceCallback<void()>> deliveries_;
  std::size_t unscripted_ = 0;
  bool running_ = false;
  std::thread thread_;
};

}  // namespace quarn::testing
