#include "window/headless_view.h"

#include <algorithm>
#include <utility>

namespace app {

HeadlessView::HeadlessView(Clock clock) : clock_(std::move(clock)) {
  if (!clock_.now) clock_.now = [this] { return ownClock_; };
  if (!clock_.advance) clock_.advance = [this](std::uint64_t ms) { ownClock_ += ms; };
}

std::uint64_t HeadlessView::Now() const { return clock_.now(); }

void HeadlessView::ShowMessage(const std::string& text, const std::string& caption,
                               ui::Icon icon) {
  messages.push_back({text, caption, icon});
  if (onMessage) onMessage(messages.back());
}

bool HeadlessView::AskYesNo(const std::string& text, const std::string& caption,
                            ui::Icon icon) {
  questions.push_back({text, caption, icon});
  if (questionAnswers.empty()) return false;
  const bool yes = questionAnswers.front();
  questionAnswers.pop_front();
  return yes;
}

bool HeadlessView::OpenFile(const ui::OpenFileRequest& request, std::string& path) {
  dialogs.push_back(request);
  if (dialogAnswers.empty()) return false;
  path = dialogAnswers.front();
  dialogAnswers.pop_front();
  return !path.empty();
}

void HeadlessView::ProcessMessages() {
  // Like a real queue: what is posted first goes first; timers come when
  // nothing else is waiting.
  while (!queue_.empty() || closeRequested_) {
    if (closeRequested_) {
      closeRequested_ = false;
      if (window != nullptr && !closed && window->QueryClose()) {
        closed = true;
        events.push_back("close");
        window->FormDestroy();
      }
      continue;
    }
    auto message = std::move(queue_.front());
    queue_.pop_front();
    if (window != nullptr && !closed) message(*window);
  }
  FireDueTimers();
}

void HeadlessView::FireDueTimers() {
  const std::uint64_t now = clock_.now();
  for (;;) {
    auto due = std::find_if(timers_.begin(), timers_.end(),
                            [now](const auto& t) { return t.second.due <= now; });
    if (due == timers_.end() || window == nullptr || closed) return;
    const unsigned id = due->first;
    // One message however many periods went by, as WM_TIMER does.
    due->second.due = now + due->second.period;
    window->OnTimer(id);
  }
}

void HeadlessView::RunFor(std::uint64_t ms) {
  const std::uint64_t end = clock_.now() + ms;
  ProcessMessages();
  for (;;) {
    const std::uint64_t now = clock_.now();
    if (now >= end) return;
    std::uint64_t next = end;
    for (const auto& [id, timer] : timers_)
      if (timer.due > now) next = std::min(next, timer.due);
    clock_.advance(next - now);
    ProcessMessages();
  }
}

void HeadlessView::Repaint(const std::string& control) { ++repaints[control]; }

void HeadlessView::StartTimer(unsigned id, unsigned milliseconds) {
  timers_[id] = Timer{milliseconds, clock_.now() + milliseconds};
}

void HeadlessView::StopTimer(unsigned id) { timers_.erase(id); }

ui::NotifyHandle HeadlessView::RegisterDeviceChanges() {
  events.push_back("register");
  registered = failRegistration ? 0 : 0x5EED;
  return registered;
}

void HeadlessView::UnregisterDeviceChanges(ui::NotifyHandle handle) {
  events.push_back("unregister");
  if (handle == registered) registered = 0;
}

void HeadlessView::AcceptDroppedFiles(bool accept) {
  events.push_back("accept-drops");
  acceptsDrops = accept;
}

void HeadlessView::SetClientHeight(int height) { clientHeight = height; }

void HeadlessView::CloseMainWindow() { closeRequested_ = true; }

void HeadlessView::Realize(MainWindow& w) {
  window = &w;
  events.push_back("realize");
}

void HeadlessView::Show() {
  shown = true;
  events.push_back("show");
}

void HeadlessView::Post(std::function<void(MainWindow&)> message) {
  queue_.push_back(std::move(message));
}

}  // namespace app
