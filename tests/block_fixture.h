// An emulated enclosure that takes the block flash commands, a recording
// window and a scratch folder, for the block transfer steps and the
// procedures built on them. The transfer settings and the erase geometry are
// put back after each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "fake_run_window.h"
#include "program/settings.h"
#include "sim/bridge_chip.h"
#include "sim/profiles.h"
#include "sim_fixture.h"

namespace testing_support {

// One block command as the transcript shows it.
struct BlockCommand {
  std::uint32_t address;
  std::uint32_t length;
  std::uint8_t code;  // the mode byte of a write
  bool operator==(const BlockCommand&) const = default;
};

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 7 + seed) ^ (i >> 8));
  return v;
}

// The erase geometry identification sets for a flash kind: kinds 0-2 have
// 32 KB blocks, kinds 3, 4 and 8 32 KB sectors.
inline void SetEraseGeometryForKind(int kind) {
  program::Geometry().eraseBlockSize = kind <= 2 ? 0x8000 : 0x10000;
  program::Geometry().eraseSectorSize = (kind == 3 || kind == 4 || kind == 8) ? 0x8000 : 0x1000;
}

class BlockFixture : public ::testing::Test, public SimFixtureBase {
 protected:
  void SetUp() override {
    savedTransfer_ = program::Transfer();
    savedGeometry_ = program::Geometry();
    program::Transfer() = program::TransferSettings{};
    dir_ = testing_support::NewScratchDir("tx-block");
  }
  void TearDown() override {
    program::Transfer() = savedTransfer_;
    program::Geometry() = savedGeometry_;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // Attaches a profile; the window gets its chip type and flash kind, and
  // the erase geometry the sizes of its part's catalogue row.
  void Attach(const std::string& name, const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = sim::FindProfile(name);
    ASSERT_NE(nullptr, profile);
    chip = sim::AttachProfile(machine, *profile, options);
    path = chip->path();
    window.facts_.chipType = profile->identifiedType;
    window.facts_.flashTypeCode = profile->bridge.flashTypeCode;
    window.facts_.flashSizeKb =
        static_cast<std::int32_t>(chip->serialFlash()->cells().size() / 1024);
    SetGeometryForKind(profile->bridge.flashTypeCode);
  }
  static void SetGeometryForKind(int kind) { SetEraseGeometryForKind(kind); }

  std::vector<std::uint8_t> Flash(std::uint32_t address, std::size_t n) {
    const std::vector<std::uint8_t>& cells = chip->serialFlash()->cells().cells();
    return {cells.begin() + address, cells.begin() + address + static_cast<std::ptrdiff_t>(n)};
  }
  void Load(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    chip->serialFlash()->cells().Load(address, bytes.data(), bytes.size());
  }

  std::vector<BlockCommand> Commands(const char* name) const {
    std::vector<BlockCommand> out;
    for (const auto& e : machine.transcript()) {
      if (e.command != name) continue;
      out.push_back({static_cast<std::uint32_t>(e.cdb[8] << 16 | e.cdb[9] << 8 | e.cdb[10]),
                     static_cast<std::uint32_t>(e.cdb[3] << 8 | e.cdb[4]), e.cdb[1]});
    }
    return out;
  }
  std::vector<BlockCommand> Writes() const { return Commands("WriteFlashBlock"); }
  std::vector<BlockCommand> Reads() const { return Commands("ReadFlashBlock"); }
  // Bytes that block reads and writes moved, by command name.
  std::uint32_t Moved(const char* name) const {
    std::uint32_t n = 0;
    for (const BlockCommand& c : Commands(name)) n += c.length;
    return n;
  }

  std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const std::string file = (dir_ / name).string();
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return file;
  }
  std::vector<std::uint8_t> ReadFile(const std::string& file) const {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  std::shared_ptr<sim::BridgeChip> chip;
  std::string path;
  FakeRunWindow window;
  std::filesystem::path dir_;

 private:
  program::TransferSettings savedTransfer_;
  program::EraseGeometry savedGeometry_;
};

}  // namespace testing_support
