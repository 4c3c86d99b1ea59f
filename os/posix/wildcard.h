// FindFirstFileA's wildcard rules, for the listing of a mounted volume:
// "*.*" is everything, and '*', '?' and '.' keep their DOS meanings
// around a name's last dot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace purgato {

// The translation FindFirstFileA applies before the file system matches.
void compilePattern(const std::string& pattern, std::vector<std::uint16_t>* out);

// Matches name against a compiled pattern, without regard to ASCII case.
bool matchPattern(const std::vector<std::uint16_t>& pattern, const char* name, std::size_t length);

}  // namespace purgato
