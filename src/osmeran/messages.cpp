// The module's own English message table and its lookup.
#include "bindings.hpp"

namespace osmeran {

using namespace nb::literals;

namespace {

nb::dict translations() {
    nb::dict table;
    table["warning_title"] = "DANGER WARNING";
    table["warning_message"] = "This operation will MODIFY your source code files and CANNOT BE UNDORED!";
    nb::list details;
    for (const char *line : {"\u2022 This will overwrite existing comments in your source files",
                             "\u2022 Only single-line comments (with specific line numbers) will be injected",
                             "\u2022 Multi-line comment ranges (like \"1-3\") will be ignored",
                             "\u2022 This operation is IRREVERSIBLE and may damage your code",
                             "\u2022 Please backup your code before proceeding"})
        details.append(line);
    table["warning_details"] = details;
    table["backup_recommendation"] = "\u26A0\uFE0F  Please create a backup of your code before this operation!";
    table["warning_prompt"] = "Type \"CONFIRM\" to proceed with comment injection: ";
    table["invalid_confirmation"] = "Invalid confirmation. Operation cancelled.";
    table["operation_cancelled"] = "Operation cancelled by user.";
    table["no_comments_file_found"] = "No comments.json file found in .orvo directory.";
    table["comment_file_path"] = "Comments file path: {}";
    table["reading_comments_file"] = "Reading comments file...";
    table["injecting_comments"] = "Injecting comments to source files...";
    table["comment_injection_complete"] = "Comment injection completed!";
    table["files_modified_count"] = "Number of files modified: {}";
    table["comments_injected_count"] = "Total comments injected: {}";
    table["comment_injection_error"] = "Error during comment injection: {}";
    return table;
}

nb::object t(nb::handle key, nb::args args, nb::kwargs kwargs) { return lookup(key, args, kwargs); }

}  // namespace

// The table's text of `key` (the key itself when it has none), filled from
// the arguments by str.format rules, or unfilled when they do not fit.
nb::object lookup(nb::handle key, nb::handle args, nb::handle kwargs) {
    orvo::arg_str(key, "key");
    nb::object text = orvo::module("osmeran").attr("translations").attr("get")(key, key);
    if (PyList_Check(text.ptr()))
        return text;
    return orvo::guard(
        [&] {
            nb::object format = text.attr("format");
            PyObject *filled = PyObject_Call(format.ptr(), args.ptr(), kwargs.ptr());
            if (!filled)
                throw nb::python_error();
            return nb::steal(filled);
        },
        [&](nb::python_error &) { return text; });  // a placeholder without its value: the text unfilled
}

void register_messages(nb::module_ &m) {
    m.attr("translations") = translations();
    m.def("t", &t, nb::sig("def t(key: str, *args, **kwargs) -> str | list[str]"), "key"_a.none(), "args"_a, "kwargs"_a,
          "The text of a key in the module's own English table, with placeholders filled by str.format "
          "rules; a key without a text is returned as it stands.");
}

}  // namespace osmeran
