#include <windows.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "archive/ProductFiles.h"
#include "explode/Crc32.h"
#include "postset/PostSet.h"
#include "postset/Sequence.h"
#include "postset/shortcut.h"
#include "winbase/Handles.h"
#include "winbase/Messages.h"
#include "winbase/SysLib.h"

static_assert(sizeof(OSVERSIONINFOA) == 148, "the version record the system expects");
static_assert(sizeof(TOKEN_PRIVILEGES) == 16, "one privilege, as the previous state is read back");
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "the fixed part of a version resource");

PostSetCalls PostSetSystem;

SequenceContext Sequence;

namespace {

constexpr const char* ProductName = product::Name;
constexpr const char* UninstallKey = product::UninstallKey.text;
constexpr char InternetSettingsKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// Enough to write values and add subkeys, and no more.
constexpr REGSAM ProductKeyAccess =
    KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
static_assert(ProductKeyAccess == 0x1F);

constexpr char SuccessText[] =
    "Pavlane has been successfully installed.\r\rTo run the application, click the START "
    "button, then point to PROGRAMS, and select PAVLANE ORBIT SUITE.";
constexpr char RestartQuestion[] =
    "The Pavlane icon has been placed in the PROGRAMS menu.\r\rYou should restart your "
    "computer to complete the Pavlane setup. Would you like to do it now?";
constexpr char CompletedText[] =
    "The installation process has been completed. When you restart the computer, you may "
    "launch Pavlane by clicking onto the corresponding icon in the Programs menu.";

using product::MenuShortcut;
using product::MenuShortcuts;

struct SystemLibrary {
  const char* name;     // in the system directory
  const char* shipped;  // the product's copy, below the destination directory
  MinimumVersion minimum;
};
constexpr SystemLibrary SystemLibraries[] = {
    {"Wininet.dll", product::WininetCopy, MakeVersion(4, 71, 1712, 5)},
    {"Shlwapi.dll", product::ShlwapiCopy, MakeVersion(4, 71, 1712, 0)},
};

// A key below HKEY_LOCAL_MACHINE, created when missing, with default
// security; empty when it cannot be had.
handles::UniqueHkey CreateMachineKey(const std::string& path) {
  handles::UniqueHkey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      ProductKeyAccess, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return {};
  return key;
}

std::string ProductSubkey(const char* name) { return std::string(ProductKeyPath) + "\\" + name; }

// A string value. The size handed over leaves out the terminating zero;
// the NT registry stores one all the same. A failed write is not reported.
void SetString(HKEY key, const char* name, const std::string& data) {
  PostSetSystem.setValue(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         DWORD(data.size()));
}

// The type and size of a value, without its data.
bool QueryValueShape(HKEY key, const char* name, DWORD& type, DWORD& size) {
  type = REG_NONE;
  size = 0;
  return RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
}

// True when "ProxyEnable" is binary or numeric and one of its first two
// bytes is set.
bool ProxyEnabled(HKEY settings) {
  DWORD type, size;
  if (!QueryValueShape(settings, "ProxyEnable", type, size) ||
      (type != REG_BINARY && type != REG_DWORD))
    return false;
  std::vector<BYTE> data(size);
  return RegQueryValueExA(settings, "ProxyEnable", nullptr, nullptr, data.data(), &size) ==
             ERROR_SUCCESS &&
         size >= 2 && (data[0] != 0 || data[1] != 0);
}

// "ProxyServer" less its last byte (the terminating zero); false when it is
// not a string of at least one character.
bool ReadProxyServer(HKEY settings, std::string& server) {
  DWORD type, size;
  if (!QueryValueShape(settings, "ProxyServer", type, size) || type != REG_SZ || size <= 1)
    return false;
  std::string data(size, '\0');
  if (RegQueryValueExA(settings, "ProxyServer", nullptr, nullptr,
                       reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS ||
      size == 0)
    return false;  // changed since its shape was read
  data.resize(size - 1);
  server = data;
  return true;
}

// Host (with "http://") and port of the HTTP proxy in a "ProxyServer"
// text: a plain host:port, a URL, or a list of protocol=host:port entries.
void SplitProxyServer(std::string server, std::string& host, std::string& port) {
  if (const size_t at = server.find("http="); at != std::string::npos) {
    server.erase(0, at + 5);
    // The entry ends at the next ";", or with the list when it is the
    // last one.
    server.erase(std::min(server.find(';'), server.size()));
  }
  if (const size_t at = server.find("://"); at != std::string::npos) server.erase(0, at + 3);
  if (const size_t colon = server.find(':'); colon != std::string::npos) {
    host = "http://" + server.substr(0, colon);
    port = server.substr(colon + 1);
  } else {
    // A host without a port is served on the default one.
    host = "http://" + server;
    port.clear();
  }
  if (port.empty()) port = "80";
}

}  // namespace

void CopyProxySettings() {
  handles::UniqueHkey settings;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, InternetSettingsKey, 0, KEY_READ, settings.put()) !=
      ERROR_SUCCESS)
    return;
  std::string server;
  if (!ProxyEnabled(settings.get()) || !ReadProxyServer(settings.get(), server)) return;
  std::string host, port;
  SplitProxyServer(server, host, port);
  settings.reset();

  const handles::UniqueHkey options = CreateMachineKey(ProductSubkey("Options"));
  if (!options) return;
  SetString(options.get(), "Proxy Name", host);
  SetString(options.get(), "Proxy Port", port);
  SetString(options.get(), "Use Proxy", "1");
}

