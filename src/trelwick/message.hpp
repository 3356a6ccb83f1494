// The texts of the git workflow that need no Python: the commit-message
// request, the screening of the answer and the hint after a failed push.
#pragma once

#include <string>
#include <string_view>

namespace trelwick {

// The one user message that asks for a conventional commit message for `diff`.
std::string commit_prompt(std::string_view diff);

// An answer that is a web page rather than a message (the service answered
// with an error page of its own).
bool is_html_page(std::string_view answer);

// The translation key of the hint for a failed push: the first rule whose
// phrase occurs in git's lower-cased error text; nothing when none does.
const char *push_hint(std::string_view lowered_error);

}  // namespace trelwick
