// The cost of looking for other programs on the port before the wait for the box
// (platform/device_holders.h): a made /proc of 500 processes with 30 open files each (sockets,
// pipes, regular files, /dev/zero and, in every tenth process, the device), then the machine's
// own /proc. The device is /dev/null, which many real processes hold, so every one of their
// links to it is looked at. Median and slowest of 21 scans. Not part of the tests.
//
//   cmake -S . -B build-bench -DUPDATE_BENCH=ON && cmake --build build-bench --target
//   holder_scan_bench build-bench/bench/holder_scan_bench
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device_holders.h"

namespace {

constexpr int Processes = 500;
constexpr int FilesPerProcess = 30;
constexpr int Rounds = 21;

void MakeProc(const std::string& root) {
    for (int pid = 1000; pid < 1000 + Processes; ++pid) {
        const std::string dir = root + "/" + std::to_string(pid);
        std::filesystem::create_directories(dir + "/fd");
        std::ofstream(dir + "/comm") << "proc" << pid << "\n";
        for (int fd = 0; fd < FilesPerProcess; ++fd) {
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

void Measure(const char* label, const char* procRoot) {
    std::vector<double> ms;
    std::size_t found = 0;
    for (int round = 0; round < Rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        found = FindDeviceHolders(procRoot, "/dev/null", static_cast<uint32_t>(getpid())).size();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    int entries = 0;
    if (DIR* dir = opendir(procRoot)) {
        while (const dirent* entry = readdir(dir)) {
            entries += entry->d_name[0] >= '1' && entry->d_name[0] <= '9' ? 1 : 0;
        }
        closedir(dir);
    }
    std::printf("%-10s %4d processes, %3zu hold the device: median %.2f ms, slowest %.2f ms\n",
                label, entries, found, ms[ms.size() / 2], ms.back());
}

}  // namespace

int main() {
    const std::string root =
        (std::filesystem::temp_directory_path() / ("holder-scan-" + std::to_string(getpid())))
            .string();
    MakeProc(root);
    Measure("made /proc", root.c_str());
    Measure("/proc", "/proc");
    std::filesystem::remove_all(root);
    return 0;
}
