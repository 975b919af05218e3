// Runs a harness outside libFuzzer, so that the ordinary test build compiles
// every harness and exercises it: on each file in the folders (or files)
// given, then on a fixed series of pseudo-random inputs of growing length.
// A harness reports a fault by aborting, which fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run(const std::vector<std::uint8_t>& input) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

std::size_t run_files(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    if (fs::is_directory(path)) {
        std::size_t n = 0;
        for (const fs::directory_entry& e : fs::directory_iterator(path)) n += run_files(e.path());
        return n;
    }
    if (!fs::is_regular_file(path)) return 0;
    std::ifstream file(path, std::ios::binary);
    run(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), {}));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t files = 0;
    for (int i = 1; i < argc; ++i) files += run_files(argv[i]);
    constexpr int kRandomInputs = 400;
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    std::vector<std::uint8_t> input;
    for (int n = 0; n < kRandomInputs; ++n) {
        input.resize(static_cast<std::size_t>(n) % 1024);
        for (std::uint8_t& b : input) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            b = static_cast<std::uint8_t>(state >> 56);
        }
        run(input);
    }
    std::printf("%zu kept inputs and %d generated ones ran\n", files, kRandomInputs);
    return 0;
}
