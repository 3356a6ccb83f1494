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
// The DFA is built lazily, as texts need it. A state is the ordered set of
// threads at a position without their capture positions (a thread is the
// reading instruction, or the match, that it reached through the epsilon
// closure of the instructions before); the capture positions travel beside
// the state as tags ("slots"), and a transition records how the tags of the
// next state are made from those of the state before ("saves"). A transition
// depends on the state, the byte class of the character read (here a
// character class: the characters that every reading instruction treats
// alike, a "kind"), the empty-width assertions that hold at the next position
// ("questions", whose truth values are the "answers": a line start, and the
// guard of a `[^)]*\)`), and on whether a match is known. It is worked out
// once and then only replayed on the tags. The automaton depends on no text
// and is kept, per thread, for later texts.
#pragma once

#include "classes.hpp"
#include "pattern.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace quorlin {

// Marks of the instructions reached at one position.
class Marks {
public:
    explicit Marks(std::size_t size) : mark_(size, 0) {}

    void clear() {
        if (++generation_ == 0) {  // wrapped around: forget every old mark
            std::fill(mark_.begin(), mark_.end(), 0);
            generation_ = 1;
        }
    }
    // Mark `pc`; false when it was marked already.
    bool reach(int pc) {
        std::uint32_t &mark = mark_[static_cast<std::size_t>(pc)];
        if (mark == generation_)
            return false;
        mark = generation_;
        return true;
    }

private:
    std::vector<std::uint32_t> mark_;
    std::uint32_t generation_ = 1;
};

// The threads of one position, without their slots: the reading instructions
// (and the match) they are at, in priority order, and which of them share
// their slots by the way they came. The step from a state depends only on the
// state, the kind of the character read (the characters that every reading
// instruction of the pattern treats alike are of one kind), the answers at the
// next position and whether a match is known, so it is worked out by the rules
// above once, and then only replayed on the slots.
struct State {
    std::vector<int> pcs;
    std::vector<int> slots_of;  // by thread: its slots, an index into the slots kept
    int match = -1;             // the first thread at the match; the threads after it are cut
    unsigned questions = 0;     // the questions its steps may ask of the next position
    std::vector<int> steps;     // step index by key, -1 while unknown
};

// How a step makes the slots of the next state: each from the slots `from`
// of the state before (or fresh ones for a new start, -1), with the slots of
// `saves` set to the new position.
struct SlotsMove {
    int from;
    std::uint8_t saves;
};

struct Step {
    int state;
    std::vector<SlotsMove> moves;
};

// The automaton of one pattern for one table of character classes, grown as
// texts need it. It depends on no text, so later texts use it again.
class Machine {
public:
    Machine(const Program &program, const CharClasses &classes);

    const Program &program() const { return program_; }
    std::uint64_t classes_id() const { return classes_id_; }
    std::size_t state_count() const { return states_.size(); }
    bool first_byte(unsigned char b) const { return first_bytes_[b]; }
    // The kind of a character and its word and space flags.
    std::size_t kind_of(char32_t c, unsigned flags) const { return c < 128 ? ascii_kind_[c] : other_kind_[flags]; }
    int empty_state() const { return empty_state_; }
    const State &state(int id) const { return states_[static_cast<std::size_t>(id)]; }
    const Step &step(int id) const { return steps_[static_cast<std::size_t>(id)]; }

    // The step from no thread to a new start at `start_pc`: 0, or the rest of
    // a guarded pattern.
    int start_step(int start_pc, unsigned answers) {
        int &step = (start_pc == 0 ? start_steps_ : rest_start_steps_)[answers];
        if (step < 0)
            step = build_step(empty_state_, 0, answers, start_pc);  // no thread reads: any kind will do
        return step;
    }

    // The step from `state` on a character of `kind`, with a new start at
    // `start_pc` (0) or none (-1).
    int step_from(int state, std::size_t kind, unsigned answers, int start_pc) {
        const std::size_t key = (kind * answer_count + answers) * 2 + (start_pc < 0 ? 0 : 1);
        int step = states_[static_cast<std::size_t>(state)].steps[key];
        if (step < 0) {
            step = build_step(state, kind, answers, start_pc);
            states_[static_cast<std::size_t>(state)].steps[key] = step;
        }
        return step;
    }

private:
    bool consumes(const Inst &inst, char32_t c, unsigned flags) const {
        return inst.op == Op::character ? inst.arg == c : program_.sets[inst.arg].contains(c, flags);
    }

    // Work out the step from `state` on a character of `kind`: the threads
    // before the first match read it in priority order, each queueing the
    // targets of its next instruction that no thread of higher priority has
    // reached, and then a new start at `start_pc` (none when -1) does the same.
    // Threads that come from the same slots with the same saves share slots.
    int build_step(int state, std::size_t kind, unsigned answers, int start_pc);
    int intern(std::vector<int> pcs, std::vector<int> slots_of);

    const Program &program_;
    const std::vector<Inst> &code_;
    std::uint64_t classes_id_;
    Marks marks_;
    std::array<bool, 256> first_bytes_{};
    std::array<std::uint8_t, 128> ascii_kind_{};
    std::array<std::uint8_t, 4> other_kind_{};                 // by word and space flags
    std::vector<std::pair<char32_t, unsigned>> kind_example_;  // a character and its flags, by kind
    std::vector<State> states_;
    std::vector<Step> steps_;
    std::map<std::vector<int>, int> index_;
    std::array<int, answer_count> start_steps_{};       // from no thread to a start, by the answers there
    std::array<int, answer_count> rest_start_steps_{};  // the same for the rest of a guarded pattern
    int empty_state_ = -1;
};

}  // namespace quorlin
