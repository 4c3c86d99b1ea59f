#include "app/scan_options_logic.h"

#include <cstring>
#include <initializer_list>

#include "res/resource.h"

namespace purgato {

namespace {

void setTarget(ScanOptionFlags& flags, int allDrives, int driveC, int selected) {
  flags.scanAllDrives = allDrives;
  flags.scanDriveC = driveC;
  flags.scanSelectedFolders = selected;
}

void setAction(ScanOptionFlags& flags, int ignore, int remove, int rename, int disinfect) {
  flags.actionIgnore = ignore;
  flags.actionDelete = remove;
  flags.actionRename = rename;
  flags.actionDisinfect = disinfect;
}

}  // namespace

void applyStoredSettings(const ScanOptionSettings& settings, ScanOptionFlags& flags) {
  switch (settings.storedTargetChoice) {
    case kTargetAllDrives: setTarget(flags, 1, 0, 0); break;
    case kTargetDriveC: setTarget(flags, 0, 1, 0); break;
    case kTargetSelectedFolders: setTarget(flags, 0, 0, 1); break;
    default: break;
  }
  switch (settings.storedFoundVirusMode) {
    case kModePrompt:
      flags.promptOnVirus = 1;
      flags.actAutomatically = 0;
      break;
    case kModeAutomatic:
      flags.promptOnVirus = 0;
      flags.actAutomatically = 1;
      break;
    default: break;
  }
  switch (settings.storedAutoAction) {
    case kActionCodeIgnore: setAction(flags, 1, 0, 0, 0); break;
    case kActionCodeDelete: setAction(flags, 0, 1, 0, 0); break;
    case kActionCodeRename: setAction(flags, 0, 0, 1, 0); break;
    case kActionCodeDisinfect: setAction(flags, 0, 0, 0, 1); break;
    default: break;
  }
}

void LoadStoredSettings(const ScanOptionSettings& settings, ScanOptionFlags& flags, OptionControls& controls) {
  applyStoredSettings(settings, flags);
  if (settings.storedDisinfectVisibility == kDisinfectHidden) controls.hide(IDC_DISINFECT);
  ShowAllOptions(flags, controls);
}

void ShowTargetChoice(const ScanOptionFlags& flags, OptionControls& controls) {
  controls.enable(IDC_FOLDER_TREE, false);
  controls.setCheck(IDC_SCAN_ALL_DRIVES, flags.scanAllDrives != 0);
  controls.setCheck(IDC_SCAN_DRIVE_C, flags.scanDriveC != 0);
  controls.setCheck(IDC_SCAN_SELECTED, flags.scanSelectedFolders != 0);
  if (flags.scanSelectedFolders != 0) controls.enable(IDC_FOLDER_TREE, true);
}

// The action group is never enabled here: it starts enabled from the template.
void ShowAllOptions(const ScanOptionFlags& flags, OptionControls& controls) {
  ShowTargetChoice(flags, controls);
  controls.setCheck(IDC_PROMPT, flags.promptOnVirus != 0);
  if (flags.promptOnVirus != 0) EnableActionGroup(controls, false);
  controls.setCheck(IDC_AUTOMATIC, flags.actAutomatically != 0);
  controls.setCheck(IDC_DISINFECT, flags.actionDisinfect != 0);
  controls.setCheck(IDC_DELETE, flags.actionDelete != 0);
  controls.setCheck(IDC_RENAME, flags.actionRename != 0);
  controls.setCheck(IDC_IGNORE, flags.actionIgnore != 0);
}

void EnableActionGroup(OptionControls& controls, bool enabled) {
  // A missing control is skipped; the others still follow.
  for (const int id : {IDC_ACTION_GROUP, IDC_DISINFECT, IDC_DELETE, IDC_RENAME, IDC_IGNORE}) {
    controls.enable(id, enabled);
  }
}

void ReadOptionChecks(ScanOptionFlags& flags, OptionControls& controls) {
  flags.promptOnVirus = controls.isChecked(IDC_PROMPT) ? 1 : 0;
  flags.actAutomatically = controls.isChecked(IDC_AUTOMATIC) ? 1 : 0;
  flags.actionDisinfect = controls.isChecked(IDC_DISINFECT) ? 1 : 0;
  flags.actionDelete = controls.isChecked(IDC_DELETE) ? 1 : 0;
  flags.actionRename = controls.isChecked(IDC_RENAME) ? 1 : 0;
  flags.actionIgnore = controls.isChecked(IDC_IGNORE) ? 1 : 0;
}

bool OnTargetClicked(int id, ScanOptionFlags& flags, OptionControls& controls) {
  switch (id) {
    case IDC_SCAN_ALL_DRIVES: setTarget(flags, 1, 0, 0); break;
    case IDC_SCAN_DRIVE_C: setTarget(flags, 0, 1, 0); break;
    case IDC_SCAN_SELECTED: setTarget(flags, 0, 0, 1); break;
    default: return false;
  }
  ShowTargetChoice(flags, controls);
  controls.enable(IDC_FOLDER_TREE, id == IDC_SCAN_SELECTED);
  return true;
}

bool OnModeClicked(int id, OptionControls& controls) {
  if (id != IDC_PROMPT && id != IDC_AUTOMATIC) return false;
  EnableActionGroup(controls, id == IDC_AUTOMATIC);
  return true;
}

ScanTarget chooseTarget(const ScanOptionFlags& flags) {
  if (flags.scanAllDrives != 0) return ScanTarget::AllDrives;
  if (flags.scanDriveC != 0) return ScanTarget::DriveC;
  if (flags.scanSelectedFolders != 0) return ScanTarget::SelectedFolder;
  return ScanTarget::None;
}

bool folderTargetFromParsingName(char* dest, std::size_t size, const char* parsingName) {
  if (size == 0) return false;
  dest[0] = '\0';
  if (parsingName == nullptr) return false;
  std::size_t length = std::strlen(parsingName);
  if (length >= size) length = size - 1;
  std::memcpy(dest, parsingName, length);
  dest[length] = '\0';
  if (length > 0 && dest[length - 1] == '\\') dest[length - 1] = '\0';
  return true;
}

}  // namespace purgato
