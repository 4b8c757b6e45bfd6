// SHA-256 and Base64 on OpenSSL's EVP interface: the digest is taken in pieces
// as a download arrives, and Base64 is encoded in bounded blocks.
#include <openssl/evp.h>

#include <cstdlib>
#include <vector>

#include "platform/crypto.h"

namespace quarn::platform {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  // Without a context or the algorithm no digest can be trusted; this only
  // happens when memory is exhausted or the library is broken.
  if (state_->context == nullptr ||
      EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
    std::abort();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(state_->context); }

void Sha256::update(std::string_view bytes) {
  if (EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1) std::abort();
}

std::string Sha256::finishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context, digest, &length) != 1) std::abort();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 0x0F]);
  }
  return text;
}

std::string base64Encode(std::string_view bytes) {
  if (bytes.empty()) return {};
  // EVP_EncodeBlock takes an int length; encode in pieces that are a multiple
  // of three bytes so the pieces join without padding in between.
  constexpr std::size_t kPiece = 3 * (1 << 20);
  std::string text;
  text.reserve(4 * ((bytes.size() + 2) / 3));
  std::vector<unsigned char> out(4 * kPiece / 3 + 1);
  for (std::size_t offset = 0; offset < bytes.size(); offset += kPiece) {
    const std::string_view piece = bytes.substr(offset, kPiece);
    const int written =
        EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(piece.data()),
                        static_cast<int>(piece.size()));
    text.append(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(written));
  }
  return text;
}

}  // namespace quarn::platform
