// Owners for the handle kinds the setup program holds: one type per kind,
// each with the value that means "nothing" built in, releasing what it holds
// when it goes. Header-only; the post-install modules and the tools use them
// too.
#pragma once

#include <windows.h>

#include <utility>

namespace handles {

// Owns one handle described by Traits: Traits::Type, Traits::Invalid() and
// Traits::Close(value).
template <typename Traits>
class Unique {
 public:
  using Type = typename Traits::Type;

  Unique() = default;
  explicit Unique(Type value) : value_(value) {}
  ~Unique() { reset(); }
  Unique(Unique&& other) noexcept : value_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;

  Type get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::Invalid(); }

  // Gives the handle up without releasing it.
  Type release() { return std::exchange(value_, Traits::Invalid()); }
  // Releases the handle held, if any, and takes value.
  void reset(Type value = Traits::Invalid()) {
    Type old = std::exchange(value_, value);
    if (old != Traits::Invalid()) Traits::Close(old);
  }
  // For an API that returns the handle through an out-parameter: releases
  // the handle held and hands out the empty slot.
  Type* put() {
    reset();
    return &value_;
  }

 private:
  Type value_ = Traits::Invalid();
};

struct HkeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static void Close(Type key) { RegCloseKey(key); }
};
struct LibraryTraits {
  using Type = HMODULE;
  static Type Invalid() { return nullptr; }
  static void Close(Type module) { FreeLibrary(module); }
};
struct WindowTraits {
  using Type = HWND;
  static Type Invalid() { return nullptr; }
  static void Close(Type window) { DestroyWindow(window); }
};
template <typename Gdi>
struct GdiTraits {
  using Type = Gdi;
  static Type Invalid() { return nullptr; }
  static void Close(Type object) { DeleteObject(object); }
};
struct SidTraits {
  using Type = PSID;
  static Type Invalid() { return nullptr; }
  static void Close(Type sid) { FreeSid(sid); }
};
struct LocalTraits {
  using Type = HLOCAL;
  static Type Invalid() { return nullptr; }
  static void Close(Type memory) { LocalFree(memory); }
};
// Kernel objects whose "nothing" is null: processes, threads, snapshots.
struct KernelTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { CloseHandle(handle); }
};
// Files, whose "nothing" is INVALID_HANDLE_VALUE.
struct FileTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { CloseHandle(handle); }
};
struct ScreenDcTraits {  // a DC from GetDC(nullptr)
  using Type = HDC;
  static Type Invalid() { return nullptr; }
  static void Close(Type dc) { ReleaseDC(nullptr, dc); }
};
struct MemoryDcTraits {  // a DC from CreateCompatibleDC
  using Type = HDC;
  static Type Invalid() { return nullptr; }
  static void Close(Type dc) { DeleteDC(dc); }
};

struct FindTraits {  // a FindFirstFileA search
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { FindClose(handle); }
};

using UniqueHkey = Unique<HkeyTraits>;
using UniqueLibrary = Unique<LibraryTraits>;
using UniqueWindow = Unique<WindowTraits>;
using UniqueFont = Unique<GdiTraits<HFONT>>;
using UniqueBitmap = Unique<GdiTraits<HBITMAP>>;
using UniqueSid = Unique<SidTraits>;
using UniqueLocal = Unique<LocalTraits>;
using UniqueKernelHandle = Unique<KernelTraits>;
using UniqueFile = Unique<FileTraits>;
using UniqueScreenDc = Unique<ScreenDcTraits>;
using UniqueMemoryDc = Unique<MemoryDcTraits>;
using UniqueFind = Unique<FindTraits>;

}  // namespace handles
