#include "cli/offline_registry_step.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "clean/registry_cleanup.h"
#include "cli/console.h"
#include "cli/exit_status.h"
#include "cli/messages.h"
#include "os/posix/signals_held.h"
#include "os/text.h"

namespace purgato {

namespace {

std::function<void(const std::string&)>& warningSink() {
  static std::function<void(const std::string&)> sink;
  return sink;
}

void say(const std::string& text) {
  const std::string line = "purgato-scan: " + escapeControls(text);
  if (warningSink()) {
    warningSink()(line);
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
}

std::string lowerText(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && lowerText(text.substr(0, prefix.size())) == lowerText(prefix);
}

bool keyExists(Os& os, const std::string& key) {
  HKey handle = 0;
  if (os.regOpenKeyEx(kHkeyLocalMachine, key.c_str(), kKeyRead, &handle) != kErrorSuccess) return false;
  os.regCloseKey(handle);
  return true;
}

}  // namespace

void setOfflineRegistryWarningSink(std::function<void(const std::string& line)> sink) { warningSink() = std::move(sink); }

bool imageNamesFile(const std::string& image, const std::string& windowsPath, const std::string& windowsFolder,
                    bool* unresolved, std::string* programPath) {
  if (unresolved != nullptr) *unresolved = false;
  if (programPath != nullptr) programPath->clear();
  std::string path = image;
  const std::size_t start = path.find_first_not_of(' ');
  path = start == std::string::npos ? std::string() : path.substr(start);
  bool quoted = false;
  if (!path.empty() && path[0] == '"') {
    const std::size_t close = path.find('"', 1);
    if (close == std::string::npos) return false;
    path = path.substr(1, close - 1);
    quoted = true;
  }
  for (char& c : path)
    if (c == '/') c = '\\';
  for (const char* prefix : {"\\??\\", "\\\\?\\", "\\\\.\\"}) {
    if (startsWithNoCase(path, prefix)) path = path.substr(std::strlen(prefix));
  }
  const std::string drive = windowsFolder.substr(0, 2);
  for (const char* name : {"%SystemRoot%", "%windir%"}) {
    if (startsWithNoCase(path, name)) path = windowsFolder + path.substr(std::strlen(name));
  }
  if (startsWithNoCase(path, "%SystemDrive%")) path = drive + path.substr(std::strlen("%SystemDrive%"));
  if (startsWithNoCase(path, "\\SystemRoot\\")) path = windowsFolder + path.substr(std::strlen("\\SystemRoot"));
  if (!path.empty() && path[0] == '\\') {
    path = drive + path;  // from the root of the system drive
  } else if (path.size() < 2 || path[1] != ':') {
    path = windowsFolder + "\\" + path;  // relative: from the system root, as the service loader takes it
  }
  // A variable left, or a short (8.3) name: which file it starts cannot be told here.
  const std::string program = quoted ? path : path.substr(0, path.find(' '));
  if (programPath != nullptr) *programPath = program;
  if (unresolved != nullptr && (program.find('%') != std::string::npos || program.find('~') != std::string::npos))
    *unresolved = true;
  const std::string wanted = foldedAsWindows(windowsPath);
  const std::string found = foldedAsWindows(path);
  if (found == wanted) return true;
  // Unquoted, the path ends at the first blank after which the rest are
  // the service's arguments, as Windows starts it.
  return !quoted && found.size() > wanted.size() && found.compare(0, wanted.size(), wanted) == 0 &&
         found[wanted.size()] == ' ';
}

// Notes the files the scan deletes and runs the service step before the
// first statistics line.
class OfflineRegistry::Step : public ForwardingOs {
 public:
  Step(OfflineRegistry& owner, ScanSession& session, Os& top) : ForwardingOs(top), owner_(owner), session_(session) {}

  bool deleteFile(const char* path) override {
    // Its short name goes with it: read now, for a service image that names it so.
    std::string dos;
    if (path == nullptr || !owner_.volume_.dosName(path, &dos)) dos.clear();
    const bool deleted = ForwardingOs::deleteFile(path);
    if (deleted && path != nullptr) deleted_.push_back({path, dos});
    return deleted;
  }

  std::intptr_t sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override {
    if (message == kMsgLogLine && session_.statisticsPhase && !ran_) {
      ran_ = true;
      // The statistics line waits in logLine while the step sends its own.
      std::string waiting(session_.logLine);
      session_.statisticsPhase = false;
      owner_.serviceStep(session_, *this, deleted_);
      session_.statisticsPhase = true;
      copyText(session_.logLine, sizeof session_.logLine, waiting.c_str());
    }
    return ForwardingOs::sendMessage(window, message, wParam, lParam);
  }

