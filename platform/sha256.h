// SHA-256 from the system's own implementation: libcrypto's EVP interface on POSIX, the CNG
// (BCrypt) calls on Windows. The production log names every image by its digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t Sha256Size = 32;
using Sha256Digest = std::array<uint8_t, Sha256Size>;
// The digest in lower-case hexadecimal, with its terminating zero.
using Sha256Hex = std::array<char, 2 * Sha256Size + 1>;

// One digest computed piece by piece. Any failure of the system's calls makes Finish fail.
class Sha256 {
  public:
    Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    ~Sha256();

    void Update(const void* data, std::size_t length);
    // The digest of everything given to Update. Returns 1 on success, 0 when the system's
    // implementation failed or is not available. Only once per object.
    [[nodiscard]] int Finish(Sha256Digest& digest);

  private:
    void* state_ = nullptr;  // the platform's context
    bool failed_ = false;
};

// The digest of a whole file, read in pieces, and its size in bytes. Returns 1 on success, 0
// with the reason in the last-error value when the file cannot be read (or the hash failed).
[[nodiscard]] int Sha256OfFile(const char* name, Sha256Digest& digest, uint64_t& size);

[[nodiscard]] Sha256Hex Sha256ToHex(const Sha256Digest& digest);
