// Replays fuzzer inputs without libFuzzer: each file (or each file in a directory) once, timed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// The fuzzer's own bound: an input that takes longer counts as a fault.
constexpr std::chrono::milliseconds time_limit{1000};

std::vector<std::filesystem::path> inputs_of(const std::filesystem::path& argument) {
    std::vector<std::filesystem::path> inputs;
    if (std::filesystem::is_directory(argument)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument)) {
            if (entry.is_regular_file()) inputs.push_back(entry.path());
        }
        std::sort(inputs.begin(), inputs.end());
    } else {
        inputs.push_back(argument);
    }
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t count = 0;
    int status = 0;
    for (int k = 1; k < argc; ++k) {
        for (const auto& path : inputs_of(argv[k])) {
            std::ifstream file(path, std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                status = 1;
                continue;
            }
            const std::string bytes{std::istreambuf_iterator<char>(file), {}};
            const auto start = std::chrono::steady_clock::now();
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
            const auto took = std::chrono::steady_clock::now() - start;
            if (took > time_limit) {
                std::fprintf(
                    stderr, "%s took %lld ms\n", path.c_str(),
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
                status = 1;
            }
            ++count;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count == 0 ? 1 : status;
}
