// The command run_quorlin: what one run keeps and the pieces that its actions
// share (command.cpp, actions.cpp).
#pragma once

#include "bindings.hpp"

namespace quorlin {

// What one run of the command keeps: the Quorlin of the run, the task text,
// and the answer shown.
struct Run {
    nb::object enhancer;
    nb::str user_prompt;
    nb::object enhanced_prompt;
};

// The mode menu and its question: the mode literal chosen.
nb::str choose_mode();
// The diff of a review: the module's `get_staged_changes()` when it is a str
// not empty after trimming, else its `get_unstaged_changes()` when that is;
// nothing when neither is. With `tell`, each finding is printed as the review
// step tells it (staged changes found; none staged, before the unstaged
// changes are asked for; unstaged changes found; no changes at all).
std::optional<nb::object> staged_or_unstaged_diff(bool tell);
// The save action: the answer file, then the keep/delete question; failed
// when the file could not be deleted as asked.
orvo::Ending save_answer(const Run &run);
// The retry action: true when it gave a new answer to show.
bool retry(Run &run);

}  // namespace quorlin
