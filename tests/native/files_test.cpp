// The core's files: reading a regular file and nothing else, within a limit;
// opening and reading a file only where it lies below a directory; listing.
#include "check.hpp"
#include "scratch.hpp"

#include "orvo/files.hpp"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::string_literals;

TEST(a_regular_file_is_read_whole_up_to_its_limit_and_not_a_byte_beyond) {
    scratch::Directory dir;
    scratch::write(dir / "f", "0123456789");
    std::string out = "stale";
    CHECK(orvo::read_regular_file(dir / "f", out, 10));
    CHECK_EQ(out, "0123456789"s);
    errno = 0;
    CHECK(!orvo::read_regular_file(dir / "f", out, 9));
    CHECK_EQ(errno, EFBIG);
    CHECK(out.empty());
    scratch::write(dir / "empty", "");
    CHECK(orvo::read_regular_file(dir / "empty", out, 0));
    CHECK(out.empty());

    // A descriptor already read from is read on from where it stands; the
    // limit is the file's.
    const orvo::Descriptor fd(::open((dir / "f").c_str(), O_RDONLY));
    CHECK_EQ(::lseek(fd.get(), 4, SEEK_SET), 4);
    CHECK(!orvo::read_open_file(fd.get(), out, 6));
    CHECK(orvo::read_open_file(fd.get(), out, 10));
    CHECK_EQ(out, "456789"s);
}

TEST(what_is_not_a_regular_file_is_never_read_nor_waited_on) {
    scratch::Directory dir;
    std::string out;
    errno = 0;
    CHECK(!orvo::read_regular_file(dir.path(), out));
    CHECK_EQ(errno, EISDIR);
    // A FIFO without a writer would block a reading open; a device would be read.
    CHECK_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    CHECK(!orvo::read_regular_file(dir / "fifo", out));
    CHECK_EQ(errno, EINVAL);
    CHECK(!orvo::read_regular_file("/dev/zero", out));
    CHECK_EQ(errno, EINVAL);
    CHECK(!orvo::read_regular_file(dir / "missing", out));
    CHECK_EQ(errno, ENOENT);
    const orvo::Descriptor fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    CHECK(!orvo::read_open_file(fd.get(), out));
    CHECK_EQ(errno, EISDIR);
}

namespace {

// A tree of a base directory `top` with a file and a subdirectory, and things
// beside it: top/f, top/sub/g, outside.
struct Tree {
    scratch::Directory dir;
    std::string top = dir / "top";
    orvo::Descriptor fd;
    Tree() {
        ::mkdir(top.c_str(), 0700);
        ::mkdir((top + "/sub").c_str(), 0700);
        scratch::write(top + "/f", "inside");
        scratch::write(top + "/sub/g", "deeper");
        scratch::write(dir / "outside", "outside");
        fd = orvo::Descriptor(::open(top.c_str(), O_PATH | O_DIRECTORY));
    }
    std::string read(const std::string &path, std::size_t limit = SIZE_MAX) {
        std::string out;
        errno = 0;
        return orvo::read_regular_file_beneath(fd.get(), path, top, out, limit) ? out
                                                                                : "errno " + std::to_string(errno);
    }
};

std::string errno_text(int error) { return "errno " + std::to_string(error); }

}  // namespace

TEST(a_file_is_read_beneath_a_directory_only_where_it_lies_below_it) {
    Tree tree;
    CHECK_EQ(tree.read("f"), "inside"s);
    CHECK_EQ(tree.read("sub/g"), "deeper"s);
    CHECK_EQ(tree.read("sub/../f"), "inside"s);
    CHECK_EQ(tree.read("../outside"), errno_text(EXDEV));
    CHECK_EQ(tree.read(tree.dir / "outside"), errno_text(EXDEV));
    CHECK_EQ(tree.read(tree.top + "/f"), "inside"s);  // absolute, but below
    CHECK_EQ(tree.read("f\0x"s), errno_text(ENOENT));
    CHECK_EQ(tree.read("sub"), errno_text(EISDIR));
    // Links: one leading out, one absolute back in, one climbing out and back.
    ::symlink((tree.dir / "outside").c_str(), (tree.top + "/out").c_str());
    ::symlink((tree.top + "/sub/g").c_str(), (tree.top + "/absolute").c_str());
    ::symlink("../../top/f", (tree.top + "/sub/around").c_str());
    const orvo::Descriptor outside(::open((tree.dir / "outside").c_str(), O_RDONLY));
    ::symlink(("/proc/self/fd/" + std::to_string(outside.get())).c_str(), (tree.top + "/magic").c_str());
    CHECK_EQ(tree.read("out"), errno_text(EXDEV));
    CHECK_EQ(tree.read("absolute"), "deeper"s);
    CHECK_EQ(tree.read("sub/around"), "inside"s);
    CHECK_EQ(tree.read("magic"), errno_text(EXDEV));
}

