// Reading and replacing a file as an entry of its own folder: a link at its
// name is followed only to a file below that folder.
#include "check.hpp"
#include "scratch.hpp"

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

// A folder of two files, `text` in folder/real and folder/sub/deeper, beside
// "secret" in outside, with a link in the folder to a file of its own (same)
// and two that lead out (out, out_absolute).
void lay_out(const scratch::Directory &s, const std::string &text) {
    scratch::write(s / "folder/real", text);
    scratch::write(s / "folder/sub/deeper", text);
    scratch::write(s / "outside", "secret");
    scratch::link("real", s / "folder/same");
    scratch::link("../outside", s / "folder/out");
    scratch::link(s / "outside", s / "folder/out_absolute");
}

}  // namespace

TEST(a_file_is_read_through_links_that_stay_in_its_folder) {
    scratch::Directory s;
    lay_out(s, "in folder");
    scratch::write(s / "folder/sub/deeper", "in sub");
    scratch::link("sub/deeper", s / "folder/down");
    scratch::link("../folder/real", s / "folder/around");  // out and back in
    scratch::link(s / "folder/real", s / "folder/absolute");
    scratch::link("same", s / "folder/chain");
    scratch::link("../real", s / "folder/sub/up");  // in the folder, above the link's own
    for (const char *name : {"real", "same", "around", "absolute", "chain"})
        CHECK_EQ(read_in_folder(s / "folder/" + name), "in folder"s);
    CHECK_EQ(read_in_folder(s / "folder/down"), "in sub"s);
    CHECK_EQ(read_in_folder(s / "folder/out"), exdev);
    CHECK_EQ(read_in_folder(s / "folder/out_absolute"), exdev);
    // Below a folder of its own, a link to the folder above leads out.
    CHECK_EQ(read_in_folder(s / "folder/sub/up"), exdev);
    // The folder itself may be reached through a link.
    scratch::link("folder", s / "alias");
    CHECK_EQ(read_in_folder(s / "alias/same"), "in folder"s);
    CHECK_EQ(read_in_folder(s / "alias/out"), exdev);
    // A relative path is taken from the working directory.
    const fs::path before = fs::current_path();
    fs::current_path(s / "folder");
    CHECK_EQ(read_in_folder("same"), "in folder"s);
    CHECK_EQ(read_in_folder("out"), exdev);
    fs::current_path(before);
    for (const std::string &path : {""s, (s / "folder/"), (s / "folder/."), (s / "folder/..")})
        CHECK_EQ(read_in_folder(path), "errno " + std::to_string(EISDIR));
    CHECK_EQ(read_in_folder(s / "folder/real" + "\0x"s), "errno " + std::to_string(ENOENT));
}

TEST(a_file_is_replaced_through_links_that_stay_in_its_folder) {
    scratch::Directory s;
    lay_out(s, "old");
    scratch::link("../folder/sub/deeper", s / "folder/around");
    CHECK_EQ(replace_error(s / "folder/same", "one"), 0);
    CHECK_EQ(scratch::read(s / "folder/real"), "one"s);
    CHECK(fs::is_symlink(s / "folder/same"));
    CHECK_EQ(replace_error(s / "folder/around", "two"), 0);
    CHECK_EQ(scratch::read(s / "folder/sub/deeper"), "two"s);
    // A dangling link in the folder makes the file it names; a new name a new file.
    scratch::link("made", s / "folder/dangling");
    CHECK_EQ(replace_error(s / "folder/dangling", "three"), 0);
    CHECK_EQ(scratch::read(s / "folder/made"), "three"s);
    CHECK_EQ(replace_error(s / "folder/new", "four"), 0);
    CHECK_EQ(scratch::read(s / "folder/new"), "four"s);
    struct stat info;
    CHECK(::stat((s / "folder/new").c_str(), &info) == 0 && (info.st_mode & 07777) == 0600);
    // Out of the folder nothing is written, existing or not.
    scratch::link("../missing", s / "folder/out_dangling");
    for (const char *name : {"out", "out_absolute", "out_dangling"})
        CHECK_EQ(replace_error(s / "folder/" + name, "changed"), EXDEV);
    CHECK_EQ(scratch::read(s / "outside"), "secret"s);
    CHECK(!fs::exists(s / "missing"));
    // The folder itself may be reached through a link.
    scratch::link("folder", s / "alias");
    CHECK_EQ(replace_error(s / "alias/same", "five"), 0);
    CHECK_EQ(scratch::read(s / "folder/real"), "five"s);
    CHECK_EQ(replace_error(s / "alias/out", "changed"), EXDEV);
    // A link to a folder, and a loop, are refused.
    scratch::link("sub", s / "folder/to_folder");
    scratch::link("loop", s / "folder/loop");
    CHECK_EQ(replace_error(s / "folder/to_folder", "x"), EISDIR);
    CHECK_EQ(replace_error(s / "folder/loop", "x"), ELOOP);
    CHECK_EQ(replace_error(s / "folder/", "x"), EISDIR);
    CHECK_EQ(scratch::read(s / "folder/real"), "five"s);
}
