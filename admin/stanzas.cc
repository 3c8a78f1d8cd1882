#include "admin/stanzas.h"

#include <algorithm>

namespace zel {

LineIndex::LineIndex(std::string_view text) {
  starts_.push_back(0);
  for (std::size_t pos = text.find('\n'); pos != std::string_view::npos; pos = text.find('\n', pos + 1)) {
    starts_.push_back(pos + 1);
  }
}

std::size_t LineIndex::line_of(std::size_t offset) const {
  return static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) -
                                  starts_.begin());
}

std::size_t Stanza::counting_token() const {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (!tokens[i].value.empty()) return i;
  }
  return std::string_view::npos;
}

std::string stanza_label(const Stanza& stanza) {
  return stanza.name ? "[" + *stanza.name + "]" : std::string("the default stanza");
}

std::string stanza_label(const char* name) {
  if (name == nullptr) return "the default stanza";
  // Built piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + std::string(name) + "]".
  std::string label(1, '[');
  label += std::string_view(name);
  label.push_back(']');
  return label;
}

Stanza select_stanza(std::string_view text, const LineIndex& lines, const char* name) {
  Stanza stanza;
  if (name != nullptr) {
    stanza.name = name;
    const std::size_t found = find_header(text, "[" + *stanza.name + "]");
    if (found != std::string_view::npos) stanza.selected_line = lines.line_of(found);
  }
  std::size_t start = 0;
  stanza.lookup = find_stanza(text, name, start);
  if (stanza.lookup != StanzaLookup::kFound) return stanza;
  stanza.start_line = lines.line_of(start);
  for_each_property_line(text, start, stanza_end(text, start), [&](std::string_view line) {
    const std::size_t number = lines.line_of(static_cast<std::size_t>(line.data() - text.data()));
    switch (line_kind(text, line)) {
      case LineKind::kListed:
        stanza.listed.push_back({number, line});
        return;
      case LineKind::kWithheld:
        stanza.withheld.push_back({number, line});
        return;
      case LineKind::kToken:
        break;
    }
    const std::string_view value = token_value_of(line);
    stanza.tokens.push_back({number, value});
  });
  return stanza;
}

std::optional<std::string_view> counting_value(std::string_view whole_text, const char* name) {
  const std::string_view text = whole_text.substr(0, whole_text.find('\0'));
  const Stanza stanza = select_stanza(text, LineIndex(text), name);
  const std::size_t i = stanza.counting_token();
  return i == std::string_view::npos ? std::nullopt : std::optional(stanza.tokens[i].value);
}

std::vector<SoughtToken> token_lines(std::string_view text, const LineIndex& lines) {
  std::vector<SoughtToken> tokens;
  const auto without_spaces = [](std::string_view rest) {
    return rest.substr(std::min(rest.find_first_not_of(' '), rest.size()));
  };
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    // A token line starts a line, or follows the "]" of a header on it ("[ci] token.value = ..."
    // holds the token of [ci]); any "[" before a "]" may open one, as zel-auth's header search has it.
    if (const std::string_view start = without_spaces(line); is_token_line(start)) {
      tokens.push_back({token_value_of(start), lines.line_of(pos), false});
    }
    const std::size_t open = line.find('[');
    for (std::size_t close = open == std::string_view::npos ? open : line.find(']', open);
         close != std::string_view::npos; close = line.find(']', close + 1)) {
      const std::string_view start = without_spaces(line.substr(close + 1));
      if (is_token_line(start)) tokens.push_back({token_value_of(start), lines.line_of(pos), true});
    }
    pos = end + 1;
  }
  return tokens;
}

SiteView view_site(std::string_view whole_text, const LineIndex& lines) {
  SiteView view;
  const std::size_t nul = whole_text.find('\0');
  view.text = whole_text.substr(0, nul);
  if (nul != std::string_view::npos) view.nul_line = lines.line_of(nul);
  view.default_stanza = select_stanza(view.text, lines, nullptr);

  const std::string_view text = view.text;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (text[pos] == '[') {
      BracketLine bracket{lines.line_of(pos), text.substr(pos, end - pos), {}};
      const std::size_t close = bracket.text.find(']');
      if (close != std::string_view::npos) {
        bracket.name = std::string(bracket.text.substr(1, close - 1));
        view.named.push_back(select_stanza(text, lines, bracket.name->c_str()));
        view.named.back().header_line = bracket.line;
      }
      view.bracket_lines.push_back(bracket);
    }
    pos = end + 1;
  }
  return view;
}

}  // namespace zel
