// e2e_service_simulator: the update service as the end-to-end sandbox shows it
// to the agent, over TLS on 127.0.0.1:443.
//
//   e2e_service_simulator SCRIPT CERT KEY REQUESTS
//
// SCRIPT is a JSON object from "<method> <path>" to the answer, status 200:
//   {"body": "<JSON text>"}  or  {"bodyFile": "<path of the bytes>", "trickle": <ms>}
// A request that no entry names gets 404. An answer with "trickle" sends a
// quarter of its body at once, prints "sent" on stdout and spreads the rest
// over that time, so that the sandbox can act while the body is arriving.
// Every request is appended to REQUESTS, one JSON string
// "<method> <target as sent>[ <body>]" a line, before its answer leaves.
// Prints "ready" on stdout once the port is bound, then serves until killed.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A quarter of the body at once, then the rest in 16 pieces over `milliseconds`.
void trickle(httplib::Response& response, std::string body, int milliseconds) {
  const auto bytes = std::make_shared<const std::string>(std::move(body));
  const std::size_t first = std::max<std::size_t>(bytes->size() / 4, 1);
  const std::size_t piece = std::max<std::size_t>((bytes->size() - first) / 16, 1);
  const std::chrono::milliseconds pause(milliseconds / 16);
  response.set_content_provider(
      bytes->size(), "application/octet-stream",
      [bytes, first, piece, pause](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        if (offset > 0) std::this_thread::sleep_for(pause);
        const std::size_t end = std::min(bytes->size(), offset == 0 ? first : offset + piece);
        if (!sink.write(bytes->data() + offset, end - offset)) return false;
        if (offset == 0) std::cout << "sent" << std::endl;
        return true;
      });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: e2e_service_simulator SCRIPT CERT KEY REQUESTS\n";
    return 2;
  }
  try {
    const nlohmann::json script = nlohmann::json::parse(readFile(argv[1]));
    std::ofstream requests(argv[4], std::ios::binary | std::ios::app);
    std::mutex mutex;
    httplib::SSLServer server(argv[2], argv[3]);
    if (!server.is_valid()) throw std::runtime_error("the certificate or key cannot be used");
    const auto handle = [&](const httplib::Request& request, httplib::Response& response) {
      const std::lock_guard lock(mutex);
      const std::string seen =
          request.method + " " + request.target + (request.body.empty() ? "" : " " + request.body);
      requests << nlohmann::json(seen).dump(-1, ' ', false,
                                            nlohmann::json::error_handler_t::replace)
               << std::endl;
      const auto answer = script.find(request.method + " " + request.path);
      if (answer == script.end()) {
        response.status = 404;
      } else if (!answer->contains("bodyFile")) {
        response.set_content(answer->value("body", ""), "application/json");
      } else if (answer->contains("trickle")) {
        trickle(response, readFile(answer->at("bodyFile")), answer->at("trickle"));
      } else {
        response.set_content(readFile(answer->at("bodyFile")), "application/octet-stream");
      }
    };
    server.Get(".*", handle);
    server.Post(".*", handle);
    if (!server.bind_to_port("127.0.0.1", 443)) {
      throw std::runtime_error("cannot listen on 127.0.0.1:443");
    }
    std::cout << "ready" << std::endl;
    return server.listen_after_bind() ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "e2e_service_simulator: " << error.what() << '\n';
    return 1;
  }
}
