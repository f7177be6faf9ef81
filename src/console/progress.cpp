#include "console/progress.h"

namespace app {

namespace {

// What a run of a procedure moves, as multiples of the image's length L and
// the flash size F, plus a fixed part: the blank check, the programming and
// the read-back of a programming run, the reads of a backup, the erase's
// blank check. Measured on the emulated enclosures; status polls are left
// out, the chip's busy time decides their number.
struct Traffic {
  std::uint32_t image = 0;  // times L
  std::uint32_t flash = 0;  // times F
  std::uint64_t fixed = 0;  // bytes
};

struct TrafficRow {
  program::Procedure procedure;
  Traffic program, backup, erase;
};

constexpr std::uint64_t kKb = 1024;

// A backup reads its range twice, and keeps it only when both reads agree.
constexpr TrafficRow kTraffic[] = {
    {program::Procedure::StandardSerialFlash, {3, 0, 0}, {0, 2, 0}, {0, 1, 0}},
    {program::Procedure::Ieee1394BridgeFlash, {2, 0, 0}, {0, 2, 0}, {0, 1, 0}},
    // The whole 64 KB part, whatever the image.
    {program::Procedure::InternalRomParallelFlash, {0, 0, 192 * kKb}, {0, 0, 128 * kKb},
     {0, 0, 64 * kKb}},
    // Both banks are written and read back.
    {program::Procedure::BlockCommandFlash, {0, 2, 0}, {0, 2, 0}, {0, 1, 0}},
    {program::Procedure::BridgeBehindController, {3, 1, 0}, {0, 2, 0}, {0, 2, 0}},
    // The disk areas are about the flash size setting.
    {program::Procedure::DiskAreaFirmware, {0, 2, 0}, {0, 2, 0}, {0, 2, 0}},
    {program::Procedure::HddHostedFirmware, {2, 0, 0}, {0, 2, 0}, {0, 2, 0}},
    {program::Procedure::SstSerialFlash, {3, 0, 0}, {0, 2, 0}, {0, 0, 64 * kKb}},
    // The NVRAM is read, kept and written with the first pages.
    {program::Procedure::NvramPage16K, {4, 0, 12 * kKb}, {0, 2, 0}, {0, 1, 0}},
};

}  // namespace

std::uint64_t ProgressUnits(std::uint32_t moved) { return moved > 2 ? moved : 2; }

std::uint64_t ExpectedRunBytes(program::Procedure procedure, RunMode mode,
                               std::uint64_t imageLength, std::uint64_t flashBytes) {
  for (const TrafficRow& row : kTraffic) {
    if (row.procedure != procedure) continue;
    const Traffic& t = mode == RunMode::Program  ? row.program
                       : mode == RunMode::BackupOnly ? row.backup
                                                     : row.erase;
    return t.image * imageLength + t.flash * flashBytes + t.fixed;
  }
  return 0;
}

void ProgressLine::Begin(std::uint64_t expectedBytes) {
  active_ = true;
  expected_ = expectedBytes;
  moved_ = 0;
  line_.clear();
  start_ = std::chrono::steady_clock::now();
  Redraw();
}

void ProgressLine::End() {
  if (!active_) return;
  Clear();
  active_ = false;
}

namespace {

std::string Clock(unsigned long long seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", seconds / 60, seconds % 60);
  }
  return text;
}

constexpr int kBarWidth = 20;

}  // namespace

std::string ProgressLine::Prefix() const {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // The rate once there is something to tell it from.
  const double rate = elapsed >= 0.5 && moved_ > 0 ? static_cast<double>(moved_) / elapsed : 0;
  char rateText[32] = "-- KB/s";
  if (rate > 0) std::snprintf(rateText, sizeof rateText, "%.0f KB/s", rate / 1024);
  char text[128];
  if (expected_ == 0) {
    std::snprintf(text, sizeof text, "[%llu KB  %s  %s] ",
                  static_cast<unsigned long long>(moved_ / 1024), rateText,
                  Clock(static_cast<unsigned long long>(elapsed)).c_str());
    return text;
  }
  // Never 100 % before the end: the total is an estimate.
  const std::uint64_t percent = moved_ >= expected_ ? 99 : moved_ * 100 / expected_;
  const int filled = static_cast<int>(percent * kBarWidth / 100);
  const std::string bar = std::string(static_cast<std::size_t>(filled), '#') +
                          std::string(static_cast<std::size_t>(kBarWidth - filled), '-');
  const std::string left =
      rate > 0 && moved_ < expected_
          ? Clock(static_cast<unsigned long long>(static_cast<double>(expected_ - moved_) / rate)) +
                " left"
          : std::string("--:-- left");
  std::snprintf(text, sizeof text, "[%s] %3llu%%  %s  %s ", bar.c_str(),
                static_cast<unsigned long long>(percent), rateText, left.c_str());
  return text;
}

void ProgressLine::Show(const std::string& line) {
  line_ = line;
  if (active_) Redraw();
}

void ProgressLine::Clear() {
  if (!active_) return;
  std::fputs("\r\033[K", out_);
  std::fflush(out_);
}

void ProgressLine::Redraw() {
  if (!active_) return;
  drawnAt_ = std::chrono::steady_clock::now();
  std::string text = Prefix() + line_;
  // One row only, or the carriage return would not reach its start.
  const std::size_t room = columns_ > 1 ? static_cast<std::size_t>(columns_ - 1) : 0;
  if (text.size() > room) text = room > 3 ? text.substr(0, room - 3) + "..." : std::string();
  std::fprintf(out_, "\r%s\033[K", text.c_str());
  std::fflush(out_);
}

// Drawn again at most ten times a second: the rate changes with every
// command.
void ProgressLine::Tick() {
  if (!active_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - drawnAt_ < std::chrono::milliseconds(100)) return;
  Redraw();
}

void ProgressLine::Command(const CommandSeen& command) {
  moved_ += ProgressUnits(command.moved);
  Tick();
}

void ProgressLine::Waited(std::uint32_t) { Tick(); }

}  // namespace app
