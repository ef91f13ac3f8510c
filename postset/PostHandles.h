// Owners for the handle kinds only the post-install modules hold, in the
// shape of setup/Handles.h.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "setup/Handles.h"

namespace handles {

struct ServiceHandleTraits {  // the service control manager
  using Type = SC_HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { CloseServiceHandle(handle); }
};
template <typename Interface>
struct ComTraits {  // one reference to a COM interface
  using Type = Interface*;
  static Type Invalid() { return nullptr; }
  static void Close(Type object) { object->Release(); }
};

using UniqueServiceHandle = Unique<ServiceHandleTraits>;
template <typename Interface>
using UniqueCom = Unique<ComTraits<Interface>>;

}  // namespace handles
