// The two tables as module constants and the two operations over them.
#include "bindings.hpp"
#include "substitution.hpp"

namespace hadrel {

using namespace nb::literals;

namespace {

nb::str apply(nb::handle key, const char *name, Direction direction) {
    nb::str text = orvo::arg_exact_pystr(key, name);
    return orvo::to_str(substitute(orvo::to_utf8(text), direction));
}

}  // namespace

void register_scrambling(nb::module_ &m) {
    nb::dict forward;
    for (std::size_t i = 0; i < ALPHABET.size(); ++i)
        forward[orvo::to_str(ALPHABET.substr(i, 1))] = orvo::to_str(SCRAMBLED.substr(i, 1));
    // The inverse, entered pair by pair in the order of the forward table.
    nb::dict backward;
    for (auto [from, to] : forward)
        backward[to] = from;
    m.attr("OBFUSCATION_MAP") = forward;
    m.attr("DEOBFUSCATION_MAP") = backward;

    m.def(
        "obfuscate_key", [](nb::handle key) { return apply(key, "key", Direction::scramble); },
        nb::sig("def obfuscate_key(key: str) -> str"), "key"_a.none(),
        "Scramble an API key that begins with 'sk-': every character after the prefix that is one of the 64 "
        "of OBFUSCATION_MAP is replaced by its value. Any other text is returned unchanged.");
    m.def(
        "deobfuscate_key",
        [](nb::handle obfuscated_key) { return apply(obfuscated_key, "obfuscated_key", Direction::unscramble); },
        nb::sig("def deobfuscate_key(obfuscated_key: str) -> str"), "obfuscated_key"_a.none(),
        "Undo obfuscate_key: every character after the prefix 'sk-' that is one of the 64 of "
        "DEOBFUSCATION_MAP is replaced by its value. Any other text is returned unchanged.");
}

}  // namespace hadrel
