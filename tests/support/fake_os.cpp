#include "tests/support/fake_os.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "engine/restart_delete.h"
#include "tests/support/perf_data.h"

namespace purgato {

namespace {

constexpr std::size_t kOps = static_cast<std::size_t>(FakeOs::Op::kCount);

constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;

// Module handles and function tokens; any distinct non-zero numbers do.
constexpr Module kKernel32 = 0x7C800000;
constexpr Module kPsapi = 0x76BB0000;
struct Export {
  Module module;
  const char* name;
  Proc token;
};
constexpr Export kExports[] = {
    {kKernel32, "CreateToolhelp32Snapshot", 0x7C801000},
    {kKernel32, "Process32First", 0x7C801010},
    {kKernel32, "Process32Next", 0x7C801020},
    {kPsapi, "EnumProcesses", 0x76BB1000},
    {kPsapi, "GetModuleFileNameExA", 0x76BB1010},
};

Proc tokenOf(const char* name) {
  for (const Export& e : kExports)
    if (std::strcmp(e.name, name) == 0) return e.token;
  return 0;
}

std::string lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool isPredefinedRoot(HKey key) { return key >= 0x80000000u && key <= 0x80000006u && key != kHkeyPerformanceData; }

// A key path in canonical form: lower case, empty components dropped.
std::string canonicalPath(const std::string& path) {
  std::string out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) {
      if (!out.empty()) out += '\\';
      out += lower(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return out;
}

std::string joinPath(const std::string& base, const std::string& rest) {
  const std::string tail = canonicalPath(rest);
  if (base.empty()) return tail;
  if (tail.empty()) return base;
  return base + "\\" + tail;
}

// What the performance data calls a process: its file name without extension.
std::string instanceName(const std::string& path) {
  const std::size_t slash = path.find_last_of('\\');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.resize(dot);
  return name;
}

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
  return text;
}

}  // namespace

struct FakeOs::State {
  // Faults.
  struct Countdown {
    bool armed = false;
    bool firing = false;  // persist reached: every call fails
    bool persist = false;
    int remaining = 0;
  };
  std::array<Countdown, kOps> countdowns{};
  std::array<std::vector<std::function<bool(const char*)>>, kOps> predicates{};
  std::array<int, kOps> calls{};

  // Registry.
  struct Value {
    std::string name;  // as written
    std::uint32_t type;
    std::vector<std::uint8_t> data;
  };
  struct Key {
    std::uint64_t written = 0;  // last-write time, stamped from the clock
    std::vector<Value> values;  // in order of writing
    Value* find(const std::string& name) {
      for (Value& v : values)
        if (lower(v.name) == lower(name)) return &v;
      return nullptr;
    }
  };
  struct OpenKey {
    HKey root;
    std::string path;  // canonical
    std::uint32_t access;
  };
  std::map<std::pair<HKey, std::string>, Key> keys;  // (root, canonical path)
  std::map<HKey, OpenKey> openKeys;
  HKey nextKey = 0x10000;
  std::vector<KeyOpen> keyOpens;
  std::optional<std::vector<std::uint8_t>> perfOverride;

  // Processes and libraries.
  std::deque<FakeProcess> processes;
  std::vector<std::uint32_t> terminated;
  std::vector<ProcessOpen> processOpens;
  struct ProcessHandle {
    std::uint32_t id;
    std::uint32_t access;
  };
  struct Snapshot {
    std::vector<std::pair<std::uint32_t, std::string>> entries;  // id, szExeFile
    int cursor = -1;                                            // last entry returned
  };
  std::map<OsHandle, ProcessHandle> processHandles;
  std::map<OsHandle, Snapshot> snapshots;
  OsHandle nextHandle = 0x2000;
  std::set<std::string> removedLibraries;  // lower case, without ".dll"
  std::set<std::string> removedProcs;

  // Version and drives.
  OsVersionInfo version{};
  std::map<char, unsigned> driveTypes;

  // Services.
  std::deque<FakeService> services;
  struct ServiceHandle {
    bool manager;
    std::size_t index;  // into services, for a service handle
  };
  std::map<OsHandle, ServiceHandle> serviceHandles;

  // Files.
  std::map<int, std::string> files;         // descriptor -> path it was opened with
  std::map<OsHandle, std::string> searches;  // find handle -> pattern
  int badCloses = 0;
  std::map<std::string, std::string> shortPaths;  // lower-cased long path -> short path
  std::vector<PendingRename> pendingRenames;

  // Messages and time.
  const ScanSession* session = nullptr;
  std::deque<Message> queue;
  std::vector<Message> dispatched;
  int translated = 0;
  std::deque<int> answers;
  std::vector<BoxCall> boxes;
  std::vector<Sent> sent;
  std::vector<std::uint32_t> sleeps;
  std::vector<std::string> events;

  OsHandle newHandle() { return nextHandle += 4; }

  Key* key(HKey root, const std::string& path) {
    auto it = keys.find({root, path});
    return it == keys.end() ? nullptr : &it->second;
  }
  Key& makeKey(HKey root, const std::string& path) {
    // Parents first, as RegCreateKeyEx makes them.
    std::size_t at = 0;
    while ((at = path.find('\\', at)) != std::string::npos) keys[{root, path.substr(0, at++)}];
    const bool made = keys.count({root, path}) == 0;
    Key& k = keys[{root, path}];
    if (made) k.written = stamp();
    return k;
  }

