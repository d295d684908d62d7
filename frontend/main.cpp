// The program: start-up turns the command line into the settings of the run, and the session
// runs the update; both end the program through ExitProgram.
#include "frontend/session.h"
#include "frontend/startup.h"

int main(int argc, char** argv) {
    static SessionSettings settings;
    StartUp(argc, argv, settings);
    UpdateSession(settings);
}
