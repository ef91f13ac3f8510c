// The post-install sequence run for real in the Wine prefix, its registry
// keys below a scratch key. Messages, the restart, the platform, the system
// directory, value writes and the version judgement go through the module's
// seams. The version test runs on files with neutral names: Wine answers for
// a file named like one of its own libraries with the version of its own
// copy.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "explode/Crc32.h"
#include "postset/PostSet.h"
#include "postset/Sequence.h"
#include "postset/shortcut.h"
#include "tests/common/SetupTexts.h"
#include "tests/common/TestUtil.h"
#include "tests/win/Boxes.h"
#include "tests/win/ScratchKey.h"
#include "winbase/Handles.h"

namespace fs = std::filesystem;

namespace {

constexpr char UninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Pavlane Orbit Suite";
constexpr char InternetSettings[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr char SessionManager[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";

std::string Product(const char* subkey) { return std::string(ProductKeyPath) + "\\" + subkey; }

// ---- What the sequence did, through its seams.

using boxes::Shown;
using Written = std::tuple<std::string, DWORD, std::string>;  // name, type, bytes handed over
std::string Events;  // 'f' pump(false), 't' pump(true), 'B' a message box
std::vector<Written> Writes;
std::vector<UINT> ExitCalls;
BOOL ExitResult;
bool Granted;  // whether the token receives the privilege the restart asks for
std::optional<std::pair<DWORD, DWORD>> FakePlatform;          // platform ID, major version
std::string FakeSystemDir;                                    // empty: none
std::set<std::string> OlderInstalled;                         // library file names
std::vector<std::pair<std::string, uint32_t>> VersionChecks;  // path, minimum's low half

void Pump(bool close) { Events += close ? 't' : 'f'; }

LSTATUS WINAPI RecordWrite(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                           DWORD size) {
  Writes.emplace_back(name, type, std::string(reinterpret_cast<const char*>(data), size));
  return RegSetValueExA(key, name, reserved, type, data, size);
}

BOOL WINAPI RecordExit(UINT flags, DWORD reason) {
  ExitCalls.push_back(flags | reason);
  return ExitResult;
}

// The system's way of granting less than asked: success, and the last
// error says so.
BOOL WINAPI AdjustPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD size,
                             PTOKEN_PRIVILEGES previous, PDWORD previousSize) {
  if (!AdjustTokenPrivileges(token, disableAll, state, size, previous, previousSize)) return FALSE;
  if (!Granted) SetLastError(ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL WINAPI Version(LPOSVERSIONINFOA version) {
  if (!GetVersionExA(version)) return FALSE;
  if (FakePlatform) std::tie(version->dwPlatformId, version->dwMajorVersion) = *FakePlatform;
  return TRUE;
}

UINT WINAPI SystemDirectory(LPSTR buffer, UINT size) {
  if (FakeSystemDir.size() >= size) return 0;
  strcpy(buffer, FakeSystemDir.c_str());
  return UINT(FakeSystemDir.size());
}

bool MarkedOlder(const std::string& path, MinimumVersion minimum) {
  VersionChecks.emplace_back(path, minimum.leastSignificant);
  return OlderInstalled.count(fs::path(path).filename().string()) != 0;
}

// ---- Registry.

using Value = std::pair<DWORD, std::string>;  // type, data
Value Sz(const std::string& data) { return {REG_SZ, data}; }

std::optional<Value> ReadValue(HKEY root, const std::string& key, const char* name) {
  handles::UniqueHkey opened;
  DWORD type = 0, size = 0;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, opened.put()) != ERROR_SUCCESS ||
      RegQueryValueExA(opened.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
    return {};
  std::string data(size, '\0');
  RegQueryValueExA(opened.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  return Value{type, data.substr(0, size)};
}

// A product string less the terminating zero the NT registry adds.
std::optional<Value> ReadString(const std::string& key, const char* name) {
  auto value = ReadValue(HKEY_LOCAL_MACHINE, key, name);
  if (value && !value->second.empty() && value->second.back() == '\0') value->second.pop_back();
  return value;
}

void WriteValue(HKEY root, const std::string& key, const char* name,
                const std::optional<Value>& value) {
  const handles::UniqueHkey opened = testutil::MakeKey(root, key);
  if (!value) {
    RegDeleteValueA(opened.get(), name);
    return;
  }
  RegSetValueExA(opened.get(), name, 0, value->first,
                 reinterpret_cast<const BYTE*>(value->second.data()), DWORD(value->second.size()));
}

void DeleteProductKeys() {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, UninstallKey);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VelmoraSoft");
}

// The pending renames in the machine's own key (the system writes them
// there, whatever stands for HKEY_LOCAL_MACHINE), one entry per path: "\??\"
// before each, "!" before a target that may be replaced.
std::vector<std::string> PendingRenames(HKEY sessionManager) {
  std::vector<std::string> entries;
  const auto value = ReadValue(sessionManager, "", "PendingFileRenameOperations");
  for (size_t at = 0; value && at < value->second.size() && value->second[at];
       at += entries.back().size() + 1)
    entries.emplace_back(value->second.c_str() + at);
  return entries;
}

// ---- Files.

std::string Contents(const fs::path& file) {
  const testutil::Bytes bytes = testutil::ReadFile(file);
  return std::string(bytes.begin(), bytes.end());
}

std::set<std::string> FileNames(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

// Held as a running program holds its libraries: nobody may write it.
handles::UniqueFile InUse(const fs::path& file) {
  return handles::UniqueFile(CreateFileA(file.string().c_str(), GENERIC_READ, FILE_SHARE_READ,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
}

// A copy of this test program with a version resource holding version, or
// with none; without its fixed part (the numbers) when numbered is false.
void WriteVersionedFile(const fs::path& path, std::optional<MinimumVersion> version,
                        bool numbered = true) {
  char self[MAX_PATH];
  ASSERT_TRUE(GetModuleFileNameA(nullptr, self, MAX_PATH));
  ASSERT_TRUE(CopyFileA(self, path.string().c_str(), FALSE));
  if (!version) return;
  // VS_VERSIONINFO without children: a 6-byte header, L"VS_VERSION_INFO"
  // (32 bytes), 2 bytes to the next 4-byte boundary, the fixed part (52).
  const VS_FIXEDFILEINFO fixed{0xFEEF04BD, 0x00010000, version->mostSignificant,
                               version->leastSignificant, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const BYTE size = numbered ? 92 : 40;
  BYTE block[92] = {size, 0, BYTE(numbered ? 52 : 0), 0, 0, 0};
  memcpy(block + 6, L"VS_VERSION_INFO", 32);
  memcpy(block + 40, &fixed, sizeof fixed);
  HANDLE update = BeginUpdateResourceA(path.string().c_str(), FALSE);
  ASSERT_TRUE(update);
  ASSERT_TRUE(UpdateResourceA(update, MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), block, size));
  ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
}

using LinkFields = std::tuple<std::string, std::string, std::string>;  // target, description, dir

// A saved shortcut's fields, read back through the shell (COM is up for
// each fixture test).
std::optional<LinkFields> ReadLink(const fs::path& file) {
  handles::UniqueCom<IShellLinkA> link;
  handles::UniqueCom<IPersistFile> persist;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                              reinterpret_cast<void**>(link.put()))) ||
      FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(persist.put()))) ||
      FAILED(persist->Load(file.wstring().c_str(), STGM_READ)))
    return {};
  char target[MAX_PATH] = {}, description[1024] = {}, dir[MAX_PATH] = {};
  link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
  link->GetDescription(description, sizeof description);
  link->GetWorkingDirectory(dir, MAX_PATH);
  return LinkFields{target, description, dir};
}

// ---- A product tree, a stand-in system directory and Programs folder, the
// seams in place, and HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER standing for
// keys of a scratch key.

class PostSetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    Events = {}, Writes = {}, ExitCalls = {}, OlderInstalled = {}, VersionChecks = {};
    FakePlatform = {}, ExitResult = TRUE, Granted = true, RestartNeeded = false;
    PostSetSystem = {RecordExit, AdjustPrivileges, Version, SystemDirectory, RecordWrite,
                     MarkedOlder, winInit.c_str()};
    boxes.onShow = [] { Events += 'B'; };
    for (const char* dir : {"product", "product\\Help", "product\\Library", "product\\SiteMaps",
                            "product\\Queries", "system", "programs"})
      ASSERT_TRUE(CreateDirectoryA((temp.str() + "\\" + dir).c_str(), nullptr)) << dir;
    for (const char* file : {"Pavlane.exe", "Help\\contents.htm", "Queries\\Sample.pvf"})
      testutil::WriteFile(temp / "product" / file, std::string(file));
    for (const std::string library : {"Wininet", "Shlwapi"}) {
      testutil::WriteFile(temp / "product" / (library + ".dl_"), "new " + library);
      testutil::WriteFile(System(library + ".dll"), "installed " + library);
    }
    FakeSystemDir = (temp / "system").string();
    savedPrograms = ProgramsFolder;
    ProgramsFolder = (temp / "programs").string();
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, SessionManager, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                            sessionManager.put()),
              ERROR_SUCCESS);
    pendingBefore = ReadValue(sessionManager.get(), "", "PendingFileRenameOperations");
    registry.StandIn(HKEY_LOCAL_MACHINE, "machine");
    registry.StandIn(HKEY_CURRENT_USER, "user");
  }

  void TearDown() override {
    WriteValue(sessionManager.get(), "", "PendingFileRenameOperations", pendingBefore);
    ProgramsFolder = savedPrograms;
    PostSetSystem = PostSetCalls{};
    DestroyWindow(owner);
    CoUninitialize();
  }

  std::string Dest() const { return (temp / "product").string(); }
  fs::path System(const std::string& name) const { return temp / "system" / name; }
  fs::path MenuFolder() const { return temp / "programs" / "Pavlane Orbit Suite"; }
  bool Run() { return PostInstall(Dest(), owner, Pump); }
  Shown Setup(const std::string& text, UINT flags) const {
    return {owner, text, "Pavlane Setup", flags};
  }

  testutil::TempDir temp;
  std::string winInit = (temp / "WinInit.ini").string();
  std::string savedPrograms;
  HWND owner = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  testutil::ScratchKey registry;
  handles::UniqueHkey sessionManager;  // the machine's own
  std::optional<Value> pendingBefore;
  boxes::Recorder boxes;
};

