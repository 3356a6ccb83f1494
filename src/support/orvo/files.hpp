// Files, in plain C++ (POSIX): joining paths, reading a whole regular file,
// listing a directory, comparing resolved paths, and opening a file only
// where it lies below a directory. No Python is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvo {

// A failed system call on a file, for engine code to throw where Python
// raises `OSError`: it reaches Python as the `OSError` of that error number
// and file name (see the error translation of python.hpp).
class OsError : public std::runtime_error {
public:
    OsError(int error, std::string path)
        : std::runtime_error("system call failed"), error(error), path(std::move(path)) {}
    int error;
    std::string path;
};

// `name` below `directory` by the ordinary join rule (Python's
// `os.path.join`): one "/" between them, none added after an empty directory
// or one that ends with "/"; an absolute `name` stands alone.
std::string join_path(std::string_view directory, std::string_view name);

// Read the whole regular file at `path` into `out`. Returns false, with `errno`
// set, when it cannot be opened or read or is not a regular file, or holds
// more than `limit` bytes (EFBIG; such a file is not read at all). Its type
// and size are looked at before it is opened, and it is opened without
// waiting and without becoming a controlling terminal, so a FIFO is never
// waited on and a device never opened in the ordinary case, and never read.
// A file larger than the machine's memory and swap together throws
// `std::bad_alloc` before any memory is asked for, as running out of memory
// on the way does.
bool read_regular_file(const std::string &path, std::string &out, std::size_t limit = SIZE_MAX);

// Read the rest of the regular file open at `fd` into `out` (the descriptor
// stays open). Returns false, with `errno` set, when it cannot be read, is
// not a regular file (EISDIR for a directory, EINVAL for anything else) or
// holds more than `limit` bytes (EFBIG); `std::bad_alloc` as above.
bool read_open_file(int fd, std::string &out, std::size_t limit = SIZE_MAX);

// What an entry of a directory is, as its listing tells (the entry itself: a
// link is a link).
enum class EntryType : unsigned char { regular, directory, link, other };

struct DirectoryEntry {
    std::string name;
    EntryType type = EntryType::other;
};

// The entries of the directory open at `directory`, "." and ".." left out, in
// the order the file system gives them. Where the listing does not tell an
// entry's type, the entry is looked at (not followed); one that cannot be is
// `other`, like a pipe or a device. Returns 0, or the error number of a
// failure to read the directory (then `out` holds nothing). The descriptor
// stays open and may be any descriptor of the directory (O_PATH included);
// several threads may list the same one at once.
int list_directory(int directory, std::vector<DirectoryEntry> &out);
// The same for the directory at `path` (links followed), or the error number
// of opening it.
int list_directory(const std::string &path, std::vector<DirectoryEntry> &out);

// Whether the resolved `path` lies strictly below the resolved directory
// `base`, compared by whole components ("/a/bc" is not below "/a/b").
bool lies_below(std::string_view path, std::string_view base);

// The real path of the file open at `fd`, as the kernel names it
// (/proc/self/fd), or nothing when it cannot be told (no /proc, a path too
// long, a file no longer in any directory).
std::optional<std::string> real_path_of(int fd);

// Open `path` (relative to the directory open at `directory`, or absolute),
// following links, but only when the file it leads to lies strictly below
// `real_root` (`lies_below`), a real path at or above that directory. The
// kernel resolves it beneath `directory` where it can (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS); else (an older kernel, an
// absolute link, a link that climbs out of `directory` and back below
// `real_root`) the file is opened and the open file's real path is checked,
// so that what is used is what was checked. `flags` are those of `open`;
// O_CLOEXEC, and for a file that is not merely looked at (O_PATH) O_NOCTTY
// and O_NONBLOCK, are added. Returns the descriptor, or -1 with `errno` set:
// EXDEV when the file lies elsewhere.
int open_beneath(int directory, const std::string &path, const std::string &real_root, int flags);

// Read the whole regular file at `path` (relative to the directory open at
// `directory`, or absolute) into `out`, as `read_regular_file` does, but only
// when it lies below `real_root`: what is read is the file opened once by
// `open_beneath` and found there. Its type is looked at before it is opened,
// its size only then, so that a file elsewhere is refused whatever its size.
// False with `errno` set as those two set it (EXDEV for a file that lies
// elsewhere; ENOENT for a path holding a NUL).
bool read_regular_file_beneath(int directory, const std::string &path, const std::string &real_root, std::string &out,
                               std::size_t limit = SIZE_MAX);

// Read the whole regular file at `path` as `read_regular_file_beneath` reads
// it below its own directory (`open_parent_directory`): a link at its name is
// followed only to a file that lies below that directory, however the
// directory itself was reached. False with `errno` set as those two set it
// (EXDEV for a link that leads elsewhere).
bool read_regular_file_in_directory(const std::string &path, std::string &out, std::size_t limit = SIZE_MAX);

// An open file descriptor, closed when it goes.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor &operator=(Descriptor &&other) noexcept;
    int get() const { return fd_; }
    // Give the descriptor up without closing it (-1 when none is held).
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// A directory held open, with its real path, to open files beneath it.
struct OpenDirectory {
    Descriptor fd;
    std::string real;
};

// Open the directory at `path` (links followed) with `flags` (O_RDONLY to
// list it, O_PATH only to open files beneath it), and tell its real path.
// Nothing, with `errno` set, when it cannot be opened or its real path cannot
// be told.
std::optional<OpenDirectory> open_directory(const std::string &path, int flags);

// The directory of the file at `path` (`path` up to its last "/", "." without
// one), opened only to name files in it (O_PATH), links followed as `open`
// follows them, so that it may itself be a link, with its real path; `name`
// gets the file's name in it. Nothing, with `errno` set, where it cannot be
// opened, or where `path` ends in no file's name ("", "dir/", "." or "..":
// EISDIR) or holds a NUL (ENOENT).
std::optional<OpenDirectory> open_parent_directory(const std::string &path, std::string &name);

}  // namespace orvo
