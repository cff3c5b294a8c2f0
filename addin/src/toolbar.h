// The add-in's command bar "Vexmor", its popup menu, their click connections, the folder-switch
// retitling and the F8 key hook. Everything runs on the client's main thread.
#pragma once

#include <memory>

#include "vexmor/addin/commands.h"

namespace vexmor::addin {

class Toolbar {
 public:
  explicit Toolbar(const CommandContext& context);
  ~Toolbar();
  Toolbar(const Toolbar&) = delete;
  Toolbar& operator=(const Toolbar&) = delete;

  // Builds the bar and its menu; throws when a call of the client fails.
  void Build();
  // Connects the click events and the explorer's folder switch; throws on failure.
  void Connect();
  // The F8 hook; logs its own result.
  void InstallHook();
  // Disconnects every sink (the bar itself is temporary and goes with the client).
  void Disconnect();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vexmor::addin
