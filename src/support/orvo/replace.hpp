// Writing a file's new content so that a failure leaves the old one wherever
// the file can be replaced. Plain C++ (POSIX): failures throw `OsError`
// (files.hpp), which reaches Python as the `OSError` of its error number and
// file name.
#pragma once

#include "files.hpp"

#include <memory>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace orvo {

// The absolute name at which writing to `path` lands: links are followed as
// `open` follows them, also to a file that does not exist yet (its directory
// must exist). Throws `OsError` naming `path`.
std::string resolved_path(const std::string &path);

// What a FileReplacement does with a symbolic link at the path it is given:
// follow it as `open` does, or refuse it (`OsError` ELOOP, as O_NOFOLLOW
// refuses it) and never write through one, for a name that must be written
// itself.
enum class AtLink { follow, refuse };

// A new content for a file, put in place by `commit`. Without `commit` the
// target is left as it was. Failures throw `OsError` naming the path given
// (`shown`). A directory, and a target that may not be written, are refused
// as `open` would refuse them.
//
// The file is named in one of two ways. By a path: a link there is followed
// to the file it leads to, as `open` follows it (also to a file that does not
// exist yet), unless `at_link` refuses it; the directory of that file is then
// opened, and the file named in it as below. Or by a directory descriptor and
// the name of one entry in it: everything then happens relative to that
// directory, never by a path that could be swapped on the way, and a link at
// `name` is never followed (`OsError` ELOOP).
//
// A regular file with one name, and a new file, get their content through a
// new file in the same directory that takes the target's name by a rename
// once it is whole, so that an error on the way (a full disk, a failed write)
// leaves the old content. That file is never more open than the file it
// replaces: it is made for its owner alone (0600, the ACL entries of the
// directory's default ACL removed) before a byte is written, and unnamed
// (O_TMPFILE) where the file system makes such files, so that nobody can
// open it until it is linked, whole, under a temporary name and renamed.
// Where the file system makes none, it has a temporary name from the start,
// which SIGTERM and SIGINT remove where they end the process (see below).
// It then takes exactly the access rights of the file it replaces: its owner
// and group, its extended attributes (those the process may read and set),
// its ACL (none where the old file has none) and its permission bits. Where
// the owner cannot be given, the group is set alone; where the old owner,
// group, bits or ACL cannot be reproduced on the new file (they are not the
// process's to give), the file is written in place instead. A file that
// replaces none gets, once it is whole, the bits and ACL `open` would give it
// for `new_file_mode` (0666 unless asked otherwise): less the umask, or, in a
// directory with a default ACL, what that ACL leaves of the mode; one whose
// mode gives group and others nothing takes no entries of that ACL. (Nothing
// is forced to disk before the rename: that would cost a disk flush per
// file.)
//
// A named temporary file is in a table that a handler of SIGTERM and SIGINT
// reads, installed while the table holds any: where the disposition it
// replaced would end the process (the default), the handler removes the files
// (`unlinkat`), puts the default back and raises the signal again; where it
// was a function (Python's own handler, which raises later in the
// interpreter, so that the C++ code unwinds and removes the file), it calls
// that function and removes nothing, unless the function put the default
// back (the handler of another module, which ends the process once this one
// returns); an ignored signal stays ignored. Once the
// table is empty, each disposition it replaced is put back, unless another
// was set meanwhile.
//
// What a rename would wrongly replace is written in place, as
// `open(path, "w")` would write it: a device or a pipe (opened without
// waiting, so that a pipe without a reader fails at once), a file with more
// than one name (every name sees the new content), a file whose directory
// takes no new name, a file whose rights a new file cannot have, and, where
// /proc is missing (the old file's ACL and attributes are then read through
// the file opened by its name), a file that cannot be opened for reading. It
// is opened by its name in the directory, never through a link. The content is
// then held in memory until `commit`, which first reserves room on the disk
// for it in a regular file (`posix_fallocate`), so that a full disk, a quota
// or the file-size limit refuses it before a byte of the old content changes;
// then it writes it over the old one and cuts the file to its length. A
// failure of the write itself (an I/O error) may still leave the file half
// written.
class FileReplacement {
public:
    explicit FileReplacement(const std::string &path, mode_t new_file_mode = 0666, AtLink at_link = AtLink::follow);
    // The entry `name` (one path component) of the directory open at
    // `directory` (any descriptor of a directory, O_PATH included; it is
    // copied, so the caller may close its own). A link at `name` is never
    // followed: it is refused with ELOOP. `shown` is the path that errors
    // name. When `expected` is given, the file at `name` must be that file
    // (same st_dev and st_ino), else OsError(ESTALE, shown) and nothing is
    // written.
    FileReplacement(int directory, std::string name, std::string shown, mode_t new_file_mode = 0666,
                    const struct stat *expected = nullptr);
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    void write(std::string_view data);
    void restart();  // drop everything written so far
    void commit();

private:
    struct Temporary;  // the new file while it is written (replace.cpp)
    void open_at(mode_t new_file_mode, const struct stat *expected);
    bool take_over();
    void open_in_place();
    void discard();
    [[noreturn]] void fail(int error);
    int fd() const;
    Descriptor directory_, old_, in_place_;  // old_: the file replaced, held (O_PATH)
    std::unique_ptr<Temporary> temporary_;
    std::string name_, shown_, pending_;
    struct stat old_info_ {};
    bool check_at_commit_ = false;
};

