// Running a definition pattern's automaton over a text.
#pragma once

#include "automaton.hpp"

#include <cstddef>
#include <functional>
#include <string_view>

namespace quorlin {

// Every match of the machine's pattern in `text`, left to right, each search
// resuming where the previous match ended (what `re.finditer` gives): `emit`
// gets the slots of each and returns false to stop the run. False when `emit`
// stopped it. When `work` is given, the number of positions the run looked at
// is added to it: every character the automaton read, in the searches and in
// the checks of a `[^)]*\)`, and every byte that the scans for a match's start
// and for a ")" passed over. For the definition patterns it grows with the
// length of the text, never with its square.
bool for_each_match(Machine &machine, std::string_view text, const CharClasses &classes,
                    const std::function<bool(const Slots &)> &emit, std::size_t *work = nullptr);

}  // namespace quorlin
