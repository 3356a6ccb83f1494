// The one walk of a directory tree by descriptors, in plain C++ (POSIX):
// however deep the tree, the walk holds a bounded number of descriptors open
// and recurses on no stack; its caller keeps what it knows of each level on a
// stack of its own (a list of entries and a position, say).
//
// A `DirectoryWalk` stands in one directory at a time: the top, which the
// caller holds open, or one entered below it, level by level, by its name in
// the directory above (never following a link there), or through a link to a
// directory that lies below the top. Only the levels nearest the current one
// keep their descriptors; one that was closed on the way down is opened again
// when the walk needs it: through ".." of the level below it where that level
// was entered by name, else by the names that led to it from the nearest
// level still open. A directory opened again is used only when it is the same
// one (device and inode) that was entered. Where it is not, it is lost, and
// so is every level below it that was reached through it: it has no
// descriptor any more, and its caller leaves what it has not yet examined
// there out, as an entry that cannot be examined. A directory that was moved
// elsewhere meanwhile is still the one entered, and the walk goes on in it.
#pragma once

#include "files.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

namespace orvo {

class DirectoryWalk {
public:
    // How a subdirectory is entered.
    enum class Through {
        name,  // the entry itself; a symbolic link there is refused (ELOOP or ENOTDIR)
        link,  // the entry, a link followed, to a directory strictly below the top (`open_beneath`)
    };

    // The descriptors a walk keeps open besides the top, unless told otherwise.
    static constexpr std::size_t default_open = 16;

    // Start at the directory open at `top` (any descriptor of it, O_PATH
    // included; the caller keeps it open while the walk lasts), whose real path
    // is `real_top`. At most `max_open` levels below the top (at least one)
    // keep their descriptors open at a time.
    DirectoryWalk(int top, std::string real_top, std::size_t max_open = default_open);
    DirectoryWalk(const DirectoryWalk &) = delete;
    DirectoryWalk &operator=(const DirectoryWalk &) = delete;

    // The level of the current directory: 0 at the top.
    std::size_t depth() const { return levels_.size() - 1; }
    // The device and inode of the current directory, as it was entered.
    dev_t device() const { return levels_.back().device; }
    ino_t inode() const { return levels_.back().inode; }

    // The descriptor of the current directory (to list it, or to open its
    // entries), opened again where it was closed; valid until the walk next
    // moves. -1, with `errno` ESTALE, when the directory is lost.
    int directory();

    // Enter the subdirectory `name` of the current directory. Returns 0, or
    // the error number of the failure (the walk then stays where it was):
    // that of opening it (ENOTDIR for what is not a directory, ELOOP or
    // ENOTDIR for a link entered by name, EXDEV for a link that leads
    // elsewhere than below the top), or ESTALE where the current directory is
    // lost.
    int enter(const std::string &name, Through through = Through::name);

    // Go back to the directory above; at the top, nothing happens.
    void leave();

private:
    struct Level {
        std::string name;  // in the directory above
        Through through = Through::name;
        dev_t device = 0;
        ino_t inode = 0;
        Descriptor fd;  // closed where the level is too far above the current one
        bool lost = false;
    };

    // The descriptor of the level at `index` (the top's for 0); -1 where it is closed.
    int descriptor_of(std::size_t index) const;
    // Open the subdirectory `name` of the directory open at `parent` as `through` says.
    int open_level(int parent, const std::string &name, Through through) const;
    // Open `level` in the directory open at `parent` as it was entered, and
    // check that it is the directory entered; -1 with `errno` set otherwise.
    int reopen(int parent, const Level &level) const;
    int top_;
    std::string real_top_;
    std::size_t max_open_;
    std::vector<Level> levels_;  // the top first, the current directory last
};

}  // namespace orvo
