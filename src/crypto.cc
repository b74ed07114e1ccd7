#include "crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace morvatel {

namespace {

[[noreturn]] void crypto_failure() {
  // With a fixed algorithm and valid arguments, libcrypto fails only when
  // it cannot allocate (a context, a key object, a provider's state). That
  // is the allocation failure the rest of the core reports by throwing
  // std::bad_alloc, which the interpreter boundary raises as MemoryError:
  // the process must not end over it. The queue is cleared so that no stale
  // error reaches the next caller of libcrypto.
  ERR_clear_error();
  throw std::bad_alloc();
}

EVP_MD_CTX* as_md(void* p) { return static_cast<EVP_MD_CTX*>(p); }
EVP_MAC_CTX* as_mac(void* p) { return static_cast<EVP_MAC_CTX*>(p); }
EVP_PKEY* as_pkey(void* p) { return static_cast<EVP_PKEY*>(p); }

// libcrypto wants a valid pointer even for zero bytes in places.
const unsigned char kNothing[1] = {0};
const unsigned char* nonnull(const void* p) {
  return p != nullptr ? static_cast<const unsigned char*>(p) : kNothing;
}

// Digests are fetched from the provider once. Initialising with the
// built-in descriptors (EVP_sha256()) fetches anew on every init, which adds
// about half again to the short messages of the digest layouts (a tag and two
// dozen fields: about 520 ns against 360 ns).
const EVP_MD* fetch_digest(const char* name) {
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  if (md == nullptr) crypto_failure();
  return md;
}

const EVP_MD* sha256_algorithm() {
  static const EVP_MD* md = fetch_digest("SHA256");
  return md;
}

const EVP_MD* sha512_algorithm() {
  static const EVP_MD* md = fetch_digest("SHA512");
  return md;
}

// Owners for libcrypto objects, so that a failure reported by throwing
// (crypto_failure) frees what was already made, key material included.
struct MdCtxFree {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct MacCtxFree {
  void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using MacCtx = std::unique_ptr<EVP_MAC_CTX, MacCtxFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;

void* new_digest_ctx(const EVP_MD* md) {
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) crypto_failure();
  return ctx.release();
}

void digest_update(void* ctx, const void* data, size_t len) {
  if (len != 0 && EVP_DigestUpdate(as_md(ctx), data, len) != 1) crypto_failure();
}

template <size_t N>
std::array<uint8_t, N> digest_finish(void* ctx) {
  std::array<uint8_t, N> out;
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(as_md(ctx), out.data(), &len) != 1 || len != N) crypto_failure();
  return out;
}

}  // namespace

// --- SHA-256 ---------------------------------------------------------------

Sha256::Sha256() : ctx_(new_digest_ctx(sha256_algorithm())) {}
Sha256::~Sha256() { EVP_MD_CTX_free(as_md(ctx_)); }
void Sha256::update(const void* data, size_t len) { digest_update(ctx_, data, len); }
Digest32 Sha256::finish() { return digest_finish<32>(ctx_); }
void Sha256::reset() {
  if (EVP_DigestInit_ex(as_md(ctx_), sha256_algorithm(), nullptr) != 1) crypto_failure();
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

// --- SHA-512 ---------------------------------------------------------------

Sha512::Sha512() : ctx_(new_digest_ctx(sha512_algorithm())) {}
Sha512::~Sha512() { EVP_MD_CTX_free(as_md(ctx_)); }
void Sha512::update(const void* data, size_t len) { digest_update(ctx_, data, len); }
Digest64 Sha512::finish() { return digest_finish<64>(ctx_); }

Digest64 sha512(std::span<const uint8_t> bytes) {
  Sha512 h;
  h.update(bytes);
  return h.finish();
}

Digest64 sha512(std::string_view bytes) {
  Sha512 h;
  h.update(bytes);
  return h.finish();
}

// --- HMAC-SHA-256 ----------------------------------------------------------

namespace {

// Fetched once; the fetched algorithm is immutable and may be shared.
EVP_MAC* hmac_algorithm() {
  static EVP_MAC* mac = [] {
    EVP_MAC* m = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (m == nullptr) crypto_failure();
    return m;
  }();
  return mac;
}

}  // namespace

HmacSha256::HmacSha256(std::span<const uint8_t> key) : ctx_(nullptr) {
  MacCtx ctx(EVP_MAC_CTX_new(hmac_algorithm()));
  if (ctx == nullptr) crypto_failure();
  char digest_name[] = "SHA256";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
      OSSL_PARAM_construct_end(),
  };
  // A null key pointer would mean "keep the previous key"; an empty key must
  // still be a key.
  if (EVP_MAC_init(ctx.get(), nonnull(key.data()), key.size(), params) != 1) crypto_failure();
  ctx_ = ctx.release();
}

