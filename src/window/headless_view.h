// A view without a display: it keeps the window's message boxes, dialogs,
// timers and close requests as data, and fires timers by a clock that the
// caller supplies (the simulated machine's virtual clock in tests). Used by
// the tests and by front ends that run the window model without a screen.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "window/main_window.h"

namespace app {

class HeadlessView : public View {
 public:
  struct Clock {
    std::function<std::uint64_t()> now;
    std::function<void(std::uint64_t)> advance;  // by that many milliseconds
  };
  struct ShownMessage {
    std::string text;
    std::string caption;
    ui::Icon icon = ui::Icon::None;
  };

  // Without a clock the view keeps its own.
  explicit HeadlessView(Clock clock = {});

  // --- ui::WindowSystem ------------------------------------------------
  void ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) override;
  bool AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) override;
  bool OpenFile(const ui::OpenFileRequest& request, std::string& path) override;
  std::string ProgramFolder() override { return programFolder; }
  void ProcessMessages() override;
  void Repaint(const std::string& control) override;
  void StartTimer(unsigned id, unsigned milliseconds) override;
  void StopTimer(unsigned id) override;
  ui::NotifyHandle RegisterDeviceChanges() override;
  void UnregisterDeviceChanges(ui::NotifyHandle handle) override;
  void AcceptDroppedFiles(bool accept) override;
  void SetClientHeight(int height) override;
  void CloseMainWindow() override;

  // --- View --------------------------------------------------------------
  void Realize(MainWindow& window) override;
  void Show() override;

  // --- driving it ----------------------------------------------------------
  // Queues a message for the window; ProcessMessages delivers it.
  void Post(std::function<void(MainWindow&)> message);
  // Lets the clock run for ms, delivering posted messages and every timer
  // that falls due on the way (the idle message loop).
  void RunFor(std::uint64_t ms);
  std::uint64_t Now() const;
  bool TimerRunning(unsigned id) const { return timers_.count(id) != 0; }

  // --- what happened -------------------------------------------------------
  std::vector<ShownMessage> messages;
  // Called as each box comes up, while the window is as the box finds it.
  std::function<void(const ShownMessage&)> onMessage;
  std::vector<ShownMessage> questions;
  std::deque<bool> questionAnswers;  // an empty queue answers No, the default button
  std::vector<ui::OpenFileRequest> dialogs;
  std::deque<std::string> dialogAnswers;  // "" cancels; empty queue cancels
  std::vector<std::string> events;        // start-up and shut-down calls, in order
  std::map<std::string, int> repaints;
  std::string programFolder = "C:\\Tools";
  bool failRegistration = false;
  bool acceptsDrops = false;
  bool shown = false;
  bool closed = false;
  int clientHeight = kClientHeight;
  ui::NotifyHandle registered = 0;
  MainWindow* window = nullptr;

 private:
  struct Timer {
    unsigned period = 0;
    std::uint64_t due = 0;
  };
  void FireDueTimers();

  Clock clock_;
  std::uint64_t ownClock_ = 0;
  std::map<unsigned, Timer> timers_;
  std::deque<std::function<void(MainWindow&)>> queue_;
  bool closeRequested_ = false;
};

}  // namespace app