bool CopyIsShipped(const std::string& copy, const std::string& source) {
  if (!Sequence.shipped) return true;
  uint32_t size = 0, check = 0;
  const bool known = Sequence.shipped(source.substr(source.find_last_of('\\') + 1), &size, &check);
  uint32_t crc = 0xFFFFFFFFu;
  uint64_t length = 0;
  {
    handles::UniqueFile file(CreateFileA(copy.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::vector<uint8_t> chunk(65536);
    DWORD n = 0;
    bool read = bool(file);
    while (read && known && (read = ReadFile(file.get(), chunk.data(), DWORD(chunk.size()), &n,
                                             nullptr) != FALSE) && n > 0) {
      const uint32_t count = n;
      crc = UpdateCrc32(chunk.data(), &count, &crc);
      length += n;
    }
    if (read && known && length == size && crc == check) return true;
  }
  DeleteFileA(copy.c_str());
  return false;
}

namespace {

// What became of a system library.
enum class LibraryUpdate {
  Done,      // recent enough, replaced, or scheduled for the next restart
  Mismatch,  // the product's copy is not what the archive declared: the
             // library is untouched, and so is everything else
  InUse,     // older, in use, and not to be scheduled either: the in-use
             // message has been shown
};

// Brings one system library up to its minimum version. Nothing unchecked
// ever takes the library's place: on NT the product's copy goes to the
// staged name beside it, is checked against its record there, where only
// administrators write, and only then is moved over the library (at the
// next restart, when the library is in use). Windows 9x, where anyone may
// write anywhere, checks the product's copy before copying it. The
// product's copy goes in the end, needed or not.
LibraryUpdate UpdateSystemLibrary(const SystemLibrary& library, const std::string& destDir) {
  const std::string source = destDir + library.shipped;
  const std::string target = Sequence.systemDir + "\\" + library.name;
  if (PostSetSystem.isOlderThan(target, library.minimum)) {
    bool placed = false;
    if (Sequence.version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
      const std::string staged = StagedLibraryPath(library.name);
      if (CopyFileA(source.c_str(), staged.c_str(), FALSE)) {
        if (!CopyIsShipped(staged, source)) return LibraryUpdate::Mismatch;
        // A failed move means the library is in use.
        placed = MoveFileExA(staged.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ||
                 ScheduleReplacement(staged, library.name);
      }
    } else {
      if (!CopyIsShipped(source, source)) return LibraryUpdate::Mismatch;
      // A copy that fails means the library is in use.
      placed = CopyFileA(source.c_str(), target.c_str(), FALSE) ||
               ReplaceAtRestart(library.name, source);
    }
    if (!placed) {
      ReportFileInUse(target);
      return LibraryUpdate::InUse;
    }
  }
  Sequence.pump(false);
  DeleteFileA(source.c_str());
  return LibraryUpdate::Done;
}

// Asks the system to restart. True when the restart has begun. On the NT
// platform the process first needs the shutdown privilege, and only a
// token that really received it may try.
bool BeginRestart() {
  if (Sequence.version.dwPlatformId != VER_PLATFORM_WIN32_NT)
    return PostSetSystem.exitWindows(EWX_REBOOT, 0) != 0;
  handles::UniqueKernelHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put()))
    return false;  // not even the process's own token
  TOKEN_PRIVILEGES shutdown{};
  shutdown.PrivilegeCount = 1;
  shutdown.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &shutdown.Privileges[0].Luid))
    return false;  // a privilege every NT knows
  TOKEN_PRIVILEGES previous{};
  DWORD previousSize = 0;
  // A success that could not assign the privilege says so only through
  // the last error.
  SetLastError(ERROR_SUCCESS);
  if (!PostSetSystem.adjustPrivileges(token.get(), FALSE, &shutdown, sizeof previous,
                                      &previous, &previousSize) ||
      GetLastError() != ERROR_SUCCESS)
    return false;
  return PostSetSystem.exitWindows(EWX_REBOOT, 0) != 0;
}

