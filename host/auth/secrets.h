// The secrets of the host's accounts, on libsodium: argon2id password hashes,
// bearer tokens (long random secrets stored only as a fast hash), and the
// keyed hash under which verified logins are remembered in memory.
//
// Every function is thread-safe; the first call initialises libsodium and
// throws std::runtime_error when it cannot.
#ifndef VANTREL_HOST_AUTH_SECRETS_H_
#define VANTREL_HOST_AUTH_SECRETS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::host::auth {

// How much work an argon2id hash costs. kInteractive (libsodium's interactive
// limits: 2 passes over 64 MiB, 0.1 to 0.5 s) is what accounts get; kMinimum
// exists so that tests can make many hashes cheaply.
enum class PasswordCost { kInteractive, kMinimum };

// The argon2id hash of password in libsodium's string form
// ("$argon2id$v=19$m=...,t=...,p=...$salt$hash"), with a fresh random salt.
std::string HashPassword(std::string_view password, PasswordCost cost = PasswordCost::kInteractive);

// Whether password matches hash (a string made by HashPassword). False for
// a malformed hash. Slow on purpose.
bool VerifyPassword(std::string_view hash, std::string_view password);

// A bearer token: "vnt_" + id (16 hex digits) + "_" + 43 base64url characters
// of a 32-byte random secret. The id names the token in listings and files;
// the whole text is the secret.
struct IssuedToken {
  std::string id;
  std::string text;
};
IssuedToken NewToken();

// Splits a token's text: its id, or nothing when text does not have the
// shape of a token.
std::optional<std::string> TokenId(std::string_view text);

// The stored form of a token: BLAKE2b-256 of its text, 64 hex digits. Fast,
// which is safe because a token carries 256 random bits.
std::string TokenHash(std::string_view text);

// Compares two strings in time that depends only on their lengths.
bool ConstantTimeEqual(std::string_view a, std::string_view b);

// A 32-byte digest of text keyed with a random key made once per process:
// the name of a remembered login, useless outside this process.
using LoginKey = std::array<uint8_t, 32>;
LoginKey KeyedLoginHash(std::string_view text);

// Decodes standard base64 with or without padding; nothing when malformed.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace vantrel::host::auth

#endif  // VANTREL_HOST_AUTH_SECRETS_H_