// Replace the content of the file at `path` by `data` (see FileReplacement).
void replace_file(const std::string &path, std::string_view data, mode_t new_file_mode = 0666,
                  AtLink at_link = AtLink::follow);
// The same for the entry `name` of the directory open at `directory`.
void replace_file_at(int directory, const std::string &name, const std::string &shown, std::string_view data,
                     mode_t new_file_mode = 0666, const struct stat *expected = nullptr);

// Where writing to an entry of a directory lands, the links at it followed:
// the directory that holds the file (O_PATH), its name there, and what is
// there now (nothing for a free name, where a new file goes).
struct EntryPlace {
    Descriptor directory;
    std::string name;
    struct stat found {};
    bool exists = false;
};

// The directory `name` (links followed) from the one open at `from`, where it
// is `root` itself or lies below it; else `OsError` EXDEV naming `shown`.
Descriptor open_directory_within(const OpenDirectory &root, int from, const std::string &name,
                                 const std::string &shown);

// Follow the links at `place.name` in `place.directory` (which is `root` or
// lies below it) as `open` follows them, each read from the directory that
// holds it, its directory part opened from there (`open_beneath`), but only
// through directories that are `root` itself or lie below it; `place` ends
// at an entry that is no link. Throws `OsError` naming `shown`: EXDEV for a
// link that leads elsewhere, EISDIR for one to a directory, ELOOP after 40
// links, or the error of looking at an entry.
void follow_links_within(const OpenDirectory &root, EntryPlace &place, const std::string &shown);

// Replace the content of the file at `path` by `data` as an entry of its own
// directory held open (`open_parent_directory`, which may itself be reached
// through a link): a link at its name is followed only where it leads to a
// file in that directory or below it (`follow_links_within`), never
// elsewhere (`OsError` EXDEV, nothing written), and the file written is the
// one found there (else ESTALE, nothing written). Errors name `path`.
void replace_file_in_directory(const std::string &path, std::string_view data, mode_t new_file_mode = 0666);

// Create the new file `path` with the content `data`, exclusively: false,
// and nothing written, when something (a link included) is at `path`
// already, or comes there before the file is whole. The file is written as a
// replacement's is (for its owner alone, unnamed where it can be) and takes
// the name only when whole, with the bits and ACL `open` gives for `mode`.
// Other failures throw `OsError` naming `path`, and leave no file behind.
bool create_new_file(const std::string &path, std::string_view data, mode_t mode = 0666);
// Exclusive creation of `name` in the directory open at `directory`
// (O_EXCL | O_NOFOLLOW semantics): false, nothing written, when anything (a
// link included) is there already. Errors name `shown`.
bool create_new_file_at(int directory, const std::string &name, const std::string &shown, std::string_view data,
                        mode_t mode = 0666);

}  // namespace orvo
