// The automaton of one definition pattern: a lazy DFA over a Pike VM, with
// tags for the capture groups.
//
// A pattern is compiled once into a Pike VM program (pattern.hpp): threads are
// kept in priority order, all take one step per character, and a thread that
// reaches an instruction already reached at this character is dropped, since
// the thread there has the same future and a higher priority. This gives the
// leftmost-first matches of a backtracking engine, capture groups included,
// for patterns without back-references and look-arounds, in time linear in
// the text for one search.
//
// The lazy DFA caches those steps as texts need them. A state is the ordered
// set of threads at a position without their capture positions (a thread is
// the reading instruction, or the match, that it reached through the epsilon
// closure of the instructions before); the capture positions travel beside
// the state as tags ("slots"), and a transition records how the tags of the
// next state are made from those of the state before ("moves"). A transition
// depends on the state, the byte class of the character read (the characters
// that every reading instruction treats alike, `ByteClasses`), the
// look-around assertions that hold at the next position (a `LookSet`: a line
// start, and the guard of a `[^)]*\)`), and on whether a match is known. It
// is worked out once by the Pike VM's step and then only replayed on the
// tags. The cache depends on no text and is kept, per thread, for later
// texts, within a memory budget (see `LazyDfa`).
#pragma once

#include "classes.hpp"
#include "pattern.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace quorlin {

// A set of instructions (of values below a capacity) with constant-time
// insertion, membership and clearing: a dense list of the members and, by
// value, the member's place in that list (Briggs and Torczon).
class SparseSet {
public:
    explicit SparseSet(std::size_t capacity) : dense_(capacity), sparse_(capacity) {}

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return dense_.size(); }
    void clear() { size_ = 0; }
    bool contains(int value) const {
        const std::uint32_t place = sparse_[static_cast<std::size_t>(value)];
        return place < size_ && dense_[place] == value;
    }
    // Add `value`; false when it was a member already.
    bool insert(int value) {
        if (contains(value))
            return false;
        dense_[size_] = value;
        sparse_[static_cast<std::size_t>(value)] = static_cast<std::uint32_t>(size_);
        ++size_;
        return true;
    }

private:
    std::vector<int> dense_;
    std::vector<std::uint32_t> sparse_;
    std::size_t size_ = 0;
};

// The byte classes of a program for one table of character classes: the
// characters that every reading instruction treats alike share a class. The
// ASCII characters are sorted one by one, the others by their word and space
// flags alone (no instruction names a character outside ASCII).
class ByteClasses {
public:
    ByteClasses(const Program &program, const CharClasses &classes);

    std::size_t get(char32_t c, unsigned flags) const { return c < 128 ? ascii_[c] : other_[flags]; }
    std::size_t count() const { return representatives_.size(); }
    // A character of the class and its flags.
    std::pair<char32_t, unsigned> representative(std::size_t byte_class) const {
        return representatives_[byte_class];
    }

private:
    std::array<std::uint8_t, 128> ascii_{};
    std::array<std::uint8_t, 4> other_{};  // by word and space flags
    std::vector<std::pair<char32_t, unsigned>> representatives_;
};

// The threads of one position, without their slots: the reading instructions
// (and the match) they are at, in priority order, and which of them share
// their slots by the way they came.
struct Threads {
    std::vector<int> pcs;
    std::vector<int> slots_of;  // by thread: its slots, an index into the slots kept
    int match = -1;             // the first thread at the match; the threads after it are cut
    LookSet looks;              // the assertions its steps may ask of the next position
};

// How a step makes the slots of the next threads: each from the slots `from`
// of the threads before (or fresh ones for a new start, -1), with the slots
// of `saves` set to the new position.
struct SlotsMove {
    int from;
    std::uint8_t saves;
};

// The Pike VM's step, without a cache: what the lazy DFA caches, and what a
// search falls back to where the cache keeps outgrowing its budget.
class PikeVm {
public:
    PikeVm(const Program &program, const CharClasses &classes);

    const Program &program() const { return program_; }
    const ByteClasses &byte_classes() const { return byte_classes_; }

