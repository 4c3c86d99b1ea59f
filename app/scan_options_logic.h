// What the scan options dialog decides, apart from its window: the flags
// from the stored settings, which controls show which flags, the target
// text a Scan writes. Portable, so that it is tested natively; the dialog
// gives it its controls through OptionControls.
#pragma once

#include <cstddef>

#include "app/scan_options_settings.h"

namespace purgato {

// The dialog's controls by id (the ids of res/resource.h).
class OptionControls {
 public:
  virtual ~OptionControls() = default;
  virtual void setCheck(int id, bool checked) = 0;
  virtual bool isChecked(int id) = 0;
  // False when there is no such control.
  virtual bool enable(int id, bool enabled) = 0;
  virtual void hide(int id) = 0;
};

// Steps 1 to 3 of loading the stored settings: a code outside a setting's
// codes leaves the flags it governs as they are.
void applyStoredSettings(const ScanOptionSettings& settings, ScanOptionFlags& flags);

// The whole load: the flags, the Disinfect button hidden for
// kDisinfectHidden, then every control from the flags.
void LoadStoredSettings(const ScanOptionSettings& settings, ScanOptionFlags& flags, OptionControls& controls);
void ShowAllOptions(const ScanOptionFlags& flags, OptionControls& controls);
void ShowTargetChoice(const ScanOptionFlags& flags, OptionControls& controls);
// The action frame and its four buttons; their checks stay.
void EnableActionGroup(OptionControls& controls, bool enabled);
// The mode and action flags from the buttons; the target flags already
// follow the clicks.
void ReadOptionChecks(ScanOptionFlags& flags, OptionControls& controls);

// A click on a target button (1006, 1007, 1008): its flag set, the other
// two cleared, the target buttons shown again and the tree enabled only
// for selected folders. False for any other id.
bool OnTargetClicked(int id, ScanOptionFlags& flags, OptionControls& controls);
// A click on Prompt (1017) or Automatic (1018): no flag changes.
bool OnModeClicked(int id, OptionControls& controls);

enum class ScanTarget {
  AllDrives,        // "!:"
  DriveC,           // "C:"
  SelectedFolder,   // the focused folder's path, or ""
  None,             // no target flag set: no scan
};
ScanTarget chooseTarget(const ScanOptionFlags& flags);

// The focused folder's parsing name as a target: as much of it as dest
// holds, then one trailing backslash removed (C:\ becomes C:). A cut name
// is harmless: the text only selects the kind of scan, and a cut one is
// never "" or "!:". False, and dest "", only without a name.
bool folderTargetFromParsingName(char* dest, std::size_t size, const char* parsingName);

}  // namespace purgato
