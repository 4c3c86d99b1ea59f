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
  if (!journal_) {
    appendPrintable(out, session_.logLine);
    return;
  }
  text_.clear();
  appendPrintable(&text_, session_.logLine);
  *out += text_;
  journal_->stdoutLine(text_);
}

void ScanReport::appendEndLine(std::string* out) const {
  const std::size_t from = out->size();
  appendPrintable(out, session_.statusText);
  if (journal_) journal_->stdoutLine(out->substr(from));
}

std::string ScanReport::unreadPlaceLine(const std::string& windowsPath, UnreadPlace kind, const std::string& reason) {
  outcome_.noteUnreadPlace();
  const std::string why = kind == UnreadPlace::kUnreadable ? reason
                          : kind == UnreadPlace::kTooLong  ? std::string("path longer than 259 characters")
                                                           : std::string("folder path longer than 255 characters");
  if (journal_) journal_->unreadPlace(windowsPath, why);
  if (++unreadPlaces_ > kUnreadPlacesNamed) return std::string();
  const std::string path = escapeControls(windowsPath);
  const std::string line = kind == UnreadPlace::kUnreadable ? "purgato-scan: cannot read '" + path + "': " + reason
                                                            : "purgato-scan: '" + path + "' skipped: " + why;
  if (journal_) journal_->stderrLine(line);
  return line + "\n";
}

std::string ScanReport::unnamedPlacesLine() {
  if (unreadPlaces_ <= kUnreadPlacesNamed) return std::string();
  const std::string line = "purgato-scan: ... and " + std::to_string(unreadPlaces_ - kUnreadPlacesNamed) +
                           " more places could not be read";
  if (journal_) journal_->stderrLine(line);
  return line + "\n";
}

}  // namespace purgato
