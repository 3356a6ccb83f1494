// A fuzz target's failure: the message, and the input that caused it saved
// to a file in the working directory, to be replayed by giving the file to
// the target (`fuzz_x FILE`).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace failed_input {

struct Current {
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;
};

inline Current &current() {
    static Current input;
    return input;
}

// The input being run, saved should it fail.
inline void remember(const std::uint8_t *data, std::size_t size) { current() = {data, size}; }

[[noreturn]] inline void fail(const char *target, const std::string &message) {
    const std::string file = std::string(target) + ".failed";
    if (std::FILE *out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(current().data, 1, current().size, out);
        std::fclose(out);
    }
    std::fprintf(stderr, "%s: %s\n  the input is saved in %s\n", target, message.c_str(), file.c_str());
    std::abort();
}

}  // namespace failed_input
