#include "os/text.h"

#include <cstring>

namespace purgato {

char* lowerInPlace(char* text) {
  for (char* p = text; *p; ++p) *p = lowerAscii(*p);
  return text;
}

char* upperInPlace(char* text) {
  for (char* p = text; *p; ++p) *p = upperAscii(*p);
  return text;
}

int compareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const unsigned char ca = static_cast<unsigned char>(lowerAscii(*a));
    const unsigned char cb = static_cast<unsigned char>(lowerAscii(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
}

int compareNoCaseN(const char* a, const char* b, std::size_t n) {
  for (; n > 0; --n, ++a, ++b) {
    const unsigned char ca = static_cast<unsigned char>(lowerAscii(*a));
    const unsigned char cb = static_cast<unsigned char>(lowerAscii(*b));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

bool copyText(char* dest, std::size_t size, const char* text) {
  const std::size_t length = std::strlen(text);
  if (size == 0) return false;
  if (length >= size) {
    dest[0] = '\0';
    return false;
  }
  std::memmove(dest, text, length + 1);
  return true;
}

bool appendText(char* dest, std::size_t size, const char* text) {
  const std::size_t have = std::strlen(dest);
  const std::size_t add = std::strlen(text);
  if (have + add >= size) return false;
  std::memmove(dest + have, text, add + 1);
  return true;
}

const char* afterLastBackslash(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  return slash ? slash + 1 : path;
}

}  // namespace purgato
