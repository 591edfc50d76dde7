#pragma once
// The keyed stream cipher with which the database password is stored in "Morqa.ini".
#include <cstdint>
#include <string>
#include <string_view>

// The constants the connect operation deciphers the stored password with.
constexpr uint32_t kPasswordKey = 0x5B2;
constexpr uint32_t kPasswordMultiplier = 0x4E71;
constexpr uint32_t kPasswordAddend = 0xB7A9;

// Deciphers S byte by byte: out = c XOR bits 8..15 of K, then K = (c + K) * Multiplier +
// Addend modulo 2^32, where c is the enciphered byte. The result has the length of S;
// texts of any length are processed whole.
std::string DecryptStr(std::string_view S, uint32_t Key, uint32_t Multiplier, uint32_t Addend);
