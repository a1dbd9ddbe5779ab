#include "host/auth/secrets.h"

#include <sodium.h>

#include <stdexcept>

namespace vantrel::host::auth {
namespace {

constexpr std::string_view kTokenPrefix = "vnt_";
constexpr size_t kTokenIdBytes = 8;
constexpr size_t kTokenSecretBytes = 32;
constexpr size_t kTokenSecretChars = 43;  // base64url of 32 bytes, unpadded

void EnsureSodium() {
  static const bool ready = [] {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot be initialised");
    return true;
  }();
  (void)ready;
}

std::string Hex(const unsigned char* bytes, size_t size) {
  std::string text(size * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes, size);
  text.pop_back();
  return text;
}

bool IsLowerHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool IsBase64Url(std::string_view text) {
  for (char c : text) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

const unsigned char* Bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

}  // namespace

std::string HashPassword(std::string_view password, PasswordCost cost) {
  EnsureSodium();
  bool minimum = cost == PasswordCost::kMinimum;
  unsigned long long ops = minimum ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  size_t memory = minimum ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), ops, memory) != 0) {
    throw std::runtime_error("out of memory while hashing a password");
  }
  return out;
}

bool VerifyPassword(std::string_view hash, std::string_view password) {
  EnsureSodium();
  if (hash.size() >= crypto_pwhash_STRBYTES) return false;
  char stored[crypto_pwhash_STRBYTES] = {};
  hash.copy(stored, hash.size());
  return crypto_pwhash_str_verify(stored, password.data(), password.size()) == 0;
}

IssuedToken NewToken() {
  EnsureSodium();
  unsigned char id[kTokenIdBytes];
  unsigned char secret[kTokenSecretBytes];
  randombytes_buf(id, sizeof id);
  randombytes_buf(secret, sizeof secret);
  char encoded[sodium_base64_ENCODED_LEN(kTokenSecretBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
  sodium_bin2base64(encoded, sizeof encoded, secret, sizeof secret, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  sodium_memzero(secret, sizeof secret);
  IssuedToken token;
  token.id = Hex(id, sizeof id);
  token.text = std::string(kTokenPrefix) + token.id + "_" + encoded;
  sodium_memzero(encoded, sizeof encoded);
  return token;
}

std::optional<std::string> TokenId(std::string_view text) {
  constexpr size_t idChars = kTokenIdBytes * 2;
  if (text.size() != kTokenPrefix.size() + idChars + 1 + kTokenSecretChars) return std::nullopt;
  if (text.substr(0, kTokenPrefix.size()) != kTokenPrefix) return std::nullopt;
  std::string_view id = text.substr(kTokenPrefix.size(), idChars);
  if (!IsLowerHex(id) || text[kTokenPrefix.size() + idChars] != '_') return std::nullopt;
  if (!IsBase64Url(text.substr(kTokenPrefix.size() + idChars + 1))) return std::nullopt;
  return std::string(id);
}

std::string TokenHash(std::string_view text) {
  EnsureSodium();
  unsigned char digest[crypto_generichash_BYTES];
  crypto_generichash(digest, sizeof digest, Bytes(text), text.size(), nullptr, 0);
  return Hex(digest, sizeof digest);
}

bool ConstantTimeEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

LoginKey KeyedLoginHash(std::string_view text) {
  EnsureSodium();
  static const std::array<unsigned char, crypto_generichash_KEYBYTES> key = [] {
    std::array<unsigned char, crypto_generichash_KEYBYTES> bytes;
    randombytes_buf(bytes.data(), bytes.size());
    return bytes;
  }();
  LoginKey digest;
  crypto_generichash(digest.data(), digest.size(), Bytes(text), text.size(), key.data(), key.size());
  return digest;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  EnsureSodium();
  std::string out(text.size() / 4 * 3 + 3, '\0');
  for (int variant : {sodium_base64_VARIANT_ORIGINAL, sodium_base64_VARIANT_ORIGINAL_NO_PADDING}) {
    size_t length = 0;
    const char* end = nullptr;
    auto* bytes = reinterpret_cast<unsigned char*>(out.data());
    int rc = sodium_base642bin(bytes, out.size(), text.data(), text.size(), nullptr, &length, &end, variant);
    if (rc == 0 && end == text.data() + text.size()) {
      out.resize(length);
      return out;
    }
  }
  return std::nullopt;
}

}  // namespace vantrel::host::auth
