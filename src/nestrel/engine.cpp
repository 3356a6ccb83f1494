#include "engine.hpp"

#include <orvo/files.hpp>
#include <orvo/languages.hpp>
#include <orvo/text.hpp>
#include <orvo/walk.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>

namespace nestrel {

namespace {

struct Tables {
    std::unordered_map<std::string_view, const char *> suffixes;
    std::unordered_map<std::string_view, Language> languages;

    Tables() {
        for (const orvo::SuffixRow &row : orvo::SUFFIX_ROWS)
            suffixes.emplace(row.suffix, row.language);
        for (const orvo::LanguageRow &row : orvo::LANGUAGE_ROWS) {
            Language language{row.language, {}, {}};
            for (const char *text : row.single)
                if (text)
                    language.single.push_back(Pattern::compile(text));
            for (const char *text : row.multi)
                if (text)
                    language.multi.push_back(Pattern::compile(text));
            languages.emplace(row.language, std::move(language));
        }
    }
};

const Tables &tables() {
    static const Tables instance;
    return instance;
}

}  // namespace

const char *language_of_suffix(std::string_view suffix) {
    auto found = tables().suffixes.find(suffix);
    return found == tables().suffixes.end() ? nullptr : found->second;
}

const Language *patterns_of(std::string_view language) {
    auto found = tables().languages.find(language);
    return found == tables().languages.end() ? nullptr : &found->second;
}

std::string normalize_path(std::string_view path) {
    std::string out;
    if (path.size() >= 2 && path[0] == '/' && path[1] == '/' && (path.size() == 2 || path[2] != '/'))
        out = "//";
    else if (!path.empty() && path[0] == '/')
        out = "/";
    std::size_t root = out.size();
    std::size_t at = 0;
    while (at < path.size()) {
        std::size_t slash = path.find('/', at);
        if (slash == std::string_view::npos)
            slash = path.size();
        std::string_view part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") {
            if (out.size() > root)
                out.push_back('/');
            out.append(part);
        }
        at = slash + 1;
    }
    return out.empty() ? std::string(".") : out;
}

std::string_view suffix_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size())
        return {};
    return name.substr(dot);
}

const char *language_of_path(std::string_view path) {
    std::string_view suffix = suffix_of(path);
    if (suffix.empty())
        return nullptr;
    // Lower-case as Python's str.lower() does, as far as it matters for
    // table keys, which are ASCII: of all non-ASCII characters only the Kelvin
    // sign lower-cases to ASCII ("k"); a suffix holding any other one has no
    // language.
    std::string lowered;
    lowered.reserve(suffix.size());
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        unsigned char c = (unsigned char) suffix[i];
        if (c < 0x80) {
            lowered.push_back(c >= 'A' && c <= 'Z' ? (char) (c - 'A' + 'a') : (char) c);
        } else if (suffix.substr(i, 3) == "\xE2\x84\xAA") {
            lowered.push_back('k');
            i += 2;
        } else {
            return nullptr;
        }
    }
    return language_of_suffix(lowered);
}

std::optional<std::string_view> relative_to(std::string_view path, std::string_view base) {
    if (path.empty() || path[0] != '/' || base.empty() || base[0] != '/')
        return std::nullopt;
    if (base == "/") {
        if (path.size() > 1 && path[1] == '/')
            return std::nullopt;  // the root "//" is another root
        return path.size() == 1 ? std::string_view(".") : path.substr(1);
    }
    if (path.substr(0, base.size()) != base)
        return std::nullopt;
    if (path.size() == base.size())
        return std::string_view(".");
    if (path[base.size()] != '/')
        return std::nullopt;
    return path.substr(base.size() + 1);
}

