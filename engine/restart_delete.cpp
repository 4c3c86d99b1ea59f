#include "engine/restart_delete.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "clean/terminate.h"
#include "os/text.h"

namespace purgato {

namespace {

constexpr char kLineEnd[] = "\r\n";
constexpr char kWininit[] = "WININIT.INI";
// WININIT.INI holds a few lines; anything this large is not one to edit.
constexpr std::int32_t kWininitLimit = 1 << 20;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The line without blanks at either end, and without blanks around its
// first '=', lower-cased: "NUL = C:\\X.EXE" and "nul=c:\\x.exe" are one line.
std::string normalized(const std::string& text, std::size_t begin, std::size_t end) {
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  std::string out;
  out.reserve(end - begin);
  for (std::size_t i = begin; i < end; ++i) out.push_back(lowerAscii(text[i]));
  const std::size_t equals = out.find('=');
  if (equals != std::string::npos) {
    std::size_t before = equals;
    while (before > 0 && isBlank(out[before - 1])) --before;
    std::size_t after = equals + 1;
    while (after < out.size() && isBlank(out[after])) ++after;
    out = out.substr(0, before) + "=" + out.substr(after);
  }
  return out;
}

bool isSectionHeader(const std::string& line) { return !line.empty() && line[0] == '['; }

// All of `bytes` at the descriptor's position; false when any part failed.
bool writeAll(Os& os, int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int put = os.write(fd, bytes.data() + done, static_cast<unsigned>(bytes.size() - done));
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool writeAt(Os& os, int fd, std::int32_t offset, const std::string& bytes) {
  return os.lseek(fd, offset, kSeekSet) == offset && writeAll(os, fd, bytes);
}

// The whole file of a descriptor, at most kWininitLimit bytes.
bool readAll(Os& os, int fd, std::string* text) {
  const std::int32_t size = os.lseek(fd, 0, kSeekEnd);
  if (size < 0 || size > kWininitLimit || os.lseek(fd, 0, kSeekSet) != 0) return false;
  text->assign(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < text->size()) {
    const int n = os.read(fd, &(*text)[got], static_cast<unsigned>(text->size() - got));
    if (n <= 0) return false;  // a file that shrinks under us is left alone
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// WININIT.INI in the Windows folder; false when the folder is not known.
bool wininitPath(Os& os, std::string* path) {
  char folder[kPathSize];
  const unsigned length = os.getWindowsDirectory(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return false;
  *path = folder;
  if (path->back() != '\\') *path += '\\';
  *path += kWininit;
  return path->size() < kPathSize;
}

// Windows 9x runs WININIT.INI's [rename] section at its start: "NUL=path"
// deletes the file. The path must be the short one (WININIT runs before
// long names are served).
bool scheduleInWininit(Os& os, const char* path, RestartRequest* request) {
  char shortPath[kPathSize];
  const unsigned length = os.getShortPathName(path, shortPath, sizeof shortPath);
  if (length == 0 || length >= sizeof shortPath) return false;
  std::string ini;
  if (!wininitPath(os, &ini)) return false;

  // Made only when it is not there: a file that cannot be opened stays
  // as it is, and only a file made here is removed again.
  int fd = os.open(ini.c_str(), kORdWr | kOBinary);
  const bool existed = fd >= 0;
  if (!existed) fd = os.open(ini.c_str(), kORdWr | kOBinary | kOCreat | kOExcl);
  if (fd < 0) return false;
  std::string text;
  bool ok = readAll(os, fd, &text);
  if (ok) {
    const std::string line = std::string("NUL=") + shortPath;
    const RenameEdit edit = planRenameLine(text, line);
    request->place = ini;
    request->entry = line;
    request->written = !edit.present;
    if (!edit.present) {
      const std::string tail = text.substr(edit.offset);
      const std::int32_t at = static_cast<std::int32_t>(edit.offset);
      const std::int32_t size = static_cast<std::int32_t>(text.size());
      // The file takes its new length first, so a full disk refuses before
      // anything is changed; the writes after it only overwrite.
      ok = os.chsize(fd, size + static_cast<std::int32_t>(edit.insert.size())) == 0;
      if (ok) {
        ok = writeAt(os, fd, at, edit.insert) && writeAll(os, fd, tail);
        // Half a line would be worse than none: put back what was there.
        if (!ok) {
          writeAt(os, fd, at, tail);
          os.chsize(fd, size);
        }
      }
    }
  }
  ok = os.close(fd) == 0 && ok;
  if (!ok && !existed) os.deleteFile(ini.c_str());
  return ok;
}

// True when PendingFileRenameOperations already asks for the file's
// deletion: each scan before the restart (a logon script's, say) would
// otherwise add the same request again.
bool deletionPending(Os& os, const char* path) {
  constexpr std::uint32_t kRegMultiSz = 7;
  constexpr std::uint32_t kLimit = 1 << 20;
  constexpr char kValue[] = "PendingFileRenameOperations";
  HKey key = 0;
  if (os.regOpenKeyEx(kHkeyLocalMachine, kSessionManagerKey, kKeyRead, &key) != kErrorSuccess) return false;
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  std::vector<char> data;
  if (os.regQueryValueEx(key, kValue, &type, nullptr, &size) == kErrorSuccess && type == kRegMultiSz && size > 0 &&
      size <= kLimit) {
    data.assign(size + 2, '\0');  // ends with zeros whatever was read
    std::uint32_t got = size;
    if (os.regQueryValueEx(key, kValue, &type, reinterpret_cast<std::uint8_t*>(data.data()), &got) != kErrorSuccess ||
        type != kRegMultiSz)
      data.clear();
    else if (got < size)
      data.resize(got + 2);
  }
  os.regCloseKey(key);
  const std::string wanted = std::string("\\??\\") + path;
  // Pairs of strings: the file, then its new name ("" for a deletion).
  std::size_t at = 0;
  while (at + 1 < data.size() && data[at] != '\0') {
    const std::string file(&data[at]);
    at += file.size() + 1;
    if (at >= data.size()) break;
    const std::string target(&data[at]);
    at += target.size() + 1;
    if (target.empty() && compareNoCase(file.c_str(), wanted.c_str()) == 0) return true;
  }
  return false;
}

}  // namespace

RenameEdit planRenameLine(const std::string& text, const std::string& line) {
  RenameEdit edit;
  const std::string wanted = normalized(line, 0, line.size());
  bool inside = false;    // in the first [rename] section
  bool found = false;     // that section was met
  std::size_t after = 0;  // end of the section's last non-blank line, its line end included
  bool lineEnded = true;  // that line has its line end
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t newline = text.find('\n', begin);
    const std::size_t end = newline == std::string::npos ? text.size() : newline;
    const std::size_t next = newline == std::string::npos ? text.size() : newline + 1;
    const std::string current = normalized(text, begin, end);
    if (isSectionHeader(current)) {
      if (inside) break;  // the section ended
      if (!found && current == "[rename]") {
        inside = found = true;
        after = next;
        lineEnded = newline != std::string::npos;
      }
    } else if (inside && !current.empty()) {
      if (current == wanted) {
        edit.present = true;
        return edit;
      }
      after = next;
      lineEnded = newline != std::string::npos;
    }
    begin = next;
  }
  if (found) {
    edit.offset = after;
    edit.insert = (lineEnded ? "" : kLineEnd) + line + kLineEnd;
    return edit;
  }
  edit.offset = text.size();
  const bool needsLineEnd = !text.empty() && text.back() != '\n';
  edit.insert = (needsLineEnd ? kLineEnd : "") + std::string("[rename]") + kLineEnd + line + kLineEnd;
  return edit;
}

bool scheduleDeleteAtRestart(Os& os, const char* path, RestartRequest* request) {
  RestartRequest ignored;
  if (request == nullptr) request = &ignored;
  switch (platformClass(os)) {
    case kFamilyNT:
      request->place = std::string("HKEY_LOCAL_MACHINE\\") + kSessionManagerKey + "\\PendingFileRenameOperations";
      request->entry = std::string("\\??\\") + path;
      request->written = !deletionPending(os, path);
      return !request->written || os.moveFileEx(path, nullptr, kMoveFileDelayUntilReboot);
    case kFamily9x:
      return scheduleInWininit(os, path, request);
    default:
      return false;  // a mounted volume: no restart to wait for
  }
}

}  // namespace purgato
