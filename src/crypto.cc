#include "crypto.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace morvatel {

namespace {

[[noreturn]] void crypto_failure() {
  // libcrypto refusing SHA-256 on valid arguments leaves nothing sound to do.
  std::abort();
}

EVP_MD_CTX* as_ctx(void* p) { return static_cast<EVP_MD_CTX*>(p); }

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(as_ctx(ctx_), EVP_sha256(), nullptr) != 1) {
    crypto_failure();
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(as_ctx(ctx_)); }

void Sha256::update(const void* data, size_t len) {
  if (len != 0 && EVP_DigestUpdate(as_ctx(ctx_), data, len) != 1) crypto_failure();
}

Digest32 Sha256::finish() {
  Digest32 out;
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(as_ctx(ctx_), out.data(), &len) != 1 || len != out.size()) {
    crypto_failure();
  }
  return out;
}

Digest32 sha256(std::span<const uint8_t> bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

Digest32 sha256(std::string_view bytes) {
  Sha256 h;
  h.update(bytes);
  return h.finish();
}

}  // namespace morvatel
