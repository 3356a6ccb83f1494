#include "bindings.hpp"

NB_MODULE(hadrel, m) {
    orvo::translate_errors();
    m.doc() = "Key scrambling: a fixed one-to-one substitution of the characters of API keys that begin with "
              "'sk-'. Reversible by anyone who holds the table; not encryption.";
    hadrel::register_scrambling(m);
    orvo::publish(m);
    orvo::define_all(m);
}
