// The product key's permissions and the install-rights test, on keys below
// the current user (HKEY_LOCAL_MACHINE redirected there for the rights
// test). Every key made here is removed again.
#include <gtest/gtest.h>

#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "postset/PostSet.h"
#include "postset/Winnt.h"
#include "setup/Handles.h"

namespace {

constexpr char Scratch[] = "Software\\PavlaneWinntTest";

void DeleteTree(HKEY root, const std::string& path) {
  handles::UniqueHkey key;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, key.put()) == ERROR_SUCCESS) {
    char name[256];
    DWORD size = sizeof name;
    while (RegEnumKeyExA(key.get(), 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
      DeleteTree(key.get(), name);
      if (RegOpenKeyExA(key.get(), name, 0, KEY_READ, handles::UniqueHkey().put()) ==
          ERROR_SUCCESS)
        break;  // it would not go
      size = sizeof name;
    }
  }
  key.reset();
  RegDeleteKeyA(root, path.c_str());
}

// The access entries of a key.
struct Entry {
  BYTE type, flags;
  ACCESS_MASK mask;
  std::vector<BYTE> sid;
};
std::vector<Entry> EntriesOf(PACL acl) {
  std::vector<Entry> entries;
  for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(acl, i, &ace)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    const BYTE* sidBytes = static_cast<const BYTE*>(sid);
    entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask,
                       std::vector<BYTE>(sidBytes, sidBytes + GetLengthSid(sid))});
  }
  return entries;
}

// The access entries a key has.
std::vector<Entry> EntriesOf(HKEY opened) {
  // The handles under test may not read their own security.
  handles::UniqueHkey key;
  if (RegOpenKeyExA(opened, "", 0, READ_CONTROL, key.put()) != ERROR_SUCCESS) return {};
  DWORD size = 0;
  RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
  std::vector<BYTE> descriptor(size);
  BOOL present = FALSE, defaulted = FALSE;
  PACL acl = nullptr;
  if (size == 0 ||
      RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor.data(), &size) !=
          ERROR_SUCCESS ||
      !GetSecurityDescriptorDacl(descriptor.data(), &present, &acl, &defaulted))
    return {};
  return EntriesOf(acl);
}

// What the key was created with, seen on its way to the system (which may
// keep its own security and ignore the list).
struct Creation {
  int calls = 0;
  DWORD options = 0;
  REGSAM access = 0;
  bool security = false;  // security attributes were passed
  DWORD length = 0;
  BOOL inherit = TRUE;
  bool daclPresent = false;
  std::vector<Entry> entries;
} Created;

LONG WINAPI RecordCreate(HKEY root, LPCSTR subkey, DWORD reserved, LPSTR keyClass, DWORD options,
                         REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key,
                         LPDWORD disposition) {
  ++Created.calls;
  Created.options = options;
  Created.access = access;
  Created.security = security != nullptr;
  if (security) {
    Created.length = security->nLength;
    Created.inherit = security->bInheritHandle;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    if (GetSecurityDescriptorDacl(security->lpSecurityDescriptor, &present, &acl, &defaulted)) {
      Created.daclPresent = present && !defaulted;
      Created.entries = EntriesOf(acl);
    }
  }
  return RegCreateKeyExA(root, subkey, reserved, keyClass, options, access, security, key,
                         disposition);
}

const std::vector<BYTE> Everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};  // S-1-1-0

// Do the entries grant Everyone read and write, handed down to subkeys?
bool GrantsEveryone(const std::vector<Entry>& entries) {
  for (const Entry& e : entries)
    if (e.type == ACCESS_ALLOWED_ACE_TYPE && e.sid == Everyone && e.mask == 0x3001F &&
        (e.flags & CONTAINER_INHERIT_ACE))
      return true;
  return false;
}

const char* Hidden = nullptr;  // the function the lookup pretends is missing
FARPROC WINAPI LookupWithout(HMODULE module, LPCSTR name) {
  return Hidden && std::string(name) == Hidden ? nullptr : GetProcAddress(module, name);
}

class WinntTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteTree(HKEY_CURRENT_USER, Scratch);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, Scratch, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              scratch_.put(), nullptr),
              ERROR_SUCCESS);
    Created = Creation{};
    RegistryCreateKey = RecordCreate;
  }
  void TearDown() override {
    AccessProcLookup = GetProcAddress;
    RegistryCreateKey = RegCreateKeyExA;
    Hidden = nullptr;
    scratch_.reset();
    DeleteTree(HKEY_CURRENT_USER, Scratch);
  }
  handles::UniqueHkey scratch_;
};

