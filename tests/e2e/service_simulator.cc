// e2e_service_simulator: the update service as the end-to-end sandbox shows it
// to the agent, over TLS on 127.0.0.1:443.
//
//   e2e_service_simulator SCRIPT CERT KEY REQUESTS
//
// SCRIPT is a JSON object from "<method> <path>" to the answer, status 200:
//   {"body": "<text>", "stall": <bool>}
// A request that no entry names gets 404. A stalling answer sends a quarter of
// its body, prints "sent" on stdout and holds the rest back, so that the
// sandbox can act while the body is arriving. Every request is appended to
// REQUESTS, "<method> <target as sent>[ <body>]" a line,
// before its answer leaves. Prints "ready" on stdout once the port is bound,
// then serves until killed.
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  const nlohmann::json script = nlohmann::json::parse(std::ifstream(argv[1]));
  std::ofstream requests(argv[4], std::ios::binary | std::ios::app);
  std::mutex mutex;
  httplib::SSLServer server(argv[2], argv[3]);
  const auto handle = [&](const httplib::Request& request, httplib::Response& response) {
    const std::lock_guard lock(mutex);
    requests << request.method << " " << request.target
             << (request.body.empty() ? "" : " " + request.body) << std::endl;
    const auto answer = script.find(request.method + " " + request.path);
    if (answer == script.end()) {
      response.status = 404;
    } else if (!answer->value("stall", false)) {
      response.set_content(answer->at("body").get<std::string>(), "application/octet-stream");
    } else {
      const auto body = std::make_shared<const std::string>(answer->at("body"));
      response.set_content_provider(
          body->size(), "application/octet-stream",
          [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
            if (offset == 0 && sink.write(body->data(), body->size() / 4)) {
              std::cout << "sent" << std::endl;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return true;
          });
    }
  };
  server.Get(".*", handle);
  server.Post(".*", handle);
  if (!server.is_valid() || !server.bind_to_port("127.0.0.1", 443)) {
    std::cerr << "e2e_service_simulator: cannot serve TLS on 127.0.0.1:443\n";
    return 1;
  }
  std::cout << "ready" << std::endl;
  return server.listen_after_bind() ? 0 : 1;
}
