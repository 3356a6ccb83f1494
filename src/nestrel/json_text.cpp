#include "json_text.hpp"

#include <orvo/text.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace nb = nanobind;

namespace nestrel {

namespace {

constexpr int MAX_DEPTH = 400;
constexpr std::size_t PIECE = 1 << 20;
// The digits of the escapes, in lower case as Python's json writes them.
constexpr char HEX[] = "0123456789abcdef";

// 0: the byte is written as it stands; otherwise the character after the
// backslash, or 'u' for the \u00XX form. Only ASCII bytes are escaped.
struct Escapes {
    char table[256] = {};
    Escapes() {
        for (int c = 0; c < 0x20; ++c)
            table[c] = 'u';
        table[(unsigned char) '"'] = '"';
        table[(unsigned char) '\\'] = '\\';
        table[(unsigned char) '\b'] = 'b';
        table[(unsigned char) '\f'] = 'f';
        table[(unsigned char) '\n'] = 'n';
        table[(unsigned char) '\r'] = 'r';
        table[(unsigned char) '\t'] = 't';
    }
};

const Escapes escapes;

// Whether any of eight bytes needs an escape: below 0x20, '"' or '\\'.
// Bytes of 0x80 and above never do.
inline bool needs_escape(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    auto has_zero = [&](std::uint64_t v) { return (v - ones) & ~v & highs; };
    std::uint64_t below_space = (word - ones * 0x20) & ~word & highs;
    return below_space | has_zero(word ^ (ones * '"')) | has_zero(word ^ (ones * '\\'));
}

// Write the escape of byte `c` at `p` (room for 6 bytes); returns its length.
inline std::size_t escape(unsigned char c, char *p) {
    char kind = escapes.table[c];
    p[0] = '\\';
    if (kind != 'u') {
        p[1] = kind;
        return 2;
    }
    p[1] = 'u';
    p[2] = '0';
    p[3] = '0';
    p[4] = HEX[c >> 4];
    p[5] = HEX[c & 15];
    return 6;
}

}  // namespace

JsonWriter::JsonWriter(Sink sink) : sink_(std::move(sink)) { buffer_.resize(PIECE + 4096); }

void JsonWriter::make_room(std::size_t more) {
    flush();
    if (more > buffer_.size())
        buffer_.resize(more);
}

void JsonWriter::flush() {
    if (size_)
        sink_(std::string_view(buffer_.data(), size_));
    size_ = 0;
}

void JsonWriter::put_long(std::string_view text) {
    // Long texts go out in pieces, so the buffer never grows beyond a piece.
    while (!text.empty()) {
        std::size_t take = std::min(text.size(), PIECE);
        std::memcpy(room(take), text.data(), take);
        size_ += take;
        text.remove_prefix(take);
    }
}

void JsonWriter::newline(int depth) {
    std::size_t count = 1 + (std::size_t) depth * 2;
    char *p = room(count);
    *p = '\n';
    std::memset(p + 1, ' ', count - 1);
    size_ += count;
}

// UTF-8 as a JSON string: only ASCII control characters, '"' and '\\' change.
void JsonWriter::utf8_string(std::string_view text) {
    put('"');
    utf8_text(text);
    put('"');
}

// The same without the quotes.
void JsonWriter::utf8_text(std::string_view text) {
    const char *run = text.data(), *end = run + text.size(), *p = run;
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if (!needs_escape(word)) {
                p += 8;
                continue;
            }
        }
        if (escapes.table[(unsigned char) *p]) {
            put(std::string_view(run, (std::size_t) (p - run)));
            size_ += escape((unsigned char) *p, room(6));
            run = p + 1;
        }
        ++p;
    }
    put(std::string_view(run, (std::size_t) (end - run)));
}

void JsonWriter::name_string(std::string_view name) {
    if (orvo::is_valid_utf8(name)) {
        utf8_string(name);
        return;
    }
    put('"');
    std::size_t i = 0, bad = 0;
    while (i < name.size()) {
        // The longest run of valid sequences, written as any text is.
        const std::size_t start = i;
        while (i < name.size()) {
            if ((unsigned char) name[i] < 0x80) {
                ++i;
                continue;
            }
            const std::size_t length = orvo::valid_sequence_length(name, i, bad);
            if (!length)
                break;
            i += length;
        }
        utf8_text(name.substr(start, i - start));
        // Then the bytes of an invalid part, each one as os.fsdecode takes it:
        // U+DC00 plus the byte (always 0x80 or above), a lone surrogate.
        for (const std::size_t stop = std::min(name.size(), i + bad); i < stop; ++i) {
            const auto byte = (unsigned char) name[i];
            char *p = room(6);
            std::memcpy(p, "\\udc", 4);
            p[4] = HEX[byte >> 4];
            p[5] = HEX[byte & 15];
            size_ += 6;
        }
        bad = 0;
    }
    put('"');
}

