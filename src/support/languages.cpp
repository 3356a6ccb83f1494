#include "orvo/languages.hpp"

namespace orvo {

// clang-format off

const SuffixRow SUFFIX_ROWS[60] = {
    {".py", "python"},     {".php", "php"},       {".cs", "csharp"},     {".java", "java"},
    {".js", "javascript"}, {".ts", "typescript"}, {".jsx", "javascript"}, {".tsx", "typescript"},
    {".c", "c"},           {".cpp", "cpp"},       {".cc", "cpp"},        {".cxx", "cpp"},
    {".h", "c"},           {".hpp", "cpp"},       {".go", "go"},         {".rust", "rust"},
    {".rs", "rust"},       {".swift", "swift"},   {".kotlin", "kotlin"}, {".scala", "scala"},
    {".rb", "ruby"},       {".pl", "perl"},       {".sh", "shell"},      {".bash", "shell"},
    {".zsh", "shell"},     {".fish", "shell"},    {".sql", "sql"},       {".html", "html"},
    {".htm", "html"},      {".xml", "xml"},       {".css", "css"},       {".scss", "scss"},
    {".sass", "sass"},     {".less", "less"},     {".vue", "vue"},       {".dart", "dart"},
    {".lua", "lua"},       {".r", "r"},           {".m", "matlab"},      {".nim", "nim"},
    {".zig", "zig"},       {".odin", "odin"},     {".v", "vlang"},       {".jl", "julia"},
    {".hs", "haskell"},    {".ml", "ocaml"},      {".fs", "fsharp"},     {".ex", "elixir"},
    {".exs", "elixir"},    {".erl", "erlang"},    {".elm", "elm"},       {".purs", "purescript"},
    {".idr", "idris"},     {".agda", "agda"},     {".pt", "prolog"},     {".lsp", "lisp"},
    {".cl", "lisp"},       {".scm", "scheme"},    {".rkt", "racket"},    {".nim", "nim"},
};

namespace {
constexpr const char *LINE_SLASHES = R"x(//(.*))x";
constexpr const char *LINE_HASH = R"x(#(.*))x";
constexpr const char *LINE_DASHES = R"x(--(.*))x";
constexpr const char *LINE_PERCENT = R"x(%(.*))x";
constexpr const char *LINE_SEMICOLON = R"x(;(.*))x";
constexpr const char *BLOCK_C = R"x(/\*(.*?)\*/)x";
constexpr const char *BLOCK_MARKUP = R"x(<!--(.*?)-->)x";
constexpr const char *BLOCK_BRACE_DASH = R"x(\{-(.*?)-\})x";
constexpr const char *BLOCK_PAREN_STAR = R"x(\(\*(.*?)\*\))x";

#define C_FAMILY(name, prefix) {name, true, false, {LINE_SLASHES}, true, {BLOCK_C}, prefix}
#define DASH_BRACE(name, prefix) {name, true, false, {LINE_DASHES}, true, {BLOCK_BRACE_DASH}, prefix}
#define LINE_ONLY(name, pattern, prefix) {name, true, false, {pattern}, false, {}, prefix}
}  // namespace

const LanguageRow LANGUAGE_ROWS[45] = {
    {"python", true, true, {LINE_HASH}, true, {R"x("""(.*?)""")x", R"x('''(.*?)''')x"}, "#"},
    {"php", true, false, {LINE_SLASHES, LINE_HASH}, true, {BLOCK_C}, "//"},
    C_FAMILY("csharp", "//"),
    C_FAMILY("java", "//"),
    C_FAMILY("javascript", "//"),
    C_FAMILY("typescript", "//"),
    C_FAMILY("c", "//"),
    C_FAMILY("cpp", "//"),
    C_FAMILY("go", "//"),
    C_FAMILY("rust", "//"),
    C_FAMILY("swift", "//"),
    C_FAMILY("kotlin", "//"),
    {"ruby", true, false, {LINE_HASH}, true, {R"x(=begin(.*?)=end)x"}, "#"},
    LINE_ONLY("shell", LINE_HASH, "#"),
    {"sql", true, false, {LINE_DASHES}, true, {BLOCK_C}, "--"},
    {"html", false, false, {}, true, {BLOCK_MARKUP}, nullptr},
    {"xml", false, false, {}, true, {BLOCK_MARKUP}, nullptr},
    {"css", false, false, {}, true, {BLOCK_C}, nullptr},
    C_FAMILY("scss", nullptr),
    C_FAMILY("dart", "//"),
    {"lua", true, false, {LINE_DASHES}, true, {R"x(--\[\[(.*?)\]\])x"}, "--"},
    C_FAMILY("scala", "//"),
    DASH_BRACE("haskell", "--"),
    LINE_ONLY("elixir", LINE_HASH, "#"),
    LINE_ONLY("erlang", LINE_PERCENT, "%"),
    LINE_ONLY("lisp", LINE_SEMICOLON, ";"),
    LINE_ONLY("scheme", LINE_SEMICOLON, ";"),
    LINE_ONLY("racket", LINE_SEMICOLON, ";"),
    {"julia", true, false, {LINE_HASH}, true, {R"x(#=(.*?)=#)x"}, "#"},
    {"matlab", true, false, {LINE_PERCENT}, true, {R"x(%\{(.*?)\}%)x"}, "%"},
    {"nim", true, false, {LINE_HASH}, true, {R"x(#\[(.*?)\]#)x"}, "#"},
    LINE_ONLY("zig", LINE_SLASHES, "//"),
    C_FAMILY("odin", "//"),
    C_FAMILY("vlang", "//"),
    LINE_ONLY("ocaml", BLOCK_PAREN_STAR, "(*"),
    {"fsharp", true, false, {LINE_SLASHES}, true, {BLOCK_PAREN_STAR}, "//"},
    DASH_BRACE("elm", "--"),
    DASH_BRACE("purescript", "--"),
    DASH_BRACE("idris", "--"),
    DASH_BRACE("agda", "--"),
    {"prolog", true, false, {LINE_PERCENT}, true, {BLOCK_C}, "%"},
    {"vue", true, false, {LINE_SLASHES}, true, {BLOCK_C, BLOCK_MARKUP}, nullptr},
    {"less", false, false, {}, true, {BLOCK_C}, nullptr},
    C_FAMILY("sass", nullptr),
    {"perl", true, false, {LINE_HASH}, true, {R"x(=(.*?)=cut)x"}, nullptr},
};
namespace {
constexpr BlockSyntax SLASH_STAR{"/*", "*/", false};
constexpr BlockSyntax SLASH_STAR_NESTED{"/*", "*/", true};
constexpr BlockSyntax BRACE_DASH{"{-", "-}", true};
constexpr BlockSyntax PAREN_STAR{"(*", "*)", true};
constexpr BlockSyntax HASH_BAR{"#|", "|#", true};
constexpr BlockSyntax NO_BLOCK{nullptr, nullptr, false};
constexpr unsigned DASHES = DASH_OPERATORS | BRACE_PRAGMAS;
}  // namespace

const CommentSyntax COMMENT_SYNTAX[37] = {
    {"python", {"#"}, NO_BLOCK, 0},
    {"javascript", {"//"}, SLASH_STAR, 0},
    {"typescript", {"//"}, SLASH_STAR, 0},
    {"java", {"//"}, SLASH_STAR, UNICODE_ESCAPES},
    {"c", {"//"}, SLASH_STAR, SPLICED_LINES},
    {"cpp", {"//"}, SLASH_STAR, SPLICED_LINES},
    {"csharp", {"//"}, SLASH_STAR, 0},
    {"php", {"//", "#"}, SLASH_STAR, CLOSE_TAG | HASH_ATTRIBUTES},
    {"go", {"//"}, SLASH_STAR, GO_DIRECTIVES},
    {"rust", {"//"}, SLASH_STAR_NESTED, DOC_MARKERS},
    {"swift", {"//"}, SLASH_STAR_NESTED, 0},
    {"kotlin", {"//"}, SLASH_STAR_NESTED, 0},
    {"scala", {"//"}, SLASH_STAR_NESTED, 0},
    {"ruby", {"#"}, NO_BLOCK, 0},
    {"shell", {"#"}, NO_BLOCK, 0},
    {"sql", {"--"}, SLASH_STAR_NESTED, BLOCK_HINTS},
    {"dart", {"//"}, SLASH_STAR_NESTED, 0},
    {"lua", {"--"}, NO_BLOCK, LONG_BRACKETS},
    {"haskell", {"--"}, BRACE_DASH, DASHES},
    {"elixir", {"#"}, NO_BLOCK, 0},
    {"erlang", {"%"}, NO_BLOCK, 0},
    {"lisp", {";"}, HASH_BAR, 0},
    {"scheme", {";"}, HASH_BAR, 0},
    {"racket", {";"}, HASH_BAR, 0},
    {"julia", {"#"}, {"#=", "=#", true}, 0},
    {"matlab", {"%"}, NO_BLOCK, CONTINUATION_DOTS | BLOCK_MARKS},
    {"nim", {"#"}, {"#[", "]#", true}, 0},
    {"zig", {"//"}, NO_BLOCK, DOC_MARKERS},
    {"odin", {"//"}, SLASH_STAR_NESTED, 0},
    {"vlang", {"//"}, SLASH_STAR_NESTED, 0},
    {"elm", {"--"}, BRACE_DASH, DASHES},
    {"purescript", {"--"}, BRACE_DASH, DASHES},
    {"idris", {"--"}, BRACE_DASH, DASHES},
    {"agda", {"--"}, BRACE_DASH, DASHES},
    {"prolog", {"%"}, SLASH_STAR, 0},
    {"ocaml", {}, PAREN_STAR, QUOTES_IN_BLOCKS},
    {"fsharp", {"//"}, PAREN_STAR, QUOTES_IN_BLOCKS},
};
// clang-format on

const CommentSyntax *comment_syntax(std::string_view language) {
    for (const CommentSyntax &row : COMMENT_SYNTAX)
        if (row.language == language)
            return &row;
    return nullptr;
}

const char *line_prefix(std::string_view language) {
    for (const LanguageRow &row : LANGUAGE_ROWS)
        if (row.language == language)
            return row.line_prefix;
    return nullptr;
}

}  // namespace orvo
