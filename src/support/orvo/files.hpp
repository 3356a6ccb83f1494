// File-system helpers shared by the modules: path arguments, whole-file
// reading, and writing a file's new content so that a failure leaves the old
// one wherever the file can be replaced.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orvo {

namespace nb = nanobind;

// A path argument: a text or an `os.PathLike` whose path is a text, returned as
// the file system's bytes (as `os.fsencode` gives them). Anything else raises
// `TypeError` naming the argument.
std::string arg_path(nb::handle value, const char *name);

// The working directory (as `os.getcwd` gives it, in the file system's bytes);
// raises the host's `OSError` when it cannot be read.
std::string working_directory();

// A file-system name as a host text (as `os.fsdecode` gives it).
nb::str path_str(std::string_view bytes);

// Read the whole regular file at `path` into `out`. Returns false, with `errno`
// set, when it cannot be opened or read or is not a regular file (a FIFO is
// never waited on). Needs no host lock.
bool read_regular_file(const std::string &path, std::string &out);

// The absolute name at which writing to `path` lands: links are followed as
// `open` follows them, also to a file that does not exist yet (its directory
// must exist). Raises the host's `OSError` naming `path`.
std::string resolved_path(const std::string &path);

// Whether the resolved `path` lies strictly below the resolved directory
// `base`, compared by whole components ("/a/bc" is not below "/a/b").
bool lies_below(std::string_view path, std::string_view base);

// A new content for the file at `path`, put in place by `commit`. A link is
// followed to the file it leads to, as `open` follows it (also to a file that
// does not exist yet). A directory, and a target that may not be written, are
// refused as `open` would refuse them. Failures raise the host's `OSError`
// naming `path`. Without `commit` the target is left as it was.
//
// A regular file with one name, and a new file, get their content through a
// temporary file in the same directory that is renamed over the target, so
// that an error on the way (a full disk, a failed write) leaves the old
// content. The temporary file takes the permission bits of the file it
// replaces, its owner (where the rights allow) and its extended attributes
// (those the process may read and set; ACLs live there); a new file gets the
// bits `open` would give it. (Nothing is forced to disk before the rename:
// that would cost a disk flush per file.)
//
// What a rename would wrongly replace is written in place, as
// `open(path, "w")` would write it: a device or a pipe (opened without
// waiting, so that a pipe without a reader fails at once), a file with more
// than one name (every name sees the new content), and a file whose directory
// takes no new name. The content is then held in memory until `commit` writes
// it over the old one and cuts the file to its length; a failure there may
// leave the file half written.
class FileReplacement {
public:
    explicit FileReplacement(const std::string &path);
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    void write(std::string_view data);
    void restart();  // drop everything written so far
    void commit();

private:
    bool open_temporary();
    void open_in_place();
    void discard();
    [[noreturn]] void fail(int error);
    std::string path_, target_, temporary_, pending_;
    int fd_ = -1;
    bool in_place_ = false;
};

// Replace the content of the file at `path` by `data` (see FileReplacement).
void replace_file(const std::string &path, std::string_view data);

}  // namespace orvo
