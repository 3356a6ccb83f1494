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
            raise_os_error(ELOOP, path);
        ssize_t size = ::readlink(name.c_str(), link.data(), link.size());
        if (size < 0 || (std::size_t) size == link.size())
            raise_os_error(size < 0 ? errno : ENAMETOOLONG, path);
        std::string text(link.data(), (std::size_t) size);
        name = text.starts_with('/') ? text : directory_part(name) + text;
    }
}

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

// Copy the extended attributes of the file `from` (not a link) to the open
// file `to`: every one the process may read and set; one that the file system
// or the rights refuse is left out. False, with `errno` set, on other errors.
bool copy_attributes(const std::string &from, int to) {
    std::string names, value;
    if (!read_sized(names, [&](char *buffer, std::size_t size) { return ::llistxattr(from.c_str(), buffer, size); }))
        return errno == ENOTSUP;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char *name = names.c_str() + at;
        if (!read_sized(
                value, [&](char *buffer, std::size_t size) { return ::lgetxattr(from.c_str(), name, buffer, size); })) {
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

// The access ACL of the file `path` (not a link), or of the open file `fd`
// when `path` is null, in `out`; empty where the file has none (or the file
// system knows no ACLs). False, with `errno` set, on other errors.
bool read_acl(const char *path, int fd, std::string &out) {
    bool read = read_sized(out, [&](char *buffer, std::size_t size) {
        return path ? ::lgetxattr(path, ACCESS_ACL, buffer, size) : ::fgetxattr(fd, ACCESS_ACL, buffer, size);
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
        raise_os_error(errno, path);
    std::string result = real;
    std::free(real);
    if (plain_leaf)
        result.append(result == "/" ? "" : "/").append(leaf);
    return result;
}

FileReplacement::FileReplacement(const std::string &path, mode_t new_file_mode, AtLink at_link)
    : path_(path), target_(at_link == AtLink::follow ? link_target(path) : path), at_link_(at_link) {
    struct stat info;
    bool exists = (at_link == AtLink::follow ? ::stat : ::lstat)(target_.c_str(), &info) == 0;
    if (exists && S_ISLNK(info.st_mode))
        raise_os_error(ELOOP, path);
    if (exists && S_ISDIR(info.st_mode))
        raise_os_error(EISDIR, path);
    // A rename would put a new regular file in place of a device or a pipe,
    // and would leave the other names of a file with the old content.
    if (exists && (!S_ISREG(info.st_mode) || info.st_nlink > 1)) {
        open_in_place();
        return;
    }
    if (exists && ::access(target_.c_str(), W_OK) != 0)
        raise_os_error(errno, path);
    if (!open_temporary(new_file_mode)) {
        if (!exists || (errno != EACCES && errno != EPERM))
            raise_os_error(errno, path);
        open_in_place();  // the directory takes no new name, the file may be written
        return;
    }
    if (!exists) {
        // A file for its owner alone takes none of the directory's default
        // ACL entries, which a later change of its mode would bring to life.
        if ((new_file_mode & 077) == 0 && !remove_acl(fd_))
            fail(errno);
        return;
    }
    if (!take_over(info)) {
        discard();
        open_in_place();  // what the new file cannot be, the old one stays
    }
}

bool FileReplacement::take_over(const struct stat &old) {
    // Owner and group as they were; where the owner cannot be kept, at least
    // the group. The attributes follow the owner, whose change may clear some
    // of them; the ACL is the old one, or none where the old file has none.
    if (::fchown(fd_, old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] int group_kept = ::fchown(fd_, (uid_t) -1, old.st_gid);
    }
    std::string old_acl, new_acl;
    if (!read_acl(target_.c_str(), -1, old_acl) || !copy_attributes(target_, fd_))
        fail(errno);
    if (old_acl.empty())
        remove_acl(fd_);
    ::fchmod(fd_, old.st_mode & 07777);
    // Whatever did not take (an owner or group not ours to give, a set-group-ID
    // bit, an ACL) shows on the new file.
    struct stat now;
    if (::fstat(fd_, &now) != 0 || !read_acl(nullptr, fd_, new_acl))
        fail(errno);
    return now.st_uid == old.st_uid && now.st_gid == old.st_gid && (now.st_mode & 07777) == (old.st_mode & 07777) &&
           new_acl == old_acl;
}

bool FileReplacement::open_temporary(mode_t mode) {
    std::string directory = directory_part(target_);
    std::string name = target_.substr(directory.size());
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = directory + "." + name + "." + random_suffix() + ".tmp";
        if (temporary_.size() - directory.size() > NAME_MAX)
            temporary_ = directory + ".orvo." + random_suffix() + ".tmp";
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd_ >= 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;  // errno is EEXIST
}

void FileReplacement::open_in_place() {
    // Not waiting for a reader: a pipe without one fails at once (ENXIO).
    fd_ = ::open(target_.c_str(),
                 O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (at_link_ == AtLink::refuse ? O_NOFOLLOW : 0));
    if (fd_ < 0)
        raise_os_error(errno, path_);
    in_place_ = true;
    int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)
        fail(errno);
}

FileReplacement::~FileReplacement() { discard(); }

void FileReplacement::discard() {
    if (fd_ < 0)
        return;
    ::close(fd_);
    fd_ = -1;
    if (!in_place_)
        ::unlink(temporary_.c_str());
}

void FileReplacement::fail(int error) {
    discard();
    raise_os_error(error, path_);
}

void FileReplacement::write(std::string_view data) {
    if (fd_ < 0)
        raise_os_error(EBADF, path_);
    if (in_place_)
        pending_.append(data);
    else if (!write_all(fd_, data))
        fail(errno);
}

void FileReplacement::restart() {
    if (fd_ < 0)
        raise_os_error(EBADF, path_);
    if (in_place_)
        pending_.clear();
    else if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)
        fail(errno);
}

void FileReplacement::commit() {
    if (fd_ < 0)
        raise_os_error(EBADF, path_);
    int fd = fd_;
    fd_ = -1;
    if (in_place_) {
        // Room for the new content first, so that a full disk or the file-size
        // limit refuses it before a byte changes; then written over the old
        // content and cut to its length.
        struct stat info;
        int error = ::fstat(fd, &info) != 0 ? errno : 0;
        bool regular = error == 0 && S_ISREG(info.st_mode);
        if (regular)
            error = reserve(fd, info.st_size, (off_t) pending_.size());
        if (error != 0) {
            ::close(fd);
            raise_os_error(error, path_);
        }
        bool written = write_all(fd, pending_) && (!regular || ::ftruncate(fd, (off_t) pending_.size()) == 0);
        error = errno;
        if (::close(fd) != 0 && written) {
            written = false;
            error = errno;
        }
        if (!written)
            raise_os_error(error, path_);
        return;
    }
    if (::close(fd) != 0 || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary_.c_str());
        raise_os_error(error, path_);
    }
}

void replace_file(const std::string &path, std::string_view data, mode_t new_file_mode, AtLink at_link) {
    FileReplacement file(path, new_file_mode, at_link);
    file.write(data);
    file.commit();
}

bool create_new_file(const std::string &path, std::string_view data, mode_t mode) {
    // O_EXCL creates the name itself: a link there is never followed.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        if (errno == EEXIST)
            return false;
        raise_os_error(errno, path);
    }
    bool written = write_all(fd, data);
    int error = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(path.c_str());
        raise_os_error(error, path);
    }
    return true;
}

}  // namespace orvo
