// The test double of the OS seam: real files through PosixOs, and in memory
// what a Linux machine cannot have: a registry, the performance data, a
// process table with toolhelp and psapi, a service manager, a Windows
// version, a message queue, message boxes and a clock that never sleeps.
//
// Every operation can be made to fail (as SQLite's test VFS does): on the
// nth call from now, from then on, or whenever its name argument satisfies
// a predicate. A failing call does nothing and returns that call's failure
// value (-1, 0, false, kInvalidHandle, kErrorAccessDenied ...); it still
// counts in calls().
//
// The name argument handed to predicates: the path for file calls (for
// read, lseek, chsize and close, the path the descriptor was opened with),
// the pattern for findFirstFile / findNextFile, the root for getDriveType,
// the subkey for regOpenKeyEx / regDeleteKey, the value name for
// regQueryValueEx / regDeleteValue, the key path for regCloseKey, the
// library or function name for loadLibrary / getProcAddress, the process's
// path for openProcess / terminateProcess / getModuleFileNameEx, the
// service name for openService / controlService / queryServiceStatus, the
// text for messageBox and the carried session text for sendMessage; "" for
// calls without a name. Never null.
//
// Events (events()) record what changed or was shown, in order across
// kinds:
//   "log:<line>"  "status:<text>"           a kMsgLogLine / kMsgStatus delivered to a window
//   "send:<n>"                               any other message delivered to a window
//   "box:<text>"                             a message box shown
//   "dispatch:<n>"                           a message dispatched
//   "sleep:<ms>"
//   "attrib:<path>:<hex>"                    setFileAttributes succeeded
//   "delete:<path>" / "delete-failed:<path>" deleteFile
//   "chsize:<path>:<size>"                   chsize succeeded
//   "write:<path>:<bytes>"                   write succeeded
//   "delete-at-restart:<path>"               moveFileEx asked for a deletion at the next start
//   "open-process:<id>:<hex access>"         openProcess succeeded
//   "terminate:<id>" / "terminate-failed:<id>"
//   "regdelete-value:<name>" / "regdelete-key:<subkey>"   succeeded
//   "perfdata:<value name>"                  a performance-data query
//   "service-stop:<name>" / "service-query:<name>:<state>"
//
// Not thread-safe; one FakeOs per test.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clean/perf_data.h"
#include "os/posix/posix_os.h"
#include "session/session.h"

namespace purgato {

class FakeOs : public PosixOs {
 public:
  enum class Op {
    FindFirstFile, FindNextFile, Open, Lseek, Read, Chsize, Close, Access, GetFileAttributes, SetFileAttributes,
    DeleteFile, Write, GetShortPathName, MoveFileEx,
    GetDriveType, GetWindowsDirectory, RegOpenKeyEx, RegQueryValueEx, RegDeleteValue, RegDeleteKey, RegCloseKey,
    RegQueryInfoKey,
    GetVersionEx, LoadLibrary, GetProcAddress, CreateToolhelp32Snapshot, Process32First, Process32Next,
    EnumProcesses, GetModuleFileNameEx, OpenProcess, TerminateProcess, WideCharToMultiByte, OpenSCManager,
    OpenService, ControlService, QueryServiceStatus, PeekMessage, MessageBox, SendMessage,
    // Closing and releasing.
    FindClose, CloseHandle, CloseServiceHandle, FreeLibrary,
    kCount  // not an operation
  };

  // Registry value types.
  static constexpr std::uint32_t kRegSz = 1;
  static constexpr std::uint32_t kRegBinary = 3;
  static constexpr std::uint32_t kRegDword = 4;
  static constexpr std::uint32_t kRegMultiSz = 7;
  // Win32 errors the double returns besides those of os/os.h.
  static constexpr long kErrorInvalidHandle = 6;
  static constexpr long kErrorInvalidParameter = 87;
  static constexpr long kErrorKeyDeleted = 1018;

