// The scan options logic: flags from the stored settings, what the option
// controls show, the radio handlers, and the target a Scan writes.
#include "app/scan_options_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "os/text.h"
#include "res/resource.h"

namespace purgato {
namespace {

struct ControlState {
  bool checked = false;
  bool enabled = true;  // as the template leaves them
  bool hidden = false;
};

// The dialog's controls in memory; a missing id answers as a missing
// control does.
class FakeControls final : public OptionControls {
 public:
  FakeControls() {
    for (const int id : {IDC_FOLDER_TREE, IDC_SCAN_ALL_DRIVES, IDC_SCAN_DRIVE_C, IDC_SCAN_SELECTED, IDC_PROMPT,
                         IDC_AUTOMATIC, IDC_DISINFECT, IDC_RENAME, IDC_DELETE, IDC_IGNORE, IDC_ACTION_GROUP})
      controls[id] = ControlState{};
  }
  void setCheck(int id, bool checked) override {
    if (controls.count(id) != 0) controls[id].checked = checked;
  }
  bool isChecked(int id) override { return controls.count(id) != 0 && controls[id].checked; }
  bool enable(int id, bool enabled) override {
    if (controls.count(id) == 0) return false;
    controls[id].enabled = enabled;
    return true;
  }
  void hide(int id) override {
    if (controls.count(id) != 0) controls[id].hidden = true;
  }

  // "1" per checked button of ids, "0" per other.
  std::string checks(std::initializer_list<int> ids) {
    std::string out;
    for (const int id : ids) out += isChecked(id) ? '1' : '0';
    return out;
  }
  std::string enabledStates(std::initializer_list<int> ids) {
    std::string out;
    for (const int id : ids) out += controls[id].enabled ? '1' : '0';
    return out;
  }
  // Every hidden control, so that hiding one too many is seen.
  std::vector<int> hiddenIds() const {
    std::vector<int> out;
    for (const auto& entry : controls)
      if (entry.second.hidden) out.push_back(entry.first);
    return out;
  }

