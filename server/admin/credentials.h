// The admin side's secrets, over libsodium: Argon2id password hashes, API
// tokens and session secrets from the system's random source, and the
// SHA-256 digests that are all the database keeps of a token or a session.
#pragma once

#include <string>
#include <string_view>

namespace pbs::admin {

// Passwords shorter than this are refused by `admin add` and `admin passwd`.
constexpr std::size_t kMinPasswordLength = 10;
constexpr std::size_t kMaxPasswordLength = 1024;

// Initialises libsodium once (thread-safe); throws when it cannot.
void InitCrypto();

// An Argon2id string (crypto_pwhash_str, interactive limits). Throws when
// the system is out of memory for it.
std::string HashPassword(std::string_view password);
// True when `password` matches `hash`; false for any malformed hash.
bool VerifyPassword(const std::string& hash, std::string_view password);
// Spends the time of one VerifyPassword, for names that have no hash, so
// that a wrong name and a wrong password take as long.
void VerifyNothing(std::string_view password);

// "pbt_" + 32 random bytes in unpadded base64url (47 characters).
std::string NewApiToken();
// 32 random bytes in unpadded base64url (a session's cookie or CSRF token).
std::string NewSecret();
// Lower-case hex SHA-256 of `text`.
std::string Sha256Hex(std::string_view text);

}  // namespace pbs::admin
