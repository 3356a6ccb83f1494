// What the fuzz targets share: a failure, its message printed and the input
// that caused it saved to a file in the working directory, to be replayed by
// giving the file to the target (`fuzz_x FILE`); the list of their tokens.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

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

// The driver's list of a target's tokens (orvo_fuzz_tokens), made once from
// `pieces`, which must last as long as the process.
inline const char *const *token_list(const std::vector<std::string> &pieces, std::size_t *count) {
    static const std::vector<const char *> all = [&] {
        std::vector<const char *> list;
        for (const std::string &piece : pieces)
            list.push_back(piece.c_str());
        return list;
    }();
    *count = all.size();
    return all.data();
}

}  // namespace fuzz
