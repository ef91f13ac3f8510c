#include "winbase/Security.h"

#include "winbase/SysLib.h"

bool AccessList::Make(Kind kind) {
  using AllocateSidProc = BOOL(WINAPI*)(PSID_IDENTIFIER_AUTHORITY, BYTE, DWORD, DWORD, DWORD,
                                        DWORD, DWORD, DWORD, DWORD, DWORD, PSID*);
  using InitializeAclProc = BOOL(WINAPI*)(PACL, DWORD, DWORD);
  using AddAceProc = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
  // The inherited entries and the protection came with Windows 2000.
  using AddAceExProc = BOOL(WINAPI*)(PACL, DWORD revision, DWORD flags, DWORD mask, PSID);
  using SetControlProc = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                       SECURITY_DESCRIPTOR_CONTROL);
  using LengthSidProc = DWORD(WINAPI*)(PSID);
  auto allocate = SystemFunction<AllocateSidProc>("advapi32.dll", "AllocateAndInitializeSid");
  auto initAcl = SystemFunction<InitializeAclProc>("advapi32.dll", "InitializeAcl");
  auto addAce = SystemFunction<AddAceProc>("advapi32.dll", "AddAccessAllowedAce");
  auto addAceEx = SystemFunction<AddAceExProc>("advapi32.dll", "AddAccessAllowedAceEx");
  auto setControl = SystemFunction<SetControlProc>("advapi32.dll", "SetSecurityDescriptorControl");
  auto length = SystemFunction<LengthSidProc>("advapi32.dll", "GetLengthSid");
  const bool folder = kind == Kind::ProtectedFolder;
  if (!allocate || !initAcl || !addAce || !length || (folder && (!addAceEx || !setControl)))
    return false;  // Windows 9x, and NT 4 for a folder: no test system lacks them
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  if (!allocate(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                admins_.put()) ||
      !allocate(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, system_.put()) ||
      (folder && !allocate(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0,
                           0, 0, 0, users_.put())))
    return false;  // well-known SIDs, which every system that exports the call makes
  const DWORD aceBase = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
  DWORD bytes = sizeof(ACL) + 2 * aceBase + length(admins_.get()) + length(system_.get());
  if (folder) bytes += aceBase + length(users_.get());
  acl_.resize((bytes + 3) / 4);
  auto* acl = reinterpret_cast<PACL>(acl_.data());
  const DWORD inherited = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  const auto allow = [&](DWORD mask, PSID sid) {
    return folder ? addAceEx(acl, ACL_REVISION, inherited, mask, sid)
                  : addAce(acl, ACL_REVISION, mask, sid);
  };
  if (!initAcl(acl, DWORD(acl_.size() * 4), ACL_REVISION) ||
      !allow(FILE_ALL_ACCESS, admins_.get()) || !allow(FILE_ALL_ACCESS, system_.get()) ||
      (folder && !allow(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, users_.get())) ||
      !InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) ||
      (folder && !setControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)))
    return false;  // a list sized for its entries, which every system that has the calls builds
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
  return true;
}