  std::map<int, ControlState> controls;
};

#define ALL_RADIOS                                                                                            \
  { IDC_SCAN_ALL_DRIVES, IDC_SCAN_DRIVE_C, IDC_SCAN_SELECTED, IDC_PROMPT, IDC_AUTOMATIC, IDC_DISINFECT, IDC_RENAME, \
    IDC_DELETE, IDC_IGNORE }
#define ACTION_GROUP \
  { IDC_ACTION_GROUP, IDC_DISINFECT, IDC_DELETE, IDC_RENAME, IDC_IGNORE }

// The nine flags in the order of the radios 1006 ... 1022 (disinfect,
// rename, delete, ignore), as "0"/"1".
std::string flagText(const ScanOptionFlags& f) {
  std::string out;
  for (const int v : {f.scanAllDrives, f.scanDriveC, f.scanSelectedFolders, f.promptOnVirus, f.actAutomatically,
                      f.actionDisinfect, f.actionRename, f.actionDelete, f.actionIgnore})
    out += v != 0 ? '1' : '0';
  return out;
}

ScanOptionFlags flagsFrom(const std::string& text) {
  ScanOptionFlags f;
  std::int32_t* fields[] = {&f.scanAllDrives,   &f.scanDriveC,   &f.scanSelectedFolders,
                            &f.promptOnVirus,   &f.actAutomatically, &f.actionDisinfect,
                            &f.actionRename,    &f.actionDelete, &f.actionIgnore};
  for (std::size_t i = 0; i < 9; ++i) *fields[i] = text[i] == '1' ? 1 : 0;
  return f;
}

TEST(ScanOptionsTest, StoredSettingsSetTheFlagsAndEveryControl) {
  struct Row {
    const char* what;
    ScanOptionSettings settings;
    const char* flagsBefore;
    const char* flagsAfter;  // also the expected checks of the nine radios
    bool treeEnabled;
    bool groupEnabled;
    bool disinfectHidden;
  };
  const Row rows[] = {
      {"initial values", {}, "000000000", "100011000", false, true, false},
      {"drive C, prompt, delete", {201, 203, 206, 209}, "000000000", "010100010", false, false, false},
      {"selected folders, ignore, Disinfect hidden", {202, 204, 205, 210}, "000000000", "001010001", true, true, true},
      {"rename", {200, 204, 207, 0}, "000000000", "100010100", false, true, false},
      {"hidden Disinfect stays checked", {200, 204, 208, 210}, "000000000", "100011000", false, true, true},
      // A code outside a setting's codes leaves its flags as they were.
      {"every code outside", {199, 202, 209, 211}, "010100100", "010100100", false, false, false},
      {"target outside, the others in", {203, 204, 205, 209}, "001100100", "001010001", true, true, false},
      {"all three target flags left clear", {0, 204, 208, 209}, "000000000", "000011000", false, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScanOptionFlags flags = flagsFrom(row.flagsBefore);
    FakeControls controls;
    LoadStoredSettings(row.settings, flags, controls);
    EXPECT_EQ(flagText(flags), row.flagsAfter);
    EXPECT_EQ(controls.checks(ALL_RADIOS), row.flagsAfter);
    EXPECT_EQ(controls.controls[IDC_FOLDER_TREE].enabled, row.treeEnabled);
    EXPECT_EQ(controls.enabledStates(ACTION_GROUP), row.groupEnabled ? "11111" : "00000");
    EXPECT_EQ(controls.hiddenIds(), row.disinfectHidden ? std::vector<int>{IDC_DISINFECT} : std::vector<int>{});
  }
}

TEST(ScanOptionsTest, RadioClicksKeepOneTargetAndOnlyTheTargetFlags) {
  ScanOptionFlags flags;
  FakeControls controls;
  LoadStoredSettings(ScanOptionSettings{}, flags, controls);
  struct Step {
    int click;
    const char* flagsAfter;
    bool treeEnabled;
    const char* groupAfter;
  };
  const Step steps[] = {
      {IDC_SCAN_SELECTED, "001011000", true, "11111"},
      {IDC_SCAN_ALL_DRIVES, "100011000", false, "11111"},
      {IDC_SCAN_SELECTED, "001011000", true, "11111"},
      {IDC_SCAN_DRIVE_C, "010011000", false, "11111"},
      // The mode buttons change no flag: the mode is read on Scan.
      {IDC_PROMPT, "010011000", false, "00000"},
      {IDC_AUTOMATIC, "010011000", false, "11111"},
      {IDC_PROMPT, "010011000", false, "00000"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.click);
    if (!OnTargetClicked(step.click, flags, controls)) {
      EXPECT_TRUE(OnModeClicked(step.click, controls));
    }
    EXPECT_EQ(flagText(flags), step.flagsAfter);
    EXPECT_EQ(controls.checks({IDC_SCAN_ALL_DRIVES, IDC_SCAN_DRIVE_C, IDC_SCAN_SELECTED}),
              std::string(step.flagsAfter, 3));
    EXPECT_EQ(controls.controls[IDC_FOLDER_TREE].enabled, step.treeEnabled);
    EXPECT_EQ(controls.enabledStates(ACTION_GROUP), step.groupAfter);
    EXPECT_TRUE(controls.hiddenIds().empty());
  }
  EXPECT_FALSE(OnTargetClicked(IDC_DISINFECT, flags, controls));
  EXPECT_FALSE(OnModeClicked(IDC_DISINFECT, controls));
}

TEST(ScanOptionsTest, ActionGroupSkipsAMissingControl) {
  FakeControls controls;
  controls.controls.erase(IDC_ACTION_GROUP);
  controls.controls.erase(IDC_DELETE);
  EnableActionGroup(controls, false);
  EXPECT_EQ(controls.enabledStates({IDC_DISINFECT, IDC_RENAME, IDC_IGNORE}), "000");
  EXPECT_EQ(controls.controls.count(IDC_ACTION_GROUP), 0u);
}

TEST(ScanOptionsTest, ScanReadsModeAndActionFromTheButtonsButNotTheTarget) {
  ScanOptionFlags flags = flagsFrom("010011000");
  FakeControls controls;
  // What the user left checked, the target buttons disagreeing with the
  // flags on purpose.
  for (const int id : {IDC_SCAN_ALL_DRIVES, IDC_PROMPT, IDC_IGNORE}) controls.setCheck(id, true);
  ReadOptionChecks(flags, controls);
  EXPECT_EQ(flagText(flags), "010100001");
  // A hidden button still counts.
  controls.hide(IDC_DISINFECT);
  controls.setCheck(IDC_IGNORE, false);
  controls.setCheck(IDC_DISINFECT, true);
  ReadOptionChecks(flags, controls);
  EXPECT_EQ(flags.actionDisinfect, 1);
  EXPECT_EQ(flags.actionIgnore, 0);
}

TEST(ScanOptionsTest, TheFirstSetTargetFlagWins) {
  const struct {
    const char* flags;
    ScanTarget target;
  } rows[] = {
      {"111000000", ScanTarget::AllDrives},
      {"011000000", ScanTarget::DriveC},
      {"001000000", ScanTarget::SelectedFolder},
      {"000111111", ScanTarget::None},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.flags);
    EXPECT_EQ(chooseTarget(flagsFrom(row.flags)), row.target);
  }
}

TEST(ScanOptionsTest, FolderTargetIsCutToTheFieldAndLosesOneTrailingBackslash) {
  const std::string longest(kPathSize - 1, 'a');
  const std::string tooLong = longest + "bcd";
  // Cut so that the kept text ends with a backslash: that one goes too.
  const std::string cutAtBackslash = std::string(kPathSize - 2, 'a') + "\\tail";
  const struct {
    const char* what;
    std::string parsingName;
    std::string target;
  } rows[] = {
      {"a drive root", "C:\\", "C:"},
      {"a folder", "C:\\Windows", "C:\\Windows"},
      {"a folder with a backslash", "C:\\Program Files\\", "C:\\Program Files"},
      {"only one backslash removed", "C:\\\\", "C:\\"},
      {"a virtual folder as the shell names it", "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}",
       "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"},
      {"the longest that fits", longest, longest},
      {"longer: as much as the field holds", tooLong, longest},
      {"cut after a backslash", cutAtBackslash, std::string(kPathSize - 2, 'a')},
      {"empty", "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    char target[kPathSize + 8];
    std::memset(target, 'x', sizeof target);
    EXPECT_TRUE(folderTargetFromParsingName(target, kPathSize, row.parsingName.c_str()));
    EXPECT_EQ(std::string(target), row.target);
    // Nothing written past the field.
    EXPECT_EQ(std::string(target + kPathSize, 8), std::string(8, 'x'));
  }
  char target[kPathSize];
  copyText(target, sizeof target, "previous");
  EXPECT_FALSE(folderTargetFromParsingName(target, sizeof target, nullptr));
  EXPECT_EQ(std::string(target), "");
}

}  // namespace
}  // namespace purgato
