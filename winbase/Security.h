// Security for the objects the setup creates: a descriptor whose access list
// names administrators and the system with full access and, for a folder,
// users with read and execute, for the SECURITY_ATTRIBUTES that CreateFile
// and CreateDirectory take. Every call of it that Windows 95 lacks is looked
// up at run time; where one is missing, Make fails and the caller goes
// without.
#pragma once

#include <windows.h>

#include <vector>

#include "winbase/Handles.h"

class AccessList {
 public:
  enum class Kind {
    Private,          // administrators and the system alone
    ProtectedFolder,  // users too may read and run; the entries are inherited by
                      // what is made below, and none come from the folders above
  };

  // False when the descriptor could not be made. Call once.
  bool Make(Kind kind);
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  handles::UniqueSid admins_, system_, users_;
  std::vector<DWORD> acl_;  // DWORDs keep the list aligned
  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
};
