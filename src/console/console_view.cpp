#include "console/console_view.h"

#include "console/console.h"
#include "console/text.h"

namespace app {

void ConsoleView::Diagnostic(std::string_view line) {
  if (progress_ != nullptr) progress_->Clear();
  if (out_ == stdout) EndLine();
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  if (progress_ != nullptr) progress_->Redraw();
}

void ConsoleView::ShowMessage(const std::string& text, const std::string& caption, ui::Icon icon) {
  HeadlessView::ShowMessage(text, caption, icon);
  EndLine();
  if (log_ != nullptr) log_->Box(caption, text);
  if (events_ != nullptr) {
    events_->push_back({true, text, caption});
    return;
  }
  PrintAboveProgress("[" + caption + "] " + OneLine(text) + "\n");
}

bool ConsoleView::AskYesNo(const std::string& text, const std::string& caption, ui::Icon icon) {
  questionAnswers.assign(1, answerYes);
  const bool yes = HeadlessView::AskYesNo(text, caption, icon);
  EndLine();
  const char* answer = yes ? "Yes" : "No";
  if (log_ != nullptr) log_->Box(caption, text, answer);
  // The run's outcome tells the answer in the JSON document.
  if (events_ != nullptr) {
    events_->push_back({true, text, caption});
    return yes;
  }
  PrintAboveProgress("[" + caption + "] " + OneLine(text) + " -> " + answer + "\n");
  return yes;
}

void ConsoleView::Repaint(const std::string& control) {
  HeadlessView::Repaint(control);
  if (window == nullptr || control != window->StatusEdit.name()) return;
  const std::string& text = window->StatusEdit.text();
  if (text == shown_) return;
  const bool continues = lineOpen_ && !shown_.empty() && text.size() > shown_.size() &&
                         text.compare(0, shown_.size(), shown_) == 0;
  if (log_ != nullptr && (continues || !text.empty()))
    log_->Status(continues ? text.substr(shown_.size()) : text, continues);
  if (events_ != nullptr) {
    Record(text, continues);
  } else if (!quiet_) {
    PrintStatus(text, continues);
  }  // quiet: only the log keeps them
  shown_ = text;
  std::fflush(out_);
}

void ConsoleView::PrintStatus(const std::string& text, bool continues) {
  if (continues) {
    Print(OneLine(text.substr(shown_.size())));
    return;
  }
  EndLine();
  if (!text.empty()) {
    Print("status: " + OneLine(text));
    lineOpen_ = true;
  }
}

void ConsoleView::EndLine() {
  if (!lineOpen_) return;
  lineOpen_ = false;
  if (events_ != nullptr) return;
  if (Live()) {
    // The line is done: printed whole where the live line was.
    progress_->Clear();
    std::fputs((open_ + "\n").c_str(), out_);
    open_.clear();
    progress_->Show(open_);
    return;
  }
  std::fputc('\n', out_);
  std::fflush(out_);
}

void ConsoleView::Record(const std::string& text, bool continues) {
  if (continues) {
    events_->back().text = text;
    return;
  }
  EndLine();
  if (text.empty()) return;
  events_->push_back({false, text, ""});
  lineOpen_ = true;
}

void ConsoleView::Print(const std::string& piece) {
  if (!Live()) {
    std::fputs(piece.c_str(), out_);
    return;
  }
  open_ += piece;
  progress_->Show(open_);
}

void ConsoleView::PrintAboveProgress(const std::string& line) {
  if (progress_ != nullptr) progress_->Clear();
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
  if (progress_ != nullptr) progress_->Redraw();
}

void VerboseWatch::Command(const CommandSeen& c) {
  const std::string cdb =
      HexBytes(c.cdb, c.cdbLength > 0 ? static_cast<std::size_t>(c.cdbLength) : 0);
  if (progress_ != nullptr) progress_->Clear();
  std::fprintf(err_, "command: %s %s %u %s, %u bytes moved\n",
               PrintableText(c.path != nullptr ? *c.path : "?").c_str(), c.dataIn ? "in" : "out",
               c.length, cdb.c_str(), c.moved);
  if (!c.ok || c.status != 0)
    std::fprintf(err_, "command: failed, error %u, SCSI status %02X\n", c.lastError, c.status);
  if (progress_ != nullptr) progress_->Redraw();
}

}  // namespace app