TEST_F(PostSetTest, WritesTheUninstallEntryAndSettingsAndEndsWithSuccess) {
  WriteValue(HKEY_CURRENT_USER, InternetSettings, "ProxyEnable",
             Value{REG_DWORD, std::string(4, 0)});
  ASSERT_TRUE(Run());
  const std::string query = Dest() + "\\Queries\\Sample.pvf";
  const struct { int line; std::string key; const char* name; std::string data; } rows[] = {
      {__LINE__, UninstallKey, "DisplayName", "Pavlane Orbit Suite"},
      {__LINE__, UninstallKey, "UninstallString", "\"" + Dest() + "\\uninst.exe\""},
      {__LINE__, Product("Auto-open"), "File 1", query},
      {__LINE__, Product("History"), "File 1", query},
      {__LINE__, Product("Adverts"), "Application", "Pavlane"},
      {__LINE__, Product("Adverts"), "Password", "2957"},
  };
  std::vector<Written> written;  // in row order, no terminating zero handed over
  for (const auto& row : rows) {
    EXPECT_EQ(ReadString(row.key, row.name), Sz(row.data)) << row.line;
    written.emplace_back(row.name, REG_SZ, row.data);
  }
  EXPECT_EQ(Writes, written);
  EXPECT_FALSE(ReadString(Product("Options"), "Use Proxy"));  // the proxy is off
  // The last pump closes the progress window before the message.
  EXPECT_EQ(Events, std::string(15, 'f') + "tB");
  EXPECT_EQ(boxes.shown, std::vector<Shown>{Setup(texts::Success, MB_OK | MB_ICONASTERISK)});
  // Each library against its own minimum; recent ones stay, and the
  // product's copies go all the same.
  EXPECT_EQ(VersionChecks, (std::vector<std::pair<std::string, uint32_t>>{
                               {System("Wininet.dll").string(), 1712u << 16 | 5},
                               {System("Shlwapi.dll").string(), 1712u << 16}}));
  EXPECT_EQ(Contents(System("Wininet.dll")), "installed Wininet");
  EXPECT_FALSE(fs::exists(temp / "product" / "Wininet.dl_") ||
               fs::exists(temp / "product" / "Shlwapi.dl_"));
  EXPECT_TRUE(ExitCalls.empty());
}

