// Running git: one runner over the module's `subprocess.run`, and the texts of
// its failures.
#include "bindings.hpp"

namespace trelwick {

using namespace nb::literals;

namespace {

constexpr const char *GIT_NOT_FOUND = "Git command not found. Please ensure Git is installed.";

}  // namespace

nb::list git_args(std::initializer_list<std::string_view> args) {
    nb::list list;
    for (std::string_view arg : args)
        list.append(orvo::to_str(arg));
    return list;
}

nb::object run_git(nb::handle args, Output mode) {
    nb::object cwd = orvo::module("os").attr("getcwd")();
    nb::object run = self().attr("subprocess").attr("run");
    switch (mode) {
    case Output::utf8:
        return run(args, "cwd"_a = cwd, "capture_output"_a = true, "text"_a = true, "encoding"_a = "utf-8",
                   "check"_a = true);
    case Output::locale:
        return run(args, "cwd"_a = cwd, "capture_output"_a = true, "text"_a = true, "check"_a = true);
    case Output::raw:
        break;
    }
    return run(args, "cwd"_a = cwd, "capture_output"_a = true, "check"_a = true);
}

bool is_git_failure(const nb::python_error &error) {
    return error.matches(self().attr("subprocess").attr("CalledProcessError"));
}

nb::str decode_raw(nb::handle data) {
    if (PyUnicode_Check(data.ptr()))
        return nb::borrow<nb::str>(data);
    char *bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &bytes, &size) < 0)
        throw nb::python_error();
    std::string_view view(bytes, (std::size_t) size);
    if (orvo::is_valid_utf8(view))
        return orvo::to_str(view);
    for (const char *encoding : {"gbk", "gb2312"}) {
        try {
            return nb::str(data.attr("decode")(encoding));
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_UnicodeDecodeError))
                throw;
        }
    }
    return nb::str(data.attr("decode")("latin1"));
}

nb::str git_error_text(const nb::python_error &error) {
    if (is_git_failure(error)) {
        nb::object captured = error.value().attr("stderr");
        if (!captured.is_none() && orvo::truthy(captured))
            return decode_raw(captured);
    }
    return orvo::error_text(error);
}

nb::str report_text(const nb::python_error &error) {
    if (!is_git_failure(error) && error.matches(PyExc_FileNotFoundError))
        return orvo::to_str(GIT_NOT_FOUND);
    return git_error_text(error);
}

void show_git_output(nb::handle result) {
    std::string out = orvo::to_utf8(result.attr("stdout"));
    if (!out.empty())
        orvo::print("Git output: " + std::string(orvo::strip(out)));
}

}  // namespace trelwick
