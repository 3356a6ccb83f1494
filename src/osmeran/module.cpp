#include "bindings.hpp"

NB_MODULE(osmeran, m) {
    orvo::translate_errors();
    m.doc() = "Comment injection: writes the single-line comments of .orvo/comments.json back into the "
              "source files after a typed confirmation.";
    m.attr("Nestrel") = orvo::import_name("nestrel", "Nestrel");
    osmeran::register_messages(m);
    osmeran::register_injector(m);
    osmeran::register_command(m);
    orvo::publish(m);
    orvo::define_all(m);
}
