#include "orvo/support.hpp"

#include <climits>
#include <cmath>
#include <cstring>

namespace orvo {

// ---------------------------------------------------------------- host errors

void raise(nb::handle type, std::string_view message) { raise(type, to_str(message)); }

void raise(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

void raise_from(nb::python_error &cause, nb::handle type, std::string_view message) {
    raise_from(cause, type, to_str(message));
}

void raise_from(nb::python_error &cause, nb::handle type, nb::handle message) {
    nb::object text = nb::str(message);
    cause.restore();
    nb::chain_error(type, "%U", text.ptr());
    throw nb::python_error();
}

std::optional<nb::object> field(nb::handle record, const char *name) {
    if (PyDict_Check(record.ptr())) {
        PyObject *value = PyDict_GetItemString(record.ptr(), name);
        if (!value)
            return std::nullopt;
        return nb::borrow(value);
    }
    if (nb::hasattr(record, "model_fields_set")) {
        nb::object given = record.attr("model_fields_set");
        int present = PySequence_Contains(given.ptr(), nb::str(name).ptr());
        if (present < 0)
            throw nb::python_error();
        if (!present)
            return std::nullopt;
    }
    if (!nb::hasattr(record, name))
        return std::nullopt;
    return record.attr(name);
}

std::string error_text(const nb::python_error &error) {
    return from_str(nb::str(error.value()));
}

bool is_exception(const nb::python_error &error) {
    return error.matches(PyExc_Exception);
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0)
        throw nb::python_error();
    return result == 1;
}

std::string type_name(nb::handle value) {
    return from_str(value.type().attr("__name__"));
}

// ------------------------------------------------------------ argument checks

void wrong_type(nb::handle value, const char *name, const char *expected) {
    std::string message = "argument '";
    message += name;
    message += "' must be ";
    message += expected;
    message += ", not ";
    message += orvo::type_name(value);
    raise(PyExc_TypeError, message);
}

namespace {

bool is_real_number(nb::handle value) {
    if (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()))
        return true;
    nb::object real = nb::module_::import_("numbers").attr("Real");
    return PyObject_IsInstance(value.ptr(), real.ptr()) == 1;
}

}  // namespace

std::string arg_str(nb::handle value, const char *name) {
    if (!PyUnicode_Check(value.ptr()))
        wrong_type(value, name, "str");
    return from_str(value);
}

std::optional<std::string> arg_opt_str(nb::handle value, const char *name) {
    if (value.is_none())
        return std::nullopt;
    if (!PyUnicode_Check(value.ptr()))
        wrong_type(value, name, "str or None");
    return from_str(value);
}

nb::list arg_list(nb::handle value, const char *name) {
    if (!PyList_Check(value.ptr()))
        wrong_type(value, name, "list");
    return nb::borrow<nb::list>(value);
}

nb::dict arg_dict(nb::handle value, const char *name) {
    if (!PyDict_Check(value.ptr()))
        wrong_type(value, name, "dict");
    return nb::borrow<nb::dict>(value);
}

nb::int_ arg_int(nb::handle value, const char *name) {
    if (!is_real_number(value))
        wrong_type(value, name, "int");
    PyObject *whole = PyNumber_Long(value.ptr());
    if (!whole)
        throw nb::python_error();
    return nb::steal<nb::int_>(whole);
}

long long clamp_int64(nb::handle integer) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow)
        return overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return value;
}

double arg_float(nb::handle value, const char *name) {
    if (!is_real_number(value))
        wrong_type(value, name, "float");
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return result;
}

std::string text_of(nb::handle value) {
    return from_str(nb::str(value));
}

// ------------------------------------------------------------------- console

namespace {

nb::object builtin(const char *name) {
    return nb::module_::import_("builtins").attr(name);
}

}  // namespace

void print(std::string_view text) {
    builtin("print")(to_str(text));
}

void print(nb::handle value) {
    builtin("print")(value);
}

void print() {
    builtin("print")();
}

std::string read_line(std::string_view prompt) {
    return from_str(builtin("input")(to_str(prompt)));
}

// ---------------------------------------------------------------------- text

nb::str to_str(std::string_view utf8) {
    PyObject *text = PyUnicode_DecodeUTF8(utf8.data(), (Py_ssize_t) utf8.size(), "surrogatepass");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

std::string from_str(nb::handle text) {
    Py_ssize_t size = 0;
    if (const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
        return std::string(data, (std::size_t) size);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        throw nb::python_error();
    PyErr_Clear();  // lone surrogates: their three-byte form
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid())
        throw nb::python_error();
    return std::string(PyBytes_AS_STRING(bytes.ptr()), (std::size_t) PyBytes_GET_SIZE(bytes.ptr()));
}

std::size_t code_points(std::string_view utf8) {
    std::size_t count = 0;
    for (unsigned char c : utf8)
        count += (c & 0xC0) != 0x80;
    return count;
}

namespace {

// Decode the code point that starts at `i` of valid UTF-8 and advance `i`.
char32_t next_code_point(std::string_view s, std::size_t &i) {
    unsigned char c = (unsigned char) s[i];
    if (c < 0x80) {
        ++i;
        return c;
    }
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
    char32_t cp = c & (0x3F >> extra);
    for (int k = 1; k <= extra && i + k < s.size(); ++k)
        cp = (cp << 6) | ((unsigned char) s[i + k] & 0x3F);
    i += (std::size_t) extra + 1;
    return cp;
}

bool is_space(char32_t cp) {
    switch (cp) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D:
    case 0x1C: case 0x1D: case 0x1E: case 0x1F: case 0x20:
    case 0x85: case 0xA0: case 0x1680:
    case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        return true;
    default:
        return cp >= 0x2000 && cp <= 0x200A;
    }
}

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

std::string lower(std::string_view utf8) {
    std::string result(utf8);
    bool ascii = true;
    for (char &c : result) {
        if ((unsigned char) c >= 0x80) {
            ascii = false;
            break;
        }
        if (c >= 'A' && c <= 'Z')
            c = (char) (c - 'A' + 'a');
    }
    if (ascii)
        return result;
    return from_str(to_str(utf8).attr("lower")());
}

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when the bytes there do not
// start one. `bad` receives the length of the maximal invalid prefix (at least
// 1), the way the host's decoder delimits an error.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t &bad) {
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
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
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

}  // namespace

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
        std::size_t n = sequence_length(bytes, i, bad);
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
        std::size_t n = sequence_length(bytes, i, bad);
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

// --------------------------------------------------------------- environment

std::optional<std::string> env(const char *name) {
    nb::object value = nb::module_::import_("os").attr("environ").attr("get")(name);
    if (value.is_none())
        return std::nullopt;
    std::string text = from_str(value);
    if (text.empty())
        return std::nullopt;
    return text;
}

// -------------------------------------------------------------- translation

void set_language_from_env() {
    nb::object value = nb::module_::import_("os").attr("getenv")("ORVO_LANG", "en");
    std::string code = lower(from_str(value));
    bool chinese = code == "zh" || code == "zh-cn" || code == "zh_tw";
    nb::module_::import_("i18n").attr("set_language")(chinese ? "zh" : "en");
}

}  // namespace orvo
