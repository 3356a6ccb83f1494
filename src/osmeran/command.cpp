// The injection command: the comment document of the working directory,
// written into the sources after the user has typed the confirmation word.
#include "bindings.hpp"

#include <orvo/dialogue.hpp>

#include <string>

namespace osmeran {

namespace {

bool show_warning_and_get_confirmation() {
    orvo::frame(orvo::joined("\u26A0\uFE0F  ", text("warning_title").attr("upper")()), 80);
    orvo::print(text("warning_message"));
    orvo::print();
    for (nb::handle detail : text("warning_details"))
        orvo::print(orvo::joined("  ", detail));
    orvo::print();
    orvo::print(text("backup_recommendation"));
    orvo::print();
    for (;;) {
        std::string choice = orvo::ask_trimmed(text("warning_prompt"));
        if (choice == "CONFIRM")
            return true;
        if (orvo::one_of(orvo::lower(choice), {"cancel", "c", "no", "n"}))
            return false;
        orvo::print(text("invalid_confirmation"));
    }
}

// The errors of an injection, the first five of them; failed when there are any.
orvo::Ending print_errors(nb::handle errors) {
    nb::list shown = nb::steal<nb::list>(PySequence_List(errors.ptr()));  // a copy: printing runs Python code
    if (!shown.is_valid())
        throw nb::python_error();
    std::size_t count = shown.size();
    if (count == 0)
        return orvo::Ending::done;
    orvo::print("\n\u26A0\uFE0F  发生 " + std::to_string(count) + " 个错误:");
    for (std::size_t i = 0; i < count && i < 5; ++i)
        orvo::print(orvo::joined("  \u2022 ", shown[i]));
    if (count > 5)
        orvo::print("  \u2022 ... 还有 " + std::to_string(count - 5) + " 个错误");
    return orvo::Ending::failed;
}

orvo::Ending injection() {
    return orvo::guard(
        [] {
            nb::object base = orvo::module("pathlib").attr("Path")(orvo::path_to_str(orvo::working_directory()));
            nb::object path = base / nb::str(".orvo") / nb::str("comments.json");
            if (!orvo::truthy(orvo::module("os").attr("path").attr("exists")(path))) {
                orvo::print(text("no_comments_file_found"));
                return orvo::Ending::failed;
            }
            orvo::print(text("comment_file_path", path));
            orvo::print(text("reading_comments_file"));
            nb::object injector = orvo::module("osmeran").attr("Osmeran")();
            nb::object document = injector.attr("load_comments_from_json")(path);
            if (document.is_none() || (PyList_Check(document.ptr()) && nb::len(document) == 0)) {
                orvo::print(orvo::joined("\u274C ", text("comment_injection_error", "Failed to load comments data")));
                return orvo::Ending::failed;
            }
            std::size_t files = 0, comments = 0;
            for (nb::handle element : document) {
                ++files;
                comments += entries_of(element_of(element)).size();
            }
            orvo::print("\n\U0001F4CA 将处理 " + std::to_string(files) + " 个文件中的 " + std::to_string(comments) +
                        " 个注释");
            if (!show_warning_and_get_confirmation()) {
                orvo::print(text("operation_cancelled"));
                return orvo::Ending::done;
            }
            orvo::print_after_blank(text("injecting_comments"));
            nb::object stats = injector.attr("inject_comments")(document, base);
            orvo::print_after_blank(text("comment_injection_complete"));
            orvo::print(text("files_modified_count", stats["files_modified"]));
            orvo::print(text("comments_injected_count", stats["comments_injected"]));
            nb::object skipped = stats["skipped_multiline"];
            if (skipped > nb::int_(0))
                orvo::print(orvo::joined("跳过多行注释: ", skipped));
            return print_errors(stats["errors"]);
        },
        [](nb::python_error &error) {
            orvo::print(orvo::joined("\u274C ", text("comment_injection_error", orvo::error_text(error))));
            return orvo::Ending::failed;
        });
}

void inject_comments_from_files() { injection(); }

}  // namespace

void register_command(nb::module_ &m) {
    m.def("show_warning_and_get_confirmation", &show_warning_and_get_confirmation,
          nb::sig("def show_warning_and_get_confirmation() -> bool"),
          "Show the danger warning and ask until the user types CONFIRM (True) or a cancel word (False).");
    m.def("inject_comments_from_files", &inject_comments_from_files,
          nb::sig("def inject_comments_from_files() -> None"),
          "Write the comments of .orvo/comments.json into the sources after the typed confirmation.");
    m.def("main", &inject_comments_from_files, nb::sig("def main() -> None"),
          "Run the comment injection command once.");
    orvo::def_script(m, injection);
}

}  // namespace osmeran
