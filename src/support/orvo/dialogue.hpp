// The terminal dialogue shared by the commands: rules and frames, questions
// whose answers are trimmed (and lower-cased), and the usual answers.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace orvo {

// `width` times the character `c`.
std::string rule(char c, std::size_t width);

// A title between two rules of "=", the first preceded by an empty line.
void frame(nb::handle title, std::size_t width);

// An empty line, then `text`, as one print.
void print_after_blank(nb::handle text);

// The answer to `prompt`, trimmed.
std::string ask_trimmed(nb::handle prompt);
// The answer to `prompt`, trimmed and lower-cased.
std::string ask(nb::handle prompt);

bool one_of(std::string_view answer, std::initializer_list<std::string_view> accepted);
// The yes of a yes/no question whose default is yes: "", "y", "yes" or "是".
bool is_yes(std::string_view answer);

}  // namespace orvo
