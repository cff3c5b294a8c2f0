// What the Windows tests of the user-interface library share: a throw-away install folder, the
// mail client's main window on a thread of its own, waits with a deadline, the controls' texts
// and screenshots of windows.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace vexmor::wine_test {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // With its trailing backslash, as the install folder is passed.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// A top-level window that plays the mail client's main window: its thread pumps messages, as a
// client's does, so dialogs it owns can disable and enable it.
class ClientWindow {
 public:
  ClientWindow();
  ~ClientWindow();
  ClientWindow(const ClientWindow&) = delete;
  ClientWindow& operator=(const ClientWindow&) = delete;

  HWND hwnd() const { return hwnd_; }

 private:
  std::thread thread_;
  HWND hwnd_ = nullptr;
  DWORD thread_id_ = 0;
};

// Polls until the condition holds or the deadline passes; true when it held.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(60));

// The top-level dialog (class "#32770") with this caption, or null.
HWND FindDialog(const std::string& caption);
// Waits for it (null when it never came).
HWND WaitForDialog(const std::string& caption);

std::string Text(HWND window);
std::string ItemText(HWND dialog, int id);
std::string ReadWholeFile(const std::string& path);

// Saves what the screen shows of the window as a 24-bit BMP file in $VEXMOR_EVIDENCE_DIR (or
// the current folder); returns the file's path, or "" when it could not be written.
std::string SaveScreenshot(HWND window, const std::string& name);
// How many distinct colours the screen shows inside the window (0 when it cannot be read).
int DistinctColours(HWND window);

// Runs "run" in a child process for which Wine draws the windows' frames and captions itself
// (so screenshots show them); the child's exit code is the result.
int RunWithOwnFrames(int argc, char** argv, int (*run)(int, char**));

}  // namespace vexmor::wine_test
