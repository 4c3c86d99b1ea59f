#include "cli/guarded_os.h"

namespace purgato {

namespace {
constexpr int kOAccessMask = 0x0003;
}  // namespace

int GuardedOs::open(const char* path, int flags) {
  if (stopped_ && (flags & kOAccessMask) != kORdOnly) return -1;
  return inner_.open(path, flags);
}

long GuardedOs::regOpenKeyEx(HKey root, const char* subKey, std::uint32_t access, HKey* result) {
  // Reading goes on; a key opened for changing is refused.
  if (stopped_ && access != kKeyRead) {
    if (result != nullptr) *result = 0;
    return kErrorAccessDenied;
  }
  return inner_.regOpenKeyEx(root, subKey, access, result);
}

bool GuardedOs::peekMessage(Message* msg) {
  if (!stopped_) return inner_.peekMessage(msg);
  if (msg == nullptr) return false;
  *msg = Message{0, kWmQuit, 0, 0, 0, 0, 0};
  return true;
}

}  // namespace purgato
