// SHA-256 through the CNG calls (BCryptOpenAlgorithmProvider, BCryptCreateHash,
// BCryptHashData, BCryptFinishHash).
#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

namespace {
struct HashState {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}
}  // namespace

Sha256::Sha256() {
    auto* state = new HashState;
    if (!Succeeded(
            BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !Succeeded(BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0))) {
        failed_ = true;
    }
    state_ = state;
}

Sha256::~Sha256() {
    auto* state = static_cast<HashState*>(state_);
    if (state == nullptr) {
        return;
    }
    if (state->hash != nullptr) {
        BCryptDestroyHash(state->hash);
    }
    if (state->algorithm != nullptr) {
        BCryptCloseAlgorithmProvider(state->algorithm, 0);
    }
    delete state;
}

void Sha256::Update(const void* data, std::size_t length) {
    auto* state = static_cast<HashState*>(state_);
    const auto* bytes = static_cast<const UCHAR*>(data);
    while (!failed_ && length > 0) {
        // BCryptHashData takes a ULONG count: a large buffer goes in pieces.
        const ULONG piece = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (!Succeeded(BCryptHashData(state->hash, const_cast<UCHAR*>(bytes), piece, 0))) {
            failed_ = true;
        }
        bytes += piece;
        length -= piece;
    }
}

int Sha256::Finish(Sha256Digest& digest) {
    auto* state = static_cast<HashState*>(state_);
    if (failed_ || !Succeeded(BCryptFinishHash(state->hash, digest.data(),
                                               static_cast<ULONG>(digest.size()), 0))) {
        failed_ = true;
        return 0;
    }
    failed_ = true;  // the hash object is spent
    return 1;
}
