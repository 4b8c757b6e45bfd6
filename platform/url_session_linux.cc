// The libcurl session's worker: one thread per session drives every transfer
// through a curl multi handle and runs the completions. How a failure is named
// and which requests are refused before they are sent is in curl_errors.cc.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/curl_errors.h"
#include "platform/url_session.h"

namespace quarn::platform {
namespace {

// The worker waits at most this long between checks of its own state; new
// work and shutdown wake it at once through curl_multi_wakeup.
constexpr int kPollMilliseconds = 1000;
constexpr long kMaxRedirects = 10;
// Bounds that keep the conversions of the time-outs to curl's integer options
// well defined.
constexpr double kMaxTimeoutSeconds = 365.0 * 24 * 3600;

// curl_global_init is not free and not needed until a session is used, so it
// runs once, on first use.
bool curlReady() {
  static std::once_flag once;
  static bool ready = false;
  std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ready;
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

long clampedSeconds(double seconds) {
  if (!(seconds > 0)) return 1;  // also NaN
  return static_cast<long>(std::ceil(std::min(seconds, kMaxTimeoutSeconds)));
}

// One task: the request, what it calls back, and what has arrived so far.
// Touched only by the worker thread once submitted.
struct Transfer {
  HttpRequest request;
  bool streaming = false;
  UrlSession::DataCompletion dataCompletion;
  UrlSession::ChunkHandler onChunk;
  UrlSession::StreamCompletion streamCompletion;

  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  std::string body;
  HttpHeaders responseHeaders;
  // Body bytes of the current answer so far, and the length it announced
  // (read at its first body byte; absent when it announced none).
  std::uint64_t answerBodyBytes = 0;
  std::optional<std::uint64_t> announcedLength;
  std::optional<std::int64_t> abortCode;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;
  ~Transfer() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
  }

  void fail(Error error) {
    if (streaming) {
      std::move(streamCompletion)(std::nullopt, std::move(error));
    } else {
      std::move(dataCompletion)(std::nullopt, std::nullopt, std::move(error));
    }
  }

  void succeed(HttpResponse response) {
    if (streaming) {
      std::move(streamCompletion)(std::move(response), std::nullopt);
    } else {
      std::move(dataCompletion)(std::move(body), std::move(response), std::nullopt);
    }
  }
};

size_t onHeaderLine(char* data, size_t size, size_t count, void* userData) {
  auto* transfer = static_cast<Transfer*>(userData);
  const size_t length = size * count;
  const std::string_view line(data, length);
  if (line.starts_with("HTTP/")) {
    // A new response begins (after a redirect, an interim 1xx answer or a
    // proxy's CONNECT answer): only the final one's fields are kept.
    transfer->responseHeaders = HttpHeaders();
    transfer->answerBodyBytes = 0;
    return length;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return length;  // blank line or junk
  const auto name = trim(line.substr(0, colon));
  if (!name.empty()) transfer->responseHeaders.add(name, trim(line.substr(colon + 1)));
  return length;
}

// The value of a Content-Length field: decimal digits only, else absent (a
// field repeated with different values, junk, or an overflow).
std::optional<std::uint64_t> parseContentLength(const std::optional<std::string>& field) {
  if (!field || field->empty() || field->size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : *field) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

size_t onBodyData(char* data, size_t size, size_t count, void* userData) {
  auto* transfer = static_cast<Transfer*>(userData);
  const size_t length = size * count;
  if (length == 0) return 0;
  // A body that runs past the length its answer announced (chunked encoding
  // sent with a Content-Length) could go on forever: end it now.
  if (transfer->answerBodyBytes == 0) {
    transfer->announcedLength = parseContentLength(transfer->responseHeaders.get("Content-Length"));
  }
  transfer->answerBodyBytes += length;
  if (transfer->announcedLength && transfer->answerBodyBytes > *transfer->announcedLength) {
    transfer->abortCode = url_error::kBadServerResponse;
    return CURL_WRITEFUNC_ERROR;
  }
  if (transfer->streaming) {
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    if (!transfer->onChunk(status, std::string_view(data, length))) {
      transfer->abortCode = url_error::kCancelled;
      return CURL_WRITEFUNC_ERROR;
    }
    return length;
  }
  if (transfer->body.size() + length > UrlSession::kMaxDataTaskBodyBytes) {
    transfer->abortCode = url_error::kDataLengthExceedsMaximum;
    return CURL_WRITEFUNC_ERROR;
  }
  transfer->body.append(data, length);
  return length;
}

// Owns the curl multi handle and the worker thread. Shared by the session
// object and the running thread, so that a session destroyed from its own
// callback queue leaves the thread something valid to finish with.
class Worker : public std::enable_shared_from_this<Worker> {
 public:
  Worker(UrlSessionOptions options, Logger logger)
      : options_(std::move(options)), logger_(std::move(logger)) {}

  ~Worker() {
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
  }

  // Any thread. Hands the transfer to the worker, starting it first if needed.
  void submit(std::unique_ptr<Transfer> transfer) {
    std::lock_guard lock(mutex_);
    incoming_.push_back(std::move(transfer));
    if (!thread_.joinable() && !stopping_) {
      if (curlReady()) multi_ = curl_multi_init();
      thread_ = std::thread([self = shared_from_this()] { self->run(); });
    }
    wakeLocked();
  }

  // Ends the worker: transfers still running complete with kCancelled. Joins
  // the thread, unless called on it (from a completion), which would deadlock:
  // then the thread finishes on its own once that completion returns.
  void shutdown() {
    std::thread thread;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      wakeLocked();
      if (!thread_.joinable()) return;
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
      }
      thread = std::move(thread_);
    }
    thread.join();
  }

  // Any thread: whether it is the worker thread.
  bool runsOnCurrentThread() const { return runningThread_ == std::this_thread::get_id(); }

 private:
  void wakeLocked() {
    if (multi_ != nullptr) curl_multi_wakeup(multi_);
    wakeUp_.notify_all();
  }

  // The worker thread's loop.
  void run() {
    runningThread_ = std::this_thread::get_id();
    while (true) {
      std::vector<std::unique_ptr<Transfer>> incoming;
      {
        std::unique_lock lock(mutex_);
        if (multi_ == nullptr) {
          // libcurl could not be set up: every task fails, on this thread.
          wakeUp_.wait(lock, [&] { return stopping_ || !incoming_.empty(); });
        }
        if (stopping_) break;
        incoming.swap(incoming_);
      }
      for (auto& transfer : incoming) start(std::move(transfer));
      if (multi_ == nullptr) continue;
      int running = 0;
      curl_multi_perform(multi_, &running);
      finishCompleted();
      curl_multi_poll(multi_, nullptr, 0, kPollMilliseconds, nullptr);
    }
    cancelAll();
  }

  void start(std::unique_ptr<Transfer> transfer) {
    if (multi_ == nullptr) {
      transfer->fail(urlError(url_error::kUnknown, "The request failed: libcurl is unavailable."));
      return;
    }
    if (auto error = checkRequest(transfer->request)) {
      transfer->fail(std::move(*error));
      return;
    }
    transfer->easy = curl_easy_init();
    if (transfer->easy == nullptr) {
      transfer->fail(errorForCurlCode(CURLE_OUT_OF_MEMORY, std::nullopt, nullptr));
      return;
    }
    if (const CURLcode code = configure(*transfer); code != CURLE_OK) {
      fail(*transfer, code);
      return;
    }
    CURL* easy = transfer->easy;
    if (const CURLMcode code = curl_multi_add_handle(multi_, easy); code != CURLM_OK) {
      transfer->fail(urlError(url_error::kUnknown,
                              std::string("The request failed: ") + curl_multi_strerror(code)));
      return;
    }
    active_.emplace(easy, std::move(transfer));
  }

  CURLcode configure(Transfer& transfer) {
    CURL* easy = transfer.easy;
    const HttpRequest& request = transfer.request;
    CURLcode code = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
      if (code == CURLE_OK) code = curl_easy_setopt(easy, option, value);
    };

    set(CURLOPT_URL, request.url.c_str());
    // The path goes out as written: its "." and ".." segments are not resolved.
    set(CURLOPT_PATH_AS_IS, 1L);
    set(CURLOPT_PRIVATE, static_cast<void*>(&transfer));
    set(CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    set(CURLOPT_NOSIGNAL, 1L);

    // Only https, also for redirects.
    set(CURLOPT_PROTOCOLS_STR, "https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "https");
    set(CURLOPT_FOLLOWLOCATION, 1L);
    set(CURLOPT_MAXREDIRS, kMaxRedirects);

    // Verified TLS 1.2 or later.
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (options_.caFile) {
      set(CURLOPT_CAINFO, options_.caFile->c_str());
      set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }

    // Time-outs: connection set-up, at least one byte per stall period, and
    // the whole transfer when the request limits it.
    const auto milliseconds = [](double seconds) {
      return static_cast<long>(std::ceil(std::min(seconds, kMaxTimeoutSeconds) * 1000));
    };
    const double connectSeconds = options_.connectTimeout > 0 ? options_.connectTimeout : 60.0;
    set(CURLOPT_CONNECTTIMEOUT_MS, milliseconds(connectSeconds));
    if (request.timeLimit > 0) set(CURLOPT_TIMEOUT_MS, milliseconds(request.timeLimit));
    // A transfer that ends during name resolution leaves the resolver's thread
    // to finish on its own instead of waiting for it: a DNS server that does
    // not answer would hold the transfer, and this thread, for minutes.
    set(CURLOPT_QUICK_EXIT, 1L);
    double stallSeconds = options_.stallTimeout;
    if (request.timeoutInterval > 0) stallSeconds = std::min(stallSeconds, request.timeoutInterval);
    set(CURLOPT_LOW_SPEED_LIMIT, 1L);
    set(CURLOPT_LOW_SPEED_TIME, clampedSeconds(stallSeconds));

    // Method and body.
    const bool hasBody = request.body.has_value();
    if (request.method == "HEAD") {
      set(CURLOPT_NOBODY, 1L);  // a HEAD request carries no body
    } else if (request.method == "GET" && !hasBody) {
      set(CURLOPT_HTTPGET, 1L);
    } else {
      // POST keeps curl's own handling, so that 301/302/303 redirects turn
      // it into a GET; any other method is sent under its own name.
      if (request.method == "POST" && hasBody) {
        set(CURLOPT_POST, 1L);
      } else {
        set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
      }
      if (hasBody) {
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
        set(CURLOPT_POSTFIELDS, request.body->data());
      }
    }

    // Header fields exactly as given, and none of curl's own that the request
    // did not ask for.
    curl_slist* list = nullptr;
    auto append = [&](const std::string& line) {
      curl_slist* next = curl_slist_append(list, line.c_str());
      if (next == nullptr) {
        code = CURLE_OUT_OF_MEMORY;
        return;
      }
      list = next;
    };
    for (const auto& [name, value] : request.headers.fields()) {
      // "Name;" is curl's way of sending a field with an empty value.
      append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!request.headers.get("Accept")) append("Accept:");
    if (!request.headers.get("Expect")) append("Expect:");
    if (hasBody && !request.headers.get("Content-Type")) append("Content-Type:");
    transfer.headerList = list;
    set(CURLOPT_HTTPHEADER, list);

    set(CURLOPT_HEADERFUNCTION, onHeaderLine);
    set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    set(CURLOPT_WRITEFUNCTION, onBodyData);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    if (transfer.streaming) {
      // A download's connection is closed, never kept: bytes a host sends
      // beyond the length it announced would otherwise be read as the answer
      // to the next request on it.
      set(CURLOPT_FORBID_REUSE, 1L);
    } else {
      set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(UrlSession::kMaxDataTaskBodyBytes));
    }
    return code;
  }

  void finishCompleted() {
    std::vector<std::pair<CURL*, CURLcode>> done;
    int remaining = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &remaining)) {
      if (message->msg == CURLMSG_DONE)
        done.emplace_back(message->easy_handle, message->data.result);
    }
    for (auto [easy, result] : done) {
      auto node = active_.extract(easy);
      if (node.empty()) continue;
      curl_multi_remove_handle(multi_, easy);
      finish(*node.mapped(), result);
    }
  }

