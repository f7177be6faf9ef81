// The progress of a run on a terminal: one line on standard error, redrawn in
// place, with a bar and the share of the bytes the run is expected to move,
// the rate, the time left and, when the status lines share the terminal, the
// open one ("[########------------]  42%  120 KB/s  0:12 left status: Pro...").
// Every other line clears it first and draws it again after.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "console/json.h"
#include "console/watch.h"
#include "engine/procedure_table.h"

namespace app {

// What a command adds to a run's progress: the bytes it moved, and at least
// the two a word write carries in its command block (the SST parts are
// programmed one command per word, with no data phase).
std::uint64_t ProgressUnits(std::uint32_t moved);

// Units a run of the procedure is expected to add up to, from the image's
// length (programming runs) and the flash size the run works with; 0 when
// there is no telling. An estimate: the line never shows 100 % before the run
// has ended.
std::uint64_t ExpectedRunBytes(program::Procedure procedure, RunMode mode,
                               std::uint64_t imageLength, std::uint64_t flashBytes);

class ProgressLine : public HostWatcher {
 public:
  ProgressLine(std::FILE* out, int columns) : out_(out), columns_(columns) {}

  void Begin(std::uint64_t expectedBytes);
  // Erases the line; the run has ended.
  void End();
  bool active() const { return active_; }

  // The open status line as it is printed ("status: ..."); "" for none.
  void Show(const std::string& line);
  // Erases the live line before other output; Redraw puts it back.
  void Clear();
  void Redraw();

  void Command(const CommandSeen& command) override;
  void Waited(std::uint32_t milliseconds) override;

  // What the line shows now, without the status line.
  std::string Prefix() const;

 private:
  std::FILE* out_;
  int columns_;
  bool active_ = false;
  std::uint64_t expected_ = 0;
  std::uint64_t moved_ = 0;
  void Tick();

  std::string line_;
  std::chrono::steady_clock::time_point drawnAt_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace app
