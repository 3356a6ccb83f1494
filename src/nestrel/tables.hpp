// The language tables: file suffix to language, language to comment patterns.
#pragma once

#include <cstddef>
#include <string_view>

namespace nestrel {

struct SuffixRow {
    const char *suffix;    // lower case, with its dot
    const char *language;
};

// Written as 60 pairs; ".nim" comes twice, so the table holds 59 suffixes.
extern const SuffixRow SUFFIX_ROWS[60];

struct PatternRow {
    const char *language;
    bool has_single;
    bool single_is_text;   // the single-line value is a bare text, not a list
    const char *single[2];  // unused places hold nothing
    bool has_multi;
    const char *multi[2];
};

// 45 rows: every language of the suffix table except "r".
extern const PatternRow PATTERN_ROWS[45];

}  // namespace nestrel
