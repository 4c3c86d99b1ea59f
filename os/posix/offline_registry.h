// The registry of a mounted Windows NT-family volume, served from its hive
// files through hivex, behind the same registry calls a running system
// answers.
//
// HKEY_LOCAL_MACHINE\Software is the SOFTWARE hive and
// HKEY_LOCAL_MACHINE\System the SYSTEM hive, ControlSet001 and
// ControlSet002 as they stand and CurrentControlSet as Windows links it at
// boot, through Select\Current. HKEY_CURRENT_USER has no offline meaning:
// every call on it fails as for a missing key. Any other root (the
// performance data among them) goes to the inner Os.
//
// Names compare without regard to case (ASCII and Latin-1 letters; ANSI
// names are taken as Latin-1). Results are the Win32
// ones the core relies on: ERROR_FILE_NOT_FOUND for a missing key or value,
// ERROR_MORE_DATA for too small a buffer, ERROR_ACCESS_DENIED for a key
// opened without the right, for a key that still has subkeys (NT deletes
// leaves only) and for a hive's own root. String data (REG_SZ,
// REG_EXPAND_SZ, REG_MULTI_SZ) is stored as UTF-16 and read as RegQueryValueExA
// reads it: one byte per character, Latin-1, '?' for anything beyond.
//
// Changes stay in memory until commit(), which writes every changed hive
// or none: a copy of the original goes to "<hive>.purgato-backup" before
// the first change (an existing backup is never replaced); hivex writes
// the new hive into a private temporary folder, where it is read back and
// copied into "<hive>.purgato-new", a file created here (O_EXCL,
// O_NOFOLLOW) in the hive's folder, with the original's mode, owner and
// extended attributes (on ntfs-3g its security descriptor and its hidden
// and system bits); only when every new file is written and flushed is
// each renamed over its hive, and a rename that fails puts the hives
// renamed before it back. A crash leaves either the old hive or the new
// one; the console's ending signals wait until the write-back is over.
// Backups made by this object are left out of listings: the scan never
// meets a file it made itself. A change that cannot be made safely (no backup possible, a
// value that hivex would rewrite in a form Windows reads otherwise) is
// refused with ERROR_ACCESS_DENIED and reported through the note sink.
//
// A hive is refused at load, and left untouched, when it is not a regular
// regf file, when hivex cannot open it, or when its header says that
// changes are still waiting in its log files (a dirty hive): writing it
// back would drop them.
//
// Not thread-safe: one object serves one scan.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "os/forwarding_os.h"

namespace purgato {

class PosixOs;

class OfflineRegistryOs : public ForwardingOs {
 public:
  enum class Hive { kSoftware, kSystem };
  // Where a commit may be stopped by the fault hook, as a crash would stop it.
  enum class CommitStep {
    kCreatingNewFile,  // the new hive is written privately; "<hive>.purgato-new" is about to be created
    kNewFileWritten,   // "<hive>.purgato-new" is written and flushed, the hive not yet replaced
  };
  // Returns true to stop the commit of that hive at that step.
  using FaultHook = std::function<bool(CommitStep step, const std::string& hivePath)>;
  using NoteSink = std::function<void(const std::string& text)>;

  // volume: the volume its hives are on, for the host paths of the files
  // it makes (default: inner, when that is the volume itself).
  explicit OfflineRegistryOs(Os& inner, PosixOs* volume = nullptr);
  ~OfflineRegistryOs() override;
  OfflineRegistryOs(const OfflineRegistryOs&) = delete;
  OfflineRegistryOs& operator=(const OfflineRegistryOs&) = delete;

  // Opens the hive file at hostPath to serve `which`. On failure the hive
  // serves nothing, the file is left as it is, and *error says why.
  bool loadHive(Hive which, const std::string& hostPath, std::string* error);
  bool loaded(Hive which) const;
  // The hive holds changes not yet written.
  bool changed(Hive which) const;
  // What is called for each change refused and each hive that cannot be
  // written (default: nothing).
  void setNoteSink(NoteSink sink);
  void setFaultHook(FaultHook hook);
  // Changes refused so far.
  unsigned long refusedChanges() const;
  // A dry run: changes are made in memory only, no backup is written (a
  // change is refused only where a real run would refuse it), and commit()
  // writes nothing.
  void setDryRun(bool dryRun);