  struct FakeProcess {
    std::uint32_t id;
    std::string path;          // full Windows path, what psapi reports
    std::string toolhelpName;  // what toolhelp's szExeFile reports (9x: the full path)
    bool canOpen = true;       // openProcess succeeds
    bool canTerminate = true;  // terminateProcess succeeds
    bool running = true;       // listed, and its executable cannot be deleted
  };

  struct FakeService {
    std::string name;
    std::uint32_t state = kServiceRunning;
    bool refusesStop = false;  // controlService(stop) fails
    int pendingPolls = 0;      // queries that still report STOP_PENDING after the stop
    bool neverStops = false;   // stays STOP_PENDING for ever
  };

  struct BoxCall {
    HWnd owner;
    std::string text, caption;
    std::uint32_t style;
  };

  struct Sent {
    HWnd window;
    std::uint32_t message;
    std::string text;  // session.logLine / statusText for the channel messages, else ""
  };

  struct KeyOpen {
    HKey root;
    std::string subKey;
    std::uint32_t access;
  };

  struct ProcessOpen {
    std::uint32_t id;
    std::uint32_t access;
  };

  FakeOs();
  ~FakeOs() override;

  // --- Faults -----------------------------------------------------------
  // The nth call of op from now fails (nth = 1: the next one); with persist,
  // every later call fails as well. Replaces an earlier countdown of op.
  void failOn(Op op, int nth = 1, bool persist = false);
  // Calls of op whose name argument satisfies the predicate fail. Several
  // predicates per op add up.
  void failWhen(Op op, std::function<bool(const char* arg)> predicate);
  void clearFaults();
  // Calls of op so far, failed ones included.
  int calls(Op op) const;

  // --- Registry ---------------------------------------------------------
  // Keys and value names compare without regard to case; the writers create
  // the key and its parents as needed. Roots: kHkeyCurrentUser,
  // kHkeyLocalMachine (and the other predefined roots).
  void setValue(HKey root, const std::string& key, const std::string& name, const std::string& data);  // REG_SZ
  void setBinaryValue(HKey root, const std::string& key, const std::string& name, std::vector<std::uint8_t> data);
  void setRawValue(HKey root, const std::string& key, const std::string& name, std::uint32_t type,
                   std::vector<std::uint8_t> data);
  bool hasValue(HKey root, const std::string& key, const std::string& name) const;
  std::optional<std::vector<std::uint8_t>> valueData(HKey root, const std::string& key, const std::string& name) const;
  void createKey(HKey root, const std::string& key);
  bool hasKey(HKey root, const std::string& key) const;
  std::vector<std::string> valueNames(HKey root, const std::string& key) const;  // as written
  std::vector<KeyOpen> keyOpens() const;  // every successful regOpenKeyEx
  int liveKeys() const;                   // opened and not yet closed

  // --- Performance data -------------------------------------------------
  // By default regQueryValueEx(kHkeyPerformanceData, "<index>") returns a
  // block built from the running processes (instances "Idle" and "_Total"
  // with id 0 around them, names without extension), with the indices of
  // "Process" and "ID Process" taken from the installed Counters value
  // (230 and 784 when absent). A query that does not name the process
  // object's index gets a block with no objects. ERROR_MORE_DATA while the
  // buffer is too small, *size then left as it was (as on NT).
  void setPerformanceData(std::vector<std::uint8_t> block);  // raw bytes instead, whatever is asked
  void installPerflibCounters();                             // the default Counters value
  std::vector<std::uint8_t> currentPerformanceData(const std::string& valueName) const;

  // --- Processes --------------------------------------------------------
  // toolhelpName defaults to path. References stay valid.
  FakeProcess& addProcess(std::uint32_t id, const std::string& path);
  const FakeProcess* process(std::uint32_t id) const;
  std::vector<std::uint32_t> terminated() const;  // ids, in order
  std::vector<ProcessOpen> processOpens() const;  // every successful openProcess
  int liveHandles() const;                        // process and snapshot handles not closed

