#include "orvo/files.hpp"
#include "orvo/support.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo {

std::string arg_path(nb::handle value, const char *name) {
    PyObject *path = PyOS_FSPath(value.ptr());
    if (!path || !PyUnicode_Check(path)) {
        PyErr_Clear();
        Py_XDECREF(path);
        wrong_type(value, name, "str or os.PathLike");
    }
    nb::object text = nb::steal(path);
    nb::object bytes = nb::steal(PyUnicode_EncodeFSDefault(text.ptr()));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (std::size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

std::string working_directory() {
    std::string buffer(PATH_MAX, '\0');
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) {
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

nb::str path_str(std::string_view bytes) {
    PyObject *text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), (Py_ssize_t) bytes.size());
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

bool read_regular_file(const std::string &path, std::string &out) {
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
    // The size is a hint: a file that grows or shrinks meanwhile is read to its end.
    std::size_t capacity = (std::size_t) info.st_size + 1;
    out.resize(capacity);
    std::size_t used = 0;
    for (;;) {
        if (used == out.size())
            out.resize(out.size() * 2);
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

namespace {

[[noreturn]] void raise_errno(int error, const std::string &path) {
    errno = error;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw nb::python_error();
}

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

}  // namespace

FileReplacement::FileReplacement(const std::string &path) : path_(path), target_(path) {
    // The file a link names is the one to replace, not the link.
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char *real = ::realpath(path.c_str(), nullptr)) {
            target_ = real;
            std::free(real);
        }
    }
    bool exists = ::stat(target_.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        raise_errno(EISDIR, path);
    if (exists && ::access(target_.c_str(), W_OK) != 0)
        raise_errno(errno, path);

    std::size_t slash = target_.rfind('/');
    std::string directory = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = directory + "." + name + "." + random_suffix() + ".tmp";
        if (temporary_.size() - directory.size() > NAME_MAX)
            temporary_ = directory + ".orvo." + random_suffix() + ".tmp";
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST)
            raise_errno(errno, path);
    }
    if (fd_ < 0)
        raise_errno(EEXIST, path);
    if (exists) {
        // Owner and group stay where the rights allow it (else they are ours).
        [[maybe_unused]] int owner_kept = ::fchown(fd_, info.st_uid, info.st_gid);
        if (::fchmod(fd_, info.st_mode & 07777) != 0)
            fail(errno);
    }
}

FileReplacement::~FileReplacement() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temporary_.c_str());
    }
}

void FileReplacement::fail(int error) {
    ::close(fd_);
    ::unlink(temporary_.c_str());
    fd_ = -1;
    raise_errno(error, path_);
}

void FileReplacement::write(std::string_view data) {
    if (fd_ < 0)
        raise_errno(EBADF, path_);
    if (!write_all(fd_, data))
        fail(errno);
}

void FileReplacement::restart() {
    if (fd_ < 0)
        raise_errno(EBADF, path_);
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0)
        fail(errno);
}

void FileReplacement::commit() {
    if (fd_ < 0)
        raise_errno(EBADF, path_);
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary_.c_str());
        raise_errno(error, path_);
    }
}

void replace_file(const std::string &path, std::string_view data) {
    FileReplacement file(path);
    file.write(data);
    file.commit();
}

}  // namespace orvo
