#include "sim/bridge_chip.h"

#include <algorithm>
#include <cstring>

#include "sim/machine.h"

namespace sim {

namespace {

// Copies what the chip has to say into the host's buffer; the transferred
// count is what the chip delivered.
void Deliver(Exchange& e, const std::uint8_t* data, std::uint32_t n) {
  const std::uint32_t moved = std::min(n, e.length);
  if (e.data != nullptr && moved > 0) std::memcpy(e.data, data, moved);
  e.transferred = moved;
}

std::uint32_t Be24(const Exchange& e, int first) {
  return (static_cast<std::uint32_t>(e.at(first)) << 16) |
         (static_cast<std::uint32_t>(e.at(first + 1)) << 8) | e.at(first + 2);
}

std::uint32_t Be16(const Exchange& e, int first) {
  return (static_cast<std::uint32_t>(e.at(first)) << 8) | e.at(first + 1);
}

bool IsVendor(const Exchange& e, std::uint8_t op) {
  return e.at(0) == 0xFF && e.at(1) == 0x04 && e.at(2) == op;
}

bool IsMemoryFrame(const Exchange& e, std::uint8_t op) { return e.at(0) == 0xDF && e.at(11) == op; }

}  // namespace

BridgeChip::BridgeChip(BridgeConfig config, std::shared_ptr<SerialFlash> serial,
                       std::shared_ptr<ParallelFlash> parallel)
    : Enclosure(config.vendor, config.product, config.revision),
      config_(std::move(config)),
      serial_(std::move(serial)),
      parallel_(std::move(parallel)),
      memory_(0x10000, 0x00) {
  for (int i = 0; i < 4; ++i) inquiry()[36 + i] = config_.inquiryVendorBytes[i];
  for (const MemoryBytes& m : config_.memory)
    for (std::size_t i = 0; i < m.bytes.size(); ++i) memory_[(m.address + i) & 0xFFFF] = m.bytes[i];
  engine_ = FlashEngine(serial_);
  if (serial_ && config_.knowsFlashPart) engine_.settings = NativeEngineSettings(serial_->part());
  engineAtPowerOn_ = engine_.settings;
  romMode_ = config_.a1Chip;

  AddIdentification();
  if (config_.answersMemory || config_.answersVariant || config_.blockCommands ||
      config_.plainBlockWrite)
    AddMemoryFrame();
  if (config_.bus == FlashBus::Serial && serial_) {
    if (config_.engineCommands) AddSerialEngine();
    if (config_.rawSpi) AddRawSpi();
    if (config_.engineConfig) AddEngineConfig();
  }
  if (config_.bus == FlashBus::Parallel && parallel_) AddParallelRom();
  if (config_.flashTypeCode >= 0) {
    commands().Add("ReadFlashTypeCode", CdbPattern("FF 04 23"), [this](Exchange& e) {
      const std::uint8_t answer[4] = {static_cast<std::uint8_t>(config_.flashTypeCode), 0, 0, 0};
      Deliver(e, answer, 4);
    });
  }
}

void BridgeChip::Execute(Machine& machine, Exchange& exchange) {
  Enclosure::Execute(machine, exchange);
  for (DisappearFault& f : disappear_) {
    if (!f.pattern.Matches(exchange.cdb, exchange.cdbLength)) continue;
    ++f.seen;
    if (f.occurrence <= 0 || f.seen == f.occurrence) {
      machine_ = &machine;
      Leave(false);
      machine_ = nullptr;
      return;
    }
  }
}

void BridgeChip::AddDisk(std::shared_ptr<SimDisk> disk) {
  disk_ = std::move(disk);
  if (disk_) disk_->Install(commands());
}

void BridgeChip::AddControllerRoute(std::shared_ptr<ControllerRoute> route) {
  route_ = std::move(route);
  if (route_) route_->Install(commands());
}

void BridgeChip::Leave(bool comeBack) {
  if (machine_ == nullptr || path_.empty()) return;
  const Attachment* attached = machine_->Find(path_);
  if (attached == nullptr) return;
  Attachment again = *attached;
  machine_->Detach(path_);
  if (comeBack) machine_->Attach(std::move(again));
}

void BridgeChip::ResetState() {
  // A reset chip has left vendor mode: answer our own leave command.
  const std::uint8_t leave[12] = {0xFF, 0x04, 0x54, 0x58, 0xAA};
  Exchange quit;
  quit.cdb = leave;
  quit.cdbLength = 12;
  quit.dataIn = false;
  commands().Dispatch(quit);
  engine_.settings = engineAtPowerOn_;
  spiPending_ = false;
  pendingSpi_.clear();
  romMode_ = config_.a1Chip;
  eraseSequenceSet_ = false;
  if (serial_) serial_->PowerOn();
  if (route_) route_->Reset();
}

void BridgeChip::AddIdentification() {
  if (config_.answersChipInfo) {
    commands().Add("ReadChipInfo", CdbPattern("E0 F4 E7"), [this](Exchange& e) {
      if (!e.dataIn) return e.Reject();
      Deliver(e, config_.chipInfo.data(), std::min<std::uint32_t>(config_.chipInfoLength, 16));
    });
  }
  if (!config_.idString.empty()) {
    commands().Add("ReadChipIdString", CdbPattern("FF 04 30"), [this](Exchange& e) {
      if (!e.dataIn) return e.Reject();
      std::vector<std::uint8_t> text(std::max<std::size_t>(e.length, 1), 0x00);
      std::memcpy(text.data(), config_.idString.data(),
                  std::min(text.size(), config_.idString.size()));
      Deliver(e, text.data(), e.length);
    });
  }
  if (config_.answersParameters) {
    commands().Add("ReadChipParameters", CdbPattern("FF 04 A0"), [this](Exchange& e) {
      if (!e.dataIn) return e.Reject();
      const std::uint32_t n = std::min<std::uint32_t>(e.at(3), 20);
      Deliver(e, config_.parameters.data(), n);
    });
  }
  if (config_.resets) {
    commands().Add("ResetChip", CdbPattern("FF 04 26 54 58"), [this](Exchange& e) {
      e.transferred = 0;
      ++resets_;
      ResetState();
      Leave(config_.reattachOnReset);
    });
  }
}

void BridgeChip::AddMemoryFrame() {
  if (config_.answersVariant) {
    commands().Add(
        "ReadChipVariant", [](const Exchange& e) { return IsMemoryFrame(e, 0xFF); },
        [this](Exchange& e) {
          if (!e.dataIn) return e.Reject();
          Deliver(e, config_.variant.data(), 2);
        });
  }
  if (config_.answersMemory) {
    commands().Add(
        "ReadChipMemory", [](const Exchange& e) { return IsMemoryFrame(e, 0xFD); },
        [this](Exchange& e) {
          if (!e.dataIn) return e.Reject();
          const std::uint32_t n = Be16(e, 3);
          const std::uint32_t a = Be16(e, 6);
          std::vector<std::uint8_t> out(n);
          for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t at = (a + i) & 0xFFFF;
            out[i] = memory_[at];
            // A status bit at 0x506A that the chip holds at 1.
            if (at == 0x506A && config_.probeBit506A) out[i] |= 0x01;
          }
          Deliver(e, out.data(), n);
        });
    commands().Add(
        "WriteChipMemory", [](const Exchange& e) { return IsMemoryFrame(e, 0xFE); },
        [this](Exchange& e) {
          if (e.dataIn) return e.Reject();
          const std::uint32_t n = std::min(Be16(e, 3), e.length);
          const std::uint32_t a = Be16(e, 6);
          for (std::uint32_t i = 0; i < n && e.data != nullptr; ++i)
            memory_[(a + i) & 0xFFFF] = e.data[i];
          e.transferred = n;
        });
  }
  if ((config_.blockCommands || config_.plainBlockWrite) && serial_) {
    commands().Add(
        "ReadFlashBlock", [](const Exchange& e) { return IsMemoryFrame(e, 0xFA); },
        [this](Exchange& e) {
          if (!e.dataIn) return e.Reject();
          const std::uint32_t n = std::min(Be16(e, 3), e.length);
          std::vector<std::uint8_t> out(n);
          if (!engine_.Read(Be24(e, 8), out.data(), n, e.nowUs)) return e.Reject();
          Deliver(e, out.data(), n);
        });
    commands().Add(
        "WriteFlashBlock", [](const Exchange& e) { return IsMemoryFrame(e, 0xFB); },
        [this](Exchange& e) { BlockWrite(e); });
  }
}

