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

  // An HTTP answer with `status` and `body` (absent: an answer without data).
  static Outcome answer(std::int64_t status, std::optional<std::string> body = std::string()) {
    platform::HttpResponse response;
    response.statusCode = status;
    return Outcome{std::move(body), std::move(response), std::nullopt};
  }
  // A transfer that failed: the error alone, no body, no response.
  static Outcome failure(platform::Error error) {
    return Outcome{std::nullopt, std::nullopt, std::move(error)};
  }
  static platform::Error urlError(std::int64_t code, std::string description = "fake failure") {
    return platform::Error{std::string(platform::kUrlErrorDomain), code, std::move(description)};
  }

  enum class Delivery { kManual, kOwnThread };

  explicit FakeUrlSession(Delivery delivery = Delivery::kManual) : delivery_(delivery) {
    if (delivery_ == Delivery::kOwnThread) thread_ = std::thread([this] { serve(); });
  }

  // Stops the callback thread; completions not yet run are dropped.
  // REQUIRES: not called from one of the session's own completions.
  ~FakeUrlSession() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    std::deque<platform::OnceCallback<void()>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(deliveries_);
  }

  void script(Outcome outcome) {
    std::lock_guard lock(mutex_);
    script_.push_back(std::move(outcome));
  }

  void dataTask(platform::HttpRequest request, DataCompletion completion) override {
    Outcome outcome = start(std::move(request));
    enqueue([outcome = std::move(outcome), completion = std::move(completion)]() mutable {
      std::move(completion)(std::move(outcome.body), std::move(outcome.response),
                            std::move(outcome.error));
    });
  }

  void streamTask(platform::HttpRequest request, ChunkHandler onChunk,
                  StreamCompletion completion) override {
    Outcome outcome = start(std::move(request));
    enqueue([outcome = std::move(outcome), onChunk = std::move(onChunk),
             completion = std::move(completion)]() mutable {
      if (outcome.response && outcome.body && !outcome.body->empty() &&
          !onChunk(outcome.response->statusCode, *outcome.body)) {
        std::move(completion)(std::nullopt, urlError(platform::url_error::kCancelled, "cancelled"));
        return;
      }
      std::move(completion)(std::move(outcome.response), std::move(outcome.error));
    });
  }

  // kManual: runs the oldest waiting completion on this thread; false when
  // none waits.
  bool deliverNext() {
    platform::OnceCallback<void()> delivery;
    {
      std::lock_guard lock(mutex_);
      if (deliveries_.empty()) return false;
      delivery = std::move(deliveries_.front());
      deliveries_.pop_front();
    }
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
    return changed_.wait_for(lock, limit, [&] { return deliveries_.empty() && !running_; });
  }

  std::vector<platform::HttpRequest> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  std::size_t requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
  }
  std::size_t pendingDeliveries() const {
    std::lock_guard lock(mutex_);
    return deliveries_.size();
  }
  std::size_t unscriptedRequests() const {
    std::lock_guard lock(mutex_);
    return unscripted_;
  }
  // The thread that runs completions in kOwnThread mode.
  std::thread::id callbackThreadId() const { return thread_.get_id(); }

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

  void enqueue(platform::OnceCallback<void()> delivery) {
    std::lock_guard lock(mutex_);
    deliveries_.push_back(std::move(delivery));
    changed_.notify_all();
  }

  void serve() {
    std::unique_lock lock(mutex_);
    while (true) {
      changed_.wait(lock, [&] { return stopping_ || !deliveries_.empty(); });
      if (stopping_) return;
      platform::OnceCallback<void()> delivery = std::move(deliveries_.front());
      deliveries_.pop_front();
      running_ = true;
      lock.unlock();
      std::move(delivery)();
      lock.lock();
      running_ = false;
      changed_.notify_all();
    }
  }

  const Delivery delivery_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Outcome> script_;
  std::vector<platform::HttpRequest> requests_;
  std::deque<platform::OnceCallback<void()>> deliveries_;
  std::size_t unscripted_ = 0;
  bool running_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quarn::testing