  // The clock: a FILETIME that moves by `clockStep` at every reading and by
  // every sleep, and reads in whole ticks as Windows' system time does.
  std::uint64_t clock = 0x01D0000000000000ull;
  std::uint64_t clockTick = 156250;  // 15.625 ms
  std::uint64_t clockStep = 0;
  std::uint64_t stamp() const { return clock - clock % clockTick; }
  bool hasSubkeys(HKey root, const std::string& path) const {
    const std::string prefix = path.empty() ? "" : path + "\\";
    for (auto it = keys.lower_bound({root, prefix}); it != keys.end() && it->first.first == root; ++it) {
      if (it->first.second.compare(0, prefix.size(), prefix) != 0) break;
      if (it->first.second.size() > prefix.size()) return true;
    }
    return false;
  }
  // Resolves an open handle or a predefined root to (root, path); an error
  // code when it is neither or its key is gone.
  long resolve(HKey handle, HKey* root, std::string* path, std::uint32_t* access) {
    if (isPredefinedRoot(handle)) {
      *root = handle;
      path->clear();
      *access = kKeyAllAccess;
      return kErrorSuccess;
    }
    auto it = openKeys.find(handle);
    if (it == openKeys.end()) return kErrorInvalidHandle;
    if (!it->second.path.empty() && !key(it->second.root, it->second.path)) return kErrorKeyDeleted;
    *root = it->second.root;
    *path = it->second.path;
    *access = it->second.access;
    return kErrorSuccess;
  }

  FakeProcess* findProcess(std::uint32_t id) {
    for (FakeProcess& p : processes)
      if (p.id == id) return &p;
    return nullptr;
  }
  std::string processPath(OsHandle handle) {
    auto it = processHandles.find(handle);
    if (it == processHandles.end()) return "";
    const FakeProcess* p = findProcess(it->second.id);
    return p ? p->path : "";
  }
  FakeService* serviceOf(OsHandle handle) {
    auto it = serviceHandles.find(handle);
    if (it == serviceHandles.end() || it->second.manager) return nullptr;
    return &services[it->second.index];
  }
  std::string fileOf(int fd) const {
    auto it = files.find(fd);
    return it == files.end() ? "" : it->second;
  }
};

FakeOs::FakeOs() : state_(new State) { setOtherPlatform(); }
FakeOs::~FakeOs() = default;

// --- Faults -------------------------------------------------------------

void FakeOs::failOn(Op op, int nth, bool persist) {
  State::Countdown& c = state_->countdowns[static_cast<std::size_t>(op)];
  c = State::Countdown{};
  if (nth < 1) return;
  c.armed = true;
  c.persist = persist;
  c.remaining = nth;
}

void FakeOs::failWhen(Op op, std::function<bool(const char* arg)> predicate) {
  state_->predicates[static_cast<std::size_t>(op)].push_back(std::move(predicate));
}

void FakeOs::clearFaults() {
  state_->countdowns.fill(State::Countdown{});
  for (auto& list : state_->predicates) list.clear();
}

int FakeOs::calls(Op op) const { return state_->calls[static_cast<std::size_t>(op)]; }

bool FakeOs::fails(Op op, const char* arg) {
  const std::size_t i = static_cast<std::size_t>(op);
  ++state_->calls[i];
  bool fail = false;
  State::Countdown& c = state_->countdowns[i];
  if (c.armed) {
    if (c.firing) {
      fail = true;
    } else if (--c.remaining == 0) {
      fail = true;
      if (c.persist)
        c.firing = true;
      else
        c.armed = false;
    }
  }
  for (const auto& predicate : state_->predicates[i])
    if (predicate(arg ? arg : "")) fail = true;
  if (fail) errno = EACCES;  // what lastError reports for it
  return fail;
}

// --- Registry -----------------------------------------------------------

void FakeOs::setValue(HKey root, const std::string& key, const std::string& name, const std::string& data) {
  std::vector<std::uint8_t> bytes(data.begin(), data.end());
  bytes.push_back(0);
  setRawValue(root, key, name, kRegSz, std::move(bytes));
}

void FakeOs::setBinaryValue(HKey root, const std::string& key, const std::string& name,
                            std::vector<std::uint8_t> data) {
  setRawValue(root, key, name, kRegBinary, std::move(data));
}

void FakeOs::setRawValue(HKey root, const std::string& key, const std::string& name, std::uint32_t type,
                         std::vector<std::uint8_t> data) {
  State::Key& k = state_->makeKey(root, canonicalPath(key));
  k.written = state_->stamp();
  if (State::Value* v = k.find(name)) {
    v->type = type;
    v->data = std::move(data);
  } else {
    k.values.push_back({name, type, std::move(data)});
  }
}

bool FakeOs::hasValue(HKey root, const std::string& key, const std::string& name) const {
  return valueData(root, key, name).has_value();
}

std::optional<std::vector<std::uint8_t>> FakeOs::valueData(HKey root, const std::string& key,
                                                            const std::string& name) const {
  State::Key* k = state_->key(root, canonicalPath(key));
  if (!k) return std::nullopt;
  const State::Value* v = k->find(name);
  if (!v) return std::nullopt;
  return v->data;
}

void FakeOs::createKey(HKey root, const std::string& key) { state_->makeKey(root, canonicalPath(key)); }

bool FakeOs::hasKey(HKey root, const std::string& key) const {
  const std::string path = canonicalPath(key);
  return path.empty() || state_->key(root, path) != nullptr;
}

std::vector<std::string> FakeOs::valueNames(HKey root, const std::string& key) const {
  std::vector<std::string> names;
  if (State::Key* k = state_->key(root, canonicalPath(key)))
    for (const State::Value& v : k->values) names.push_back(v.name);
  return names;
}

std::vector<FakeOs::KeyOpen> FakeOs::keyOpens() const { return state_->keyOpens; }
int FakeOs::liveKeys() const { return int(state_->openKeys.size()); }

long FakeOs::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  if (fails(Op::RegOpenKeyEx, subKey)) {
    if (result) *result = 0;
    return kErrorAccessDenied;
  }
  if (!result) return kErrorInvalidParameter;
  *result = 0;
  HKey base = 0;
  std::string basePath;
  std::uint32_t baseAccess = 0;
  if (root == kHkeyPerformanceData) return kErrorFileNotFound;
  if (const long error = state_->resolve(root, &base, &basePath, &baseAccess)) return error;
  const std::string path = joinPath(basePath, subKey ? subKey : "");
  if (!path.empty() && !state_->key(base, path)) return kErrorFileNotFound;
  const HKey handle = state_->nextKey += 4;
  state_->openKeys[handle] = {base, path, access};
  state_->keyOpens.push_back({root, subKey ? subKey : "", access});
  *result = handle;
  return kErrorSuccess;
}

