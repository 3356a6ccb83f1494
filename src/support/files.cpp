#include "orvo/files.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#include <sys/syscall.h>
#endif

namespace orvo {

namespace {

// Whether `size` bytes could be held in memory at all: no more than the
// machine's memory and swap together. Asked only of sizes of a gigabyte and
// more.
bool could_hold(std::uintmax_t size) {
    if (size < (std::uintmax_t(1) << 30))
        return true;
    struct sysinfo info;
    if (::sysinfo(&info) != 0)
        return true;  // unknown: the allocation will tell
    return size / info.mem_unit <= std::uintmax_t(info.totalram) + info.totalswap;
}

// Whether what `info` describes is a regular file; else false, with `errno`
// set (EISDIR, EINVAL).
bool regular(const struct stat &info) {
    if (S_ISREG(info.st_mode))
        return true;
    errno = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    return false;
}

// Whether what `info` describes may be read: a regular file of at most
// `limit` bytes; else false, with `errno` set (EISDIR, EINVAL, EFBIG). A
// file that no memory can hold throws `std::bad_alloc`, without the attempt.
bool readable(const struct stat &info, std::size_t limit) {
    if (!regular(info))
        return false;
    if ((std::uintmax_t) info.st_size > limit) {
        errno = EFBIG;
        return false;
    }
    if (!could_hold((std::uintmax_t) info.st_size))
        throw std::bad_alloc();
    return true;
}

// Read the file just opened at `fd` (-1 when the opening failed) and close
// it, also where the reading throws (`std::bad_alloc`).
bool read_and_close(int fd, std::string &out, std::size_t limit) {
    const Descriptor file(fd);
    return file && read_open_file(file.get(), out, limit);
}

struct ListingCloser {
    void operator()(DIR *listing) const { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, ListingCloser>;

// The entries of an open listing (see `list_directory`); an entry whose type
// the listing does not tell is looked at beside the listing's descriptor.
int read_listing(DIR *listing, std::vector<DirectoryEntry> &out) {
    const int directory = ::dirfd(listing);
    for (;;) {
        errno = 0;
        const dirent *found = ::readdir(listing);
        if (!found) {
            if (errno != 0) {
                const int error = errno;
                out.clear();
                return error;
            }
            return 0;
        }
        const char *name = found->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        unsigned char type = found->d_type;
        struct stat info;
        if (type == DT_UNKNOWN && ::fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0)
            type = S_ISLNK(info.st_mode)   ? DT_LNK
                   : S_ISDIR(info.st_mode) ? DT_DIR
                   : S_ISREG(info.st_mode) ? DT_REG
                                           : DT_UNKNOWN;
        out.push_back(DirectoryEntry{name, type == DT_REG   ? EntryType::regular
                                           : type == DT_DIR ? EntryType::directory
                                           : type == DT_LNK ? EntryType::link
                                                            : EntryType::other});
    }
}

}  // namespace

std::string join_path(std::string_view directory, std::string_view name) {
    std::string path;
    if (name.starts_with('/') || directory.empty()) {
        path = name;
        return path;
    }
    path.reserve(directory.size() + 1 + name.size());
    path.append(directory);
    if (!directory.ends_with('/'))
        path.push_back('/');
    path.append(name);
    return path;
}

int list_directory(int directory, std::vector<DirectoryEntry> &out) {
    out.clear();
    // The listing reads a descriptor of its own, opened through "." (which
    // is the directory itself), so that `directory` stays open, may be one
    // opened only to name files (O_PATH), and may be listed by several
    // threads at once: a copy of it would share its reading position.
    const int own = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (own < 0)
        return errno;
    Listing listing(::fdopendir(own));
    if (!listing) {
        const int error = errno;
        ::close(own);
        return error;
    }
    return read_listing(listing.get(), out);
}

int list_directory(const std::string &path, std::vector<DirectoryEntry> &out) {
    out.clear();
    Listing listing(::opendir(path.c_str()));
    if (!listing)
        return errno;
    return read_listing(listing.get(), out);
}

bool read_regular_file(const std::string &path, std::string &out, std::size_t limit) {
    out.clear();
    // The type and size first: what is not a regular file, or too large, is
    // not even opened.
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !readable(info, limit))
        return false;
    return read_and_close(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY), out, limit);
}

bool read_open_file(int fd, std::string &out, std::size_t limit) {
    out.clear();
    struct stat info;
    if (::fstat(fd, &info) != 0 || !readable(info, limit))
        return false;
    // The size is a hint: a file that grows or shrinks meanwhile is read to its
    // end (or until it holds more than `limit` bytes).
    std::size_t capacity = (std::size_t) info.st_size + 1;
    out.resize(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used > limit) {
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
            const int saved = errno;
            out.clear();
            errno = saved;
            return false;
        }
        if (got == 0)
            break;
        used += (std::size_t) got;
    }
    out.resize(used);
    return true;
}

