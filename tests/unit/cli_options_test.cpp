// The console scanners' one option parser with the set of each build: the
// scan of a mounted volume names its drives, Windows folder and registry;
// purgato-scan.exe takes the computer's own and refuses those options.
#include "cli/options.h"

#include <fstream>

#include "cli/exit_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace purgato {
namespace {

struct Parsed {
  ParseResult result;
  CliOptions options;
  std::string error;
};

Parsed parse(CommandLine form, std::vector<const char*> args) {
  args.insert(args.begin(), "purgato-scan");
  Parsed parsed;
  parsed.result = parseOptions(static_cast<int>(args.size()), args.data(), form, &parsed.options, &parsed.error);
  return parsed;
}

TEST(CliOptions, WindowsRefusesTheOptionsOfAMountedVolumeInEitherSpelling) {
  const std::vector<std::vector<const char*>> lines = {
      {"--drive", "C=/mnt/c"}, {"--drive=C=/mnt/c"},       {"--windows-dir", "C:\\WINNT"},
      {"--windows-dir=D:\\W"}, {"--registry", "off"},      {"--registry=auto"},
      {"--read-ahead", "8"},   {"--read-ahead=0"},        {"C:\\A.EXE", "--drive"},
      {"--target", "C:", "--registry"}};
  for (const auto& line : lines) {
    SCOPED_TRACE(line[0]);
    const Parsed windows = parse(CommandLine::kWindows, line);
    EXPECT_EQ(windows.result, ParseResult::kError);
    EXPECT_NE(windows.error.find(" is not an option of purgato-scan.exe"), std::string::npos) << windows.error;
  }
  // The same lines are the mounted volume's own (or fail only on their values).
  const Parsed volume = parse(CommandLine::kMountedVolume, {"--drive", "C=/mnt/c", "--registry", "off"});
  ASSERT_EQ(volume.result, ParseResult::kRun) << volume.error;
  ASSERT_EQ(volume.options.drives.size(), 1u);
  EXPECT_EQ(volume.options.drives[0].letter, 'C');
  EXPECT_EQ(volume.options.registry, RegistryMode::kOff);
}

TEST(CliOptions, WindowsTakesTheSharedOptionsAndFiles) {
  struct Case {
    std::vector<const char*> args;
    ParseResult result;
    std::string target;
    std::vector<std::string> files;
    bool dryRun;
  };
  const Case cases[] = {
      {{}, ParseResult::kRun, "C:", {}, false},
      {{"--target", "!:"}, ParseResult::kRun, "!:", {}, false},
      {{"--target="}, ParseResult::kRun, "", {}, false},
      {{"--dry-run", "a.exe", "C:\\B.EXE"}, ParseResult::kRun, "C:", {"a.exe", "C:\\B.EXE"}, true},
      // After "--" an option's name is a file's.
      {{"--", "--drive"}, ParseResult::kRun, "C:", {"--drive"}, false},
      {{"/?"}, ParseResult::kHelp, "C:", {}, false},
      {{"--drive", "C=x", "--help"}, ParseResult::kHelp, "C:", {}, false},
      {{"--version"}, ParseResult::kVersion, "C:", {}, false},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.args.empty() ? "(none)" : test.args[0]);
    const Parsed parsed = parse(CommandLine::kWindows, test.args);
    ASSERT_EQ(parsed.result, test.result) << parsed.error;
    if (test.result != ParseResult::kRun) continue;
    EXPECT_EQ(parsed.options.target, test.target);
    EXPECT_EQ(parsed.options.files, test.files);
    EXPECT_EQ(parsed.options.dryRun, test.dryRun);
  }
  // "/?" is help on Windows only; on Linux it is a path.
  const Parsed volume = parse(CommandLine::kMountedVolume, {"/?"});
  ASSERT_EQ(volume.result, ParseResult::kRun);
  EXPECT_EQ(volume.options.files, std::vector<std::string>{"/?"});
}

TEST(CliOptions, EachUsageTextNamesOnlyItsOwnOptions) {
  const std::string windows = usageText(CommandLine::kWindows);
  const std::string volume = usageText(CommandLine::kMountedVolume);
  for (const char* option : {"--drive", "--windows-dir", "--registry", "--read-ahead", "--force"}) {
    EXPECT_EQ(windows.find(option), std::string::npos) << option;
    EXPECT_NE(volume.find(option), std::string::npos) << option;
  }
  for (const char* shared : {"--target", "--dry-run", "--version", "-V,", "--log FILE", "--report FILE",
                             "--backup DIR", "Exit status:", "Report bugs to: "}) {
    EXPECT_NE(windows.find(shared), std::string::npos) << shared;
    EXPECT_NE(volume.find(shared), std::string::npos) << shared;
  }
}

// The exit statuses are worded once, in kExitStatusTexts: both help texts
// print them, and the manual page's EXIT STATUS must say the same, line
// for line.
TEST(CliOptions, TheExitStatusesAreWordedOnceEverywhere) {
  std::ifstream file(std::string(PURGATO_SOURCE_DIR) + "/docs/purgato-scan.1");
  ASSERT_TRUE(file.good());
  std::vector<std::string> section;
  bool inside = false;
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(".SH ", 0) == 0) inside = line == ".SH EXIT STATUS";
    else if (inside) section.push_back(line);
  }
  std::string fromPage;
  for (const std::string& line : section) {
    std::string plain;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '-') continue;  // \- is a minus
      plain += line[i];
    }
    fromPage += plain + "\n";
  }
  std::string fromTable;
  for (int i = 0; i < kExitStatusTextCount; ++i)
    fromTable += ".TP\n.B " + std::to_string(kExitStatusTexts[i].status) + "\n" + kExitStatusTexts[i].text + "\n";
  EXPECT_EQ(fromPage, fromTable);
  for (CommandLine form : {CommandLine::kWindows, CommandLine::kMountedVolume}) {
    const std::string help = usageText(form);
    for (int i = 0; i < kExitStatusTextCount; ++i) {
      std::string indented = "  " + std::to_string(kExitStatusTexts[i].status) + "  ";
      for (const char* p = kExitStatusTexts[i].text; *p; ++p) indented += *p == '\n' ? std::string("\n     ") : std::string(1, *p);
      EXPECT_NE(help.find(indented + "\n"), std::string::npos) << kExitStatusTexts[i].status;
    }
  }
}

}  // namespace
}  // namespace purgato
