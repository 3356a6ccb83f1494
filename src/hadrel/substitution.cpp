#include "substitution.hpp"

#include <array>

namespace hadrel {

namespace {

using Table = std::array<char, 128>;

// The image of every ASCII character: itself outside the alphabet.
constexpr Table make_table(std::string_view from, std::string_view to) {
    Table table{};
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = (char) c;
    for (std::size_t i = 0; i < from.size(); ++i)
        table[(unsigned char) from[i]] = to[i];
    return table;
}

constexpr Table FORWARD = make_table(ALPHABET, SCRAMBLED);
constexpr Table BACKWARD = make_table(SCRAMBLED, ALPHABET);

static_assert(ALPHABET.size() == 64 && SCRAMBLED.size() == 64);

constexpr bool is_permutation() {
    for (char c : ALPHABET)
        if (ALPHABET.find(FORWARD[(unsigned char) c]) == std::string_view::npos ||
            BACKWARD[(unsigned char) FORWARD[(unsigned char) c]] != c)
            return false;
    return true;
}
static_assert(is_permutation(), "the table must map the alphabet onto itself, each character once");

}  // namespace

std::string substitute(std::string_view key, Direction direction) {
    std::string result(key);
    if (!key.starts_with(PREFIX))
        return result;
    const Table &table = direction == Direction::scramble ? FORWARD : BACKWARD;
    for (std::size_t i = PREFIX.size(); i < result.size(); ++i) {
        unsigned char c = (unsigned char) result[i];
        if (c < 0x80)
            result[i] = table[c];
    }
    return result;
}

}  // namespace hadrel
