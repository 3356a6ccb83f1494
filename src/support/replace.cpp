#include "orvo/replace.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
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

// Copy the extended attributes of the file reached at `from` (followed), or
// of the open file `from_fd` when `from` is null, to the open file `to`:
// every one the process may read and set; one that the file system or the
// rights refuse is left out. False, with `errno` set, on other errors.
bool copy_attributes(const char *from, int from_fd, int to) {
    std::string names, value;
    if (!read_sized(names, [&](char *buffer, std::size_t size) {
            return from ? ::listxattr(from, buffer, size) : ::flistxattr(from_fd, buffer, size);
        }))
        return errno == ENOTSUP;
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char *name = names.c_str() + at;
        if (!read_sized(value, [&](char *buffer, std::size_t size) {
                return from ? ::getxattr(from, name, buffer, size) : ::fgetxattr(from_fd, name, buffer, size);
            })) {
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

// ------------------------------------------- temporaries that a signal removes

// The named temporary files in use, for a handler of SIGTERM and SIGINT to
// remove where the signal ends the process: a fixed table that the handler
// reads without taking a lock or allocating (async-signal-safe). A slot is
// free, taken (being filled, emptied, or claimed by the handler), or ready.
enum SlotState : int { free_slot, taken_slot, ready_slot };

struct Slot {
    std::atomic<int> state{free_slot};
    int directory = -1;
    char name[NAME_MAX + 1] = {};
};

constexpr int registry_size = 64;
Slot registry[registry_size];

// Who changes the table's users and the handlers: never the handler itself.
std::mutex registry_lock;
int registered = 0;
constexpr int terminating[2] = {SIGTERM, SIGINT};
struct sigaction previous[2];
bool installed[2] = {false, false};

int index_of(int number) { return number == SIGTERM ? 0 : 1; }

// Remove every ready temporary file (async-signal-safe).
void remove_registered() {
    for (Slot &slot : registry) {
        int ready = ready_slot;
        if (slot.state.compare_exchange_strong(ready, taken_slot))
            ::unlinkat(slot.directory, slot.name, 0);
    }
}

// SIGTERM and SIGINT while named temporary files exist. Where the disposition
// before was a function (Python's own handler, which raises later in the
// interpreter, where the files are removed as the C++ code unwinds), it is
// called and nothing is removed. Where it was the default, which ends the
// process, the files are removed first; then the default is put back and the
// signal raised again, to end the process as it would have ended.
//
// Each extension module links a table and a handler of its own. The function
// called may be the handler of another module, put in place before this one:
// where its disposition before was the default, it removes its own files,
// puts the default back and raises the signal, which ends the process once
// this handler returns; the default in place after the call tells that, and
// this module's files are removed too.
void on_terminating_signal(int number, siginfo_t *info, void *context) {
    const int saved = errno;
    const struct sigaction &before = previous[index_of(number)];
    const bool function = (before.sa_flags & SA_SIGINFO)
                              ? before.sa_sigaction != nullptr
                              : before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN;
    if (function) {
        if (before.sa_flags & SA_SIGINFO)
            before.sa_sigaction(number, info, context);
        else
            before.sa_handler(number);
        struct sigaction now;
        if (::sigaction(number, nullptr, &now) == 0 && now.sa_handler == SIG_DFL)
            remove_registered();
    } else if (before.sa_handler == SIG_DFL) {
        remove_registered();
        ::sigaction(number, &before, nullptr);
        ::raise(number);  // blocked while this handler runs: it ends the process on its return
    }
    errno = saved;
}

bool is_ours(const struct sigaction &action) {
    return (action.sa_flags & SA_SIGINFO) && action.sa_sigaction == on_terminating_signal;
}

// Put the handler in place of each disposition that is not SIG_IGN (which
// stays: the signal is ignored as before). Under `registry_lock`.
void install_handler() {
    for (int i = 0; i < 2; ++i) {
        struct sigaction now;
        if (::sigaction(terminating[i], nullptr, &now) != 0 ||
            (!(now.sa_flags & SA_SIGINFO) && now.sa_handler == SIG_IGN) || is_ours(now))
            continue;
        previous[i] = now;
        struct sigaction ours {};
        ours.sa_sigaction = on_terminating_signal;
        ours.sa_mask = now.sa_mask;
        ours.sa_flags = SA_SIGINFO | (now.sa_flags & (SA_RESTART | SA_ONSTACK));
        installed[i] = ::sigaction(terminating[i], &ours, nullptr) == 0;
    }
}

// Put back each disposition that the handler replaced, unless another has
// been set meanwhile (Python's `signal.signal`), which stays. Under
// `registry_lock`.
void remove_handler() {
    for (int i = 0; i < 2; ++i) {
        struct sigaction now;
        if (installed[i] && ::sigaction(terminating[i], nullptr, &now) == 0 && is_ours(now))
            ::sigaction(terminating[i], &previous[i], nullptr);
        installed[i] = false;
    }
}

// A named temporary file in the table while this lives (from before the file
// is made until after it is renamed or removed).
class Registration {
public:
    Registration() = default;
    Registration(const Registration &) = delete;
    Registration &operator=(const Registration &) = delete;
    ~Registration() { remove(); }

    void add(int directory, const std::string &name) {
        remove();
        if (name.size() > NAME_MAX)
            return;
        std::lock_guard<std::mutex> lock(registry_lock);
        for (int i = 0; i < registry_size; ++i) {
            int free = free_slot;
            if (!registry[i].state.compare_exchange_strong(free, taken_slot))
                continue;
            registry[i].directory = directory;
            std::memcpy(registry[i].name, name.c_str(), name.size() + 1);
            registry[i].state.store(ready_slot);
            if (registered++ == 0)
                install_handler();
            slot_ = i;
            return;
        }
        // A full table: the file is removed as the code unwinds, not by a signal.
    }

    void remove() {
        if (slot_ < 0)
            return;
        std::lock_guard<std::mutex> lock(registry_lock);
        registry[slot_].state.store(free_slot);
        if (--registered == 0)
            remove_handler();
        slot_ = -1;
    }

private:
    int slot_ = -1;
};

// ------------------------------------------------------- the rights of new files

// The process's umask, read without changing it where /proc tells it (on
// the second line of its status: one read of a few hundred bytes).
mode_t current_umask() {
    char status[512];
    const Descriptor file(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    const ssize_t size = file ? ::read(file.get(), status, sizeof status - 1) : -1;
    if (size > 0) {
        status[size] = 0;
        if (const char *line = std::strstr(status, "\nUmask:\t"))
            return (mode_t) std::strtoul(line + 8, nullptr, 8) & 0777;
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

constexpr const char *DEFAULT_ACL = "system.posix_acl_default";

// An ACL in the form the kernel keeps in the extended attributes: a version,
// then entries of a tag, permission bits (two bytes each) and an id (four),
// little-endian.
constexpr std::size_t acl_header = 4, acl_entry = 8;
enum AclTag : unsigned { user_obj = 0x01, user = 0x02, group_obj = 0x04, group = 0x08, mask = 0x10, other = 0x20 };

unsigned two_bytes_at(const std::string &text, std::size_t at) {
    return (unsigned char) text[at] | (unsigned) (unsigned char) text[at + 1] << 8;
}

// The access ACL and mode that a new file takes from its directory's default
// ACL `acl` for the mode `mode`, by the rule of `open`: each class keeps at
// most what the mode gives it, and the mode at most what its class has (the
// mask's, where there is one, stands for the group class). `acl` becomes
// empty where its entries say no more than the mode. False for an ACL of
// another form.
bool masked_default_acl(std::string &acl, mode_t &mode) {
    if (acl.size() < acl_header || (acl.size() - acl_header) % acl_entry != 0)
        return false;
    std::size_t user_at = 0, group_at = 0, mask_at = 0, other_at = 0;
    bool named = false;
    for (std::size_t at = acl_header; at < acl.size(); at += acl_entry) {
        switch (two_bytes_at(acl, at)) {
        case user_obj:
            user_at = at + 2;
            break;
        case user:
        case group:
            named = true;
            break;
        case group_obj:
            group_at = at + 2;
            break;
        case mask:
            mask_at = at + 2;
            break;
        case other:
            other_at = at + 2;
            break;
        default:
            return false;
        }
    }
    const std::size_t class_at = mask_at ? mask_at : group_at;
    if (!user_at || !class_at || !other_at)
        return false;
    mode_t bits = 0;
    for (auto [at, shift] : {std::pair{user_at, 6}, std::pair{class_at, 3}, std::pair{other_at, 0}}) {
        const unsigned kept = two_bytes_at(acl, at) & (mode >> shift) & 7;
        acl[at] = (char) kept;
        acl[at + 1] = 0;
        bits |= (mode_t) kept << shift;
    }
    mode = (mode & ~(mode_t) 0777) | bits;
    if (!named && !mask_at)
        acl.clear();
    return true;
}

// The rights that `open` gives a new file: the mode and access ACL it takes
// for `mode` in the directory held at `directory`, given to a file that was
// made for its owner alone once it is whole.
struct NewFileRights {
    mode_t mode = 0600;
    std::string acl;

    // False, with `errno` set, where they cannot be given.
    bool give(int fd) const {
        return ::fchmod(fd, mode) == 0 && (acl.empty() || ::fsetxattr(fd, ACCESS_ACL, acl.data(), acl.size(), 0) == 0);
    }
};

NewFileRights new_file_rights(int directory, mode_t mode) {
    NewFileRights rights;
    rights.mode = mode & 07777;
    std::string acl;
    const std::string name = held_name(directory);
    bool found = read_sized(
        acl, [&](char *buffer, std::size_t size) { return ::getxattr(name.c_str(), DEFAULT_ACL, buffer, size); });
    if (!found && errno == ENOENT)  // no /proc: the descriptor itself, unless it only names the directory
        found = read_sized(
            acl, [&](char *buffer, std::size_t size) { return ::fgetxattr(directory, DEFAULT_ACL, buffer, size); });
    if (found && masked_default_acl(acl, rights.mode)) {
        // A file for its owner alone takes none of the entries, which a
        // later change of its mode would bring to life.
        if ((mode & 077) == 0)
            acl.clear();
        rights.acl = std::move(acl);
    } else {
        rights.mode &= ~current_umask();
    }
    return rights;
}

// The name of a temporary file beside `name`.
std::string temporary_name(const std::string &name) {
    std::string temporary = "." + name + "." + random_suffix() + ".tmp";
    return temporary.size() > NAME_MAX ? ".orvo." + random_suffix() + ".tmp" : temporary;
}

// A new file in a directory, written before it takes its name: unnamed
// (O_TMPFILE) where the file system makes such files, else under a temporary
// name that SIGTERM and SIGINT remove where they end the process. It is its
// owner's alone, without ACL entries, from before its first byte on, until
// whoever made it gives it other rights.
class NewFile {
public:
    NewFile() = default;
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    ~NewFile() { discard(); }

    // 0, or the error number of making the file in the directory held at
    // `directory` (named, where it must be, after `beside`).
    int open(int directory, const std::string &beside) {
        directory_ = directory;
        fd_ = Descriptor(::openat(directory_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
        if (fd_) {
            // It is named later through /proc; where that cannot be, the file
            // is made with a name instead.
            struct stat held, opened;
            if (::stat(held_name(fd_.get()).c_str(), &held) == 0 && ::fstat(fd_.get(), &opened) == 0 &&
                held.st_dev == opened.st_dev && held.st_ino == opened.st_ino)
                return owner_only();
            fd_ = Descriptor();
        } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            return errno;  // the directory takes no new file
        }
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = temporary_name(beside);
            registration_.add(directory_, name_);
            fd_ = Descriptor(::openat(directory_, name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
            if (fd_)
                return owner_only();
            const int error = errno;
            registration_.remove();
            name_.clear();
            if (error != EEXIST)
                return error;
        }
        return EEXIST;
    }

    int fd() const { return fd_.get(); }
    explicit operator bool() const { return bool(fd_); }

    // Put the whole file at `target` in the directory: over what is there
    // (`replace`), or only where nothing is (EEXIST, and nothing written,
    // where something is). 0, or the error number; the file is gone either
    // way unless it was placed.
    int place(const std::string &target, bool replace) {
        int error = 0;
        if (name_.empty())  // unnamed: at the target itself, or first under a temporary name
            error = replace ? link_temporarily(target) : link_unnamed(target);
        const bool at_target = error == 0 && name_.empty();
        if (error == 0 && ::close(fd_.release()) != 0) {
            error = errno;
            if (at_target)
                ::unlinkat(directory_, target.c_str(), 0);
        }
        if (error == 0 && !at_target)
            error = rename_to(target, replace);
        discard();
        return error;
    }

    // Close the file and remove its temporary name, if any.
    void discard() {
        fd_ = Descriptor();
        if (!name_.empty()) {
            ::unlinkat(directory_, name_.c_str(), 0);
            name_.clear();
        }
        registration_.remove();
    }

private:
    // Drop the ACL entries that the directory's default ACL gave the file.
    int owner_only() {
        if (remove_acl(fd_.get()))
            return 0;
        const int error = errno;
        discard();
        return error;
    }

    // Give the unnamed file the name `to` (never replacing anything there),
    // through /proc: `open` keeps an unnamed file only where its /proc name
    // leads to it. 0, or the error number.
    int link_unnamed(const std::string &to) {
        if (::linkat(AT_FDCWD, held_name(fd_.get()).c_str(), directory_, to.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return errno;
        return 0;
    }

    // Give the unnamed file a temporary name beside `target` (one a signal
    // removes), to be renamed over `target`. 0, or the error number.
    int link_temporarily(const std::string &target) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = temporary_name(target);
            registration_.add(directory_, name_);
            const int error = link_unnamed(name_);
            if (error == 0)
                return 0;
            registration_.remove();
            name_.clear();
            if (error != EEXIST)
                return error;
        }
        return EEXIST;
    }

    // Rename the file from its temporary name to `target`: over what is
    // there, or only where nothing is. 0, or the error number.
    int rename_to(const std::string &target, bool replace) {
        const char *from = name_.c_str(), *to = target.c_str();
        if (replace ? ::renameat(directory_, from, directory_, to) == 0
                    : ::renameat2(directory_, from, directory_, to, RENAME_NOREPLACE) == 0) {
            name_.clear();
            return 0;
        }
        if (replace || (errno != EINVAL && errno != ENOSYS))
            return errno;
        // No such rename on this file system: a second name, then the first
        // goes (`discard`).
        return ::linkat(directory_, from, directory_, to, 0) == 0 ? 0 : errno;
    }

    int directory_ = -1;
    Descriptor fd_;
    std::string name_;  // empty for an unnamed file
    Registration registration_;
};

}  // namespace

// The new file of a replacement, and for a file that replaces none the
// rights it is given once it is whole.
struct FileReplacement::Temporary : NewFile {
    std::optional<NewFileRights> rights;
};

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
    check_at_commit_ = expected != nullptr;
    if (exists && S_ISDIR(old_info_.st_mode))
        throw OsError(EISDIR, shown_);
    // A rename would put a new regular file in place of a device or a pipe,
    // and would leave the other names of a file with the old content.
    if (exists && (!S_ISREG(old_info_.st_mode) || old_info_.st_nlink > 1)) {
        open_in_place();
        return;
    }
    // Refused as `open` would refuse it. Without /proc, asked of the name, a
    // check before the writing only: what is written is the file held.
    if (exists && ::access(held_name(old_.get()).c_str(), W_OK) != 0 &&
        (errno != ENOENT || ::faccessat(directory_.get(), name_.c_str(), W_OK, AT_SYMLINK_NOFOLLOW) != 0))
        throw OsError(errno, shown_);
    temporary_ = std::make_unique<Temporary>();
    if (!exists)
        temporary_->rights = new_file_rights(directory_.get(), new_file_mode);
    if (const int error = temporary_->open(directory_.get(), name_)) {
        temporary_.reset();
        if (!exists || (error != EACCES && error != EPERM))
            throw OsError(error, shown_);
        open_in_place();  // the directory takes no new name, the file may be written
        return;
    }
    if (exists && !take_over()) {
        temporary_.reset();
        open_in_place();  // what the new file cannot be, the old one stays
    }
}

bool FileReplacement::take_over() {
    // Owner and group as they were; where the owner cannot be kept, at least
    // the group. The attributes follow the owner, whose change may clear some
    // of them; the ACL is the old one, or none where the old file has none.
    // The file is its owner's alone until the old mode is given last.
    const struct stat &old = old_info_;
    const int fd = temporary_->fd();
    // The old file's ACL and attributes are read through /proc; without it,
    // through the file opened by its name, where that is still the file held
    // (else they cannot be told, and the file is written in place).
    const std::string held = held_name(old_.get());
    const char *from = held.c_str();
    Descriptor opened;
    std::string old_acl, new_acl;
    if (!read_acl(from, -1, old_acl)) {
        if (errno != ENOENT)
            fail(errno);
        opened = Descriptor(
            ::openat(directory_.get(), name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat info;
        if (!opened || ::fstat(opened.get(), &info) != 0 || info.st_dev != old.st_dev || info.st_ino != old.st_ino)
            return false;
        from = nullptr;
        if (!read_acl(nullptr, opened.get(), old_acl))
            fail(errno);
    }
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        [[maybe_unused]] int group_kept = ::fchown(fd, (uid_t) -1, old.st_gid);
    }
    if (!copy_attributes(from, opened.get(), fd))
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

void FileReplacement::open_in_place() {
    // By its name in the directory, never through a link, and only the file
    // that was looked at. Not waiting for a reader: a pipe without one fails
    // at once (ENXIO).
    in_place_ = Descriptor(
        ::openat(directory_.get(), name_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW));
    if (!in_place_)
        throw OsError(errno, shown_);
    struct stat opened;
    if (::fstat(in_place_.get(), &opened) != 0)
        fail(errno);
    if (opened.st_dev != old_info_.st_dev || opened.st_ino != old_info_.st_ino)
        fail(ESTALE);
    int flags = ::fcntl(in_place_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(in_place_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        fail(errno);
}

FileReplacement::~FileReplacement() = default;

int FileReplacement::fd() const {
    if (in_place_)
        return in_place_.get();
    if (temporary_ && *temporary_)
        return temporary_->fd();
    throw OsError(EBADF, shown_);
}

void FileReplacement::discard() {
    in_place_ = Descriptor();
    temporary_.reset();
}

void FileReplacement::fail(int error) {
    discard();
    throw OsError(error, shown_);
}

void FileReplacement::write(std::string_view data) {
    const int fd = this->fd();
    if (in_place_)
        pending_.append(data);
    else if (!write_all(fd, data))
        fail(errno);
}

void FileReplacement::restart() {
    const int fd = this->fd();
    if (in_place_)
        pending_.clear();
    else if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
        fail(errno);
}

void FileReplacement::commit() {
    const int fd = this->fd();
    if (check_at_commit_) {
        struct stat now;
        if (::fstatat(directory_.get(), name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
            now.st_dev != old_info_.st_dev || now.st_ino != old_info_.st_ino)
            fail(ESTALE);
    }
    if (in_place_) {
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
        if (::close(in_place_.release()) != 0 && written) {
            written = false;
            error = errno;
        }
        if (!written)
            throw OsError(error, shown_);
        return;
    }
    // A new file takes its rights once it is whole.
    if (temporary_->rights && !temporary_->rights->give(fd))
        fail(errno);
    const int error = temporary_->place(name_, true);
    temporary_.reset();
    if (error != 0)
        throw OsError(error, shown_);
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

Descriptor open_directory_within(const OpenDirectory &root, int from, const std::string &name,
                                 const std::string &shown) {
    Descriptor opened(open_beneath(from, name, root.real, O_PATH | O_DIRECTORY));
    if (opened)
        return opened;
    if (errno != EXDEV)
        throw OsError(errno, shown);
    // Not below the root: the root itself, or a way out.
    opened = Descriptor(::openat(from, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat at, top;
    if (opened && ::fstat(opened.get(), &at) == 0 && ::fstat(root.fd.get(), &top) == 0 &&
        at.st_dev == top.st_dev && at.st_ino == top.st_ino)
        return opened;
    throw OsError(EXDEV, shown);
}

void follow_links_within(const OpenDirectory &root, EntryPlace &place, const std::string &shown) {
    std::string text(PATH_MAX, '\0');
    for (int hops = 0;; ++hops) {
        if (::fstatat(place.directory.get(), place.name.c_str(), &place.found, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                throw OsError(errno, shown);
            place.exists = false;
            return;  // a free name
        }
        if (!S_ISLNK(place.found.st_mode)) {
            place.exists = true;
            return;
        }
        if (hops == 40)
            throw OsError(ELOOP, shown);
        const ssize_t size = ::readlinkat(place.directory.get(), place.name.c_str(), text.data(), text.size());
        if (size < 0 || (std::size_t) size == text.size())
            throw OsError(size < 0 ? errno : ENAMETOOLONG, shown);
        const std::string target(text.data(), (std::size_t) size);
        const std::size_t slash = target.rfind('/');
        std::string leaf = slash == std::string::npos ? target : target.substr(slash + 1);
        if (leaf.empty() || leaf == "." || leaf == "..")
            throw OsError(EISDIR, shown);  // a link to a directory
        if (slash != std::string::npos)
            place.directory =
                open_directory_within(root, place.directory.get(), slash == 0 ? "/" : target.substr(0, slash), shown);
        place.name = std::move(leaf);
    }
}

void replace_file_in_directory(const std::string &path, std::string_view data, mode_t new_file_mode) {
    EntryPlace place;
    std::optional<OpenDirectory> directory = open_parent_directory(path, place.name);
    if (!directory)
        throw OsError(errno, path);
    place.directory = copy_of(directory->fd.get(), path);
    follow_links_within(*directory, place, path);
    replace_file_at(place.directory.get(), place.name, path, data, new_file_mode,
                    place.exists ? &place.found : nullptr);
}

bool create_new_file(const std::string &path, std::string_view data, mode_t mode) {
    std::string name;
    Descriptor directory = directory_of(path, path, name);
    return create_new_file_at(directory.get(), name, path, data, mode);
}

bool create_new_file_at(int directory, const std::string &name, const std::string &shown, std::string_view data,
                        mode_t mode) {
    check_entry_name(name, shown);
    struct stat info;
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return false;  // something is there, a link included
    if (errno != ENOENT)
        throw OsError(errno, shown);
    // Written whole before it takes the name, which it takes only where
    // nothing came meanwhile.
    const NewFileRights rights = new_file_rights(directory, mode);
    NewFile file;
    if (const int error = file.open(directory, name))
        throw OsError(error, shown);
    if (!write_all(file.fd(), data) || !rights.give(file.fd()))
        throw OsError(errno, shown);
    const int error = file.place(name, false);
    if (error == EEXIST)
        return false;
    if (error != 0)
        throw OsError(error, shown);
    return true;
}

}  // namespace orvo