// The closing message, or the restart the user asked for.
void Finish() {
  if (!RestartNeeded) {
    ShowMessageBox(Sequence.owner, SuccessText, SetupCaption, MB_OK | MB_ICONASTERISK);
    return;
  }
  const int answer =
      ShowMessageBox(Sequence.owner, RestartQuestion, SetupCaption, MB_YESNO | MB_ICONQUESTION);
  if (answer == IDYES && BeginRestart()) return;
  ShowMessageBox(Sequence.owner, CompletedText, SetupCaption, MB_OK | MB_ICONASTERISK);
}

}  // namespace

bool PostInstall(const std::string& destDir, HWND owner, MessagePumpProc pump,
                 ShippedFileProc shipped) {
  Sequence = SequenceContext{};
  Sequence.owner = owner;
  Sequence.pump = pump;
  Sequence.shipped = shipped;
  Sequence.version.dwOSVersionInfoSize = sizeof Sequence.version;
  PostSetSystem.getVersion(&Sequence.version);

  DeleteMenuLinks(ProductName);
  pump(false);
  CreateMenuFolder(ProductName);
  pump(false);
  for (const MenuShortcut& shortcut : MenuShortcuts) {
    AddMenuLink(ProductName, shortcut.name, destDir + shortcut.target);
    pump(false);
  }

  char systemDir[MAX_PATH];
  UINT length = PostSetSystem.systemDirectory(systemDir, MAX_PATH);
  if (length >= MAX_PATH) length = 0;  // too long for the buffer, which then holds nothing
  if (length == 0) {
    pump(true);
    ShowMessageBox(owner, "Unable to determine Windows' System Directory", ErrorCaption,
                   MB_OK | MB_ICONHAND);
    return true;
  }
  Sequence.systemDir.assign(systemDir, length);

  if (const handles::UniqueHkey uninstall = CreateMachineKey(UninstallKey)) {
    SetString(uninstall.get(), "DisplayName", ProductName);
    SetString(uninstall.get(), "UninstallString", "\"" + destDir + product::Uninstaller + "\"");
  }
  pump(false);
  const std::string sampleQuery = destDir + product::SampleQuery;
  pump(false);
  if (const handles::UniqueHkey autoOpen = CreateMachineKey(ProductSubkey("Auto-open")))
    SetString(autoOpen.get(), "File 1", sampleQuery);
  pump(false);
  if (const handles::UniqueHkey history = CreateMachineKey(ProductSubkey("History")))
    SetString(history.get(), "File 1", sampleQuery);
  pump(false);
  if (const handles::UniqueHkey adverts = CreateMachineKey(ProductSubkey("Adverts"))) {
    SetString(adverts.get(), "Application", "Pavlane");
    SetString(adverts.get(), "Password", "2957");
  }
  pump(false);
  CopyProxySettings();
  pump(false);

  for (size_t i = 0; i < std::size(SystemLibraries); ++i) {
    if (i > 0) pump(false);
    switch (UpdateSystemLibrary(SystemLibraries[i], destDir)) {
      case LibraryUpdate::Done:
        break;
      case LibraryUpdate::Mismatch:
        return false;
      case LibraryUpdate::InUse:
        return true;
    }
  }

  pump(true);
  SetForegroundWindow(owner);
  Finish();
  return true;
}

bool IsOlderThan(const std::string& path, MinimumVersion minimum) {
  // version.dll is not one of the libraries the system always takes from
  // its own directory, so it is never linked: a copy beside the setup would
  // win.
  auto infoSize = SystemFunction<decltype(&GetFileVersionInfoSizeA)>("version.dll",
                                                                     "GetFileVersionInfoSizeA");
  auto readInfo =
      SystemFunction<decltype(&GetFileVersionInfoA)>("version.dll", "GetFileVersionInfoA");
  auto query = SystemFunction<decltype(&VerQueryValueA)>("version.dll", "VerQueryValueA");
  // Without the system's version functions nothing can be judged, and the
  // libraries are left alone rather than replaced blindly.
  if (!infoSize || !readInfo || !query) return false;

  DWORD ignored = 0;
  const DWORD size = infoSize(path.c_str(), &ignored);
  if (size == 0) return true;
  std::vector<BYTE> block(size);
  if (!readInfo(path.c_str(), 0, size, block.data())) return true;
  void* fixed = nullptr;
  UINT fixedSize = 0;
  if (!query(block.data(), "\\", &fixed, &fixedSize) || !fixed ||
      fixedSize < sizeof(VS_FIXEDFILEINFO))
    return true;
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  const auto fileHigh = int32_t(info->dwFileVersionMS), fileLow = int32_t(info->dwFileVersionLS);
  const auto minHigh = int32_t(minimum.mostSignificant);
  const auto minLow = int32_t(minimum.leastSignificant);
  return fileHigh < minHigh || (fileHigh == minHigh && fileLow < minLow);
}