TEST_F(PostSetTest, WithoutASystemDirectoryWritesNothingAndSaysSo) {
  FakeSystemDir.clear();
  ASSERT_TRUE(Run());
  EXPECT_EQ(Events, std::string(6, 'f') + "tB");
  EXPECT_EQ(boxes.shown,
            (std::vector<Shown>{{owner, "Unable to determine Windows' System Directory",
                                 "Pavlane - Error", MB_OK | MB_ICONHAND}}));
  EXPECT_TRUE(Writes.empty());
  EXPECT_EQ(FileNames(MenuFolder()).size(), 4u);  // the shortcuts came first
}

TEST_F(PostSetTest, CopiesTheUsersHttpProxy) {
  const Value on{REG_DWORD, std::string("\1\0\0\0", 4)};
  const struct { int line; std::optional<Value> enable, server; const char *host, *port; }
  rows[] = {
      {__LINE__, on, Sz("proxyhost:8080"), "http://proxyhost", "8080"},
      {__LINE__, on, Sz("http=proxyhost:3128;ftp=otherhost:21"), "http://proxyhost", "3128"},
      {__LINE__, on, Sz("ftp=otherhost:21;http=proxyhost:3128"), "http://proxyhost", "3128"},
      {__LINE__, on, Sz("http://proxyhost:"), "http://proxyhost", "80"},
      {__LINE__, on, Sz("http=http://p:8000;https=s:443"), "http://p", "8000"},
      {__LINE__, on, Sz("proxyhost"), "http://proxyhost", "80"},
      // Only the first two bytes of a binary or numeric "ProxyEnable" count.
      {__LINE__, Value{REG_BINARY, std::string("\0\1", 2)}, Sz("p:1"), "http://p", "1"},
      {__LINE__, Value{REG_DWORD, std::string("\0\0\1\0", 4)}, Sz("p:1"), nullptr, nullptr},
      {__LINE__, Value{REG_BINARY, std::string("\1", 1)}, Sz("p:1"), nullptr, nullptr},
      {__LINE__, Sz("1"), Sz("p:1"), nullptr, nullptr},
      {__LINE__, std::nullopt, Sz("p:1"), nullptr, nullptr},
      {__LINE__, on, std::nullopt, nullptr, nullptr},
      {__LINE__, on, Sz(""), nullptr, nullptr},
      {__LINE__, on, Value{REG_EXPAND_SZ, std::string("p:1\0", 4)}, nullptr, nullptr},
  };
  const auto option = [](const char* name) { return ReadString(Product("Options"), name); };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    DeleteProductKeys();
    std::optional<Value> server = row.server;
    if (server && server->first == REG_SZ) server->second += '\0';  // as the system stores it
    WriteValue(HKEY_CURRENT_USER, InternetSettings, "ProxyEnable", row.enable);
    WriteValue(HKEY_CURRENT_USER, InternetSettings, "ProxyServer", server);
    CopyProxySettings();
    std::vector<std::optional<Value>> expected(3);
    if (row.host) expected = {Sz(row.host), Sz(row.port), Sz("1")};
    EXPECT_EQ((std::vector{option("Proxy Name"), option("Proxy Port"), option("Use Proxy")}),
              expected);
  }
}

