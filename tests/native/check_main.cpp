// Runs every registered test, or those whose names are given.
#include "check.hpp"

#include <cstdio>
#include <cstring>
#include <exception>

namespace check {

namespace {
int failures = 0;
const char *current = "";
}  // namespace

std::vector<Case> &cases() {
    static std::vector<Case> all;
    return all;
}

void fail(const char *file, int line, const std::string &what) {
    ++failures;
    std::fprintf(stderr, "%s:%d: %s: failed: %s\n", file, line, current, what.c_str());
}

}  // namespace check

int main(int argc, char **argv) {
    int ran = 0;
    for (const check::Case &test : check::cases()) {
        bool chosen = argc < 2;
        for (int i = 1; i < argc && !chosen; ++i)
            chosen = std::strcmp(argv[i], test.name) == 0;
        if (!chosen)
            continue;
        check::current = test.name;
        ++ran;
        try {
            test.run();
        } catch (const std::exception &error) {
            check::fail(__FILE__, __LINE__, std::string("unexpected exception: ") + error.what());
        }
    }
    std::fprintf(stderr, "%d tests, %d failures\n", ran, check::failures);
    return check::failures == 0 && ran > 0 ? 0 : 1;
}
