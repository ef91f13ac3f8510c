#include "postset/Winnt.h"

#include <aclapi.h>

#include "winbase/SysLib.h"

// The record sizes the 32-bit program hands the system.
static_assert(sizeof(void*) != 4 || sizeof(SECURITY_ATTRIBUTES) == 12);
static_assert(sizeof(void*) != 4 || sizeof(EXPLICIT_ACCESS_A) == 32);

AccessProcLookupProc AccessProcLookup = SystemProc;
CreateKeyProc RegistryCreateKey = RegCreateKeyExA;

namespace {

using GetNamedSecurityInfoProc = DWORD(WINAPI*)(LPCSTR name, SE_OBJECT_TYPE type,
                                                SECURITY_INFORMATION info, PSID* owner,
                                                PSID* group, PACL* dacl, PACL* sacl,
                                                PSECURITY_DESCRIPTOR* descriptor);
using SetEntriesInAclProc = DWORD(WINAPI*)(ULONG count, PEXPLICIT_ACCESS_A entries,
                                           PACL oldAcl, PACL* newAcl);

// Read, write and delete.
constexpr DWORD EveryoneAccess = KEY_READ | KEY_WRITE | DELETE;
static_assert(EveryoneAccess == 0x3001F);
// Query, set, create and enumerate subkeys, notify.
constexpr REGSAM ProductKeyAccess = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                    KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
static_assert(ProductKeyAccess == 0x1F);

// The security that a new key gets: the access list of the template key
// with Everyone's entry set, in an absolute descriptor (the system hands
// the template's descriptor out in self-relative form, which takes no new
// list). Fills absolute and newAcl and returns true, or false when any step
// fails.
bool BuildEveryoneSecurity(SECURITY_DESCRIPTOR& absolute, handles::UniqueLocal& newAcl) {
  auto setEntriesInAcl =
      ProcAs<SetEntriesInAclProc>(AccessProcLookup("advapi32.dll", "SetEntriesInAclA"));
  auto getNamedSecurityInfo =
      ProcAs<GetNamedSecurityInfoProc>(AccessProcLookup("advapi32.dll", "GetNamedSecurityInfoA"));
  if (!setEntriesInAcl || !getNamedSecurityInfo) return false;

  PACL templateAcl = nullptr;  // points into templateDescriptor
  handles::UniqueLocal templateDescriptor;
  if (getNamedSecurityInfo("MACHINE\\SOFTWARE", SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, &templateAcl, nullptr,
                           reinterpret_cast<PSECURITY_DESCRIPTOR*>(templateDescriptor.put())) !=
      ERROR_SUCCESS)
    return false;

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  handles::UniqueSid everyone;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                everyone.put()))
    return false;

  EXPLICIT_ACCESS_A entry = {};
  entry.grfAccessPermissions = EveryoneAccess;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = CONTAINER_INHERIT_ACE;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
  entry.Trustee.ptstrName = static_cast<LPSTR>(everyone.get());
  DWORD result = setEntriesInAcl(1, &entry, templateAcl,
                                 reinterpret_cast<PACL*>(newAcl.put()));
  everyone.reset();
  if (result != ERROR_SUCCESS) return false;

  return InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) &&
         SetSecurityDescriptorDacl(&absolute, TRUE, static_cast<PACL>(newAcl.get()), FALSE);
}

}  // namespace

handles::UniqueHkey CreateKeyWithAccess(HKEY root, const std::string& subkey) {
  SECURITY_DESCRIPTOR descriptor;
  handles::UniqueLocal acl;  // referenced by descriptor until the key exists
  SECURITY_ATTRIBUTES attributes = {};
  attributes.nLength = sizeof(attributes);
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;
  const bool secured = BuildEveryoneSecurity(descriptor, acl);

  handles::UniqueHkey key;
  DWORD disposition = 0;
  if (RegistryCreateKey(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      ProductKeyAccess, secured ? &attributes : nullptr, key.put(),
                      &disposition) != ERROR_SUCCESS)
    return {};
  return key;
}
