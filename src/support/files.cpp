#include "orvo/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo {

bool read_regular_file(const std::string &path, std::string &out, std::size_t limit) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    if ((std::uintmax_t) info.st_size > limit) {
        ::close(fd);
        errno = EFBIG;
        return false;
    }
    // The size is a hint: a file that grows or shrinks meanwhile is read to its
    // end (or until it holds more than `limit` bytes).
    std::size_t capacity = (std::size_t) info.st_size + 1;
    out.resize(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used > limit) {
            ::close(fd);
            out.clear();
            errno = EFBIG;
            return false;
        }
        if (used == out.size())
            out.resize(limit < SIZE_MAX / 2 ? std::min(out.size() * 2, limit + 1) : out.size() * 2);
        ssize_t got = ::read(fd, out.data() + used, out.size() - used);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            ::close(fd);
            out.clear();
            errno = saved;
            return false;
        }
        if (got == 0)
            break;
        used += (std::size_t) got;
    }
    ::close(fd);
    out.resize(used);
    return true;
}

bool lies_below(std::string_view path, std::string_view base) {
    if (base == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > base.size() + 1 && path.starts_with(base) && path[base.size()] == '/';
}

}  // namespace orvo
