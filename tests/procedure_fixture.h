// What the procedure tests share: byte patterns, a scratch folder that is
// removed again, counts over the transcript, the run modes of the window, and
// a fixture with one emulated enclosure and a recording window.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "fake_run_window.h"
#include "scratch_dir.h"
#include "sim/bridge_chip.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace testing_support {

// Bytes that differ from their neighbours and from 0x00 / 0xFF runs; the
// step and shift keep one test's images apart from its old flash contents.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed, unsigned step = 7,
                                         unsigned shift = 8) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * step + seed) ^ (i >> shift));
  return v;
}

inline std::vector<std::uint8_t> ReadFile(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A fresh folder for one test's files, removed with everything in it.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix) : dir_(NewScratchDir(prefix)) {}
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  // Writes the file and returns its path; a failed write fails the test.
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
    const std::string file = Path(name);
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << file;
    return file;
  }
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path dir_;
};

// How many commands of this name the machine saw.
inline int CountSent(const sim::Machine& machine, const std::string& command) {
  int n = 0;
  for (const auto& e : machine.transcript()) n += e.command == command ? 1 : 0;
  return n;
}

// The 24-bit flash address of the flash commands (ReadFlash, WriteFlash,
// EraseFlashSector).
inline std::uint32_t FlashAddress(const sim::TranscriptEntry& e) {
  return static_cast<std::uint32_t>(e.cdb[3] << 16 | e.cdb[4] << 8 | e.cdb[5]);
}

// What the window asks of a run besides programming.
enum class RunMode { Program, EraseOnly, BackupOnly };

inline void SetRunMode(FakeRunWindow& window, RunMode mode, const std::string& backupFile = {}) {
  window.options_.rdMode = mode != RunMode::Program;
  window.facts_.eraseOnly = mode == RunMode::EraseOnly ? 1 : 0;
  window.options_.backupOnlyChecked = mode == RunMode::BackupOnly;
  window.options_.backupFile = backupFile;
}

// One emulated enclosure on the test's machine, a recording window with
// default transfer settings, and a scratch folder.
class ProcedureFixture : public ::testing::Test, public SimFixtureBase {
 protected:
  explicit ProcedureFixture(const std::string& scratchPrefix = "tx-proc") : scratch(scratchPrefix) {}

  // Attaches the named profile in place of the one attached before; the
  // window gets the profile's chip type. Null (and a failed test) when the
  // name is unknown.
  const sim::EnclosureProfile* AttachNamed(const std::string& name,
                                           const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = sim::FindProfile(name);
    EXPECT_NE(nullptr, profile) << name;
    if (profile != nullptr) AttachProfile(*profile, options);
    return profile;
  }
  void AttachProfile(const sim::EnclosureProfile& profile, const sim::AttachOptions& options = {}) {
    if (chip) machine.Detach(path);
    chip = sim::AttachProfile(machine, profile, options);
    path = chip->path();
    window.facts_.chipType = profile.chipType;
  }

  // Writes the image into the scratch folder and points the window at it.
  std::string WriteImage(const std::vector<std::uint8_t>& bytes, const std::string& name = "image.bin") {
    window.options_.imageFile = scratch.Write(name, bytes);
    return window.options_.imageFile;
  }
  std::string FileIn(const std::string& name) const { return scratch.Path(name); }

  int Count(const std::string& command) const { return CountSent(machine, command); }
  // Raw serial-flash commands with this opcode.
  int SpiOpcodes(std::uint8_t opcode) const {
    int n = 0;
    for (const auto& e : machine.transcript())
      n += e.command == "SpiCommand" && e.cdb.size() > 5 && e.cdb[5] == opcode ? 1 : 0;
    return n;
  }
  std::vector<std::uint32_t> EraseAddresses() const {
    std::vector<std::uint32_t> out;
    for (const auto& e : machine.transcript())
      if (e.command == "EraseFlashSector") out.push_back(FlashAddress(e));
    return out;
  }
  // The serial flash from address on.
  std::vector<std::uint8_t> Flash(std::size_t address, std::size_t n) const {
    std::vector<std::uint8_t> out(n);
    chip->serialFlash()->cells().Read(address, out.data(), n);
    return out;
  }
  static std::vector<std::uint8_t> ReadFile(const std::string& file) {
    return testing_support::ReadFile(file);
  }

  ScratchFolder scratch;
  FakeRunWindow window;
  std::shared_ptr<sim::BridgeChip> chip;
  std::string path;
};

// A parameterised test's files: an image file and a backup file named in a
// scratch folder.
template <typename Param>
class ParamFilesTest : public ::testing::TestWithParam<Param> {
 protected:
  ScratchFolder scratch{"tx-param"};
  std::string file_ = scratch.Path("image.bin");
  std::string backup_ = scratch.Path("backup.bin");
};

}  // namespace testing_support