  void finish(Transfer& transfer, CURLcode result) {
    if (result != CURLE_OK) {
      fail(transfer, result);
      return;
    }
    long status = 0;
    char* finalUrl = nullptr;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &finalUrl);
    HttpResponse response;
    response.statusCode = status;
    response.url = finalUrl != nullptr ? finalUrl : transfer.request.url;
    response.headers = std::move(transfer.responseHeaders);
    transfer.succeed(std::move(response));
  }

  // Completes `transfer` with the error for curl's `code`, and logs why unless
  // the transfer was cancelled on purpose.
  void fail(Transfer& transfer, CURLcode code) {
    Error error = errorForCurlCode(code, transfer.abortCode, transfer.errorBuffer);
    if (error.code != url_error::kCancelled) {
      char* effectiveUrl = nullptr;
      curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effectiveUrl);
      const auto [host, path] =
          hostAndPath(effectiveUrl != nullptr ? effectiveUrl : transfer.request.url);
      std::string reason =
          transfer.errorBuffer[0] != '\0' ? transfer.errorBuffer : curl_easy_strerror(code);
      // curl only saw the session's own write callback refuse the data; say why.
      if (transfer.abortCode == url_error::kDataLengthExceedsMaximum) {
        reason = "the answer exceeds " + std::to_string(UrlSession::kMaxDataTaskBodyBytes) +
                 " bytes, the most a data task keeps";
      } else if (transfer.abortCode == url_error::kBadServerResponse) {
        reason = "the body runs past the length its answer announced";
      }
      logger_.log(
          "Request to %{public}s (path %s) failed at the %{public}s stage, curl error "
          "%{public}ld: %{public}s",
          host, path, failureStage(error), static_cast<std::int64_t>(code), reason);
    }
    transfer.fail(std::move(error));
  }

  // After the loop: everything still pending completes with kCancelled,
  // including tasks that those completions submit.
  void cancelAll() {
    if (multi_ != nullptr) {
      for (const auto& [easy, transfer] : active_) curl_multi_remove_handle(multi_, easy);
    }
    auto active = std::move(active_);
    active_.clear();
    for (auto& [easy, transfer] : active) transfer->fail(cancelledError());
    while (true) {
      std::vector<std::unique_ptr<Transfer>> incoming;
      {
        std::lock_guard lock(mutex_);
        incoming.swap(incoming_);
      }
      if (incoming.empty()) break;
      for (auto& transfer : incoming) transfer->fail(cancelledError());
    }
  }

  const UrlSessionOptions options_;
  const Logger logger_;

  std::mutex mutex_;
  std::condition_variable wakeUp_;  // used only while libcurl is unavailable
  std::vector<std::unique_ptr<Transfer>> incoming_;
  bool stopping_ = false;
  std::thread thread_;
  // Set before the thread starts and cleaned up after it ended; woken under
  // mutex_ from other threads.
  CURLM* multi_ = nullptr;

  std::atomic<std::thread::id> runningThread_;
  // Worker thread only.
  std::map<CURL*, std::unique_ptr<Transfer>> active_;
};

class CurlUrlSession final : public UrlSession {
 public:
  CurlUrlSession(UrlSessionOptions options, Logger logger)
      : worker_(std::make_shared<Worker>(std::move(options), std::move(logger))) {}

  ~CurlUrlSession() override { worker_->shutdown(); }

  void dataTask(HttpRequest request, DataCompletion completion) override {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->dataCompletion = std::move(completion);
    worker_->submit(std::move(transfer));
  }

  void streamTask(HttpRequest request, ChunkHandler onChunk, StreamCompletion completion) override {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->streaming = true;
    transfer->onChunk = std::move(onChunk);
    transfer->streamCompletion = std::move(completion);
    worker_->submit(std::move(transfer));
  }

  bool runsCallbacksOnCurrentThread() const override { return worker_->runsOnCurrentThread(); }

 private:
  std::shared_ptr<Worker> worker_;
};

}  // namespace

std::shared_ptr<UrlSession> makeUrlSession(UrlSessionOptions options, Logger logger) {
  return std::make_shared<CurlUrlSession>(std::move(options), std::move(logger));
}

}  // namespace quarn::platform