void BridgeChip::BlockWrite(Exchange& e) {
  if (e.dataIn) return e.Reject();
  const std::uint32_t n = std::min(Be16(e, 3), e.length);
  const std::uint32_t a = Be24(e, 8);
  const std::uint8_t mode = e.at(1);
  lastBlockWriteMode_ = mode;
  bool ok = true;
  if (config_.plainBlockWrite) {
    if (mode == 0x01) {
      // The erase flag clears the whole erase unit the address falls in.
      const std::uint32_t unit = config_.plainEraseUnit;
      const std::uint32_t start = a / unit * unit;
      const std::uint8_t op = engine_.settings.sectorErase;
      for (std::uint32_t s = start; ok && s < start + unit;) {
        // Each erase ends before the next is sent.
        ok = engine_.Erase(op, true, s, e.nowUs) && engine_.Wait(e.nowUs);
        // Step by what the opcode clears on this part; a part that ignores it
        // is sent it once.
        const EraseRange r = serial_->part().EraseRangeAt(op, s);
        s = r.length != 0 ? std::max(s + 1, r.start + r.length) : start + unit;
      }
    }
  } else {
    // Bits 0-2 are the erase code; bit 7 is accepted and kept for inspection.
    switch (mode & 0x07) {
      case 1:
      case 4:
        ok = engine_.Erase(engine_.settings.sectorErase, true, a, e.nowUs);
        break;
      case 2:
      case 5:
        ok = engine_.Erase(engine_.settings.blockErase, true, a, e.nowUs);
        break;
      case 3:
      case 6:
      case 7:
        ok = engine_.Erase(engine_.settings.chipErase, false, 0, e.nowUs);
        break;
      default:
        break;
    }
  }
  // The erase of this command finishes inside the command before the data
  // goes in: the command takes that long. Without an erase the engine sends
  // the data at once.
  const bool erased = config_.plainBlockWrite ? mode == 0x01 : (mode & 0x07) != 0;
  if (ok && erased) ok = engine_.Wait(e.nowUs);
  if (ok && e.data != nullptr) ok = engine_.Program(a, e.data, n, e.nowUs);
  if (!ok) return e.Reject();
  e.transferred = n;
}

