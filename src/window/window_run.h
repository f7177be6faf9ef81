// What a procedure sees of the main window, for Run and for the procedures
// the selection handler runs itself (the firmware bank repair), and the guard
// that keeps one procedure at a time.
#pragma once

#include <string>

#include "host/host.h"
#include "window/main_window.h"
#include "engine/run_window.h"

namespace app {

// Marks the window busy with a procedure for its lifetime. While it holds,
// control events pumped by the procedure's status updates wait until it ends
// and a press of Run is dropped, so no second run or repair starts inside
// it. A scope opened while another holds does not hold: check held().
class ProcedureScope {
 public:
  explicit ProcedureScope(MainWindow& window);
  ~ProcedureScope();
  ProcedureScope(const ProcedureScope&) = delete;
  ProcedureScope& operator=(const ProcedureScope&) = delete;
  bool held() const { return held_; }

 private:
  MainWindow& window_;
  bool held_;
};

// The window as a procedure sees it. The chip record and the options are
// copied when it is made: nothing the user does while the procedure pumps
// messages changes them for this procedure.
class WindowRun : public program::RunWindow {
 public:
  explicit WindowRun(MainWindow& window);

  const program::ChipState& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override;
  void RepaintStatus(const std::string& text) override;
  std::string StatusText() const override;
  void Message(const std::string& text, const std::string& caption,
               program::MessageIcon icon) override;
  void SetImageSignatureResult(std::int32_t result) override;
  void CheckIncludeNvram() override;
  void ProcessMessages() override;
  program::TransferSettings& transfer() const override { return w_.transferSettings; }
  program::EraseGeometry& geometry() const override { return w_.eraseGeometry; }
  // The host of the event the run is in: its clock waits through the window
  // system, which keeps the window alive while the time passes.
  host::Clock& clock() const override { return w_.host().clock(); }
  host::Trace& trace() const override { return w_.host().trace(); }

 private:
  MainWindow& w_;
  program::ChipState facts_;
  program::RunOptions options_;
};

}  // namespace app
