// Stands in for libFuzzer's main where there is no libFuzzer: every file named on the command
// line, and every file in each folder named, goes once through the target's
// LLVMFuzzerTestOneInput. A target's failed check traps or aborts, which fails the run.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputsIn(const fs::path& path) {
    if (!fs::is_directory(path)) return {path};
    std::vector<fs::path> inputs;
    for (const auto& entry : fs::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());  // the same order on every run
    return inputs;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: " << argv[0] << " FILE_OR_FOLDER...\n";
        return 2;
    }
    std::size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const auto inputs = inputsIn(argv[i]);
        // An empty or missing corpus would pass without testing anything.
        if (inputs.empty()) {
            std::cerr << argv[i] << ": no inputs\n";
            return 1;
        }
        for (const auto& input : inputs) {
            std::ifstream file(input, std::ios::binary);
            if (!file) {
                std::cerr << input.string() << ": cannot be read\n";
                return 1;
            }
            const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
            // Named before it runs, so a crash's output ends with the input that caused it.
            std::cerr << input.string() << '\n';
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                   bytes.size());
            ++replayed;
        }
    }
    std::cout << replayed << " inputs replayed\n";
    return 0;
}