 private:
  OfflineRegistry& owner_;
  ScanSession& session_;
  std::vector<Deleted> deleted_;
  bool ran_ = false;
};

OfflineRegistry::OfflineRegistry(PosixOs& volume, RegistryMode mode) : volume_(volume) {
  if (mode == RegistryMode::kOff) return;
  char folder[kPathSize];
  const unsigned length = volume.getWindowsDirectory(folder, sizeof folder);
  if (length == 0 || length >= sizeof folder) return;
  windowsFolder_.assign(folder, length);

  const VolumeHives hives = findVolumeHives(volume);
  if (hives.nine && !hives.nt) {
    say(windowsFolder_ + " holds a Windows 9x registry (SYSTEM.DAT, USER.DAT), which is not cleaned offline: "
        "Run values of the worm stay in it");
  }
  // A disk of the worm's time may hold two Windows: 9x in C:\WINDOWS beside
  // 2000 or XP in C:\WINNT, or two of the NT family. The hives of every NT
  // folder are served, whichever folder the walk takes as the Windows folder.
  std::vector<std::string> hosts;
  auto serveIfNt = [&](const std::string& folder, const VolumeHives& found) {
    std::string host;
    if (!found.nt || !volume.hostPath(folder.c_str(), &host)) return;
    for (const std::string& known : hosts)
      if (known == host) return;  // the same folder, spelled otherwise
    hosts.push_back(host);
    installations_.push_back(Installation{folder, found, nullptr, false});
  };
  serveIfNt(windowsFolder_, hives);
  for (const char* other : {"C:\\WINNT", "C:\\WINDOWS"}) {
    if (lowerText(other) == lowerText(windowsFolder_)) continue;
    serveIfNt(other, findVolumeHives(volume, other));
  }
  if (installations_.empty()) return;
  if (installations_.size() > 1 || installations_[0].folder != windowsFolder_) {
    std::string folders;
    for (std::size_t i = 0; i < installations_.size(); ++i)
      folders += (i == 0 ? "" : i + 1 == installations_.size() ? " and " : ", ") + installations_[i].folder;
    say("the registry hives of " + folders + " (Windows NT family) are cleaned; the scan's Windows folder is " +
        windowsFolder_);
  }
  // Each registry over the next, the last over the volume: each leaves its
  // own backups out of the listings.
  for (std::size_t i = installations_.size(); i-- > 0;) {
    Os& inner = i + 1 < installations_.size() ? static_cast<Os&>(*installations_[i + 1].registry)
                                              : static_cast<Os&>(volume_);
    installations_[i].registry.reset(new OfflineRegistryOs(inner, &volume_));
  }
  std::vector<OfflineRegistryOs*> parts;
  for (Installation& installation : installations_) {
    OfflineRegistryOs& registry = *installation.registry;
    parts.push_back(&registry);
    registry.setNoteSink([this](const std::string& text) {
      say(text);
      unhandled_ = true;  // a worm entry that was found stays
    });
    const VolumeHives& found = installation.hives;
    const struct {
      OfflineRegistryOs::Hive which;
      const std::string& path;
      const char* name;
      const char* steps;
    } wanted[] = {
        {OfflineRegistryOs::Hive::kSoftware, found.software, "SOFTWARE", "the worm's Run values are not looked for"},
        {OfflineRegistryOs::Hive::kSystem, found.system, "SYSTEM", "the worm's services are not looked for"},
    };
    for (const auto& hive : wanted) {
      const std::string where = installation.folder + "\\system32\\config\\" + hive.name;
      std::string error;
      if (hive.path.empty()) {
        say(where + ": no such hive; " + hive.steps);
        incomplete_ = true;
      } else if (!registry.loadHive(hive.which, hive.path, &error)) {
        say(hive.path + ": " + error + "; left as it is, and " + hive.steps);
        incomplete_ = true;
      } else if (hive.which == OfflineRegistryOs::Hive::kSystem) {
        installation.systemServed = true;
      }
    }
  }
  if (parts.size() > 1) all_.reset(new OfflineRegistries(parts));
}

OfflineRegistry::~OfflineRegistry() = default;

Os& OfflineRegistry::base() {
  if (all_) return *all_;
  return installations_.empty() ? static_cast<Os&>(volume_) : static_cast<Os&>(*installations_[0].registry);
}

void OfflineRegistry::setDryRun() {
  dryRun_ = true;
  for (Installation& installation : installations_) installation.registry->setDryRun(true);
}

Os& OfflineRegistry::around(ScanSession& session, Os& top) {
  // A 64-bit Windows keeps a 32-bit program's Run values in its 32-bit
  // view; a 32-bit SOFTWARE hive has no such key, which costs nothing.
  bool systemServed = false;
  for (const Installation& installation : installations_) {
    if (installation.registry->loaded(OfflineRegistryOs::Hive::kSoftware)) session.wow64RunView = true;
    systemServed = systemServed || installation.systemServed;
  }
  if (!systemServed) return top;
  step_.reset(new Step(*this, session, top));
  return *step_;
}

namespace {

// Whether the long name `entry` could have been shortened to `shortName`:
// the short form keeps the first letter (an underscore for one it cannot
// hold), leading dots and blanks dropped.
bool couldAbbreviate(const std::string& entry, const std::string& shortName) {
  const std::size_t first = entry.find_first_not_of(". ");
  if (first == std::string::npos || shortName.empty()) return false;
  const unsigned char c = static_cast<unsigned char>(entry[first]);
  return shortName[0] == '_' || c >= 0x80 || lowerAscii(static_cast<char>(c)) == lowerAscii(shortName[0]);
}

bool sameName(const std::string& a, const std::string& b) { return foldedAsWindows(a) == foldedAsWindows(b); }

}  // namespace

OfflineRegistry::ShortNameMatch OfflineRegistry::matchShortNames(const std::string& program, const Deleted& file) {
  if (program.find('%') != std::string::npos) return ShortNameMatch::kUnknown;
  const std::size_t cut = file.path.rfind('\\');
  if (cut == std::string::npos) return ShortNameMatch::kUnknown;
  const std::string fileFolder = file.path.substr(0, cut);
  const std::string fileLeaf = file.path.substr(cut + 1);
  std::vector<std::string> parts;
  for (std::size_t from = 0;;) {
    const std::size_t to = program.find('\\', from);
    parts.push_back(program.substr(from, to == std::string::npos ? std::string::npos : to - from));
    if (to == std::string::npos) break;
    from = to + 1;
  }
  if (parts.size() < 2) return ShortNameMatch::kUnknown;
  std::string folder = parts[0];
  for (std::size_t i = 1; i + 1 < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.find('~') == std::string::npos) {
      folder += "\\" + part;
      continue;
    }
    // A long name that holds a tilde, else the folder whose short name
    // this is, among the entries it could abbreviate. (ntfs-3g also opens
    // a short name as it is; the listing gives the long one.)
    bool known = false;
    std::string found;
    FindData data;
    const OsHandle find = volume_.findFirstFile((folder + "\\*.*").c_str(), &data);
    for (bool more = find != kInvalidHandle; more && found.empty(); more = volume_.findNextFile(find, &data)) {
      if ((data.attributes & kAttrDirectory) == 0) continue;
      if (sameName(data.fileName, part)) {
        found = data.fileName;
        break;
      }
      if (!couldAbbreviate(data.fileName, part)) continue;
      std::string dos;
      if (!volume_.dosName((folder + "\\" + data.fileName).c_str(), &dos)) continue;
      known = true;
      if (sameName(dos, part)) found = data.fileName;
    }
    if (find != kInvalidHandle) volume_.findClose(find);
    if (found.empty()) return known ? ShortNameMatch::kOther : ShortNameMatch::kUnknown;
    folder += "\\" + found;
  }
  if (!sameName(folder, fileFolder)) return ShortNameMatch::kOther;
  const std::string& leaf = parts.back();
  if (sameName(leaf, fileLeaf) || (!file.dosName.empty() && sameName(leaf, file.dosName)))
    return ShortNameMatch::kSame;
  // The file had no short name to compare with: which file this names cannot be told.
  return file.dosName.empty() && leaf.find('~') != std::string::npos ? ShortNameMatch::kUnknown
                                                                     : ShortNameMatch::kOther;
}

void OfflineRegistry::serviceStep(ScanSession& session, Os& os, const std::vector<Deleted>& deleted) {
  for (std::size_t i = 0; i < installations_.size(); ++i) {
    if (!installations_[i].systemServed) continue;
    // Each installation's services start its own files: the calls reach its registry alone.
    if (all_) all_->focus(static_cast<int>(i));
    serviceStepIn(i, session, os, deleted);
  }
  if (all_) all_->focus(-1);
}

void OfflineRegistry::serviceStepIn(std::size_t which, ScanSession& session, Os& os,
                                    const std::vector<Deleted>& deleted) {
  const Installation& installation = installations_[which];
  // Keys are named with their installation when there are several.
  const std::string in = installations_.size() > 1 ? installation.folder + ": " : std::string();
  std::set<std::string> seen;
  for (const Deleted& file : deleted) {
    const std::string& path = file.path;
    if (!seen.insert(lowerText(path)).second) continue;
    // The service name the process phase would use: the base name cut at its last dot.
    std::string name = afterLastBackslash(path.c_str());
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.resize(dot);
    if (name.empty()) continue;

    std::vector<std::string> ours;    // control sets whose service of that name starts this file
    std::vector<std::string> others;  // those whose service of that name starts something else
    for (const char* set : {"ControlSet001", "ControlSet002"}) {
      const std::string key = std::string("SYSTEM\\") + set + "\\Services\\" + name;
      if (!keyExists(os, key)) continue;
      // As UTF-16 decoded, so that a name beyond Latin-1 compares as Windows compares it.
      std::string image;
      std::string program;
      bool unresolved = false;
      const bool named = installation.registry->readText(key.c_str(), "ImagePath", &image) &&
                         imageNamesFile(image, path, installation.folder, &unresolved, &program);
      const ShortNameMatch viaShortNames = named || !unresolved ? ShortNameMatch::kOther : matchShortNames(program, file);
      if (named || viaShortNames == ShortNameMatch::kSame) {
        ours.push_back(key);
      } else {
        others.push_back(key);
        if (viaShortNames == ShortNameMatch::kUnknown) {
          say(in + key + ": its ImagePath '" + image + "' cannot be resolved to a file; a service that may start " +
              path + " was left");
          incomplete_ = true;
        }
      }
    }
    if (ours.empty()) continue;
    if (!others.empty()) {
      // The six deletions reach both sets; a service of another file is never touched.
      say(in + "service " + name + " starts " + path + " in " + ours[0] + " but another file in " + others[0] +
          "; both are left in place");
      unhandled_ = true;
      continue;
    }
    std::vector<std::string> deletedKeys;
    deleteServiceKeys(os, name.c_str(), &deletedKeys);
    bool gone = true;
    for (const std::string& key : ours) {
      if (keyExists(os, key)) {
        say(in + key + " stays (it has subkeys of its own, or it could not be deleted)");
        gone = false;
      }
    }
    if (gone) {
      std::vector<const char*> keys;
      for (const std::string& key : deletedKeys) keys.push_back(key.c_str());
      Finding finding;
      finding.kind = FindingKind::kService;
      finding.path = path.c_str();
      finding.variant = "W32/Opaserv.Worm";
      finding.valueName = name.c_str();
      finding.keys = keys.data();
      finding.keyCount = static_cast<int>(keys.size());
      sendFinding(session, os, finding, "System Registry     W32/Opaserv.Worm removed");
    } else {
      unhandled_ = true;
    }
  }
}

bool OfflineRegistry::pending() const {
  if (dryRun_) return false;
  for (const Installation& installation : installations_) {
    const OfflineRegistryOs& registry = *installation.registry;
    if (registry.changed(OfflineRegistryOs::Hive::kSoftware) || registry.changed(OfflineRegistryOs::Hive::kSystem))
      return true;
  }
  return false;
}

void OfflineRegistry::watchQuit(Console& console) {
  if (installations_.empty()) return;
  console.weighQuit([this](int status, std::string* note) {
    if (!pending()) return exitStatus(status);
    *note = "purgato-scan: quit before the registry hives were written back: what was reported removed from "
            "them is still there\n";
    return static_cast<int>(kExitUnhandled);
  });
}

void OfflineRegistry::setFaultHook(OfflineRegistryOs::FaultHook hook) {
  for (Installation& installation : installations_) installation.registry->setFaultHook(hook);
}

void OfflineRegistry::finish(Console& console, int scanStatus) {
  if (installations_.empty()) return;
  // A second signal waits until what the write-back left is said and weighed.
  SignalsHeld held;
  // Each installation's hives are written as one.
  for (Installation& installation : installations_) {
    std::vector<std::string> errors;
    if (!installation.registry->commit(&errors)) {
      for (const std::string& error : errors) say(error + "; what was reported removed from it is still there");
      unhandled_ = true;
    }
  }
  console.settleQuit(exitStatus(scanStatus), "");
}

int OfflineRegistry::exitStatus(int scanStatus) const {
  if (scanStatus == kExitFailed) return scanStatus;
  if (unhandled_) return kExitUnhandled;
  if (incomplete_ && (scanStatus == kExitClean || scanStatus == kExitFound)) return kExitIncomplete;
  return scanStatus;
}

}  // namespace purgato