  // Writes every changed hive as described above. True when every changed
  // hive was written; a hive whose writing failed keeps its old file, and
  // *errors (when given) gets one line for it.
  bool commit(std::vector<std::string>* errors);

  OsHandle findFirstFile(const char* pattern, FindData* data) override;
  bool findNextFile(OsHandle find, FindData* data) override;
  bool findClose(OsHandle find) override;

  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  // By name, through regQueryValueEx: the same bytes it hands out.
  long regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                    std::uint8_t* data, std::uint32_t* dataSize) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long regCloseKey(HKey key) override;
  // Last-write times are not kept offline: ERROR_INVALID_FUNCTION (the core
  // then checks each name), ERROR_KEY_DELETED for a key deleted under it.
  long regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) override;

  // A string value (REG_SZ, REG_EXPAND_SZ) of a key below
  // HKEY_LOCAL_MACHINE as UTF-8, up to its first zero: what a comparison
  // with the volume's names needs, which the ANSI call gives only as far
  // as Latin-1. False when the key or value is missing, is no string, or
  // is no sound UTF-16.
  bool readText(const char* subKey, const char* valueName, std::string* utf8);

 private:
  bool madeHere(const std::string& windowsPath);
  bool skipMade(OsHandle find, FindData* data);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  PosixOs* volume_;
  std::map<OsHandle, std::string> searches_;  // the folder of each listing, with its backslash
};

// The registries of several Windows installations on one volume (a disk
// with C:\WINNT and C:\WINDOWS, each with its own hives) behind one
// HKEY_LOCAL_MACHINE: a key opens in each registry that has it, a value is
// read from the first that has it, and a delete reaches every registry,
// succeeding when it deleted something and none refused. focus() narrows
// every call to one of them, for the steps that depend on the
// installation (its services). Every other call goes to the first part;
// each part is built over the next one, the last over the volume, so that
// every part leaves its own backups out of listings.
class OfflineRegistries : public ForwardingOs {
 public:
  explicit OfflineRegistries(std::vector<OfflineRegistryOs*> parts);
  // -1: every part (the default).
  void focus(int part) { focus_ = part; }

  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  long regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                    std::uint8_t* data, std::uint32_t* dataSize) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long regCloseKey(HKey key) override;
  long regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) override;

 private:
  struct Opened {
    int part;
    HKey key;
  };
  bool inScope(int part) const { return focus_ < 0 || focus_ == part; }
  // The handle of root in each part in scope; false when root is none of ours.
  bool rootsOf(HKey root, std::vector<Opened>* roots);
  // Every part's answer to a change, as one.
  static long combined(const std::vector<long>& results);

  std::vector<OfflineRegistryOs*> parts_;
  std::map<HKey, std::vector<Opened>> keys_;
  HKey next_ = 0x40000000;
  int focus_ = -1;
};

// The hive files of the volume's Windows folder, as host paths.
struct VolumeHives {
  bool nt = false;            // system32\config holds SOFTWARE or SYSTEM
  std::string software;       // host path, "" when absent
  std::string system;         // host path, "" when absent
  bool nine = false;          // the folder holds SYSTEM.DAT or USER.DAT (Windows 9x)
};

// A name or path as Windows compares it: UTF-8 (bytes that are no UTF-8
// taken as Latin-1), each letter folded as Windows' table folds it.
std::string foldedAsWindows(const std::string& text);

// Looks in the Windows folder that os reports (any letter case).
VolumeHives findVolumeHives(PosixOs& os);
// Looks in the Windows folder `folder` (a Windows path, any letter case).
VolumeHives findVolumeHives(PosixOs& os, const std::string& folder);

}  // namespace purgato
