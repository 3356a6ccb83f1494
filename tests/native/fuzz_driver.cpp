// Drives a fuzz target (LLVMFuzzerTestOneInput) without a coverage-guided
// fuzzer: inputs are built from a seeded generator, out of random bytes and the
// target's own tokens, for a bounded time or number of runs. The seed is
// printed first, so `--seed S --runs N` repeats a run; files given as
// arguments are run once each instead (a saved input).
//
//   fuzz_x [--seconds N] [--runs N] [--seed S] [file...]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
// A target may list the pieces its inputs are likely made of (delimiters,
// keywords); the driver mixes them with random bytes.
extern "C" __attribute__((weak)) const char *const *orvo_fuzz_tokens(std::size_t *count);

namespace {

std::string build_input(std::mt19937_64 &random, const char *const *tokens, std::size_t token_count) {
    std::string input;
    std::size_t pieces = random() % 48;
    for (std::size_t i = 0; i < pieces; ++i) {
        switch (random() % 4) {
        case 0:  // random bytes
            for (std::size_t n = 1 + random() % 6; n > 0; --n)
                input += static_cast<char>(random());
            break;
        case 1:  // printable text, line breaks included
            for (std::size_t n = 1 + random() % 12; n > 0; --n) {
                static const char printable[] = " \n\tabcxyz019_.,;:=\"'`#/*\\()[]{}<>-+!?$%\r";
                input += printable[random() % (sizeof printable - 1)];
            }
            break;
        default:
            if (token_count > 0)
                input += tokens[random() % token_count];
            break;
        }
    }
    return input;
}

}  // namespace

int main(int argc, char **argv) {
    double seconds = 10;
    unsigned long long runs = 0;  // no bound but time
    unsigned long long seed = std::random_device{}();
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::strtod(argv[++i], nullptr);
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::strtoull(argv[++i], nullptr, 10);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = std::strtoull(argv[++i], nullptr, 10);
        else
            files.emplace_back(argv[i]);
    }

    if (!files.empty()) {
        for (const std::string &file : files) {
            std::ifstream in(file, std::ios::binary);
            std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.data()), input.size());
        }
        std::fprintf(stderr, "ran %zu files\n", files.size());
        return 0;
    }

    std::size_t token_count = 0;
    const char *const *tokens = orvo_fuzz_tokens ? orvo_fuzz_tokens(&token_count) : nullptr;
    std::fprintf(stderr, "seed %llu\n", seed);
    std::mt19937_64 random(seed);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    unsigned long long done = 0;
    while (runs ? done < runs : std::chrono::steady_clock::now() < end) {
        std::string input = build_input(random, tokens, token_count);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(input.data()), input.size());
        ++done;
    }
    std::fprintf(stderr, "%llu runs\n", done);
    return 0;
}
