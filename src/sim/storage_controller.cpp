#include "sim/storage_controller.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint32_t kBlock = 512;

bool IsVendorAta(const Exchange& e, std::uint8_t feature) {
  return e.cdbLength >= 12 && e.at(0) == 0xA1 && e.at(9) == 0xB0 && e.at(3) == feature;
}

// The protocol byte and the transfer direction bit must agree with the
// carrier that sent the block; a real controller fails a mismatch.
bool PioIn(const Exchange& e) { return e.at(1) == 0x08 && (e.at(2) & 0x08) != 0 && e.dataIn; }
bool PioOut(const Exchange& e) { return e.at(1) == 0x0A && (e.at(2) & 0x08) == 0 && !e.dataIn; }
bool NonData(const Exchange& e) { return e.at(1) == 0x06 && e.length == 0; }

// Bytes the sector count of a PIO command asks for (0 means 256 sectors).
std::uint32_t CountBytes(const Exchange& e) {
  const std::uint32_t count = e.at(4) == 0 ? 256 : e.at(4);
  return count * kBlock;
}

std::uint32_t FlashAddress(const Exchange& e) {
  return static_cast<std::uint32_t>(e.at(5)) | static_cast<std::uint32_t>(e.at(6)) << 8 |
         static_cast<std::uint32_t>(e.at(7)) << 16;
}

// Sends a device-side block of `bytes` bytes taken from src (fill beyond
// srcSize). Refused when the host buffer cannot take it all.
void SendBlocks(Exchange& e, std::uint32_t bytes, const std::uint8_t* src, std::size_t srcSize,
                std::uint8_t fill = 0x00) {
  if (bytes > e.length || e.data == nullptr) return e.Reject();
  std::memset(e.data, fill, bytes);
  std::memcpy(e.data, src, std::min<std::size_t>(srcSize, bytes));
  e.transferred = bytes;
}

// Answers a bridge-frame read with as much of block as the host asked for.
void SendPrefix(Exchange& e, const std::vector<std::uint8_t>& block) {
  if (!e.dataIn) return e.Reject();
  const std::uint32_t n = std::min<std::uint32_t>(e.length, static_cast<std::uint32_t>(block.size()));
  if (e.data != nullptr) {
    std::memset(e.data, 0, e.length);
    std::memcpy(e.data, block.data(), n);
  }
  e.transferred = n;
}

}  // namespace

std::array<std::uint8_t, 2> BridgeProductId(BridgeKind kind) {
  return kind == BridgeKind::Txr847 ? std::array<std::uint8_t, 2>{0x48, 0x47}
                                    : std::array<std::uint8_t, 2>{0x48, 0x42};
}

StorageController::StorageController(ControllerConfig config)
    : Enclosure(config.vendor, config.product, config.revision),
      config_(std::move(config)),
      disk_([this] {
        DiskConfig d = config_.disk;
        if (!config_.ataPassThrough) d.answersAta = false;
        return d;
      }()) {
  inquiry()[36] = 't';
  for (std::size_t i = 0; i < 3; ++i)
    inquiry()[37 + i] =
        static_cast<std::uint8_t>(i < config_.chipNumber.size() ? config_.chipNumber[i] : ' ');
  if (config_.bridge) {
    flash_ = std::make_unique<FlashArray>(config_.bridge->flashSize);
    flash_->stuckBits = config_.bridge->stuckBits;
  }
  InstallBridgeFrames();
  if (config_.ataPassThrough) {
    InstallInformation();
    if (config_.bridge) InstallFlashRoute();
  }
  disk_.Install(commands());
}

bool StorageController::FlashBusy(std::uint64_t nowMs) const {
  if (config_.bridge && config_.bridge->staysBusy && everBusy_) return true;
  return nowMs < busyUntilMs_;
}

void StorageController::StartBusy(std::uint64_t nowMs, std::uint32_t durationMs) {
  busyUntilMs_ = nowMs + durationMs;
  everBusy_ = true;
}

void StorageController::InstallInformation() {
  commands().Add("AtaReadChipInfo", [](const Exchange& e) { return IsVendorAta(e, 0xE0); },
                 [this](Exchange& e) {
                   if (!PioIn(e)) return e.Reject();
                   std::uint8_t info[16] = {0xF4, 0xE7};
                   const std::array<std::uint8_t, 2> id =
                       config_.bridge ? BridgeProductId(config_.bridge->kind) : config_.productId;
                   info[6] = id[0];
                   info[7] = id[1];
                   std::memcpy(info + 8, config_.infoTail.data(), config_.infoTail.size());
                   SendBlocks(e, CountBytes(e), info, sizeof info);
                 });
}

