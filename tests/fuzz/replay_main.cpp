// Stands in for libFuzzer where it is not available (gcc builds): feeds every
// file of the given corpus directories, or the given files, to the target
// once, so the seed corpus and every crash kept in it are replayed by ctest.
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void replay(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A heap copy of exactly the input's size, so a read past its end shows
    // under AddressSanitizer as it would under libFuzzer.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    static const std::uint8_t no_bytes = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &no_bytes : input.data(), input.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    std::size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path root(argv[i]);
        std::vector<fs::path> files;
        if (fs::is_directory(root)) {
            for (const auto& entry : fs::recursive_directory_iterator(root))
                if (entry.is_regular_file()) files.push_back(entry.path());
        } else if (fs::is_regular_file(root)) {
            files.push_back(root);
        } else {
            std::fprintf(stderr, "%s: no such corpus\n", argv[i]);
            return 2;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            replay(file);
            ++count;
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "no input replayed\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
