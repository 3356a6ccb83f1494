// The searches of a definition pattern over one text.
//
// `re.finditer` starts a new search where a match ended, and a search may have
// to read beyond the end of its match before the match is certain: a thread
// of higher priority (an earlier start, a longer repetition) may still be
// alive. The positions read past the end are read again by the next search. For
// the patterns here, only a `\([^)]*\)` can keep such a thread alive for long
// (for example "const a = (" followed by "function f" and no ")"). Such a
// thread's fate depends only on the first ")" it reaches: whether the rest of
// the pattern matches after that ")". That answer is worked out when a thread
// first needs it (the rest of the pattern never crosses a ")", so these checks
// read no character more than twice in all) and a thread that will fail is
// dropped as it enters the repetition. Every thread still alive can then
// finish with a match, so no search reads more than one character past the end of its match, and the
// whole run over a text stays linear.
#include "search.hpp"

#include <orvo/text.hpp>

#include <algorithm>
#include <bit>
#include <cstring>

namespace quorlin {

namespace {

// The searches of one pattern over one text.
class Searcher {
public:
    Searcher(Machine &machine, std::string_view text, const CharClasses &classes)
        : machine_(machine), program_(machine.program()), text_(text), classes_(classes), slots_(program_.code.size()),
          next_slots_(program_.code.size()) {}

    // The first match at or after `from`, as the slots of its groups.
    bool search(std::size_t from, Slots &found) {
        const std::size_t size = text_.size();
        const int empty = machine_.empty_state();
        bool matched = false;
        std::size_t at = from;
        int state = empty;
        for (;;) {
            if (state == empty) {
                if (matched)
                    return true;
                at = next_candidate(at);
                if (at >= size)
                    return false;  // no pattern matches the empty text
                state = replay(machine_.start_step(0, answers_at(at, program_.questions[0])), at);
                if (state == empty) {
                    orvo::next_code_point(text_, at);
                    ++work_;
                    continue;
                }
            }
            const State &current = machine_.state(state);
            if (current.match >= 0) {
                matched = true;
                found = slots_[static_cast<std::size_t>(current.slots_of[static_cast<std::size_t>(current.match)])];
            }
            if (at == size)
                return matched;  // nothing reads past the end
            const char32_t c = orvo::next_code_point(text_, at);
            ++work_;
            const unsigned questions = current.questions | (matched ? 0 : program_.questions[0]);
            const unsigned answers = answers_at(at, questions);  // may grow the machine
            state = replay(machine_.step_from(state, kind_of(c), answers, matched ? -1 : 0), at);
        }
    }

    // The positions looked at so far (see `for_each_match`).
    std::size_t work() const { return work_; }

private:
    std::size_t kind_of(char32_t c) const {
        return machine_.kind_of(c, (classes_.is_word(c) ? word_flag : 0) | (classes_.is_space(c) ? space_flag : 0));
    }

    // The answers to `questions` at position `at`.
    unsigned answers_at(std::size_t at, unsigned questions) {
        unsigned answers = 0;
        if ((questions & line_start_answer) && (at == 0 || text_[at - 1] == '\n'))
            answers |= line_start_answer;
        if ((questions & guard_answer) && rest_matches_after_close(at))
            answers |= guard_answer;
        return answers;
    }

    // Apply a step's moves to the slots, at the new position `at`.
    int replay(int step_index, std::size_t at) {
        const Step &step = machine_.step(step_index);
        for (std::size_t k = 0; k < step.moves.size(); ++k) {
            const SlotsMove move = step.moves[k];
            Slots &slots = next_slots_[k];
            if (move.from >= 0)
                slots = slots_[static_cast<std::size_t>(move.from)];
            else
                slots.fill(no_position);
            for (unsigned saves = move.saves; saves; saves &= saves - 1)
                slots[static_cast<std::size_t>(std::countr_zero(saves))] = at;
        }
        std::swap(slots_, next_slots_);
        return step.state;
    }

    // The first position at or after `at` where a match may start (the size of
    // the text when there is none). Always a character boundary: the bytes
    // that continue a character are never first bytes.
    std::size_t next_candidate(std::size_t at) {
        const std::size_t found = first_candidate(at);
        work_ += found > at ? found - at : 0;
        return found;
    }

