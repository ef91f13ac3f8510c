// The product key's permissions, on keys below a scratch key of the current
// user. (The install-rights test runs in the driver's test.)
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "postset/Winnt.h"
#include "tests/win/ScratchKey.h"
#include "winbase/Handles.h"
#include "winbase/SysLib.h"

namespace {

struct Entry {
  BYTE type, flags;
  ACCESS_MASK mask;
  std::vector<BYTE> sid;
};
std::vector<Entry> EntriesOf(PACL acl) {
  std::vector<Entry> entries;
  void* ace = nullptr;
  for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
    if (!GetAce(acl, i, &ace)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const auto* sid = reinterpret_cast<const BYTE*>(&allowed->SidStart);
    entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                       std::vector<BYTE>(sid, sid + GetLengthSid(PSID(sid)))});
  }
  return entries;
}

std::vector<Entry> EntriesOf(HKEY opened) {
  handles::UniqueHkey key;  // reopened: the handles under test may not read their own security
  PACL acl = nullptr;
  handles::UniqueLocal descriptor;
  if (RegOpenKeyExA(opened, "", 0, READ_CONTROL, key.put()) != ERROR_SUCCESS ||
      GetSecurityInfo(key.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                      nullptr, descriptor.put()) != ERROR_SUCCESS)
    return {};
  return EntriesOf(acl);
}

// What the key was created with, seen on its way to the system (which may
// keep its own security and ignore the list).
struct Creation {
  int calls = 0;
  DWORD options = 0;
  REGSAM access = 0;
  SECURITY_ATTRIBUTES attributes = {};  // as passed; nLength 0 when none were
  BOOL daclPresent = FALSE, daclDefaulted = TRUE;
  std::vector<Entry> entries;
} Created;

LONG WINAPI RecordCreate(HKEY root, LPCSTR subkey, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
                         LPDWORD disposition) {
  Created = {Created.calls + 1,
             options,
             access,
             security ? *security : SECURITY_ATTRIBUTES{},
             FALSE,
             TRUE,
             {}};
  PACL acl = nullptr;
  if (security && GetSecurityDescriptorDacl(security->lpSecurityDescriptor, &Created.daclPresent,
                                            &acl, &Created.daclDefaulted))
    Created.entries = EntriesOf(acl);
  return RegCreateKeyExA(root, subkey, reserved, keyClass, options, access, security, key,
                         disposition);
}

// Do the entries grant Everyone (S-1-1-0) read and write, handed down to subkeys?
bool GrantsEveryone(const std::vector<Entry>& entries) {
  const std::vector<BYTE> everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  return std::any_of(entries.begin(), entries.end(), [&](const Entry& e) {
    return e.type == ACCESS_ALLOWED_ACE_TYPE && e.sid == everyone && e.mask == 0x3001F &&
           (e.flags & CONTAINER_INHERIT_ACE);
  });
}

const char* Hidden = nullptr;  // the function the lookup pretends is missing
FARPROC LookupWithout(const char* library, const char* name) {
  return Hidden && std::string(name) == Hidden ? nullptr : SystemProc(library, name);
}

class WinntTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Created = Creation{};
    RegistryCreateKey = RecordCreate;
  }
  void TearDown() override {
    AccessProcLookup = SystemProc;
    RegistryCreateKey = RegCreateKeyExA;
    Hidden = nullptr;
  }
  testutil::ScratchKey scratch_;
};

TEST_F(WinntTest, NewKeyGrantsEveryoneOnTopOfTheSoftwareKeysList) {
  EXPECT_TRUE(CreateKeyWithAccess(scratch_.get(), "Maker\\Product 1.0"));
  EXPECT_EQ(Created.calls, 1);
  EXPECT_EQ(Created.options, DWORD(REG_OPTION_NON_VOLATILE));
  EXPECT_EQ(Created.access, REGSAM(0x1F));  // query, set, subkeys, notify
  EXPECT_EQ(Created.attributes.nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_FALSE(Created.attributes.bInheritHandle);
  EXPECT_TRUE(Created.daclPresent && !Created.daclDefaulted);
  EXPECT_TRUE(GrantsEveryone(Created.entries));
  // Everyone the template key names is named in the new list too.
  handles::UniqueHkey software;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, READ_CONTROL, software.put()),
            ERROR_SUCCESS);
  const std::vector<Entry> base = EntriesOf(software.get());
  EXPECT_FALSE(base.empty());
  for (const Entry& e : base)
    EXPECT_TRUE(std::any_of(Created.entries.begin(), Created.entries.end(),
                            [&](const Entry& m) { return m.sid == e.sid; }));
}

TEST_F(WinntTest, DefaultSecurityWhenTheAccessFunctionsAreMissing) {
  AccessProcLookup = LookupWithout;
  for (const char* missing : {"SetEntriesInAclA", "GetNamedSecurityInfoA"}) {
    SCOPED_TRACE(missing);
    Hidden = missing;
    Created = Creation{};
    EXPECT_TRUE(CreateKeyWithAccess(scratch_.get(), missing));
    EXPECT_EQ(Created.calls, 1);
    EXPECT_EQ(Created.attributes.nLength, 0u);  // the system's default security
  }
}

TEST_F(WinntTest, AnExistingKeyIsOpenedAndKeepsItsSecurity) {
  handles::UniqueHkey first = testutil::MakeKey(scratch_.get(), "Existing");
  handles::UniqueHkey again = CreateKeyWithAccess(scratch_.get(), "Existing");
  ASSERT_TRUE(again);
  const std::vector<Entry> after = EntriesOf(again.get());
  EXPECT_FALSE(GrantsEveryone(after));
  EXPECT_EQ(after.size(), EntriesOf(first.get()).size());
}

}  // namespace
