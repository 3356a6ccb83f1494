#include "orvo/walk.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvo {

namespace {

constexpr int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Whether the file open at `fd` is the directory of that device and inode.
bool is_same(int fd, dev_t device, ino_t inode) {
    struct stat info;
    return ::fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

DirectoryWalk::DirectoryWalk(int top, std::string real_top, std::size_t max_open)
    : top_(top), real_top_(std::move(real_top)), max_open_(std::max<std::size_t>(max_open, 1)) {
    Level level;
    struct stat info;
    if (::fstat(top, &info) == 0) {
        level.device = info.st_dev;
        level.inode = info.st_ino;
    }
    levels_.push_back(std::move(level));
}

int DirectoryWalk::descriptor_of(std::size_t index) const { return index == 0 ? top_ : levels_[index].fd.get(); }

int DirectoryWalk::open_level(int parent, const std::string &name, Through through) const {
    if (through == Through::link)
        return open_beneath(parent, name, real_top_, O_RDONLY | O_DIRECTORY);
    return ::openat(parent, name.c_str(), directory_flags | O_NOFOLLOW);
}

int DirectoryWalk::reopen(int parent, const Level &level) const {
    const int fd = open_level(parent, level.name, level.through);
    if (fd < 0)
        return -1;
    if (!is_same(fd, level.device, level.inode)) {
        ::close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

int DirectoryWalk::directory() {
    const std::size_t current = depth();
    if (levels_.back().lost) {
        errno = ESTALE;
        return -1;
    }
    if (const int fd = descriptor_of(current); fd >= 0)
        return fd;
    // Down from the nearest level still open (the top always is), each level
    // checked; those above the levels kept open are closed again on the way.
    std::size_t open = current;
    while (descriptor_of(--open) < 0) {
    }
    for (std::size_t index = open + 1; index <= current; ++index) {
        const int fd = reopen(descriptor_of(index - 1), levels_[index]);
        if (fd < 0) {
            for (std::size_t lost = index; lost <= current; ++lost) {
                levels_[lost].lost = true;
                levels_[lost].fd = Descriptor();
            }
            errno = ESTALE;
            return -1;
        }
        levels_[index].fd = Descriptor(fd);
        if (index - 1 > open && index - 1 + max_open_ <= current)
            levels_[index - 1].fd = Descriptor();
    }
    return descriptor_of(current);
}

int DirectoryWalk::enter(const std::string &name, Through through) {
    const int parent = directory();
    if (parent < 0)
        return errno;
    Level level;
    level.name = name;
    level.through = through;
    level.fd = Descriptor(open_level(parent, name, through));
    if (!level.fd)
        return errno;
    struct stat info;
    if (::fstat(level.fd.get(), &info) != 0)
        return errno;
    level.device = info.st_dev;
    level.inode = info.st_ino;
    levels_.push_back(std::move(level));
    // The level that has just left the ones kept open.
    if (const std::size_t current = depth(); current > max_open_)
        levels_[current - max_open_].fd = Descriptor();
    return 0;
}

void DirectoryWalk::leave() {
    if (levels_.size() == 1)
        return;
    const Level child = std::move(levels_.back());
    levels_.pop_back();
    Level &parent = levels_.back();
    if (depth() == 0 || parent.fd || parent.lost || child.through != Through::name || !child.fd)
        return;  // open already, or to be opened by its names when it is needed
    // A directory entered by name has its parent as "..", unless it was moved
    // meanwhile: then the parent is looked for by its names.
    const int fd = ::openat(child.fd.get(), "..", directory_flags);
    if (fd >= 0 && is_same(fd, parent.device, parent.inode))
        parent.fd = Descriptor(fd);
    else if (fd >= 0)
        ::close(fd);
}

}  // namespace orvo
