// The searches of a definition pattern over one text.
//
// `re.finditer` starts a new search where a match ended, and a search may have
// to read beyond the end of its match before the match is certain: a thread
// of higher priority (an earlier start, a longer repetition) may still be
// alive. The positions read past the end are read again by the next search. For
// the patterns here, only a `\([^)]*\)` can keep such a thread alive for long
// (for example "const a = (" followed by "function f" and no ")"). Such a
// thread's fate depends only on the first ")" it reaches: whether the rest of
// the pattern matches after that ")". That answer (the assertion
// `Look::guard`) is worked out when a thread first needs it (the rest of the
// pattern never crosses a ")", so these checks read no character more than
// twice in all) and a thread that will fail is dropped as it enters the
// repetition. Every thread still alive can then finish with a match, so no
// search reads more than one character past the end of its match, and the
// whole run over a text stays linear.
//
// A search runs on the lazy DFA and, where the cache keeps outgrowing its
// memory budget within the search, goes on with the Pike VM from where it is:
// both step alike (the DFA's steps are the Pike VM's, cached), so the matches
// and the work do not depend on the budget.
#include "search.hpp"

#include <orvo/text.hpp>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>

namespace quorlin {

namespace {

// Where a search is in the lazy DFA: a state of its cache.
struct DfaCursor {
    LazyDfa *dfa;
    int state;

    bool empty() const { return state == LazyDfa::empty_state; }
    // Valid until the cache grows.
    const Threads &threads() const { return dfa->state(state).threads; }
    // From no thread, a new start at `start_pc`; the moves of the slots,
    // valid until the next step.
    const std::vector<SlotsMove> &start(int start_pc, LookSet holding) {
        return take(dfa->start_step(start_pc, holding));
    }
    // One step, with a new start at `start_pc` (0) or none (-1).
    const std::vector<SlotsMove> &advance(std::size_t byte_class, LookSet holding, int start_pc) {
        return take(dfa->step_from(state, byte_class, holding, start_pc));
    }
    const std::vector<SlotsMove> &take(int step) {
        const Step &taken = dfa->step(step);
        state = taken.state;
        return taken.moves;
    }
};

// Where a search is in the Pike VM: its threads.
struct PikeCursor {
    PikeVm &vm;
    Threads threads;
    Threads spare;
    std::vector<SlotsMove> moves;

    bool empty() const { return threads.pcs.empty(); }
    const Threads &threads_now() const { return threads; }
    const std::vector<SlotsMove> &start(int start_pc, LookSet holding) { return advance(0, holding, start_pc); }
    const std::vector<SlotsMove> &advance(std::size_t byte_class, LookSet holding, int start_pc) {
        vm.step(threads, byte_class, holding, start_pc, spare, moves);
        std::swap(threads, spare);
        return moves;
    }
};

const Threads &threads_of(const DfaCursor &cursor) { return cursor.threads(); }
const Threads &threads_of(const PikeCursor &cursor) { return cursor.threads_now(); }

// The searches of one pattern over one text.
class Searcher {
public:
    Searcher(LazyDfa &dfa, std::string_view text, const CharClasses &classes)
        : dfa_(dfa), vm_(dfa.pike_vm()), program_(dfa.program()), text_(text), classes_(classes),
          slots_(program_.code.size()), next_slots_(program_.code.size()) {}

    // The first match at or after `from`, as the slots of its groups: with
    // the lazy DFA, and, where its cache keeps outgrowing the budget, on
    // from there with the Pike VM.
    bool search(std::size_t from, Slots &found) {
        Progress progress{from, false};
        pike_vm_ = false;
        DfaCursor dfa{&dfa_, LazyDfa::empty_state};
        if (const std::optional<bool> result = run(dfa, progress, found))
            return *result;
        pike_vm_ = true;
        ++stats_.pike_vm_searches;
        PikeCursor pike{vm_, dfa_.state(dfa.state).threads, {}, {}};
        return *run(pike, progress, found);
    }

    const SearchStats &stats() const { return stats_; }

private:
    struct Progress {
        std::size_t at;
        bool matched;
    };

