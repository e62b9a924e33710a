#include "core/quote.hpp"

#include <cstdint>

namespace varnel {
namespace {

// Decodes one UTF-8 scalar at `text[i]`, advancing `i`; invalid sequences
// decode to U+FFFD and consume one byte.
char32_t next_scalar(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<std::uint8_t>(text[i]);
  auto cont = [&](std::size_t k) -> int {
    if (i + k >= text.size()) return -1;
    const auto b = static_cast<std::uint8_t>(text[i + k]);
    return (b & 0xC0) == 0x80 ? (b & 0x3F) : -1;
  };
  if (b0 < 0x80) { ++i; return b0; }
  int n = 0;
  char32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) { n = 1; cp = b0 & 0x1F; }
  else if ((b0 & 0xF0) == 0xE0) { n = 2; cp = b0 & 0x0F; }
  else if ((b0 & 0xF8) == 0xF0) { n = 3; cp = b0 & 0x07; }
  else { ++i; return 0xFFFD; }
  for (int k = 1; k <= n; ++k) {
    const int c = cont(static_cast<std::size_t>(k));
    if (c < 0) { ++i; return 0xFFFD; }
    cp = (cp << 6) | static_cast<char32_t>(c);
  }
  static constexpr char32_t min_for_len[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < min_for_len[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return 0xFFFD; }
  i += static_cast<std::size_t>(n) + 1;
  return cp;
}

// Characters shown escaped although they are not ASCII controls: the C1
// controls, format characters, line/paragraph separators, private use and
// noncharacters.
bool non_printable(char32_t c) {
  if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) return true;
  if (c == 0xAD || (c >= 0x600 && c <= 0x605) || c == 0x61C || c == 0x6DD || c == 0x70F ||
      c == 0x180E)
    return true;
  if ((c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
      (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB))
    return true;
  if ((c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000) return true;
  if ((c & 0xFFFE) == 0xFFFE || (c >= 0xFDD0 && c <= 0xFDEF)) return true;
  return false;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string quote_text(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = next_scalar(text, i);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (non_printable(c)) {
      std::string digits;
      for (char32_t v = c; v != 0 || digits.empty(); v >>= 4) digits.insert(digits.begin(), hex[v & 0xF]);
      out += "\\u{" + digits + "}";
    } else {
      append_utf8(out, c);
    }
  }
  out += "\"";
  return out;
}

}  // namespace varnel