namespace {

// A str of wide storage, encoded as UTF-8 at `p`; returns the end. A
// lone surrogate cannot be written: Python's encoder reports it.
template <typename Char>
char *encode_wide(PyObject *object, const Char *data, Py_ssize_t length, char *p) {
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = data[i];
        if (c < 0x80) {
            if (escapes.table[c])
                p += escape((unsigned char) c, p);
            else
                *p++ = (char) c;
        } else if (c < 0x800) {
            *p++ = (char) (0xC0 | (c >> 6));
            *p++ = (char) (0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF && !PyUnicode_AsUTF8AndSize(object, nullptr))
                throw nb::python_error();
            *p++ = (char) (0xE0 | (c >> 12));
            *p++ = (char) (0x80 | ((c >> 6) & 0x3F));
            *p++ = (char) (0x80 | (c & 0x3F));
        } else {
            *p++ = (char) (0xF0 | (c >> 18));
            *p++ = (char) (0x80 | ((c >> 12) & 0x3F));
            *p++ = (char) (0x80 | ((c >> 6) & 0x3F));
            *p++ = (char) (0x80 | (c & 0x3F));
        }
    }
    return p;
}

}  // namespace

void JsonWriter::py_string(PyObject *object) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(object);
    const void *data = PyUnicode_DATA(object);
    if (PyUnicode_IS_ASCII(object)) {
        utf8_string(std::string_view((const char *) data, (std::size_t) length));
        return;
    }
    // Texts longer than a piece are written in pieces of characters.
    put('"');
    int kind = PyUnicode_KIND(object);
    for (Py_ssize_t at = 0; at < length;) {
        Py_ssize_t take = std::min<Py_ssize_t>(length - at, (Py_ssize_t) PIECE / 6);
        char *start = room((std::size_t) take * 6), *end;
        if (kind == PyUnicode_1BYTE_KIND)
            end = encode_wide(object, (const Py_UCS1 *) data + at, take, start);
        else if (kind == PyUnicode_2BYTE_KIND)
            end = encode_wide(object, (const Py_UCS2 *) data + at, take, start);
        else
            end = encode_wide(object, (const Py_UCS4 *) data + at, take, start);
        size_ += (std::size_t) (end - start);
        at += take;
    }
    put('"');
}

bool JsonWriter::py_value(PyObject *object, int depth) {
    if (PyUnicode_CheckExact(object)) {
        py_string(object);
        return true;
    }
    if (object == Py_None) {
        put("null");
        return true;
    }
    if (object == Py_True) {
        put("true");
        return true;
    }
    if (object == Py_False) {
        put("false");
        return true;
    }
    if (PyLong_CheckExact(object)) {
        nb::str digits(nb::handle{object});
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(digits.ptr(), &size);
        if (!data)
            throw nb::python_error();
        put(std::string_view(data, (std::size_t) size));
        return true;
    }
    if (PyFloat_CheckExact(object)) {
        double number = PyFloat_AS_DOUBLE(object);
        if (std::isnan(number)) {
            put("NaN");
        } else if (std::isinf(number)) {
            put(number > 0 ? "Infinity" : "-Infinity");
        } else {
            char *text = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!text)
                throw nb::python_error();
            put(std::string_view(text));
            PyMem_Free(text);
        }
        return true;
    }
    if (depth >= MAX_DEPTH)
        return false;
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        bool is_list = PyList_CheckExact(object);
        Py_ssize_t size = is_list ? PyList_GET_SIZE(object) : PyTuple_GET_SIZE(object);
        if (size == 0) {
            put("[]");
            return true;
        }
        put('[');
        // Only exact built-in types are written here, so no code of the
        // caller runs meanwhile and borrowed items stay valid.
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i)
                put(',');
            newline(depth + 1);
            PyObject *item = is_list ? PyList_GET_ITEM(object, i) : PyTuple_GET_ITEM(object, i);
            if (!py_value(item, depth + 1))
                return false;
        }
        newline(depth);
        put(']');
        return true;
    }
    if (PyDict_CheckExact(object)) {
        if (PyDict_GET_SIZE(object) == 0) {
            put("{}");
            return true;
        }
        put('{');
        Py_ssize_t position = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(object, &position, &key, &item)) {
            if (!PyUnicode_CheckExact(key))
                return false;
            if (!first)
                put(',');
            first = false;
            newline(depth + 1);
            py_string(key);
            put(": ");
            if (!py_value(item, depth + 1))
                return false;
        }
        newline(depth);
        put('}');
        return true;
    }
    return false;
}

bool JsonWriter::value(nb::handle value) { return py_value(value.ptr(), 0); }

// The layout of the Python form, with its fixed pieces written whole.
void JsonWriter::record(const FileResult &result) {
    put(records_++ ? std::string_view(",\n  {\n    \"file\": ") : std::string_view("[\n  {\n    \"file\": "));
    name_string(result.file);
    const auto &items = result.comments.items;
    if (items.empty()) {
        put(",\n    \"comments\": []\n  }");
        return;
    }
    put(",\n    \"comments\": [");
    for (std::size_t i = 0; i < items.size(); ++i) {
        put(i ? std::string_view(",\n      {\n        \"line\": \"")
              : std::string_view("\n      {\n        \"line\": \""));
        char *p = room(44);
        char *end = std::to_chars(p, p + 20, items[i].start_line).ptr;
        if (items[i].end_line != items[i].start_line) {
            *end++ = '-';
            end = std::to_chars(end, end + 20, items[i].end_line).ptr;
        }
        size_ += (std::size_t) (end - p);
        put("\",\n        \"content\": ");
        utf8_string(result.comments.text(items[i]));
        put("\n      }");
    }
    put("\n    ]\n  }");
}

void JsonWriter::end_records() { put(records_ ? "\n]" : "[]"); }

}  // namespace nestrel
