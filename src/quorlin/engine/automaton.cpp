// Building the states and steps of a definition pattern's automaton.
#include "automaton.hpp"

#include <algorithm>

namespace quorlin {

Machine::Machine(const Program &program, const CharClasses &classes)
    : program_(program), code_(program.code), classes_id_(classes.id()), marks_(code_.size()) {
    const auto flags_of = [&](char32_t c) {
        return (classes.is_word(c) ? word_flag : 0) | (classes.is_space(c) ? space_flag : 0);
    };
    for (const Target &target : program_.targets_of(0, answer_count - 1)) {
        const Inst &inst = code_[static_cast<std::size_t>(target.pc)];
        if (inst.op == Op::character) {
            first_bytes_[inst.arg] = true;  // patterns are ASCII
        } else if (inst.op == Op::set) {
            const CharSet &set = program_.sets[inst.arg];
            for (char32_t b = 0; b < 0x80; ++b)
                if (set.contains(b, flags_of(b)))
                    first_bytes_[b] = true;
            if (set.word || set.space || set.negated)
                std::fill(first_bytes_.begin() + 0xC0, first_bytes_.end(), true);
        }
    }
    // The kinds: the characters that every reading instruction treats
    // alike, the ASCII ones taken one by one, the others by their flags.
    std::map<std::vector<bool>, std::uint8_t> kinds;
    const auto sort = [&](char32_t c, unsigned flags) {
        std::vector<bool> answers;
        for (const Inst &inst : code_)
            if (inst.op == Op::character || inst.op == Op::set)
                answers.push_back(consumes(inst, c, flags));
        const auto [found, added] = kinds.emplace(answers, static_cast<std::uint8_t>(kinds.size()));
        if (added)
            kind_example_.emplace_back(c, flags);
        return found->second;
    };
    for (char32_t c = 0; c < 128; ++c)
        ascii_kind_[c] = sort(c, flags_of(c));
    for (unsigned flags = 0; flags < 4; ++flags)
        other_kind_[flags] = sort(0x80, flags);  // 0x80 stands for any character outside ASCII
    start_steps_.fill(-1);
    rest_start_steps_.fill(-1);
    empty_state_ = intern({}, {});
}

int Machine::build_step(int state, std::size_t kind, unsigned answers, int start_pc) {
    const auto [c, flags] = kind_example_[kind];
    Step step{0, {}};
    std::vector<int> pcs, slots_of;
    marks_.clear();
    auto queue = [&](int pc, int from) {
        for (const Target &target : program_.targets_of(pc, answers)) {
            if (!marks_.reach(target.pc))
                continue;
            const SlotsMove move{from, target.saves};
            std::size_t k = 0;
            while (k < step.moves.size() && (step.moves[k].from != from || step.moves[k].saves != move.saves))
                ++k;
            if (k == step.moves.size())
                step.moves.push_back(move);
            pcs.push_back(target.pc);
            slots_of.push_back(static_cast<int>(k));
        }
    };
    const State &before = states_[static_cast<std::size_t>(state)];
    const std::size_t live = before.match >= 0 ? static_cast<std::size_t>(before.match) : before.pcs.size();
    for (std::size_t k = 0; k < live; ++k) {
        const int pc = before.pcs[k];
        if (consumes(code_[static_cast<std::size_t>(pc)], c, flags))
            queue(pc + 1, before.slots_of[k]);
    }
    if (start_pc >= 0)
        queue(start_pc, -1);
    step.state = intern(std::move(pcs), std::move(slots_of));
    steps_.push_back(std::move(step));
    return static_cast<int>(steps_.size() - 1);
}

int Machine::intern(std::vector<int> pcs, std::vector<int> slots_of) {
    std::vector<int> key = pcs;
    key.insert(key.end(), slots_of.begin(), slots_of.end());
    auto found = index_.find(key);
    if (found != index_.end())
        return found->second;
    State state;
    for (std::size_t k = 0; k < pcs.size(); ++k) {
        const int pc = pcs[k];
        const Inst &inst = code_[static_cast<std::size_t>(pc)];
        if (inst.op == Op::match) {
            if (state.match < 0)
                state.match = static_cast<int>(k);
        } else if (state.match < 0) {
            state.questions |= program_.questions[static_cast<std::size_t>(pc) + 1];
        }
    }
    state.pcs = std::move(pcs);
    state.slots_of = std::move(slots_of);
    state.steps.assign(kind_example_.size() * answer_count * 2, -1);
    states_.push_back(std::move(state));
    const int id = static_cast<int>(states_.size() - 1);
    index_.emplace(std::move(key), id);
    return id;
}

}  // namespace quorlin
