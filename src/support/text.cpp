#include "orvo/text.hpp"

#include <cstdint>
#include <cstring>

namespace orvo {

std::size_t code_points(std::string_view utf8) {
    std::size_t count = 0;
    for (unsigned char c : utf8)
        count += (c & 0xC0) != 0x80;
    return count;
}

std::string_view first_code_points(std::string_view utf8, std::size_t count) {
    std::size_t i = 0;
    for (; i < utf8.size(); ++i)
        if (((unsigned char) utf8[i] & 0xC0) != 0x80 && count-- == 0)
            break;
    return utf8.substr(0, i);
}

bool is_space(char32_t cp) {
    switch (cp) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x1C:
    case 0x1D:
    case 0x1E:
    case 0x1F:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool is_line_break(char32_t c) {
    return (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

bool has_line_break(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size();)
        if (is_line_break(next_code_point(utf8, i)))
            return true;
    return false;
}

std::string without_surrogates(std::string_view utf8) {
    if (is_valid_utf8(utf8))
        return std::string(utf8);
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t start = i;
        char32_t c = next_code_point(utf8, i);
        if (c >= 0xD800 && c <= 0xDFFF)
            out.append("\xEF\xBF\xBD");
        else
            out.append(utf8.substr(start, i - start));
    }
    return out;
}

namespace {

// Start of the code point that ends just before byte `end`.
std::size_t previous_start(std::string_view s, std::size_t end) {
    std::size_t i = end - 1;
    while (i > 0 && ((unsigned char) s[i] & 0xC0) == 0x80)
        --i;
    return i;
}

}  // namespace

std::string_view strip(std::string_view utf8) {
    std::size_t begin = 0;
    while (begin < utf8.size()) {
        std::size_t next = begin;
        if (!is_space(next_code_point(utf8, next)))
            break;
        begin = next;
    }
    return rstrip(utf8.substr(begin));
}

std::string_view rstrip(std::string_view utf8) {
    std::size_t end = utf8.size();
    while (end > 0) {
        std::size_t start = previous_start(utf8, end);
        std::size_t probe = start;
        if (!is_space(next_code_point(utf8, probe)))
            break;
        end = start;
    }
    return utf8.substr(0, end);
}

std::size_t valid_sequence_length(std::string_view s, std::size_t i, std::size_t &bad) {
    auto byte = [&](std::size_t k) { return (unsigned char) s[k]; };
    unsigned char c = byte(i);
    bad = 1;
    if (c < 0x80)
        return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (i + k >= s.size())
            return bad = k, 0;
        unsigned char b = byte(i + k);
        unsigned char first_lo = k == 1 ? lo : 0x80, first_hi = k == 1 ? hi : 0xBF;
        if (b < first_lo || b > first_hi)
            return bad = k, 0;
    }
    return need + 1;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0, bad = 0;
    while (i < bytes.size()) {
        // Runs of ASCII are skipped eight bytes at a time.
        while (i + 8 <= bytes.size()) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + i, 8);
            if (word & 0x8080808080808080ull)
                break;
            i += 8;
        }
        if (i >= bytes.size())
            break;
        unsigned char c = (unsigned char) bytes[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        // The common two- and three-byte forms are checked here at once.
        auto continues = [&](std::size_t k) { return ((unsigned char) bytes[k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF && i + 1 < bytes.size() && continues(i + 1)) {
            i += 2;
            continue;
        }
        if (((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) && i + 2 < bytes.size() && continues(i + 1) &&
            continues(i + 2)) {
            i += 3;
            continue;
        }
        std::size_t n = valid_sequence_length(bytes, i, bad);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string decode_utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0, bad = 0;
    while (i < bytes.size()) {
        std::size_t run = i;
        while (run < bytes.size() && (unsigned char) bytes[run] < 0x80)
            ++run;
        out.append(bytes.data() + i, run - i);
        i = run;
        if (i >= bytes.size())
            break;
        std::size_t n = valid_sequence_length(bytes, i, bad);
        if (n) {
            out.append(bytes.data() + i, n);
            i += n;
        } else {
            i += bad;
        }
    }
    return out;
}

std::string normalize_newlines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        // Copy up to the next "\r" in one piece.
        const void *found = std::memchr(text.data() + i, '\r', text.size() - i);
        std::size_t end = found ? (std::size_t) ((const char *) found - text.data()) : text.size();
        out.append(text.data() + i, end - i);
        if (end == text.size())
            break;
        out.push_back('\n');
        i = end + 1;
        if (i < text.size() && text[i] == '\n')
            ++i;
    }
    return out;
}

}  // namespace orvo
