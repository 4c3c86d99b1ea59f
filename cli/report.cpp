#include "cli/report.h"

#include "cli/messages.h"

namespace purgato {

void appendPrintable(std::string* out, const char* text) {
  for (const char* p = text; *p; ++p) {
    const unsigned char u = static_cast<unsigned char>(*p);
    out->push_back((u < 0x20 && *p != '\t') || u == 0x7f ? '?' : *p);
  }
}

void ScanReport::appendLogLine(std::string* out) {
  appendPrintable(out, session_.logLine);
}

void ScanReport::appendEndLine(std::string* out) const { appendPrintable(out, session_.statusText); }

std::string ScanReport::unreadPlaceLine(const std::string& windowsPath, UnreadPlace kind, const std::string& reason) {
  outcome_.noteUnreadPlace();
  if (++unreadPlaces_ > kUnreadPlacesNamed) return std::string();
  const std::string path = escapeControls(windowsPath);
  switch (kind) {
    case UnreadPlace::kUnreadable:
      return "purgato-scan: cannot read '" + path + "': " + reason + "\n";
    case UnreadPlace::kTooLong:
      return "purgato-scan: '" + path + "' skipped: path longer than 259 characters\n";
    case UnreadPlace::kFolderTooDeep:
      return "purgato-scan: '" + path + "' skipped: folder path longer than 255 characters\n";
  }
  return std::string();
}

std::string ScanReport::unnamedPlacesLine() const {
  if (unreadPlaces_ <= kUnreadPlacesNamed) return std::string();
  return "purgato-scan: ... and " + std::to_string(unreadPlaces_ - kUnreadPlacesNamed) +
         " more places could not be read\n";
}

}  // namespace purgato
