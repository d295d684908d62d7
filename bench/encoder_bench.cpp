// Throughput of the encoding file reader (the prefix-coded download reads and encodes the image
// block by block) and the time to build the compressed container of a 3 MiB image.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DUPDATE_BENCH=ON
//   cmake --build build-bench --target encoder_bench -j2 && build-bench/bench/encoder_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/compression.h"
#include "image/pad_image.h"
#include "platform/file.h"
#include "protocols/block_transfer.h"

namespace {

constexpr uint32_t ImageSize = 3 * 1024 * 1024 - 64;

// Box software: stretches of code (a small alphabet with many zero bytes), zero-filled data
// and tables of random bytes, wrapped as a PAD image with a 5-byte tag.
std::vector<uint8_t> RealLookingImage(uint32_t size) {
    std::mt19937 random(20240501);
    std::vector<uint8_t> payload;
    payload.reserve(size);
    const uint8_t code[] = {0x00, 0x00, 0x00, 0x27, 0xBD, 0xFF, 0xE0, 0xAF, 0xBF, 0x8F,
                            0x03, 0xE0, 0x00, 0x08, 0x24, 0x02, 0x10, 0x00, 0x3C, 0x1C};
    while (payload.size() < size - 13) {
        const auto kind = static_cast<uint32_t>(random() % 10);
        const uint32_t length = 512 + random() % 4096;
        for (uint32_t i = 0; i < length && payload.size() < size - 13; ++i) {
            uint8_t byte = 0;
            if (kind < 5) {
                byte = code[random() % sizeof code];
            } else if (kind < 8) {
                byte = 0;
            } else {
                byte = static_cast<uint8_t>(random());
            }
            payload.push_back(byte);
        }
    }
    uint32_t sum = 0;
    for (uint8_t byte : payload) {
        sum += byte;
    }
    const uint32_t length = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> image(length + 13);
    WriteBigEndian32(image.data(), length);
    image[4] = 0x04;
    WriteBigEndian32(image.data() + 5, 0x00040002);
    std::copy(payload.begin(), payload.end(), image.begin() + 9);
    WriteBigEndian32(image.data() + 9 + length, sum);
    return image;
}

std::vector<uint8_t> RandomImage(uint32_t size) {
    std::mt19937 random(7);
    std::vector<uint8_t> image(size);
    for (uint8_t& byte : image) {
        byte = static_cast<uint8_t>(random());
    }
    return image;
}

// A file in the temporary directory, removed at exit.
class TempImage {
  public:
    explicit TempImage(const std::vector<uint8_t>& bytes) {
        char name[] = "/tmp/encoder_bench_XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            std::perror("encoder_bench: temporary image");
            std::exit(1);
        }
        close(fd);
        path_ = name;
    }
    ~TempImage() { unlink(path_.c_str()); }
    const char* Path() const { return path_.c_str(); }

  private:
    std::string path_;
};

void EncodeFile(benchmark::State& state, const std::vector<uint8_t>& image) {
    const TempImage file(image);
    std::vector<uint8_t> block(TransferBlockSize);
    uint64_t encoded = 0;
    for (auto _ : state) {
        File input = File::OpenRead(file.Path());
        ResetImageBlockReader();
        uint32_t produced = 0;
        uint32_t consumed = 0;
        encoded = 0;
        do {
            if (!ReadImageBlock(input, block.data(), TransferBlockSize, produced, consumed,
                                Encoding::PrefixCoded)) {
                state.SkipWithError("read failed");
                return;
            }
            encoded += produced;
        } while (produced != 0);
        benchmark::DoNotOptimize(block.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(image.size()));
    state.counters["encoded_ratio"] =
        static_cast<double>(encoded) / static_cast<double>(image.size());
}

void BM_EncodeRealLookingImage(benchmark::State& state) {
    EncodeFile(state, RealLookingImage(ImageSize));
}
BENCHMARK(BM_EncodeRealLookingImage)->Unit(benchmark::kMillisecond);

void BM_EncodeRandomImage(benchmark::State& state) {
    EncodeFile(state, RandomImage(ImageSize));
}
BENCHMARK(BM_EncodeRandomImage)->Unit(benchmark::kMillisecond);

void BM_BuildCompressedImage(benchmark::State& state) {
    const std::vector<uint8_t> image = RealLookingImage(ImageSize);
    uint32_t total = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::copy(image.begin(), image.end(), ImageBuffer.begin());
        state.ResumeTiming();
        if (!BuildCompressedImage(static_cast<uint32_t>(image.size()), 4, 0x00040002, total)) {
            state.SkipWithError("compression failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(image.size()));
    state.counters["container_ratio"] =
        static_cast<double>(total) / static_cast<double>(image.size());
}
BENCHMARK(BM_BuildCompressedImage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