long FakeOs::regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                          std::uint8_t* data, std::uint32_t* dataSize) {
  HKey root = 0;
  std::string path;
  std::uint32_t access = 0;
  if (const long error = state_->resolve(key, &root, &path, &access)) return error;
  State::Key* k = path.empty() ? &state_->keys[{root, path}] : state_->key(root, path);
  if (!k || index >= k->values.size()) return 259;  // ERROR_NO_MORE_ITEMS
  const std::string stored = k->values[index].name;
  if (stored.size() >= *nameSize) return kErrorMoreData;
  std::copy(stored.begin(), stored.end(), name);
  name[stored.size()] = '\0';
  *nameSize = static_cast<std::uint32_t>(stored.size());
  return regQueryValueEx(key, name, type, data, dataSize);
}

long FakeOs::regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                             std::uint32_t* size) {
  if (fails(Op::RegQueryValueEx, valueName)) return kErrorAccessDenied;
  const std::string name = valueName ? valueName : "";
  if (key == kHkeyPerformanceData) {
    state_->events.push_back("perfdata:" + name);
    if (!size) return kErrorInvalidParameter;
    const std::vector<std::uint8_t> block = currentPerformanceData(name);
    if (type) *type = kRegBinary;
    // As on NT: too small a buffer says only "more", never how much.
    if (!data || *size < block.size()) return kErrorMoreData;
    std::copy(block.begin(), block.end(), data);
    *size = std::uint32_t(block.size());
    return kErrorSuccess;
  }
  HKey root = 0;
  std::string path;
  std::uint32_t access = 0;
  if (const long error = state_->resolve(key, &root, &path, &access)) return error;
  if (!(access & kKeyQueryValue)) return kErrorAccessDenied;
  State::Key* k = path.empty() ? &state_->keys[{root, path}] : state_->key(root, path);
  const State::Value* v = k ? k->find(name) : nullptr;
  if (!v) return kErrorFileNotFound;
  if (data && !size) return kErrorInvalidParameter;
  if (type) *type = v->type;
  const std::uint32_t needed = std::uint32_t(v->data.size());
  if (!data) {
    if (size) *size = needed;
    return kErrorSuccess;
  }
  if (*size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  std::copy(v->data.begin(), v->data.end(), data);
  *size = needed;
  return kErrorSuccess;
}

long FakeOs::regDeleteValue(HKey key, const char* valueName) {
  if (fails(Op::RegDeleteValue, valueName)) return kErrorAccessDenied;
  HKey root = 0;
  std::string path;
  std::uint32_t access = 0;
  if (const long error = state_->resolve(key, &root, &path, &access)) return error;
  if (!(access & kKeySetValue)) return kErrorAccessDenied;
  State::Key* k = state_->key(root, path);
  const std::string name = valueName ? valueName : "";
  if (!k || !k->find(name)) return kErrorFileNotFound;
  auto& values = k->values;
  values.erase(std::remove_if(values.begin(), values.end(),
                              [&](const State::Value& v) { return lower(v.name) == lower(name); }),
               values.end());
  k->written = state_->stamp();
  state_->events.push_back("regdelete-value:" + name);
  return kErrorSuccess;
}

long FakeOs::regDeleteKey(HKey root, const char* subKey) {
  if (fails(Op::RegDeleteKey, subKey)) return kErrorAccessDenied;
  if (!subKey || !*subKey) return kErrorInvalidParameter;
  HKey base = 0;
  std::string basePath;
  std::uint32_t access = 0;
  if (const long error = state_->resolve(root, &base, &basePath, &access)) return error;
  const std::string path = joinPath(basePath, subKey);
  if (path.empty() || !state_->key(base, path)) return kErrorFileNotFound;
  if (state_->hasSubkeys(base, path)) return kErrorAccessDenied;  // NT deletes leaves only
  state_->keys.erase({base, path});
  const std::size_t cut = path.rfind('\\');
  if (State::Key* parent = state_->key(base, cut == std::string::npos ? "" : path.substr(0, cut)))
    parent->written = state_->stamp();
  state_->events.push_back(std::string("regdelete-key:") + subKey);
  return kErrorSuccess;
}

long FakeOs::regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) {
  if (fails(Op::RegQueryInfoKey, "")) return kErrorAccessDenied;
  HKey root = 0;
  std::string path;
  std::uint32_t access = 0;
  if (const long error = state_->resolve(key, &root, &path, &access)) return error;
  const State::Key* k = state_->key(root, path);
  // The 9x family keeps no last-write time.
  *lastWriteTime = k == nullptr || state_->version.platformId == kPlatformWindows ? 0 : k->written;
  return kErrorSuccess;
}

std::uint64_t FakeOs::getSystemTimeAsFileTime() {
  state_->clock += state_->clockStep;
  return state_->stamp();
}

