// The extraction command: the comment document of the working directory,
// written record by record as the tree is walked.
#include "bindings.hpp"
#include "engine.hpp"
#include "json_text.hpp"

#include <orvo/files.hpp>
#include <orvo/replace.hpp>

#include <cerrno>
#include <optional>

#include <sys/stat.h>

namespace nestrel {

namespace {

void make_directory(const std::string &path) {
    if (::mkdir(path.c_str(), 0777) == 0)
        return;
    int error = errno;
    struct stat info;
    if (error == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return;
    orvo::raise_os_error(error, path);
}

// The comment document being written by the command: created at the first
// record, so that a tree without comments leaves ".orvo" alone. It is written
// only where it lies inside the working directory: a cloned tree may bring
// ".orvo" or the document as a link to any place.
class DocumentStream {
public:
    explicit DocumentStream(std::string working_directory)
        : base_(std::move(working_directory)), directory_(base_ + "/.orvo") {}

    void add(const FileResult &result) {
        if (!file_) {
            make_directory(directory_);
            saving([&] {
                std::string target = orvo::resolved_path(path());
                if (!orvo::lies_below(target, base_))
                    leads_out(target);
                file_.emplace(target);
                writer_.emplace([this](std::string_view piece) { file_->write(piece); });
                writer_->begin_records();
            });
        }
        saving([&] {
            if (!orvo::is_valid_utf8(result.file))
                orvo::to_utf8_strict(orvo::path_to_str(result.file));  // raises: a name that is no UTF-8
            writer_->record(result);
        });
        ++records_;
        entries_ += result.comments.items.size();
    }

    void finish() {
        saving([&] {
            writer_->end_records();
            writer_->flush();
            file_->commit();
        });
    }

    std::string path() const { return directory_ + "/comments.json"; }
    std::size_t records() const { return records_; }
    std::size_t entries() const { return entries_; }

private:
    [[noreturn]] void leads_out(const std::string &target) const {
        nb::str text = nb::str("{!r} leads out of the working directory, to {!r}")
                           .format(orvo::path_to_str(path()), orvo::path_to_str(target));
        PyErr_SetObject(PyExc_OSError, text.ptr());
        throw nb::python_error();
    }

    // Errors of writing the document carry the saving message.
    template <typename Step>
    static void saving(Step &&step) {
        orvo::guard(step, [](nb::python_error &error) { save_failed(error); });
    }

    std::string base_, directory_;
    std::optional<orvo::FileReplacement> file_;
    std::optional<JsonWriter> writer_;
    std::size_t records_ = 0, entries_ = 0;
};

// The extraction command. Each record goes into the document as soon as its
// file is read: the Python form of the records would only be written and
// dropped, and memory stays bounded by the largest file.
orvo::Ending extraction() {
    return orvo::guard(
        [] {
            nb::object extractor = orvo::module("nestrel").attr("Nestrel")();
            orvo::print("正在扫描目录并提取注释...");
            std::string cwd = orvo::working_directory();
            std::vector<std::string> ignore = ignore_list(extractor);
            DocumentStream document(cwd);
            auto interrupted = [] {
                if (PyErr_CheckSignals() != 0)
                    throw nb::python_error();
                return false;
            };
            scan(cwd, cwd, ignore, interrupted, [&](const FileResult &result) { document.add(result); });
            if (document.records() == 0) {
                orvo::print("未找到任何包含注释的编程语言文件。");
                return orvo::Ending::done;
            }
            document.finish();
            orvo::print("注释提取完成！");
            orvo::print("扫描的文件数量: " + std::to_string(document.records()));
            orvo::print("提取的注释总数: " + std::to_string(document.entries()));
            orvo::print(nb::str("结果已保存到: {}").format(orvo::path_to_str(document.path())));
            return orvo::Ending::done;
        },
        [](nb::python_error &error) {
            orvo::print(orvo::joined("注释提取过程中发生错误: ", orvo::error_text(error)));
            return orvo::Ending::failed;
        });
}

void extract_comments() { extraction(); }

}  // namespace

void register_command(nb::module_ &m) {
    m.def("extract_comments", &extract_comments, nb::sig("def extract_comments() -> None"),
          "Extract the comments of the working directory's tree into .orvo/comments.json and print a summary.");
    m.def("main", &extract_comments, nb::sig("def main() -> None"), "Run the comment extraction command once.");
    orvo::def_script(m, extraction);
}

}  // namespace nestrel
