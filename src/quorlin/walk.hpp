// The walks over the project below its root, in plain C++ (POSIX): the file
// list's scan, which never enters a directory it leaves out, and the drawing
// of the project tree. Both start from the root held open by their caller and
// go from directory to directory with `orvo::DirectoryWalk`, by descriptors,
// keeping each level's entries on a stack of their own. The ignore rules of
// the project's .gitignore come in through `WalkHooks`, which also lists the
// directories.
//
// Names are file-system bytes. They are ordered by the code points of the
// text Python makes of them (UTF-8, each byte that is not part of a valid
// sequence standing for the code point U+DC80 to U+DCFF, as "surrogateescape"
// decodes it), so that the order is that of Python's str comparison.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace quorlin {

// The ten names that the scan never descends into and that the tree never
// draws: ".git", ".svn", ".hg", "node_modules", "__pycache__",
// ".pytest_cache", ".tox", ".venv", "venv", "env" (exact, case counts).
bool is_default_ignored(std::string_view name);

// One entry of a directory.
struct Entry {
    std::string name;
    bool directory = false;  // a directory, symbolic links followed
    bool regular = false;    // a regular file, symbolic links followed
    bool link = false;       // the entry itself is a symbolic link
    bool beneath = true;     // what it leads to lies below the root (for a link: its real path)
};

// The entries of the directory open at `directory` as `orvo::list_directory`
// lists them, each link looked through without opening what it leads to: its
// type, and whether its real path lies below `real_root`; a link that cannot
// be followed (missing target, a loop, a refused permission) is neither a
// directory nor a regular file. Returns 0, or the error number of a failure to
// read the directory (then `out` holds nothing). The descriptor stays open.
int list_entries(int directory, const std::string &real_root, std::vector<Entry> &out);

// Whether name `a` comes before name `b` by the code points of their text.
bool comes_before(std::string_view a, std::string_view b);

// What a walk asks of its caller.
class WalkHooks {
public:
    virtual ~WalkHooks() = default;
    // Whether the project's ignore rules leave out the path relative to the
    // root (names joined by "/", no trailing "/", also for a directory).
    virtual bool ignored(std::string_view relative) = 0;
    // List a directory as `list_entries` does.
    virtual int list(int directory, const std::string &real_root, std::vector<Entry> &out) {
        return list_entries(directory, real_root, out);
    }
};

// One file of the project.
struct ProjectFile {
    std::string path;       // relative to the root
    bool readable = false;  // a regular file (links followed) whose real path lies below the root
};

// The project's files, sorted by `comes_before` on their paths: the walk
// from the root open at `root` (real path `real_root`) goes through each
// directory by its descriptor with `orvo::DirectoryWalk`, so that no path
// grows too long, no directory is swapped for a link on the way, and neither
// the descriptors held open nor the stack grow with the depth; in each
// directory it drops the subdirectories named in `is_default_ignored` and
// those that `ignored`, and enters the others unless they are symbolic links;
// every entry that is not a directory (a link to a file, a link whose target
// is missing, a pipe ...) is a file, kept unless `ignored`. A directory that
// cannot be listed (or opened again on the way back up as the directory it
// was) is skipped, and so is one more than 2,048 levels deep.
std::vector<ProjectFile> project_files(int root, const std::string &real_root, WalkHooks &hooks);

// The drawing of the project tree: the line `root_name` + "/", then one line
// per entry below the root open at `root` (real path `real_root`),
// depth-first, each directory's entries sorted with the directories first
// (links followed), dropping the names of `is_default_ignored` and what
// `ignored`, drawn with "├── ", "└── ", "│   " and "    ". Lines are joined by
// "\n", with none after the last. Each entry stands on its own: a link that
// cannot be followed is drawn as a file; a directory that cannot be opened or
// listed (or opened again as the directory it was) is drawn empty; a
// directory 2,048 levels deep is drawn without entries.
//
// A real directory shows its entries at its own place. A link to a directory
// gets its line alone where that directory lies outside the root, or is
// drawn at its own place: where every step of its real path below the root
// (the root itself has none) passes `is_default_ignored` and `ignored`,
// whichever of the two sorts first. A link to a directory below the root that
// is not drawn at its own place shows that directory's entries, each filtered
// by its path through the link as every entry is filtered. Each directory's
// entries appear once in a drawing: a link to a directory whose entries are
// drawn already gets its line alone. A failure to list the root itself, other
// than a denied permission (then the root line stands alone), throws
// `orvo::OsError` naming `root_path`.
std::string project_tree(int root, const std::string &real_root, const std::string &root_path,
                         std::string_view root_name, WalkHooks &hooks);

}  // namespace quorlin
