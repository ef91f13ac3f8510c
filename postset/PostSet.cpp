#include "postset/PostSet.h"

#include "postset/Winnt.h"

bool CheckInstallRights() {
  return bool(CreateKeyWithAccess(HKEY_LOCAL_MACHINE, ProductKeyPath));
}