bool read_regular_file_beneath(int directory, const std::string &path, const std::string &real_root, std::string &out,
                               std::size_t limit) {
    out.clear();
    // The type first, so that a device or a pipe is not even opened; the size
    // once the file is opened and found below `real_root`, so that a file
    // elsewhere is refused as lying elsewhere, whatever its size. What is read
    // is the file opened once.
    struct stat info;
    if (path.find('\0') != std::string::npos) {
        errno = ENOENT;
        return false;
    }
    if (::fstatat(directory, path.c_str(), &info, 0) != 0 || !regular(info))
        return false;
    return read_and_close(open_beneath(directory, path, real_root, O_RDONLY), out, limit);
}

bool read_regular_file_in_directory(const std::string &path, std::string &out, std::size_t limit) {
    out.clear();
    std::string name;
    const std::optional<OpenDirectory> directory = open_parent_directory(path, name);
    return directory && read_regular_file_beneath(directory->fd.get(), name, directory->real, out, limit);
}

bool lies_below(std::string_view path, std::string_view base) {
    if (base == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > base.size() + 1 && path.starts_with(base) && path[base.size()] == '/';
}

std::optional<std::string> real_path_of(int fd) {
    std::string target(PATH_MAX, '\0');
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t size = ::readlink(link.c_str(), target.data(), target.size());
    if (size <= 0 || (std::size_t) size == target.size())
        return std::nullopt;  // no /proc, or too long
    target.resize((std::size_t) size);
    if (target.empty() || target[0] != '/')
        return std::nullopt;  // not a file of a directory (a pipe, a socket)
    struct stat named, opened;
    // A file that no longer has this name (" (deleted)" follows it) is told by
    // the name leading elsewhere.
    if (::stat(target.c_str(), &named) != 0 || ::fstat(fd, &opened) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino)
        return std::nullopt;
    return target;
}

int open_beneath(int directory, const std::string &path, const std::string &real_root, int flags) {
    flags |= O_CLOEXEC;
    if (!(flags & O_PATH))
        flags |= O_NOCTTY | O_NONBLOCK;
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    open_how how{};
    how.flags = (unsigned long long) flags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const int beneath = (int) ::syscall(SYS_openat2, directory, path.c_str(), &how, sizeof how);
    if (beneath >= 0) {
        // At or below `directory`: below `real_root`, unless it is
        // `directory` itself ("." or a link to it) where that is the root.
        struct stat opened, base;
        if (::fstat(beneath, &opened) != 0 || !S_ISDIR(opened.st_mode) || ::fstat(directory, &base) != 0 ||
            opened.st_dev != base.st_dev || opened.st_ino != base.st_ino)
            return beneath;
        const std::optional<std::string> real = real_path_of(beneath);
        if (real && !real_root.empty() && lies_below(*real, real_root))
            return beneath;
        ::close(beneath);
        errno = EXDEV;
        return -1;
    }
    // Not resolved beneath `directory` (EXDEV: absolute, or climbing out of
    // it; ELOOP: a link of /proc; EAGAIN: a race on ".."), or no openat2 here
    // (ENOSYS, or EPERM from a filter): open, then check.
    if (errno != EXDEV && errno != ELOOP && errno != EAGAIN && errno != ENOSYS && errno != EPERM && errno != EINVAL)
        return -1;
#endif
    const int fd = ::openat(directory, path.c_str(), flags);
    if (fd < 0)
        return -1;
    const std::optional<std::string> real = real_path_of(fd);
    if (!real || real_root.empty() || !lies_below(*real, real_root)) {
        ::close(fd);
        errno = EXDEV;
        return -1;
    }
    return fd;
}

std::optional<OpenDirectory> open_directory(const std::string &path, int flags) {
    flags |= O_DIRECTORY | O_CLOEXEC;
    if (!(flags & O_PATH))
        flags |= O_NOCTTY | O_NONBLOCK;
    OpenDirectory opened{Descriptor(::open(path.c_str(), flags)), {}};
    if (!opened.fd)
        return std::nullopt;
    if (std::optional<std::string> real = real_path_of(opened.fd.get())) {
        opened.real = std::move(*real);
        return opened;
    }
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real)
        return std::nullopt;
    opened.real = real.get();
    return opened;
}

std::optional<OpenDirectory> open_parent_directory(const std::string &path, std::string &name) {
    if (path.find('\0') != std::string::npos) {
        errno = ENOENT;
        return std::nullopt;
    }
    const std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return std::nullopt;
    }
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return open_directory(directory, O_PATH);
}

Descriptor::~Descriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

Descriptor &Descriptor::operator=(Descriptor &&other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

}  // namespace orvo
