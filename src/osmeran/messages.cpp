// The module's own English message table and its lookup.
#include "bindings.hpp"

namespace osmeran {

using namespace nb::literals;

namespace {

nb::dict translations() {
    nb::list details;
    for (const char *line : {"\u2022 This will overwrite existing comments in your source files",
                             "\u2022 Only single-line comments (with specific line numbers) will be injected",
                             "\u2022 Multi-line comment ranges (like \"1-3\") will be ignored",
                             "\u2022 This operation is IRREVERSIBLE and may damage your code",
                             "\u2022 Please backup your code before proceeding"})
        details.append(line);
    nb::dict table;
    static constexpr std::pair<const char *, const char *> texts[] = {
        {"warning_title", "DANGER WARNING"},
        {"warning_message", "This operation will MODIFY your source code files and CANNOT BE UNDORED!"},
        {"warning_details", nullptr},  // the list above
        {"backup_recommendation", "\u26A0\uFE0F  Please create a backup of your code before this operation!"},
        {"warning_prompt", "Type \"CONFIRM\" to proceed with comment injection: "},
        {"invalid_confirmation", "Invalid confirmation. Operation cancelled."},
        {"operation_cancelled", "Operation cancelled by user."},
        {"no_comments_file_found", "No comments.json file found in .orvo directory."},
        {"comment_file_path", "Comments file path: {}"},
        {"reading_comments_file", "Reading comments file..."},
        {"injecting_comments", "Injecting comments to source files..."},
        {"comment_injection_complete", "Comment injection completed!"},
        {"files_modified_count", "Number of files modified: {}"},
        {"comments_injected_count", "Total comments injected: {}"},
        {"comment_injection_error", "Error during comment injection: {}"},
    };
    for (const auto &[key, text] : texts)
        table[key] = text ? nb::object(nb::str(text)) : nb::object(details);
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