HmacSha256::~HmacSha256() { EVP_MAC_CTX_free(as_mac(ctx_)); }

HmacSha256 HmacSha256::copy() const {
  EVP_MAC_CTX* dup = EVP_MAC_CTX_dup(as_mac(ctx_));
  if (dup == nullptr) crypto_failure();
  return HmacSha256(dup);
}

void HmacSha256::update(const void* data, size_t len) {
  if (len != 0 && EVP_MAC_update(as_mac(ctx_), static_cast<const unsigned char*>(data), len) != 1) {
    crypto_failure();
  }
}

Digest32 HmacSha256::finish() {
  Digest32 out;
  size_t len = 0;
  if (EVP_MAC_final(as_mac(ctx_), out.data(), &len, out.size()) != 1 || len != out.size()) {
    crypto_failure();
  }
  return out;
}

Digest32 hmac_sha256(std::span<const uint8_t> key, std::span<const uint8_t> data) {
  HmacSha256 mac(key);
  mac.update(data);
  return mac.finish();
}

Digest32 hmac_sha256(std::span<const uint8_t> key, std::string_view data) {
  HmacSha256 mac(key);
  mac.update(data);
  return mac.finish();
}

// --- Comparison and wiping -------------------------------------------------

bool constant_time_equal(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void secure_wipe(void* data, size_t len) {
  if (len != 0) OPENSSL_cleanse(data, len);
}

// --- Ed25519 ---------------------------------------------------------------

std::string Ed25519Error::message() const {
  std::string out = "signature error: ";
  out.append(kCannotDecompressPoint);
  return out;
}

Ed25519KeyPair Ed25519KeyPair::from_seed(std::span<const uint8_t, 32> seed) {
  Ed25519KeyPair kp;
  // libcrypto derives the public key here, once; signing reuses it.
  kp.pkey_ = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed.data(), 32);
  if (kp.pkey_ == nullptr) crypto_failure();
  size_t len = kp.public_.size();
  if (EVP_PKEY_get_raw_public_key(as_pkey(kp.pkey_), kp.public_.data(), &len) != 1 ||
      len != kp.public_.size()) {
    crypto_failure();
  }
  return kp;
}

Ed25519KeyPair::Ed25519KeyPair(Ed25519KeyPair&& other) noexcept
    : public_(other.public_), pkey_(std::exchange(other.pkey_, nullptr)) {
  other.reset();
}

Ed25519KeyPair& Ed25519KeyPair::operator=(Ed25519KeyPair&& other) noexcept {
  if (this != &other) {
    reset();
    public_ = other.public_;
    pkey_ = std::exchange(other.pkey_, nullptr);
    other.reset();
  }
  return *this;
}

Ed25519KeyPair::~Ed25519KeyPair() { reset(); }

void Ed25519KeyPair::reset() noexcept {
  // libcrypto keeps the private key in memory it clears when freed.
  EVP_PKEY_free(as_pkey(pkey_));
  pkey_ = nullptr;
  secure_wipe(public_.data(), public_.size());
}

Ed25519Signature Ed25519KeyPair::sign(std::span<const uint8_t> message) const {
  Ed25519Signature sig;
  size_t len = sig.size();
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx == nullptr ||
      EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, as_pkey(pkey_)) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &len, nonnull(message.data()), message.size()) != 1 ||
      len != sig.size()) {
    crypto_failure();
  }
  return sig;
}

Ed25519Signature Ed25519KeyPair::sign(std::string_view message) const {
  return sign(std::span(reinterpret_cast<const uint8_t*>(message.data()), message.size()));
}

