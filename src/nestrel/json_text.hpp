// JSON text of host values, written natively.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace nestrel {

// Append to `out` the text that the host's
// `json.dumps(value, indent=2, ensure_ascii=False)` gives for `value`. Returns
// false, with `out` holding partial text, when the value holds something
// whose text only the host's json module knows (another type, a key that is
// not a text, nesting deeper than a few hundred levels): the caller then asks
// the host.
bool write_json(nanobind::handle value, std::string &out);

}  // namespace nestrel