void StorageController::InstallFlashRoute() {
  CommandTable& t = commands();
  const BridgeBehindConfig& bridge = *config_.bridge;

  t.Add("AtaReadStatus", [](const Exchange& e) { return IsVendorAta(e, 0xEA); },
        [this](Exchange& e) {
          if (!PioIn(e)) return e.Reject();
          const std::uint8_t status = FlashBusy(e.nowMs) ? 0x01 : 0x00;
          SendBlocks(e, CountBytes(e), &status, 1);
        });
  t.Add("AtaReadFlash", [](const Exchange& e) { return IsVendorAta(e, 0xE8); },
        [this, &bridge](Exchange& e) {
          if (!PioIn(e) || FlashBusy(e.nowMs)) return e.Reject();
          const std::uint32_t bytes = CountBytes(e);
          if (bytes > e.length || e.data == nullptr) return e.Reject();
          const std::uint32_t address = FlashAddress(e);
          flash_->Read(address, e.data, bytes);
          if (bridge.corruptReadAddress >= 0) {
            const auto bad = static_cast<std::uint64_t>(bridge.corruptReadAddress);
            if (bad >= address && bad < static_cast<std::uint64_t>(address) + bytes)
              e.data[bad - address] ^= bridge.corruptReadMask;
          }
          e.transferred = bytes;
        });
  t.Add("AtaWriteFlash", [](const Exchange& e) { return IsVendorAta(e, 0xE9); },
        [this, &bridge](Exchange& e) {
          if (!PioOut(e) || FlashBusy(e.nowMs)) return e.Reject();
          const std::uint32_t bytes = CountBytes(e);
          if (bytes > e.length || e.data == nullptr) return e.Reject();
          flash_->Program(FlashAddress(e), e.data, bytes);
          e.transferred = bytes;
          StartBusy(e.nowMs, bridge.programBusyMs);
        });
  t.Add("AtaEraseFlashChip", [](const Exchange& e) { return IsVendorAta(e, 0xE7); },
        [this, &bridge](Exchange& e) {
          if (!NonData(e) || FlashBusy(e.nowMs)) return e.Reject();
          flash_->EraseAll();
          writeEnabled_ = false;
          StartBusy(e.nowMs, bridge.eraseBusyMs);
        });
  t.Add("AtaSpiCommand", [](const Exchange& e) { return IsVendorAta(e, 0xE1); },
        [this](Exchange& e) { SpiCommand(e); });
  t.Add("AtaSpiReadData", [](const Exchange& e) { return IsVendorAta(e, 0xE3); },
        [this](Exchange& e) { SpiReadData(e); });
  t.Add("AtaSetFlashOpcodes", [](const Exchange& e) { return IsVendorAta(e, 0xE4); },
        [this](Exchange& e) {
          if (!NonData(e)) return e.Reject();
          opcodes_ = {e.at(4), e.at(5), e.at(6), e.at(7)};
        });
  t.Add("AtaSetFlashPageSize", [](const Exchange& e) { return IsVendorAta(e, 0xE5); },
        [this](Exchange& e) {
          if (!NonData(e)) return e.Reject();
          pageSize_ = static_cast<std::uint32_t>(e.at(4)) * 4;
        });
  t.Add("AtaReadFlashTypeBlock", [](const Exchange& e) { return IsVendorAta(e, 0xEC); },
        [this, &bridge](Exchange& e) {
          if (!PioIn(e)) return e.Reject();
          SendBlocks(e, CountBytes(e), &bridge.flashKindCode, 1);
        });
}

// The controller clocks the opcode (and up to two further bytes) out to the
// bridge's flash; with the data-phase bit set it clocks an answer in, which
// the next E3 read hands over. A busy flash ignores all but the status read.
void StorageController::SpiCommand(Exchange& e) {
  if (!NonData(e)) return e.Reject();
  const BridgeBehindConfig& bridge = *config_.bridge;
  const bool dataPhase = (e.at(4) & 0x80) != 0;
  const std::uint8_t opcode = e.at(5);
  const bool busy = FlashBusy(e.nowMs);
  std::vector<std::uint8_t> answer;
  if (opcode == 0x05) {
    answer = {static_cast<std::uint8_t>((busy ? 0x01 : 0x00) | (writeEnabled_ ? 0x02 : 0x00))};
  } else if (!busy) {
    switch (opcode) {
      case 0x9F: answer = bridge.jedecId; break;
      case 0x90: answer = bridge.answer90; break;
      case 0xAB: answer = bridge.answerAB; break;
      case 0x15: answer = bridge.answer15; break;
      case 0x06: writeEnabled_ = true; break;
      case 0x04: writeEnabled_ = false; break;
      default: break;  // other opcodes need a data phase this route does not carry
    }
  }
  spiAnswer_.reset();
  if (dataPhase) spiAnswer_ = std::move(answer);
}

void StorageController::SpiReadData(Exchange& e) {
  if (!PioIn(e) || !spiAnswer_) return e.Reject();
  // Nothing drives the line after the answer, so the rest reads 0xFF.
  SendBlocks(e, CountBytes(e), spiAnswer_->data(), spiAnswer_->size(), 0xFF);
  if (e.status == kStatusGood) spiAnswer_.reset();
}

