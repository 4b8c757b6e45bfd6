// e2e_service_simulator: the update service as the end-to-end sandbox shows it
// to the agent. An HTTPS server that gives scripted answers and records every
// request it receives.
//
//   e2e_service_simulator --script FILE --cert FILE --key FILE --requests FILE
//                         [--address 127.0.0.1] [--port 443]
//
// The script is JSON:
//   {"routes": [{"method": "GET", "path": "/v1/assets/A1/actions",
//                "answers": [{"status": 502, "body": "..."},
//                            {"status": 200, "body": "...", "contentType": "...",
//                             "headers": {"Name": "value"}},
//                            {"status": 200, "bodyFile": "/path/of/the/bytes",
//                             "trickle": 2000}]}]}
// A route's answers are given in order; the last one repeats. An answer with
// "trickle" (milliseconds) sends a quarter of its body at once, prints
// "sent <bytes>" on stdout, and spreads the rest over that time, so that the
// sandbox can act while the body is arriving. A request that no
// route names gets 404. Every request is appended to the requests file (a JSON
// array of {"method", "path", "target", "query", "headers", "body"}, header
// names in lower case) before its answer leaves, so the file is complete
// whenever the client has seen an answer.
//
// Prints "ready" on stdout once the port is bound, then serves until killed.
#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Answer {
  int status = 200;
  std::string body;
  std::string bodyFile;
  std::string contentType;
  std::map<std::string, std::string> headers;
  int trickleMilliseconds = 0;
};

struct Route {
  std::string method;
  std::string path;
  std::vector<Answer> answers;
  std::size_t served = 0;
};

struct Options {
  std::string script;
  std::string cert;
  std::string key;
  std::string requests;
  std::string address = "127.0.0.1";
  int port = 443;
};

