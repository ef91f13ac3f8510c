// The sample product's main program: one window that names the product.
// It stands in for the real application so that an installation has a
// program behind its first shortcut.
#include <windows.h>

#include "archive/ProductFiles.h"

namespace {

const char WindowClass[] = "PavlaneSampleWnd";
constexpr product::Joined Title{product::Joined{product::Name, " "}.text, product::Version};
const char* const Heading = product::Name;
const char Note[] = "Sample product installed by the Pavlane setup program.";

void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  SetBkMode(dc, TRANSPARENT);
  RECT upper = client, lower = client;
  upper.bottom = (client.top + client.bottom) / 2;
  lower.top = upper.bottom;
  DrawTextA(dc, Heading, -1, &upper, DT_CENTER | DT_BOTTOM | DT_SINGLELINE);
  DrawTextA(dc, Note, -1, &lower, DT_CENTER | DT_TOP | DT_SINGLELINE);
  EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_SIZE:
      InvalidateRect(window, nullptr, TRUE);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = WindowClass;
  if (!RegisterClassA(&windowClass)) return 1;
  HWND window = CreateWindowExA(0, WindowClass, Title.text, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 480, 240, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  ShowWindow(window, show);
  UpdateWindow(window);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}