void FakeOs::setClock(std::uint64_t tick, std::uint64_t stepPerReading) {
  state_->clockTick = tick == 0 ? 1 : tick;
  state_->clockStep = stepPerReading;
}

void FakeOs::advanceClock(std::uint64_t amount) { state_->clock += amount; }

long FakeOs::regCloseKey(HKey key) {
  auto it = state_->openKeys.find(key);
  const std::string path = it == state_->openKeys.end() ? "" : it->second.path;
  if (fails(Op::RegCloseKey, path.c_str())) return kErrorAccessDenied;
  if (isPredefinedRoot(key) || key == kHkeyPerformanceData) return kErrorSuccess;
  if (it == state_->openKeys.end()) return kErrorInvalidHandle;
  state_->openKeys.erase(it);
  return kErrorSuccess;
}

// --- Performance data -----------------------------------------------------

void FakeOs::setPerformanceData(std::vector<std::uint8_t> block) { state_->perfOverride = std::move(block); }

void FakeOs::installPerflibCounters() {
  setRawValue(kHkeyLocalMachine, kPerflibCountersKey, "Counters", kRegMultiSz, buildCounterNames(defaultCounterNames()));
}

std::vector<std::uint8_t> FakeOs::currentPerformanceData(const std::string& valueName) const {
  if (state_->perfOverride) return *state_->perfOverride;

  // The indices the installed counter names give, as the system itself
  // would number its objects.
  std::uint32_t processIndex = kPerfProcessObjectIndex;
  std::uint32_t idIndex = kPerfIdProcessIndex;
  if (auto names = valueData(kHkeyLocalMachine, kPerflibCountersKey, "Counters")) {
    std::vector<std::string> texts;
    std::string current;
    for (std::uint8_t byte : *names) {
      if (byte == 0) {
        texts.push_back(current);
        current.clear();
      } else {
        current += char(byte);
      }
    }
    for (std::size_t i = 1; i < texts.size(); i += 2) {
      if (lower(texts[i]) == "process") processIndex = std::uint32_t(std::strtoul(texts[i - 1].c_str(), nullptr, 10));
      if (lower(texts[i]) == "id process") idIndex = std::uint32_t(std::strtoul(texts[i - 1].c_str(), nullptr, 10));
    }
  }

  bool wanted = false;
  std::istringstream words(valueName);
  for (std::string word; words >> word;)
    if (lower(word) == "global" || word == std::to_string(processIndex)) wanted = true;

  std::vector<std::pair<std::string, std::uint32_t>> instances;
  if (wanted) {
    instances.push_back({"Idle", 0});
    for (const FakeProcess& p : state_->processes)
      if (p.running) instances.push_back({instanceName(p.path), p.id});
    instances.push_back({"_Total", 0});
  }
  PerfBlockLayout layout;
  std::vector<std::uint8_t> block = buildPerfData(instances, processIndex, idIndex, &layout);
  if (!wanted) {
    // No object asked for that exists: the header alone.
    block.resize(layout.object);
    block[kPerfBlockNumObjectTypes] = 0;
    const std::uint32_t total = std::uint32_t(block.size());
    for (int i = 0; i < 4; ++i) block[kPerfBlockTotalByteLength + i] = std::uint8_t(total >> (8 * i));
  }
  return block;
}

// --- Processes --------------------------------------------------------------

FakeOs::FakeProcess& FakeOs::addProcess(std::uint32_t id, const std::string& path) {
  state_->processes.push_back(FakeProcess{id, path, path});
  return state_->processes.back();
}

const FakeOs::FakeProcess* FakeOs::process(std::uint32_t id) const { return state_->findProcess(id); }
std::vector<std::uint32_t> FakeOs::terminated() const { return state_->terminated; }
std::vector<FakeOs::ProcessOpen> FakeOs::processOpens() const { return state_->processOpens; }
int FakeOs::liveHandles() const { return int(state_->processHandles.size() + state_->snapshots.size()); }

namespace {

// A library name as loadLibrary compares it: lower case, without ".dll".
std::string libraryKey(const std::string& name) {
  std::string key = lower(name);
  if (key.size() > 4 && key.compare(key.size() - 4, 4, ".dll") == 0) key.resize(key.size() - 4);
  return key;
}

}  // namespace

void FakeOs::removeLibrary(const std::string& name) { state_->removedLibraries.insert(libraryKey(name)); }

void FakeOs::removeProc(const std::string& name) { state_->removedProcs.insert(name); }

Module FakeOs::loadLibrary(const char* name) {
  if (fails(Op::LoadLibrary, name) || !name) return 0;
  const std::string key = libraryKey(name);
  if (state_->removedLibraries.count(key)) return 0;
  if (key == "kernel32") return kKernel32;
  if (key == "psapi") return kPsapi;
  return 0;
}

bool FakeOs::freeLibrary(Module module) {
  if (fails(Op::FreeLibrary, "")) return false;
  return module == kKernel32 || module == kPsapi;
}

Proc FakeOs::getProcAddress(Module module, const char* name) {
  if (fails(Op::GetProcAddress, name) || !name) return 0;
  if (state_->removedProcs.count(name)) return 0;
  for (const Export& e : kExports)
    if (e.module == module && std::strcmp(e.name, name) == 0) return e.token;
  return 0;
}

OsHandle FakeOs::createToolhelp32Snapshot(Proc fn, std::uint32_t flags, std::uint32_t) {
  if (fails(Op::CreateToolhelp32Snapshot, "")) return kInvalidHandle;
  if (fn != tokenOf("CreateToolhelp32Snapshot")) return kInvalidHandle;
  State::Snapshot snapshot;
  if (flags & kTh32csSnapProcess)
    for (const FakeProcess& p : state_->processes)
      if (p.running) snapshot.entries.push_back({p.id, p.toolhelpName});
  const OsHandle handle = state_->newHandle();
  state_->snapshots[handle] = std::move(snapshot);
  return handle;
}

