#include "cli/journal.h"

#include <cerrno>
#include <cstring>

#include "cli/messages.h"

namespace purgato {

namespace {

const char* kindName(FindingKind kind) {
  switch (kind) {
    case FindingKind::kFile: return "file";
    case FindingKind::kStartupFile: return "startup-file";
    case FindingKind::kRunValue: return "run-value";
    case FindingKind::kProcess: return "process";
    case FindingKind::kService: return "service";
  }
  return "file";
}

// What the stderr line says was not done, and to what.
std::string failedChange(const Finding& f) {
  const std::string path = escapeControls(f.path);
  switch (f.kind) {
    case FindingKind::kFile: return "'" + path + "' was not deleted";
    case FindingKind::kStartupFile: return "the worm's entries at the end of '" + path + "' were not cut";
    case FindingKind::kRunValue: return "Run value '" + escapeControls(f.valueName) + "' was not removed";
    case FindingKind::kProcess:
      return "process " + std::to_string(f.processId) + " ('" + path + "') was not ended";
    case FindingKind::kService: return "the keys of service '" + escapeControls(f.valueName) + "' were not deleted";
  }
  return path;
}

// The length of the UTF-8 sequence at p (at most n bytes), 0 when none.
std::size_t utf8Length(const unsigned char* p, std::size_t n) {
  std::size_t length = 0;
  if (p[0] >= 0xC2 && p[0] <= 0xDF) length = 2;
  else if (p[0] >= 0xE0 && p[0] <= 0xEF) length = 3;
  else if (p[0] >= 0xF0 && p[0] <= 0xF4) length = 4;
  if (length == 0 || length > n) return 0;
  for (std::size_t i = 1; i < length; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return length;
}

std::string number(std::int64_t value) { return std::to_string(value); }

// Every byte as two lower-case hex digits.
std::string hexBytes(const char* data, std::size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char byte = static_cast<unsigned char>(data[i]);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

const char kProgramPrefix[] = "purgato-scan: ";

// Appends text at *at, never past end.
void put(char*& at, char* end, const char* text) {
  while (*text && at < end) *at++ = *text++;
}

// Appends value in decimal with at least width digits.
void putNumber(char*& at, char* end, std::int64_t value, int width) {
  char digits[24];
  int n = 0;
  if (value < 0) {
    put(at, end, "-");
    value = -value;
  }
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 20);
  while (n < width) digits[n++] = '0';
  while (n > 0 && at < end) *at++ = digits[--n];
}

// ISO 8601 UTC of ms after 1970, by the civil calendar's arithmetic (no
// gmtime: it is not safe in a signal handler).
void putUtc(char*& at, char* end, std::int64_t ms) {
  if (ms < 0) ms = 0;
  const std::int64_t days = ms / 86400000;
  const std::int64_t inDay = ms % 86400000;
  // Days to year, month and day; the year taken to start on 1 March.
  const std::int64_t z = days + 719468;
  const std::int64_t era = z / 146097;
  const std::int64_t dayOfEra = z - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  putNumber(at, end, year, 4);
  put(at, end, "-");
  putNumber(at, end, month, 2);
  put(at, end, "-");
  putNumber(at, end, day, 2);
  put(at, end, "T");
  putNumber(at, end, inDay / 3600000, 2);
  put(at, end, ":");
  putNumber(at, end, inDay / 60000 % 60, 2);
  put(at, end, ":");
  putNumber(at, end, inDay / 1000 % 60, 2);
  put(at, end, ".");
  putNumber(at, end, inDay % 1000, 3);
  put(at, end, "Z");
}

}  // namespace

std::string utcTime(std::int64_t ms) {
  char text[40];
  char* at = text;
  putUtc(at, text + sizeof text, ms);
  return std::string(text, static_cast<std::size_t>(at - text));
}

std::size_t footerText(char* out, std::size_t size, std::int64_t startMs, std::int64_t endMs, int exitStatus) {
  char* at = out;
  char* const end = out + size;
  const std::int64_t duration = endMs > startMs ? endMs - startMs : 0;
  put(at, end, "=== run ended ");
  putUtc(at, end, endMs);
  put(at, end, " after ");
  putNumber(at, end, duration / 1000, 1);
  put(at, end, ".");
  putNumber(at, end, duration % 1000, 3);
  put(at, end, " s, exit status ");
  putNumber(at, end, exitStatus, 1);
  put(at, end, "\n\n");
  return static_cast<std::size_t>(at - out);
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = p[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else if (c >= 0x80) {
      const std::size_t length = utf8Length(p + i, n - i);
      if (length > 0) {
        out.append(text, i, length);
        i += length;
        continue;
      }
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);  // not UTF-8: read as Latin-1
      out += escaped;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    }
    ++i;
  }
  return out + "\"";
}

RunJournal::~RunJournal() {
  if (log_) std::fclose(log_);
  if (report_) std::fclose(report_);
}

bool RunJournal::openLog(const std::string& path, std::string* error) {
  log_ = std::fopen(path.c_str(), "ab");
  if (!log_) {
    *error = "--log: cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  logPath_ = path;
  return true;
}

int RunJournal::logDescriptor() const {
  if (!log_) return -1;
#if defined(_WIN32)
  return _fileno(log_);
#else
  return fileno(log_);
#endif
}

bool RunJournal::openReport(const std::string& path, std::string* error) {
  report_ = std::fopen(path.c_str(), "wb");
  if (!report_) {
    *error = "--report: cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  reportPath_ = path;
  return true;
}

void RunJournal::noteWriteFailure(const char* what) {
  if (!writeError_.empty()) return;
  silenced_ = true;
  writeError_ = std::string("cannot write the ") + what + " '" + (what[0] == 'l' ? logPath_ : reportPath_) +
                "': " + std::strerror(errno != 0 ? errno : EIO);
  if (writeFailureHandler_) writeFailureHandler_();
}

void RunJournal::logText(const std::string& text) {
  if (!log_ || !writeError_.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), log_) != text.size() || std::fflush(log_) != 0)
    noteWriteFailure("log");
}

void RunJournal::reportRecord(const std::string& json) {
  if (!report_ || !writeError_.empty()) return;
  errno = 0;
  const std::string line = json + "\n";
  if (std::fwrite(line.data(), 1, line.size(), report_) != line.size() || std::fflush(report_) != 0)
    noteWriteFailure("report");
}

bool RunJournal::start(const RunFacts& facts, std::string* error) {
  startMs_ = clock_();
  const std::string started = utcTime(startMs_);
  std::string options;
  for (std::size_t i = 1; i < facts.arguments.size(); ++i)
    options += (i > 1 ? " " : "") + escapeControls(facts.arguments[i]);
  std::string signatures;
  for (const std::string& name : facts.signatures) signatures += (signatures.empty() ? "" : ", ") + name;
  const std::string target = facts.target == "files" ? "the named files" : "'" + facts.target + "'";
  std::string header = "=== purgato-scan " + facts.version + " run started " + started + "\n";
  header += "signature set: " + signatures + "\n";
  header += "host: " + facts.host + "\n";
  header += std::string("mode: ") + (facts.dryRun ? "dry run (nothing is changed)" : "real scan") + "\n";
  header += "target: " + target + "\n";
  for (const auto& drive : facts.drives) header += std::string("drive ") + drive.first + ": " + drive.second + "\n";
  if (!facts.windowsDir.empty()) header += "windows folder: " + facts.windowsDir + "\n";
  if (!facts.backupSet.empty()) header += "backup set: " + facts.backupSet + "\n";
  header += "options: " + options + "\n";
  logText(header);

  std::string json = "{\"record\":\"run\",\"program\":\"purgato-scan\",\"version\":" + jsonString(facts.version);
  json += ",\"signatures\":[";
  for (std::size_t i = 0; i < facts.signatures.size(); ++i) json += (i ? "," : "") + jsonString(facts.signatures[i]);
  json += "],\"host\":" + jsonString(facts.host) + ",\"start\":" + jsonString(started);
  json += std::string(",\"dry_run\":") + (facts.dryRun ? "true" : "false");
  json += ",\"target\":" + jsonString(facts.target) + ",\"drives\":{";
  for (std::size_t i = 0; i < facts.drives.size(); ++i)
    json += (i ? "," : "") + jsonString(std::string(1, facts.drives[i].first)) + ":" + jsonString(facts.drives[i].second);
  json += "},\"windows_dir\":" + jsonString(facts.windowsDir);
  json += ",\"backup_set\":" + (facts.backupSet.empty() ? std::string("null") : jsonString(facts.backupSet));
  json += ",\"arguments\":[";
  for (std::size_t i = 1; i < facts.arguments.size(); ++i)
    json += (i > 1 ? "," : "") + jsonString(facts.arguments[i]);
  json += "]}";
  reportRecord(json);
  started_ = true;
  for (const std::string& line : earlyNotes_) writeNote(line);
  earlyNotes_.clear();
  if (!writeError_.empty()) {
    *error = writeError_;
    return false;
  }
  return true;
}

void RunJournal::note(const std::string& line) {
  if (!started_) {
    earlyNotes_.push_back(line);
    return;
  }
  writeNote(line);
}

void RunJournal::writeNote(const std::string& line) {
  logText(line + "\n");
  const std::size_t prefix = line.rfind(kProgramPrefix, 0) == 0 ? std::strlen(kProgramPrefix) : 0;
  reportRecord("{\"record\":\"note\",\"text\":" + jsonString(line.substr(prefix)) + "}");
}

void RunJournal::onFinding(const Finding& f) {
  outcome_.noteFinding(f);
  ++findings_;
  const bool failed = f.outcome == FindingOutcome::kFailed;
  KeptFile kept;
  if (keeping_ && (f.kind == FindingKind::kFile || f.kind == FindingKind::kStartupFile)) kept = keeping_->keptFile(f.path);
  std::string backupError = kept.backupError;
  // A change the core made for this finding on its own account (the line
  // of WININIT.INI) that was refused for want of its backup.
  const bool refusedMeanwhile = keeping_ && keeping_->refusals() != refusalsSeen_;
  if (keeping_) refusalsSeen_ = keeping_->refusals();
  if (failed && backupError.empty() && refusedMeanwhile && f.kind == FindingKind::kFile)
    backupError = keeping_->lastRefusal();
  if (keeping_ && f.kind == FindingKind::kRunValue) backupError = keeping_->registryBackupError(f.path, f.valueName);
  if (keeping_ && f.kind == FindingKind::kService)
    for (const char* suffix : {"\\Enum", "\\Security", ""})
      for (const char* set : {"HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\", "HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Services\\"})
        if (backupError.empty()) backupError = keeping_->registryBackupError(std::string(set) + f.valueName + suffix, "");

  std::string reason;
  if (failed) {
    ++failures_;
    if (!backupError.empty()) {
      reason = "not changed, as its backup could not be written: " + backupError;
    } else if (f.error != 0) {
      reason = errorText_(f);
    } else {
      reason = "the system gave no reason";
    }
    // One line per object, however often the scan meets it.
    const std::string object = std::string(kindName(f.kind)) + "\n" + f.path + "\n" + f.valueName;
    if (!silenced_ && reasonsGiven_.insert(object).second) {
      const std::string line = "purgato-scan: " + failedChange(f) + ": " + reason;
      stderr_(line + "\n");
      stderrLine(line);
    }
  }
  if (f.outcome == FindingOutcome::kAtRestart && f.restartEntry[0] != '\0') {
    std::string line = std::string("restart request ") + (f.restartWritten ? "written to " : "already in ") +
                       escapeControls(f.restartPlace) + ": " + escapeControls(f.restartEntry);
    const KeptFile place = keeping_ ? keeping_->keptFile(f.restartPlace) : KeptFile();
    if (!place.backupPath.empty()) line += "; its copy from before the run: " + place.backupPath;
    if (place.created) line += "; made by this run";
    logText(line + "\n");
  }
  if (!report_) return;

  std::string json = std::string("{\"record\":\"finding\",\"kind\":\"") + kindName(f.kind) + "\"";
  json += ",\"path\":" + jsonString(f.path);
  if (hostPath_ && (f.kind == FindingKind::kFile || f.kind == FindingKind::kStartupFile || f.kind == FindingKind::kProcess)) {
    const std::string host = hostPath_(f.path);
    json += ",\"host_path\":" + (host.empty() ? std::string("null") : jsonString(host));
  }
  json += ",\"variant\":" + jsonString(f.variant);
  const char* outcome = failed ? "failed" : f.outcome == FindingOutcome::kAtRestart ? "at-restart" : "removed";
  json += std::string(",\"outcome\":\"") + outcome + "\"";
  json += ",\"line\":" + (f.hasLine ? jsonString(session_.logLine) : std::string("null"));
  if (failed) {
    json += ",\"error\":{\"code\":" + number(backupError.empty() ? f.error : kErrorBackupFailed) +
            ",\"text\":" + jsonString(reason) + "}";
  } else {
    json += ",\"error\":null";
  }
  switch (f.kind) {
    case FindingKind::kFile:
    case FindingKind::kStartupFile:
      if (kept.measured) {
        json += ",\"size\":" + number(kept.size) + ",\"sha256\":" + jsonString(kept.sha256);
      } else {
        json += ",\"size\":null,\"sha256\":null";
      }
      json += ",\"backup\":" + (kept.backupPath.empty() ? std::string("null") : jsonString(kept.backupPath));
      if (f.outcome == FindingOutcome::kAtRestart) json += ",\"restart\":" + restartJson(f);
      break;
    case FindingKind::kRunValue: {
      // value_data is the text up to the first zero byte; value_hex every
      // byte as read (ANSI for the string types), zeros and all.
      std::string data(f.valueData, f.valueSize);
      const std::size_t zero = data.find('\0');
      if (zero != std::string::npos) data.resize(zero);
      json += ",\"key\":" + jsonString(f.path) + ",\"value_name\":" + jsonString(f.valueName) +
              ",\"value_type\":" + number(f.valueType) + ",\"value_data\":" + jsonString(data) +
              ",\"value_hex\":" + jsonString(hexBytes(f.valueData, f.valueSize));
      break;
    }
    case FindingKind::kProcess:
      json += ",\"process_id\":" + number(f.processId) + ",\"image\":" + jsonString(f.path);
      break;
    case FindingKind::kService: {
      json += ",\"service\":" + jsonString(f.valueName) + ",\"image\":" + jsonString(f.path) + ",\"keys\":[";
      for (int i = 0; i < f.keyCount; ++i) json += (i ? "," : "") + jsonString(f.keys[i]);
      json += "]";
      break;
    }
  }
  reportRecord(json + "}");
}

// Where a file left for the restart was asked for, as written.
std::string RunJournal::restartJson(const Finding& f) const {
  if (f.restartEntry[0] == '\0') return "null";
  const KeptFile place = keeping_ ? keeping_->keptFile(f.restartPlace) : KeptFile();
  return "{\"place\":" + jsonString(f.restartPlace) + ",\"entry\":" + jsonString(f.restartEntry) +
         ",\"written\":" + (f.restartWritten ? "true" : "false") +
         ",\"place_backup\":" + (place.backupPath.empty() ? std::string("null") : jsonString(place.backupPath)) +
         ",\"place_created\":" + (place.created ? "true" : "false") + "}";
}

void RunJournal::stdoutLine(const std::string& line) { logText(line + "\n"); }

void RunJournal::stderrLine(const std::string& line) { logText(line + "\n"); }

void RunJournal::unreadPlace(const std::string& windowsPath, const std::string& reason) {
  ++unread_;
  if (!report_) return;
  std::string json = "{\"record\":\"unreadable\",\"path\":" + jsonString(windowsPath);
  if (hostPath_) {
    const std::string host = hostPath_(windowsPath);
    json += ",\"host_path\":" + (host.empty() ? std::string("null") : jsonString(host));
  }
  reportRecord(json + ",\"reason\":" + jsonString(reason) + "}");
}

void RunJournal::finish(int exitStatus) {
  const std::int64_t endMs = clock_();
  const std::int64_t duration = endMs > startMs_ ? endMs - startMs_ : 0;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%lld.%03lld", static_cast<long long>(duration / 1000),
                static_cast<long long>(duration % 1000));
  std::string json = "{\"record\":\"end\",\"end\":" + jsonString(utcTime(endMs)) + ",\"duration_s\":" + seconds;
  json += ",\"files_scanned\":" + number(session_.filesScanned) + ",\"files_infected\":" + number(session_.filesInfected);
  json += ",\"files_disinfected\":" + number(session_.filesDisinfected) + ",\"files_deleted\":" + number(session_.filesDeleted);
  json += ",\"findings\":" + number(findings_) + ",\"failed\":" + number(failures_);
  json += ",\"unreadable\":" + number(unread_);
  json += std::string(",\"completed\":") + (session_.cancelRequested ? "false" : "true");
  json += ",\"exit_status\":" + number(exitStatus) + "}";
  reportRecord(json);
  char footer[128];
  logText(std::string(footer, footerText(footer, sizeof footer, startMs_, endMs, exitStatus)));
}

}  // namespace purgato
