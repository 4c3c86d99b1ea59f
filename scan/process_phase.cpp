#include "scan/process_phase.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "clean/registry_cleanup.h"
#include "clean/terminate.h"
#include "engine/actions.h"
#include "os/text.h"
#include "scan/walker.h"

namespace purgato {

namespace {

constexpr std::uint32_t kTerminateAccess = kProcessTerminate | kProcessQueryInformation;  // 0x0401
constexpr std::uint32_t kModuleNameAccess = kProcessQueryInformation | kProcessVmRead;    // 0x0410
constexpr std::uint32_t kMaxProcessIds = 1024;

struct ProcessNode {
  std::uint32_t processId;
  char path[kPathSize];  // executable, always terminated
};
using ProcessList = std::vector<ProcessNode>;

// Appends a node; the text may lack its zero (it comes from the OS). False
// when the node cannot be allocated.
bool appendNode(ProcessList& list, std::uint32_t processId, const char* text, std::size_t capacity) {
  ProcessNode node{};
  node.processId = processId;
  std::size_t length = 0;
  while (length < capacity && length < sizeof node.path - 1 && text[length] != '\0') ++length;
  std::memcpy(node.path, text, length);
  node.path[length] = '\0';
  try {
    list.push_back(node);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// Scans the executable in process-image mode; true when it is a worm file.
bool imageIsInfected(ScanSession& session, Os& os, const ProcessNode& node) {
  if (os.access(node.path, kAccessRead) == -1) return false;
  walkFolder(session, os, node.path);
  return session.imageInfected;
}

// Second walk over the executable of an ended process: the scanner applies
// the chosen action instead of scanning.
void applyToImage(ScanSession& session, Os& os, const ProcessNode& node, bool ended, long error) {
  session.pendingImageAction = session.chosenAction;
  session.pendingProcess = PendingProcess{node.processId, ended, error};
  walkFolder(session, os, node.path);
  session.pendingImageAction = 0;
  session.pendingProcess = PendingProcess{};
}

// The record of a worm process left running, which has no line.
void noteProcessLeft(ScanSession& session, const ProcessNode& node, long error) {
  Finding finding;
  finding.kind = FindingKind::kProcess;
  finding.outcome = FindingOutcome::kFailed;
  finding.error = error;
  finding.path = node.path;
  finding.variant = session.detectedName;
  finding.processId = node.processId;
  noteFinding(session, finding);
}

// Handles one infected process that could not be ended, as a service: true
// when the service was stopped. Its keys are deleted either way.
bool stopAsService(ScanSession& session, Os& os, const ProcessNode& node) {
  char name[kPathSize];
  copyText(name, sizeof name, afterLastBackslash(node.path));
  char* dot = std::strrchr(name, '.');
  if (dot != nullptr) *dot = '\0';
  // An empty name would turn the key paths into the Services key itself.
  if (name[0] == '\0') return false;
  const bool stopped = stopService(os, name, true) != 0;
  std::vector<std::string> keys;
  const bool deleted = deleteServiceKeys(os, name, &keys) != 0;
  std::vector<const char*> keyNames;
  for (const std::string& key : keys) keyNames.push_back(key.c_str());
  Finding finding;
  finding.kind = FindingKind::kService;
  finding.outcome = deleted ? FindingOutcome::kRemoved : FindingOutcome::kFailed;
  finding.path = node.path;
  finding.variant = session.detectedName;
  finding.valueName = name;
  finding.keys = keyNames.data();
  finding.keyCount = static_cast<int>(keyNames.size());
  noteFinding(session, finding);
  return stopped;
}

// The toolhelp listing; false (and an empty list) when it could not be
// completed.
bool listProcesses9x(Os& os, Module kernel, ProcessList& list) {
  const Proc snapshotFn = os.getProcAddress(kernel, "CreateToolhelp32Snapshot");
  const Proc firstFn = os.getProcAddress(kernel, "Process32First");
  if (snapshotFn == 0 || firstFn == 0) return false;

  ProcessEntry entry{};
  entry.size = sizeof entry;
  const OsHandle snapshot = os.createToolhelp32Snapshot(snapshotFn, kTh32csSnapProcess, 0);
  if (snapshot == kInvalidHandle || snapshot == 0) return false;

  bool complete = false;
  if (os.process32First(firstFn, snapshot, &entry) &&
      appendNode(list, entry.processId, entry.exeFile, sizeof entry.exeFile)) {
    for (;;) {
      // Looked up afresh before every call.
      const Proc nextFn = os.getProcAddress(kernel, "Process32Next");
      if (nextFn == 0) break;
      entry.size = sizeof entry;
      if (!os.process32Next(nextFn, snapshot, &entry)) {
        complete = true;
        break;
      }
      if (!appendNode(list, entry.processId, entry.exeFile, sizeof entry.exeFile)) break;
    }
  }
  os.closeHandle(snapshot);
  if (!complete) list.clear();
  return complete;
}

// The psapi listing: the processes that could be opened and named.
void listProcessesNT(Os& os, Module psapi, ProcessList& list) {
  const Proc enumFn = os.getProcAddress(psapi, "EnumProcesses");
  if (enumFn == 0) return;
  std::uint32_t ids[kMaxProcessIds] = {};
  std::uint32_t bytes = 0;
  if (!os.enumProcesses(enumFn, ids, sizeof ids, &bytes)) return;
  std::uint32_t count = bytes / 4;
  if (count > kMaxProcessIds) count = kMaxProcessIds;
  if (count == 0) return;

  const Proc nameFn = os.getProcAddress(psapi, "GetModuleFileNameExA");
  if (nameFn == 0) return;
  for (std::uint32_t i = 0; i < count; ++i) {
    const OsHandle process = os.openProcess(kModuleNameAccess, false, ids[i]);
    if (process == 0) continue;
    char path[kPathSize] = {};
    const std::uint32_t length = os.getModuleFileNameEx(nameFn, process, 0, path, sizeof path);
    os.closeHandle(process);
    if (length == 0) continue;
    if (!appendNode(list, ids[i], path, sizeof path)) {
      list.clear();
      return;
    }
  }
}

}  // namespace

int ntVersionClass(Os& os) {
  OsVersionInfo info{};
  info.size = sizeof info;
  if (!os.getVersionEx(&info)) return 0;
  if (info.platformId != kPlatformNT) return 0;
  if (info.majorVersion <= 4) return kNtVersion4;
  if (info.majorVersion == 5) return kNtVersion5;
  return 0;
}

void killWormProcesses(ScanSession& session, Os& os) {
  const int family = platformClass(os);
  session.processImageMode = true;
  if (family == kFamily9x) {
    cleanProcesses9x(session, os);
  } else if (family == kFamilyNT) {
    cleanProcessesNT(session, os);
  }
  session.processImageMode = false;
}

int cleanProcesses9x(ScanSession& session, Os& os) {
  const Module kernel = os.loadLibrary("Kernel32.dll");
  if (kernel == 0) return 0;
  ProcessList list;
  const bool listed = listProcesses9x(os, kernel, list);
  os.freeLibrary(kernel);
  if (!listed) return 0;

  for (const ProcessNode& node : list) {
    if (!imageIsInfected(session, os, node)) continue;
    chooseAction(session, "", "System Memory");
    // Whether it ends or not, the executable is dealt with next.
    const bool ended = terminateProcessById(os, kTerminateAccess, node.processId);
    applyToImage(session, os, node, ended, ended ? 0 : os.lastError());
  }
  return 1;
}

int cleanProcessesNT(ScanSession& session, Os& os) {
  const Module psapi = os.loadLibrary("psapi.dll");
  if (psapi == 0) return 0;
  ProcessList list;
  listProcessesNT(os, psapi, list);
  os.freeLibrary(psapi);
  if (list.empty()) return 0;

  for (const ProcessNode& node : list) {
    if (!imageIsInfected(session, os, node)) continue;
    chooseAction(session, "", node.path);
    if (!terminateProcessById(os, kTerminateAccess, node.processId) &&
        !terminateProcessById(os, kTerminateAccess, node.processId)) {
      const long error = os.lastError();
      // NT 4 and 2000 / XP run the worm as a service when it cannot be ended;
      // later versions leave it alone.
      const int version = ntVersionClass(os);
      if ((version != kNtVersion4 && version != kNtVersion5) || !stopAsService(session, os, node)) {
        noteProcessLeft(session, node, error);
        continue;
      }
    }
    applyToImage(session, os, node, true, 0);
  }
  return 1;
}

}  // namespace purgato