    std::size_t first_candidate(std::size_t at) const {
        const std::size_t size = text_.size();
        const char *data = text_.data();
        for (;; ++at) {
            if (program_.line_anchored && at > 0 && at < size && data[at - 1] != '\n') {
                const void *line_end = std::memchr(data + at, '\n', size - at);
                if (!line_end)
                    return size;
                at = static_cast<std::size_t>(static_cast<const char *>(line_end) - data) + 1;
            }
            if (program_.start_literals.size() == 1)
                return std::min(text_.find(program_.start_literals[0], at), size);
            while (at < size && !machine_.first_byte(static_cast<unsigned char>(data[at])))
                ++at;
            if (at >= size)
                return size;
            if (program_.start_literals.empty())
                return at;
            for (const std::string &literal : program_.start_literals)
                if (text_.compare(at, literal.size(), literal) == 0)
                    return at;
        }
    }

    // --- the check after the ")" of a `[^)]*\)`

    // Whether a thread entering the guarded `[^)]*` at `at` can still match:
    // whether the rest of the pattern matches right after the first ")" at or
    // after `at`. The positions asked about grow, except for a character or
    // so when a search starts again after a match; the last stretch that
    // leads to one ")" is kept with its answer, so each stretch is read once.
    bool rest_matches_after_close(std::size_t at) {
        const std::size_t size = text_.size();
        if (stretch_known_ && at >= stretch_from_ && at <= stretch_close_)
            return stretch_ok_;
        if (!stretch_known_ || at > stretch_close_) {
            stretch_known_ = true;
            stretch_from_ = at;
            stretch_close_ = first_close(at, size);
            stretch_ok_ = stretch_close_ < size && rest_matches(stretch_close_ + 1);
            return stretch_ok_;
        }
        const std::size_t close = first_close(at, stretch_from_);  // a little before the stretch
        if (close == stretch_from_) {
            stretch_from_ = at;
            return stretch_ok_;
        }
        return rest_matches(close + 1);
    }

    // The first ")" in [at, end), or `end`.
    std::size_t first_close(std::size_t at, std::size_t end) {
        const void *found = at < end ? std::memchr(text_.data() + at, ')', end - at) : nullptr;
        const std::size_t close =
            found ? static_cast<std::size_t>(static_cast<const char *>(found) - text_.data()) : end;
        work_ += close > at ? close - at : 0;
        return close;
    }

    // Whether the rest of the guarded pattern matches at `at`: the same steps,
    // without slots and without new starts. The rest never reaches the
    // guarded loop (so this does not come back here) nor reads a ")".
    bool rest_matches(std::size_t at) {
        const auto rest = static_cast<std::size_t>(program_.guard_rest);
        int state =
            machine_.step(machine_.start_step(program_.guard_rest, answers_at(at, program_.questions[rest]))).state;
        for (;;) {
            const State &current = machine_.state(state);
            if (current.match >= 0)
                return true;
            if (state == machine_.empty_state() || at >= text_.size())
                return false;
            const char32_t c = orvo::next_code_point(text_, at);
            ++work_;
            const unsigned answers = answers_at(at, current.questions);
            state = machine_.step(machine_.step_from(state, kind_of(c), answers, -1)).state;
        }
    }

    Machine &machine_;
    const Program &program_;
    std::string_view text_;
    const CharClasses &classes_;
    std::vector<Slots> slots_, next_slots_;  // of the current threads, by index
    bool stretch_known_ = false;
    std::size_t stretch_from_ = 0, stretch_close_ = 0;  // no ")" from `from` until `close`
    bool stretch_ok_ = false;
    std::size_t work_ = 0;
};

}  // namespace

bool for_each_match(Machine &machine, std::string_view text, const CharClasses &classes,
                    const std::function<bool(const Slots &)> &emit, std::size_t *work) {
    Searcher searcher(machine, text, classes);
    Slots slots;
    std::size_t at = 0;
    bool finished = true;
    while (searcher.search(at, slots)) {
        if (!emit(slots)) {
            finished = false;
            break;
        }
        at = slots[1];  // after the match, which is never empty
    }
    if (work)
        *work += searcher.work();
    return finished;
}

}  // namespace quorlin
