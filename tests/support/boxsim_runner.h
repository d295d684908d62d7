// Runs boxsim in the background for end-to-end tests: start it, learn the path of its terminal,
// let the program under test talk to it, then collect its exit status and its log.
//
//   BoxSim box;
//   ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14"})) << box.Log();
//   setenv("COM1", box.Path().c_str(), 1);      // or pass box.ComEnv(1) to RunProcess
//   ... run the program ...
//   EXPECT_EQ(box.Wait(5000), 0) << box.Log();  // or box.Stop() when it would wait on
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class BoxSim {
  public:
    BoxSim() = default;
    BoxSim(const BoxSim&) = delete;
    BoxSim& operator=(const BoxSim&) = delete;
    // Stops a boxsim that is still running (SIGTERM, SIGKILL after 5 s).
    ~BoxSim();

    // Starts the boxsim binary with `args` and reads the terminal path from the first line of
    // its standard output (within 10 s). False when it did not start or printed no path; Log()
    // then tells why. Only one boxsim per object.
    bool Start(const std::vector<std::string>& args);

    // The terminal device that the program is to open (empty before a successful Start).
    const std::string& Path() const { return path_; }
    // "COMn=<path>", for the environment of a program run with RunProcess.
    std::string ComEnv(int portNumber = 1) const;

    // Waits up to timeoutMs for boxsim to end by itself. Returns its exit status (128 + the
    // signal number when a signal ended it), or -1 when it is still running.
    int Wait(int timeoutMs);
    // Asks boxsim to stop (SIGTERM: it cleans up and reports what it saw), waits up to 5 s,
    // kills it after that, and returns its exit status.
    int Stop();
    bool Running() const { return pid_ > 0 && status_ < 0; }

    // Everything boxsim has written on standard error so far.
    std::string Log() const;

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    int logFd_ = -1;  // an unlinked temporary file that holds boxsim's standard error
    std::string path_;
    std::string startError_;
};

namespace test {

// A hardware type as boxsim's --hw takes it: hexadecimal with 0x ("0x12").
inline std::string HardwareTypeArg(unsigned hardwareType) {
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[(hardwareType >> 4) & 0xF] + digits[hardwareType & 0xF];
}

}  // namespace test
