// The registry of the scanned volume in a console scan (--registry): on a
// Windows NT-family volume the hives in the Windows folder's
// system32\config serve the core's registry calls, the worm's services
// are looked for after the walk (offline no process leads to them), and
// the hives are written back once at the end. Every word for the user
// goes to stderr; the log lines are the core's own.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "os/forwarding_os.h"
#include "os/posix/offline_registry.h"
#include "os/posix/posix_os.h"
#include "session/session.h"

namespace purgato {

class Console;

// True when `image` (a service's ImagePath) starts the file at
// `windowsPath`: the same path in any case (folded as Windows folds
// names, beyond ASCII too), quoted or not, with or
// without arguments, with '/' or '\', behind "\??\", "\\?\" or
// "\\.\", written with "%SystemRoot%", "%windir%", "%SystemDrive%" or
// "\SystemRoot\", from the system drive's root, or relative to the
// Windows folder `windowsFolder` (as the service loader takes a relative
// path). *unresolved (when given) is set when the image holds another
// variable or a short 8.3 name, whose file cannot be told from the text;
// *program (when given) gets the program's full path as read.
bool imageNamesFile(const std::string& image, const std::string& windowsPath, const std::string& windowsFolder,
                    bool* unresolved = nullptr, std::string* program = nullptr);

// Where the lines for the user go: each line, "purgato-scan: " and all,
// without its newline. Unset, they go to stderr.
void setOfflineRegistryWarningSink(std::function<void(const std::string& line)> sink);

class OfflineRegistry {
 public:
  // Loads the hives of every NT-family Windows folder among the one that
  // volume reports, C:\WINNT and C:\WINDOWS; says on stderr which are
  // served when they are not the reported one alone, and what it cannot
  // use. kOff: nothing is looked at.
  OfflineRegistry(PosixOs& volume, RegistryMode mode);
  ~OfflineRegistry();
  OfflineRegistry(const OfflineRegistry&) = delete;
  OfflineRegistry& operator=(const OfflineRegistry&) = delete;

  // What the other layers are built on: the registry served from the hives
  // when there are any, else the volume itself.
  Os& base();
  // True when hives are served.
  bool serves() const { return !installations_.empty(); }
  // A dry run: the hives change in memory only and are never written.
  void setDryRun();
  // The Os the scan runs on: `top` with the step after the walk, which
  // runs just before the first statistics line, so that its lines are
  // findings like the others.
  Os& around(ScanSession& session, Os& top);
  // A second signal before the write-back quits with the hives' changes
  // unwritten: from the first change on, the quit status is unhandled (3)
  // and a line on stderr says that what was reported removed from the
  // registry is still there.
  void watchQuit(Console& console);
  // Writes the changed hives back (once, at the end of the scan) and says
  // on stderr what could not be written, with the ending signals held
  // throughout: a second signal that comes meanwhile or later quits with
  // exitStatus(scanStatus), the write-back's outcome weighed in.
  void finish(Console& console, int scanStatus);
  // Stops the write-back at a step, as a crash would (tests).
  void setFaultHook(OfflineRegistryOs::FaultHook hook);
  // The exit status once the registry's own outcome is weighed in:
  // unhandled (3) when a worm entry is known to stay, incomplete (4) when
  // a hive could not be read or a change was refused; a failure (2) stays.
  int exitStatus(int scanStatus) const;

 private:
  class Step;
  // A file the scan deleted, with the short name the volume kept for it
  // ("" when none could be read).
  struct Deleted {
    std::string path;
    std::string dosName;
  };
  enum class ShortNameMatch { kSame, kOther, kUnknown };
  // Whether a program path written with short (8.3) names is the deleted
  // file: its folders' short names read from the volume (ntfs-3g keeps
  // them), its own the one read before it was deleted. kUnknown where the
  // volume keeps no short names to compare with.
  ShortNameMatch matchShortNames(const std::string& program, const Deleted& file);
  void serviceStep(ScanSession& session, Os& os, const std::vector<Deleted>& deleted);
  // Changes made in memory that no write-back has put on the disk yet.
  bool pending() const;

  // One Windows NT-family installation whose hives are served.
  struct Installation {
    std::string folder;  // its Windows folder, as a Windows path
    VolumeHives hives;
    std::unique_ptr<OfflineRegistryOs> registry;
    bool systemServed = false;
  };
  void serviceStepIn(std::size_t which, ScanSession& session, Os& os, const std::vector<Deleted>& deleted);

  PosixOs& volume_;
  std::vector<Installation> installations_;  // empty: no offline registry
  std::unique_ptr<OfflineRegistries> all_;   // with more than one
  std::unique_ptr<Step> step_;
  std::string windowsFolder_;               // the walk's
  bool incomplete_ = false;
  bool unhandled_ = false;
  bool dryRun_ = false;
};

}  // namespace purgato
