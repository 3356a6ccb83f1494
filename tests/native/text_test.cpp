// The core's text rules.
#include "check.hpp"

#include "orvo/text.hpp"

#include <string>

using namespace std::string_literals;

TEST(decoding_drops_what_is_not_utf8_as_python_ignores_it) {
    CHECK_EQ(orvo::decode_utf8_lossy("a\xff" "b\xe2\x82" "c"), "abc"s);
    CHECK_EQ(orvo::decode_utf8_lossy("\xed\xa0\x80x"), "x"s);  // a surrogate is not valid
    CHECK_EQ(orvo::decode_utf8_lossy("\xf4\x8f\xbf\xbf"), "\xf4\x8f\xbf\xbf"s);  // U+10FFFF is
    CHECK(!orvo::is_valid_utf8("\xf4\x90\x80\x80"));                             // one past it is not
    CHECK(!orvo::is_valid_utf8("\xc0\xaf"));                                     // nor an overlong form
}

TEST(the_maximal_invalid_prefix_is_where_python_ends_the_error) {
    std::size_t bad = 0;
    CHECK_EQ(orvo::valid_sequence_length("\xe2\x82x", 0, bad), 0u);
    CHECK_EQ(bad, 2u);
    CHECK_EQ(orvo::valid_sequence_length("\xe2\x82\xac", 0, bad), 3u);
}

TEST(line_ends_and_white_space_are_pythons) {
    CHECK_EQ(orvo::normalize_newlines("a\r\nb\rc\n\r\n"), "a\nb\nc\n\n"s);
    CHECK_EQ(std::string(orvo::strip("\x1c \t\xc2\x85x y\xe2\x80\xa8")), "x y"s);
    CHECK(orvo::has_line_break("a\xe2\x80\xa9"));
    CHECK(!orvo::has_line_break("a\xc2\xa0"));  // no-break space is space, not a break
    CHECK_EQ(orvo::code_points("\xf0\x9f\x98\x80x"), 2u);
    CHECK_EQ(std::string(orvo::first_code_points("\xc3\xa9\xc3\xa9\xc3\xa9", 2)), "\xc3\xa9\xc3\xa9"s);
}
