// Prompt enhancement. For now the module offers the definition extraction, as
// private functions that check it against the host's `re`.
#include "definitions.hpp"
#include "host.hpp"

#include <orvo/files.hpp>
#include <orvo/python.hpp>

#include <new>
#include <stdexcept>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// A host text as UTF-8. A lone surrogate is written in three bytes (the
// "surrogatepass" form), which the engine reads as a character of its own.
class Utf8 {
public:
    explicit Utf8(const nb::str &text) {
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!data) {
            PyErr_Clear();
            bytes_ = nb::steal(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
            if (!bytes_.is_valid())
                throw nb::python_error();
            data = PyBytes_AS_STRING(bytes_.ptr());
            size = PyBytes_GET_SIZE(bytes_.ptr());
        }
        view_ = std::string_view(data, static_cast<std::size_t>(size));
    }
    std::string_view view() const { return view_; }

private:
    nb::object bytes_;  // holds the surrogatepass form when there is one
    std::string_view view_;
};

nb::str host_text(std::string_view utf8) {
    PyObject *text = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (!text)
        throw nb::python_error();
    return nb::steal<nb::str>(text);
}

nb::list host_list(const std::vector<std::string> &names) {
    nb::list list;
    for (const std::string &name : names)
        list.append(host_text(name));
    return list;
}

// Engine failures other than exhausted memory (a MemoryError) would be faults
// of this module; they reach the caller without the engine's own wording.
template <typename Body>
auto guarded(Body &&body) -> decltype(body()) {
    try {
        return body();
    } catch (const nb::python_error &) {
        throw;
    } catch (const nb::builtin_exception &) {
        throw;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &) {
        orvo::raise(PyExc_RuntimeError, "definition extraction failed");
    }
}

std::optional<quorlin::SuffixGroup> group_of(const nb::str &suffix) {
    return quorlin::suffix_group(Utf8(suffix).view());
}

nb::list definition_finds(const nb::str &suffix, int pattern, const nb::str &text) {
    const std::optional<quorlin::SuffixGroup> group = group_of(suffix);
    if (!group)
        orvo::raise(PyExc_ValueError, "no definition patterns for the suffix " + orvo::from_str(nb::repr(suffix)));
    if (pattern != 0 && pattern != 1)
        orvo::raise(PyExc_ValueError, "pattern must be 0 or 1, not " + std::to_string(pattern));
    return guarded([&] {
        const Utf8 utf8(text);
        const bool pairs = *group == quorlin::SuffixGroup::script && pattern == 1;
        nb::list finds;
        for (const quorlin::Find &find :
             quorlin::definition_finds(*group, pattern, utf8.view(), quorlin::host_char_classes())) {
            if (pairs)
                finds.append(nb::make_tuple(host_text(find.first), host_text(find.second)));
            else
                finds.append(host_text(find.first));
        }
        return finds;
    });
}

nb::list extract_from_text(const nb::str &suffix, const nb::str &text) {
    const std::optional<quorlin::SuffixGroup> group = group_of(suffix);
    if (!group)
        return nb::list();
    return guarded([&] {
        const Utf8 utf8(text);
        return host_list(quorlin::extract_definitions(*group, utf8.view(), quorlin::host_char_classes()));
    });
}

nb::list extract_from_file(nb::handle file_path) {
    const std::string path = orvo::arg_path(file_path, "file_path");
    return guarded([&] {
        quorlin::host_char_classes();
        std::vector<std::string> names;
        {
            nb::gil_scoped_release unlocked;
            names = quorlin::definitions_of_file(path);
        }
        return host_list(names);
    });
}

}  // namespace

NB_MODULE(quorlin, m) {
    m.doc() = "Prompt enhancement: the definitions of a project's source files.";

    m.def("_definition_finds", &definition_finds,
          nb::sig("def _definition_finds(suffix: str, pattern: int, text: str) -> list[str] | list[tuple[str, str]]"),
          "suffix"_a, "pattern"_a, "text"_a,
          "The finds of pattern 0 or 1 of the suffix's group in a text, as re.finditer gives them: the "
          "group's text, or the pair of group texts for the pattern with two groups (a group that took no "
          "part counts as ''). Serves to check the engine against the host's re.");
    m.def("_extract_definitions_from_text", &extract_from_text,
          nb::sig("def _extract_definitions_from_text(suffix: str, text: str) -> list[str]"), "suffix"_a, "text"_a,
          "The defined names of a text with the given file suffix: at most 20, without repeats, in the "
          "order found.");
    m.def("_extract_definitions_from_file", &extract_from_file,
          nb::sig("def _extract_definitions_from_file(file_path: str | os.PathLike[str]) -> list[str]"),
          "file_path"_a.none(),
          "The defined names of one file, chosen by its suffix; [] when the file cannot be read.");
}
