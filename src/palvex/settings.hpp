// The user configuration file and the key masks, in plain C++.
//
// The file is UTF-8 text of comment lines and KEY=value lines. Reading, for
// the user configuration file and for .env alike: each line is trimmed;
// empty lines, lines beginning with "#" and lines without "=" are skipped;
// the rest splits at its first "=" into a name and a value, both trimmed; only
// the four keys below count, compared exactly. Values keep quotes and
// everything else as written.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace palvex {

// The keys of the wizard's settings, in their order.
inline constexpr std::array<const char *, 4> KEYS = {"AI_API_KEY", "AI_API_URL", "AI_MODEL", "ORVO_LANG"};

struct Setting {
    std::size_t key;  // index into KEYS
    std::string value;
};

struct Reading {
    std::vector<Setting> settings;  // in file order; a key may come again
    bool complete = true;           // false when a line that is not UTF-8 stopped the reading
};

// The settings lines of a file's bytes. Lines end at "\n", "\r\n" or "\r";
// the reading stops before the first line that is not valid UTF-8, unless it
// is a comment line (which may hold a path's own bytes).
Reading read_settings(std::string_view bytes);

// What the wizard writes, in the order of the file's lines.
struct FileTexts {
    std::string title, origin, location;  // comment lines 1 to 3
    std::string key_comment, key;
    std::string url_comment, url;
    std::string model_comment, model;
    std::string language;
};

// The whole file: fifteen lines and a final empty element, joined by line
// ends, so that every line ends with one and nothing follows the last. With
// `crlf` every line end (also one inside a text) is "\r\n".
std::string settings_file(const FileTexts &texts, bool crlf);

// A key as the wizard shows it (in the list of stored settings, as a masked
// default, in the summary): its first 8 and last 4 characters around "..."
// when it is longer than 12 characters, else "***", so that no key is ever
// shown whole.
std::string listed_key(std::string_view key);

}  // namespace palvex