TEST_F(WinntTest, NewKeyGrantsEveryoneOnTopOfTheSoftwareKeysList) {
  handles::UniqueHkey key = CreateKeyWithAccess(scratch_.get(), "Maker\\Product 1.0");
  ASSERT_TRUE(key);
  EXPECT_EQ(Created.calls, 1);
  EXPECT_EQ(Created.options, DWORD(REG_OPTION_NON_VOLATILE));
  EXPECT_EQ(Created.access, REGSAM(0x1F));
  ASSERT_TRUE(Created.security);
  EXPECT_EQ(Created.length, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_FALSE(Created.inherit);
  EXPECT_TRUE(Created.daclPresent);
  EXPECT_TRUE(GrantsEveryone(Created.entries));
  // Everyone the template key names is named in the new list too.
  handles::UniqueHkey software;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, READ_CONTROL, software.put()),
            ERROR_SUCCESS);
  const std::vector<Entry> base = EntriesOf(software.get());
  EXPECT_FALSE(base.empty());
  for (const Entry& e : base) {
    bool named = false;
    for (const Entry& m : Created.entries) named |= m.sid == e.sid;
    EXPECT_TRUE(named);
  }

  // Opened for querying, setting, subkeys and notification.
  const char data[] = "1";
  EXPECT_EQ(RegSetValueExA(key.get(), "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), 2),
            ERROR_SUCCESS);
  handles::UniqueHkey sub;
  EXPECT_EQ(RegCreateKeyExA(key.get(), "Options", 0, nullptr, 0, KEY_READ, nullptr, sub.put(),
                            nullptr),
            ERROR_SUCCESS);
}

TEST_F(WinntTest, DefaultSecurityWhenTheAccessFunctionsAreMissing) {
  AccessProcLookup = LookupWithout;
  for (const char* missing : {"SetEntriesInAclA", "GetNamedSecurityInfoA"}) {
    SCOPED_TRACE(missing);
    Hidden = missing;
    const std::string path = std::string("Plain ") + missing;
    Created = Creation{};
    handles::UniqueHkey key = CreateKeyWithAccess(scratch_.get(), path);
    EXPECT_TRUE(key);
    EXPECT_EQ(Created.calls, 1);
    EXPECT_FALSE(Created.security);
  }
}

TEST_F(WinntTest, AnExistingKeyIsOpenedAndKeepsItsSecurity) {
  handles::UniqueHkey first;
  ASSERT_EQ(RegCreateKeyExA(scratch_.get(), "Existing", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            first.put(), nullptr),
            ERROR_SUCCESS);
  const char data[] = "kept";
  RegSetValueExA(first.get(), "Value", 0, REG_SZ, reinterpret_cast<const BYTE*>(data), 5);
  const std::vector<Entry> before = EntriesOf(first.get());
  handles::UniqueHkey again = CreateKeyWithAccess(scratch_.get(), "Existing");
  ASSERT_TRUE(again);
  const std::vector<Entry> after = EntriesOf(again.get());
  EXPECT_FALSE(GrantsEveryone(after));
  EXPECT_EQ(after.size(), before.size());
  char read[8] = {};
  DWORD size = sizeof read;
  EXPECT_EQ(RegQueryValueExA(again.get(), "Value", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(read), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(read, "kept");
}

TEST_F(WinntTest, CheckInstallRightsCreatesTheProductKey) {
  using OverrideProc = LONG(WINAPI*)(HKEY, HKEY);
  auto redirect = reinterpret_cast<OverrideProc>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("advapi32.dll"), "RegOverridePredefKey")));
  ASSERT_NE(redirect, nullptr);
  struct Row {
    int line;
    bool isVolatile;  // nothing lasting can be made below a volatile key
    bool granted;
  };
  for (const Row& row : {Row{__LINE__, false, true}, Row{__LINE__, true, false}}) {
    SCOPED_TRACE(row.line);
    const char* name = row.isVolatile ? "volatile" : "machine";
    handles::UniqueHkey machine;
    ASSERT_EQ(RegCreateKeyExA(scratch_.get(), name, 0, nullptr,
                              row.isVolatile ? REG_OPTION_VOLATILE : REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, machine.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(redirect(HKEY_LOCAL_MACHINE, machine.get()), ERROR_SUCCESS);
    const bool granted = CheckInstallRights();
    redirect(HKEY_LOCAL_MACHINE, nullptr);
    EXPECT_EQ(granted, row.granted);
    handles::UniqueHkey product;
    EXPECT_EQ(RegOpenKeyExA(machine.get(), ProductKeyPath, 0, KEY_READ, product.put()) ==
                  ERROR_SUCCESS,
              row.granted);
  }
}

}  // namespace
