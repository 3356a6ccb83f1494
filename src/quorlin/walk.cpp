// The scan of the project files and the drawing of the project tree.
#include "walk.hpp"

#include <orvo/files.hpp>
#include <orvo/text.hpp>

#include <algorithm>
#include <cerrno>
#include <set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlin {

namespace {

// The deepest level that a walk enters: as deep as a path of the system can
// name with one-letter names. Each level holds a directory open and a frame of
// the walk, and the tree's text grows with the square of the depth, so a
// deeper directory (which no path could name) is left out of the scan and
// drawn without its entries.
constexpr std::size_t max_depth = 2048;

}  // namespace

namespace {

constexpr std::string_view default_ignores[] = {
    ".git", ".svn", ".hg", "node_modules", "__pycache__", ".pytest_cache", ".tox", ".venv", "venv", "env",
};

// The code points of a name's text, as Python's "surrogateescape" decoding
// makes them: each byte that is not part of a valid sequence stands for
// U+DC80 to U+DCFF.
std::u32string code_points_of(std::string_view name) {
    std::u32string points;
    points.reserve(name.size());
    for (std::size_t at = 0, bad = 0; at < name.size();) {
        if (orvo::valid_sequence_length(name, at, bad) == 0)
            points.push_back(0xDC00 + static_cast<unsigned char>(name[at++]));
        else
            points.push_back(orvo::next_code_point(name, at));
    }
    return points;
}

// Sort `items` by the key `order(item)` (a pair of a flag and a name),
// working out each name's code points once.
template <typename Item, typename Key>
void sort_by_text(std::vector<Item> &items, Key &&key) {
    std::vector<std::pair<std::pair<bool, std::u32string>, std::size_t>> keyed;
    keyed.reserve(items.size());
    for (std::size_t k = 0; k < items.size(); ++k) {
        auto [flag, name] = key(items[k]);
        keyed.emplace_back(std::make_pair(flag, code_points_of(name)), k);
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<Item> sorted;
    sorted.reserve(items.size());
    for (auto &pair : keyed)
        sorted.push_back(std::move(items[pair.second]));
    items = std::move(sorted);
}

}  // namespace

bool is_default_ignored(std::string_view name) {
    return std::find(std::begin(default_ignores), std::end(default_ignores), name) != std::end(default_ignores);
}

bool comes_before(std::string_view a, std::string_view b) { return code_points_of(a) < code_points_of(b); }

namespace {

// Open the directory `name` of the directory open at `directory` for
// listing, without following a link.
orvo::Descriptor open_subdirectory(int directory, const std::string &name) {
    return orvo::Descriptor(
        ::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
}

// What the link `entry` of the directory open at `directory` leads to, looked
// at without being opened.
void look_through(int directory, const std::string &real_root, Entry &entry) {
    struct stat info;
    const orvo::Descriptor target(orvo::open_beneath(directory, entry.name, real_root, O_PATH));
    if (target) {
        if (::fstat(target.get(), &info) != 0)
            return;
    } else if (errno == EXDEV) {
        entry.beneath = false;
        if (::fstatat(directory, entry.name.c_str(), &info, 0) != 0)
            return;
    } else {
        entry.beneath = false;  // it leads nowhere that can be looked at
        return;
    }
    entry.directory = S_ISDIR(info.st_mode);
    entry.regular = S_ISREG(info.st_mode);
}

}  // namespace

int list_entries(int directory, const std::string &real_root, std::vector<Entry> &out) {
    out.clear();
    std::vector<orvo::DirectoryEntry> listed;
    if (const int error = orvo::list_directory(directory, listed))
        return error;
    out.reserve(listed.size());
    for (orvo::DirectoryEntry &listed_entry : listed) {
        Entry entry;
        entry.name = std::move(listed_entry.name);
        switch (listed_entry.type) {
        case orvo::EntryType::directory:
            entry.directory = true;
            break;
        case orvo::EntryType::regular:
            entry.regular = true;
            break;
        case orvo::EntryType::link:
            entry.link = true;
            look_through(directory, real_root, entry);
            break;
        case orvo::EntryType::other:
            break;
        }
        out.push_back(std::move(entry));
    }
    return 0;
}

// ------------------------------------------------------------------ the scan

namespace {

class Scanner {
public:
    Scanner(WalkHooks &hooks, std::string real_root) : hooks_(hooks), real_root_(std::move(real_root)) {}

    void scan(int directory, const std::string &prefix, std::size_t depth) {
        std::vector<Entry> entries;
        if (hooks_.list(directory, real_root_, entries) != 0)
            return;  // a directory that cannot be listed is skipped
        for (const Entry &entry : entries) {
            std::string relative = orvo::join_path(prefix, entry.name);
            if (entry.directory) {
                if (is_default_ignored(entry.name) || hooks_.ignored(relative) || entry.link || depth == max_depth)
                    continue;  // pruned, a link that is not followed, or too deep
                if (const orvo::Descriptor child = open_subdirectory(directory, entry.name))
                    scan(child.get(), relative, depth + 1);
            } else if (!hooks_.ignored(relative)) {
                files.push_back(ProjectFile{std::move(relative), entry.regular && entry.beneath});
            }
        }
    }

