// The directory walk over real files of a temporary volume: order, status
// lines, counting, the Program Files registration, process-image mode, the
// message pump and cancellation, and the paths and folders a real disk can
// throw at it (long, looping, huge, vanishing, unreadable).
#include "scan/walker.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

namespace fs = std::filesystem;
using Op = FakeOs::Op;

constexpr HWnd kProgressWindow = 0x4711;
constexpr std::uint32_t kWmKeyDown = 0x0100;
constexpr std::uint32_t kWmCommand = 0x0111;
constexpr std::uint32_t kWmPaint = 0x000F;

Message message(std::uint32_t number, std::uintptr_t wParam = 0) {
  Message m{};
  m.window = kProgressWindow;
  m.message = number;
  m.wParam = wParam;
  return m;
}

class WalkerTest : public ::testing::Test {
 protected:
  WalkerTest() {
    volume_.drive('C');
    volume_.mapInto(os_);
    session_.progressWindow = kProgressWindow;
    os_.attach(session_);
  }

  int walk(const char* pattern) { return walkFolder(session_, os_, pattern); }

  std::vector<std::string> statuses() const { return os_.statusLines(); }
  bool shown(const std::string& text) const {
    const auto lines = statuses();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  std::size_t indexOf(const std::string& text) const {
    const auto lines = statuses();
    return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
  }
  // Every pass closed its search, whatever way the walk ended.
  void expectNothingLeftOpen() const {
    EXPECT_EQ(os_.liveSearches(), 0);
    EXPECT_EQ(os_.liveFiles(), 0);
  }

  TempVolume volume_;
  FakeOs os_;
  ScanSession session_;
};

// --- shortenPath ------------------------------------------------------------

TEST(ShortenPathTest, KeepsHeadAndTailAroundTwoDots) {
  struct Case {
    std::string source;
    int width;
    std::string expected;
  };
  const std::string seventy = "C:\\" + std::string(30, 'a') + "\\" + std::string(30, 'b') + "\\end.exe";
  ASSERT_EQ(seventy.size(), 72u);
  const std::string sixty(60, 'x');
  const std::string sixtyOne = std::string(30, 'h') + "M" + std::string(30, 't');
  const Case cases[] = {
      {seventy, 60, seventy.substr(0, 29) + ".." + seventy.substr(seventy.size() - 29)},
      {sixty, 60, sixty},                                                 // exactly the width: whole
      {"C:\\short.txt", 60, "C:\\short.txt"},                            // shorter: whole
      {sixtyOne, 60, std::string(29, 'h') + ".." + std::string(29, 't')},  // one over: the middle goes
      {"abcdefgh", 7, "ab...gh"},                                         // odd width: keep 2, three dots
      {"abcdefgh", 4, "a..h"},                                            // smallest width with a kept end
      {"abcdefgh", 3, "abc"},                                             // no room for ends: the head
      {"abcdefgh", 1, "a"},
      {"abcdefgh", 0, ""},
      {"", 60, ""},
  };
  for (const Case& c : cases) {
    char dest[128];
    std::fill(std::begin(dest), std::end(dest), '#');
    shortenPath(c.source.c_str(), dest, static_cast<std::int16_t>(c.width));
    EXPECT_EQ(std::string(dest), c.expected) << c.source << " / " << c.width;
    // Nothing past width + 1 bytes is touched.
    EXPECT_TRUE(std::all_of(dest + c.width + 1, std::end(dest), [](char ch) { return ch == '#'; }))
        << c.source << " / " << c.width;
  }
}

TEST(ShortenPathTest, NegativeWidthWritesNothing) {
  char dest[4] = {'#', '#', '#', '#'};
  shortenPath("abcdef", dest, -1);
  EXPECT_EQ(std::string(dest, 4), "####");
}

// --- Order, status, counting ---------------------------------------------

TEST_F(WalkerTest, FilesOfAFolderComeBeforeItsSubfoldersAndEveryEntryIsShown) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  volume_.writeFile("C:\\dir\\b.txt", "b");
  volume_.writeFile("C:\\dir\\sub\\c.txt", "c");
  volume_.writeFile("C:\\dir\\sub\\deeper\\d.txt", "d");

  EXPECT_EQ(walk("C:\\dir\\*.*"), 4);
  EXPECT_EQ(session_.filesScanned, 4);

