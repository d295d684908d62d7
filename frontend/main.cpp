// Placeholder until this part is built.
#include "frontend/session.h"

int main(int argc, char** argv) {
    static SessionSettings settings;
    StartUp(argc, argv, settings);
    UpdateSession(settings);
}
