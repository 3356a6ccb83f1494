// Files, in plain C++ (POSIX): reading a whole regular file and comparing
// resolved paths. No Python is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo {

// Read the whole regular file at `path` into `out`. Returns false, with `errno`
// set, when it cannot be opened or read or is not a regular file (a FIFO is
// never waited on, a device never read), or holds more than `limit` bytes
// (EFBIG; such a file is not read at all).
bool read_regular_file(const std::string &path, std::string &out, std::size_t limit = SIZE_MAX);

// Whether the resolved `path` lies strictly below the resolved directory
// `base`, compared by whole components ("/a/bc" is not below "/a/b").
bool lies_below(std::string_view path, std::string_view base);

}  // namespace orvo
