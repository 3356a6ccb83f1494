// The settings lines read alike by the settings class and the wizard (the
// core), the wizard's file and key masks (palvex), and the key scrambling of
// the stored key (hadrel), on bytes that no Python str can hold.
#include "check.hpp"

#include "hadrel/substitution.hpp"
#include "orvo/settings.hpp"
#include "palvex/settings.hpp"

#include <string>
#include <tuple>
#include <utility>

using namespace std::string_literals;

namespace {

// The settings of `text` as "[name=value]..." and whether they were read to the end.
std::pair<std::string, bool> settings_of(std::string_view text) {
    std::string found;
    bool whole = orvo::read_setting_lines(text, [&](std::string_view name, std::string_view value) {
        found.append("[").append(name).append("=").append(value).append("]");
    });
    return {found, whole};
}

}  // namespace

TEST(setting_lines_split_at_the_first_equals_sign_and_stop_at_a_line_that_is_not_text) {
    auto [found, whole] =
        settings_of(" A = 1 \n#B=2\n  # C=3\nno equals\n=empty name\nD==x= \r\n\xe3\x80\x80G=\xc2\xa0y\xc2\xa0");
    CHECK(whole);
    CHECK_EQ(found, "[A=1][=empty name][D==x=][G=y]"s);
    // A comment line may hold any bytes; another line ends the reading there.
    std::tie(found, whole) = settings_of("A=1\n \t# caf\xe9\nB=2\nC=\xff\nD=4\n");
    CHECK(!whole);
    CHECK_EQ(found, "[A=1][B=2]"s);
    CHECK(!orvo::is_comment_line("\xff # x"));  // the bytes before "#" must be blanks
    CHECK(!orvo::is_comment_line("x # y"));
    CHECK(orvo::is_comment_line("\xe3\x80\x80# \xff"));
}

TEST(the_wizards_file_reads_back_as_written_with_either_line_end) {
    palvex::FileTexts texts{"# title", "# origin",    "# location", "# key", "sk-abc",
                            "# url",   "http://x/v1", "# model",    "m",     "en"};
    for (bool crlf : {false, true}) {
        const std::string file = palvex::settings_file(texts, crlf);
        CHECK(file.ends_with(crlf ? "ORVO_LANG=en\r\n" : "ORVO_LANG=en\n"));
        CHECK_EQ(file.find(crlf ? "\n\n" : "\r"), std::string::npos);
        const palvex::Reading reading = palvex::read_settings(file);
        CHECK(reading.complete);
        CHECK_EQ(reading.settings.size(), 4u);
        std::string values;
        for (const palvex::Setting &setting : reading.settings)
            values += std::string(palvex::KEYS[setting.key]) + "=" + setting.value + ";";
        CHECK_EQ(values, "AI_API_KEY=sk-abc;AI_API_URL=http://x/v1;AI_MODEL=m;ORVO_LANG=en;"s);
    }
    // A line end inside a text becomes the file's own, as every other one.
    texts.model = "a\nb";
    CHECK(palvex::settings_file(texts, true).find("AI_MODEL=a\r\nb\r\n") != std::string::npos);
    // Only the four keys count, exactly as written; a stray "\r" ends a line.
    const palvex::Reading reading = palvex::read_settings("ai_model=x\rAI_MODEL=y\r AI_MODEL =\"q\"\rAI_MODELS=z\n");
    CHECK_EQ(reading.settings.size(), 2u);
    CHECK_EQ(reading.settings.back().value, "\"q\""s);
}

TEST(a_key_is_never_listed_whole) {
    CHECK_EQ(palvex::listed_key("sk-456789abc"), "***"s);  // 12 characters
    CHECK_EQ(palvex::listed_key("sk-456789abcd"), "sk-45678...abcd"s);
    // Characters, not bytes: 12 two-byte characters are still 12.
    CHECK_EQ(palvex::listed_key(std::string(12, 'x').replace(0, 1, "\xc3\xa9")), "***"s);
    CHECK_EQ(palvex::listed_key(
                 "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9xyz\xe4\xb8\xad\xf0\x9f\x98\x80"),
             "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9...yz\xe4\xb8\xad\xf0\x9f\x98\x80"s);
}

TEST(every_byte_after_the_prefix_comes_back_and_no_character_of_the_alphabet_stays) {
    std::string every = "sk-";
    for (int byte = 0; byte < 256; ++byte)
        every.push_back((char) byte);
    const std::string scrambled = hadrel::substitute(every, hadrel::Direction::scramble);
    CHECK_EQ(scrambled.size(), every.size());
    CHECK_EQ(hadrel::substitute(scrambled, hadrel::Direction::unscramble), every);
    CHECK_EQ(hadrel::substitute(hadrel::substitute(every, hadrel::Direction::unscramble), hadrel::Direction::scramble),
             every);
    for (std::size_t i = 3; i < every.size(); ++i) {
        const bool in_alphabet = hadrel::ALPHABET.find(every[i]) != std::string_view::npos;
        CHECK_EQ(scrambled[i] != every[i], in_alphabet);
    }
    CHECK_EQ(hadrel::substitute("sk", hadrel::Direction::scramble), "sk"s);
    CHECK_EQ(hadrel::substitute("SK-abc", hadrel::Direction::scramble), "SK-abc"s);
}