TEST_F(PostSetTest, VersionTest) {
  const struct { int line; std::optional<MinimumVersion> version; bool older, numbered = true; } rows[] = {
      {__LINE__, MakeVersion(4, 71, 1712, 5), false},
      {__LINE__, MakeVersion(4, 72, 0, 0), false},
      {__LINE__, MakeVersion(4, 71, 1712, 4), true},
      {__LINE__, MakeVersion(4, 70, 0xFFFF, 0xFFFF), true},
      {__LINE__, std::nullopt, true},  // no version resource
      {__LINE__, MakeVersion(4, 72, 0, 0), true, false},  // one without numbers
      // Both halves compare signed: from major or build 0x8000 up it is older.
      {__LINE__, MakeVersion(0x8000, 0, 0, 0), true},
      {__LINE__, MakeVersion(4, 71, 0x8000, 0), true},
  };
  for (const auto& row : rows) {
    const fs::path file = temp / (std::to_string(row.line) + ".dll");
    WriteVersionedFile(file, row.version, row.numbered);
    EXPECT_EQ(IsOlderThan(file.string(), MakeVersion(4, 71, 1712, 5)), row.older) << row.line;
  }
  EXPECT_TRUE(IsOlderThan((temp / "missing.dll").string(), MakeVersion(4, 71, 1712, 5)));
}

