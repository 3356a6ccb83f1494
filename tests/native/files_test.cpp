// Reading and replacing a file as an entry of its own folder: a link at its
// name is followed only to a file below that folder.
#include "check.hpp"

#include "orvo/files.hpp"
#include "orvo/replace.hpp"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// A folder of its own for one test, removed with everything in it.
struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "orvo-files-XXXXXX").string();
        root = ::mkdtemp(pattern.data()) ? pattern : "";
    }
    ~Scratch() { fs::remove_all(root); }
    std::string path(const std::string &name) const { return root + "/" + name; }
    void write(const std::string &name, const std::string &text) const {
        fs::create_directories(fs::path(path(name)).parent_path());
        std::ofstream(path(name), std::ios::binary) << text;
    }
    std::string read(const std::string &name) const {
        std::string bytes;
        return orvo::read_regular_file(path(name), bytes) ? bytes : "<unreadable>"s;
    }
    void link(const std::string &target, const std::string &name) const { fs::create_symlink(target, path(name)); }
    std::string root;
};

// What reading `path` in its folder gives: the text, or the error number.
std::string read_in_folder(const std::string &path) {
    std::string bytes;
    if (orvo::read_regular_file_in_directory(path, bytes))
        return bytes;
    return "errno " + std::to_string(errno);
}

// The error number that replacing `path` in its folder throws, or 0.
int replace_error(const std::string &path, const std::string &text) {
    try {
        orvo::replace_file_in_directory(path, text, 0600);
    } catch (const orvo::OsError &error) {
        return error.error;
    }
    return 0;
}

const std::string exdev = "errno " + std::to_string(EXDEV);

}  // namespace

TEST(a_file_is_read_through_links_that_stay_in_its_folder) {
    Scratch s;
    s.write("folder/real", "in folder");
    s.write("folder/sub/deeper", "in sub");
    s.write("outside", "secret");
    s.link("real", "folder/same");
    s.link("sub/deeper", "folder/down");
    s.link("../folder/real", "folder/around");  // out and back in
    s.link(s.path("folder/real"), "folder/absolute");
    s.link("same", "folder/chain");
    s.link("../outside", "folder/out");
    s.link(s.path("outside"), "folder/out_absolute");
    s.link("../real", "folder/sub/up");  // in the folder, above the link's own
    for (const char *name : {"real", "same", "around", "absolute", "chain"})
        CHECK_EQ(read_in_folder(s.path("folder/") + name), "in folder"s);
    CHECK_EQ(read_in_folder(s.path("folder/down")), "in sub"s);
    CHECK_EQ(read_in_folder(s.path("folder/out")), exdev);
    CHECK_EQ(read_in_folder(s.path("folder/out_absolute")), exdev);
    // Below a folder of its own, a link to the folder above leads out.
    CHECK_EQ(read_in_folder(s.path("folder/sub/up")), exdev);
    // The folder itself may be reached through a link.
    s.link("folder", "alias");
    CHECK_EQ(read_in_folder(s.path("alias/same")), "in folder"s);
    CHECK_EQ(read_in_folder(s.path("alias/out")), exdev);
    // A relative path is taken from the working directory.
    const fs::path before = fs::current_path();
    fs::current_path(s.path("folder"));
    CHECK_EQ(read_in_folder("same"), "in folder"s);
    CHECK_EQ(read_in_folder("out"), exdev);
    fs::current_path(before);
    for (const std::string &path : {""s, s.path("folder/"), s.path("folder/."), s.path("folder/..")})
        CHECK_EQ(read_in_folder(path), "errno " + std::to_string(EISDIR));
    CHECK_EQ(read_in_folder(s.path("folder/real") + "\0x"s), "errno " + std::to_string(ENOENT));
}

TEST(a_file_is_replaced_through_links_that_stay_in_its_folder) {
    Scratch s;
    s.write("folder/real", "old");
    s.write("folder/sub/deeper", "old");
    s.write("outside", "secret");
    s.link("real", "folder/same");
    s.link("../folder/sub/deeper", "folder/around");
    CHECK_EQ(replace_error(s.path("folder/same"), "one"), 0);
    CHECK_EQ(s.read("folder/real"), "one"s);
    CHECK(fs::is_symlink(s.path("folder/same")));
    CHECK_EQ(replace_error(s.path("folder/around"), "two"), 0);
    CHECK_EQ(s.read("folder/sub/deeper"), "two"s);
    // A dangling link in the folder makes the file it names; a new name a new file.
    s.link("made", "folder/dangling");
    CHECK_EQ(replace_error(s.path("folder/dangling"), "three"), 0);
    CHECK_EQ(s.read("folder/made"), "three"s);
    CHECK_EQ(replace_error(s.path("folder/new"), "four"), 0);
    CHECK_EQ(s.read("folder/new"), "four"s);
    struct stat info;
    CHECK(::stat(s.path("folder/new").c_str(), &info) == 0 && (info.st_mode & 07777) == 0600);
    // Out of the folder nothing is written, existing or not.
    s.link("../outside", "folder/out");
    s.link(s.path("outside"), "folder/out_absolute");
    s.link("../missing", "folder/out_dangling");
    for (const char *name : {"out", "out_absolute", "out_dangling"})
        CHECK_EQ(replace_error(s.path("folder/") + name, "changed"), EXDEV);
    CHECK_EQ(s.read("outside"), "secret"s);
    CHECK(!fs::exists(s.path("missing")));
    // The folder itself may be reached through a link.
    s.link("folder", "alias");
    CHECK_EQ(replace_error(s.path("alias/same"), "five"), 0);
    CHECK_EQ(s.read("folder/real"), "five"s);
    CHECK_EQ(replace_error(s.path("alias/out"), "changed"), EXDEV);
    // A link to a folder, and a loop, are refused.
    s.link("sub", "folder/to_folder");
    s.link("loop", "folder/loop");
    CHECK_EQ(replace_error(s.path("folder/to_folder"), "x"), EISDIR);
    CHECK_EQ(replace_error(s.path("folder/loop"), "x"), ELOOP);
    CHECK_EQ(replace_error(s.path("folder/"), "x"), EISDIR);
    CHECK_EQ(s.read("folder/real"), "five"s);
}
