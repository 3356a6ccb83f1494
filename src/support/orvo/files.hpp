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

// A file-system name as a host text (as `os.fsdecode` gives it).
nb::str path_str(std::string_view bytes);

// Read the whole regular file at `path` into `out`. Returns false, with `errno`
// set, when it cannot be opened or read or is not a regular file (a FIFO is
// never waited on). Needs no host lock.
bool read_regular_file(const std::string &path, std::string &out);

// Replace the content of the file at `path` by `data`: the bytes go to a new
// file in the same directory, which is flushed to disk and then renamed over
// the target, so the target holds either its old or its new content. A link is
// followed to the file it names; an existing target keeps its permission bits,
// a new one gets those `open` would give it. A target that may not be written
// is refused as `open` would refuse it. Failures raise the host's `OSError`
// naming `path`; the temporary file is removed.
void replace_file(const std::string &path, std::string_view data);

}  // namespace orvo
