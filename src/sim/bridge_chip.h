// An emulated bridge chip: the enclosure's INQUIRY and vendor mode plus the
// chip's own vendor commands (identification, parameter block, chip memory,
// reset) and its flash engine over a serial or a parallel flash. What a given
// chip answers is data (BridgeConfig); every command it was not given is
// rejected with CHECK CONDITION, as a real chip rejects what it does not know.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/controller_route.h"
#include "sim/enclosure.h"
#include "sim/parallel_flash.h"
#include "sim/serial_flash.h"
#include "sim/sim_disk.h"

namespace sim {

struct MemoryBytes {
  std::uint16_t address = 0;
  std::vector<std::uint8_t> bytes;
};

enum class FlashBus { None, Serial, Parallel };

struct BridgeConfig {
  std::string vendor = "Tavrion";
  std::string product;
  std::string revision = "0100";
  std::array<std::uint8_t, 4> inquiryVendorBytes{};  // INQUIRY bytes 36..39

  bool answersChipInfo = true;  // E0 F4 E7
  std::array<std::uint8_t, 16> chipInfo{};
  std::uint32_t chipInfoLength = 16;  // 12 on chips with the older layout
  std::string idString;               // FF 04 30; empty: rejected
  bool answersVariant = true;         // DF .. FF
  std::array<std::uint8_t, 2> variant{};
  bool answersParameters = false;  // FF 04 A0
  std::array<std::uint8_t, 20> parameters{};
  bool answersMemory = true;        // DF .. FD / FE
  std::vector<MemoryBytes> memory;  // initial chip memory contents
  bool probeBit506A = false;        // bit 0 of 0x506A reads 1 whatever is written
  bool resets = false;              // FF 04 26 54 58
  bool reattachOnReset = true;      // false: the device does not come back

  FlashBus bus = FlashBus::Serial;
  bool engineCommands = true;    // FF 04 10..15
  bool rawSpi = true;            // FF 04 20..22
  int flashTypeCode = -1;        // the answer to FF 04 23; -1: rejected
  bool engineConfig = false;     // FF 04 24, FF 04 25, FF 04 0F
  bool pageSize16 = false;       // FF 04 0F carries a 16-bit page size
  bool knowsFlashPart = true;    // engine starts with the part's opcodes, else C7 D8 02 20
  bool blockCommands = false;    // DF .. FA, and DF .. FB with erase codes
  bool plainBlockWrite = false;  // DF .. FA, and DF .. FB with an erase flag
  std::uint32_t plainEraseUnit = 0x8000;
  bool a1Chip = false;  // parallel: already runs from internal ROM, refuses the switch
};

// A device fault: the device leaves the bus after answering a matching
// command (occurrence counts matching commands from 1; 0 means the first).
struct DisappearFault {
  CdbPattern pattern;
  int occurrence = 1;
  int seen = 0;
};

class BridgeChip : public Enclosure {
 public:
  BridgeChip(BridgeConfig config, std::shared_ptr<SerialFlash> serial,
             std::shared_ptr<ParallelFlash> parallel);

  void Execute(Machine& machine, Exchange& exchange) override;

  // The path the chip is attached at; reset detaches and re-attaches it there.
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }

  const BridgeConfig& config() const { return config_; }
  SerialFlash* serialFlash() { return serial_.get(); }
  ParallelFlash* parallelFlash() { return parallel_.get(); }
  std::shared_ptr<SerialFlash> sharedSerialFlash() const { return serial_; }
  std::vector<std::uint8_t>& memory() { return memory_; }
  const EngineSettings& engine() const { return engine_.settings; }
  bool romMode() const { return romMode_; }
  int resetCount() const { return resets_; }
  std::uint8_t lastBlockWriteMode() const { return lastBlockWriteMode_; }

  void AddDisappearance(DisappearFault fault) { disappear_.push_back(std::move(fault)); }

  // What sits behind the chip: the disk of the enclosure and, on a storage
  // controller, its ATA route. The chip keeps them alive and adds their
  // commands to its table (after its own).
  void AddDisk(std::shared_ptr<SimDisk> disk);
  void AddControllerRoute(std::shared_ptr<ControllerRoute> route);
  SimDisk* disk() const { return disk_.get(); }
  ControllerRoute* controllerRoute() const { return route_.get(); }

 private:
  void AddIdentification();
  void AddMemoryFrame();
  void AddSerialEngine();
  void AddRawSpi();
  void AddEngineConfig();
  void SetEraseAndProgramOpcodes(const Exchange& e, int first);
  void AddParallelRom();
  void ResetState();
  void Leave(bool comeBack);

  void Spi(std::vector<std::uint8_t> mosi, std::uint64_t nowUs);
  void BlockWrite(Exchange& e);

  BridgeConfig config_;
  std::shared_ptr<SerialFlash> serial_;
  std::shared_ptr<ParallelFlash> parallel_;
  std::string path_;
  std::vector<std::uint8_t> memory_;
  FlashEngine engine_;
  EngineSettings engineAtPowerOn_;
  std::vector<std::uint8_t> pendingSpi_;  // a raw cycle waiting for its data phase
  bool spiPending_ = false;
  bool romMode_ = false;
  std::array<std::uint8_t, 18> eraseSequence_{};
  bool eraseSequenceSet_ = false;
  int resets_ = 0;
  std::uint8_t lastBlockWriteMode_ = 0;
  std::vector<DisappearFault> disappear_;
  std::shared_ptr<SimDisk> disk_;
  std::shared_ptr<ControllerRoute> route_;
};

}  // namespace sim