TEST_F(PostSetTest, CopiesOverAnOlderLibrary) {
  OlderInstalled = {"Wininet.dll", "Shlwapi.dll"};
  ASSERT_TRUE(Run());
  EXPECT_EQ(Contents(System("Wininet.dll")), "new Wininet");
  EXPECT_EQ(Contents(System("Shlwapi.dll")), "new Shlwapi");
  EXPECT_FALSE(RestartNeeded);
  EXPECT_EQ(boxes.shown, std::vector<Shown>{Setup(texts::Success, MB_OK | MB_ICONASTERISK)});
}

// A library in use is staged and renamed at the next restart, which the
// closing question then offers; a restart that fails to begin falls back on
// the closing message. On NT the restart is asked for only once the token
// holds the shutdown privilege; Windows 9x needs none.
TEST_F(PostSetTest, SchedulesALibraryInUseAndOffersTheRestart) {
  // granted: the token receives the privilege; asked: the restart is asked for.
  const struct { int line; DWORD platform, major; bool pendingRename; int answer; bool granted, asked;
                 BOOL restarted; } rows[] = {
      {__LINE__, VER_PLATFORM_WIN32_NT, 4, true, IDNO, true, false, TRUE},  // else WinInit.ini
      {__LINE__, VER_PLATFORM_WIN32_NT, 4, true, IDYES, true, true, FALSE},
      {__LINE__, VER_PLATFORM_WIN32_NT, 4, true, IDYES, false, false, TRUE},
      {__LINE__, VER_PLATFORM_WIN32_NT, 3, false, IDYES, true, true, TRUE},
      {__LINE__, VER_PLATFORM_WIN32_WINDOWS, 4, false, IDYES, false, true, TRUE},
      {__LINE__, VER_PLATFORM_WIN32_WINDOWS, 4, false, IDYES, true, true, FALSE},
  };
  OlderInstalled = {"Wininet.dll"};
  const std::string staged = System("Wininet.$$$").string();
  const std::string target = System("Wininet.dll").string();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    boxes.shown.clear(), boxes.answers = {row.answer}, Events.clear(), ExitCalls.clear();
    RestartNeeded = false, ExitResult = row.restarted, Granted = row.granted;
    DeleteFileA(winInit.c_str());
    testutil::WriteFile(staged, "left by an earlier run");
    testutil::WriteFile(temp / "product" / "Wininet.dl_", "new Wininet");
    testutil::WriteFile(temp / "product" / "Shlwapi.dl_", "new Shlwapi");
    std::vector<std::string> pending = PendingRenames(sessionManager.get());
    FakePlatform = {row.platform, row.major};
    {
      const handles::UniqueFile running = InUse(target);
      ASSERT_TRUE(running && Run());
    }
    EXPECT_TRUE(RestartNeeded);
    EXPECT_EQ(Contents(staged), "new Wininet");
    EXPECT_EQ(Contents(target), "installed Wininet");
    if (row.pendingRename)
      pending.insert(pending.end(), {"\\??\\" + staged, "!\\??\\" + target});
    EXPECT_EQ(PendingRenames(sessionManager.get()), pending);
    char renamed[MAX_PATH] = {};
    GetPrivateProfileStringA("rename", target.c_str(), "", renamed, MAX_PATH, winInit.c_str());
    EXPECT_EQ(renamed, row.pendingRename ? "" : staged);
    EXPECT_FALSE(fs::exists(temp / "product" / "Shlwapi.dl_"));  // the other one is seen to
    const bool completed = !row.asked || !row.restarted;
    EXPECT_EQ(ExitCalls, row.asked ? std::vector<UINT>{EWX_REBOOT} : std::vector<UINT>{});
    std::vector<Shown> shown{Setup(texts::RestartQuestion, MB_YESNO | MB_ICONQUESTION)};
    if (completed) shown.push_back(Setup(texts::Completed, MB_OK | MB_ICONASTERISK));
    EXPECT_EQ(boxes.shown, shown);
    EXPECT_EQ(Events, std::string(15, 'f') + (completed ? "tBB" : "tB"));
  }
}

