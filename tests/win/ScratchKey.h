// The one registry key the Windows tests write below: made afresh below the
// current user's Software key and removed with everything below it when the
// object goes. While it lives, predefined keys of this process may stand for
// keys of it, so that the code under test writes there and not into the
// machine's own keys.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "winbase/Handles.h"

// Declared by the headers only from Vista on; Wine's advapi32 has it.
extern "C" DECLSPEC_IMPORT LONG WINAPI RegDeleteTreeA(HKEY key, LPCSTR subkey);

namespace testutil {

inline handles::UniqueHkey MakeKey(HKEY root, const std::string& path, DWORD options = 0) {
  handles::UniqueHkey key;
  EXPECT_EQ(RegCreateKeyExA(root, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS)
      << path;
  return key;
}

class ScratchKey {
 public:
  // REG_OPTION_VOLATILE in options: nothing lasting can be made below it.
  explicit ScratchKey(DWORD options = 0) {
    RegDeleteTreeA(HKEY_CURRENT_USER, Path);  // left by a run that was cut short
    key_ = MakeKey(HKEY_CURRENT_USER, Path, options);
  }
  ~ScratchKey() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) RegOverridePredefKey(root, nullptr);
    key_.reset();
    RegDeleteTreeA(HKEY_CURRENT_USER, Path);
  }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  HKEY get() const { return key_.get(); }
  // From now on root (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER) stands for
  // the key subkey of this one (empty: this one).
  void StandIn(HKEY root, const char* subkey = "") {
    EXPECT_EQ(RegOverridePredefKey(root, MakeKey(key_.get(), subkey).get()), ERROR_SUCCESS);
  }

 private:
  static constexpr char Path[] = "Software\\PavlaneTest";
  handles::UniqueHkey key_;
};

}  // namespace testutil