  const std::vector<std::string> own = {"C:\\dir\\.", "C:\\dir\\..", "C:\\dir\\a.txt", "C:\\dir\\b.txt",
                                        "C:\\dir\\sub"};
  const std::vector<std::string> inner = {"C:\\dir\\sub\\.", "C:\\dir\\sub\\..", "C:\\dir\\sub\\c.txt",
                                          "C:\\dir\\sub\\deeper"};
  const std::vector<std::string> innermost = {"C:\\dir\\sub\\deeper\\.", "C:\\dir\\sub\\deeper\\..",
                                              "C:\\dir\\sub\\deeper\\d.txt"};
  EXPECT_EQ(statuses().size(), own.size() + inner.size() + innermost.size());
  for (const std::string& a : own)
    for (const std::string& b : inner) EXPECT_LT(indexOf(a), indexOf(b)) << a << " before " << b;
  for (const std::string& a : inner)
    for (const std::string& b : innermost) EXPECT_LT(indexOf(a), indexOf(b)) << a << " before " << b;
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, EmptyFolderShowsItsDotEntriesAndScansNothing) {
  volume_.makeFolder("C:\\empty");

  EXPECT_EQ(walk("C:\\empty\\*.*"), 0);

  EXPECT_EQ(statuses(), (std::vector<std::string>{"C:\\empty\\.", "C:\\empty\\.."}));
  EXPECT_EQ(session_.filesScanned, 0);
  // No scanner ran: nothing was opened and no Run value was looked for.
  EXPECT_EQ(os_.calls(Op::Open), 0);
  EXPECT_EQ(os_.calls(Op::RegOpenKeyEx), 0);
}

TEST_F(WalkerTest, ReturnsTheSessionTotalNotTheCountOfThisWalk) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  session_.filesScanned = 40;
  EXPECT_EQ(walk("C:\\dir\\*.*"), 41);
}

TEST_F(WalkerTest, LongPathsAreShownShortenedToSixtyCharacters) {
  const std::string folder = "C:\\" + std::string(40, 'f');
  const std::string file = folder + "\\" + std::string(30, 'n') + ".txt";
  volume_.writeFile(file, "x");

  walk((folder + "\\*.*").c_str());

  EXPECT_TRUE(shown(file.substr(0, 29) + ".." + file.substr(file.size() - 29)));
  for (const std::string& line : statuses()) EXPECT_LE(line.size(), 60u) << line;
}

TEST_F(WalkerTest, ScansFindsAWormFileAndCountsItOnce) {
  volume_.writeFile("C:\\dir\\clean.exe", buildPe(PeImage{}));
  volume_.writeFile("C:\\dir\\worm.exe", buildWormSample(0));

  EXPECT_EQ(walk("C:\\dir\\*.*"), 2);

  EXPECT_EQ(session_.filesInfected, 1);
  EXPECT_EQ(session_.filesDeleted, 1);
  EXPECT_FALSE(volume_.exists("C:\\dir\\worm.exe"));
  EXPECT_TRUE(volume_.exists("C:\\dir\\clean.exe"));
}

TEST_F(WalkerTest, ClearsImageInfectedAtEveryWalk) {
  volume_.makeFolder("C:\\empty");
  session_.imageInfected = true;
  walk("C:\\empty\\*.*");
  EXPECT_FALSE(session_.imageInfected);
}

// --- Program Files registration ---------------------------------------------

TEST_F(WalkerTest, RootPatternRegistersTheDrivesProgramFilesFolder) {
  struct Case {
    const char* onDisk;  // nullptr: no such folder
    bool pending;
    const char* deferred;
  };
  const Case cases[] = {
      {"Program Files", true, "C:\\Program Files\\*.*"},
      {"PROGRAM FILES", true, "C:\\Program Files\\*.*"},  // found without regard to case, kept as typed
      {nullptr, false, "C:\\Program Files"},
  };
  for (const Case& c : cases) {
    TempVolume volume;
    FakeOs os;
    volume.drive('C');
    volume.mapInto(os);
    if (c.onDisk) volume.makeFolder(std::string("C:\\") + c.onDisk);
    ScanSession session;
    walkFolder(session, os, "C:\\*.*");
    EXPECT_EQ(session.deferredPending, c.pending) << (c.onDisk ? c.onDisk : "absent");
    EXPECT_STREQ(session.deferredFolder, c.deferred) << (c.onDisk ? c.onDisk : "absent");
  }
}

