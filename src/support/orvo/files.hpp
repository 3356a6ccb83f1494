// File-system helpers shared by the modules: path arguments, whole-file
// reading, and replacing a file so that a failure never leaves it half written.
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

// A new content for the file at `path`, written to a temporary file in the
// same directory and renamed over the target by `commit`, so that an error on
// the way (a full disk, a failed write) leaves the target with its old
// content. A link is followed to the file it names; an existing target keeps
// its permission bits (and its owner where the rights allow), a new one gets
// those `open` would give it; a target
// that may not be written is refused as `open` would refuse it. Failures raise
// the host's `OSError` naming `path`. Without `commit` the temporary file is
// removed. (It is not forced to disk before the rename: that would cost a disk
// flush per file.)
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
    [[noreturn]] void fail(int error);
    std::string path_, target_, temporary_;
    int fd_ = -1;
};

// Replace the content of the file at `path` by `data` (see FileReplacement).
void replace_file(const std::string &path, std::string_view data);

}  // namespace orvo
