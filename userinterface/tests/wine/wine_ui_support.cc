#include "wine_ui_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <vector>

namespace vexmor::wine_test {
namespace {

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
  return narrow;
}

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return wide;
}

LRESULT CALLBACK ClientProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_DESTROY) {
    ::PostQuitMessage(0);
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

// The screen's pixels under the window, bottom row first, 24 bits each, rows padded to four.
struct Capture {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> bits;
  int stride() const { return (width * 3 + 3) & ~3; }
};

Capture CaptureWindow(HWND window) {
  Capture capture;
  // What the screen shows lags behind the controls' state until the window has painted: paint
  // it now (its own thread does, while this one waits).
  ::RedrawWindow(window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT rect{};
  if (!::GetWindowRect(window, &rect)) return capture;
  capture.width = rect.right - rect.left;
  capture.height = rect.bottom - rect.top;
  if (capture.width <= 0 || capture.height <= 0) return {};
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = capture.width;
  info.bmiHeader.biHeight = capture.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    if (::BitBlt(memory, 0, 0, capture.width, capture.height, screen, rect.left, rect.top,
                 SRCCOPY)) {
      ::GdiFlush();
      const auto* begin = static_cast<const unsigned char*>(bits);
      capture.bits.assign(begin, begin + capture.stride() * capture.height);
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
  }
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  if (capture.bits.empty()) return {};
  return capture;
}

}  // namespace

TempFolder::TempFolder() {
  char base[MAX_PATH] = {};
  ::GetTempPathA(sizeof base, base);
  static int serial = 0;
  for (;;) {
    std::string candidate = std::string(base) + "vexmor-ui-" +
                            std::to_string(::GetCurrentProcessId()) + "-" +
                            std::to_string(++serial);
    if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate + "\\";
      return;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) std::abort();
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ClientWindow::ClientWindow() {
  std::promise<std::pair<HWND, DWORD>> made;
  std::future<std::pair<HWND, DWORD>> made_future = made.get_future();
  thread_ = std::thread([&made] {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = ClientProc;
    window_class.hInstance = ::GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"VexmorTestMailClient";
    ::RegisterClassW(&window_class);  // a second window finds it registered
    HWND hwnd = ::CreateWindowW(L"VexmorTestMailClient", L"Mail client", WS_OVERLAPPEDWINDOW, 0, 0,
                                640, 480, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    made.set_value({hwnd, ::GetCurrentThreadId()});
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  });
  const auto [hwnd, thread_id] = made_future.get();
  hwnd_ = hwnd;
  thread_id_ = thread_id;
}

ClientWindow::~ClientWindow() {
  if (hwnd_ != nullptr)
    ::PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  else
    ::PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
  thread_.join();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

HWND FindDialog(const std::string& caption) {
  return ::FindWindowW(L"#32770", Wide(caption).c_str());
}

HWND WaitForDialog(const std::string& caption) {
  HWND found = nullptr;
  WaitUntil([&] {
    found = FindDialog(caption);
    return found != nullptr && ::IsWindowVisible(found);
  });
  return found;
}

std::string Text(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), length + 1)));
  return Utf8(text);
}

std::string ItemText(HWND dialog, int id) {
  return Text(::GetDlgItem(dialog, id));
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string SaveScreenshot(HWND window, const std::string& name) {
  const Capture capture = CaptureWindow(window);
  if (capture.bits.empty()) return {};
  const char* folder = std::getenv("VEXMOR_EVIDENCE_DIR");
  std::string path = folder != nullptr && *folder != '\0' ? std::string(folder) + "\\" : "";
  path += name + ".bmp";
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = capture.width;
  header.biHeight = capture.height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biSizeImage = static_cast<DWORD>(capture.bits.size());
  BITMAPFILEHEADER file_header{};
  file_header.bfType = 0x4D42;  // "BM"
  file_header.bfOffBits = sizeof file_header + sizeof header;
  file_header.bfSize = file_header.bfOffBits + header.biSizeImage;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(&file_header), sizeof file_header);
  file.write(reinterpret_cast<const char*>(&header), sizeof header);
  file.write(reinterpret_cast<const char*>(capture.bits.data()),
             static_cast<std::streamsize>(capture.bits.size()));
  file.close();
  return file ? path : std::string();
}

int DistinctColours(HWND window) {
  const Capture capture = CaptureWindow(window);
  std::set<unsigned> colours;
  for (int y = 0; y < capture.height; ++y) {
    const unsigned char* row = capture.bits.data() + y * capture.stride();
    for (int x = 0; x < capture.width; ++x) {
      colours.insert(row[x * 3] | (row[x * 3 + 1] << 8) | (row[x * 3 + 2] << 16));
    }
  }
  return static_cast<int>(colours.size());
}

int RunWithOwnFrames(int argc, char** argv, int (*run)(int, char**)) {
  constexpr char kChild[] = "VEXMOR_UI_FRAMES_SET";
  if (std::getenv(kChild) != nullptr) return run(argc, argv);
  // Wine leaves the frame to the window manager, and a bare X server has none: asked to draw the
  // frames itself, it shows the captions too. It reads this when a process starts, so the tests
  // run in a child process started after it is set. Windows ignores the key.
  HKEY key = nullptr;
  if (::RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    ::RegSetValueExA(key, "Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
    ::RegCloseKey(key);
  }
  ::SetEnvironmentVariableA(kChild, "1");
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  std::string command = ::GetCommandLineA();
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &child)) {
    return run(argc, argv);
  }
  ::WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(child.hProcess, &code);
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
  return static_cast<int>(code);
}

}  // namespace vexmor::wine_test