    // The step from `before` on a character of `byte_class` to `after`, with
    // the assertions of `holding` at the next position and a new start at
    // `start_pc` (none when -1): the threads before the first match read the
    // character in priority order, each adding the closure of its next
    // instruction but the instructions that a thread of higher priority has
    // reached, and then the new start does the same. Threads that come from
    // the same slots with the same saves share slots; `moves` gets how.
    void step(const Threads &before, std::size_t byte_class, LookSet holding, int start_pc, Threads &after,
              std::vector<SlotsMove> &moves);
    // The match and the assertions of `threads`, from its instructions.
    void describe(Threads &threads) const;

private:
    bool consumes(const Inst &inst, char32_t c, unsigned flags) const {
        return inst.op == Op::character ? inst.arg == c : program_.sets[inst.arg].contains(c, flags);
    }

    const Program &program_;
    ByteClasses byte_classes_;
    SparseSet reached_;
};

// A state of the lazy DFA: its threads, and its transitions by key (see
// `LazyDfa::step_from`), -1 while unknown.
struct State {
    Threads threads;
    std::vector<int> next;
};

struct Step {
    int state;
    std::vector<SlotsMove> moves;
};

// The lazy DFA of one pattern for one table of character classes, grown as
// texts need it. It depends on no text, so later texts use it again.
//
// Its cache (states, transitions and their index) has a memory budget, which
// a search checks before every transition it adds: past it the cache is
// cleared, but for the state the search is in, and the search goes on. A
// search that clears the cache more than `clears_before_pike_vm` times goes
// on with the Pike VM's steps, uncached, to its end.
class LazyDfa {
public:
    // The budget: 4 MiB, some three thousand states of the largest
    // definition patterns (about 1.4 KB each with their steps), where the
    // sources tried reach about two hundred.
    static constexpr std::size_t default_memory_budget = std::size_t(4) << 20;
    static constexpr unsigned clears_before_pike_vm = 3;

    LazyDfa(const Program &program, const CharClasses &classes,
            std::size_t memory_budget = default_memory_budget);

    const Program &program() const { return pike_vm_.program(); }
    PikeVm &pike_vm() { return pike_vm_; }
    std::uint64_t classes_id() const { return classes_id_; }
    std::size_t byte_class(char32_t c, unsigned flags) const { return pike_vm_.byte_classes().get(c, flags); }
    bool first_byte(unsigned char b) const { return first_bytes_[b]; }

    std::size_t state_count() const { return states_.size(); }
    // The state without threads, the first of the cache.
    static constexpr int empty_state = 0;
    const State &state(int id) const { return states_[static_cast<std::size_t>(id)]; }
    const Step &step(int id) const { return steps_[static_cast<std::size_t>(id)]; }

    // The step from no thread to a new start at `start_pc`: 0, or the rest of
    // a guarded pattern.
    int start_step(int start_pc, LookSet holding);
    // The step from `state` on a character of `byte_class`, with a new start
    // at `start_pc` (0) or none (-1).
    int step_from(int state, std::size_t byte_class, LookSet holding, int start_pc) {
        State &from = states_[static_cast<std::size_t>(state)];
        const std::size_t key = (byte_class * LookSet::count + holding.bits()) * 2 + (start_pc < 0 ? 0 : 1);
        int step = from.next[key];
        if (step < 0) {
            step = build_step(from.threads, byte_class, holding, start_pc);
            states_[static_cast<std::size_t>(state)].next[key] = step;  // `from` may have moved
        }
        return step;
    }

    // The bytes the cache holds, roughly, and whether that is past the budget.
    std::size_t memory_usage() const { return memory_; }
    bool over_budget() const { return over_budget_; }
    // Clear the cache but for `state`, which keeps its threads (and so the
    // meaning of its slots) under the id returned.
    int clear_keeping(int state);
    // How often the cache was cleared.
    std::size_t clear_count() const { return clear_count_; }

private:
    int build_step(const Threads &before, std::size_t byte_class, LookSet holding, int start_pc);
    int intern(Threads threads);
    void reset();

    PikeVm pike_vm_;
    std::uint64_t classes_id_;
    std::size_t memory_budget_;
    std::array<bool, 256> first_bytes_{};
    std::vector<State> states_;
    std::vector<Step> steps_;
    std::map<std::vector<int>, int> index_;
    std::array<int, LookSet::count> start_steps_{};       // from no thread to a start, by the assertions there
    std::array<int, LookSet::count> rest_start_steps_{};  // the same for the rest of a guarded pattern
    std::size_t memory_ = 0;
    bool over_budget_ = false;  // memory_ > memory_budget_
    std::size_t clear_count_ = 0;
    Threads after_;                   // scratch of `build_step`
    std::vector<SlotsMove> moves_;    // scratch of `build_step`
};

}  // namespace quorlin
