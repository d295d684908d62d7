// The cost of looking for other programs on the port before the wait for the box
// (platform/device_holders.h): a made /proc of 500 processes with 30 and with 10 open files each
// (sockets, pipes, regular files, /dev/zero and, in every tenth process, the device), then the
// machine's own /proc. The device is /dev/null, which many real processes hold, so every one of
// their links to it is looked at. Median (time and processor time) and slowest of 21 scans. Not
// part of the tests.
//
//   cmake -S . -B build-bench -DUPDATE_BENCH=ON && cmake --build build-bench --target
//   holder_scan_bench build-bench/bench/holder_scan_bench
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device_holders.h"

namespace {

constexpr int Processes = 500;
constexpr int Rounds = 21;

void MakeProc(const std::string& root, int filesPerProcess) {
    for (int pid = 1000; pid < 1000 + Processes; ++pid) {
        const std::string dir = root + "/" + std::to_string(pid);
        std::filesystem::create_directories(dir + "/fd");
        std::ofstream(dir + "/comm") << "proc" << pid << "\n";
        for (int fd = 0; fd < filesPerProcess; ++fd) {
            std::string target;
            switch (fd % 5) {
                case 0:
                    target = "socket:[" + std::to_string(pid * 100 + fd) + "]";
                    break;
                case 1:
                    target = "pipe:[" + std::to_string(pid * 100 + fd) + "]";
                    break;
                case 2:
                    target = "/etc/hostname";
                    break;
                case 3:
                    target = "/dev/zero";
                    break;
                default:
                    target = fd == 4 && pid % 10 == 0 ? "/dev/null" : "/dev/zero";
            }
            const std::string link = dir + "/fd/" + std::to_string(fd);
            if (symlink(target.c_str(), link.c_str()) != 0) {
                std::perror(link.c_str());
                std::exit(1);
            }
        }
    }
}

// Processor time of this process (user and system), which the other load of a shared machine
// does not inflate the way it does the time on the clock.
double CpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

void Measure(const char* label, const char* procRoot) {
    std::vector<double> ms;
    std::vector<double> cpuMs;
    std::size_t found = 0;
    for (int round = 0; round < Rounds; ++round) {
        const double cpuStart = CpuMs();
        const auto start = std::chrono::steady_clock::now();
        found = FindDeviceHolders(procRoot, "/dev/null", static_cast<uint32_t>(getpid())).size();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        cpuMs.push_back(CpuMs() - cpuStart);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    int entries = 0;
    if (DIR* dir = opendir(procRoot)) {
        while (const dirent* entry = readdir(dir)) {
            entries += entry->d_name[0] >= '1' && entry->d_name[0] <= '9' ? 1 : 0;
        }
        closedir(dir);
    }
    std::printf(
        "%-27s %4d processes, %3zu hold the device: median %.2f ms (processor %.2f ms), "
        "slowest %.2f ms\n",
        label, entries, found, ms[ms.size() / 2], cpuMs[cpuMs.size() / 2], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    // The made /proc lies in memory (/dev/shm) like the real one, unless a directory is named.
    const std::filesystem::path base = argc > 1 ? argv[1]
                                       : std::filesystem::exists("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    const std::string root = (base / ("holder-scan-" + std::to_string(getpid()))).string();
    for (const int files : {30, 10}) {
        MakeProc(root, files);
        const std::string label = "made /proc, " + std::to_string(files) + " files each";
        Measure(label.c_str(), root.c_str());
        std::filesystem::remove_all(root);
    }
    Measure("/proc", "/proc");
    return 0;
}