    // The search from `progress` on: whether it found a match, or nothing
    // when the lazy DFA gives up (`where` and `progress` then tell where the
    // search is). It works on copies, which stay in registers.
    template <typename Cursor>
    std::optional<bool> run(Cursor &where, Progress &progress, Slots &found) {
        constexpr bool dfa = std::is_same_v<Cursor, DfaCursor>;
        const std::string_view text = text_;  // a copy the compiler may keep in registers
        const std::size_t size = text.size();
        Cursor cursor = std::move(where);
        std::size_t at = progress.at;
        bool matched = progress.matched;
        unsigned clears = 0;
        for (;;) {
            if constexpr (dfa) {
                // Past the budget, clear the cache but for the search's own
                // state, or, when this search has done so often enough, give up.
                if (dfa_.over_budget()) {
                    if (clears == LazyDfa::clears_before_pike_vm) {
                        where = cursor;
                        progress = Progress{at, matched};
                        return std::nullopt;
                    }
                    ++clears;
                    ++stats_.cache_clears;
                    cursor.state = dfa_.clear_keeping(cursor.state);
                }
            }
            if (cursor.empty()) {
                if (matched)
                    return true;
                at = next_candidate(at);
                if (at >= size)
                    return false;  // no pattern matches the empty text
                const LookSet holding = holding_at(at, program_.looks[0]);  // may grow the cache
                replay(cursor.start(0, holding), at);
                if (cursor.empty()) {
                    orvo::next_code_point(text, at);
                    ++stats_.work;
                    continue;
                }
            }
            const Threads &current = threads_of(cursor);
            if (current.match >= 0) {
                matched = true;
                found = slots_[static_cast<std::size_t>(current.slots_of[static_cast<std::size_t>(current.match)])];
            }
            if (at == size)
                return matched;  // nothing reads past the end
            const LookSet asked = matched ? current.looks : current.looks.united(program_.looks[0]);
            const char32_t c = orvo::next_code_point(text, at);
            ++stats_.work;
            const LookSet holding = holding_at(at, asked);  // may grow the cache
            replay(cursor.advance(byte_class(c), holding, matched ? -1 : 0), at);
        }
    }

    std::size_t byte_class(char32_t c) const {
        return dfa_.byte_class(c, (classes_.is_word(c) ? word_flag : 0) | (classes_.is_space(c) ? space_flag : 0));
    }

    // Which of the assertions `asked` hold at position `at`.
    LookSet holding_at(std::size_t at, LookSet asked) {
        LookSet holding;
        if (asked.contains(Look::start_line) && (at == 0 || text_[at - 1] == '\n'))
            holding = holding.with(Look::start_line);
        if (asked.contains(Look::guard) && rest_matches_after_close(at))
            holding = holding.with(Look::guard);
        return holding;
    }

    // Apply a step's moves to the slots, at the new position `at`.
    void replay(const std::vector<SlotsMove> &moves, std::size_t at) {
        for (std::size_t k = 0; k < moves.size(); ++k) {
            const SlotsMove move = moves[k];
            Slots &slots = next_slots_[k];
            if (move.from >= 0)
                slots = slots_[static_cast<std::size_t>(move.from)];
            else
                slots.fill(no_position);
            for (unsigned saves = move.saves; saves; saves &= saves - 1)
                slots[static_cast<std::size_t>(std::countr_zero(saves))] = at;
        }
        std::swap(slots_, next_slots_);
    }

    // The first position at or after `at` where a match may start (the size of
    // the text when there is none). Always a character boundary: the bytes
    // that continue a character are never first bytes.
    std::size_t next_candidate(std::size_t at) {
        const std::size_t found = first_candidate(at);
        stats_.work += found > at ? found - at : 0;
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
            while (at < size && !dfa_.first_byte(static_cast<unsigned char>(data[at])))
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
        stats_.work += close > at ? close - at : 0;
        return close;
    }

    // Whether the rest of the guarded pattern matches at `at`: the same steps,
    // without slots and without new starts, with the search's own engine. The
    // rest never reaches the guarded loop (so this does not come back here)
    // nor reads a ")". The cache is not cleared meanwhile, since the search is
    // in a state of it; the rest of a pattern has few states.
    bool rest_matches(std::size_t at) {
        if (pike_vm_) {
            PikeCursor cursor{vm_, {}, {}, {}};
            return rest_matches(cursor, at);
        }
        DfaCursor cursor{&dfa_, LazyDfa::empty_state};
        return rest_matches(cursor, at);
    }

    template <typename Cursor>
    bool rest_matches(Cursor &cursor, std::size_t at) {
        cursor.start(program_.guard_rest,
                     holding_at(at, program_.looks[static_cast<std::size_t>(program_.guard_rest)]));
        for (;;) {
            const Threads &current = threads_of(cursor);
            if (current.match >= 0)
                return true;
            if (cursor.empty() || at >= text_.size())
                return false;
            const LookSet asked = current.looks;
            const char32_t c = orvo::next_code_point(text_, at);
            ++stats_.work;
            cursor.advance(byte_class(c), holding_at(at, asked), -1);
        }
    }

    LazyDfa &dfa_;
    PikeVm &vm_;
    const Program &program_;
    std::string_view text_;
    const CharClasses &classes_;
    std::vector<Slots> slots_, next_slots_;  // of the current threads, by index
    bool pike_vm_ = false;                   // this search has gone on with the Pike VM
    bool stretch_known_ = false;
    std::size_t stretch_from_ = 0, stretch_close_ = 0;  // no ")" from `from` until `close`
    bool stretch_ok_ = false;
    SearchStats stats_;
};

}  // namespace

bool for_each_match(LazyDfa &dfa, std::string_view text, const CharClasses &classes,
                    const std::function<bool(const Slots &)> &emit, SearchStats *stats) {
    Searcher searcher(dfa, text, classes);
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
    if (stats) {
        stats->work += searcher.stats().work;
        stats->cache_clears += searcher.stats().cache_clears;
        stats->pike_vm_searches += searcher.stats().pike_vm_searches;
    }
    return finished;
}

}  // namespace quorlin
