// The extraction command: the comment document of the working directory,
// written record by record as the tree is walked.
#include "bindings.hpp"
#include "engine.hpp"
#include "json_text.hpp"

#include <orvo/files.hpp>
#include <orvo/replace.hpp>

#include <cerrno>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace nestrel {

namespace {

// The comment document being written by the command: created at the first
// record, so that a tree without comments leaves ".orvo" alone. It is written
// only where it lies inside the working directory: a cloned tree may bring
// ".orvo" or the document as a link to any place. Every step from the working
// directory to the file written goes through descriptors (the folder opened
// beneath the working directory, each link of the document read and followed
// from the directory that holds it), so that a link swapped in on the way
// cannot lead the writing elsewhere.
class DocumentStream {
public:
    explicit DocumentStream(std::string working_directory)
        : base_(std::move(working_directory)), directory_(base_ + "/.orvo") {}

    void add(const FileResult &result) {
        if (!file_) {
            make_folder();
            saving([&] {
                orvo::EntryPlace place = document_place();
                std::optional<std::string> real = orvo::real_path_of(place.directory.get());
                std::string shown = real ? orvo::join_path(*real, place.name) : path();
                file_.emplace(place.directory.get(), place.name, shown, 0666, place.exists ? &place.found : nullptr);
                writer_.emplace([this](std::string_view piece) { file_->write(piece); });
                writer_->begin_records();
            });
        }
        saving([&] { writer_->record(result); });
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
    // The working directory held open, and ".orvo" made in it where it is
    // missing.
    void make_folder() {
        std::optional<orvo::OpenDirectory> work = orvo::open_directory(base_, O_PATH);
        if (!work)
            orvo::raise_os_error(errno, base_);
        work_ = std::move(*work);
        if (::mkdirat(work_.fd.get(), ".orvo", 0777) == 0)
            return;
        const int error = errno;
        struct stat info;
        if (error == EEXIST && ::fstatat(work_.fd.get(), ".orvo", &info, 0) == 0 && S_ISDIR(info.st_mode))
            return;
        orvo::raise_os_error(error, directory_);
    }

    // Where the document is written: ".orvo" opened beneath the working
    // directory, then the links of the document followed one by one, each
    // from the directory that holds it, as `open` would follow them, but
    // never out of the working directory.
    orvo::EntryPlace document_place() const {
        try {
            orvo::EntryPlace place{orvo::open_directory_within(work_, work_.fd.get(), ".orvo", path()),
                                   "comments.json"};
            orvo::follow_links_within(work_, place, path());
            return place;
        } catch (const orvo::OsError &error) {
            if (error.error == EXDEV)
                leads_out();
            throw;
        }
    }

    // Refuse a document that leads out of the working directory, naming where
    // it leads (its resolved name, for the message alone: nothing is written).
    // A refusal of the command's own, not a failed system call: a `ValueError`.
    [[noreturn]] void leads_out() const {
        const std::string target = orvo::resolved_path(path());
        orvo::raise(PyExc_ValueError, nb::str("{!r} leads out of the working directory, to {!r}")
                                          .format(orvo::path_to_str(path()), orvo::path_to_str(target)));
    }

    // Errors of writing the document carry the saving message.
    template <typename Step>
    static void saving(Step &&step) {
        orvo::guard(step, [](nb::python_error &error) { save_failed(error); });
    }

    std::string base_, directory_;
    orvo::OpenDirectory work_;
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
            orvo::NativeWork work;
            work.run([&] {
                scan(cwd, cwd, ignore, [&] { return work.checkpoint(); },
                     [&](const FileResult &result) { work.with_gil([&] { document.add(result); }); });
            });
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
