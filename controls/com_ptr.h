// Owning pointers for the shell's objects: ComPtr holds one reference to a
// COM interface and releases it when it goes; ShellMemory holds a block of
// the shell's task allocator (an ID list, a name) and frees it through the
// IMalloc it was given, as Windows 95 and NT 4 code must.
#pragma once

#include <objbase.h>

namespace purgato {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller already holds.
  explicit ComPtr(T* owned) : pointer_(owned) {}
  ComPtr(const ComPtr& other) : pointer_(other.pointer_) {
    if (pointer_ != nullptr) pointer_->AddRef();
  }
  ComPtr& operator=(const ComPtr& other) {
    if (other.pointer_ != nullptr) other.pointer_->AddRef();
    reset(other.pointer_);
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

  // Releases what is held and takes over owned (a reference already held).
  void reset(T* owned = nullptr) {
    T* old = pointer_;
    pointer_ = owned;
    if (old != nullptr) old->Release();
  }
  // Hands the reference to the caller.
  T* release() {
    T* out = pointer_;
    pointer_ = nullptr;
    return out;
  }
  // For the out argument of a call that gives a new reference: what was
  // held is released first.
  T** put() {
    reset();
    return &pointer_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }

 private:
  T* pointer_ = nullptr;
};

// A block of the shell allocator. The allocator outlives the block.
template <typename T>
class ShellMemory {
 public:
  explicit ShellMemory(IMalloc* allocator, T* owned = nullptr) : allocator_(allocator), pointer_(owned) {}
  ShellMemory(const ShellMemory&) = delete;
  ShellMemory& operator=(const ShellMemory&) = delete;
  ~ShellMemory() { reset(); }

  T* get() const { return pointer_; }
  void reset(T* owned = nullptr) {
    T* old = pointer_;
    pointer_ = owned;
    if (old != nullptr && allocator_ != nullptr) allocator_->Free(old);
  }
  T* release() {
    T* out = pointer_;
    pointer_ = nullptr;
    return out;
  }
  T** put() {
    reset();
    return &pointer_;
  }

 private:
  IMalloc* allocator_;
  T* pointer_;
};

}  // namespace purgato
