// The core's replacement of a file's content: whole or not at all, by a path
// or as an entry of a directory held open, and the exclusive creation of a
// new file.
#include "check.hpp"
#include "scratch.hpp"

#include "orvo/replace.hpp"

#include <cerrno>
#include <chrono>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::string_literals;

namespace {

// The error number that `step` throws as an OsError naming `shown`; 0 when it
// throws none, -1 when it names another path.
template <typename Step>
int os_error(const std::string &shown, Step &&step) {
    try {
        step();
    } catch (const orvo::OsError &error) {
        return error.path == shown ? error.error : -1;
    }
    return 0;
}

// A directory held open (O_PATH, as the callers hold theirs) and a known umask.
struct Place {
    scratch::Directory dir;
    orvo::Descriptor fd{::open(dir.path().c_str(), O_PATH | O_DIRECTORY)};
    mode_t umask_before = ::umask(022);
    ~Place() { ::umask(umask_before); }
};

}  // namespace

TEST(a_replacement_takes_the_name_whole_with_the_old_rights_and_leaves_nothing_beside) {
    Place place;
    scratch::write(place.dir / "f", "old content");
    ::chmod((place.dir / "f").c_str(), 0640);
    orvo::replace_file_at(place.fd.get(), "f", "shown/f", "new");
    CHECK_EQ(scratch::read(place.dir / "f"), "new"s);
    CHECK_EQ(scratch::mode_of(place.dir / "f"), (mode_t) 0640);
    CHECK_EQ(scratch::entries(place.dir.path()), 1u);
    // A new file gets what `open` gives it: the mode less the umask.
    orvo::replace_file_at(place.fd.get(), "g", "g", "fresh", 0666);
    CHECK_EQ(scratch::mode_of(place.dir / "g"), (mode_t) 0644);
    orvo::replace_file_at(place.fd.get(), "h", "h", "", 0600);
    CHECK_EQ(scratch::mode_of(place.dir / "h"), (mode_t) 0600);
    CHECK_EQ(scratch::entries(place.dir.path()), 3u);
}

TEST(without_commit_the_file_stays_and_restart_drops_what_was_written) {
    Place place;
    scratch::write(place.dir / "f", "old");
    {
        orvo::FileReplacement file(place.fd.get(), "f", "f");
        file.write("never committed");
    }
    CHECK_EQ(scratch::read(place.dir / "f"), "old"s);
    {
        orvo::FileReplacement file(place.fd.get(), "new", "new");
        file.write("x");
    }
    CHECK(!scratch::exists(place.dir / "new"));
    CHECK_EQ(scratch::entries(place.dir.path()), 1u);
    orvo::FileReplacement file(place.fd.get(), "f", "f");
    file.write("dropped");
    file.restart();
    file.write("kept");
    file.commit();
    CHECK_EQ(scratch::read(place.dir / "f"), "kept"s);
    CHECK_EQ(scratch::entries(place.dir.path()), 1u);
}

TEST(an_entry_name_is_one_component_never_a_link_a_directory_or_a_path) {
    Place place;
    scratch::write(place.dir / "target", "target");
    ::symlink("target", (place.dir / "link").c_str());
    ::symlink("nowhere", (place.dir / "dangling").c_str());
    ::mkdir((place.dir / "sub").c_str(), 0700);
    const int fd = place.fd.get();
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, "link", "s", "x"); }), ELOOP);
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, "dangling", "s", "x"); }), ELOOP);
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, "sub", "s", "x"); }), EISDIR);
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, ".", "s", "x"); }), EISDIR);
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, "..", "s", "x"); }), EISDIR);
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, "sub/f", "s", "x"); }), EINVAL);
    CHECK_EQ(os_error("s", [&] { orvo::replace_file_at(fd, "", "s", "x"); }), ENOENT);
    CHECK_EQ(scratch::read(place.dir / "target"), "target"s);
    CHECK(!scratch::exists(place.dir / "nowhere"));
    CHECK(!scratch::exists(place.dir / "sub/f"));
    CHECK_EQ(scratch::entries(place.dir.path()), 4u);
}

TEST(the_expected_file_is_the_one_written_at_the_start_and_at_the_commit) {
    Place place;
    scratch::write(place.dir / "f", "old");
    scratch::write(place.dir / "other", "other");
    struct stat seen, other;
    ::stat((place.dir / "f").c_str(), &seen);
    ::stat((place.dir / "other").c_str(), &other);
    const int fd = place.fd.get();
    CHECK_EQ(os_error("f", [&] { orvo::replace_file_at(fd, "f", "f", "x", 0666, &other); }), ESTALE);
    CHECK_EQ(os_error("f", [&] { orvo::replace_file_at(fd, "absent", "f", "x", 0666, &seen); }), ESTALE);
    CHECK(!scratch::exists(place.dir / "absent"));
    // Swapped for another file while the content is written.
    {
        orvo::FileReplacement file(fd, "f", "f", 0666, &seen);
        file.write("new");
        ::rename((place.dir / "other").c_str(), (place.dir / "f").c_str());
        CHECK_EQ(os_error("f", [&] { file.commit(); }), ESTALE);
    }
    CHECK_EQ(scratch::read(place.dir / "f"), "other"s);
    CHECK_EQ(scratch::entries(place.dir.path()), 1u);
}

