// The definition engine's ties to the host: the host's character classes, and
// the definitions of one file, read and decoded as the file list of the prompt
// enhancement wants them.
#pragma once

#include "definitions.hpp"

#include <string>
#include <vector>

namespace quorlin {

// The host's `\w` and `\s`, taken from the host's own predicates at the first
// call, which must hold the host lock. Later calls need no lock.
const CharClasses &host_char_classes();

// The defined names of the file at `path` (file-system bytes), as
// `extract_definitions` gives them for the text of the file: empty when the
// suffix belongs to no group or the file cannot be read (missing, a
// directory, no permission, memory exhausted). Bytes that are not UTF-8 are
// dropped, "\r\n" and a lone "\r" are read as "\n", and a byte-order mark
// stays in the text as a character. Needs no host lock once
// `host_char_classes()` has been called.
std::vector<std::string> definitions_of_file(const std::string &path);

}  // namespace quorlin
