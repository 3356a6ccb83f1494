// Running a definition pattern's lazy DFA over a text.
#pragma once

#include "automaton.hpp"

#include <cstddef>
#include <functional>
#include <string_view>

namespace quorlin {

// What a run over a text did.
struct SearchStats {
    // The positions the run looked at: every character the automaton read,
    // in the searches and in the checks of a `[^)]*\)`, and every byte that
    // the scans for a match's start and for a ")" passed over. For the
    // definition patterns it grows with the length of the text, never with
    // its square.
    std::size_t work = 0;
    std::size_t cache_clears = 0;       // how often a search cleared the lazy DFA's cache
    std::size_t pike_vm_searches = 0;   // searches that went on with the Pike VM
};

// Every match of the DFA's pattern in `text`, left to right, each search
// resuming where the previous match ended (what `re.finditer` gives): `emit`
// gets the slots of each and returns false to stop the run. False when `emit`
// stopped it. When `stats` is given, what the run did is added to it.
bool for_each_match(LazyDfa &dfa, std::string_view text, const CharClasses &classes,
                    const std::function<bool(const Slots &)> &emit, SearchStats *stats = nullptr);

}  // namespace quorlin
