// SHA-256 through libcrypto's EVP digest interface.
#include "platform/sha256.h"

#include <openssl/evp.h>

namespace {
EVP_MD_CTX* Context(void* state) {
    return static_cast<EVP_MD_CTX*>(state);
}
}  // namespace

Sha256::Sha256() {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        failed_ = true;
        return;
    }
    state_ = context;
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(Context(state_));
}

void Sha256::Update(const void* data, std::size_t length) {
    if (failed_ || state_ == nullptr) {
        failed_ = true;
        return;
    }
    if (EVP_DigestUpdate(Context(state_), data, length) != 1) {
        failed_ = true;
    }
}

int Sha256::Finish(Sha256Digest& digest) {
    unsigned int length = 0;
    if (failed_ || state_ == nullptr ||
        EVP_DigestFinal_ex(Context(state_), digest.data(), &length) != 1 ||
        length != digest.size()) {
        failed_ = true;
        return 0;
    }
    failed_ = true;  // the context is spent
    return 1;
}
