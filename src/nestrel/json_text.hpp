// JSON text, written natively in the layout of Python's
// `json.dumps(value, indent=2, ensure_ascii=False)`, and handed on in pieces.
#pragma once

#include "engine.hpp"

#include <nanobind/nanobind.h>

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nestrel {

class JsonWriter {
public:
    using Sink = std::function<void(std::string_view)>;
    // The text goes to `sink` in pieces of about a megabyte, and at `flush`.
    explicit JsonWriter(Sink sink);

    // Write a Python value. Returns false, with part of the text possibly handed
    // on, when the value holds something whose text only Python's json
    // module knows (another type, a key that is not a str, nesting deeper than
    // a few hundred levels).
    bool value(nanobind::handle value);
    // Write comment records as Python would write their Python form (a list
    // of {"file", "comments": [{"line", "content"}]}), one record at a time
    // between `begin_records` and `end_records`. A `file` name that is not
    // UTF-8 is written as `name_string` writes it; comment texts must be
    // valid UTF-8.
    void begin_records() { records_ = 0; }
    void record(const FileResult &result);
    void end_records();
    void flush();

private:
    char *room(std::size_t more) {
        if (size_ + more > buffer_.size())
            make_room(more);
        return buffer_.data() + size_;
    }
    void make_room(std::size_t more);
    void put(char c) { *room(1) = c, ++size_; }
    void put(std::string_view text) {
        if (text.size() <= 4096) {
            std::memcpy(room(text.size()), text.data(), text.size());
            size_ += text.size();
        } else {
            put_long(text);
        }
    }
    void put_long(std::string_view text);
    void newline(int depth);
    void utf8_string(std::string_view text);
    void utf8_text(std::string_view text);
    // A file name's bytes as a JSON string: a UTF-8 name as `utf8_string`
    // writes it; in any other, each byte that is not part of a valid sequence
    // is written as the escape of the lone surrogate that `os.fsdecode` makes
    // of it ("\\udcff" for 0xff), so that `json.load` gives the name as
    // `os.fsdecode` does and the file can be found again.
    void name_string(std::string_view name);
    void py_string(PyObject *text);
    bool py_value(PyObject *value, int depth);

    Sink sink_;
    std::string buffer_;
    std::size_t size_ = 0;
    std::size_t records_ = 0;
};

}  // namespace nestrel
