// Placeholder until this part is built.
#include "frontend/settings.h"

void PrintVersionListing(int, int, const char*, int) {}
