// Placeholder until this part is built.
#include "image/pad_image.h"

std::array<uint8_t, ImageBufferSize> ImageBuffer{};
uint32_t ReadPadImage(const char*, uint8_t&, uint32_t&, int) {
    return 0;
}
int WriteHyperPad(int) {
    return 0;
}
int LoadStampedImage(const char*, uint32_t&, uint32_t) {
    return 1;
}
