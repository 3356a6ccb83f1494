// What the parts of the module share: the interface language, chat messages
// and answers.
#include "bindings.hpp"

namespace quorlin {

bool chinese() {
    nb::object language = self().attr("get_language")();
    int equal = PyObject_RichCompareBool(language.ptr(), nb::str("zh").ptr(), Py_EQ);
    if (equal < 0)
        throw nb::python_error();
    return equal == 1;
}

std::optional<std::string> encodable_path(nb::handle value, const char *name) {
    try {
        return orvo::arg_path(value, name);
    } catch (nb::python_error &error) {
        if (!error.matches(PyExc_UnicodeEncodeError))
            throw;
        return std::nullopt;
    }
}

std::string project_root(nb::handle self) {
    std::string root = orvo::arg_path(self.attr("current_dir"), "current_dir");
    if (root.find('\0') != std::string::npos)
        orvo::raise(PyExc_ValueError, "embedded null byte");
    return root;
}

void close_client(nb::handle client) {
    orvo::guard(
        [&] {
            if (nb::hasattr(client, "client") && nb::hasattr(client.attr("client"), "close"))
                client.attr("client").attr("close")();
        },
        [](nb::python_error &) {});
}

nb::list chat_messages(std::string_view system, std::string_view user) {
    nb::list messages;
    for (auto [role, content] : {std::pair{"system", system}, std::pair{"user", user}}) {
        nb::dict message;
        message["role"] = role;
        // A name that is not UTF-8 (a lone surrogate) cannot be sent: it is
        // shown as U+FFFD, so that the request still goes out.
        message["content"] = orvo::to_str(orvo::without_surrogates(content));
        messages.append(message);
    }
    return messages;
}

std::optional<nb::str> first_answer(nb::handle result) {
    if (result.is_none() || !orvo::truthy(result))
        return std::nullopt;
    int has_choices = PySequence_Contains(result.ptr(), nb::str("choices").ptr());
    if (has_choices < 0)
        throw nb::python_error();
    if (!has_choices)
        return std::nullopt;
    nb::object choices = result["choices"];
    if (!orvo::truthy(choices))
        return std::nullopt;
    nb::object content = choices[0]["message"]["content"];
    if (!PyUnicode_Check(content.ptr()))
        orvo::raise(PyExc_TypeError, "the answer's message content is " + orvo::type_name(content) + ", not str");
    return nb::borrow<nb::str>(content);
}

}  // namespace quorlin
