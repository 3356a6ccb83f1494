#include "bindings.hpp"

NB_MODULE(nestrel, m) {
    orvo::translate_errors();
    m.doc() = "Comment extraction: finds the comments of a project's source files by language and writes "
              "them as the comment document .orvo/comments.json.";
    nestrel::register_extractor(m);
    nestrel::register_command(m);
    orvo::publish(m);
    orvo::define_all(m);
}
