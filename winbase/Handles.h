// Owners for the handles the setup program and its tools hold: one type per
// kind, each closing what it holds when it goes. A kind is one line at the
// end of this file: the handle type, the function that closes it, and -1
// where the value that means "nothing" is INVALID_HANDLE_VALUE, not null.
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>

namespace handles {

template <typename Handle, auto Close, intptr_t InvalidBits = 0>
class Unique {
 public:
  // The value that holds nothing. A constant expression where it is null,
  // so that program-wide owners are set before any code runs.
  static constexpr Handle Invalid() noexcept {
    return InvalidBits == 0 ? Handle() : reinterpret_cast<Handle>(InvalidBits);
  }

  constexpr Unique() noexcept = default;
  explicit Unique(Handle value) noexcept : value_(value) {}
  ~Unique() { reset(); }
  Unique(Unique&& other) noexcept : value_(other.release()) {}
  Unique& operator=(Unique&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Unique(const Unique&) = delete;
  Unique& operator=(const Unique&) = delete;

  Handle get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Invalid(); }
  // The methods of a COM interface.
  Handle operator->() const noexcept { return value_; }

  // Gives the handle up without closing it.
  Handle release() noexcept { return std::exchange(value_, Invalid()); }
  // Closes the handle held, if any, and takes value. The last error stays
  // what it was, so that a caller cleaning up after a failed call can still
  // read why it failed.
  void reset(Handle value = Invalid()) noexcept {
    const Handle old = std::exchange(value_, value);
    if (old == Invalid()) return;
    const DWORD error = GetLastError();
    Close(old);
    SetLastError(error);
  }
  // For a call that hands the handle out through a pointer: closes the
  // handle held and lends the empty slot.
  Handle* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Handle value_ = Invalid();
};

inline void ReleaseScreenDc(HDC dc) { ReleaseDC(nullptr, dc); }
template <typename Interface>
void ReleaseCom(Interface* object) { object->Release(); }

using UniqueHkey = Unique<HKEY, RegCloseKey>;
using UniqueLibrary = Unique<HMODULE, FreeLibrary>;
using UniqueWindow = Unique<HWND, DestroyWindow>;
using UniqueFont = Unique<HFONT, DeleteObject>;
using UniqueBrush = Unique<HBRUSH, DeleteObject>;
using UniqueBitmap = Unique<HBITMAP, DeleteObject>;
using UniqueMemoryDc = Unique<HDC, DeleteDC>;          // from CreateCompatibleDC
using UniqueScreenDc = Unique<HDC, ReleaseScreenDc>;   // from GetDC(nullptr)
using UniqueSid = Unique<PSID, FreeSid>;
using UniqueLocal = Unique<HLOCAL, LocalFree>;
using UniqueServiceHandle = Unique<SC_HANDLE, CloseServiceHandle>;
using UniqueKernelHandle = Unique<HANDLE, CloseHandle>;  // processes, threads, tokens
using UniqueFile = Unique<HANDLE, CloseHandle, -1>;
using UniqueFind = Unique<HANDLE, FindClose, -1>;
template <typename Interface>
using UniqueCom = Unique<Interface*, ReleaseCom<Interface>>;  // one reference

}  // namespace handles
