// The console's support log (--log FILE): every command block as it was sent
// and how it ended, every failed open and wait, every status line, message
// box and run result, one line each, flushed as written so that the file
// holds everything up to a crash or a pulled cable.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console/watch.h"
#include "host/stdio_file.h"

namespace app {

inline constexpr int kLogFormatVersion = 2;

// Starts a line a station's worker process hands on for the station's log.
inline constexpr char kLogLineMark = '\x1c';

// What the header names before the first command: the tool, the system it
// runs on, how it was called and the image files it was given.
struct LogHeader {
  std::vector<std::string> arguments;
  std::string toolVersion;  // "1.19.0.1"; "" when unknown
  std::string toolCommit;
  std::string system;       // host::SystemDescription()
  std::vector<std::string> images;
};

class ConsoleLog : public HostWatcher {
 public:
  // Creates (or empties) the file and writes the header; null when it cannot
  // be created.
  static std::unique_ptr<ConsoleLog> Create(const std::string& fileName,
                                            const LogHeader& header);
  // In a station's worker process: each line goes to the station on out,
  // after kLogLineMark, and the station writes it into its log.
  static std::unique_ptr<ConsoleLog> ToStation(std::FILE* out);
  // In the station: a line a worker handed on.
  void Relayed(std::string_view line) { Line(line); }

  void Command(const CommandSeen& command) override;
  void OpenFailed(const std::string& path, std::uint32_t lastError) override;
  void Waited(std::uint32_t milliseconds) override;

  // A new status line, or the piece appended to the open one.
  void Status(std::string_view text, bool continues);
  void Box(std::string_view caption, std::string_view text, const char* answer = nullptr);
  // The console's own lines: which run starts, how it ended.
  void Note(std::string_view text);
  // A procedure's own diagnostic line ("NVRAM O.K.").
  void Diagnostic(std::string_view text);
  // A line of the header (no time stamp), such as an enclosure's identity.
  void HeaderLine(std::string_view text);

  // While paused, command blocks, waits, status lines and boxes are left
  // out (a station's looks between enclosures); notes are kept.
  void Pause(bool paused) { paused_ = paused; }
  // Put before every line after the time stamp: which worker wrote it.
  void SetPrefix(std::string prefix) { prefix_ = std::move(prefix); }

  // False once a line could not be written (a full disk); later lines are
  // dropped, and the run goes on as it would without a log.
  bool complete() const { return !failed_; }

 private:
  explicit ConsoleLog(host::File file) : file_(std::move(file)), out_(file_.get()) {}
  explicit ConsoleLog(std::FILE* toStation) : out_(toStation), toStation_(true) {}
  void Line(std::string_view text);
  // "d1" for the first device path seen, announced on a line of its own.
  std::string DeviceName(const std::string& path);

  host::File file_;
  std::FILE* out_;
  bool toStation_ = false;  // lines go to the station, which stamps them
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::map<std::string, std::string> devices_;
  bool failed_ = false;
  bool paused_ = false;
  std::string prefix_;
};

}  // namespace app
