// The scan of the project files and the drawing of the project tree.
#include "walk.hpp"

#include <orvo/files.hpp>
#include <orvo/text.hpp>
#include <orvo/walk.hpp>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlin {

namespace {

// The deepest level that a walk enters: as deep as a path of the system can
// name with one-letter names. The tree's text grows with the square of the
// depth, so a deeper directory (which no path could name) is left out of the
// scan and drawn without its entries.
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

// One directory of a walk: its entries, the next one to look at, and where
// the directory's own part of the walk's path (and, in the tree, of the
// indentation of its entries' lines) ends.
struct Level {
    std::vector<Entry> entries;
    std::size_t next = 0;
    std::size_t path_length = 0;
    std::size_t prefix_length = 0;
};

// `path` + "/" + `name`, or `name` alone for the empty path (the root's).
std::string path_of(const std::string &path, std::string_view name) {
    std::string joined;
    joined.reserve(path.size() + 1 + name.size());
    joined.append(path);
    if (!path.empty())
        joined.push_back('/');
    joined.append(name);
    return joined;
}

}  // namespace

std::vector<ProjectFile> project_files(int root, const std::string &real_root, WalkHooks &hooks) {
    std::vector<ProjectFile> files;
    orvo::DirectoryWalk walk(root, real_root);
    std::vector<Level> levels(1);
    if (hooks.list(root, real_root, levels.back().entries) != 0)
        return files;  // a root that cannot be listed has no files
    std::string path;  // of the directory walked, relative to the root
    while (!levels.empty()) {
        Level &level = levels.back();
        if (level.next == level.entries.size()) {
            levels.pop_back();
            walk.leave();
            if (!levels.empty())
                path.resize(levels.back().path_length);
            continue;
        }
        const Entry &entry = level.entries[level.next++];
        std::string relative = path_of(path, entry.name);
        if (!entry.directory) {
            if (!hooks.ignored(relative))
                files.push_back(ProjectFile{std::move(relative), entry.regular && entry.beneath});
            continue;
        }
        if (is_default_ignored(entry.name) || hooks.ignored(relative) || entry.link || walk.depth() == max_depth)
            continue;  // pruned, a link that is not followed, or too deep
        if (walk.enter(entry.name) != 0)
            continue;
        Level inner;
        const int directory = walk.directory();
        if (directory < 0 || hooks.list(directory, real_root, inner.entries) != 0) {
            walk.leave();  // a directory that cannot be listed is skipped
            continue;
        }
        path = std::move(relative);
        inner.path_length = path.size();
        levels.push_back(std::move(inner));  // `level` and `entry` are not used after this
    }
    sort_by_text(files, [](const ProjectFile &file) { return std::make_pair(false, std::string_view(file.path)); });
    return files;
}

// ------------------------------------------------------------------ the tree

namespace {

constexpr std::string_view branch = "├── ", last_branch = "└── ", pipe = "│   ", blank = "    ";

class TreeDrawer {
public:
    TreeDrawer(int root, const std::string &real_root, WalkHooks &hooks)
        : hooks_(hooks), real_root_(real_root), walk_(root, real_root) {}

