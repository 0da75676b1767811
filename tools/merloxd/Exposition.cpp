#include "Exposition.h"

#include <charconv>
#include <cmath>

namespace merloxd {
namespace {

// HELP text escapes backslash and line feed only.
std::string EscapeHelp(std::string_view help) {
  std::string text;
  for (const char c : help) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

}  // namespace

std::string SampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  const auto result = std::to_chars(text, text + sizeof(text), value);
  return std::string(text, result.ptr);
}

std::string EscapeLabelValue(std::string_view value) {
  std::string text;
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      text += '\\';
      text += c;
    } else if (c == '\n') {
      text += "\\n";
    } else {
      text += c;
    }
  }
  return text;
}

// Appended piece by piece: the text is the scrape's whole answer, built once.
void Exposition::Family(std::string_view name, Type type, std::string_view help) {
  name_ = name;
  text_.append("# HELP ").append(name_).append(" ").append(EscapeHelp(help)).append("\n");
  text_.append("# TYPE ").append(name_).append(type == Type::kCounter ? " counter\n" : " gauge\n");
}

void Exposition::Sample(const Labels& labels, double value) {
  text_ += name_;
  if (!labels.empty()) {
    text_ += '{';
    for (size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) text_ += ',';
      text_.append(labels[i].first).append("=\"");
      text_.append(EscapeLabelValue(labels[i].second)).append("\"");
    }
    text_ += '}';
  }
  text_.append(" ").append(SampleValue(value)).append("\n");
}

}  // namespace merloxd
