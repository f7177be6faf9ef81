#include "console/log.h"

#include <cstdio>
#include <ctime>

#include "console/text.h"
#include "console/sha256.h"
#include "host/output_files.h"

namespace app {

std::unique_ptr<ConsoleLog> ConsoleLog::Create(const std::string& fileName,
                                               const LogHeader& header) {
  host::File file = host::OpenOutputFile(fileName.c_str(), host::OutputMode::Replace);
  if (!file) return nullptr;
  std::unique_ptr<ConsoleLog> log(new ConsoleLog(std::move(file)));
  char when[64] = "unknown";
  const std::time_t now = std::time(nullptr);
  if (const std::tm* local = std::localtime(&now))
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);
  std::string args;
  for (const std::string& a : header.arguments) args += " " + a;
  log->Line("# tx4077x-console support log, format " + std::to_string(kLogFormatVersion));
  log->Line("# tool: version " + (header.toolVersion.empty() ? "unknown" : header.toolVersion) +
            ", commit " + (header.toolCommit.empty() ? "unknown" : header.toolCommit));
  log->Line("# system: " + PrintableLine(header.system));
  log->Line(std::string("# started ") + when + " (local time); arguments:" + PrintableLine(args));
  for (const std::string& image : header.images) {
    std::string digest;
    std::uint64_t length = 0;
    const std::string facts = Sha256OfFile(image, digest, length)
                                  ? std::to_string(length) + " bytes, sha256 " + digest
                                  : std::string("cannot be read");
    log->Line("# image: " + PrintableLine(image) + ": " + facts);
  }
  log->Line(
      "# each line: seconds since the start, then a command block (device, direction, "
      "transfer length, cdb, platform result, SCSI status, sense, bytes moved, time taken), a "
      "failed open, a wait, a status line, a box, a procedure's own line (diag:) or a run's "
      "start and result");
  return log;
}

std::unique_ptr<ConsoleLog> ConsoleLog::ToStation(std::FILE* out) {
  return std::unique_ptr<ConsoleLog>(new ConsoleLog(out));
}

void ConsoleLog::Line(std::string_view text) {
  if (failed_) return;
  if (toStation_) {
    // The station puts its own time on it: one clock for the whole log.
    std::fprintf(out_, "%c%s%.*s\n", kLogLineMark, prefix_.c_str(),
                 static_cast<int>(text.size()), text.data());
    std::fflush(out_);
    return;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  std::FILE* f = out_;
  const bool header = !text.empty() && text[0] == '#';
  const int stamped = header ? 0 : std::fprintf(f, "%11.6f %s", seconds, prefix_.c_str());
  if (stamped < 0 || std::fwrite(text.data(), 1, text.size(), f) != text.size() ||
      std::fputc('\n', f) == EOF || std::fflush(f) != 0)
    failed_ = true;
}

std::string ConsoleLog::DeviceName(const std::string& path) {
  const auto known = devices_.find(path);
  if (known != devices_.end()) return known->second;
  std::string name = "d";
  name += std::to_string(devices_.size() + 1);
  devices_.emplace(path, name);
  std::string line = "device ";
  line.append(name).append(" ").append(PrintableLine(path));
  Line(line);
  return name;
}

void ConsoleLog::Command(const CommandSeen& c) {
  if (paused_) return;
  const std::string device = DeviceName(*c.path);
  char text[256];
  std::snprintf(text, sizeof text, "%s %-3s len=%u cdb=[%s] ", device.c_str(),
                c.dataIn ? "in" : "out", c.length, HexBytes(c.cdb, c.cdbLength).c_str());
  std::string line = text;
  if (c.ok) {
    line += "ok";
  } else {
    line += "failed error=" + std::to_string(c.lastError);
  }
  std::snprintf(text, sizeof text, " status=%02X sense=[%s] moved=%u time=%.3fms", c.status,
                HexBytes(c.sense, c.senseLength).c_str(), c.moved, c.seconds * 1000.0);
  Line(line + text);
}

void ConsoleLog::OpenFailed(const std::string& path, std::uint32_t lastError) {
  if (paused_) return;
  const std::string device = DeviceName(path);
  Line(device + " open failed error=" + std::to_string(lastError) + ", nothing sent");
}

void ConsoleLog::Waited(std::uint32_t milliseconds) {
  if (paused_) return;
  Line("wait " + std::to_string(milliseconds) + "ms");
}

void ConsoleLog::Status(std::string_view text, bool continues) {
  if (paused_) return;
  Line((continues ? "status+ " : "status: ") + PrintableLine(text));
}

void ConsoleLog::Box(std::string_view caption, std::string_view text, const char* answer) {
  if (paused_) return;
  std::string line = "box [" + PrintableLine(caption) + "] " + PrintableLine(text);
  if (answer != nullptr) line += std::string(" -> ") + answer;
  Line(line);
}

void ConsoleLog::Note(std::string_view text) { Line(PrintableLine(text)); }

void ConsoleLog::Diagnostic(std::string_view text) { Line("diag: " + PrintableLine(text)); }

void ConsoleLog::HeaderLine(std::string_view text) { Line("# " + PrintableLine(text)); }

}  // namespace app
