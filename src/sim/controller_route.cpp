#include "sim/controller_route.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr std::uint32_t kBlock = 512;
// The controller clocks this many answer bytes in after an opcode with a data phase.
constexpr std::size_t kSpiAnswerBytes = 512;

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

// The 24-bit flash address, low byte first.
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

}  // namespace

ControllerRoute::ControllerRoute(ControllerRouteConfig config,
                                 std::shared_ptr<SerialFlash> behindFlash)
    : config_(config), flash_(std::move(behindFlash)), engine_(flash_) {
  // The controller firmware recognises the opcodes of the bridge's part on
  // its own, but programs 256-byte pages until the host sends a page size.
  if (flash_) {
    engine_.settings = NativeEngineSettings(flash_->part());
    engine_.settings.pageSize = EngineSettings{}.pageSize;
  }
  atPowerOn_ = engine_.settings;
}

void ControllerRoute::Reset() {
  engine_.settings = atPowerOn_;
  spiAnswer_.reset();
}

void ControllerRoute::Install(CommandTable& t) {
  t.Add(
      "AtaReadChipInfo", [](const Exchange& e) { return IsVendorAta(e, 0xE0); },
      [this](Exchange& e) {
        if (!PioIn(e)) return e.Reject();
        SendBlocks(e, CountBytes(e), config_.info.data(), config_.info.size());
      });
  if (flash_) InstallFlashRoute(t);
}

void ControllerRoute::InstallFlashRoute(CommandTable& t) {
  t.Add(
      "AtaReadStatus", [](const Exchange& e) { return IsVendorAta(e, 0xEA); },
      [this](Exchange& e) {
        if (!PioIn(e)) return e.Reject();
        const std::uint8_t status = flash_->Busy(e.nowUs) ? 0x01 : 0x00;
        SendBlocks(e, CountBytes(e), &status, 1);
      });
  // The engine waits for earlier work inside the command; a part that never
  // comes back from busy fails it.
  const auto flashData = [this](Exchange& e, bool read) {
    const std::uint32_t bytes = CountBytes(e);
    if (!(read ? PioIn(e) : PioOut(e)) || bytes > e.length || e.data == nullptr) return e.Reject();
    const bool done = read ? engine_.Read(FlashAddress(e), e.data, bytes, e.nowUs)
                           : engine_.Program(FlashAddress(e), e.data, bytes, e.nowUs);
    if (!done) return e.Reject();
    e.transferred = bytes;
  };
  t.Add(
      "AtaReadFlash", [](const Exchange& e) { return IsVendorAta(e, 0xE8); },
      [flashData](Exchange& e) { flashData(e, true); });
  t.Add(
      "AtaWriteFlash", [](const Exchange& e) { return IsVendorAta(e, 0xE9); },
      [flashData](Exchange& e) { flashData(e, false); });
  t.Add(
      "AtaEraseFlashChip", [](const Exchange& e) { return IsVendorAta(e, 0xE7); },
      [this](Exchange& e) {
        if (!NonData(e) || !engine_.EraseChip(e.nowUs)) return e.Reject();
        e.transferred = 0;
      });
  t.Add(
      "AtaSpiCommand", [](const Exchange& e) { return IsVendorAta(e, 0xE1); },
      [this](Exchange& e) { SpiCommand(e); });
  t.Add(
      "AtaSpiReadData", [](const Exchange& e) { return IsVendorAta(e, 0xE3); },
      [this](Exchange& e) { SpiReadData(e); });
  t.Add(
      "AtaSetFlashOpcodes", [](const Exchange& e) { return IsVendorAta(e, 0xE4); },
      [this](Exchange& e) {
        if (!NonData(e)) return e.Reject();
        engine_.settings.maker = e.at(4);
        engine_.settings.chipErase = e.at(5);
        engine_.settings.blockErase = e.at(6);
        engine_.settings.program = e.at(7);
        e.transferred = 0;
      });
  t.Add(
      "AtaSetFlashPageSize", [](const Exchange& e) { return IsVendorAta(e, 0xE5); },
      [this](Exchange& e) {
        if (!NonData(e) || e.at(4) == 0) return e.Reject();
        engine_.settings.pageSize = static_cast<std::uint32_t>(e.at(4)) * 4;
        e.transferred = 0;
      });
  t.Add(
      "AtaReadFlashTypeBlock", [](const Exchange& e) { return IsVendorAta(e, 0xEC); },
      [this](Exchange& e) {
        if (!PioIn(e)) return e.Reject();
        SendBlocks(e, CountBytes(e), &config_.flashTypeCode, 1);
      });
}

// One chip-select cycle to the bridge's part: the opcode and up to two further
// bytes; with the data-phase bit the answer is clocked in for the next E3. The
// part applies its own rules (busy, write enable, protection) to the cycle.
void ControllerRoute::SpiCommand(Exchange& e) {
  const std::size_t count = std::min<std::size_t>(e.at(4) & 0x7F, 3);
  if (!NonData(e) || count == 0) return e.Reject();
  const bool dataPhase = (e.at(4) & 0x80) != 0;
  std::vector<std::uint8_t> mosi;
  for (std::size_t i = 0; i < count; ++i) mosi.push_back(e.at(5 + static_cast<int>(i)));
  spiAnswer_.reset();
  std::vector<std::uint8_t> answer =
      flash_->Transfer(mosi, dataPhase ? kSpiAnswerBytes : 0, e.nowUs);
  if (dataPhase) spiAnswer_ = std::move(answer);
  e.transferred = 0;
}

void ControllerRoute::SpiReadData(Exchange& e) {
  if (!PioIn(e) || !spiAnswer_) return e.Reject();
  // Nothing drives the line after the answer, so the rest reads 0xFF.
  SendBlocks(e, CountBytes(e), spiAnswer_->data(), spiAnswer_->size(), 0xFF);
  if (e.status == kStatusGood) spiAnswer_.reset();
}

}  // namespace sim
