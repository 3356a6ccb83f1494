// The provider overview: a fixed, coloured description of five kinds of chat
// service, every piece of wording from the interface texts.
#include "bindings.hpp"

#include <orvo/dialogue.hpp>

namespace palvex {

namespace {

enum class Body {
    none,   // the block has no such section
    fixed,  // a fixed text
    whole,  // a translation on one body line, inner line breaks as they are
    split,  // a translation, one body line per line of its text
};

struct Section {
    Body body;
    const char *value;  // the fixed text, or the translation key
};

// The sections of a block, in their order, and their headings.
constexpr const char *HEADINGS[6] = {"provider_endpoint", "provider_features", "provider_pricing",
                                     "provider_context",  "provider_models",   "provider_note"};
constexpr std::size_t NOTE = 5;

struct Block {
    const char *title;
    const char *description;  // nothing for the last block
    Section sections[6];      // endpoint, features, pricing, context, models, note
};

constexpr Block BLOCKS[] = {
    {"openai_official_label",
     "openai_description",
     {{Body::fixed, "https://api.openai.com/v1"},
      {Body::split, "openai_features"},
      {Body::split, "openai_pricing"},
      {Body::whole, "openai_context"},
      {Body::split, "openai_models"},
      {Body::whole, "openai_note"}}},
    {"azure_openai_label",
     "azure_description",
     {{Body::fixed, "https://<your-resource-name>.openai.azure.com"},
      {Body::split, "azure_features"},
      {Body::split, "azure_pricing"},
      {Body::whole, "azure_context"},
      {Body::whole, "azure_models"},
      {Body::whole, "azure_note"}}},
    {"anthropic_claude",
     "claude_description",
     {{Body::fixed, "https://api.anthropic.com"},
      {Body::split, "claude_features"},
      {Body::split, "claude_pricing"},
      {Body::whole, "claude_context"},
      {Body::split, "claude_models"},
      {Body::whole, "claude_note"}}},
    {"google_gemini",
     "gemini_description",
     {{Body::fixed, "https://generativelanguage.googleapis.com/v1beta"},
      {Body::split, "gemini_features"},
      {Body::split, "gemini_pricing"},
      {Body::split, "gemini_context"},
      {Body::split, "gemini_models"},
      {Body::whole, "gemini_note"}}},
    {"other_third_party_apis",
     nullptr,
     {{Body::whole, "refer_provider_docs_note"},
      {Body::none, nullptr},
      {Body::none, nullptr},
      {Body::none, nullptr},
      {Body::none, nullptr},
      {Body::whole, "refer_provider_docs_note"}}},
};

constexpr const char *INDENT = "     ";

void body_line(nb::handle piece) { orvo::print(orvo::joined({nb::str(INDENT), piece})); }

void rule_line(bool closing) {
    nb::str rule = orvo::to_str(orvo::rule('=', 60));
    if (closing)
        orvo::print(orvo::joined({nb::str("\n"), color("CYAN"), rule, color("END"), nb::str("\n")}));
    else
        orvo::print(orvo::joined({nb::str("\n"), color("CYAN"), rule, color("END")}));
}

void show_block(const Block &block, int number) {
    std::string numbered = std::to_string(number) + ". ";
    orvo::print(
        orvo::joined({nb::str("  "), color("BLUE"), nb::str(numbered.c_str()), text(block.title), color("END")}));
    if (block.description)
        orvo::print(orvo::joined({nb::str("  "), color("GREEN"), text(block.description), color("END")}));
    for (std::size_t i = 0; i < 6; ++i) {
        const Section &section = block.sections[i];
        if (section.body == Body::none)
            continue;
        orvo::print(
            orvo::joined({nb::str("\n"), color(i == NOTE ? "MAGENTA" : "YELLOW"), text(HEADINGS[i]), color("END")}));
        switch (section.body) {
        case Body::fixed:
            body_line(nb::str(section.value));
            break;
        case Body::whole:
            body_line(text(section.value));
            break;
        case Body::split: {
            nb::object pieces = nb::str(text(section.value)).attr("split")("\n");
            for (nb::handle piece : pieces)
                body_line(piece);
            break;
        }
        case Body::none:
            break;
        }
    }
}

void show_common_providers() {
    orvo::print(orvo::joined({nb::str("\n"), color("BOLD"), text("detailed_provider_info"), color("END")}));
    rule_line(false);
    int number = 0;
    for (const Block &block : BLOCKS) {
        show_block(block, ++number);
        rule_line(number == (int) std::size(BLOCKS));
    }
}

}  // namespace

void register_providers(nb::module_ &m) {
    m.def("show_common_providers", &show_common_providers, nb::sig("def show_common_providers() -> None"),
          "显示常见的API提供商信息");
}

}  // namespace palvex
