// e2e_service_simulator: the update service as the end-to-end sandbox shows it
// to the agent: the tests' HTTPS server on 127.0.0.1:443.
//
//   e2e_service_simulator SCRIPT CERT KEY REQUESTS
//
// SCRIPT is a JSON object from "<method> <path>" to the answer, status 200:
//   {"body": "<text>", "stall": <bool>}
// A request that no entry names gets 404. A stalling answer announces its
// whole body, sends a quarter of it and holds the rest back until the
// simulator stops, so that the sandbox can act while the body is arriving.
// Every request is appended to REQUESTS, "<method> <target as sent>[ <body>]"
// a line, before its answer leaves. Prints "ready" on stdout once it serves,
// then serves until SIGTERM or SIGINT.
#include <signal.h>

#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "tests/support/https_server.h"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  // Blocked before the server starts its threads, so only sigwait() sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::ofstream requests(argv[4], std::ios::binary | std::ios::app);
  try {
    quarn::testing::HttpsServer server(
        {.certificateFile = argv[2], .keyFile = argv[3], .port = 443, .onRequest = [&](auto& r) {
           requests << r.method << " " << r.target << (r.body.empty() ? "" : " " + r.body)
                    << std::endl;
         }});
    const nlohmann::json script = nlohmann::json::parse(std::ifstream(argv[1]));
    for (const auto& [key, entry] : script.items()) {
      const std::string body = entry.at("body");
      const bool stall = entry.value("stall", false);
      server.answer(key.substr(key.find(' ') + 1),
                    {.method = key.substr(0, key.find(' ')),
                     .body = stall ? body.substr(0, body.size() / 4) : body,
                     .length = body.size(),
                     .stall = stall});
    }
    std::cout << "ready" << std::endl;
    int signal = 0;
    return sigwait(&stop, &signal);
  } catch (const std::exception& error) {
    std::cerr << "e2e_service_simulator: " << error.what() << "\n";
    return 1;
  }
}