TEST(a_file_elsewhere_is_refused_as_elsewhere_whatever_its_size_and_a_pipe_is_not_opened) {
    Tree tree;
    CHECK_EQ(tree.read("../outside", 1), errno_text(EXDEV));
    CHECK_EQ(tree.read("f", 5), errno_text(EFBIG));
    CHECK_EQ(tree.read("f", 6), "inside"s);
    CHECK_EQ(::mkfifo((tree.top + "/fifo").c_str(), 0600), 0);
    CHECK_EQ(tree.read("fifo"), errno_text(EINVAL));
}

TEST(the_base_directory_itself_is_not_below_itself) {
    Tree tree;
    // Whether the kernel resolves beneath the directory or the open file's
    // path is checked afterwards, the base itself is not strictly below it.
    ::symlink(".", (tree.top + "/self").c_str());
    ::symlink(tree.top.c_str(), (tree.top + "/absolute_self").c_str());
    for (const char *path : {".", "self", "absolute_self", "sub/.."}) {
        errno = 0;
        const orvo::Descriptor fd(orvo::open_beneath(tree.fd.get(), path, tree.top, O_PATH | O_DIRECTORY));
        CHECK(!fd);
        CHECK_EQ(errno, EXDEV);
    }
    const orvo::Descriptor sub(orvo::open_beneath(tree.fd.get(), "sub/../sub", tree.top, O_PATH | O_DIRECTORY));
    CHECK(bool(sub));
}

TEST(a_listing_tells_each_entry_as_it_is_and_leaves_the_descriptor_as_it_was) {
    Tree tree;
    ::symlink("f", (tree.top + "/link").c_str());
    ::mkfifo((tree.top + "/fifo").c_str(), 0600);
    std::vector<orvo::DirectoryEntry> entries{{"stale", orvo::EntryType::other}};
    // An O_PATH descriptor, listed twice: the listing has a descriptor of its own.
    for (int round = 0; round < 2; ++round) {
        CHECK_EQ(orvo::list_directory(tree.fd.get(), entries), 0);
        std::sort(entries.begin(), entries.end(), [](auto &a, auto &b) { return a.name < b.name; });
        CHECK_EQ(entries.size(), 4u);
        if (entries.size() != 4)
            return;
        CHECK_EQ(entries[0].name, "f"s);
        CHECK(entries[0].type == orvo::EntryType::regular);
        CHECK(entries[1].type == orvo::EntryType::other);  // fifo
        CHECK(entries[2].type == orvo::EntryType::link);
        CHECK_EQ(entries[3].name, "sub"s);
        CHECK(entries[3].type == orvo::EntryType::directory);
    }
    CHECK_EQ(orvo::list_directory(tree.top + "/missing", entries), ENOENT);
    CHECK(entries.empty());
    CHECK_EQ(orvo::list_directory(tree.top + "/f", entries), ENOTDIR);
}

TEST(paths_join_and_compare_by_whole_components) {
    CHECK_EQ(orvo::join_path("a", "b"), "a/b"s);
    CHECK_EQ(orvo::join_path("a/", "b"), "a/b"s);
    CHECK_EQ(orvo::join_path("", "b"), "b"s);
    CHECK_EQ(orvo::join_path("a", "/b"), "/b"s);
    CHECK_EQ(orvo::join_path("a", ""), "a/"s);
    CHECK(orvo::lies_below("/a/b/c", "/a/b"));
    CHECK(!orvo::lies_below("/a/bc", "/a/b"));
    CHECK(!orvo::lies_below("/a/b", "/a/b"));
    CHECK(!orvo::lies_below("/a/b/", "/a/b"));  // nothing after the slash: the base itself
    CHECK(orvo::lies_below("/x", "/"));
    CHECK(!orvo::lies_below("/", "/"));
}

TEST(the_real_path_of_a_file_that_has_lost_its_name_is_not_told) {
    scratch::Directory dir;
    scratch::write(dir / "f", "x");
    const orvo::Descriptor fd(::open((dir / "f").c_str(), O_RDONLY));
    CHECK(orvo::real_path_of(fd.get()) == dir / "f");
    ::rename((dir / "f").c_str(), (dir / "g").c_str());
    CHECK(orvo::real_path_of(fd.get()) == dir / "g");
    ::unlink((dir / "g").c_str());
    scratch::write(dir / "g", "another file at the old name");
    CHECK(!orvo::real_path_of(fd.get()));
    int pipe_ends[2];
    CHECK_EQ(::pipe(pipe_ends), 0);
    CHECK(!orvo::real_path_of(pipe_ends[0]));
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}
