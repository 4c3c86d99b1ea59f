// Portable stand-ins for the C run-time text calls the core uses
// (_strlwr, _strupr, _stricmp, _strnicmp) and bounded copies into the
// fixed-size buffers that hold paths and texts.
#pragma once

#include <cstddef>

namespace purgato {

// Paths and folder patterns live in buffers of MAX_PATH bytes: 259
// characters and the terminating zero.
constexpr std::size_t kPathSize = 260;

// ASCII letters only, as the C run-time does in the "C" locale: other
// bytes, those of code pages above 127 included, stay as they are.
inline char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
inline char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

char* lowerInPlace(char* text);  // _strlwr, ASCII letters only
char* upperInPlace(char* text);  // _strupr, ASCII letters only
int compareNoCase(const char* a, const char* b);                // _stricmp
int compareNoCaseN(const char* a, const char* b, std::size_t n);  // _strnicmp

// Copies text into a buffer of size bytes; false (and dest left as "") when
// it would not fit with its terminating zero. Never writes past the buffer.
bool copyText(char* dest, std::size_t size, const char* text);
// Appends text; false (dest unchanged) when the result would not fit.
bool appendText(char* dest, std::size_t size, const char* text);

// The part of path after its last '\\', or the whole path.
const char* afterLastBackslash(const char* path);

}  // namespace purgato
