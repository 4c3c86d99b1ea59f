#include "tests/support/samples.h"

#include <algorithm>
#include <stdexcept>

#include "engine/signatures.h"
#include "tests/support/bytes.h"

namespace purgato {

namespace {

// The one section of every worm sample: raw data at 0x400, mapped at
// 0x1000, large enough to hold the entry point of every row.
constexpr std::uint32_t kSampleRawData = 0x400;
constexpr std::uint32_t kSampleVirtualAddress = 0x1000;
constexpr std::uint32_t kSampleVirtualSize = 0x10000;

const SignatureRecord& rowOf(int row) {
  if (row < 0 || row >= kSignatureRows) throw std::out_of_range("signature row " + std::to_string(row));
  return signatureTable[row];
}

// Writes what fits of data at offset; the rest is past the end and dropped.
void putClipped(std::vector<std::uint8_t>& bytes, std::int64_t offset, const std::uint8_t* data, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t at = offset + std::int64_t(i);
    if (at >= 0 && at < std::int64_t(bytes.size())) bytes[std::size_t(at)] = data[i];
  }
}

std::vector<std::uint8_t> wormSample(int row, std::int32_t lengthDelta, bool spoilPattern2) {
  const SignatureRecord& record = rowOf(row);
  const std::int32_t entry = sampleEntryOffset(row);
  const std::int64_t length = std::int64_t(sampleLength(row)) + lengthDelta;
  if (length < std::int64_t(kSampleRawData)) throw std::invalid_argument("sample shorter than its headers");

  PeImage image;
  image.sections = {{kSampleVirtualAddress, kSampleVirtualSize, kSampleRawData}};
  image.entryPoint = kSampleVirtualAddress + std::uint32_t(entry) - kSampleRawData;
  image.length = std::uint32_t(length);
  std::vector<std::uint8_t> bytes = buildPe(image);

  std::uint8_t pattern2[kPatternLength];
  std::copy(record.pattern2, record.pattern2 + kPatternLength, pattern2);
  if (spoilPattern2) pattern2[kPatternLength / 2] ^= 0xFF;
  putClipped(bytes, std::int64_t(entry) + record.offset1, record.pattern1, kPatternLength);
  putClipped(bytes, std::int64_t(entry) + record.offset2, pattern2, kPatternLength);
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> buildPe(const PeImage& image) {
  const std::uint64_t e = image.eLfanew;
  const std::size_t sectionCount = image.sections.size();
  const std::uint64_t headersEnd =
      std::max<std::uint64_t>(64, e + kPeSectionTable + sectionCount * kPeSectionHeaderSize);
  if (headersEnd > 0x7FFFFFFF) throw std::invalid_argument("e_lfanew too large for a sample");
  std::vector<std::uint8_t> bytes(std::size_t(std::max<std::uint64_t>(headersEnd, image.length)), 0);

  if (image.dosSignature) {
    bytes[0] = 'M';
    bytes[1] = 'Z';
  }
  putLe32(bytes, 60, image.eLfanew);
  const std::uint8_t peSignature[4] = {'P', 'E', 0, 0};
  putBytes(bytes, e, peSignature, 4);
  // COFF file header.
  putLe16(bytes, e + 4, 0x014C);  // Machine: i386
  const int sections = image.numberOfSectionsOverride >= 0 ? image.numberOfSectionsOverride : int(sectionCount);
  putLe16(bytes, e + kPeNumberOfSections, std::uint16_t(sections));
  putLe16(bytes, e + 20, 224);     // SizeOfOptionalHeader
  putLe16(bytes, e + 22, 0x010F);  // Characteristics: executable, 32-bit
  // Optional header.
  const std::size_t opt = e + 24;
  putLe16(bytes, opt + 0, 0x010B);  // PE32
  putLe32(bytes, e + kPeEntryPoint, image.entryPoint);
  putLe32(bytes, opt + 28, 0x00400000);  // ImageBase
  putLe32(bytes, opt + 32, 0x1000);      // SectionAlignment
  putLe32(bytes, opt + 36, 0x200);       // FileAlignment
  putLe32(bytes, e + kPeSizeOfHeaders, image.sizeOfHeaders);
  putLe16(bytes, opt + 68, 2);   // Subsystem: GUI
  putLe32(bytes, opt + 92, 16);  // NumberOfRvaAndSizes
  // Section table.
  for (std::size_t i = 0; i < sectionCount; ++i) {
    const std::size_t s = e + kPeSectionTable + i * kPeSectionHeaderSize;
    const char name[8] = {'.', 't', 'e', 'x', 't', char('0' + i % 10), 0, 0};
    putBytes(bytes, s, reinterpret_cast<const std::uint8_t*>(name), 8);
    putLe32(bytes, s + 8, image.sections[i].virtualSize);
    putLe32(bytes, s + 12, image.sections[i].virtualAddress);
    putLe32(bytes, s + 16, image.sections[i].virtualSize);  // SizeOfRawData
    putLe32(bytes, s + 20, image.sections[i].pointerToRawData);
    putLe32(bytes, s + 36, 0x60000020);  // code, execute, read
  }
  // length 0 means "just the headers"; a shorter non-zero length is raised
  // to the headers, as documented.
  for (const auto& patch : image.patches) {
    if (patch.first < 0) throw std::invalid_argument("patch at a negative offset");
    const std::size_t end = std::size_t(patch.first) + patch.second.size();
    if (end > bytes.size()) bytes.resize(end, 0);
    std::copy(patch.second.begin(), patch.second.end(), bytes.begin() + std::ptrdiff_t(patch.first));
  }
  return bytes;
}

std::int32_t sampleLength(int row) {
  const SignatureRecord& record = rowOf(row);
  return record.sizeTest == kSizeAny ? 28672 : record.size;
}

std::int32_t sampleEntryOffset(int row) {
  // As near the start as lets the pattern that lies furthest before the
  // entry point start at the raw data (behind the headers).
  const SignatureRecord& record = rowOf(row);
  const std::int32_t lowest = std::min({record.offset1, record.offset2, 0});
  return std::int32_t(kSampleRawData) - lowest;
}

std::vector<std::uint8_t> buildWormSample(int row, std::int32_t lengthDelta) {
  return wormSample(row, lengthDelta, false);
}

std::vector<std::uint8_t> buildNearMiss(int row) { return wormSample(row, 0, true); }

std::vector<std::uint8_t> buildCompanionFile() {
  const CompanionSignature& signature = kCompanionFileSignature;
  std::vector<std::uint8_t> bytes(std::size_t(signature.length), 0);
  putBytes(bytes, std::size_t(signature.offset1), signature.pattern1, kPatternLength);
  putBytes(bytes, std::size_t(signature.offset2), signature.pattern2, kPatternLength);
  return bytes;
}

std::string winIniWormTail() { return "[MSAppFont]\r\nwinboot=scrsvr.exe\r\n"; }

std::string winIniWithWormTail(const std::string& body) { return body + winIniWormTail(); }

std::vector<std::uint8_t> toBytes(const std::string& text) { return {text.begin(), text.end()}; }

std::string toText(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

}  // namespace purgato