  // --- Libraries --------------------------------------------------------
  // "Kernel32.dll" exports CreateToolhelp32Snapshot, Process32First and
  // Process32Next; "psapi.dll" exports EnumProcesses and
  // GetModuleFileNameExA. Library names compare without case, function
  // names with case, as GetProcAddress does.
  void removeLibrary(const std::string& name);
  void removeProc(const std::string& name);

  // --- Version ----------------------------------------------------------
  // Default: platform 0, neither 9x nor NT.
  void setVersion(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor = 0);
  void setWin95();
  void setWin98();
  void setNT4();
  void setWin2000();
  void setXP();
  void setVista();
  void setOtherPlatform();

  // --- Drives -----------------------------------------------------------
  // What getDriveType reports for `letter` instead of PosixOs's answer.
  void setDriveType(char letter, unsigned type);

  // --- Services ---------------------------------------------------------
  FakeService& addService(const std::string& name);  // references stay valid
  const FakeService* service(const std::string& name) const;
  int liveServiceHandles() const;

  // --- Files ------------------------------------------------------------
  int liveFiles() const;     // descriptors opened and not closed
  int badCloses() const;     // close of a descriptor that was not open
  int liveSearches() const;  // find handles not closed
  // Runs before every open that is not made to fail, with its arguments:
  // lets a test change the file between two opens.
  std::function<void(const char* path, int flags)> onOpen;
  // An open for writing with kOCreat makes a missing file (empty) first,
  // which the volume itself never does; with kOExcl too, it fails for a
  // file that is there.
  //
  // What getShortPathName gives for a path (compared without case); by
  // default an existing file's short path is the path as given.
  void setShortPath(const std::string& longPath, const std::string& shortPath);

  // --- Deletion at the next start of Windows ----------------------------
  // What moveFileEx recorded: one row per successful call, newName "" for
  // a deletion. It also appends the pair to the registry value
  // PendingFileRenameOperations under kSessionManagerKey (REG_MULTI_SZ), as
  // Windows does. On the 9x family moveFileEx fails (with
  // ERROR_CALL_NOT_IMPLEMENTED on Windows), as its stub does there.
  struct PendingRename {
    std::string existing;
    std::string newName;
    std::uint32_t flags;
  };
  std::vector<PendingRename> pendingRenames() const;

  // --- Messages ---------------------------------------------------------
  // The queue, the answers and the records come first; PosixOs's sink,
  // source and handlers (setMessageSink ...) still run behind them: an empty
  // queue asks the source, a send returns what the sink returns, a box with
  // no queued answer asks the handler (kIdNo by default).
  void attach(const ScanSession& session);  // where channel messages find their text
  void queueMessage(const Message& message);
  std::vector<Message> dispatched() const;
  int translated() const;
  void answerMessageBoxes(std::vector<int> answers);  // then kIdNo
  std::vector<BoxCall> boxes() const;
  std::vector<Sent> sent() const;                     // every send, window 0 included
  std::vector<std::string> logLines() const;          // kMsgLogLine texts sent to a window
  std::vector<std::string> statusLines() const;       // kMsgStatus texts sent to a window
  std::function<void(const Sent&)> onSend;            // after a send is recorded
  std::function<void(const Message&)> onDispatch;     // after a dispatch is recorded

  // --- Time and order ---------------------------------------------------
  // The clock of getSystemTimeAsFileTime and of the keys' last-write times:
  // it reads in whole ticks (default 15.625 ms), moves by stepPerReading at
  // every reading (default 0: time stands still) and by every sleep.
  void setClock(std::uint64_t tick, std::uint64_t stepPerReading);
  void advanceClock(std::uint64_t amount);
  std::vector<std::uint32_t> sleeps() const;
  std::uint64_t sleptMs() const;
  std::vector<std::string> events() const;

