// The signature table, the row and companion matching, and the positioned
// reads they rest on.
#include "engine/signatures.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/file_read.h"
#include "tests/support/bytes.h"
#include "tests/support/fake_os.h"
#include "tests/support/samples.h"
#include "tests/support/temp_volume.h"

namespace purgato {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes hexBytes(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

Bytes bytesOf(const unsigned char* p, int n) { return Bytes(p, p + n); }

// The samples are built from the table itself, so only an independent
// transcription of the known builds catches a mistyped byte or offset.
TEST(SignatureTable, HoldsTheKnownBuildsInOrder) {
  struct Row {
    const char* name;
    std::int32_t sizeTest, size, offset1, offset2;
    const char* pattern1;
    const char* pattern2;
  };
  const char* const p1Worm = "32 C0 F2 AE 4F BE C8 50 40 00 B9 0C 00 00 00 F3 A4 8D 85 F4";
  const char* const p1A = "35 68 D9 23 5F 16 CC B7 14 61 C4 61 08 66 01 74 1C 94 0A 02";
  const char* const p2A = "31 9A 09 AE 12 BC 24 CE 48 DC 91 E8 22 F8 20 04 83 44 1A 2E";
  const Row rows[kSignatureRows] = {
      {"W32/Opaserv.Worm", kSizeAny, 28672, 1456, 11670, p1Worm,
       "33 D7 25 FC FC FC FC 81 E2 CF CF CF CF 0F B6 D8 C1 C2 04 0F"},
      {"W32/Opaserv.E.Worm", kSizeExact, 24064, -20784, -1014,
       "FF 02 1F A6 81 B6 11 F8 48 4E 48 4B 74 33 ED BA E0 A2 02 D3",
       "83 BB FC DB 16 25 EA 02 DB E2 F8 59 66 33 C3 D1 66 B6 B3 63"},
      {"W32/Opaserv.E.Worm", kSizeExact, 24064, -20120, -1044,
       "30 56 B0 9B 94 4C 10 87 F2 79 B6 BC 19 A8 6A E5 F1 7F FB FF",
       "33 DB 33 D2 66 BB FD DB DE 8B 9D 21 06 95 1F AC 32 D8 32 2B"},
      {"W32/Opaserv.A.Worm", kSizeExact, 12800, -10208, -746, p1A, p2A},
      {"W32/Opaserv.A.Worm", kSizeExact, 43523, -10208, -746, p1A, p2A},
      {"W32/Opaserv.B.Worm", kSizeAny, 28672, 1456, 3321, p1Worm,
       "51 52 68 BF 51 40 00 50 E8 21 FB FF FF 85 C0 74 4F 8B 55 E4"},
      {"W32/Opaserv.D.Worm", kSizeExact, 27136, 1456, 3321, p1Worm,
       "51 52 68 CE 51 40 00 50 E8 21 FB FF FF 85 C0 74 4F 8B 55 E4"},
      {"W32/Opaserv.H.Worm", kSizeExact, 21504, -18881, -468,
       "0F 80 04 94 52 35 02 ED 04 1A 35 B6 C2 AD B9 32 08 72 62 26",
       "33 B4 F6 CD 66 0D 61 89 4C E4 DF FB 10 5E 2B 62 3B E9 6D 44"},
      {"W32/Opaserv.K.Worm", kSizeNear, 20739, -12544, -10128,
       "99 2C F0 5C E4 53 08 2C 0E EC DD 26 04 59 01 F5 5B 21 76 90",
       "0D 8B AB 34 68 9B FC DA 33 07 F5 C1 E8 84 A9 1F CD 66 55 EF"},
  };
  for (int i = 0; i < kSignatureRows; ++i) {
    SCOPED_TRACE("row " + std::to_string(i + 1));
    const SignatureRecord& r = signatureTable[i];
    EXPECT_STREQ(r.name, rows[i].name);
    EXPECT_EQ(r.sizeTest, rows[i].sizeTest);
    EXPECT_EQ(r.size, rows[i].size);
    EXPECT_EQ(r.offset1, rows[i].offset1);
    EXPECT_EQ(r.offset2, rows[i].offset2);
    EXPECT_EQ(bytesOf(r.pattern1, kPatternLength), hexBytes(rows[i].pattern1));
    EXPECT_EQ(bytesOf(r.pattern2, kPatternLength), hexBytes(rows[i].pattern2));
    EXPECT_EQ(r.pattern1[kPatternLength], 0);
    EXPECT_EQ(r.pattern2[kPatternLength], 0);
  }
  const SignatureRecord& end = signatureTable[kSignatureRows];
  EXPECT_EQ(end.pattern1[0], 0);
  EXPECT_STREQ(end.name, "");

  const CompanionSignature& c = kCompanionFileSignature;
  EXPECT_EQ(c.length, 1706);
  EXPECT_EQ(c.offset1, 592);
  EXPECT_EQ(c.offset2, 1436);
  EXPECT_EQ(bytesOf(c.pattern1, kPatternLength), hexBytes("C6 86 82 03 00 BA 80 00 E8 55 01 53 33 DB 8A DE B8 FF 04 83"));
  EXPECT_EQ(bytesOf(c.pattern2, kPatternLength), hexBytes("3C 19 8B D9 AC 8A C8 B0 20 74 02 AC 4B 32 ED 41 F3 AB 8B CB"));
  EXPECT_STREQ(c.name, "W32/Opaserv.Worm");
}

// Real files in a temp volume, opened through the double.
class MatchTest : public ::testing::Test {
 protected:
  MatchTest() {
    volume.drive('C');
    volume.mapInto(os);
  }
  ~MatchTest() override {
    for (int fd : open_) os.close(fd);
  }

  int openWith(const Bytes& bytes) {
    const std::string path = "C:\\F" + std::to_string(open_.size()) + ".BIN";
    volume.writeFile(path, bytes);
    const int fd = os.open(path.c_str(), kORdOnly | kOBinary);
    EXPECT_GE(fd, 0);
    open_.push_back(fd);
    return fd;
  }
  std::int32_t lengthOf(int fd) { return os.lseek(fd, 0, kSeekEnd); }

  // The row findSignature reports, as an index; -1 for none.
  int found(const Bytes& bytes, std::int32_t entryOffset) {
    const int fd = openWith(bytes);
    const SignatureRecord* row = findSignature(os, fd, lengthOf(fd), entryOffset);
    return row ? static_cast<int>(row - signatureTable) : -1;
  }

  TempVolume volume;
  FakeOs os;

 private:
  std::vector<int> open_;
};

TEST_F(MatchTest, EachSampleIsFoundAtItsOwnRow) {
  // Rows 3, 5, 6 and 7 share bytes or names with an earlier row; each must
  // still be told apart by its second pattern or its length.
  for (int row = 0; row < kSignatureRows; ++row) {
    SCOPED_TRACE("row " + std::to_string(row + 1));
    EXPECT_EQ(found(buildWormSample(row), sampleEntryOffset(row)), row);
    EXPECT_EQ(found(buildNearMiss(row), sampleEntryOffset(row)), -1);
  }
}

TEST_F(MatchTest, LengthTestBoundaries) {
  struct Case {
    int row;
    std::int32_t delta;
    int expected;
  } cases[] = {
      {1, 0, 1},   {1, 1, -1},  {1, -1, -1},         // exact: 24064 only
      {2, 1, -1},                                    // the other E build, same length
      {3, 0, 3},   {3, 30723, 4}, {3, 1, -1},        // the same A bytes at 43523 are row 5
      {8, 4095, 8}, {8, -4095, 8}, {8, 4096, -1}, {8, -4096, -1},  // near: open window of 4096
      {0, 100000, 0}, {5, -10000, 5},                // any length
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("row " + std::to_string(c.row + 1) + " delta " + std::to_string(c.delta));
    EXPECT_EQ(found(buildWormSample(c.row, c.delta), sampleEntryOffset(c.row)), c.expected);
  }
}

TEST_F(MatchTest, EarlierRowWinsWhenTwoMatch) {
  // Row 1 and row 6 share their first pattern; carry both second patterns.
  Bytes bytes = buildWormSample(0);
  const std::int32_t entry = sampleEntryOffset(0);
  putBytes(bytes, std::size_t(entry + signatureTable[5].offset2), signatureTable[5].pattern2, kPatternLength);
  const int fd = openWith(bytes);
  ASSERT_TRUE(matchesRecord(os, signatureTable[5], fd, lengthOf(fd), entry));
  EXPECT_EQ(findSignature(os, fd, lengthOf(fd), entry), &signatureTable[0]);
}

TEST_F(MatchTest, WindowRunningOffTheEndFailsOnlyItsRow) {
  // A row 6 sample cut inside row 1's second window, which holds the first
  // bytes of row 1's pattern: row 1 gets a short read, row 6 still matches.
  // Cut exactly at the window's end, row 1 matches.
  const std::int32_t entry = sampleEntryOffset(5);
  const std::int32_t windowEnd = entry + signatureTable[0].offset2 + kPatternLength;
  for (std::int32_t cut : {1, 0}) {
    SCOPED_TRACE("cut " + std::to_string(cut));
    Bytes bytes = buildWormSample(5);
    putBytes(bytes, std::size_t(windowEnd - kPatternLength), signatureTable[0].pattern2, kPatternLength);
    bytes.resize(std::size_t(windowEnd - cut));
    EXPECT_EQ(found(bytes, entry), cut ? 5 : 0);
  }
}

TEST_F(MatchTest, PositionsOutsideTheFileNeverMatch) {
  const int fd = openWith(buildWormSample(1));
  const std::int32_t length = lengthOf(fd);
  struct Case {
    int row;
    std::int32_t entryOffset;
  } cases[] = {
      {1, 20783},       // first position -1
      {1, 0},           // both before the start
      {0, INT32_MAX},   // the 32-bit sum would overflow
      {1, INT32_MIN},   // ... and here wrap to a large positive position
      {0, length - 1456 - 19},  // first window ends one byte past the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.entryOffset));
    EXPECT_FALSE(matchesRecord(os, signatureTable[c.row], fd, length, c.entryOffset));
  }
  EXPECT_EQ(findSignature(os, fd, length, INT32_MIN), nullptr);
}

TEST_F(MatchTest, RowsWithPositionsBeforeTheStartLetLaterRowsMatch) {
  // 24064 bytes, entry offset 20000: rows 2 and 3 pass their length test but
  // compute positions before the start of the file; row 9 (20739 +- 4095)
  // carries its patterns and must still be reached.
  const std::int32_t entry = 20000;
  ASSERT_LT(entry + signatureTable[1].offset1, 0);
  ASSERT_LT(entry + signatureTable[2].offset1, 0);
  Bytes bytes(24064, 0);
  putBytes(bytes, std::size_t(entry + signatureTable[8].offset1), signatureTable[8].pattern1, kPatternLength);
  putBytes(bytes, std::size_t(entry + signatureTable[8].offset2), signatureTable[8].pattern2, kPatternLength);
  EXPECT_EQ(found(bytes, entry), 8);
}

TEST_F(MatchTest, UnknownLengthTestNeverMatches) {
  const int fd = openWith(buildWormSample(0));
  SignatureRecord record = signatureTable[0];
  ASSERT_TRUE(matchesRecord(os, record, fd, lengthOf(fd), sampleEntryOffset(0)));
  for (std::int32_t code : {0, 4, -1}) {
    record.sizeTest = code;
    EXPECT_FALSE(matchesRecord(os, record, fd, lengthOf(fd), sampleEntryOffset(0))) << code;
  }
}

TEST_F(MatchTest, CompanionFile) {
  const Bytes companion = buildCompanionFile();
  auto with = [&](std::size_t at, std::uint8_t value) {
    Bytes b = companion;
    b[at] ^= value;
    return b;
  };
  Bytes longer = companion;
  longer.push_back(0);
  Bytes shorter = companion;
  shorter.pop_back();
  struct Case {
    const char* label;
    Bytes bytes;
    bool expected;
  } cases[] = {
      {"both patterns", companion, true},
      {"second pattern's last byte differs", with(1436 + 19, 0x01), false},
      {"first pattern's first byte differs", with(592, 0x80), false},
      {"one byte longer", longer, false},
      {"one byte shorter", shorter, false},
      {"zeros", Bytes(1706, 0), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isCompanionFile(os, openWith(c.bytes)), c.expected) << c.label;
  }
}

TEST_F(MatchTest, CompanionTestFailsOnFailedSeekOrRead) {
  for (FakeOs::Op op : {FakeOs::Op::Lseek, FakeOs::Op::Read}) {
    for (int nth = 1; nth <= (op == FakeOs::Op::Lseek ? 3 : 2); ++nth) {
      const int fd = openWith(buildCompanionFile());
      os.failOn(op, nth);
      EXPECT_FALSE(isCompanionFile(os, fd)) << "call " << nth;
      os.clearFaults();
    }
  }
}

TEST_F(MatchTest, ReadExactAt) {
  Bytes content(100);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = std::uint8_t(i);
  const int fd = openWith(content);
  struct Case {
    std::int64_t position;
    unsigned count;
    bool expected;
  } cases[] = {
      {0, 100, true},
      {80, 20, true},
      {81, 20, false},  // short read
      {100, 1, false},
      {-1, 4, false},
      {std::int64_t(INT32_MAX) + 1, 4, false},  // would wrap in 32 bits
      {std::int64_t(UINT32_MAX) + 10, 4, false},  // ... to position 9
      {INT64_MIN, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.position) + "+" + std::to_string(c.count));
    Bytes buffer(c.count, 0xEE);
    ASSERT_EQ(readExactAt(os, fd, c.position, buffer.data(), c.count), c.expected);
    if (c.expected) {
      EXPECT_EQ(buffer, Bytes(content.begin() + c.position, content.begin() + c.position + c.count));
    }
  }
}

TEST_F(MatchTest, ReadExactAtFailsOnFailedSeekOrRead) {
  const int fd = openWith(Bytes(100, 1));
  std::uint8_t buffer[4];
  os.failOn(FakeOs::Op::Lseek);
  EXPECT_FALSE(readExactAt(os, fd, 10, buffer, 4));
  os.failOn(FakeOs::Op::Read);
  EXPECT_FALSE(readExactAt(os, fd, 10, buffer, 4));
  EXPECT_TRUE(readExactAt(os, fd, 10, buffer, 4));
}

}  // namespace
}  // namespace purgato
