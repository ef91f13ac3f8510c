// seldir_shot: the demo's picture of the "Choose Directory" dialog: on the
// left with the folder list in use, on the right with the drive list dropped
// down. Opens the dialog in the PVTEST drive's folder tree that
// tests/win/wine-setup.sh makes (or in the current directory without it) and
// writes a 24-bit BMP to the path given as its one argument.
//
//   seldir_shot choose-directory.bmp
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "archive/ProductFiles.h"
#include "seldir/SelDir.h"
#include "seldir/SelDirRes.h"
#include "winbase/Handles.h"

namespace {

struct Image {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
};

// The windows as the screen shows them, each at its place relative to the
// first, on a plain background.
Image Capture(const std::vector<HWND>& windows) {
  RECT all;
  GetWindowRect(windows[0], &all);
  for (HWND w : windows) {
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r;
    GetWindowRect(w, &r);
    UnionRect(&all, &all, &r);
  }
  Image image{all.right - all.left, all.bottom - all.top, {}};
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), image.width, -image.height /* top row first */, 1, 32,
                    BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  const handles::UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
  const handles::UniqueBitmap bitmap(
      CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bits) return {};
  const HGDIOBJ old = SelectObject(dc.get(), bitmap.get());
  PatBlt(dc.get(), 0, 0, image.width, image.height, WHITENESS);
  const handles::UniqueScreenDc screen(GetDC(nullptr));
  for (HWND w : windows) {
    RECT r;
    GetWindowRect(w, &r);
    BitBlt(dc.get(), r.left - all.left, r.top - all.top, r.right - r.left, r.bottom - r.top,
           screen.get(), r.left, r.top, SRCCOPY);
  }
  GdiFlush();
  const auto* pixels = static_cast<const uint32_t*>(bits);
  image.pixels.assign(pixels, pixels + size_t(image.width) * size_t(image.height));
  SelectObject(dc.get(), old);
  return image;
}

// Two pictures side by side, top-aligned.
Image SideBySide(const Image& a, const Image& b, int gap) {
  Image out{a.width + gap + b.width, std::max(a.height, b.height), {}};
  out.pixels.assign(size_t(out.width) * size_t(out.height), 0xFFFFFF);
  for (int y = 0; y < a.height; ++y)
    std::copy_n(&a.pixels[size_t(y) * size_t(a.width)], a.width,
                &out.pixels[size_t(y) * size_t(out.width)]);
  for (int y = 0; y < b.height; ++y)
    std::copy_n(&b.pixels[size_t(y) * size_t(b.width)], b.width,
                &out.pixels[size_t(y) * size_t(out.width) + size_t(a.width + gap)]);
  return out;
}

bool WriteBmp(const char* path, const Image& image) {
  const uint32_t rowBytes = (uint32_t(image.width) * 3 + 3) & ~3u;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  static_assert(sizeof(file) == 14 && sizeof(info) == 40, "BMP headers are 14 and 40 bytes");
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(info);
  file.bfSize = file.bfOffBits + rowBytes * uint32_t(image.height);
  info.biSize = sizeof(info);
  info.biWidth = image.width;
  info.biHeight = image.height;  // bottom row first
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&info), sizeof(info));
  std::vector<char> row(rowBytes, 0);
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) {
      const uint32_t p = image.pixels[size_t(y) * size_t(image.width) + size_t(x)];
      row[size_t(x) * 3] = char(p & 0xFF);
      row[size_t(x) * 3 + 1] = char(p >> 8 & 0xFF);
      row[size_t(x) * 3 + 2] = char(p >> 16 & 0xFF);
    }
    out.write(row.data(), std::streamsize(row.size()));
  }
  return bool(out);
}

// Where the picture opens: the PVTEST drive's product folder, if it is there.
std::string StartFolder() {
  for (char c = 'A'; c <= 'Z'; ++c) {
    const char root[] = {c, ':', '\\', '\0'};
    char label[MAX_PATH] = "";
    if (GetDriveTypeA(root) == DRIVE_FIXED &&
        GetVolumeInformationA(root, label, MAX_PATH, nullptr, nullptr, nullptr, nullptr, 0) &&
        std::string(label) == "PVTEST")
      return std::string(root) + "Program Files" + product::DefaultDestination.text;
  }
  char current[MAX_PATH];
  return std::string(current, GetCurrentDirectoryA(MAX_PATH, current));
}

// The font the welcome dialog hands over: the message font, 11 pixels high.
handles::UniqueFont WelcomeFont() {
  NONCLIENTMETRICSA metrics{};
  metrics.cbSize = sizeof(metrics);
  if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) return {};
  metrics.lfMessageFont.lfHeight = -11;
  return handles::UniqueFont(CreateFontIndirectA(&metrics.lfMessageFont));
}

// The pictures are taken from inside the dialog's modal loop: each tick of
// a thread timer runs the next step, the dialog having painted since.
Image InUse, Dropped;
size_t NextStep = 0;

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
  HWND dialog = FindWindowA(nullptr, "Choose Directory");
  if (!dialog) return;
  HWND drives = GetDlgItem(dialog, IDC_SELDIR_DRIVES);
  COMBOBOXINFO combo{};
  combo.cbSize = sizeof(combo);
  switch (NextStep++) {
    case 0:  // the current folder shows selected while the list has the focus
      SetFocus(GetDlgItem(dialog, IDC_SELDIR_FOLDERS));
      break;
    case 1:
      InUse = Capture({dialog});
      SetFocus(drives);
      SendMessageA(drives, CB_SHOWDROPDOWN, TRUE, 0);
      // Scrolled to the top, the dropped list shows every kind of drive.
      GetComboBoxInfo(drives, &combo);
      SendMessageA(combo.hwndList, WM_VSCROLL, SB_TOP, 0);
      break;
    default:
      GetComboBoxInfo(drives, &combo);
      Dropped = Capture({dialog, combo.hwndList});
      SendMessageA(drives, CB_SHOWDROPDOWN, FALSE, 0);
      EndDialog(dialog, 0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seldir_shot OUTPUT.bmp\n");
    return 2;
  }
  const handles::UniqueFont font = WelcomeFont();
  const UINT_PTR timer = SetTimer(nullptr, 0, 500, Tick);
  ChooseDirectory(nullptr, StartFolder(), font.get());
  KillTimer(nullptr, timer);
  if (InUse.pixels.empty() || Dropped.pixels.empty()) {
    std::fprintf(stderr, "seldir_shot: nothing captured\n");
    return 1;
  }
  if (!WriteBmp(argv[1], SideBySide(InUse, Dropped, 16))) {
    std::fprintf(stderr, "seldir_shot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
