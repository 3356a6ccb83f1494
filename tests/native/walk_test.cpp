// The core's walk of a directory tree by descriptors: a bounded number open
// however deep the tree, each directory opened again only where it is the
// one entered.
#include "check.hpp"
#include "scratch.hpp"

#include "orvo/walk.hpp"

#include <algorithm>
#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using orvo::DirectoryWalk;
using Through = DirectoryWalk::Through;

namespace {

// The name of the directory at `level` of a deep chain: long, so that the
// chain's path is longer than any path the system takes.
std::string level_name(std::size_t level) { return std::string(60, 'd') + std::to_string(level); }

// Whether the walk's current directory holds the entry `name`, and is the
// directory the walk says it entered.
bool stands_at(DirectoryWalk &walk, const std::string &name) {
    const int fd = walk.directory();
    struct stat info, inner;
    return fd >= 0 && ::fstat(fd, &info) == 0 && info.st_dev == walk.device() && info.st_ino == walk.inode() &&
           ::fstatat(fd, name.c_str(), &inner, AT_SYMLINK_NOFOLLOW) == 0;
}

struct Top {
    scratch::Directory dir;
    orvo::Descriptor fd{::open(dir.path().c_str(), O_PATH | O_DIRECTORY)};
    void mkdirs(const std::string &path) {
        std::string made;
        for (std::size_t at = 0; at != std::string::npos;) {
            const std::size_t slash = path.find('/', at);
            made = path.substr(0, slash);
            ::mkdir((dir / made).c_str(), 0700);
            at = slash == std::string::npos ? slash : slash + 1;
        }
    }
};

}  // namespace

TEST(a_deep_tree_is_walked_down_and_up_with_a_bounded_number_of_descriptors) {
    Top top;
    constexpr std::size_t depth = 120, kept = 4;  // about 7,500 bytes of path
    {
        // Each level holds the next, and a link to it.
        orvo::Descriptor at(::dup(top.fd.get()));
        for (std::size_t level = 1; level <= depth; ++level) {
            ::mkdirat(at.get(), level_name(level).c_str(), 0700);
            ::symlinkat(level_name(level).c_str(), at.get(), "next");
            at = orvo::Descriptor(::openat(at.get(), level_name(level).c_str(), O_PATH | O_DIRECTORY));
        }
    }
    // By name, a level left is opened again through ".." of the one below;
    // through links, by the names that lead to it from the nearest level open.
    for (Through through : {Through::name, Through::link}) {
        const std::size_t before = scratch::open_descriptors();
        DirectoryWalk walk(top.fd.get(), top.dir.path(), kept);
        std::size_t most = 0;
        for (std::size_t level = 1; level <= depth; ++level) {
            CHECK(stands_at(walk, level_name(level)));
            CHECK_EQ(walk.enter(through == Through::name ? level_name(level) : "next", through), 0);
            CHECK_EQ(walk.depth(), level);
            most = std::max(most, scratch::open_descriptors() - before);
        }
        for (std::size_t level = depth; level > 0; --level) {
            walk.leave();
            CHECK(stands_at(walk, level_name(level)));
            most = std::max(most, scratch::open_descriptors() - before);
        }
        CHECK_EQ(walk.depth(), 0u);
        CHECK(most <= kept);
        CHECK(most > 0);
    }
}

TEST(a_directory_moved_meanwhile_is_still_walked) {
    Top top;
    top.mkdirs("a/b/c/d");
    scratch::write(top.dir / "a/mark", "");
    DirectoryWalk walk(top.fd.get(), top.dir.path(), 1);
    for (const char *name : {"a", "b", "c"})
        CHECK_EQ(walk.enter(name), 0);
    CHECK_EQ(::rename((top.dir / "a/b").c_str(), (top.dir / "moved").c_str()), 0);
    walk.leave();
    CHECK(stands_at(walk, "c"));  // the moved directory, through ".."
    walk.leave();
    CHECK(stands_at(walk, "mark"));  // ".." now leads to the top: "a" is opened again by its name
    CHECK_EQ(walk.depth(), 1u);
}

TEST(a_directory_replaced_meanwhile_is_lost_with_the_levels_below_it) {
    Top top;
    top.mkdirs("a/b/c");
    ::symlink("b", (top.dir / "a/l").c_str());
    DirectoryWalk walk(top.fd.get(), top.dir.path(), 1);
    CHECK_EQ(walk.enter("a"), 0);
    CHECK_EQ(walk.enter("l", Through::link), 0);
    CHECK(stands_at(walk, "c"));
    walk.leave();  // entered through a link: "a" is not opened through ".."
    CHECK_EQ(::rename((top.dir / "a").c_str(), (top.dir / "old").c_str()), 0);
    top.mkdirs("a/b");
    errno = 0;
    CHECK_EQ(walk.directory(), -1);
    CHECK_EQ(errno, ESTALE);
    CHECK_EQ(walk.enter("b"), ESTALE);
    CHECK_EQ(walk.depth(), 1u);
    walk.leave();
    CHECK(stands_at(walk, "old"));
}

TEST(only_a_directory_is_entered_and_a_link_only_when_asked_and_below_the_top) {
    Top top;
    top.mkdirs("a/b");
    scratch::write(top.dir / "a/file", "");
    ::symlink("b", (top.dir / "a/to_b").c_str());
    ::symlink("../..", (top.dir / "a/out").c_str());
    ::symlink("..", (top.dir / "a/up").c_str());
    ::symlink(".", (top.dir / "self").c_str());
    DirectoryWalk walk(top.fd.get(), top.dir.path());
    CHECK_EQ(walk.enter("self", Through::link), EXDEV);  // the top is not below itself
    CHECK_EQ(walk.enter("a"), 0);
    const int by_name = walk.enter("to_b");
    CHECK(by_name == ELOOP || by_name == ENOTDIR);
    CHECK_EQ(walk.enter("file"), ENOTDIR);
    CHECK_EQ(walk.enter("missing"), ENOENT);
    CHECK_EQ(walk.enter("out", Through::link), EXDEV);
    CHECK_EQ(walk.enter("up", Through::link), EXDEV);
    CHECK_EQ(walk.depth(), 1u);
    CHECK(stands_at(walk, "file"));
    CHECK_EQ(walk.enter("to_b", Through::link), 0);
    CHECK_EQ(walk.depth(), 2u);
    walk.leave();
    walk.leave();
    walk.leave();  // at the top nothing happens
    CHECK_EQ(walk.depth(), 0u);
    CHECK(stands_at(walk, "a"));
}
