#include "bindings.hpp"

NB_MODULE(brisolet, m) {
    orvo::translate_errors();
    m.doc() = "A one-line terminal spinner drawn by a background thread while slow work runs.";
    m.attr("t") = orvo::import_name("i18n", "t");
    brisolet::register_animation(m);
    brisolet::register_front_ends(m);
    orvo::publish(m);
    orvo::define_all(m);
}