    // Append the lines of the entries below the root to `lines`. Returns 0,
    // or the error of listing the root (then nothing is drawn).
    int draw(std::string &lines) {
        drawn_.emplace(walk_.device(), walk_.inode());
        std::vector<Level> levels(1);
        if (const int error = kept_entries(walk_.directory(), "", levels.back().entries))
            return error;
        std::string path, prefix;  // of the directory walked, and of its entries' lines
        while (!levels.empty()) {
            Level &level = levels.back();
            if (level.next == level.entries.size()) {
                levels.pop_back();
                walk_.leave();
                if (!levels.empty()) {
                    path.resize(levels.back().path_length);
                    prefix.resize(levels.back().prefix_length);
                }
                continue;
            }
            const Entry &entry = level.entries[level.next++];
            const bool last = level.next == level.entries.size();
            lines.push_back('\n');
            lines.append(prefix).append(last ? last_branch : branch).append(entry.name);
            if (!entry.directory)
                continue;
            lines.push_back('/');
            std::string relative = path_of(path, entry.name);
            Level inner;
            if (!open_entries(entry, relative, inner))
                continue;  // its line alone
            path = std::move(relative);
            prefix.append(last ? blank : pipe);
            inner.path_length = path.size();
            inner.prefix_length = prefix.size();
            levels.push_back(std::move(inner));  // `level` and `entry` are not used after this
        }
        return 0;
    }

private:
    // The entries of the directory open at `directory` (-1, with `errno`
    // set, for one that is lost) whose path is `path`, sorted, without those
    // left out. Returns 0, or the error of listing it.
    int kept_entries(int directory, const std::string &path, std::vector<Entry> &out) {
        if (directory < 0)
            return errno;
        if (const int error = hooks_.list(directory, real_root_, out))
            return error;
        sort_by_text(out,
                     [](const Entry &entry) { return std::make_pair(!entry.directory, std::string_view(entry.name)); });
        std::erase_if(out, [&](const Entry &entry) {
            return is_default_ignored(entry.name) || hooks_.ignored(path_of(path, entry.name));
        });
        return 0;
    }

    // Whether the entries of the directory `entry`, whose path is `path`,
    // are drawn below its line: then the walk stands in it and `inner` holds
    // them; else the walk stays where it was.
    bool open_entries(const Entry &entry, const std::string &path, Level &inner) {
        if ((entry.link && !entry.beneath) || walk_.depth() == max_depth)
            return false;  // outside the root, or too deep
        using Through = orvo::DirectoryWalk::Through;
        if (walk_.enter(entry.name, entry.link ? Through::link : Through::name) != 0)
            return false;  // it cannot be opened: drawn empty
        // A link to a directory drawn at its own place, and a directory drawn
        // already, have their line alone; one that cannot be listed is drawn
        // empty.
        const bool shown = !(entry.link && drawn_at_own_place()) &&
                           drawn_.emplace(walk_.device(), walk_.inode()).second &&
                           kept_entries(walk_.directory(), path, inner.entries) == 0;
        if (!shown)
            walk_.leave();
        return shown;
    }

    // Whether the directory the walk stands in is drawn at its own place:
    // every step of its real path below the root passes the default names
    // and the ignore rules. Where its real path cannot be told, it is taken
    // to be.
    bool drawn_at_own_place() {
        const int directory = walk_.directory();
        const std::optional<std::string> real = directory < 0 ? std::nullopt : orvo::real_path_of(directory);
        if (!real || !orvo::lies_below(*real, real_root_))
            return true;  // unknown, or the root itself
        const std::string_view below = std::string_view(*real).substr(real_root_ == "/" ? 1 : real_root_.size() + 1);
        std::string steps;
        for (std::size_t at = 0; at <= below.size();) {
            std::size_t end = below.find('/', at);
            if (end == std::string_view::npos)
                end = below.size();
            const std::string_view name = below.substr(at, end - at);
            steps = path_of(steps, name);
            if (is_default_ignored(name) || hooks_.ignored(steps))
                return false;
            at = end + 1;
        }
        return true;
    }

    WalkHooks &hooks_;
    const std::string &real_root_;
    orvo::DirectoryWalk walk_;
    std::set<std::pair<dev_t, ino_t>> drawn_;  // the directories whose entries are drawn
};

}  // namespace

std::string project_tree(int root, const std::string &real_root, const std::string &root_path,
                         std::string_view root_name, WalkHooks &hooks) {
    std::string lines(root_name);
    lines.push_back('/');
    TreeDrawer drawer(root, real_root, hooks);
    if (const int error = drawer.draw(lines)) {
        if (error != EACCES && error != EPERM)
            throw orvo::OsError(error, root_path);
        // a denied permission: the root line alone
    }
    return lines;
}

}  // namespace quorlin
