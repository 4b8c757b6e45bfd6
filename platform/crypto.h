// SHA-256 and Base64, on OpenSSL.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quarn::platform {

// Incremental SHA-256: feed the bytes in pieces, then take the digest once.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(std::string_view bytes);
  // The 32 digest bytes as 64 lower-case hexadecimal characters.
  // REQUIRES: called once, after the last update().
  std::string finishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(std::string_view bytes);

}  // namespace quarn::platform
