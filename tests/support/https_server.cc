#include "tests/support/https_server.h"

#include <gtest/gtest.h>

namespace quarn::testing {

HttpsServer::~HttpsServer() {
  stop();
  verify();
}

void HttpsServer::verify() {
  for (const auto& problem : takeProblems()) ADD_FAILURE() << "HTTPS test server: " << problem;
}

}  // namespace quarn::testing
