// An emulated storage controller of the TXV9xx family: INQUIRY and vendor
// mode (from Enclosure), its information block and the flash route to the
// bridge chip behind it through ATA PASS-THROUGH(12) with the vendor ATA
// command 0xB0, the disk attached to it, and the few bridge-frame answers the
// disk-area queries read (parameter block, chip memory, chip information).
// A ControllerConfig describes one controller as data.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/enclosure.h"
#include "sim/flash_array.h"
#include "sim/sim_disk.h"

namespace sim {

enum class BridgeKind { Txr847, Txr842 };

// The bridge chip behind a controller and its serial flash.
struct BridgeBehindConfig {
  BridgeKind kind = BridgeKind::Txr847;
  std::size_t flashSize = 64 * 1024;
  // Bytes clocked in after each identification opcode (the 0x90 and 0xAB
  // answers start with three bytes shifted in during the address phase).
  std::vector<std::uint8_t> jedecId{0xC2, 0x20, 0x10};  // 0x9F
  std::vector<std::uint8_t> answer90;                   // empty: the bus reads 0xFF
  std::vector<std::uint8_t> answerAB;
  std::vector<std::uint8_t> answer15;
  std::uint8_t flashKindCode = 5;  // byte 0 of the flash type block
  std::uint32_t eraseBusyMs = 1500;  // chip erase
  std::uint32_t programBusyMs = 30;  // one program command
  // Faults.
  bool staysBusy = false;            // the status never clears after erase or program
  std::uint8_t stuckBits = 0;        // bits that never program from 1 to 0
  std::int64_t corruptReadAddress = -1;  // reads return this byte XOR corruptReadMask
  std::uint8_t corruptReadMask = 0xFF;
};

struct ChipMemoryBytes {
  std::uint16_t address = 0;
  std::vector<std::uint8_t> bytes;
};

struct ControllerConfig {
  std::string vendor = "Tavrion";
  std::string product = "TXV929 SATA";
  std::string revision = "0100";
  std::string chipNumber = "929";  // INQUIRY bytes 36..39 read "t" + number
  bool ataPassThrough = true;      // false: every ATA pass-through block is refused
  // Information block: bytes 6-7 name the bridge behind the controller (set
  // from the bridge when there is one), bytes 8-15 carry version bytes.
  std::array<std::uint8_t, 2> productId{0x00, 0x00};
  std::array<std::uint8_t, 8> infoTail{};
  std::optional<BridgeBehindConfig> bridge;
  DiskConfig disk;
  // Bridge-frame answers; an empty block means the command is refused.
  bool answersReset = true;                  // FF 04 26 54 58
  std::vector<std::uint8_t> parameterBlock;  // FF 04 A0
  std::vector<std::uint8_t> chipInfo;        // E0 F4 E7
  std::vector<ChipMemoryBytes> memory;       // DF ... FD reads; other bytes read 0
};

class StorageController : public Enclosure {
 public:
  explicit StorageController(ControllerConfig config);
  // Its commands hold this controller's address.
  StorageController(const StorageController&) = delete;
  StorageController& operator=(const StorageController&) = delete;

  const ControllerConfig& config() const { return config_; }
  SimDisk& disk() { return disk_; }
  // The flash of the bridge behind the controller; null without a bridge.
  FlashArray* bridgeFlash() { return flash_.get(); }
  bool FlashBusy(std::uint64_t nowMs) const;
  // What the host told the flash engine (E4: maker, chip-erase, block-erase,
  // program opcode; E5: page size in bytes).
  const std::array<std::uint8_t, 4>& flashOpcodes() const { return opcodes_; }
  std::uint32_t pageSize() const { return pageSize_; }
  bool writeEnabled() const { return writeEnabled_; }
  // ResetChip requests seen; the controller restarts in place (the disk and
  // flash keep their contents).
  int resets() const { return resets_; }

 private:
  void InstallInformation();
  void InstallFlashRoute();
  void InstallBridgeFrames();
  void SpiCommand(Exchange& e);
  void SpiReadData(Exchange& e);
  void StartBusy(std::uint64_t nowMs, std::uint32_t durationMs);

  ControllerConfig config_;
  SimDisk disk_;
  std::unique_ptr<FlashArray> flash_;
  std::uint64_t busyUntilMs_ = 0;
  bool everBusy_ = false;
  std::array<std::uint8_t, 4> opcodes_{};
  std::uint32_t pageSize_ = 0;
  bool writeEnabled_ = false;
  int resets_ = 0;
  std::optional<std::vector<std::uint8_t>> spiAnswer_;  // pending data phase
};

// Product identifier bytes (information bytes 6-7) of each bridge kind.
std::array<std::uint8_t, 2> BridgeProductId(BridgeKind kind);

// Built-in controller profiles. listedAs is the chip type identification
// gives the controller; companionType the type its "<<847>>" / "<<842>>"
// entry selects (0 when no bridge sits behind it).
struct ControllerProfile {
  std::string name;
  int listedAs = 0;
  int companionType = 0;
  ControllerConfig config;
};

std::vector<ControllerProfile> ControllerProfiles();

}  // namespace sim