  // --- The seam ---------------------------------------------------------
  OsHandle findFirstFile(const char* pattern, FindData* data) override;
  bool findNextFile(OsHandle find, FindData* data) override;
  bool findClose(OsHandle find) override;
  int open(const char* path, int flags) override;
  std::int32_t lseek(int fd, std::int32_t offset, int origin) override;
  int read(int fd, void* buffer, unsigned count) override;
  int write(int fd, const void* buffer, unsigned count) override;
  int chsize(int fd, std::int32_t size) override;
  int close(int fd) override;
  int access(const char* path, int mode) override;
  std::uint32_t getFileAttributes(const char* path) override;
  bool setFileAttributes(const char* path, std::uint32_t attributes) override;
  bool deleteFile(const char* path) override;
  unsigned getDriveType(const char* root) override;
  unsigned getWindowsDirectory(char* buffer, unsigned size) override;
  unsigned getShortPathName(const char* longPath, char* shortPath, unsigned size) override;
  bool moveFileEx(const char* existing, const char* newName, std::uint32_t flags) override;

  long regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) override;
  long regQueryValueEx(HKey key, const char* valueName, std::uint32_t* type, std::uint8_t* data,
                       std::uint32_t* size) override;
  long regDeleteValue(HKey key, const char* valueName) override;
  long regDeleteKey(HKey root, const char* subKey) override;
  long regCloseKey(HKey key) override;
  long regQueryInfoKey(HKey key, std::uint64_t* lastWriteTime) override;
  // In order of writing; 259 past the last.
  long regEnumValue(HKey key, std::uint32_t index, char* name, std::uint32_t* nameSize, std::uint32_t* type,
                    std::uint8_t* data, std::uint32_t* dataSize) override;

  bool getVersionEx(OsVersionInfo* info) override;
  Module loadLibrary(const char* name) override;
  bool freeLibrary(Module module) override;
  Proc getProcAddress(Module module, const char* name) override;
  OsHandle createToolhelp32Snapshot(Proc fn, std::uint32_t flags, std::uint32_t processId) override;
  bool process32First(Proc fn, OsHandle snapshot, ProcessEntry* entry) override;
  bool process32Next(Proc fn, OsHandle snapshot, ProcessEntry* entry) override;
  bool enumProcesses(Proc fn, std::uint32_t* ids, std::uint32_t bytes, std::uint32_t* bytesReturned) override;
  std::uint32_t getModuleFileNameEx(Proc fn, OsHandle process, Module module, char* name,
                                    std::uint32_t size) override;
  OsHandle openProcess(std::uint32_t access, bool inherit, std::uint32_t processId) override;
  bool terminateProcess(OsHandle process, std::uint32_t exitCode) override;
  bool closeHandle(OsHandle handle) override;
  int wideCharToMultiByte(unsigned codePage, std::uint32_t flags, const char16_t* wide, int wideLength, char* out,
                          int outSize) override;

  OsHandle openSCManager(const char* machine, const char* database, std::uint32_t access) override;
  OsHandle openService(OsHandle manager, const char* name, std::uint32_t access) override;
  bool controlService(OsHandle service, std::uint32_t control, ServiceStatus* status) override;
  bool queryServiceStatus(OsHandle service, ServiceStatus* status) override;
  bool closeServiceHandle(OsHandle handle) override;

  bool peekMessage(Message* msg) override;
  void translateMessage(const Message* msg) override;
  void dispatchMessage(const Message* msg) override;
  std::intptr_t sendMessage(HWnd window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  int messageBox(HWnd owner, const char* text, const char* caption, std::uint32_t style) override;
  void sleep(std::uint32_t milliseconds) override;
  std::uint64_t getSystemTimeAsFileTime() override;

 private:
  struct State;
  bool fails(Op op, const char* arg);
  std::unique_ptr<State> state_;
};

}  // namespace purgato