bool readFile(const std::string& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::vector<Route> loadRoutes(const std::string& path) {
  std::string text;
  if (!readFile(path, text)) throw std::runtime_error("cannot read the script " + path);
  const nlohmann::json script = nlohmann::json::parse(text);
  std::vector<Route> routes;
  for (const auto& entry : script.at("routes")) {
    Route route;
    route.method = entry.at("method").get<std::string>();
    route.path = entry.at("path").get<std::string>();
    for (const auto& item : entry.at("answers")) {
      Answer answer;
      answer.status = item.value("status", 200);
      answer.body = item.value("body", "");
      answer.bodyFile = item.value("bodyFile", "");
      answer.contentType = item.value("contentType", "");
      answer.trickleMilliseconds = item.value("trickle", 0);
      if (item.contains("headers")) {
        answer.headers = item.at("headers").get<std::map<std::string, std::string>>();
      }
      route.answers.push_back(std::move(answer));
    }
    if (route.answers.empty()) throw std::runtime_error("route without answers: " + route.path);
    routes.push_back(std::move(route));
  }
  return routes;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

class Simulator {
 public:
  Simulator(std::vector<Route> routes, std::string requestsPath)
      : routes_(std::move(routes)), requestsPath_(std::move(requestsPath)) {
    writeRecords();  // an empty list until the first request
  }

  void handle(const httplib::Request& request, httplib::Response& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    record(request);
    Route* route = nullptr;
    for (Route& candidate : routes_) {
      if (candidate.method == request.method && candidate.path == request.path) {
        route = &candidate;
        break;
      }
    }
    if (route == nullptr) {
      response.status = 404;
      response.set_content("no answer scripted for " + request.method + " " + request.path,
                           "text/plain");
      return;
    }
    const Answer& answer = route->answers[std::min(route->served, route->answers.size() - 1)];
    ++route->served;
    std::string body = answer.body;
    std::string contentType = answer.contentType;
    if (!answer.bodyFile.empty()) {
      if (!readFile(answer.bodyFile, body)) {
        response.status = 500;
        response.set_content("the simulator cannot read " + answer.bodyFile, "text/plain");
        return;
      }
      if (contentType.empty()) contentType = "application/octet-stream";
    }
    if (contentType.empty()) contentType = "application/json";
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    if (answer.trickleMilliseconds > 0 && !body.empty()) {
      trickle(response, std::move(body), contentType, answer.trickleMilliseconds);
    } else {
      response.set_content(body, contentType);
    }
  }

 private:
  // A quarter of the body at once, then the rest in pieces over `milliseconds`.
  static void trickle(httplib::Response& response, std::string body, const std::string& contentType,
                      int milliseconds) {
    constexpr int kPieces = 16;
    const auto bytes = std::make_shared<const std::string>(std::move(body));
    const std::size_t first = std::max<std::size_t>(bytes->size() / 4, 1);
    const std::size_t piece =
        std::max<std::size_t>((bytes->size() - first) / static_cast<std::size_t>(kPieces), 1);
    const std::chrono::milliseconds pause(milliseconds / kPieces);
    response.set_content_provider(
        bytes->size(), contentType,
        [bytes, first, piece, pause](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          if (offset > 0) std::this_thread::sleep_for(pause);
          const std::size_t end = std::min(bytes->size(), offset == 0 ? first : offset + piece);
          if (!sink.write(bytes->data() + offset, end - offset)) return false;
          if (offset == 0) std::cout << "sent " << end << std::endl;
          return true;
        });
  }

  void record(const httplib::Request& request) {
    nlohmann::json query = nlohmann::json::object();
    for (const auto& [name, value] : request.params) query[name] = value;
    nlohmann::json headers = nlohmann::json::object();
    for (const auto& [name, value] : request.headers) {
      // Bookkeeping fields that the server adds itself are not the client's.
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
          name == "LOCAL_PORT") {
        continue;
      }
      const std::string key = lowerCase(name);
      if (headers.contains(key)) {
        headers[key] = headers[key].get<std::string>() + ", " + value;
      } else {
        headers[key] = value;
      }
    }
    records_.push_back({{"method", request.method},
                        {"path", request.path},
                        {"target", request.target},
                        {"query", query},
                        {"headers", headers},
                        {"body", request.body}});
    writeRecords();
  }

  void writeRecords() const {
    const std::string temporary = requestsPath_ + ".partial";
    {
      std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
      out << records_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
    if (std::rename(temporary.c_str(), requestsPath_.c_str()) != 0) {
      std::cerr << "e2e_service_simulator: cannot write " << requestsPath_ << '\n';
    }
  }

  std::mutex mutex_;
  std::vector<Route> routes_;
  std::string requestsPath_;
  nlohmann::json records_ = nlohmann::json::array();
};

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--script") {
      options.script = value;
    } else if (name == "--cert") {
      options.cert = value;
    } else if (name == "--key") {
      options.key = value;
    } else if (name == "--requests") {
      options.requests = value;
    } else if (name == "--address") {
      options.address = value;
    } else if (name == "--port") {
      options.port = std::stoi(value);
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !options.script.empty() && !options.cert.empty() &&
         !options.key.empty() && !options.requests.empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::cerr << "usage: e2e_service_simulator --script FILE --cert FILE --key FILE "
                 "--requests FILE [--address ADDRESS] [--port PORT]\n";
    return 2;
  }
  try {
    Simulator simulator(loadRoutes(options.script), options.requests);
    httplib::SSLServer server(options.cert.c_str(), options.key.c_str());
    if (!server.is_valid()) {
      std::cerr << "e2e_service_simulator: the certificate or key cannot be used\n";
      return 1;
    }
    const auto handler = [&simulator](const httplib::Request& request,
                                      httplib::Response& response) {
      simulator.handle(request, response);
    };
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Delete(".*", handler);
    server.Patch(".*", handler);
    server.Options(".*", handler);
    if (!server.bind_to_port(options.address, options.port)) {
      std::cerr << "e2e_service_simulator: cannot listen on " << options.address << ':'
                << options.port << '\n';
      return 1;
    }
    std::cout << "ready" << std::endl;
    return server.listen_after_bind() ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "e2e_service_simulator: " << error.what() << '\n';
    return 1;
  }
}