TEST_F(WalkerTest, LongerPatternLeavesTheRegistrationAlone) {
  volume_.makeFolder("C:\\Program Files");
  volume_.makeFolder("C:\\dir");
  std::strcpy(session_.deferredFolder, "D:\\Program Files\\*.*");
  session_.deferredPending = false;

  walk("C:\\dir\\*.*");

  EXPECT_STREQ(session_.deferredFolder, "D:\\Program Files\\*.*");
  EXPECT_FALSE(session_.deferredPending);
}

TEST_F(WalkerTest, ProgramFilesIsVisitedOnlyUnderExactlyThoseCapitals) {
  struct Case {
    const char* onDisk;
    bool visited;
  };
  for (const Case& c : {Case{"Program Files", true}, Case{"PROGRAM FILES", false}, Case{"program files", false}}) {
    TempVolume volume;
    FakeOs os;
    volume.drive('C');
    volume.mapInto(os);
    volume.writeFile(std::string("C:\\") + c.onDisk + "\\app\\app.exe", "x");
    ScanSession session;
    walkFolder(session, os, "C:\\*.*");
    EXPECT_EQ(session.programFilesVisited, c.visited) << c.onDisk;
    EXPECT_EQ(session.filesScanned, 1) << c.onDisk;
  }
}

// --- Process-image mode -----------------------------------------------------

TEST_F(WalkerTest, ProcessImageModeScansExactlyTheExecutableWithoutCountingIt) {
  volume_.writeFile("C:\\WINDOWS\\SCRSVR.EXE", buildWormSample(0));
  volume_.writeFile("C:\\WINDOWS\\SCRSVR.DLL", buildWormSample(0));
  volume_.writeFile("C:\\WINDOWS\\OTHER.EXE", buildWormSample(0));
  session_.processImageMode = true;

  EXPECT_EQ(walk("C:\\WINDOWS\\SCRSVR.EXE"), 0);

  EXPECT_EQ(statuses(), std::vector<std::string>{"C:\\WINDOWS\\SCRSVR.EXE"});
  EXPECT_EQ(session_.filesScanned, 0);
  EXPECT_EQ(session_.filesInfected, 1);
  EXPECT_TRUE(session_.imageInfected);
  EXPECT_STREQ(session_.statusText, "C:\\WINDOWS\\SCRSVR.EXE");
  // Only recorded: every file stays, nothing is logged.
  EXPECT_TRUE(volume_.exists("C:\\WINDOWS\\SCRSVR.EXE"));
  EXPECT_TRUE(volume_.exists("C:\\WINDOWS\\SCRSVR.DLL"));
  EXPECT_TRUE(os_.logLines().empty());
  expectNothingLeftOpen();
}

// --- Errors -------------------------------------------------------------------

TEST_F(WalkerTest, PatternWithoutDotStopsTheWalkWithMinusOne) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  volume_.writeFile("C:\\dir\\sub\\b.txt", "b");

  EXPECT_EQ(walk("C:\\dir\\*"), -1);

  EXPECT_EQ(session_.filesScanned, 0);
  EXPECT_TRUE(statuses().empty());
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, AFolderMatchingADotlessImagePathGivesMinusOne) {
  // In process-image mode a path without '.' is scanned; a folder that
  // matches it then has no '.' to cut its pattern at.
  volume_.writeFile("C:\\bin\\TOOL", "not a worm");
  volume_.makeFolder("C:\\bin\\TOOLBOX");
  session_.processImageMode = true;

  EXPECT_EQ(walk("C:\\bin\\TOOL"), -1);

  EXPECT_EQ(statuses(), std::vector<std::string>{"C:\\bin\\TOOL"});
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, PatternThatMatchesNothingEndsQuietly) {
  EXPECT_EQ(walk("C:\\missing\\*.*"), 0);
  EXPECT_TRUE(statuses().empty());
  expectNothingLeftOpen();
}

// --- The message pump -------------------------------------------------------

