// A fresh temporary folder per test that stands in for a Windows volume:
// one host folder per drive letter (<root>/C, <root>/D, ...), mapped into a
// PosixOs (or FakeOs). Removed with everything in it when the volume goes,
// read-only files and unwritable folders included.
//
// Windows paths ("C:\\WINDOWS\\WIN.INI") resolve like the seam resolves
// them: each component matches an existing entry exactly or, failing
// that, without regard to case; missing components are taken as written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace purgato {

class PosixOs;

class TempVolume {
 public:
  TempVolume();  // mkdtemp under $TMPDIR or /tmp; throws std::runtime_error on failure
  ~TempVolume();
  TempVolume(const TempVolume&) = delete;
  TempVolume& operator=(const TempVolume&) = delete;

  const std::string& root() const { return root_; }

  // The host folder of drive `letter` (either case), created on demand and
  // mapped into every os given to mapInto, now or later.
  std::string drive(char letter);
  // Maps the drives made so far into os and remembers os for later ones.
  // os must outlive the drives made after this call (not the volume).
  void mapInto(PosixOs& os);

  // The host path of a Windows path "X:\\..." (drive made on demand).
  // Throws std::invalid_argument for a path without a drive letter.
  std::string hostPath(const std::string& windowsPath);

  // Writes the file, creating its folders. Throws std::runtime_error on failure.
  void writeFile(const std::string& windowsPath, const std::vector<std::uint8_t>& bytes);
  void writeFile(const std::string& windowsPath, const std::string& text);
  void makeFolder(const std::string& windowsPath);
  // The file's bytes; throws std::runtime_error when it cannot be read.
  std::vector<std::uint8_t> readFile(const std::string& windowsPath);
  std::string readText(const std::string& windowsPath);
  bool exists(const std::string& windowsPath);

  // Every entry beneath the root: relative host path ("C/WINDOWS/WIN.INI")
  // -> "dir", "link:<target>" or a hash of the content with its length.
  // Two equal maps mean nothing was added, removed or changed.
  std::map<std::string, std::string> hashTree() const;

 private:
  std::string root_;
  std::vector<char> drives_;
  std::vector<PosixOs*> mapped_;
};

// The bytes of a host file as text; "" when it cannot be read.
std::string fileText(const std::string& hostPath);
// mkdir: 0 when made, 1 when it was there, -1 on failure (errno set).
int makeDir(const std::string& hostPath);

}  // namespace purgato
