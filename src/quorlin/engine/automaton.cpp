// The Pike VM's step over a definition pattern's program, and the lazy DFA
// that caches it.
#include "automaton.hpp"

#include <algorithm>

namespace quorlin {

namespace {

unsigned flags_of(const CharClasses &classes, char32_t c) {
    return (classes.is_word(c) ? word_flag : 0) | (classes.is_space(c) ? space_flag : 0);
}

}  // namespace

// ------------------------------------------------------------ byte classes

ByteClasses::ByteClasses(const Program &program, const CharClasses &classes) {
    // A class is known by its signature: whether each reading instruction reads it.
    std::map<std::vector<bool>, std::uint8_t> known;
    const auto sort = [&](char32_t c, unsigned flags) {
        std::vector<bool> signature;
        for (const Inst &inst : program.code) {
            if (inst.op == Op::character)
                signature.push_back(inst.arg == c);
            else if (inst.op == Op::set)
                signature.push_back(program.sets[inst.arg].contains(c, flags));
        }
        const auto [found, added] = known.emplace(signature, static_cast<std::uint8_t>(known.size()));
        if (added)
            representatives_.emplace_back(c, flags);
        return found->second;
    };
    for (char32_t c = 0; c < 128; ++c)
        ascii_[c] = sort(c, flags_of(classes, c));
    for (unsigned flags = 0; flags < 4; ++flags)
        other_[flags] = sort(0x80, flags);  // 0x80 stands for any character outside ASCII
}

// ------------------------------------------------------------ the Pike VM

PikeVm::PikeVm(const Program &program, const CharClasses &classes)
    : program_(program), byte_classes_(program, classes), reached_(program.code.size()) {}

void PikeVm::step(const Threads &before, std::size_t byte_class, LookSet holding, int start_pc, Threads &after,
                  std::vector<SlotsMove> &moves) {
    const auto [c, flags] = byte_classes_.representative(byte_class);
    after.pcs.clear();
    after.slots_of.clear();
    moves.clear();
    reached_.clear();
    const auto add_closure = [&](int pc, int from) {
        for (const Target &target : program_.closure(pc, holding)) {
            if (!reached_.insert(target.pc))
                continue;
            const SlotsMove move{from, target.saves};
            std::size_t k = 0;
            while (k < moves.size() && (moves[k].from != from || moves[k].saves != move.saves))
                ++k;
            if (k == moves.size())
                moves.push_back(move);
            after.pcs.push_back(target.pc);
            after.slots_of.push_back(static_cast<int>(k));
        }
    };
    const std::size_t live = before.match >= 0 ? static_cast<std::size_t>(before.match) : before.pcs.size();
    for (std::size_t k = 0; k < live; ++k) {
        const Inst &inst = program_.at(before.pcs[k]);
        if (consumes(inst, c, flags))
            add_closure(inst.next, before.slots_of[k]);
    }
    if (start_pc >= 0)
        add_closure(start_pc, -1);
    describe(after);
}

void PikeVm::describe(Threads &threads) const {
    threads.match = -1;
    threads.looks = LookSet();
    for (std::size_t k = 0; k < threads.pcs.size(); ++k) {
        const Inst &inst = program_.at(threads.pcs[k]);
        if (inst.op == Op::match) {
            threads.match = static_cast<int>(k);
            return;
        }
        threads.looks = threads.looks.united(program_.looks[static_cast<std::size_t>(inst.next)]);
    }
}

// ------------------------------------------------------------ the lazy DFA

namespace {

// What a state and a step cost in the cache, roughly: the objects, their
// vectors and the state's entry in the index.
std::size_t state_bytes(const State &state) {
    const std::size_t threads = state.threads.pcs.size();
    return sizeof(State) + 4 * threads * sizeof(int) + state.next.size() * sizeof(int) + 64;
}

std::size_t step_bytes(const Step &step) { return sizeof(Step) + step.moves.size() * sizeof(SlotsMove); }

}  // namespace

LazyDfa::LazyDfa(const Program &program, const CharClasses &classes, std::size_t memory_budget)
    : pike_vm_(program, classes), classes_id_(classes.id()), memory_budget_(memory_budget) {
    for (const Target &target : program.closure(0, LookSet::full())) {
        const Inst &inst = program.at(target.pc);
        if (inst.op == Op::character) {
            first_bytes_[inst.arg] = true;  // patterns are ASCII
        } else if (inst.op == Op::set) {
            const CharSet &set = program.sets[inst.arg];
            for (char32_t b = 0; b < 0x80; ++b)
                if (set.contains(b, flags_of(classes, b)))
                    first_bytes_[b] = true;
            if (set.word || set.space || set.negated)
                std::fill(first_bytes_.begin() + 0xC0, first_bytes_.end(), true);
        }
    }
    reset();
}

void LazyDfa::reset() {
    states_.clear();
    steps_.clear();
    index_.clear();
    memory_ = 0;
    over_budget_ = false;
    start_steps_.fill(-1);
    rest_start_steps_.fill(-1);
    intern(Threads{});  // empty_state
}

int LazyDfa::clear_keeping(int state) {
    Threads kept = std::move(states_[static_cast<std::size_t>(state)].threads);
    reset();
    ++clear_count_;
    return intern(std::move(kept));
}

int LazyDfa::start_step(int start_pc, LookSet holding) {
    int &step = (start_pc == 0 ? start_steps_ : rest_start_steps_)[holding.bits()];
    if (step < 0)  // no thread reads: any byte class will do
        step = build_step(states_[empty_state].threads, 0, holding, start_pc);
    return step;
}

int LazyDfa::build_step(const Threads &before, std::size_t byte_class, LookSet holding, int start_pc) {
    pike_vm_.step(before, byte_class, holding, start_pc, after_, moves_);
    // `before` may live in `states_`, which grows from here on.
    Step step{intern(after_), moves_};
    memory_ += step_bytes(step);
    over_budget_ = memory_ > memory_budget_;
    steps_.push_back(std::move(step));
    return static_cast<int>(steps_.size() - 1);
}

int LazyDfa::intern(Threads threads) {
    std::vector<int> key = threads.pcs;
    key.insert(key.end(), threads.slots_of.begin(), threads.slots_of.end());
    auto found = index_.find(key);
    if (found != index_.end())
        return found->second;
    pike_vm_.describe(threads);
    State state{std::move(threads), {}};
    state.next.assign(pike_vm_.byte_classes().count() * LookSet::count * 2, -1);
    memory_ += state_bytes(state);
    over_budget_ = memory_ > memory_budget_;
    states_.push_back(std::move(state));
    const int id = static_cast<int>(states_.size() - 1);
    index_.emplace(std::move(key), id);
    return id;
}

}  // namespace quorlin
