#include "settings.hpp"

#include <orvo/settings.hpp>
#include <orvo/text.hpp>

namespace palvex {

namespace {

// The last `count` code points of UTF-8 text (all of it when it is shorter).
std::string_view last_code_points(std::string_view utf8, std::size_t count) {
    std::size_t total = orvo::code_points(utf8);
    if (total <= count)
        return utf8;
    std::size_t skip = orvo::first_code_points(utf8, total - count).size();
    return utf8.substr(skip);
}

std::string shortened(std::string_view key) {
    std::string shown(orvo::first_code_points(key, 8));
    return shown.append("...").append(last_code_points(key, 4));
}

}  // namespace

Reading read_settings(std::string_view bytes) {
    Reading reading;
    reading.complete =
        orvo::read_setting_lines(orvo::normalize_newlines(bytes), [&](std::string_view name, std::string_view value) {
            for (std::size_t key = 0; key < KEYS.size(); ++key)
                if (name == KEYS[key])
                    reading.settings.push_back({key, std::string(value)});
        });
    return reading;
}

std::string settings_file(const FileTexts &texts, bool crlf) {
    const std::string lines[] = {
        texts.title,
        texts.origin,
        texts.location,
        "",
        texts.key_comment,
        "AI_API_KEY=" + texts.key,
        "",
        texts.url_comment,
        "AI_API_URL=" + texts.url,
        "",
        texts.model_comment,
        "AI_MODEL=" + texts.model,
        "",
        "# Language configuration",
        "ORVO_LANG=" + texts.language,
    };
    std::string content;
    for (const std::string &line : lines)
        content.append(line).append("\n");
    if (!crlf)
        return content;
    std::string windows;
    windows.reserve(content.size() + 32);
    for (char c : content) {
        if (c == '\n')
            windows.push_back('\r');
        windows.push_back(c);
    }
    return windows;
}

std::string listed_key(std::string_view key) {
    return orvo::code_points(key) > 12 ? shortened(key) : std::string("***");
}

}  // namespace palvex