namespace {

void fillEntry(ProcessEntry* entry, const std::pair<std::uint32_t, std::string>& from) {
  const std::uint32_t size = entry->size;
  std::memset(entry, 0, sizeof *entry);
  entry->size = size;
  entry->processId = from.first;
  entry->threads = 1;
  entry->priClassBase = 8;
  const std::size_t n = std::min(from.second.size(), sizeof entry->exeFile - 1);
  std::memcpy(entry->exeFile, from.second.data(), n);
}

}  // namespace

bool FakeOs::process32First(Proc fn, OsHandle snapshot, ProcessEntry* entry) {
  if (fails(Op::Process32First, "")) return false;
  auto it = state_->snapshots.find(snapshot);
  if (fn != tokenOf("Process32First") || it == state_->snapshots.end() || !entry) return false;
  if (entry->size != sizeof(ProcessEntry)) return false;  // ERROR_BAD_LENGTH
  it->second.cursor = 0;
  if (it->second.entries.empty()) return false;
  fillEntry(entry, it->second.entries[0]);
  return true;
}

bool FakeOs::process32Next(Proc fn, OsHandle snapshot, ProcessEntry* entry) {
  if (fails(Op::Process32Next, "")) return false;
  auto it = state_->snapshots.find(snapshot);
  if (fn != tokenOf("Process32Next") || it == state_->snapshots.end() || !entry) return false;
  if (entry->size != sizeof(ProcessEntry)) return false;
  State::Snapshot& s = it->second;
  if (s.cursor + 1 >= int(s.entries.size())) return false;  // ERROR_NO_MORE_FILES
  ++s.cursor;
  fillEntry(entry, s.entries[std::size_t(s.cursor)]);
  return true;
}

bool FakeOs::enumProcesses(Proc fn, std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* bytesReturned) {
  if (fails(Op::EnumProcesses, "")) return false;
  if (fn != tokenOf("EnumProcesses") || !ids || !bytesReturned) return false;
  std::uint32_t n = 0;
  for (const FakeProcess& p : state_->processes) {
    if (!p.running) continue;
    if (n >= bytes / 4) break;
    ids[n++] = p.id;
  }
  *bytesReturned = n * 4;
  return true;
}

std::uint32_t FakeOs::getModuleFileNameEx(Proc fn, OsHandle process, Module module, char* name,
                                          std::uint32_t size) {
  if (fails(Op::GetModuleFileNameEx, state_->processPath(process).c_str())) return 0;
  auto it = state_->processHandles.find(process);
  if (fn != tokenOf("GetModuleFileNameExA") || it == state_->processHandles.end() || module != 0) return 0;
  const std::uint32_t need = kProcessQueryInformation | kProcessVmRead;
  if ((it->second.access & need) != need) return 0;
  const FakeProcess* p = state_->findProcess(it->second.id);
  if (!p || !p->running || !name || size == 0) return 0;
  // Truncated to fit, zero-terminated.
  const std::size_t n = std::min<std::size_t>(p->path.size(), size - 1);
  std::memcpy(name, p->path.data(), n);
  name[n] = '\0';
  return std::uint32_t(n);
}

OsHandle FakeOs::openProcess(std::uint32_t access, bool, std::uint32_t processId) {
  FakeProcess* p = state_->findProcess(processId);
  if (fails(Op::OpenProcess, p ? p->path.c_str() : "")) return 0;
  if (!p || !p->running || !p->canOpen) return 0;
  const OsHandle handle = state_->newHandle();
  state_->processHandles[handle] = {processId, access};
  state_->processOpens.push_back({processId, access});
  state_->events.push_back("open-process:" + std::to_string(processId) + ":" + hex(access));
  return handle;
}

bool FakeOs::terminateProcess(OsHandle process, std::uint32_t) {
  auto it = state_->processHandles.find(process);
  FakeProcess* p = it == state_->processHandles.end() ? nullptr : state_->findProcess(it->second.id);
  const std::string id = p ? std::to_string(p->id) : "?";
  if (fails(Op::TerminateProcess, p ? p->path.c_str() : "")) {
    state_->events.push_back("terminate-failed:" + id);
    return false;
  }
  if (!p || !(it->second.access & kProcessTerminate) || !p->running || !p->canTerminate) {
    state_->events.push_back("terminate-failed:" + id);
    errno = EPERM;
    return false;
  }
  p->running = false;
  state_->terminated.push_back(p->id);
  state_->events.push_back("terminate:" + id);
  return true;
}

bool FakeOs::closeHandle(OsHandle handle) {
  if (fails(Op::CloseHandle, state_->processPath(handle).c_str())) return false;
  return state_->processHandles.erase(handle) + state_->snapshots.erase(handle) > 0;
}

int FakeOs::wideCharToMultiByte(unsigned, std::uint32_t, const char16_t* wide, int wideLength, char* out,
                                int outSize) {
  if (fails(Op::WideCharToMultiByte, "")) return 0;
  if (!wide || wideLength < -1 || wideLength == 0 || outSize < 0) return 0;
  std::size_t units = 0;
  if (wideLength == -1) {
    while (wide[units] != 0) ++units;
    ++units;  // the zero counts
  } else {
    units = std::size_t(wideLength);
  }
  if (outSize == 0) return int(units);  // the size needed
  if (!out) return 0;
  // A single-byte code page: Latin-1 maps to itself, the rest to '?'.
  const std::size_t n = std::min(units, std::size_t(outSize));
  for (std::size_t i = 0; i < n; ++i) out[i] = wide[i] < 0x100 ? char(wide[i]) : '?';
  return units <= std::size_t(outSize) ? int(units) : 0;  // ERROR_INSUFFICIENT_BUFFER, buffer filled
}

