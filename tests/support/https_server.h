// HttpsServer: the scripted loopback server (scripted_server.h) for
// GoogleTest tests.
//
// Each problem the server saw (an unexpected request, one out of the scripted
// order, an expected request that never came) becomes a test failure, when the
// test calls verify() and, at the latest, when the server is destroyed. The
// server stops before its problems are collected, so nothing arriving late is
// missed.
//
//   HttpsServer server;
//   server.expect({"GET", "/v1/assets/A1/actions"}).respond(200, R"({"actions":[]})");
//   auto session = platform::makeUrlSession({.caFile = server.caFile()}, logger);
//   ... server.url("/v1/assets/A1/actions") ...
#pragma once

#include <gtest/gtest.h>

#include "tests/support/scripted_server.h"

namespace quarn::testing {

class HttpsServer : public ScriptedServer {
 public:
  explicit HttpsServer(Options options) : ScriptedServer(std::move(options)) {}
  HttpsServer() : HttpsServer(Options{}) {}
  ~HttpsServer() override {
    stop();
    verify();
  }

  // Reports the problems seen so far as test failures, and forgets them.
  void verify() {
    for (const auto& problem : takeProblems()) ADD_FAILURE() << "HTTPS test server: " << problem;
  }
};

// Options for a server without TLS, to check that plain http is refused.
inline ScriptedServer::Options plainHttpOptions() {
  ScriptedServer::Options options;
  options.tls = false;
  return options;
}

}  // namespace quarn::testing
