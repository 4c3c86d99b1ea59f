// Runs the scan options dialog modally, for the end-to-end checks and for
// a developer's look: the shipped program does not offer it.
//
//   options_host [--target-choice N] [--found-virus-mode N] [--auto-action N]
//                [--disinfect-visibility N] [--no-shell-allocator]
//
// The numbers are the four stored settings (their initial values when
// left out). targetPath starts as "(not written)", so that a written ""
// and no write at all differ. On exit it prints scanRan=0|1, targetPath=
// TEXT, then NAME=0|1 per option flag, then what went through
// the shell allocator: blocks allocated and freed by our code, frees of
// blocks it did not allocate (the shell's ID lists), and frees of a block
// already freed. --no-shell-allocator makes SHGetMalloc fail for the
// dialog, to show the dialog without its tree.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "app/scan_options_dialog.h"
#include "app/scan_options_settings.h"
#include "os/win32/win32_os.h"
#include "session/session.h"

namespace {

// The shell allocator with a count of what passes through it. Freed
// blocks are kept until the end, so that an address is never handed out
// twice and a second free of a block is seen as such.
class CountingMalloc final : public IMalloc {
 public:
  explicit CountingMalloc(IMalloc* real) : real_(real) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IMalloc)) {
      *out = static_cast<IMalloc*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  void* STDMETHODCALLTYPE Alloc(SIZE_T size) override {
    void* block = real_->Alloc(size);
    if (block != nullptr) {
      live_.insert(block);
      ++allocations_;
    }
    return block;
  }
  void* STDMETHODCALLTYPE Realloc(void* block, SIZE_T size) override {
    if (block != nullptr && live_.count(block) != 0) {
      void* moved = real_->Realloc(block, size);
      if (moved != nullptr) {
        live_.erase(block);
        live_.insert(moved);
      }
      return moved;
    }
    return real_->Realloc(block, size);
  }
  void STDMETHODCALLTYPE Free(void* block) override {
    if (block == nullptr) return;
    if (live_.erase(block) != 0) {
      ++frees_;
      freed_.insert(block);
    } else if (freed_.count(block) != 0) {
      ++doubleFrees_;
    } else {
      ++foreignFrees_;
      real_->Free(block);
    }
  }
  SIZE_T STDMETHODCALLTYPE GetSize(void* block) override { return real_->GetSize(block); }
  int STDMETHODCALLTYPE DidAlloc(void* block) override { return real_->DidAlloc(block); }
  void STDMETHODCALLTYPE HeapMinimize() override { real_->HeapMinimize(); }

  void report() const {
    std::printf("shellAllocations=%lu\nshellFrees=%lu\nforeignFrees=%lu\ndoubleFrees=%lu\nreferences=%lu\n",
                allocations_, frees_, foreignFrees_, doubleFrees_, references_);
  }
  void releaseQuarantine() {
    for (void* block : freed_) real_->Free(block);
    freed_.clear();
  }

 private:
  IMalloc* real_;
  ULONG references_ = 0;
  unsigned long allocations_ = 0;
  unsigned long frees_ = 0;
  unsigned long foreignFrees_ = 0;
  unsigned long doubleFrees_ = 0;
  std::set<void*> live_;
  std::set<void*> freed_;
};

CountingMalloc* counting = nullptr;

HRESULT WINAPI countingSource(IMalloc** out) {
  if (out == nullptr) return E_POINTER;
  counting->AddRef();
  *out = counting;
  return S_OK;
}

HRESULT WINAPI failingSource(IMalloc** out) {
  if (out != nullptr) *out = nullptr;
  return E_OUTOFMEMORY;
}

int usage() {
  std::fprintf(stderr,
               "usage: options_host [--target-choice N] [--found-virus-mode N] [--auto-action N]\n"
               "                    [--disinfect-visibility N] [--no-shell-allocator]\n");
  return 2;
}

int run(int argc, char** argv) {
  purgato::ScanOptionSettings settings;
  bool noAllocator = false;
  for (int i = 1; i < argc; ++i) {
    const char* option = argv[i];
    if (std::strcmp(option, "--no-shell-allocator") == 0) {
      noAllocator = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    char* end = nullptr;
    const long value = std::strtol(argv[i + 1], &end, 10);
    if (end == argv[i + 1] || *end != '\0') return usage();
    ++i;
    if (std::strcmp(option, "--target-choice") == 0) {
      settings.storedTargetChoice = value;
    } else if (std::strcmp(option, "--found-virus-mode") == 0) {
      settings.storedFoundVirusMode = value;
    } else if (std::strcmp(option, "--auto-action") == 0) {
      settings.storedAutoAction = value;
    } else if (std::strcmp(option, "--disinfect-visibility") == 0) {
      settings.storedDisinfectVisibility = value;
    } else {
      return usage();
    }
  }

  InitCommonControls();
  IMalloc* real = nullptr;
  if (FAILED(SHGetMalloc(&real)) || real == nullptr) {
    std::fprintf(stderr, "options_host: no shell allocator\n");
    return 1;
  }
  CountingMalloc countingMalloc(real);
  counting = &countingMalloc;

  static purgato::ScanSession session;
  std::strcpy(session.targetPath, "(not written)");
  purgato::Win32Os os;
  purgato::ScanOptionFlags flags;
  INT_PTR result;
  {
    purgato::ScanOptionsDialog dialog(session, os, settings, flags, nullptr,
                                      noAllocator ? &failingSource : &countingSource);
    result = dialog.DoModal();
  }
  std::printf("result=%" PRIdPTR "\n", static_cast<std::intptr_t>(result));
  // The progress dialog gives the channel its window: then a scan ran.
  std::printf("scanRan=%d\ntargetPath=%s\n", session.progressWindow != 0 ? 1 : 0, session.targetPath);
  const struct {
    const char* name;
    std::int32_t value;
  } rows[] = {
      {"scanAllDrives", flags.scanAllDrives},       {"scanDriveC", flags.scanDriveC},
      {"scanSelectedFolders", flags.scanSelectedFolders}, {"promptOnVirus", flags.promptOnVirus},
      {"actAutomatically", flags.actAutomatically}, {"actionDisinfect", flags.actionDisinfect},
      {"actionRename", flags.actionRename},         {"actionDelete", flags.actionDelete},
      {"actionIgnore", flags.actionIgnore},
  };
  for (const auto& row : rows) std::printf("%s=%d\n", row.name, static_cast<int>(row.value));
  countingMalloc.report();
  countingMalloc.releaseQuarantine();
  real->Release();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int status = 1;
  // Nothing may unwind into the system's start-up code.
  try {
    status = run(argc, argv);
  } catch (...) {
  }
  std::fflush(stdout);
  return status;
}