void BridgeChip::AddSerialEngine() {
  commands().Add(
      "ReadFlash", [](const Exchange& e) { return IsVendor(e, 0x10); },
      [this](Exchange& e) {
        if (!e.dataIn) return e.Reject();
        std::vector<std::uint8_t> out(e.length);
        if (!engine_.Read(Be24(e, 3), out.data(), e.length, e.nowUs)) return e.Reject();
        Deliver(e, out.data(), e.length);
      });
  commands().Add(
      "WriteFlash", [](const Exchange& e) { return IsVendor(e, 0x11); },
      [this](Exchange& e) {
        if (e.dataIn || e.data == nullptr) return e.Reject();
        if (!engine_.Program(Be24(e, 3), e.data, e.length, e.nowUs)) return e.Reject();
      });
  commands().Add(
      "ReadFlashStatus", [](const Exchange& e) { return IsVendor(e, 0x12); },
      [this](Exchange& e) {
        if (!e.dataIn) return e.Reject();
        const std::uint8_t status = serial_->Status(e.nowUs);
        Deliver(e, &status, 1);
      });
  commands().Add(
      "EraseFlashChip", [](const Exchange& e) { return IsVendor(e, 0x13); },
      [this](Exchange& e) {
        e.transferred = 0;
        if (!engine_.Erase(engine_.settings.chipErase, false, 0, e.nowUs)) e.Reject();
      });
  commands().Add(
      "EraseFlashSector", [](const Exchange& e) { return IsVendor(e, 0x14); },
      [this](Exchange& e) {
        e.transferred = 0;
        if (!engine_.Erase(engine_.settings.blockErase, true, Be24(e, 3), e.nowUs)) e.Reject();
      });
  commands().Add(
      "ReadFlashIdBytes", [](const Exchange& e) { return IsVendor(e, 0x15); },
      [this](Exchange& e) {
        if (!e.dataIn) return e.Reject();
        // The opcode, then as many dummy clocks as byte 5 asks for.
        std::vector<std::uint8_t> mosi(1 + e.at(5), 0x00);
        mosi[0] = e.at(4);
        const std::vector<std::uint8_t> answer =
            serial_->Transfer(mosi, std::max<std::uint8_t>(e.at(3), 1), e.nowUs);
        Deliver(e, answer.data(), static_cast<std::uint32_t>(answer.size()));
      });
}

