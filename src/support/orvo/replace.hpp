// Writing a file's new content so that a failure leaves the old one wherever
// the file can be replaced. Failures raise Python's `OSError`.
#pragma once

#include "python.hpp"

#include <string>
#include <string_view>

#include <sys/stat.h>
#include <sys/types.h>

namespace orvo {

// The absolute name at which writing to `path` lands: links are followed as
// `open` follows them, also to a file that does not exist yet (its directory
// must exist). Raises `OSError` naming `path`.
std::string resolved_path(const std::string &path);

// What a FileReplacement does with a symbolic link at the path it is given:
// follow it as `open` does, or refuse it (`OSError` ELOOP, as O_NOFOLLOW
// refuses it) and never write through one, for a name that must be written
// itself.
enum class AtLink { follow, refuse };

// A new content for the file at `path`, put in place by `commit`. A link is
// followed to the file it leads to, as `open` follows it (also to a file that
// does not exist yet). A directory, and a target that may not be written, are
// refused as `open` would refuse them. Failures raise `OSError`
// naming `path`. Without `commit` the target is left as it was.
//
// A regular file with one name, and a new file, get their content through a
// temporary file in the same directory that is renamed over the target, so
// that an error on the way (a full disk, a failed write) leaves the old
// content. The temporary file takes exactly the access rights of the file it
// replaces: its owner and group, its permission bits and its ACL (none where
// the old file has none, so entries that the directory's default ACL hands to
// new files are dropped), and its other extended attributes (those the process
// may read and set). Where the owner cannot be given, the group is set alone;
// where the old owner, group, bits or ACL cannot be reproduced on the new
// file (they are not the process's to give), the file is written in place
// instead. A new file gets the bits `open` would give it for `new_file_mode`
// (0666 unless asked otherwise), less the umask, from its first byte on; one
// whose mode gives group and others nothing also takes no entries of the
// directory's default ACL. (Nothing is forced to disk before the rename: that
// would cost a disk flush per file.)
//
// What a rename would wrongly replace is written in place, as
// `open(path, "w")` would write it: a device or a pipe (opened without
// waiting, so that a pipe without a reader fails at once), a file with more
// than one name (every name sees the new content), a file whose directory
// takes no new name, and a file whose rights a new file cannot have. The
// content is then held in memory until `commit`, which first reserves room on
// the disk for it in a regular file (`posix_fallocate`), so that a full disk,
// a quota or the file-size limit refuses it before a byte of the old content
// changes; then it writes it over the old one and cuts the file to its
// length. A failure of the write itself (an I/O error) may still leave the
// file half written.
class FileReplacement {
public:
    explicit FileReplacement(const std::string &path, mode_t new_file_mode = 0666, AtLink at_link = AtLink::follow);
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    void write(std::string_view data);
    void restart();  // drop everything written so far
    void commit();

private:
    bool open_temporary(mode_t mode);
    bool take_over(const struct stat &old);
    void open_in_place();
    void discard();
    [[noreturn]] void fail(int error);
    std::string path_, target_, temporary_, pending_;
    int fd_ = -1;
    bool in_place_ = false;
    AtLink at_link_;
};

// Replace the content of the file at `path` by `data` (see FileReplacement).
void replace_file(const std::string &path, std::string_view data, mode_t new_file_mode = 0666,
                  AtLink at_link = AtLink::follow);

// Create the new file `path` with the content `data`, exclusively: false,
// and nothing written, when something (a link included) is at `path`
// already. The bits are those `open` gives for `mode`, less the umask. Other
// failures raise `OSError` naming `path`, and leave no file behind.
bool create_new_file(const std::string &path, std::string_view data, mode_t mode = 0666);

}  // namespace orvo
