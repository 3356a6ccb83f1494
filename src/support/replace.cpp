#include "orvo/replace.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace orvo {

namespace {

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t put = ::write(fd, data.data(), data.size());
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix((std::size_t) put);
    }
    return true;
}

std::string random_suffix() {
    static std::mt19937_64 generator{std::random_device{}() ^ (std::uint64_t) ::getpid()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", (unsigned long long) generator());
    return text;
}

// The name up to and including its last "/" (empty without one).
std::string directory_part(const std::string &name) {
    std::size_t slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
}

// The name that `path` stands for once the links it ends in are followed, as
// `open` follows them: the path itself when it names no link, and the name a
// dangling link leads to. (Links on the way to the last component stay: the
// system follows them in any use of the name.)
std::string link_target(const std::string &path) {
    std::string name = path, link(PATH_MAX, '\0');
    for (int hops = 0;; ++hops) {
        struct stat info;
        if (::lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return name;
        if (hops == 40)
            throw OsError(ELOOP, path);
        ssize_t size = ::readlink(name.c_str(), link.data(), link.size());
        if (size < 0 || (std::size_t) size == link.size())
            throw OsError(size < 0 ? errno : ENAMETOOLONG, path);
        std::string text(link.data(), (std::size_t) size);
        name = text.starts_with('/') ? text : directory_part(name) + text;
    }
}

// The directory of the file at `name` (a path whose last component is the
// file's own name, links followed already), held open only to name files in
// it. Throws `OsError` naming `shown`, also for a `name` that ends in no
// file's name ("dir/", ".", "..").
Descriptor directory_of(const std::string &name, const std::string &shown, std::string &leaf) {
    std::string directory = directory_part(name);
    leaf = name.substr(directory.size());
    if (leaf.empty() || leaf == "." || leaf == "..") {
        struct stat info;
        throw OsError(::stat(name.c_str(), &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : ENOTDIR, shown);
    }
    Descriptor opened(::open(directory.empty() ? "." : directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!opened)
        throw OsError(errno, shown);
    return opened;
}

// A copy of the descriptor `directory`, for an object that outlives the
// caller's own. Throws `OsError` naming `shown`.
Descriptor copy_of(int directory, const std::string &shown) {
    Descriptor copy(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    if (!copy)
        throw OsError(errno, shown);
    return copy;
}

// `name` must be one component of a path: refused as the system refuses it
// where a path would not name an entry of the directory.
void check_entry_name(const std::string &name, const std::string &shown) {
    if (name.empty())
        throw OsError(ENOENT, shown);
    if (name.find('/') != std::string::npos)
        throw OsError(EINVAL, shown);
}

// The name under which the file held at `fd` (any descriptor, O_PATH
// included) is reached through /proc, whatever names it has or had.
std::string held_name(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The bytes that `get(buffer, size)` gives, asked for with the size it reports
// first (again when they grew meanwhile). False, with `errno` set, on failure.
template <typename Get>
bool read_sized(std::string &out, Get get) {
    for (;;) {
        ssize_t size = get(nullptr, 0);
        if (size < 0)
            return false;
        out.resize((std::size_t) size);
        size = get(out.data(), out.size());
        if (size >= 0) {
            out.resize((std::size_t) size);
            return true;
        }
        if (errno != ERANGE)
            return false;
    }
}

// Copy the extended attributes of the file reached at `from` (followed) to
// the open file `to`: every one the process may read and set; one that the
// file system or the rights refuse is left out. False, with `errno` set, on
// other errors.
bool copy_attributes(const std::string &from, int to) {
    std::string names, value;
    if (!read_sized(names, [&](char *buffer, std::size_t size) { return ::listxattr(from.c_str(), buffer, size); }))
        return errno == ENOTSUP;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char *name = names.c_str() + at;
        if (!read_sized(value,
                        [&](char *buffer, std::size_t size) { return ::getxattr(from.c_str(), name, buffer, size); })) {
            if (errno == ENODATA || errno == ENOTSUP || errno == EPERM || errno == EACCES)
                continue;  // gone meanwhile, or not ours to read
            return false;
        }
        if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0 && errno != ENOTSUP && errno != EPERM &&
            errno != EACCES)
            return false;
    }
    return true;
}

// The access ACL, an extended attribute: a file's rights beyond its mode bits.
constexpr const char *ACCESS_ACL = "system.posix_acl_access";

// The access ACL of the file reached at `path` (followed), or of the open
// file `fd` when `path` is null, in `out`; empty where the file has none (or
// the file system knows no ACLs). False, with `errno` set, on other errors.
bool read_acl(const char *path, int fd, std::string &out) {
    bool read = read_sized(out, [&](char *buffer, std::size_t size) {
        return path ? ::getxattr(path, ACCESS_ACL, buffer, size) : ::fgetxattr(fd, ACCESS_ACL, buffer, size);
    });
    if (read || errno == ENODATA || errno == ENOTSUP) {
        if (!read)
            out.clear();
        return true;
    }
    return false;
}

// Drop the access ACL of the open file `fd`: the entries that a new file takes
// from its directory's default ACL. False, with `errno` set, on failure.
bool remove_acl(int fd) { return ::fremovexattr(fd, ACCESS_ACL) == 0 || errno == ENODATA || errno == ENOTSUP; }

// Make room for `size` bytes in the regular file `fd` (now `old_size` long)
// before a byte of it changes. 0, or the error that says the room is not
// there (the file is then cut back to its old size).
int reserve(int fd, off_t old_size, off_t size) {
    if (size == 0)
        return 0;
    int error;
    while ((error = ::posix_fallocate(fd, 0, size)) == EINTR) {
    }
    // Where the file system has no fallocate, glibc writes a zero into each
    // block that reads as zero; a file open for writing only cannot be read,
    // so only what lies beyond its end is reserved.
    if (error == EBADF)
        while ((error = size > old_size ? ::posix_fallocate(fd, old_size, size - old_size) : 0) == EINTR) {
        }
    if (error != ENOSPC && error != EDQUOT && error != EFBIG && error != EIO)
        return 0;  // reserved, or no way to reserve: written as before
    struct stat info;
    if (::fstat(fd, &info) == 0 && info.st_size > old_size) {
        [[maybe_unused]] int cut = ::ftruncate(fd, old_size);
    }
    return error;
}

}  // namespace

std::string resolved_path(const std::string &path) {
    std::string name = link_target(path);
    std::string directory = directory_part(name);
    std::string leaf = name.substr(directory.size());
    bool plain_leaf = !leaf.empty() && leaf != "." && leaf != "..";
    const char *resolve = plain_leaf ? (directory.empty() ? "." : directory.c_str()) : name.c_str();
    char *real = ::realpath(resolve, nullptr);
    if (!real)
        throw OsError(errno, path);
    std::string result = real;
    std::free(real);
    if (plain_leaf)
        result.append(result == "/" ? "" : "/").append(leaf);
    return result;
}

FileReplacement::FileReplacement(const std::string &path, mode_t new_file_mode, AtLink at_link) : shown_(path) {
    directory_ = directory_of(at_link == AtLink::follow ? link_target(path) : path, path, name_);
    open_at(new_file_mode, nullptr);
}

FileReplacement::FileReplacement(int directory, std::string name, std::string shown, mode_t new_file_mode,
                                 const struct stat *expected)
    : name_(std::move(name)), shown_(std::move(shown)) {
    check_entry_name(name_, shown_);
    directory_ = copy_of(directory, shown_);
    open_at(new_file_mode, expected);
}

void FileReplacement::open_at(mode_t new_file_mode, const struct stat *expected) {
    if (name_ == "." || name_ == "..")
        throw OsError(EISDIR, shown_);
    // The file that is there now, held: whatever is learnt of it below is
    // learnt of this file, not of a name.
    old_ = Descriptor(::openat(directory_.get(), name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    const bool exists = bool(old_);
    if (!exists && errno != ENOENT)
        throw OsError(errno, shown_);
    if (exists && ::fstat(old_.get(), &old_info_) != 0)
        throw OsError(errno, shown_);
    if (exists && S_ISLNK(old_info_.st_mode))
        throw OsError(ELOOP, shown_);
    if (expected && (!exists || old_info_.st_dev != expected->st_dev || old_info_.st_ino != expected->st_ino))
        throw OsError(ESTALE, shown_);
    if (exists && S_ISDIR(old_info_.st_mode))
        throw OsError(EISDIR, shown_);
    // A rename would put a new regular file in place of a device or a pipe,
    // and would leave the other names of a file with the old content.
    if (exists && (!S_ISREG(old_info_.st_mode) || old_info_.st_nlink > 1)) {
        open_in_place();
        return;
    }
    if (exists && ::access(held_name(old_.get()).c_str(), W_OK) != 0)
        throw OsError(errno, shown_);
    if (!open_temporary(new_file_mode)) {
        if (!exists || (errno != EACCES && errno != EPERM))
            throw OsError(errno, shown_);
        open_in_place();  // the directory takes no new name, the file may be written
        return;
    }
    if (!exists) {
        // A file for its owner alone takes none of the directory's default
        // ACL entries, which a later change of its mode would bring to life.
        if ((new_file_mode & 077) == 0 && !remove_acl(file_.get()))
            fail(errno);
        return;
    }
    if (!take_over(old_info_)) {
        discard();
        open_in_place();  // what the new file cannot be, the old one stays
    }
}

bool FileReplacement::take_over(const struct stat &old) {
    // Owner and group as they were; where the owner cannot be kept, at least
    // the group. The attributes follow the owner, whose change may clear some
    // of them; the ACL is the old one, or none where the old file has none.
    const int fd = file_.get();
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] int group_kept = ::fchown(fd, (uid_t) -1, old.st_gid);
    }
    const std::string from = held_name(old_.get());
    std::string old_acl, new_acl;
    if (!read_acl(from.c_str(), -1, old_acl) || !copy_attributes(from, fd))
        fail(errno);
    if (old_acl.empty())
        remove_acl(fd);
    ::fchmod(fd, old.st_mode & 07777);
    // Whatever did not take (an owner or group not ours to give, a set-group-ID
    // bit, an ACL) shows on the new file.
    struct stat now;
    if (::fstat(fd, &now) != 0 || !read_acl(nullptr, fd, new_acl))
        fail(errno);
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid && (now.st_mode & 07777) == (old.st_mode & 07777) &&
           new_acl == old_acl;
}

bool FileReplacement::open_temporary(mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = "." + name_ + "." + random_suffix() + ".tmp";
        if (temporary_.size() > NAME_MAX)
            temporary_ = ".orvo." + random_suffix() + ".tmp";
        file_ =
            Descriptor(::openat(directory_.get(), temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (file_)
            return true;
        if (errno != EEXIST)
            break;
    }
    temporary_.clear();
    return false;  // errno tells why (EEXIST after every attempt)
}

void FileReplacement::open_in_place() {
    // By its name in the directory, never through a link, and only the file
    // that was looked at. Not waiting for a reader: a pipe without one fails
    // at once (ENXIO).
    file_ = Descriptor(
        ::openat(directory_.get(), name_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
    if (!file_)
        throw OsError(errno, shown_);
    in_place_ = true;
    struct stat opened;
    if (::fstat(file_.get(), &opened) != 0)
        fail(errno);
    if (opened.st_dev != old_info_.st_dev || opened.st_ino != old_info_.st_ino)
        fail(ESTALE);
    int flags = ::fcntl(file_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        fail(errno);
}

FileReplacement::~FileReplacement() { discard(); }

void FileReplacement::discard() {
    file_ = Descriptor();
    if (!temporary_.empty()) {
        ::unlinkat(directory_.get(), temporary_.c_str(), 0);
        temporary_.clear();
    }
}

void FileReplacement::fail(int error) {
    discard();
    throw OsError(error, shown_);
}

void FileReplacement::write(std::string_view data) {
    if (!file_)
        throw OsError(EBADF, shown_);
    if (in_place_)
        pending_.append(data);
    else if (!write_all(file_.get(), data))
        fail(errno);
}

void FileReplacement::restart() {
    if (!file_)
        throw OsError(EBADF, shown_);
    if (in_place_)
        pending_.clear();
    else if (::ftruncate(file_.get(), 0) != 0 || ::lseek(file_.get(), 0, SEEK_SET) != 0)
        fail(errno);
}

void FileReplacement::commit() {
    if (!file_)
        throw OsError(EBADF, shown_);
    if (in_place_) {
        const int fd = file_.get();
        // Room for the new content first, so that a full disk or the file-size
        // limit refuses it before a byte changes; then written over the old
        // content and cut to its length.
        struct stat info;
        int error = ::fstat(fd, &info) != 0 ? errno : 0;
        bool regular = error == 0 && S_ISREG(info.st_mode);
        if (regular)
            error = reserve(fd, info.st_size, (off_t) pending_.size());
        if (error != 0)
            fail(error);
        bool written = write_all(fd, pending_) && (!regular || ::ftruncate(fd, (off_t) pending_.size()) == 0);
        error = errno;
        if (::close(file_.release()) != 0 && written) {
            written = false;
            error = errno;
        }
        if (!written)
            throw OsError(error, shown_);
        return;
    }
    if (::close(file_.release()) != 0 ||
        ::renameat(directory_.get(), temporary_.c_str(), directory_.get(), name_.c_str()) != 0)
        fail(errno);
    temporary_.clear();
}

void replace_file(const std::string &path, std::string_view data, mode_t new_file_mode, AtLink at_link) {
    FileReplacement file(path, new_file_mode, at_link);
    file.write(data);
    file.commit();
}

void replace_file_at(int directory, const std::string &name, const std::string &shown, std::string_view data,
                     mode_t new_file_mode, const struct stat *expected) {
    FileReplacement file(directory, name, shown, new_file_mode, expected);
    file.write(data);
    file.commit();
}

bool create_new_file(const std::string &path, std::string_view data, mode_t mode) {
    std::string name;
    Descriptor directory = directory_of(path, path, name);
    return create_new_file_at(directory.get(), name, path, data, mode);
}

bool create_new_file_at(int directory, const std::string &name, const std::string &shown, std::string_view data,
                        mode_t mode) {
    check_entry_name(name, shown);
    // O_EXCL creates the name itself: a link there is never followed.
    Descriptor file(::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file) {
        if (errno == EEXIST)
            return false;
        throw OsError(errno, shown);
    }
    bool written = write_all(file.get(), data);
    int error = errno;
    if (::close(file.release()) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlinkat(directory, name.c_str(), 0);
        throw OsError(error, shown);
    }
    return true;
}

}  // namespace orvo
