#include "host.hpp"

#include <orvo/files.hpp>
#include <orvo/python.hpp>

#include <cstring>
#include <new>

namespace quorlin {

const CharClasses &host_char_classes() {
    // The host's `re` tests `\w` as "alphanumeric or _" and `\s` as white
    // space, with these very predicates.
    static const CharClasses classes = CharClasses::from(
        [](char32_t c) { return c == U'_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); },
        [](char32_t c) { return Py_UNICODE_ISSPACE(static_cast<Py_UCS4>(c)) != 0; });
    return classes;
}

std::vector<std::string> definitions_of_file(const std::string &path) {
    const std::optional<SuffixGroup> group = suffix_group(file_suffix(path));
    if (!group)
        return {};
    try {
        std::string text;
        if (!orvo::read_regular_file(path, text))
            return {};
        if (!orvo::is_valid_utf8(text))
            text = orvo::decode_utf8_lossy(text);
        if (std::memchr(text.data(), '\r', text.size()))
            text = orvo::normalize_newlines(text);
        return extract_definitions(*group, text, host_char_classes());
    } catch (const std::bad_alloc &) {
        return {};
    }
}

}  // namespace quorlin