// NT cannot stage the copy; Windows 9x stages it but cannot write WinInit.ini.
TEST_F(PostSetTest, ALibraryThatCannotBeScheduledEndsTheSequenceWithTheInUseMessage) {
  const std::string unwritable = (temp / "missing" / "WinInit.ini").string();
  PostSetSystem.winInitFile = unwritable.c_str();
  OlderInstalled = {"Wininet.dll", "Shlwapi.dll"};
  for (const DWORD platform : {VER_PLATFORM_WIN32_NT, VER_PLATFORM_WIN32_WINDOWS}) {
    SCOPED_TRACE(platform);
    Events.clear(), boxes.shown.clear(), FakePlatform = {platform, 4};
    testutil::WriteFile(System("Wininet.$$$"), "held");
    {
      const handles::UniqueFile running = InUse(System("Wininet.dll"));
      const handles::UniqueFile staged = platform == VER_PLATFORM_WIN32_NT
                                             ? InUse(System("Wininet.$$$"))
                                             : handles::UniqueFile();
      ASSERT_TRUE(running && Run());
    }
    EXPECT_EQ(Events, std::string(12, 'f') + "tB");
    EXPECT_EQ(boxes.shown,
              std::vector<Shown>{Setup("Unable to complete the setup process as file \"" +
                                           System("Wininet.dll").string() +
                                           "\"is currently in use by another process.\r\rPlease, "
                                           "close all applicaions that are working at the moment "
                                           "and run this program, again.",
                                       MB_OK | MB_ICONHAND)});
    EXPECT_FALSE(RestartNeeded);
    // Nothing after the message; what was written before stays.
    EXPECT_TRUE(fs::exists(temp / "product" / "Wininet.dl_"));
    EXPECT_EQ(Contents(System("Shlwapi.dll")), "installed Shlwapi");
    EXPECT_EQ(ReadString(Product("Adverts"), "Password"), Sz("2957"));
  }
}

