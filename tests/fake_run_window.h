// A RunWindow that records what a procedure showed: every status line in
// order and every message box. It holds its own transfer settings and erase
// geometry, the defaults until a test sets them.
#pragma once

#include <string>
#include <vector>

#include "engine/run_window.h"
#include "host/host.h"

namespace testing_support {

struct ShownMessage {
  std::string text;
  std::string caption;
};

class FakeRunWindow : public program::RunWindow {
 public:
  const device::ChipState& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override {
    status_ = text;
    statuses.push_back(text);
  }
  void RepaintStatus(const std::string& text) override {
    ShowStatus(text);
    ++repaintsWithoutPump;
  }
  std::string StatusText() const override { return status_; }
  void Message(const std::string& text, const std::string& caption,
               program::MessageIcon) override {
    messages.push_back({text, caption});
  }
  void SetImageSignatureResult(std::int32_t result) override { signature = result; }
  void CheckIncludeNvram() override {
    options_.nvramChecked = true;
    facts_.includeNvram = 1;
  }
  void ProcessMessages() override { ++pumps; }
  // The run's own settings: a test sets them here, and no other test sees them.
  program::TransferSettings& transfer() const override { return transfer_; }
  program::EraseGeometry& geometry() const override { return geometry_; }
  // The installed host's, as a test installs it (its simulated clock).
  host::Clock& clock() const override { return host::Current().clock(); }
  host::Trace& trace() const override { return host::Current().trace(); }

  bool Showed(const std::string& text) const {
    for (const std::string& s : statuses)
      if (s == text) return true;
    return false;
  }

  mutable program::TransferSettings transfer_;
  mutable program::EraseGeometry geometry_;
  device::ChipState facts_;
  program::RunOptions options_;
  std::vector<std::string> statuses;
  std::vector<ShownMessage> messages;
  std::int32_t signature = 0;
  int repaintsWithoutPump = 0;
  int pumps = 0;  // ProcessMessages calls

 private:
  std::string status_;
};

}  // namespace testing_support