void BridgeChip::AddRawSpi() {
  commands().Add(
      "SpiCommand", [](const Exchange& e) { return IsVendor(e, 0x20); },
      [this](Exchange& e) {
        e.transferred = 0;
        const std::uint8_t count = e.at(3);
        if (count < 1 || count > 7) return e.Reject();
        if (spiPending_) Spi(pendingSpi_, e.nowUs);  // chip select ends the old cycle
        spiPending_ = false;
        std::vector<std::uint8_t> mosi;
        for (int i = 0; i < count; ++i) mosi.push_back(e.at(5 + i));
        if (e.at(4) & 0x01) {
          pendingSpi_ = std::move(mosi);
          spiPending_ = true;
        } else {
          Spi(std::move(mosi), e.nowUs);
        }
      });
  commands().Add(
      "SpiReadData", [](const Exchange& e) { return IsVendor(e, 0x21); },
      [this](Exchange& e) {
        if (!e.dataIn || !spiPending_) return e.Reject();
        spiPending_ = false;
        const std::vector<std::uint8_t> answer = serial_->Transfer(pendingSpi_, e.length, e.nowUs);
        Deliver(e, answer.data(), static_cast<std::uint32_t>(answer.size()));
      });
  commands().Add(
      "SpiWriteData", [](const Exchange& e) { return IsVendor(e, 0x22); },
      [this](Exchange& e) {
        if (e.dataIn || !spiPending_) return e.Reject();
        spiPending_ = false;
        const std::uint32_t n = std::min(Be16(e, 7), e.length);
        std::vector<std::uint8_t> mosi = pendingSpi_;
        if (e.data != nullptr) mosi.insert(mosi.end(), e.data, e.data + n);
        Spi(std::move(mosi), e.nowUs);
        e.transferred = n;
      });
}

// Both opcode commands carry the chip-erase, block-erase and program opcodes
// in three bytes in a row, from byte first on.
void BridgeChip::SetEraseAndProgramOpcodes(const Exchange& e, int first) {
  engine_.settings.chipErase = e.at(first);
  engine_.settings.blockErase = e.at(first + 1);
  engine_.settings.program = e.at(first + 2);
}

void BridgeChip::AddEngineConfig() {
  commands().Add(
      "SetFlashOpcodes", [](const Exchange& e) { return IsVendor(e, 0x24); },
      [this](Exchange& e) {
        SetEraseAndProgramOpcodes(e, 4);
        engine_.settings.maker = e.at(7);
        const std::uint8_t reply[2] = {0x00, 0x00};
        Deliver(e, reply, e.dataIn ? 2 : 0);
      });
  commands().Add(
      "SetFlashOpcodesAndPageSize", [](const Exchange& e) { return IsVendor(e, 0x0F); },
      [this](Exchange& e) {
        SetEraseAndProgramOpcodes(e, 3);
        engine_.settings.sectorErase = e.at(6);
        const std::uint32_t page =
            config_.pageSize16 ? Be16(e, 7) : static_cast<std::uint32_t>(e.at(7)) * 4;
        if (page != 0) engine_.settings.pageSize = page;
        e.transferred = 0;
      });
  commands().Add(
      "FlashPageSize", [](const Exchange& e) { return IsVendor(e, 0x25); },
      [this](Exchange& e) {
        // Byte 3 = 2 sets the page size (in units of 4 bytes); 0 clears it.
        if (e.at(3) == 0x02 && e.at(4) != 0)
          engine_.settings.pageSize = static_cast<std::uint32_t>(e.at(4)) * 4;
        else if (e.at(3) == 0x00)
          engine_.settings.pageSize = engineAtPowerOn_.pageSize;
        else
          return e.Reject();
        const std::uint8_t reply[2] = {0x00, 0x00};
        Deliver(e, reply, e.dataIn ? 2 : 0);
      });
}

