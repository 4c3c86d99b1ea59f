#include "os/posix/wildcard.h"

#include <bitset>

#include "os/text.h"

namespace purgato {

namespace {

// Wildcard tokens of a translated search pattern (bytes are literals).
enum : std::uint16_t {
  kTokStar = 256,     // '*': any run of characters
  kTokDosStar = 257,  // '*' before '.': any run that does not eat the name's last '.'
  kTokDosQm = 258,    // '?': one character, or nothing at a '.' or the end
  kTokDosDot = 259,   // '.' before a wildcard or at the end: a '.', or nothing at the end
};

}  // namespace

// The translation FindFirstFileA applies before the file system matches.
void compilePattern(const std::string& pattern, std::vector<std::uint16_t>* out) {
  out->clear();
  if (pattern == "*.*") {
    out->push_back(kTokStar);
    return;
  }
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '.' && !out->empty() && out->back() == kTokStar) out->back() = kTokDosStar;
    if (c == '?' || c == '*') {
      if (!out->empty() && out->back() == '.') out->back() = kTokDosDot;
      out->push_back(c == '?' ? kTokDosQm : kTokStar);
    } else {
      out->push_back(static_cast<unsigned char>(upperAscii(c)));
    }
  }
  if (!out->empty() && out->back() == '.') out->back() = kTokDosDot;
}

// Matches name against a compiled pattern, without regard to ASCII case:
// a set of pattern positions advanced one name character at a time.
bool matchPattern(const std::vector<std::uint16_t>& pattern, const char* name, std::size_t length) {
  using States = std::bitset<kPathSize + 1>;
  const std::size_t m = pattern.size();
  if (m > kPathSize) return false;
  std::size_t lastDot = length;  // none
  for (std::size_t k = 0; k < length; ++k) {
    if (name[k] == '.') lastDot = k;
  }
  // Moves that consume nothing; they only go forward, so one pass suffices.
  auto close = [&](States& s, std::size_t k) {
    const bool atEnd = k == length;
    const bool atDot = !atEnd && name[k] == '.';
    for (std::size_t i = 0; i < m; ++i) {
      if (!s[i]) continue;
      const std::uint16_t t = pattern[i];
      if (t == kTokStar || t == kTokDosStar || (t == kTokDosQm && (atEnd || atDot)) || (t == kTokDosDot && atEnd)) {
        s.set(i + 1);
      }
    }
  };
  States current;
  current.set(0);
  close(current, 0);
  for (std::size_t k = 0; k < length; ++k) {
    const char c = name[k];
    States next;
    for (std::size_t i = 0; i < m; ++i) {
      if (!current[i]) continue;
      switch (pattern[i]) {
        case kTokStar:
          next.set(i);
          break;
        case kTokDosStar:
          if (c != '.' || (lastDot != length && k < lastDot)) next.set(i);
          break;
        case kTokDosQm:
          if (c != '.') next.set(i + 1);
          break;
        case kTokDosDot:
          if (c == '.') next.set(i + 1);
          break;
        default:
          if (pattern[i] == static_cast<unsigned char>(upperAscii(c))) next.set(i + 1);
          break;
      }
    }
    close(next, k + 1);
    if (next.none()) return false;
    current = next;
  }
  return current[m];
}

}  // namespace purgato