TEST(a_file_of_several_names_and_a_pipe_are_written_in_place) {
    Place place;
    scratch::write(place.dir / "f", "old content, longer than the new");
    ::link((place.dir / "f").c_str(), (place.dir / "second").c_str());
    orvo::replace_file_at(place.fd.get(), "f", "f", "new");
    CHECK_EQ(scratch::read(place.dir / "second"), "new"s);  // every name sees it, cut to its length
    CHECK_EQ(scratch::entries(place.dir.path()), 2u);
    // A pipe without a reader fails at once instead of waiting for one.
    ::mkfifo((place.dir / "fifo").c_str(), 0600);
    const auto start = std::chrono::steady_clock::now();
    CHECK_EQ(os_error("fifo", [&] { orvo::replace_file_at(place.fd.get(), "fifo", "fifo", "x"); }), ENXIO);
    CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
}

TEST(a_path_follows_its_link_unless_told_to_refuse_it) {
    Place place;
    scratch::write(place.dir / "target", "old");
    ::symlink("target", (place.dir / "link").c_str());
    ::symlink("new_target", (place.dir / "dangling").c_str());
    orvo::replace_file(place.dir / "link", "through");
    CHECK_EQ(scratch::read(place.dir / "target"), "through"s);
    CHECK_EQ(scratch::entries(place.dir.path()), 3u);  // the link is still a link
    CHECK_EQ(
        os_error(place.dir / "link", [&] { orvo::replace_file(place.dir / "link", "x", 0666, orvo::AtLink::refuse); }),
        ELOOP);
    CHECK_EQ(scratch::read(place.dir / "target"), "through"s);
    // A dangling link leads to the file it names, made there.
    CHECK_EQ(orvo::resolved_path(place.dir / "dangling"), place.dir / "new_target");
    orvo::replace_file(place.dir / "dangling", "made");
    CHECK_EQ(scratch::read(place.dir / "new_target"), "made"s);
    CHECK_EQ(os_error(place.dir / "", [&] { orvo::replace_file(place.dir / "", "x"); }), EISDIR);
}

TEST(a_new_file_is_created_only_where_nothing_is) {
    Place place;
    const int fd = place.fd.get();
    CHECK(orvo::create_new_file_at(fd, "new", "new", "content", 0640));
    CHECK_EQ(scratch::read(place.dir / "new"), "content"s);
    CHECK_EQ(scratch::mode_of(place.dir / "new"), (mode_t) 0640);
    CHECK(!orvo::create_new_file_at(fd, "new", "new", "other"));
    CHECK_EQ(scratch::read(place.dir / "new"), "content"s);
    // A link, dangling or not, is something: nothing is made where it leads.
    ::symlink("elsewhere", (place.dir / "dangling").c_str());
    CHECK(!orvo::create_new_file_at(fd, "dangling", "dangling", "x"));
    CHECK(!scratch::exists(place.dir / "elsewhere"));
    CHECK_EQ(os_error("a/b", [&] { orvo::create_new_file_at(fd, "a/b", "a/b", "x"); }), EINVAL);
    CHECK(orvo::create_new_file(place.dir / "by_path", "by path"));
    CHECK(!orvo::create_new_file(place.dir / "by_path", "again"));
    CHECK_EQ(scratch::read(place.dir / "by_path"), "by path"s);
    CHECK_EQ(scratch::entries(place.dir.path()), 3u);
}

TEST(a_directory_that_takes_no_new_name_refuses_a_new_file_and_leaves_nothing) {
    if (::geteuid() == 0)
        return;  // the rights do not hold for root
    Place place;
    scratch::write(place.dir / "f", "old");
    ::chmod(place.dir.path().c_str(), 0500);
    CHECK_EQ(os_error("n", [&] { orvo::create_new_file_at(place.fd.get(), "n", "n", "x"); }), EACCES);
    // An existing file that may be written is written in place instead.
    orvo::replace_file_at(place.fd.get(), "f", "f", "in place");
    ::chmod(place.dir.path().c_str(), 0700);
    CHECK_EQ(scratch::read(place.dir / "f"), "in place"s);
    CHECK_EQ(scratch::entries(place.dir.path()), 1u);
}
