// Takes a picture of the "Choose Directory" dialog for the README: on the
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
#include <string>
#include <vector>

#include "seldir/SelDir.h"
#include "seldir/SelDirRes.h"
#include "tests/win/DialogScript.h"

using namespace dialogscript;

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
    RECT r;
    GetWindowRect(w, &r);
    UnionRect(&all, &all, &r);
  }
  Canvas canvas(all.right - all.left, all.bottom - all.top);
  for (int i = 0; i < canvas.width * canvas.height; ++i) canvas.pixels[i] = 0xFFFFFF;
  const handles::UniqueScreenDc screen(GetDC(nullptr));
  for (HWND w : windows) {
    RECT r;
    GetWindowRect(w, &r);
    BitBlt(canvas.dc.get(), r.left - all.left, r.top - all.top, r.right - r.left, r.bottom - r.top, screen.get(),
           r.left, r.top, SRCCOPY);
  }
  GdiFlush();
  return {canvas.width, canvas.height, std::vector<uint32_t>(canvas.pixels, canvas.pixels + canvas.width * canvas.height)};
}

// Two pictures side by side, top-aligned.
Image SideBySide(const Image& a, const Image& b, int gap) {
  Image out{a.width + gap + b.width, std::max(a.height, b.height), {}};
  out.pixels.assign(size_t(out.width) * size_t(out.height), 0xFFFFFF);
  for (int y = 0; y < a.height; ++y)
    std::copy_n(&a.pixels[size_t(y) * size_t(a.width)], a.width, &out.pixels[size_t(y) * size_t(out.width)]);
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
      return std::string(root) + "Program Files\\VelmSoft\\Pavlane";
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seldir_shot OUTPUT.bmp\n");
    return 2;
  }
  const handles::UniqueFont font = WelcomeFont();
  Image inUse, dropped;
  const Outcome o = RunDialog(
      StartFolder(),
      {[](HWND dialog) {
         HWND list = GetDlgItem(dialog, IDC_SELDIR_FOLDERS);
         ClickItem(list, int(SendMessageA(list, LB_GETCURSEL, 0, 0)), false);
       },
       [&](HWND dialog) {
         inUse = Capture({dialog});
         HWND drives = GetDlgItem(dialog, IDC_SELDIR_DRIVES);
         SetFocus(drives);
         PressKey(drives, VK_F4);
       },
       [](HWND dialog) {
         // Scrolled to the top, the dropped list shows every kind of drive.
         COMBOBOXINFO combo{};
         combo.cbSize = sizeof(combo);
         GetComboBoxInfo(GetDlgItem(dialog, IDC_SELDIR_DRIVES), &combo);
         PostMessageA(combo.hwndList, WM_VSCROLL, SB_TOP, 0);
       },
       [&](HWND dialog) {
         COMBOBOXINFO combo{};
         combo.cbSize = sizeof(combo);
         GetComboBoxInfo(GetDlgItem(dialog, IDC_SELDIR_DRIVES), &combo);
         dropped = Capture({dialog, combo.hwndList});
         PressKey(GetDlgItem(dialog, IDC_SELDIR_DRIVES), VK_ESCAPE);
       },
       [](HWND dialog) { PressKey(GetDlgItem(dialog, IDC_SELDIR_DRIVES), VK_ESCAPE); }},
      font.get());
  if (!o.problem.empty() || inUse.pixels.empty() || dropped.pixels.empty()) {
    std::fprintf(stderr, "seldir_shot: %s\n", o.problem.empty() ? "nothing captured" : o.problem.c_str());
    return 1;
  }
  if (!WriteBmp(argv[1], SideBySide(inUse, dropped, 16))) {
    std::fprintf(stderr, "seldir_shot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
