"""What a language reads as code, for holding written-back comments against:
the leaves of a source's syntax tree outside its comments, as the grammar
packages read them. Shared by the tests and the comment benchmark."""

import importlib

import tree_sitter

# suffix -> grammar package and the function that gives its language
GRAMMARS = {
    ".py": ("tree_sitter_python", "language"), ".js": ("tree_sitter_javascript", "language"),
    ".jsx": ("tree_sitter_javascript", "language"), ".ts": ("tree_sitter_typescript", "language_typescript"),
    ".tsx": ("tree_sitter_typescript", "language_tsx"), ".java": ("tree_sitter_java", "language"),
    ".c": ("tree_sitter_c", "language"), ".h": ("tree_sitter_c", "language"),
    ".cpp": ("tree_sitter_cpp", "language"), ".cc": ("tree_sitter_cpp", "language"),
    ".cxx": ("tree_sitter_cpp", "language"), ".hpp": ("tree_sitter_cpp", "language"),
    ".cs": ("tree_sitter_c_sharp", "language"), ".php": ("tree_sitter_php", "language_php"),
    ".go": ("tree_sitter_go", "language"), ".rs": ("tree_sitter_rust", "language"),
    ".rust": ("tree_sitter_rust", "language"), ".swift": ("tree_sitter_swift", "language"),
    ".kotlin": ("tree_sitter_kotlin", "language"), ".scala": ("tree_sitter_scala", "language"),
    ".rb": ("tree_sitter_ruby", "language"), ".sh": ("tree_sitter_bash", "language"),
    ".bash": ("tree_sitter_bash", "language"), ".sql": ("tree_sitter_sql", "language"),
    ".dart": ("tree_sitter_dart", "language"), ".lua": ("tree_sitter_lua", "language"),
    ".hs": ("tree_sitter_haskell", "language"), ".ex": ("tree_sitter_elixir", "language"),
    ".exs": ("tree_sitter_elixir", "language"), ".jl": ("tree_sitter_julia", "language"),
    ".m": ("tree_sitter_matlab", "language"), ".zig": ("tree_sitter_zig", "language"),
    ".odin": ("tree_sitter_odin", "language"), ".ml": ("tree_sitter_ocaml", "language_ocaml"),
    ".fs": ("tree_sitter_fsharp", "language"), ".agda": ("tree_sitter_agda", "language"),
    ".lsp": ("tree_sitter_commonlisp", "language"), ".cl": ("tree_sitter_commonlisp", "language"),
}

_parsers = {}


def parser(suffix):
    if suffix not in _parsers:
        module, function = GRAMMARS[suffix]
        language = tree_sitter.Language(getattr(importlib.import_module(module), function)())
        _parsers[suffix] = tree_sitter.Parser(language)
    return _parsers[suffix]


def without_c_comments(text):
    """A C macro body without its comments (which the grammar leaves in it),
    read as the preprocessor reads it: strings and characters hold none."""
    out, i = bytearray(), 0
    while i < len(text):
        if text.startswith(b"//", i):
            while i < len(text) and text[i:i + 1] not in (b"\n", b"\r"):
                i += 2 if text.startswith(b"\\\n", i) else 1
        elif text.startswith(b"/*", i):
            end = text.find(b"*/", i + 2)
            i = len(text) if end < 0 else end + 2
            out += b" "
        elif text[i:i + 1] in (b'"', b"'"):
            quote, start = text[i:i + 1], i
            i += 1
            while i < len(text) and text[i:i + 1] not in (quote, b"\n"):
                i += 2 if text[i:i + 1] == b"\\" else 1
            i += 1
            out += text[start:i]
        else:
            out += text[i:i + 1]
            i += 1
    return bytes(out).rstrip()


def is_comment(node):
    return "comment" in node.type


def code(suffix, source):
    """The leaves outside comments, as (type, text) pairs in order, and the
    number of syntax errors the grammar reports."""
    tree = parser(suffix).parse(source)
    leaves, errors = [], 0
    cursor = tree.walk()
    while True:
        node = cursor.node
        if node.is_error or node.is_missing:
            errors += 1
        descend = not is_comment(node) and node.child_count > 0
        if not is_comment(node) and node.child_count == 0 and node.end_byte > node.start_byte:
            text = source[node.start_byte:node.end_byte]
            leaves.append((node.type, without_c_comments(text) if node.type == "preproc_arg" else text))
        if descend and cursor.goto_first_child():
            continue
        while not cursor.goto_next_sibling():
            if not cursor.goto_parent():
                return leaves, errors


def comments(suffix, source):
    """The texts of the comments the grammar finds, in order."""
    tree = parser(suffix).parse(source)
    found = []
    stack = [tree.root_node]
    while stack:
        node = stack.pop()
        if is_comment(node):
            found.append(source[node.start_byte:node.end_byte])
        else:
            stack.extend(reversed(node.children))
    return found