// --- Version and drives ---------------------------------------------------

void FakeOs::setVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor) {
  state_->version = OsVersionInfo{};
  state_->version.platformId = platformId;
  state_->version.majorVersion = major;
  state_->version.minorVersion = minor;
}
void FakeOs::setWin95() { setVersion(kPlatformWindows, 4, 0); }
void FakeOs::setWin98() { setVersion(kPlatformWindows, 4, 10); }
void FakeOs::setNT4() { setVersion(kPlatformNT, 4, 0); }
void FakeOs::setWin2000() { setVersion(kPlatformNT, 5, 0); }
void FakeOs::setXP() { setVersion(kPlatformNT, 5, 1); }
void FakeOs::setVista() { setVersion(kPlatformNT, 6, 0); }
void FakeOs::setOtherPlatform() { setVersion(kPlatformWin32s, 3, 10); }

bool FakeOs::getVersionEx(OsVersionInfo* info) {
  if (fails(Op::GetVersionEx, "")) return false;
  if (!info || info->size != sizeof(OsVersionInfo)) return false;
  *info = state_->version;
  info->size = sizeof(OsVersionInfo);
  return true;
}

void FakeOs::setDriveType(char letter, unsigned type) {
  state_->driveTypes[char(std::toupper(static_cast<unsigned char>(letter)))] = type;
}

unsigned FakeOs::getDriveType(const char* root) {
  if (fails(Op::GetDriveType, root)) return kDriveUnknown;
  if (root && root[0] && root[1] == ':') {
    auto it = state_->driveTypes.find(char(std::toupper(static_cast<unsigned char>(root[0]))));
    if (it != state_->driveTypes.end()) return it->second;
  }
  return PosixOs::getDriveType(root);
}

unsigned FakeOs::getWindowsDirectory(char* buffer, unsigned size) {
  if (fails(Op::GetWindowsDirectory, "")) return 0;
  return PosixOs::getWindowsDirectory(buffer, size);
}

// --- Services ---------------------------------------------------------------

FakeOs::FakeService& FakeOs::addService(const std::string& name) {
  FakeService s;
  s.name = name;
  state_->services.push_back(s);
  return state_->services.back();
}

const FakeOs::FakeService* FakeOs::service(const std::string& name) const {
  for (const FakeService& s : state_->services)
    if (lower(s.name) == lower(name)) return &s;
  return nullptr;
}

int FakeOs::liveServiceHandles() const { return int(state_->serviceHandles.size()); }

OsHandle FakeOs::openSCManager(const char*, const char*, std::uint32_t) {
  if (fails(Op::OpenSCManager, "")) return 0;
  const OsHandle handle = state_->newHandle();
  state_->serviceHandles[handle] = {true, 0};
  return handle;
}

OsHandle FakeOs::openService(OsHandle manager, const char* name, std::uint32_t) {
  if (fails(Op::OpenService, name) || !name) return 0;
  auto it = state_->serviceHandles.find(manager);
  if (it == state_->serviceHandles.end() || !it->second.manager) return 0;
  for (std::size_t i = 0; i < state_->services.size(); ++i) {
    if (lower(state_->services[i].name) == lower(name)) {
      const OsHandle handle = state_->newHandle();
      state_->serviceHandles[handle] = {false, i};
      return handle;
    }
  }
  return 0;  // ERROR_SERVICE_DOES_NOT_EXIST
}

bool FakeOs::controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) {
  FakeService* s = state_->serviceOf(service);
  if (fails(Op::ControlService, s ? s->name.c_str() : "")) return false;
  if (!s || !status || control != kServiceControlStop) return false;
  if (s->refusesStop || s->state == kServiceStopped) return false;
  state_->events.push_back("service-stop:" + s->name);
  s->state = (s->neverStops || s->pendingPolls > 0) ? kServiceStopPending : kServiceStopped;
  *status = ServiceStatus{};
  status->serviceType = 0x10;  // SERVICE_WIN32_OWN_PROCESS
  status->currentState = s->state;
  return true;
}

bool FakeOs::queryServiceStatus(OsHandle service, ServiceStatus* status) {
  FakeService* s = state_->serviceOf(service);
  if (fails(Op::QueryServiceStatus, s ? s->name.c_str() : "")) return false;
  if (!s || !status) return false;
  if (s->state == kServiceStopPending && !s->neverStops) {
    if (s->pendingPolls > 0)
      --s->pendingPolls;
    else
      s->state = kServiceStopped;
  }
  *status = ServiceStatus{};
  status->serviceType = 0x10;
  status->currentState = s->state;
  state_->events.push_back("service-query:" + s->name + ":" + std::to_string(s->state));
  return true;
}

bool FakeOs::closeServiceHandle(OsHandle handle) {
  FakeService* s = state_->serviceOf(handle);
  if (fails(Op::CloseServiceHandle, s ? s->name.c_str() : "")) return false;
  return state_->serviceHandles.erase(handle) > 0;
}

// --- Files ------------------------------------------------------------------

int FakeOs::liveFiles() const { return int(state_->files.size()); }
int FakeOs::badCloses() const { return state_->badCloses; }
int FakeOs::liveSearches() const { return int(state_->searches.size()); }

OsHandle FakeOs::findFirstFile(const char* pattern, FindData* data) {
  if (fails(Op::FindFirstFile, pattern)) return kInvalidHandle;
  const OsHandle handle = PosixOs::findFirstFile(pattern, data);
  if (handle != kInvalidHandle) state_->searches[handle] = pattern ? pattern : "";
  return handle;
}

