#include "orvo/dialogue.hpp"

namespace orvo {

std::string rule(char c, std::size_t width) { return std::string(width, c); }

void frame(nb::handle title, std::size_t width) {
    std::string opening(1, '\n');
    opening.append(width, '=');
    orvo::print(opening);
    orvo::print(title);
    orvo::print(rule('=', width));
}

void print_after_blank(nb::handle text) { orvo::print(joined("\n", text)); }

std::string ask_trimmed(nb::handle prompt) { return std::string(strip(read_line(prompt))); }

std::string ask(nb::handle prompt) { return lower(ask_trimmed(prompt)); }

bool one_of(std::string_view answer, std::initializer_list<std::string_view> accepted) {
    for (std::string_view word : accepted)
        if (answer == word)
            return true;
    return false;
}

bool is_yes(std::string_view answer) { return one_of(answer, {"", "y", "yes", "是"}); }

}  // namespace orvo
