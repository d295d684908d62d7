// Placeholder until this part is built.
#include "frontend/session.h"

int retriesLeft = 15;
void AccessBootloader(SerialLink&, const SessionSettings&, LoaderVersion&) {}
int QueryLoaderVersion(SerialLink, LoaderVersion&, uint32_t) {
    return 0;
}