TEST_F(WalkerTest, PumpsTwicePerFileEntryAndOncePerFolderEntry) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  volume_.writeFile("C:\\dir\\b.txt", "b");
  volume_.makeFolder("C:\\dir\\sub");

  walk("C:\\dir\\*.*");

  // C:\dir: five entries (".", "..", a.txt, b.txt, sub) in each pass; sub: two.
  EXPECT_EQ(os_.calls(Op::PeekMessage), 2 * 5 + 5 + 2 * 2 + 2);
}

TEST_F(WalkerTest, EscAsksAndNoLetsTheWalkGoOn) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  os_.queueMessage(message(kWmKeyDown, 27));
  os_.answerMessageBoxes({kIdNo});

  EXPECT_EQ(walk("C:\\dir\\*.*"), 1);

  ASSERT_EQ(os_.boxes().size(), 1u);
  const FakeOs::BoxCall box = os_.boxes()[0];
  EXPECT_EQ(box.owner, kProgressWindow);
  EXPECT_EQ(box.text, "Terminate the Scan now?");
  EXPECT_EQ(box.caption, "Warning");
  EXPECT_EQ(box.style, 0x44u);
  EXPECT_FALSE(session_.cancelRequested);
  EXPECT_TRUE(os_.dispatched().empty());
  EXPECT_EQ(os_.translated(), 0);
}

TEST_F(WalkerTest, EscAnsweredYesEndsTheWalkWithZeroAtThatCheck) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  volume_.writeFile("C:\\dir\\b.txt", "b");
  volume_.writeFile("C:\\dir\\sub\\c.txt", "c");
  os_.answerMessageBoxes({kIdYes});
  // Esc arrives while the first file is shown: the check after it ends the walk.
  bool queued = false;
  os_.onSend = [&](const FakeOs::Sent& sent) {
    if (!queued && sent.message == kMsgStatus && sent.text.find(".txt") != std::string::npos) {
      os_.queueMessage(message(kWmKeyDown, 27));
      queued = true;
    }
  };

  EXPECT_EQ(walk("C:\\dir\\*.*"), 0);

  EXPECT_TRUE(session_.cancelRequested);
  EXPECT_EQ(session_.filesScanned, 1);
  EXPECT_EQ(os_.boxes().size(), 1u);
  EXPECT_FALSE(shown("C:\\dir\\sub\\c.txt"));
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, AnyMessageWhoseLowWordIsEscAsks) {
  struct Case {
    std::uint32_t number;
    std::uintptr_t wParam;
    bool asks;
  };
  const Case cases[] = {
      {kWmKeyDown, 27, true},
      {kWmCommand, 27, true},        // not a key message at all
      {0x0401, 0x0005001B, true},    // high word set, low word 27
      {kWmQuit, 27, true},           // Esc wins over WM_QUIT: the answer decides
      {kWmKeyDown, 0x001B0000, false},  // 27 in the high word only
      {kWmKeyDown, 28, false},
  };
  for (const Case& c : cases) {
    TempVolume volume;
    FakeOs os;
    volume.makeFolder("C:\\empty");
    volume.mapInto(os);
    ScanSession session;
    session.progressWindow = kProgressWindow;
    os.queueMessage(message(c.number, c.wParam));
    os.answerMessageBoxes({kIdNo});

    walkFolder(session, os, "C:\\empty\\*.*");

    EXPECT_EQ(os.boxes().size(), c.asks ? 1u : 0u) << std::hex << c.number << " " << c.wParam;
    EXPECT_EQ(os.dispatched().size(), c.asks ? 0u : 1u) << std::hex << c.number << " " << c.wParam;
    EXPECT_FALSE(session.cancelRequested);
  }
}

TEST_F(WalkerTest, QuitAndDestroyCancelWithoutBeingDispatched) {
  for (std::uint32_t number : {kWmQuit, kWmDestroy}) {
    TempVolume volume;
    FakeOs os;
    volume.writeFile("C:\\dir\\a.txt", "a");
    volume.mapInto(os);
    ScanSession session;
    session.progressWindow = kProgressWindow;
    os.attach(session);
    os.queueMessage(message(number));

    EXPECT_EQ(walkFolder(session, os, "C:\\dir\\*.*"), 0) << number;

    EXPECT_TRUE(session.cancelRequested) << number;
    EXPECT_TRUE(os.dispatched().empty()) << number;
    EXPECT_TRUE(os.boxes().empty()) << number;
    // Cancelled at the very first check: nothing shown, nothing scanned.
    EXPECT_TRUE(os.statusLines().empty()) << number;
    EXPECT_EQ(session.filesScanned, 0) << number;
    EXPECT_EQ(os.liveSearches(), 0) << number;
  }
}

