// A RunWindow that records what a procedure showed: every status line in
// order and every message box.
#pragma once

#include <string>
#include <vector>

#include "program/run_window.h"

namespace testing_support {

struct ShownMessage {
  std::string text;
  std::string caption;
};

class FakeRunWindow : public program::RunWindow {
 public:
  const program::ChipFacts& facts() const override { return facts_; }
  program::RunOptions options() const override { return options_; }
  void ShowStatus(const std::string& text) override {
    status_ = text;
    statuses.push_back(text);
  }
  std::string StatusText() const override { return status_; }
  void Message(const std::string& text, const std::string& caption,
               program::MessageIcon) override {
    messages.push_back({text, caption});
  }
  void SetImageSignatureResult(std::int32_t result) override { signature = result; }
  void PaintStatus(const std::string& text) override {
    ++paintOnly;
    status_ = text;
    statuses.push_back(text);
  }
  void ProcessMessages() override { ++pumps; }
  void CheckIncludeNvram() override { checkedNvram = true; }

  bool Showed(const std::string& text) const {
    for (const std::string& s : statuses)
      if (s == text) return true;
    return false;
  }

  program::ChipFacts facts_;
  program::RunOptions options_;
  std::vector<std::string> statuses;
  std::vector<ShownMessage> messages;
  std::int32_t signature = 0;
  int paintOnly = 0;  // status updates that did not process messages
  int pumps = 0;      // ProcessMessages calls
  bool checkedNvram = false;  // the procedure checked "Include 4K NVRAM"

 private:
  std::string status_;
};

}  // namespace testing_support