// A library's copy must hold what its record in the archive declared before
// it takes the library's place: one changed in the destination since (or
// with no record) is deleted, staged or not, and the installed library
// stays byte for byte. The sequence ends there, telling of no file in use,
// for the driver's damaged-setup message. NT checks the staged copy, so the
// product's stays; Windows 9x checks the product's copy before copying it.
std::string ShippedName, ShippedData;  // the one record the archive declares
bool Shipped(const std::string& name, uint32_t* size, uint32_t* check) {
  if (name != ShippedName) return false;
  const uint32_t n = uint32_t(ShippedData.size());
  const uint32_t preset = 0xFFFFFFFFu;
  *size = n;
  *check = UpdateCrc32(reinterpret_cast<const uint8_t*>(ShippedData.data()), &n, &preset);
  return true;
}

TEST_F(PostSetTest, ALibraryCopyMustMatchItsRecordBeforeItReplacesTheLibrary) {
  constexpr DWORD NT = VER_PLATFORM_WIN32_NT, Win9x = VER_PLATFORM_WIN32_WINDOWS;
  const struct { int line; DWORD platform; const char* name; const char* declared; bool inUse, copied; }
  rows[] = {
      {__LINE__, NT, "Wininet.dl_", "new Wininet", false, true},
      {__LINE__, NT, "Wininet.dl_", "new Wininet", true, true},  // staged for the restart
      {__LINE__, NT, "Wininet.dl_", "new WininetX", false, false},
      {__LINE__, NT, "Wininet.dl_", "new Wininex", true, false},
      {__LINE__, NT, "Other.dl_", "new Wininet", false, false},
      {__LINE__, Win9x, "Wininet.dl_", "new Wininet", false, true},
      {__LINE__, Win9x, "Wininet.dl_", "new Wininex", false, false},
  };
  OlderInstalled = {"Wininet.dll"};
  const fs::path target = System("Wininet.dll"), staged = System("Wininet.$$$");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.line);
    boxes.shown.clear(), boxes.answers = {IDNO}, RestartNeeded = false;
    FakePlatform = {r.platform, 4};
    testutil::WriteFile(target, "installed Wininet");
    DeleteFileA(staged.string().c_str());
    testutil::WriteFile(temp / "product" / "Wininet.dl_", "new Wininet");
    ShippedName = r.name, ShippedData = r.declared;
    {
      const handles::UniqueFile running = r.inUse ? InUse(target) : handles::UniqueFile();
      EXPECT_EQ(PostInstall(Dest(), owner, Pump, Shipped), r.copied);
    }
    EXPECT_EQ(Contents(target), r.copied && !r.inUse ? "new Wininet" : "installed Wininet");
    EXPECT_EQ(fs::exists(staged), r.copied && r.inUse);
    EXPECT_EQ(fs::exists(temp / "product" / "Wininet.dl_"), !r.copied && r.platform == NT);
    EXPECT_EQ(RestartNeeded, r.copied && r.inUse);
    EXPECT_TRUE(r.copied || boxes.shown.empty());
  }
}

// ---- The shortcuts.

TEST_F(PostSetTest, ReplacesTheFourShortcutsAndNothingElse) {
  ASSERT_TRUE(CreateDirectoryA(MenuFolder().string().c_str(), nullptr));
  testutil::WriteFile(MenuFolder() / "notes.txt", "mine");
  testutil::WriteFile(MenuFolder() / "Old name.lnk", "from an older version");
  ASSERT_TRUE(CreateDirectoryA((MenuFolder() / "sub.lnk").string().c_str(), nullptr));
  ASSERT_TRUE(Run());
  const std::string dest = Dest();
  const struct { int line; const char* file; LinkFields fields; } rows[] = {
      // The first name ends in two spaces, in the file name too.
      {__LINE__, "Pavlane  .lnk", {dest + "\\Pavlane.exe", "Pavlane  ", dest}},
      {__LINE__, "Pavlane Help.lnk",
       {dest + "\\Help\\contents.htm", "Pavlane Help", dest + "\\Help"}},
      {__LINE__, "Pavlane Report Library.lnk",
       {dest + "\\Library", "Pavlane Report Library", dest}},
      {__LINE__, "Pavlane Site Maps.lnk", {dest + "\\SiteMaps", "Pavlane Site Maps", dest}},
  };
  std::set<std::string> expected = {"notes.txt", "sub.lnk"};
  for (const auto& row : rows) {
    EXPECT_EQ(ReadLink(MenuFolder() / row.file), row.fields) << row.line;
    expected.insert(row.file);
  }
  EXPECT_EQ(FileNames(MenuFolder()), expected);
}

