// A directory of the tests' own, made empty under the system's temporary
// directory and removed with everything in it when it goes, and the few file
// operations the tests of the core set their cases up with.
#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace scratch {

class Directory {
public:
    Directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "orvo-native-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = std::filesystem::canonical(pattern).string();
    }
    ~Directory() { remove(AT_FDCWD, path_.c_str()); }
    Directory(const Directory &) = delete;
    Directory &operator=(const Directory &) = delete;

    // The real path of the directory, or of `name` in it.
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    // Remove the entry `name` of the directory open at `parent`, a tree of
    // any depth included (by descriptors: its paths may be too long for the
    // system), giving back the rights a case took away.
    static void remove(int parent, const char *name) {
        if (::unlinkat(parent, name, 0) == 0 || (errno != EISDIR && errno != EPERM))
            return;
        ::fchmodat(parent, name, 0700, 0);
        const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR *listing = fd < 0 ? nullptr : ::fdopendir(fd);
        if (!listing) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        std::vector<std::string> names;
        while (const dirent *entry = ::readdir(listing))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
        for (const std::string &inner : names)
            remove(::dirfd(listing), inner.c_str());
        ::closedir(listing);
        ::unlinkat(parent, name, AT_REMOVEDIR);
    }

    std::string path_;
};

// Write a file, making the directories it lies in.
inline void write(const std::string &path, const std::string &data) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

inline std::string read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void link(const std::string &target, const std::string &path) {
    std::filesystem::create_symlink(target, path);
}

inline bool exists(const std::string &path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

inline mode_t mode_of(const std::string &path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The number of entries of a directory ("." and ".." left out).
inline std::size_t entries(const std::string &path) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(path))
        ++count;
    return count;
}

// The descriptors the process holds open.
inline std::size_t open_descriptors() { return entries("/proc/self/fd") - 1; }  // less the listing's own

}  // namespace scratch
