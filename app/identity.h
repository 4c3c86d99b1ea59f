// The program's identity texts. kWindowTitle is the caption of every dialog
// and the key by which a second copy finds the first.
#pragma once

#include <cstddef>

namespace purgato {

// Buffer size of the texts composed from them (at most 259 characters).
constexpr std::size_t kTextSize = 260;

constexpr char kWindowTitle[] = "Purgato Ver 1.5";
constexpr char kProductTitle[] = "Purgato Ver 1.5";
constexpr char kWormName[] = "W32/Opaserv.Worm";
constexpr char kProductName[] = "Purgato";

}  // namespace purgato