TEST_F(PostSetTest, MenuFolderOperations) {
  EXPECT_TRUE(CreateMenuFolder("Pavlane Orbit Suite"));
  EXPECT_FALSE(CreateMenuFolder("Pavlane Orbit Suite"));
  EXPECT_TRUE(AddMenuLink("", "At the top", Dest() + "\\Pavlane.exe"));
  EXPECT_TRUE(fs::exists(temp / "programs" / "At the top.lnk"));
  // Without a Programs folder nothing is touched.
  ProgramsFolder.clear();
  testutil::WriteFile(MenuFolder() / "kept.lnk", "x");
  DeleteMenuLinks("Pavlane Orbit Suite");
  EXPECT_FALSE(CreateMenuFolder("Another"));
  EXPECT_FALSE(AddMenuLink("Pavlane Orbit Suite", "Pavlane Help", Dest() + "\\Pavlane.exe"));
  EXPECT_EQ(FileNames(MenuFolder()), std::set<std::string>{"kept.lnk"});
}

TEST_F(PostSetTest, CreateLink) {
  const std::string dir = (temp / "programs").string();
  const size_t room = MAX_PATH - 1 - dir.size() - 5;  // for the name, the zero counted
  const struct { int line; std::string target, name; bool saved; std::string workingDir; }
  rows[] = {
      {__LINE__, "C:\\Pavlane.exe", "Root", true, "C:\\"},
      {__LINE__, "Pavlane.exe", "Bare", true, ""},
      {__LINE__, Dest() + "\\Pavlane.exe", std::string(room, 'n'), true, Dest()},
      {__LINE__, Dest() + "\\Pavlane.exe", std::string(room + 1, 'n'), false, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(CreateLink(row.target, dir, row.name, false), row.saved);
    const auto link = ReadLink(fs::path(dir) / (row.name + ".lnk"));
    ASSERT_EQ(link.has_value(), row.saved);
    if (link) {
      EXPECT_EQ(std::get<2>(*link), row.workingDir);
    }
  }
  EXPECT_FALSE(CreateLink(Dest() + "\\Pavlane.exe", (temp / "no such dir").string(), "x", true));
  // A thread whose COM is already set up another way saves nothing, and says so.
  std::thread([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_FALSE(CreateLink(Dest() + "\\Pavlane.exe", dir, "Free", false));
    CoUninitialize();
  }).join();
  EXPECT_FALSE(fs::exists(fs::path(dir) / "Free.lnk"));
}

// ---- The sample product's stand-in libraries.

TEST(SampleProductTest, StandInsBringTheMinimumVersionAndSayWhatTheyAre) {
  const char* binaryDir = std::getenv("PV_BINARY_DIR");
  if (!binaryDir) GTEST_SKIP() << "PV_BINARY_DIR names the build with the staged product";
  for (const auto& [name, minimum] : {std::pair{"Wininet.dl_", MakeVersion(4, 71, 1712, 5)},
                                      std::pair{"Shlwapi.dl_", MakeVersion(4, 71, 1712, 0)}}) {
    const std::string file = (fs::path(binaryDir) / "product" / name).string();
    // Once copied, the stand-in satisfies the next setup's test.
    EXPECT_FALSE(IsOlderThan(file, minimum)) << name;
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeA(file.c_str(), &ignored) + 1);
    void* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, DWORD(block.size()), block.data()) &&
                VerQueryValueA(block.data(), "\\StringFileInfo\\040904E4\\FileDescription", &text,
                               &length))
        << name;
    EXPECT_NE(std::string(static_cast<const char*>(text)).find("stand-in"), std::string::npos);
  }
}

}  // namespace