    std::vector<ProjectFile> files;

private:
    WalkHooks &hooks_;
    const std::string real_root_;
};

}  // namespace

std::vector<ProjectFile> project_files(const std::string &root, WalkHooks &hooks) {
    std::optional<orvo::OpenDirectory> opened = orvo::open_directory(root, O_RDONLY);
    if (!opened)
        return {};  // a root that cannot be listed has no files
    Scanner scanner(hooks, std::move(opened->real));
    scanner.scan(opened->fd.get(), "", 0);
    sort_by_text(scanner.files,
                 [](const ProjectFile &file) { return std::make_pair(false, std::string_view(file.path)); });
    return std::move(scanner.files);
}

// ------------------------------------------------------------------ the tree

namespace {

constexpr std::string_view branch = "├── ", last_branch = "└── ", pipe = "│   ", blank = "    ";

class TreeDrawer {
public:
    TreeDrawer(WalkHooks &hooks, std::string real_root) : hooks_(hooks), real_root_(std::move(real_root)) {}

    // Draw the entries of the root open at `fd`.
    void draw_root(int fd, const std::string &root) {
        first_time(fd);
        if (const int error = add_items(fd, "", "", 0); error != 0 && !denied(error))
            throw orvo::OsError(error, root);
    }

    std::string lines;

private:
    static bool denied(int error) { return error == EACCES || error == EPERM; }

    // Whether the directory open at `fd` has its entries drawn for the first
    // time now.
    bool first_time(int fd) {
        struct stat info;
        return ::fstat(fd, &info) == 0 && drawn_.emplace(info.st_dev, info.st_ino).second;
    }

    // Draw the entries of the directory `entry` of the directory open at
    // `directory`, when it has them to show: a link is followed only to a
    // directory below the root, and each directory is drawn once.
    void descend(int directory, const Entry &entry, const std::string &relative, const std::string &prefix,
                 std::size_t depth) {
        if ((entry.link && !entry.beneath) || depth == max_depth)
            return;  // outside the root, or too deep: its line alone
        const orvo::Descriptor child =
            entry.link ? orvo::Descriptor(orvo::open_beneath(directory, entry.name, real_root_, O_RDONLY | O_DIRECTORY))
                       : open_subdirectory(directory, entry.name);
        if (child && first_time(child.get()))
            add_items(child.get(), relative, prefix, depth + 1);  // a failure draws it empty
    }

    // Draw the entries of the directory open at `directory`. Returns 0, or
    // the error of listing it (then nothing is drawn).
    int add_items(int directory, const std::string &relative, const std::string &prefix, std::size_t depth) {
        std::vector<Entry> entries;
        if (const int error = hooks_.list(directory, real_root_, entries))
            return error;
        sort_by_text(entries,
                     [](const Entry &entry) { return std::make_pair(!entry.directory, std::string_view(entry.name)); });
        std::vector<std::pair<Entry, std::string>> kept;  // with its relative path
        for (Entry &entry : entries) {
            if (is_default_ignored(entry.name))
                continue;
            std::string path = orvo::join_path(relative, entry.name);
            if (hooks_.ignored(path))
                continue;
            kept.emplace_back(std::move(entry), std::move(path));
        }
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const Entry &entry = kept[k].first;
            const bool last = k + 1 == kept.size();
            lines.push_back('\n');
            lines.append(prefix).append(last ? last_branch : branch).append(entry.name);
            if (entry.directory) {
                lines.push_back('/');
                descend(directory, entry, kept[k].second, prefix + std::string(last ? blank : pipe), depth);
            }
        }
        return 0;
    }

    WalkHooks &hooks_;
    const std::string real_root_;
    std::set<std::pair<dev_t, ino_t>> drawn_;  // the directories whose entries are drawn
};

}  // namespace

std::string project_tree(const std::string &root, std::string_view root_name, WalkHooks &hooks) {
    std::string lines(root_name);
    lines.push_back('/');
    std::optional<orvo::OpenDirectory> opened = orvo::open_directory(root, O_RDONLY);
    if (!opened) {
        if (errno == EACCES || errno == EPERM)
            return lines;  // the root line alone
        throw orvo::OsError(errno, root);
    }
    TreeDrawer drawer(hooks, std::move(opened->real));
    drawer.lines = std::move(lines);
    drawer.draw_root(opened->fd.get(), root);
    return std::move(drawer.lines);
}

}  // namespace quorlin
