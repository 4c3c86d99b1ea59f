// A layer over the Win32 seam that says which places the scan could not
// read, as the volume of the Linux build does: a folder FindFirstFileA
// cannot list (or whose listing ends early) for another reason than "not
// there", a file _open cannot open for reading or _read cannot read, and
// every listed entry the walker must pass over for its length. Each place
// is said once. Everything else goes straight through.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

#include "cli/report.h"
#include "os/forwarding_os.h"

namespace purgato {

class UnreadPlacesOs final : public ForwardingOs {
 public:
  using Sink = std::function<void(const std::string& windowsPath, UnreadPlace kind, const std::string& reason)>;
  // inner must be the Win32 seam itself: the layer reads GetLastError and
  // errno right after each call.
  UnreadPlacesOs(Os& inner, Sink sink) : ForwardingOs(inner), sink_(std::move(sink)) {}

  OsHandle findFirstFile(const char* pattern, FindData* data) override;
  bool findNextFile(OsHandle find, FindData* data) override;
  bool findClose(OsHandle find) override;
  int open(const char* path, int flags) override;
  int read(int fd, void* buffer, unsigned count) override;
  int close(int fd) override;

 private:
  void note(const std::string& windowsPath, UnreadPlace kind, const std::string& reason);
  void checkLength(const std::string& folder, const FindData& data);
  // Why a folder could not be listed; on the NT family a denied folder
  // says how to scan it.
  std::string folderErrorText(unsigned long error);

  Sink sink_;
  int family_ = 0;                           // platformClass, asked at the first denied folder
  std::set<std::string> noted_;              // places said so far, lower-cased
  std::map<OsHandle, std::string> folders_;  // each listing's folder, with its backslash
  std::map<int, std::string> files_;         // each file open for reading
};

// The text of a Win32 error as the Linux build words the same failure
// ("Permission denied" for a denied or shared-away place).
std::string win32ErrorText(unsigned long error);

}  // namespace purgato