TEST_F(WalkerTest, OtherMessagesAreTranslatedAndDispatchedOneAtATime) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  os_.queueMessage(message(kWmPaint));
  os_.queueMessage(message(kWmCommand, 2));
  std::vector<std::size_t> statusesAtDispatch;
  os_.onDispatch = [&](const Message&) { statusesAtDispatch.push_back(os_.statusLines().size()); };

  EXPECT_EQ(walk("C:\\dir\\*.*"), 1);

  ASSERT_EQ(os_.dispatched().size(), 2u);
  EXPECT_EQ(os_.dispatched()[0].message, kWmPaint);
  EXPECT_EQ(os_.dispatched()[1].message, kWmCommand);
  EXPECT_EQ(os_.translated(), 2);
  // One per pump: the first before the first entry is shown, the second after it.
  EXPECT_EQ(statusesAtDispatch, (std::vector<std::size_t>{0, 1}));
  EXPECT_FALSE(session_.cancelRequested);
}

TEST_F(WalkerTest, CancelInsideANestedFolderUnwindsWithZero) {
  // The cancelled folder is the last entry of its parent, so only the
  // nested result can carry the cancel up.
  volume_.writeFile("C:\\top\\only\\a.txt", "a");
  volume_.writeFile("C:\\top\\only\\b.txt", "b");
  os_.onSend = [&](const FakeOs::Sent& sent) {
    if (sent.message == kMsgStatus && sent.text.find(".txt") != std::string::npos)
      os_.queueMessage(message(kWmDestroy));
  };

  EXPECT_EQ(walk("C:\\top\\*.*"), 0);

  EXPECT_EQ(session_.filesScanned, 1);
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, CancelledWalksReturnAtTheirFirstCheck) {
  volume_.writeFile("C:\\dir\\a.txt", "a");
  session_.cancelRequested = true;

  EXPECT_EQ(walk("C:\\dir\\*.*"), 0);

  EXPECT_TRUE(statuses().empty());
  EXPECT_EQ(session_.filesScanned, 0);
  expectNothingLeftOpen();
}

// --- What a real disk holds ---------------------------------------------------

TEST_F(WalkerTest, LinksBackIntoTheTreeAreNotFollowed) {
  volume_.writeFile("C:\\loop\\a.txt", "a");
  volume_.writeFile("C:\\loop\\inner\\b.txt", "b");
  const std::string loop = volume_.hostPath("C:\\loop");
  // Two links to their own parent: followed, they would make the walk
  // exponential in the depth the 260-byte patterns allow.
  fs::create_directory_symlink(".", loop + "/again");
  fs::create_directory_symlink("..", loop + "/inner/up");
  // And one that leads out of the volume.
  const std::string outside = volume_.root() + "/outside";
  fs::create_directories(outside);
  { std::FILE* f = std::fopen((outside + "/secret.exe").c_str(), "wb"); std::fputs("x", f); std::fclose(f); }
  fs::create_directory_symlink(outside, loop + "/away");
  const auto before = volume_.hashTree();
  // Should the links be followed, stop the walk rather than hang the test.
  int sends = 0;
  os_.onSend = [&](const FakeOs::Sent&) {
    if (++sends > 10000) session_.cancelRequested = true;
  };

  walk("C:\\loop\\*.*");

  // Each real file is met once, through its one real path.
  const auto lines = statuses();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "C:\\loop\\a.txt"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "C:\\loop\\inner\\b.txt"), 1);
  EXPECT_EQ(lines.size(), 10u) << "., .., a.txt, again, away, inner; ., .., b.txt, up";
  EXPECT_EQ(volume_.hashTree(), before);
  for (const std::string& line : statuses()) EXPECT_EQ(line.find("secret"), std::string::npos) << line;
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, EntriesPastTheBufferSizeAreSkippedWhileTheRestIsWalked) {
  // Folders nested until the paths pass 259 characters, a file at every level.
  std::string folder = "C:";
  int expected = 0;
  std::vector<std::pair<std::string, bool>> files;  // path, reached
  bool folderReached = true;
  for (int level = 0; level < 8; ++level) {
    // The level number sits in the tail that the status line keeps.
    folder += "\\" + std::string(38, 'd') + std::to_string(10 + level);
    const std::string file = folder + "\\file.txt";
    volume_.writeFile(file, "x");
    // A folder is walked while its pattern (folder + "\\*.*") fits 259
    // characters; a file in it is reached when its own path fits too.
    folderReached = folderReached && folder.size() + 4 <= 259;
    const bool reached = folderReached && file.size() <= 259;
    files.push_back({file, reached});
    if (reached) ++expected;
  }
  ASSERT_GT(files.back().first.size(), 259u);
  ASSERT_GT(expected, 3);

  EXPECT_EQ(walk("C:\\*.*"), expected);

  for (const auto& [file, reached] : files) {
    const std::string line = file.size() > 60 ? file.substr(0, 29) + ".." + file.substr(file.size() - 29) : file;
    EXPECT_EQ(shown(line), reached) << file.size();
  }
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, AFileNameThatDoesNotFitIsSkippedNotTruncated) {
  // The folder fits; a long name in it does not, a short one does.
  const std::string folder = "C:\\" + std::string(200, 'f');
  const std::string longName = std::string(60, 'n') + ".exe";
  volume_.writeFile(folder + "\\" + longName, buildWormSample(0));
  volume_.writeFile(folder + "\\" + longName.substr(0, 20), "short enough");

  EXPECT_EQ(walk((folder + "\\*.*").c_str()), 1);

  // Not scanned under a cut name, so the sample stays and nothing was deleted.
  EXPECT_TRUE(volume_.exists(folder + "\\" + longName));
  EXPECT_EQ(session_.filesInfected, 0);
  EXPECT_EQ(os_.calls(Op::DeleteFile), 0);
}