namespace {

// Importing a raw public key by the algorithm's name looks the key type up in
// the provider each time, nearly half of the import's 2.3 us. A context set
// up for importing once does the rest; contexts must not be shared between
// threads, so each thread keeps its own. It holds no key.
class PublicKeyImporter {
 public:
  PublicKeyImporter() : ctx_(EVP_PKEY_CTX_new_from_name(nullptr, "ED25519", nullptr)) {
    if (ctx_ == nullptr || EVP_PKEY_fromdata_init(ctx_.get()) != 1) crypto_failure();
  }
  PublicKeyImporter(const PublicKeyImporter&) = delete;
  PublicKeyImporter& operator=(const PublicKeyImporter&) = delete;

  Pkey import(const Ed25519PublicKey& key) {
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<uint8_t*>(key.data()),
                                          key.size()),
        OSSL_PARAM_construct_end(),
    };
    EVP_PKEY* pkey = nullptr;
    if (EVP_PKEY_fromdata(ctx_.get(), &pkey, EVP_PKEY_PUBLIC_KEY, params) != 1) crypto_failure();
    return Pkey(pkey);
  }

 private:
  PkeyCtx ctx_;
};

Pkey import_public_key(const Ed25519PublicKey& key) {
  thread_local PublicKeyImporter importer;
  return importer.import(key);
}

// Empties the thread's error queue and tells whether it held a failure to
// allocate, or to set up the check's digest, which no mismatch causes.
bool take_resource_failure() {
  bool found = false;
  while (const unsigned long e = ERR_get_error()) {
    found |= ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE ||
             (ERR_GET_LIB(e) == ERR_LIB_EVP && ERR_GET_REASON(e) == EVP_R_INITIALIZATION_ERROR);
  }
  return found;
}

}  // namespace

std::expected<Ed25519VerifyingKey, Ed25519Error> Ed25519VerifyingKey::from_bytes(
    std::span<const uint8_t, 32> encoded) {
  if (!ed25519_point_decodes(encoded)) return std::unexpected(Ed25519Error{});
  Ed25519PublicKey b;
  std::memcpy(b.data(), encoded.data(), b.size());
  return Ed25519VerifyingKey(b);
}

bool Ed25519VerifyingKey::verify(std::span<const uint8_t> message,
                                 std::span<const uint8_t> signature) const {
  if (signature.size() != 64) return false;
  // libcrypto's Ed25519 verification is the check this key promises:
  // S < L is required, R is compared as bytes with [S]B - [k]A, and neither
  // the key nor R is tested for small order.
  Pkey pkey = import_public_key(bytes_);
  MdCtx ctx(EVP_MD_CTX_new());
  if (ctx == nullptr ||
      EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    crypto_failure();
  }
  // libcrypto answers 0 both for a signature that does not match and for a
  // check it could not finish because an allocation failed, and some of
  // those failures leave nothing on the error queue (the SHA-512 context of
  // the check, on 3.0). malloc reports every failure in errno, so an ENOMEM
  // there means the check may not have run to its end; a mismatch leaves
  // errno alone. A failed allocation must not read as a forgery: it is
  // thrown, as signing throws it. What is queued before the check (from a
  // set-up that succeeded, or from others) is dropped so that it cannot be
  // taken for an entry of the check.
  ERR_clear_error();
  const int saved_errno = errno;
  errno = 0;
  const int rc = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                  nonnull(message.data()), message.size());
  const bool allocation_failed = errno == ENOMEM;
  errno = saved_errno;
  // The queue is emptied in any case, as a check that got past a failed
  // allocation may queue it too: other users of libcrypto in the process
  // (the interpreter's ssl and hashlib) must not find what it leaves there.
  const bool failure_queued = take_resource_failure();
  // Only a finished comparison answers 1. A negative answer is no verdict
  // on the signature either: it reports a failure of the library itself.
  if (rc == 1) return true;
  if (rc < 0 || allocation_failed || failure_queued) crypto_failure();
  return false;
}

bool Ed25519VerifyingKey::verify(std::string_view message,
                                 std::span<const uint8_t> signature) const {
  return verify(std::span(reinterpret_cast<const uint8_t*>(message.data()), message.size()),
                signature);
}

}  // namespace morvatel