void BridgeChip::AddParallelRom() {
  commands().Add("IsRomBusy", CdbPattern("FF 04 00"), [this](Exchange& e) {
    if (!e.dataIn) return e.Reject();
    const std::uint8_t busy = parallel_->Busy(e.nowUs) ? 0x01 : 0x00;
    Deliver(e, &busy, 1);
  });
  commands().Add("StartRomErase", CdbPattern("FF 04 01"), [this](Exchange& e) {
    e.transferred = 0;
    if (!romMode_) return e.Reject();  // the chip runs from that flash
    if (!eraseSequenceSet_ || !parallel_->Settle(e.nowUs)) return;
    for (int i = 0; i < 6; ++i) {
      const auto address =
          static_cast<std::uint16_t>(eraseSequence_[2 * i] | (eraseSequence_[2 * i + 1] << 8));
      parallel_->Write(address, eraseSequence_[12 + i], e.nowUs);
    }
  });
  commands().Add("ProgramRom", CdbPattern("FF 04 02"), [this](Exchange& e) {
    if (e.dataIn || !romMode_) return e.Reject();
    const auto addr = [&](int lo) {
      return static_cast<std::uint16_t>(e.at(lo) | (e.at(lo + 1) << 8));
    };
    // The chip waits for each byte before it sends the next: the whole run
    // passes inside the command, and the last byte may still be programming
    // when it ends.
    for (std::uint32_t i = 0; i < e.length && e.data != nullptr; ++i) {
      if (!parallel_->Settle(e.nowUs)) return e.Reject();
      parallel_->Write(addr(3), e.at(9), e.nowUs);
      parallel_->Write(addr(5), e.at(10), e.nowUs);
      parallel_->Write(addr(7), e.at(11), e.nowUs);
      parallel_->Write(static_cast<std::uint16_t>(i), e.data[i], e.nowUs);
    }
  });
  commands().Add("ReadRom", CdbPattern("FF 04 03"), [this](Exchange& e) {
    if (!e.dataIn) return e.Reject();
    const std::uint32_t a =
        e.at(3) | (e.at(4) << 8) | (e.at(5) << 16) | (static_cast<std::uint32_t>(e.at(6)) << 24);
    std::vector<std::uint8_t> out(e.length);
    for (std::uint32_t i = 0; i < e.length; ++i) out[i] = parallel_->Read(a + i);
    Deliver(e, out.data(), e.length);
  });
  commands().Add("PreEraseRom", CdbPattern("FF 04 04"), [this](Exchange& e) {
    if (e.dataIn || e.data == nullptr || e.length < 18 || !romMode_) return e.Reject();
    std::copy(e.data, e.data + 18, eraseSequence_.begin());
    eraseSequenceSet_ = true;
    e.transferred = 18;
  });
  if (!config_.a1Chip) {
    commands().Add("SwitchToInternalRom", CdbPattern("FF 04 05"), [this](Exchange& e) {
      romMode_ = true;
      e.transferred = 0;
    });
  }
}

// The raw path: the host's bytes go to the part as one chip-select cycle.
void BridgeChip::Spi(std::vector<std::uint8_t> mosi, std::uint64_t nowUs) {
  serial_->Transfer(mosi, 0, nowUs);
}

}  // namespace sim