TEST_F(WalkerTest, WalksAFolderOfTwentyThousandEntries) {
  const std::string host = volume_.hostPath("C:\\many");
  fs::create_directories(host);
  for (int i = 0; i < 20000; ++i) {
    std::FILE* f = std::fopen((host + "/f" + std::to_string(i) + ".txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }

  EXPECT_EQ(walk("C:\\many\\*.*"), 20000);

  EXPECT_EQ(statuses().size(), 20002u);
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, AFileRemovedBetweenListingAndScanningIsPassedOver) {
  volume_.writeFile("C:\\dir\\gone.exe", buildWormSample(0));
  volume_.writeFile("C:\\dir\\stays.exe", buildWormSample(0));
  const std::string gone = volume_.hostPath("C:\\dir\\gone.exe");
  os_.onSend = [&](const FakeOs::Sent& sent) {
    if (sent.message == kMsgStatus && sent.text == "C:\\dir\\gone.exe") ::unlink(gone.c_str());
  };

  EXPECT_EQ(walk("C:\\dir\\*.*"), 2);

  EXPECT_EQ(session_.filesInfected, 1);
  EXPECT_FALSE(volume_.exists("C:\\dir\\stays.exe"));
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, AnUnreadableFolderIsPassedOverAndTheWalkGoesOn) {
  volume_.writeFile("C:\\dir\\locked\\hidden.txt", "h");
  volume_.writeFile("C:\\dir\\open\\seen.txt", "s");
  volume_.writeFile("C:\\dir\\top.txt", "t");
  os_.failWhen(Op::FindFirstFile, [](const char* pattern) {
    return std::string(pattern).find("\\locked\\") != std::string::npos;
  });

  EXPECT_EQ(walk("C:\\dir\\*.*"), 2);

  EXPECT_TRUE(shown("C:\\dir\\open\\seen.txt"));
  EXPECT_FALSE(shown("C:\\dir\\locked\\hidden.txt"));
  expectNothingLeftOpen();
}

TEST_F(WalkerTest, AListingThatFailsMidwayKeepsWhatItGave) {
  for (int i = 0; i < 5; ++i) volume_.writeFile("C:\\dir\\f" + std::to_string(i) + ".txt", "x");
  // The file pass gives ".", "..", and one file, then the listing breaks.
  os_.failOn(Op::FindNextFile, 3);

  EXPECT_EQ(walk("C:\\dir\\*.*"), 1);

  expectNothingLeftOpen();
}

}  // namespace
}  // namespace purgato
