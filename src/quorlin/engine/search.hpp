// Running a definition pattern's automaton over a text.
#pragma once

#include "automaton.hpp"

#include <functional>
#include <string_view>

namespace quorlin {

// Every match of the machine's pattern in `text`, left to right, each search
// resuming where the previous match ended (what `re.finditer` gives): `emit`
// gets the slots of each and returns false to stop the run. False when `emit`
// stopped it.
bool for_each_match(Machine &machine, std::string_view text, const CharClasses &classes,
                    const std::function<bool(const Slots &)> &emit);

}  // namespace quorlin
