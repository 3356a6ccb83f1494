// Interface texts by key, in Chinese and in English, and the current language.
#include <orvo/python.hpp>

#include <string>
#include <string_view>
#include <unordered_map>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

struct Text {
    const char *key;
    const char *zh;
    const char *en;
};

// One row per key; each command keeps its rows in a file of its own.
const Text TEXTS[] = {
#include "texts/brisolet.inc"
#include "texts/common.inc"
#include "texts/corvane.inc"
#include "texts/kestovan.inc"
#include "texts/palvex.inc"
#include "texts/quorlin.inc"
#include "texts/trelwick.inc"
};

enum class Language { zh, en };

const std::unordered_map<std::string_view, const Text *> &table() {
    static const auto *index = [] {
        auto *map = new std::unordered_map<std::string_view, const Text *>();
        for (const Text &row : TEXTS)
            if (!map->emplace(row.key, &row).second)
                throw std::logic_error(std::string("duplicate interface text key: ") + row.key);
        return map;
    }();
    return *index;
}

Language parse_language(nb::handle code) {
    std::string text = orvo::arg_str(code, "code");
    if (text == "zh")
        return Language::zh;
    if (text == "en")
        return Language::en;
    orvo::raise(PyExc_ValueError, "unsupported language '" + text + "': expected 'zh' or 'en'");
}

// A translation state: the language in force and the lookup.
struct I18n {
    Language language = Language::en;

    nb::object t(nb::handle key, nb::args args, nb::kwargs kwargs) const {
        std::string name = orvo::arg_str(key, "key");
        auto row = table().find(name);
        std::string_view raw = name;
        if (row != table().end())
            raw = language == Language::zh ? row->second->zh : row->second->en;
        nb::str text = orvo::to_str(raw);
        if (args.size() == 0 && kwargs.size() == 0 && raw.find_first_of("{}") == std::string_view::npos)
            return text;
        // A placeholder without its value leaves the text unfilled.
        return orvo::guard([&]() -> nb::object { return text.attr("format")(*args, **kwargs); },
                           [&](nb::python_error &) -> nb::object { return text; });
    }
    const char *code() const { return language == Language::zh ? "zh" : "en"; }
};

I18n &current() {
    static I18n state;
    return state;
}

}  // namespace

NB_MODULE(i18n, m) {
    orvo::translate_errors();
    m.doc() = "Interface texts by key in the current language (Chinese or English).";
    table();  // a duplicated key stops the module from loading

    nb::class_<I18n>(m, "I18n", "A translation state: the current language and the text lookup.")
        .def(nb::init<>(), nb::sig("def __init__(self) -> None"))
        .def("t", &I18n::t, nb::sig("def t(self, key: str, *args, **kwargs) -> str"), "key"_a.none(), "args"_a,
             "kwargs"_a,
             "Return the text of `key` in the current language, with placeholders filled "
             "by str.format rules; a key without a text is returned as it stands.")
        .def("get_language", &I18n::code, nb::sig("def get_language(self) -> str"),
             "Return the current language code: 'zh' or 'en'.")
        .def(
            "set_language", [](I18n &self, nb::handle code) { self.language = parse_language(code); },
            nb::sig("def set_language(self, code: str) -> None"), "code"_a.none(),
            "Switch the language: 'zh' for Chinese, 'en' for English.");

    m.def(
        "t", [](nb::handle key, nb::args args, nb::kwargs kwargs) { return current().t(key, args, kwargs); },
        nb::sig("def t(key: str, *args, **kwargs) -> str"), "key"_a.none(), "args"_a, "kwargs"_a,
        "Return the text of `key` in the current language, with placeholders filled by "
        "str.format rules; a key without a text is returned as it stands.");
    m.def(
        "get_language", [] { return current().code(); }, nb::sig("def get_language() -> str"),
        "Return the current language code: 'zh' or 'en'.");
    m.def(
        "set_language", [](nb::handle code) { current().language = parse_language(code); },
        nb::sig("def set_language(code: str) -> None"), "code"_a.none(),
        "Switch the language of every later lookup: 'zh' for Chinese, 'en' for English.");
    orvo::publish(m);
    orvo::define_all(m);
}
