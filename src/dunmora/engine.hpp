// The local engines of the embeddings client: cosine similarity of two vectors
// and the cutting of a text into overlapping chunks. Plain C++ over buffers;
// the bindings hand them the storage of Python's str.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace dunmora {

// Cosine of the angle between two vectors of `n` components. Each of the three
// sums is added in ascending position order starting from zero, the result is
// one division by the product of the norms and is not clamped, so arithmetic
// error may carry it slightly beyond [-1, 1]. A zero norm on either side gives
// 0.0. The module is compiled without floating-point contraction, so a product
// and the sum it joins are rounded separately.
inline double cosine(const double *a, const double *b, std::size_t n) {
    double dot = 0.0, squares1 = 0.0, squares2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        dot += a[i] * b[i];
        squares1 += a[i] * a[i];
        squares2 += b[i] * b[i];
    }
    double norm1 = std::sqrt(squares1);
    double norm2 = std::sqrt(squares2);
    if (norm1 == 0.0 || norm2 == 0.0)
        return 0.0;
    return dot / (norm1 * norm2);
}

// Characters that may end a chunk, in order of preference.
constexpr char32_t FULL_STOP = 0x3002;  // "。"
constexpr char32_t NEWLINE = 0x0A;
constexpr char32_t BLANK = 0x20;

// Position of the last `c` in [lo, hi) of `text`, or -1. Blocks without a hit
// are skipped with a branch-free test that the compiler turns into vector code.
template <typename Char>
std::int64_t find_last(const Char *text, std::int64_t lo, std::int64_t hi, char32_t c) {
    if (c > char32_t(Char(~Char(0))))
        return -1;  // the text's storage cannot hold the character
    const Char unit = Char(c);
    constexpr std::int64_t BLOCK = 32;
    std::int64_t i = hi;
    while (i - lo >= BLOCK) {
        const Char *block = text + (i - BLOCK);
        Char hits = 0;
        for (std::int64_t k = 0; k < BLOCK; ++k)
            hits |= Char(block[k] == unit);  // an integer "or" the compiler vectorizes
        if (hits)
            break;
        i -= BLOCK;
    }
    while (i > lo)
        if (text[--i] == unit)
            return i;
    return -1;
}

// The last position of one break character below a bound that only grows.
// Every position of the text is looked at most once over all queries: a hit
// found searching backwards stays the answer for every later, larger bound
// unless a new hit lies above the old bound.
template <typename Char>
class LastBreak {
public:
    LastBreak(const Char *text, char32_t c) : text_(text), c_(c) {}

    std::int64_t below(std::int64_t bound) {
        if (searched_ < bound) {
            std::int64_t hit = find_last(text_, searched_, bound, c_);
            if (hit >= 0)
                last_ = hit;
            searched_ = bound;
        }
        return last_;
    }

private:
    const Char *text_;
    char32_t c_;
    std::int64_t last_ = -1;
    std::int64_t searched_ = 0;  // positions below this have been searched
};

// Cut a text of `n` code points into chunks of at most `size` code points, each
// repeating the last `overlap` code points of the one before, and call
// `emit(begin, end)` with the half-open code-point range of every chunk in text
// order. `Char` is the unit of the text's storage, one unit per code point.
//
// A text no longer than `size` is one chunk. Otherwise each window of `size`
// code points from `start` that does not reach the end of the text is cut after
// the last "。" in it, else after the last newline, else after the last blank,
// where that break lies after `start`; a window without such a break is cut at
// its full size. The next chunk starts `overlap` code points before the cut, but
// always at least one code point after the chunk before it. A negative overlap
// leaves that many code points between chunks, and a start at or beyond the end
// of the text ends the cutting.
//
// Starts only grow, so window ends only grow, and each kind of break is found
// with a `LastBreak`: the whole cut takes time in proportion to the text and
// the chunks, however the breaks lie and whatever the overlap.
//
// `size` must not be negative.
template <typename Char, typename Emit>
void for_each_chunk(const Char *text, std::int64_t n, std::int64_t size, std::int64_t overlap, Emit &&emit) {
    if (n <= size) {
        emit(std::int64_t(0), n);
        return;
    }
    // Here 0 <= size < n. An overlap beyond n either way acts as n + 1 would.
    overlap = std::clamp(overlap, -(n + 1), n + 1);
    LastBreak<Char> stops(text, FULL_STOP), newlines(text, NEWLINE), blanks(text, BLANK);
    std::int64_t start = 0;
    while (start < n) {
        std::int64_t end = start + size;
        if (end < n) {
            std::int64_t cut;
            if ((cut = stops.below(end)) > start || (cut = newlines.below(end)) > start ||
                (cut = blanks.below(end)) > start)
                end = cut + 1;
        }
        emit(start, std::min(end, n));
        if (end >= n)
            break;
        start = std::max(start + 1, end - overlap);
    }
}

}  // namespace dunmora
