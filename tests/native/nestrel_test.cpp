// Comment extraction as injection uses it: the places of each comment (its
// match, its group, its end) and its lines, in extraction order.
#include "check.hpp"

#include "nestrel/engine.hpp"

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// "line:start-end text" of each comment, the places being the match's start,
// its group's start and its end.
std::string extracted(const char *language, std::string_view content, std::vector<std::size_t> &scratch) {
    nestrel::Comments comments;
    nestrel::extract(*nestrel::patterns_of(language), content, comments, scratch);
    std::string out;
    for (const nestrel::Comment &c : comments.items)
        out += nestrel::line_text(c) + ":" + std::to_string(c.start) + "," + std::to_string(c.group) + "," +
               std::to_string(c.end) + " " + std::string(comments.text(c)) + "\n";
    return out;
}

}  // namespace

TEST(comments_come_line_patterns_first_with_their_places_and_lines) {
    std::vector<std::size_t> scratch;
    // 0         1          2
    // 0123456789 0123456789 012345678
    // "int x; // one /* two */\n/* three\n * four */ int y;\n"
    CHECK_EQ(extracted("c", "int x; // one /* two */\n/* three\n * four */ int y;\n", scratch),
             "1:7,9,23 one /* two */\n1:14,16,23 two\n2-3:24,26,43 three\n * four\n"s);
    // Empty texts are left out; a block over lines counts the breaks inside it.
    CHECK_EQ(extracted("python", "#\n#  \nx = '''\n\n'''  # end\n'''a'''", scratch), "5:20,21,25 end\n6:26,29,33 a\n"s);
    CHECK_EQ(extracted("c", "", scratch), ""s);
}

TEST(line_numbers_hold_across_blocks_of_sixteen_bytes_and_from_one_content_to_the_next) {
    std::vector<std::size_t> scratch;
    // Line breaks at the last and first byte of a block of sixteen, and a
    // content after a longer one with the same scratch space.
    std::string content = std::string(15, ' ') + "\n\n" + std::string(14, ' ') + "\n// a\n/* b\n\n*/ // c";
    CHECK_EQ(extracted("c", content, scratch), "4:32,34,36 a\n7:46,48,50 c\n5-7:37,39,45 b\n"s);
    CHECK_EQ(extracted("c", "\n// x", scratch), "2:1,3,5 x\n"s);
    std::string long_content;
    for (int i = 0; i < 100; ++i)
        long_content += "x;\n";
    CHECK_EQ(extracted("c", long_content + "// last", scratch), "101:300,302,307 last\n"s);
}

TEST(a_files_bytes_are_read_as_python_reads_them_before_extraction) {
    nestrel::Extractor extractor;
    nestrel::Comments comments;
    extractor.extract_bytes("# a\xff\r\n# b\r# \xe9z\n", *nestrel::patterns_of("python"), comments);
    CHECK_EQ(comments.items.size(), 3u);
    if (comments.items.size() == 3) {
        CHECK_EQ(std::string(comments.text(comments.items[0])), "a"s);
        CHECK_EQ(comments.items[2].start_line, 3u);
        CHECK_EQ(std::string(comments.text(comments.items[2])), "z"s);
    }
}

TEST(paths_are_compared_and_named_by_whole_components) {
    CHECK_EQ(nestrel::normalize_path("//a/./b//"), "//a/b"s);
    CHECK_EQ(nestrel::normalize_path("///a"), "/a"s);
    CHECK_EQ(nestrel::normalize_path("./."), "."s);
    CHECK(nestrel::relative_to("/a/bc", "/a/b") == std::nullopt);
    CHECK(nestrel::relative_to("/a/b/c", "/a/b") == "c");
    CHECK(nestrel::relative_to("/a/b", "/a/b") == ".");
    CHECK(nestrel::relative_to("//a", "/") == std::nullopt);
    CHECK(nestrel::relative_to("/a", "/") == "a");
    CHECK_EQ(std::string(nestrel::suffix_of("dir.d/.bashrc")), ""s);
    CHECK_EQ(std::string(nestrel::suffix_of("a.tar.GZ")), ".GZ"s);
    CHECK_EQ(std::string(nestrel::language_of_path("x.\xe2\x84\xaaotlin")), "kotlin"s);  // the Kelvin sign
    CHECK(nestrel::language_of_path("x.\xc3\x89x") == nullptr);
}
