#include "session/session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace purgato {

void sendLogLine(ScanSession& session, Os& os, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(session.logLine, sizeof session.logLine, format, args);
  va_end(args);
  os.sendMessage(session.progressWindow, kMsgLogLine, 0, 0);
}

void sendFinding(ScanSession& session, Os& os, const Finding& finding, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(session.logLine, sizeof session.logLine, format, args);
  va_end(args);
  if (session.findingSink != nullptr) session.findingSink->onFinding(finding);
  os.sendMessage(session.progressWindow, kMsgLogLine, 0, 0);
}

void noteFinding(ScanSession& session, const Finding& finding) {
  if (session.findingSink == nullptr) return;
  Finding record = finding;
  record.hasLine = false;
  session.findingSink->onFinding(record);
}

void sendStatus(ScanSession& session, Os& os, const char* text) {
  if (text != session.statusText) {
    const std::size_t length = std::strlen(text);
    const std::size_t keep = length < sizeof session.statusText ? length : sizeof session.statusText - 1;
    std::memmove(session.statusText, text, keep);
    session.statusText[keep] = '\0';
  }
  os.sendMessage(session.progressWindow, kMsgStatus, 0, 0);
}

}  // namespace purgato