bool FakeOs::findNextFile(OsHandle find, FindData* data) {
  auto it = state_->searches.find(find);
  if (fails(Op::FindNextFile, it == state_->searches.end() ? "" : it->second.c_str())) return false;
  return PosixOs::findNextFile(find, data);
}

bool FakeOs::findClose(OsHandle find) {
  auto it = state_->searches.find(find);
  if (fails(Op::FindClose, it == state_->searches.end() ? "" : it->second.c_str())) return false;
  if (it != state_->searches.end()) state_->searches.erase(it);
  return PosixOs::findClose(find);
}

namespace {

bool samePathNoCase(const std::string& a, const std::string& b) { return lower(a) == lower(b); }

}  // namespace

int FakeOs::open(const char* path, int flags) {
  if (fails(Op::Open, path) || !path) return -1;
  if (onOpen) onOpen(path, flags);
  if ((flags & kOCreat) != 0) {
    const bool exclusive = (flags & kOExcl) != 0;
    flags &= ~(kOCreat | kOExcl);
    std::string host;
    if ((flags & (kOWrOnly | kORdWr)) == 0 || !hostPath(path, &host)) return -1;
    if (PosixOs::access(path, kAccessExists) == 0) {
      if (exclusive) return -1;
    } else {
      const int made = ::open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
      if (made < 0) return -1;
      ::close(made);
    }
  }
  // A running program's file cannot be opened for writing (sharing violation).
  if ((flags & (kOWrOnly | kORdWr)) != 0) {
    std::string host;
    const bool resolved = hostPath(path, &host);
    for (const FakeProcess& p : state_->processes) {
      if (!p.running) continue;
      std::string other;
      if (samePathNoCase(p.path, path) || (resolved && hostPath(p.path.c_str(), &other) && other == host)) return -1;
    }
  }
  const int fd = PosixOs::open(path, flags);
  if (fd >= 0) state_->files[fd] = path;
  return fd;
}

std::int32_t FakeOs::lseek(int fd, std::int32_t offset, int origin) {
  if (fails(Op::Lseek, state_->fileOf(fd).c_str())) return -1;
  return PosixOs::lseek(fd, offset, origin);
}

int FakeOs::read(int fd, void* buffer, unsigned count) {
  if (fails(Op::Read, state_->fileOf(fd).c_str())) return -1;
  return PosixOs::read(fd, buffer, count);
}

int FakeOs::write(int fd, const void* buffer, unsigned count) {
  const std::string path = state_->fileOf(fd);
  if (fails(Op::Write, path.c_str())) return -1;
  const int result = PosixOs::write(fd, buffer, count);
  if (result >= 0) state_->events.push_back("write:" + path + ":" + std::to_string(result));
  return result;
}

int FakeOs::chsize(int fd, std::int32_t size) {
  const std::string path = state_->fileOf(fd);
  if (fails(Op::Chsize, path.c_str())) return -1;
  const int result = PosixOs::chsize(fd, size);
  if (result == 0) state_->events.push_back("chsize:" + path + ":" + std::to_string(size));
  return result;
}

int FakeOs::close(int fd) {
  auto it = state_->files.find(fd);
  if (fails(Op::Close, it == state_->files.end() ? "" : it->second.c_str())) return -1;
  if (it == state_->files.end())
    ++state_->badCloses;
  else
    state_->files.erase(it);
  return PosixOs::close(fd);
}

int FakeOs::access(const char* path, int mode) {
  if (fails(Op::Access, path)) return -1;
  return PosixOs::access(path, mode);
}

std::uint32_t FakeOs::getFileAttributes(const char* path) {
  if (fails(Op::GetFileAttributes, path) || !path || std::strpbrk(path, "*?") != nullptr) return kInvalidFileAttributes;
  // The volume's own listing, not a listing call the countdowns would see.
  FindData data;
  const OsHandle find = PosixOs::findFirstFile(path, &data);
  if (find == kInvalidHandle) return kInvalidFileAttributes;
  PosixOs::findClose(find);
  return data.attributes;
}

bool FakeOs::setFileAttributes(const char* path, std::uint32_t attributes) {
  if (fails(Op::SetFileAttributes, path)) return false;
  const bool ok = PosixOs::setFileAttributes(path, attributes);
  if (ok) state_->events.push_back(std::string("attrib:") + path + ":" + hex(attributes));
  return ok;
}

bool FakeOs::deleteFile(const char* path) {
  const std::string text = path ? path : "";
  if (fails(Op::DeleteFile, path) || !path) {
    state_->events.push_back("delete-failed:" + text);
    return false;
  }
  // The executable of a running process cannot be deleted (access denied).
  std::string host;
  const bool resolved = hostPath(path, &host);
  for (const FakeProcess& p : state_->processes) {
    if (!p.running) continue;
    std::string other;
    if (samePathNoCase(p.path, text) || (resolved && hostPath(p.path.c_str(), &other) && other == host)) {
      state_->events.push_back("delete-failed:" + text);
      errno = EBUSY;
      return false;
    }
  }
  const bool ok = PosixOs::deleteFile(path);
  state_->events.push_back((ok ? "delete:" : "delete-failed:") + text);
  return ok;
}

void FakeOs::setShortPath(const std::string& longPath, const std::string& shortPath) {
  state_->shortPaths[lower(longPath)] = shortPath;
}

