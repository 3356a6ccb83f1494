// The extraction engine: language look-up, ignore rules, comment extraction
// and the directory walk. Plain C++ without Python, so the walk runs with the
// GIL released.
#pragma once

#include "matcher.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nestrel {

struct Language {
    std::string name;
    std::vector<Pattern> single;  // matched line by line
    std::vector<Pattern> multi;   // matched over the whole text, the dot taking line breaks
};

// The language of a lower-case suffix, or nothing.
const char *language_of_suffix(std::string_view suffix);
// The compiled patterns of a language, or nothing when it has none.
const Language *patterns_of(std::string_view language);

// The text of a path as Python's pure paths give it: repeated "/" and "."
// components dropped, no trailing "/", "." for the empty path.
std::string normalize_path(std::string_view path);
// The suffix of the final component of a normalized path ("" when none).
std::string_view suffix_of(std::string_view path);
// The language of a normalized path, or nothing.
const char *language_of_path(std::string_view path);
// The part of a normalized `path` below the directory `base` (absolute and
// normalized), compared component by component; nothing when it is not below.
std::optional<std::string_view> relative_to(std::string_view path, std::string_view base);
// Whether a path relative to the working directory is named by the ignore list.
bool is_ignored(std::string_view relative, const std::vector<std::string> &patterns);
// The comment patterns that the file at the normalized `path` is extracted
// with: nothing where its language has none, or where it lies below `cwd`
// and the ignore list names its path there. `relative` is that path, where
// it lies below `cwd`.
const Language *patterns_for(std::string_view path, std::string_view cwd, const std::vector<std::string> &ignore,
                             std::optional<std::string_view> &relative);
// The ignore list held by a file's bytes: stripped lines that are neither
// empty nor begin with "#", up to the first line that is not valid UTF-8.
std::vector<std::string> parse_ignore_file(std::string_view bytes);

struct Comment {
    std::size_t start_line, end_line;
    std::size_t offset, length;  // the text, inside Comments::texts
    std::size_t start, group, end;  // the match, its group and its end, by byte offsets in the content
};

struct Comments {
    std::string texts;
    std::vector<Comment> items;
    std::string_view text(const Comment &c) const { return std::string_view(texts).substr(c.offset, c.length); }
};

// Append the comments of `content` in extraction order: the single-line
// comments (by pattern, line, position), then the block comments (by pattern,
// position). `newlines` is scratch space for the positions of line breaks.
void extract(const Language &language, std::string_view content, Comments &out, std::vector<std::size_t> &newlines);
void extract(const Language &language, std::string_view content, Comments &out);

// The `line` text of a comment: "7", or "3-5" for one that spans lines.
std::string line_text(const Comment &comment);

struct FileResult {
    std::string file;  // the path relative to the working directory, or as walked
    Comments comments;
};

// Reads, decodes and extracts files, reusing its buffers from file to file.
class Extractor {
public:
    // The comments of the file at `path`; false when it cannot be read.
    bool extract_file(const std::string &path, const Language &language, Comments &out);
    // The comments of the file `name` of the directory open at `directory`,
    // read only where it lies below `real_root` (`orvo::read_regular_file_beneath`);
    // false when it lies elsewhere or cannot be read.
    bool extract_file_at(int directory, const std::string &name, const std::string &real_root,
                         const Language &language, Comments &out);
    // The comments of a file's bytes, read as `extract_file` reads them:
    // undecodable bytes dropped, line ends made "\n".
    void extract_bytes(std::string_view raw, const Language &language, Comments &out);

private:
    std::string raw_, decoded_, normalized_;
    std::vector<std::size_t> newlines_;
};

// Walk the tree below `root` (normalized; a link to a directory is followed
// there) with `orvo::DirectoryWalk`, from the root held open, and extract
// every regular file that has a language and is not ignored, in listing
// order: a directory's files, then each of its subdirectories in turn. A
// link to a regular file is one of the files, read only where it leads below
// the root; a link to a directory is not entered, nor is a directory that
// became one meanwhile; a directory that cannot be listed is skipped. Each
// file is read once, by its name in the directory the walk stands in, where
// it lies below the root (`orvo::read_regular_file_beneath`). Each file with
// comments is handed to `found` (valid only during the call), its `file`
// being its path as walked (the text of `root` joined with the names),
// relative to `cwd` where that text lies below it. `checkpoint` is called every 256 files; when it
// returns true the walk stops.
void scan(const std::string &root, const std::string &cwd, const std::vector<std::string> &ignore,
          const std::function<bool()> &checkpoint, const std::function<void(const FileResult &)> &found);
// The same, collecting the records.
std::vector<FileResult> scan(const std::string &root, const std::string &cwd, const std::vector<std::string> &ignore,
                             const std::function<bool()> &checkpoint);

}  // namespace nestrel
