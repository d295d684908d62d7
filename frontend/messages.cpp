// Placeholder until this part is built.
#include "frontend/messages.h"

const std::array<const char*, 2 * MessageCount> MessageCatalog{};
const char* messageText(int) {
    return "";
}
