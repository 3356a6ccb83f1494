// The scan of the project files and the drawing of the project tree.
#include "walk.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include <dirent.h>
#include <sys/stat.h>

namespace quorlin {

namespace {

constexpr std::string_view default_ignores[] = {
    ".git", ".svn", ".hg", "node_modules", "__pycache__", ".pytest_cache", ".tox", ".venv", "venv", "env",
};

// The length of the valid UTF-8 sequence at the start of `text` (a code point
// that is not a surrogate, in its shortest form), or 0.
std::size_t valid_sequence(std::string_view text, char32_t &code) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    std::size_t length;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(k) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// The code points of a name's text, as Python's "surrogateescape" decoding
// makes them.
std::u32string code_points_of(std::string_view name) {
    std::u32string points;
    points.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        char32_t code = 0;
        const std::size_t length = valid_sequence(name.substr(at), code);
        if (length == 0) {
            points.push_back(0xDC00 + static_cast<unsigned char>(name[at]));
            ++at;
        } else {
            points.push_back(code);
            at += length;
        }
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

std::string relative_of(const std::string &prefix, std::string_view name) {
    return prefix.empty() ? std::string(name) : prefix + "/" + std::string(name);
}

struct DirectoryCloser {
    void operator()(DIR *listing) const { ::closedir(listing); }
};

}  // namespace

std::string path_join(const std::string &directory, std::string_view name) {
    std::string path = directory;
    if (path.empty() || path.back() != '/')
        path.push_back('/');
    path.append(name);
    return path;
}

bool is_default_ignored(std::string_view name) {
    return std::find(std::begin(default_ignores), std::end(default_ignores), name) != std::end(default_ignores);
}

bool comes_before(std::string_view a, std::string_view b) { return code_points_of(a) < code_points_of(b); }

int list_directory(const std::string &path, std::vector<Entry> &out) {
    out.clear();
    std::unique_ptr<DIR, DirectoryCloser> listing(::opendir(path.c_str()));
    if (!listing)
        return errno;
    for (;;) {
        errno = 0;
        const dirent *found = ::readdir(listing.get());
        if (!found) {
            if (errno != 0) {
                const int error = errno;
                out.clear();
                return error;
            }
            return 0;
        }
        const char *name = found->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        Entry entry;
        entry.name = name;
        unsigned char type = found->d_type;
        struct stat info;
        if (type == DT_UNKNOWN) {
            if (::lstat(path_join(path, name).c_str(), &info) == 0)
                type = S_ISLNK(info.st_mode) ? DT_LNK : S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
        }
        if (type == DT_DIR) {
            entry.directory = true;
        } else if (type == DT_LNK) {
            entry.link = true;
            if (::stat(path_join(path, name).c_str(), &info) == 0)
                entry.directory = S_ISDIR(info.st_mode);
            else
                entry.test_error = errno;
        }
        out.push_back(std::move(entry));
    }
}

// ------------------------------------------------------------------ the scan

std::vector<std::string> project_files(const std::string &root, WalkHooks &hooks) {
    std::vector<std::string> files;
    std::vector<std::pair<std::string, std::string>> pending{{root, ""}};  // path and relative path
    std::vector<Entry> entries;
    while (!pending.empty()) {
        auto [directory, prefix] = std::move(pending.back());
        pending.pop_back();
        if (hooks.list(directory, entries) != 0)
            continue;  // a directory that cannot be listed is skipped
        for (const Entry &entry : entries) {
            std::string relative = relative_of(prefix, entry.name);
            if (entry.directory) {
                if (is_default_ignored(entry.name) || hooks.ignored(relative) || entry.link)
                    continue;  // pruned, or a link that is not followed
                pending.emplace_back(path_join(directory, entry.name), std::move(relative));
            } else if (!hooks.ignored(relative)) {
                files.push_back(std::move(relative));
            }
        }
    }
    sort_by_text(files, [](const std::string &path) { return std::make_pair(false, std::string_view(path)); });
    return files;
}

// ------------------------------------------------------------------ the tree

namespace {

constexpr std::string_view branch = "├── ", last_branch = "└── ", pipe = "│   ", blank = "    ";

struct Place {
    dev_t device;
    ino_t inode;
    bool operator==(const Place &other) const { return device == other.device && inode == other.inode; }
};

class TreeDrawer {
public:
    explicit TreeDrawer(WalkHooks &hooks) : hooks_(hooks) {}

    void draw(const std::string &directory, const std::string &relative, const std::string &prefix) {
        struct stat info;
        if (::stat(directory.c_str(), &info) == 0) {
            const Place place{info.st_dev, info.st_ino};
            if (std::find(above_.begin(), above_.end(), place) != above_.end())
                return;  // it leads back to a directory drawn above it
            above_.push_back(place);
        } else {
            above_.push_back(Place{0, 0});
        }
        add_items(directory, relative, prefix);
        above_.pop_back();
    }

    std::string lines;

private:
    static bool denied(int error) { return error == EACCES || error == EPERM; }

    void add_items(const std::string &directory, const std::string &relative, const std::string &prefix) {
        std::vector<Entry> entries;
        if (const int error = hooks_.list(directory, entries)) {
            if (denied(error))
                return;  // drawn as an empty directory
            throw WalkError(error, directory);
        }
        for (const Entry &entry : entries)
            if (denied(entry.test_error))
                return;  // an entry that may not be tested: drawn as an empty directory
        sort_by_text(entries,
                     [](const Entry &entry) { return std::make_pair(!entry.directory, std::string_view(entry.name)); });
        std::vector<std::pair<Entry, std::string>> kept;  // with its relative path
        for (Entry &entry : entries) {
            if (is_default_ignored(entry.name))
                continue;
            std::string path = relative_of(relative, entry.name);
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
                draw(path_join(directory, entry.name), kept[k].second, prefix + std::string(last ? blank : pipe));
            }
        }
    }

    WalkHooks &hooks_;
    std::vector<Place> above_;  // the directories being drawn, the root first
};

}  // namespace

std::string project_tree(const std::string &root, std::string_view root_name, WalkHooks &hooks) {
    TreeDrawer drawer(hooks);
    drawer.lines.assign(root_name).push_back('/');
    drawer.draw(root, "", "");
    return std::move(drawer.lines);
}

}  // namespace quorlin
