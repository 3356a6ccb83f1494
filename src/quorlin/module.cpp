// Prompt enhancement. For now the module offers the definition extraction, as
// private functions that check it against Python's `re`.
#include "bindings.hpp"

NB_MODULE(quorlin, m) {
    m.doc() = "Prompt enhancement: the definitions of a project's source files.";
    quorlin::register_checks(m);
}
