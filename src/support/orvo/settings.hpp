// The lines of a settings file (the user configuration file, .env), in plain
// C++: the one reading of `KEY=value` lines for the settings class and the
// wizard.
#pragma once

#include "text.hpp"

#include <cstddef>
#include <string_view>

namespace orvo {

// A settings file is a few hundred bytes: a larger one than this is skipped
// as an unreadable one is, not read into memory.
inline constexpr std::size_t settings_file_limit = 1 << 20;

// Whether a line that is not valid UTF-8 is a comment line all the same:
// white space, then "#" (the wizard's location line holds a path's own bytes).
inline bool is_comment_line(std::string_view line) {
    const std::size_t hash = line.find('#');
    return hash != std::string_view::npos && is_valid_utf8(line.substr(0, hash)) && strip(line.substr(0, hash)).empty();
}

// Read the `KEY=value` lines of `text`, split at "\n": each line is trimmed;
// empty lines, lines beginning with "#" and lines without "=" are skipped;
// the rest splits at its first "=" into a name and a value, both trimmed,
// which go to `found(name, value)` in the file's order. The reading stops
// before the first line that is not valid UTF-8, unless it is a comment line
// (`is_comment_line`): false when such a line stopped it.
template <typename Found>
bool read_setting_lines(std::string_view text, Found &&found) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!is_valid_utf8(line)) {
            if (is_comment_line(line))
                continue;
            return false;
        }
        line = strip(line);
        const std::size_t eq = line.find('=');
        if (line.empty() || line.front() == '#' || eq == std::string_view::npos)
            continue;
        found(strip(line.substr(0, eq)), strip(line.substr(eq + 1)));
    }
    return true;
}

}  // namespace orvo