bool is_ignored(std::string_view relative, const std::vector<std::string> &patterns) {
    std::string text(relative);
    std::replace(text.begin(), text.end(), '\\', '/');
    std::string_view rel = text;
    for (const std::string &pattern : patterns) {
        std::string_view p = pattern;
        if (!p.empty() && p.back() == '/') {
            std::string_view bare = p.substr(0, p.find_last_not_of('/') + 1);
            if (rel.substr(0, p.size()) == p || rel == bare)
                return true;
        } else if (p.find('/') != std::string_view::npos) {
            if (rel == p || (rel.size() > p.size() && rel.substr(0, p.size()) == p && rel[p.size()] == '/'))
                return true;
        } else if (rel.find(p) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

const Language *patterns_for(std::string_view path, std::string_view cwd, const std::vector<std::string> &ignore,
                             std::optional<std::string_view> &relative) {
    const char *language = language_of_path(path);
    const Language *patterns = language ? patterns_of(language) : nullptr;
    relative = relative_to(path, cwd);
    if (!patterns || (relative && is_ignored(*relative, ignore)))
        return nullptr;
    return patterns;
}

std::vector<std::string> parse_ignore_file(std::string_view bytes) {
    std::vector<std::string> patterns;
    std::size_t at = 0;
    while (at < bytes.size()) {
        std::size_t end = bytes.find_first_of("\r\n", at);
        std::size_t next;
        if (end == std::string_view::npos)
            end = next = bytes.size();
        else
            next = end + (bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1);
        std::string_view line = bytes.substr(at, end - at);
        if (!orvo::is_valid_utf8(line))
            break;  // the reading ends at an undecodable line
        std::string_view stripped = orvo::strip(line);
        if (!stripped.empty() && stripped[0] != '#')
            patterns.emplace_back(stripped);
        at = next;
    }
    return patterns;
}

namespace {

void add(Comments &out, std::size_t start_line, std::size_t end_line, std::string_view content, const Match &m) {
    std::string_view text = orvo::strip(content.substr(m.group_start, m.group_end - m.group_start));
    if (text.empty())
        return;
    out.items.push_back(Comment{start_line, end_line, out.texts.size(), text.size(), m.start, m.group_start, m.end});
    out.texts.append(text);
}

// Line numbers of positions that only grow: the number of line breaks before
// a position, plus one, found by walking the list of line-break positions.
class LineCounter {
public:
    explicit LineCounter(const std::vector<std::size_t> &newlines) : newlines_(newlines) {}
    std::size_t line_at(std::size_t position) {
        while (next_ < newlines_.size() && newlines_[next_] < position)
            ++next_;
        return next_ + 1;
    }

private:
    const std::vector<std::size_t> &newlines_;
    std::size_t next_ = 0;
};

void index_newlines(std::string_view content, std::vector<std::size_t> &newlines) {
    newlines.clear();
    newlines.reserve(content.size() / 32);
    const char *data = content.data();
    std::size_t size = content.size(), i = 0;
#if defined(__SSE2__)
    // Sixteen bytes at a time: a bit mask of the bytes that are "\n".
    const __m128i breaks = _mm_set1_epi8('\n');
    for (; i + 16 <= size; i += 16) {
        __m128i block = _mm_loadu_si128((const __m128i *) (data + i));
        unsigned found = (unsigned) _mm_movemask_epi8(_mm_cmpeq_epi8(block, breaks));
        while (found) {
            newlines.push_back(i + (std::size_t) __builtin_ctz(found));
            found &= found - 1;
        }
    }
#else
    // Eight bytes at a time: an exact mask of the bytes that are "\n".
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7Full, breaks = 0x0A0A0A0A0A0A0A0Aull;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + i, 8);
        std::uint64_t x = word ^ breaks;
        std::uint64_t found = ~(((x & low7) + low7) | x | low7);
        while (found) {
            newlines.push_back(i + (std::size_t) (__builtin_ctzll(found) >> 3));
            found &= found - 1;
        }
    }
#endif
    for (; i < size; ++i)
        if (data[i] == '\n')
            newlines.push_back(i);
}

}  // namespace

void extract(const Language &language, std::string_view content, Comments &out, std::vector<std::size_t> &newlines) {
    bool indexed = false;
    auto ensure_index = [&] {
        if (!indexed)
            index_newlines(content, newlines);
        indexed = true;
    };
    for (const Pattern &pattern : language.single) {
        // Without the dot taking line breaks no match crosses a line, so the
        // matches over the whole text are those of each line, in line order.
        LineCounter lines(newlines);
        for_each_match(pattern, content, false, [&](const Match &m) {
            ensure_index();  // only texts with a match need their line breaks
            std::size_t line = lines.line_at(m.start);
            add(out, line, line, content, m);
        });
    }
    for (const Pattern &pattern : language.multi) {
        LineCounter starts(newlines), ends(newlines);
        for_each_match(pattern, content, true, [&](const Match &m) {
            ensure_index();
            std::size_t line = starts.line_at(m.start);
            std::size_t end_line = ends.line_at(m.end);  // the breaks inside the match count
            add(out, line, end_line, content, m);
        });
    }
}

void extract(const Language &language, std::string_view content, Comments &out) {
    std::vector<std::size_t> newlines;
    extract(language, content, out, newlines);
}

std::string line_text(const Comment &comment) {
    std::string text = std::to_string(comment.start_line);
    if (comment.end_line != comment.start_line)
        text.append(1, '-').append(std::to_string(comment.end_line));
    return text;
}

bool Extractor::extract_file(const std::string &path, const Language &language, Comments &out) {
    if (!orvo::read_regular_file(path, raw_))
        return false;
    extract_bytes(raw_, language, out);
    return true;
}

bool Extractor::extract_file_at(int directory, const std::string &name, const std::string &real_root,
                                const Language &language, Comments &out) {
    if (!orvo::read_regular_file_beneath(directory, name, real_root, raw_))
        return false;
    extract_bytes(raw_, language, out);
    return true;
}

void Extractor::extract_bytes(std::string_view raw, const Language &language, Comments &out) {
    std::string_view content = raw;
    if (!orvo::is_valid_utf8(content)) {
        decoded_ = orvo::decode_utf8_lossy(content);  // undecodable bytes are dropped
        content = decoded_;
    }
    if (std::memchr(content.data(), '\r', content.size())) {
        normalized_ = orvo::normalize_newlines(content);
        content = normalized_;
    }
    extract(language, content, out, newlines_);
}

namespace {

// The path of `name` in `directory`, as Python's pure paths join them: a name
// in "." stands alone.
std::string join(const std::string &directory, std::string_view name) {
    return directory == "." ? std::string(name) : orvo::join_path(directory, name);
}

// One directory of a scan: its path as walked, its subdirectories in listing
// order, and the next one to enter.
struct Level {
    std::string path;
    std::vector<std::string> directories;
    std::size_t next = 0;
};

// A scan below one root, held open: directory by directory with
// `orvo::DirectoryWalk`, each file read by its name in the directory the walk
// stands in, and only where it lies below the root.
class Scan {
public:
    Scan(const std::string &cwd, const std::vector<std::string> &ignore, const std::function<bool()> &checkpoint,
         const std::function<void(const FileResult &)> &found, const std::string &real_root)
        : cwd_(cwd), ignore_(ignore), checkpoint_(checkpoint), found_(found), real_root_(real_root) {}

    // List the directory open at `directory`, whose path is `level.path`:
    // extract its files and keep its subdirectories in `level`. False where
    // it cannot be listed, or where the checkpoint stopped the scan
    // (`stopped`).
    bool visit(int directory, Level &level) {
        if (directory < 0 || orvo::list_directory(directory, entries_) != 0)
            return false;
        files_.clear();
        for (orvo::DirectoryEntry &entry : entries_) {
            switch (entry.type) {
            case orvo::EntryType::regular:
                files_.push_back(std::move(entry.name));
                break;
            case orvo::EntryType::directory:
                level.directories.push_back(std::move(entry.name));
                break;
            case orvo::EntryType::link: {
                // Followed: a link to a regular file is one of the files (read
                // only where it leads below the root); one to a directory is
                // not entered.
                struct stat info;
                if (::fstatat(directory, entry.name.c_str(), &info, 0) == 0 && S_ISREG(info.st_mode))
                    files_.push_back(std::move(entry.name));
                break;
            }
            case orvo::EntryType::other:
                break;
            }
        }
        for (const std::string &name : files_) {
            if (++visited_ % 256 == 0 && checkpoint_ && checkpoint_()) {
                stopped = true;
                return false;
            }
            extract(directory, level.path, name);
        }
        return true;
    }

    bool stopped = false;

private:
    // Hand the comments of the file `name` of the directory open at
    // `directory` (whose path is `path`) on, where it has a language, is not
    // ignored, lies below the root, can be read and has comments.
    void extract(int directory, const std::string &path, const std::string &name) {
        const std::string file = join(path, name);
        std::optional<std::string_view> relative;
        const Language *language = patterns_for(file, cwd_, ignore_, relative);
        if (!language)
            return;
        result_.comments.texts.clear();
        result_.comments.items.clear();
        try {
            if (!extractor_.extract_file_at(directory, name, real_root_, *language, result_.comments) ||
                result_.comments.items.empty())
                return;
        } catch (const std::exception &) {
            return;  // a file that cannot be handled is left out
        }
        result_.file.assign(relative ? *relative : std::string_view(file));
        found_(result_);
    }

    const std::string &cwd_;
    const std::vector<std::string> &ignore_;
    const std::function<bool()> &checkpoint_;
    const std::function<void(const FileResult &)> &found_;
    const std::string &real_root_;
    Extractor extractor_;
    FileResult result_;
    std::vector<orvo::DirectoryEntry> entries_;
    std::vector<std::string> files_;
    std::size_t visited_ = 0;
};

}  // namespace

void scan(const std::string &root, const std::string &cwd, const std::vector<std::string> &ignore,
          const std::function<bool()> &checkpoint, const std::function<void(const FileResult &)> &found) {
    const std::optional<orvo::OpenDirectory> top = orvo::open_directory(root, O_RDONLY);
    if (!top)
        return;  // a root that cannot be opened has no files
    orvo::DirectoryWalk walk(top->fd.get(), top->real);
    Scan scan(cwd, ignore, checkpoint, found, top->real);
    std::vector<Level> levels(1);
    levels.back().path = root;
    if (!scan.visit(walk.directory(), levels.back()))
        return;
    while (!levels.empty()) {
        Level &level = levels.back();
        if (level.next == level.directories.size()) {
            levels.pop_back();
            walk.leave();
            continue;
        }
        const std::string &name = level.directories[level.next++];
        // Entered by name: what is a link by now (a directory swapped for
        // one) is not entered.
        if (walk.enter(name) != 0)
            continue;
        Level inner;
        inner.path = join(level.path, name);
        if (!scan.visit(walk.directory(), inner)) {
            if (scan.stopped)
                return;
            walk.leave();  // a directory that cannot be listed is skipped
            continue;
        }
        levels.push_back(std::move(inner));  // `level` and `name` are not used after this
    }
}

std::vector<FileResult> scan(const std::string &root, const std::string &cwd, const std::vector<std::string> &ignore,
                             const std::function<bool()> &checkpoint) {
    std::vector<FileResult> results;
    scan(root, cwd, ignore, checkpoint, [&](const FileResult &result) { results.push_back(result); });
    return results;
}

}  // namespace nestrel
