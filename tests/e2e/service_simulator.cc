// e2e_service_simulator: the update service as the end-to-end sandbox shows it
// to the agent: the tests' HTTPS server on 127.0.0.1:443, with a certificate
// for updates.kelvane.com made for the run.
//
//   e2e_service_simulator SCRIPT TRUST_STORE REQUESTS
//
// SCRIPT is a JSON object from a path to the answer to any request for it,
// status 200:
//   {"body": "<text>", "stall": <bool>}
// A request for a path that no entry names gets 404. A stalling answer
// announces its whole body, sends a quarter of it and holds the rest back
// until the simulator stops, so that the sandbox can act while the body is
// arriving. The certificate is written to TRUST_STORE. Prints "ready" on
// stdout once it serves, then serves until SIGTERM or SIGINT, and then writes
// every request it received to REQUESTS, "<method> <target as sent>[ <body>]"
// a line.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/support/https_server.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  // Blocked before the server starts its threads, so only sigwait() sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  try {
    quarn::testing::HttpsServer server("DNS:updates.kelvane.com", 443);
    const nlohmann::json script = nlohmann::json::parse(std::ifstream(argv[1]));
    for (const auto& [path, entry] : script.items()) {
      const std::string body = entry.at("body");
      const bool stall = entry.value("stall", false);
      server.answer(path, {.body = stall ? body.substr(0, body.size() / 4) : body,
                           .length = body.size(),
                           .stall = stall});
    }
    std::filesystem::copy_file(server.caFile(), argv[2],
                               std::filesystem::copy_options::overwrite_existing);
    std::cout << "ready" << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    std::ofstream requests(argv[3], std::ios::binary);
    for (const auto& request : server.requests()) {
      requests << request.method << " " << request.target
               << (request.body.empty() ? "" : " " + request.body) << "\n";
    }
    return requests ? 0 : 1;
  } catch (const std::exception& error) {
    std::cerr << "e2e_service_simulator: " << error.what() << "\n";
    return 1;
  }
}
