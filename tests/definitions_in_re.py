"""The definition finder's rules written plainly with Python's `re`: the
reference that the tests and the benchmark hold the native finder against,
and the texts made against its restarts that both run."""

import re

# The patterns of each suffix group, written independently of the module.
GROUPS = {
    ".py": (r"^\s*class\s+(\w+)", r"^\s*def\s+(\w+)"),
    ".js": (r"(?:class|interface)\s+(\w+)",
            r"(?:function\s+(\w+)|(?:const|let|var)\s+(\w+)\s*=\s*(?:async\s+)?(?:function|\([^)]*\)\s*=>))"),
    ".java": (r"(?:class|interface|enum)\s+(\w+)",
              r"(?:public|private|protected|static|\s)+[\w<>\[\]]+\s+(\w+)\s*\([^)]*\)\s*\{"),
    ".cs": (r"(?:class|interface|struct|enum)\s+(\w+)",
            r"(?:public|private|protected|internal|static|\s)+[\w<>\[\]]+\s+(\w+)\s*\([^)]*\)"),
    ".php": (r"(?:class|interface|trait)\s+(\w+)", r"function\s+(\w+)\s*\("),
    ".go": (r"type\s+(\w+)\s+(?:struct|interface)", r"func\s+(?:\([^)]*\)\s+)?(\w+)\s*\("),
    ".rs": (r"(?:struct|trait|enum)\s+(\w+)", r"fn\s+(\w+)\s*[<(]"),
    ".c": (r"(?:class|struct)\s+(\w+)", r"[\w:<>*&\s]+\s+(\w+)\s*\([^)]*\)\s*(?:\{|;)"),
}
SAME_GROUP = {".ts": ".js", ".jsx": ".js", ".tsx": ".js", ".cpp": ".c", ".cc": ".c", ".cxx": ".c", ".h": ".c",
              ".hpp": ".c", ".PY": ".py", ".Java": ".java"}
KEYWORDS = {"if", "while", "for", "switch", "return", "sizeof", "typedef"}

# Texts against the restart of a search after each match: many short matches,
# each while an earlier, still undecided parenthesis is open, long parameter
# lists, unclosed ones: (label, suffix, pattern, repeated unit).
ADVERSARIAL = [
    ("open '(' then a function", ".js", 1, "const x = ( function a "),
    ("many short arrows", ".js", 1, "let f=()=>"),
    ("open '(' then a func", ".go", 1, "func ( func a( "),
    ("receiver lists", ".go", 1, "func (s S) f("),
    ("unclosed calls", ".c", 1, "a b( "),
    ("many short prototypes", ".c", 1, "a b();"),
    ("modifiers without a brace", ".java", 1, "public static a b(c) "),
    ("modifiers and methods", ".cs", 1, "public static a b(c)"),
    ("blank lines, one class each", ".py", 0, "\n \n class A"),
]


def re_finds(suffix, which, text):
    flags = re.MULTILINE if suffix == ".py" else 0
    compiled = re.compile(GROUPS[suffix][which], flags)
    if compiled.groups == 2:
        return [(m.group(1) or "", m.group(2) or "") for m in compiled.finditer(text)]
    return [m.group(1) for m in compiled.finditer(text)]


def re_extraction(suffix, text):
    group = SAME_GROUP.get(suffix, suffix)
    found = re_finds(group, 0, text)
    for find in re_finds(group, 1, text):
        if group == ".js":
            find = find[0] or find[1]
        elif group == ".c" and find in KEYWORDS:
            continue
        found.append(find)
    return list(dict.fromkeys(name for name in found if name))[:20]