void StorageController::InstallBridgeFrames() {
  CommandTable& t = commands();
  if (config_.answersReset)
    t.Add("ResetChip", CdbPattern("FF 04 26 54 58"), [this](Exchange& e) {
      ++resets_;  // the flash part itself goes on with an erase it started
      writeEnabled_ = false;
      spiAnswer_.reset();
      e.transferred = 0;
    });
  if (!config_.parameterBlock.empty())
    t.Add("ReadChipParameters", CdbPattern("FF 04 A0"),
          [this](Exchange& e) { SendPrefix(e, config_.parameterBlock); });
  if (!config_.chipInfo.empty())
    t.Add("ReadChipInfo", CdbPattern("E0 F4 E7"),
          [this](Exchange& e) { SendPrefix(e, config_.chipInfo); });
  if (!config_.memory.empty())
    t.Add("ReadChipMemory", CdbPattern("DF 10 ?? ?? ?? ?? ?? ?? ?? ?? ?? FD"),
          [this](Exchange& e) {
            if (!e.dataIn) return e.Reject();
            const std::uint32_t length = static_cast<std::uint32_t>(e.at(3)) << 8 | e.at(4);
            const std::uint32_t address = static_cast<std::uint32_t>(e.at(6)) << 8 | e.at(7);
            if (length > e.length || (length > 0 && e.data == nullptr)) return e.Reject();
            if (e.data != nullptr) std::memset(e.data, 0, e.length);
            for (const ChipMemoryBytes& m : config_.memory)
              for (std::size_t i = 0; i < m.bytes.size(); ++i) {
                const std::uint32_t at = m.address + static_cast<std::uint32_t>(i);
                if (at >= address && at < address + length) e.data[at - address] = m.bytes[i];
              }
            e.transferred = e.length;
          });
}

namespace {

// The identity answers every profile shares, for chip number `number`.
ControllerConfig Controller(const std::string& number, std::uint64_t sectors,
                            std::uint32_t sectorSize) {
  ControllerConfig c;
  c.product = "TXV" + number + " SATA";
  c.chipNumber = number;
  c.disk.sectors = sectors;
  c.disk.logicalSectorSize = sectorSize;
  c.chipInfo = {0xF4, 0xE7, 0x7A, 0x58, 0x09, 0x29, 0x01, 0x00,
                static_cast<std::uint8_t>(number[0]), static_cast<std::uint8_t>(number[1]),
                static_cast<std::uint8_t>(number[2]), '0', 0x02, 0x11, 0x07, 0x15};
  c.parameterBlock.assign(20, 0);
  c.parameterBlock[8] = 0x01;
  c.parameterBlock[19] = 0x01;  // release firmware
  c.memory = {{0x7038, {0x00, 0x00, 0x10, 0x00}}, {0x70F0, {0x00, 0x00, 0x00, 0x01}}};
  return c;
}

BridgeBehindConfig Bridge(BridgeKind kind, std::size_t sizeKb, std::vector<std::uint8_t> jedec,
                          std::uint8_t kindCode) {
  BridgeBehindConfig b;
  b.kind = kind;
  b.flashSize = sizeKb * 1024;
  b.jedecId = std::move(jedec);
  b.flashKindCode = kindCode;
  return b;
}

}  // namespace

std::vector<ControllerProfile> ControllerProfiles() {
  std::vector<ControllerProfile> profiles;

  ControllerProfile plain{"TXV929", 12, 0, Controller("929", 976773168, 512)};
  profiles.push_back(plain);

  ControllerProfile with847{"TXV929 + TXR847", 12, 13, Controller("929", 1953525168, 512)};
  with847.config.bridge = Bridge(BridgeKind::Txr847, 64, {0xC2, 0x20, 0x10}, 5);
  with847.config.infoTail = {0x01, 0x00, 0x03, 0x02, 0x10, 0x05, 0x00, 0x00};
  profiles.push_back(with847);

  ControllerProfile with842{"TXV929 + TXR842", 12, 15, Controller("929", 1953525168, 512)};
  with842.config.bridge = Bridge(BridgeKind::Txr842, 128, {0xEF, 0x30, 0x11}, 6);
  with842.config.infoTail = {0x02, 0x01, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00};
  profiles.push_back(with842);

  ControllerProfile txv961{"TXV961 + TXR842", 11, 14, Controller("961", 625142448, 512)};
  txv961.config.bridge = Bridge(BridgeKind::Txr842, 64, {0x7F, 0x9D, 0x20}, 1);
  txv961.config.infoTail = {0x01, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
  txv961.config.memory.push_back({0xFDB0, {0x00, 0xB4, 0x00, 0x00}});  // sub-code 5
  profiles.push_back(txv961);

  // A 4 KB-sector disk keeping its firmware bank on the disk.
  ControllerProfile txv927{"TXV927 4Kn", 16, 0, Controller("927", 488378646, 4096)};
  profiles.push_back(txv927);

  return profiles;
}

}  // namespace sim
