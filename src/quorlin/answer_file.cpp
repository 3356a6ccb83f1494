// The answer file's name and content.
#include "answer_file.hpp"
#include "prompts.hpp"

#include <orvo/files.hpp>
#include <orvo/text.hpp>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorlin {

namespace {

enum class Found { nothing, earlier_answer, other };

// What is at `name` in the directory open at `directory`: nothing (or
// nothing that can be tested), an earlier answer file, which may be replaced
// (`info` then describes it), or something else, which may not. The test is
// made on the open file.
Found found_at(int directory, const std::string &name, struct stat &info) {
    if (::fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return Found::nothing;
    if (!S_ISREG(info.st_mode))
        return Found::other;
    const int fd = ::openat(directory, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return Found::other;
    char head[answer_opening.size()];
    std::size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = ::read(fd, head + got, sizeof head - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    return regular && std::string_view(head, got) == answer_opening ? Found::earlier_answer : Found::other;
}

}  // namespace

std::string cleaned_filename(std::string_view proposal) {
    std::string name(without_fences(proposal));
    if (!name.ends_with(".md"))
        name.append(".md");
    return name;
}

bool is_plain_name(std::string_view name) {
    return name.find_first_of("/\\") == std::string_view::npos && !orvo::has_line_break(name);
}

std::string numbered_name(std::string_view name, std::size_t number) {
    std::string_view stem = name.ends_with(".md") ? name.substr(0, name.size() - 3) : name;
    return std::string(stem) + "-" + std::to_string(number) + ".md";
}

std::string answer_file_text(std::string_view answer) {
    std::string text(answer_opening);
    text.append(answer).push_back('\n');
    return text;
}

AnswerName free_answer_name(int directory, const std::string &name) {
    AnswerName chosen{name};
    for (std::size_t number = 1;; ++number) {
        const Found found = found_at(directory, chosen.name, chosen.found);
        if (found != Found::other) {
            chosen.earlier = found == Found::earlier_answer;
            return chosen;
        }
        chosen.name = numbered_name(name, number);
    }
}

}  // namespace quorlin
