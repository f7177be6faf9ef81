// An emulated enclosure that takes the block flash commands, a recording
// window and a scratch folder, for the block transfer steps and the
// procedures built on them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "procedure_fixture.h"

namespace testing_support {

// One block command as the transcript shows it.
struct BlockCommand {
  std::uint32_t address;
  std::uint32_t length;
  std::uint8_t code;  // the mode byte of a write
  bool operator==(const BlockCommand&) const = default;
};

// The erase geometry identification sets for a flash kind: kinds 0-2 have
// 32 KB blocks, kinds 3, 4 and 8 32 KB sectors.
inline program::EraseGeometry EraseGeometryForKind(int kind) {
  program::EraseGeometry g;
  g.eraseBlockSize = kind <= 2 ? 0x8000 : 0x10000;
  g.eraseSectorSize = (kind == 3 || kind == 4 || kind == 8) ? 0x8000 : 0x1000;
  return g;
}

class BlockFixture : public ProcedureFixture {
 protected:
  BlockFixture() : ProcedureFixture("tx-block") {}

  // Attaches a profile; the window gets its chip type and flash kind, and
  // the erase geometry the sizes of its part's catalogue row.
  void Attach(const std::string& name, const sim::AttachOptions& options = {}) {
    const sim::EnclosureProfile* profile = AttachNamed(name, options);
    ASSERT_NE(nullptr, profile);
    window.facts_.chipType = profile->identifiedType;
    window.facts_.flashTypeCode = profile->bridge.flashTypeCode;
    window.facts_.flashSizeKb =
        static_cast<std::int32_t>(chip->serialFlash()->cells().size() / 1024);
    window.geometry_ = EraseGeometryForKind(profile->bridge.flashTypeCode);
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
    return scratch.Write(name, bytes);
  }
};

}  // namespace testing_support