unsigned FakeOs::getShortPathName(const char* longPath, char* shortPath, unsigned size) {
  if (fails(Op::GetShortPathName, longPath ? longPath : "") || !longPath) return 0;
  if (PosixOs::access(longPath, kAccessExists) != 0) return 0;
  const auto known = state_->shortPaths.find(lower(longPath));
  const std::string result = known != state_->shortPaths.end() ? known->second : std::string(longPath);
  const unsigned length = static_cast<unsigned>(result.size());
  if (shortPath == nullptr || size <= length) return length + 1;
  std::memcpy(shortPath, result.c_str(), length + 1);
  return length;
}

bool FakeOs::moveFileEx(const char* existing, const char* newName, std::uint32_t flags) {
  if (fails(Op::MoveFileEx, existing ? existing : "") || !existing) return false;
  if (state_->version.platformId != kPlatformNT) return false;  // the 9x stub
  // Windows checks only that the file is there; the deletion comes later.
  if (PosixOs::access(existing, kAccessExists) != 0) return false;
  if ((flags & kMoveFileDelayUntilReboot) == 0) return false;  // only what the core asks for
  state_->pendingRenames.push_back({existing, newName ? newName : "", flags});
  if (newName == nullptr) state_->events.push_back(std::string("delete-at-restart:") + existing);
  // And in the registry, as Windows keeps it: pairs of "\??\path" and the
  // new name ("" for a deletion), each ended by a zero, then one more zero.
  std::vector<std::uint8_t> data;
  if (auto old = valueData(kHkeyLocalMachine, kSessionManagerKey, "PendingFileRenameOperations")) {
    data = *old;
    if (!data.empty()) data.pop_back();
  }
  const std::string pair = std::string("\\??\\") + existing + '\0' +
                           (newName ? std::string("\\??\\") + newName : std::string()) + '\0';
  data.insert(data.end(), pair.begin(), pair.end());
  data.push_back(0);
  setRawValue(kHkeyLocalMachine, kSessionManagerKey, "PendingFileRenameOperations", kRegMultiSz, std::move(data));
  return true;
}

std::vector<FakeOs::PendingRename> FakeOs::pendingRenames() const { return state_->pendingRenames; }

// --- Messages, message boxes, sleeping --------------------------------------

void FakeOs::attach(const ScanSession& session) { state_->session = &session; }
void FakeOs::queueMessage(const Message& message) { state_->queue.push_back(message); }
std::vector<Message> FakeOs::dispatched() const { return state_->dispatched; }
int FakeOs::translated() const { return state_->translated; }
void FakeOs::answerMessageBoxes(std::vector<int> answers) {
  state_->answers.assign(answers.begin(), answers.end());
}
std::vector<FakeOs::BoxCall> FakeOs::boxes() const { return state_->boxes; }
std::vector<FakeOs::Sent> FakeOs::sent() const { return state_->sent; }

std::vector<std::string> FakeOs::logLines() const {
  std::vector<std::string> lines;
  for (const Sent& s : state_->sent)
    if (s.window != 0 && s.message == kMsgLogLine) lines.push_back(s.text);
  return lines;
}

std::vector<std::string> FakeOs::statusLines() const {
  std::vector<std::string> lines;
  for (const Sent& s : state_->sent)
    if (s.window != 0 && s.message == kMsgStatus) lines.push_back(s.text);
  return lines;
}

std::vector<std::uint32_t> FakeOs::sleeps() const { return state_->sleeps; }

std::uint64_t FakeOs::sleptMs() const {
  std::uint64_t total = 0;
  for (std::uint32_t ms : state_->sleeps) total += ms;
  return total;
}

std::vector<std::string> FakeOs::events() const { return state_->events; }

bool FakeOs::peekMessage(Message* msg) {
  if (fails(Op::PeekMessage, "") || !msg) return false;
  if (state_->queue.empty()) return PosixOs::peekMessage(msg);  // a source set with setMessageSource
  *msg = state_->queue.front();
  state_->queue.pop_front();
  return true;
}

void FakeOs::translateMessage(const Message* msg) {
  if (msg) ++state_->translated;
}

void FakeOs::dispatchMessage(const Message* msg) {
  if (!msg) return;
  state_->dispatched.push_back(*msg);
  state_->events.push_back("dispatch:" + std::to_string(msg->message));
  if (onDispatch) onDispatch(*msg);
  PosixOs::dispatchMessage(msg);
}

std::intptr_t FakeOs::sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::string text;
  if (state_->session && message == kMsgLogLine) text = state_->session->logLine;
  if (state_->session && message == kMsgStatus) text = state_->session->statusText;
  if (fails(Op::SendMessage, text.c_str())) return 0;
  state_->sent.push_back({window, message, text});
  if (window != 0) {
    if (message == kMsgLogLine)
      state_->events.push_back("log:" + text);
    else if (message == kMsgStatus)
      state_->events.push_back("status:" + text);
    else
      state_->events.push_back("send:" + std::to_string(message));
  }
  if (onSend) {
    const Sent copy = state_->sent.back();  // the hook may send again
    onSend(copy);
  }
  return PosixOs::sendMessage(window, message, wParam, lParam);
}

int FakeOs::messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) {
  if (fails(Op::MessageBox, text)) return 0;
  state_->boxes.push_back({owner, text ? text : "", caption ? caption : "", style});
  state_->events.push_back(std::string("box:") + (text ? text : ""));
  if (state_->answers.empty()) return PosixOs::messageBox(owner, text, caption, style);  // kIdNo unless handled
  const int answer = state_->answers.front();
  state_->answers.pop_front();
  return answer;
}

void FakeOs::sleep(std::uint32_t milliseconds) {
  state_->clock += std::uint64_t{milliseconds} * 10000;
  state_->sleeps.push_back(milliseconds);
  state_->events.push_back("sleep:" + std::to_string(milliseconds));
}

}  // namespace purgato
