// The scan options: four stored settings, which nothing in the program
// changes and which the options dialog reads at every start, and the nine
// option flags that the dialog writes. Only the dialog reads the flags:
// the scan takes its target from targetPath alone.
#pragma once

#include <cstdint>

namespace purgato {

// Codes of the stored settings.
constexpr std::int32_t kTargetAllDrives = 200;
constexpr std::int32_t kTargetDriveC = 201;
constexpr std::int32_t kTargetSelectedFolders = 202;
constexpr std::int32_t kModePrompt = 203;
constexpr std::int32_t kModeAutomatic = 204;
constexpr std::int32_t kActionCodeIgnore = 205;
constexpr std::int32_t kActionCodeDelete = 206;
constexpr std::int32_t kActionCodeRename = 207;
constexpr std::int32_t kActionCodeDisinfect = 208;
constexpr std::int32_t kDisinfectShown = 209;
constexpr std::int32_t kDisinfectHidden = 210;  // any other value shows it

struct ScanOptionSettings {
  std::int32_t storedTargetChoice = kTargetAllDrives;
  std::int32_t storedFoundVirusMode = kModeAutomatic;
  std::int32_t storedAutoAction = kActionCodeDisinfect;
  std::int32_t storedDisinfectVisibility = kDisinfectShown;
};

// Each 0 or 1.
struct ScanOptionFlags {
  std::int32_t scanAllDrives = 0;        // target: every hard drive (1006)
  std::int32_t scanDriveC = 0;           // target: drive C (1007)
  std::int32_t scanSelectedFolders = 0;  // target: the folder focused in the tree (1008)
  std::int32_t promptOnVirus = 0;        // ask when a virus is found (1017)
  std::int32_t actAutomatically = 0;     // act without asking (1018)
  std::int32_t actionDisinfect = 0;      // automatic action (1019)
  std::int32_t actionRename = 0;         // (1020)
  std::int32_t actionDelete = 0;         // (1021)
  std::int32_t actionIgnore = 0;         // (1022)
};

}  // namespace purgato
