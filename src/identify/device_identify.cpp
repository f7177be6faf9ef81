#include "identify/device_identify.h"

#include <cstring>
#include <string>

#include "scsi/ata_commands.h"
#include "scsi/chip_commands.h"
#include "scsi/flash_commands.h"

namespace identify {

namespace {

constexpr std::uint16_t kProbeAddress = 0x506A;

SpiReader BridgeSpi(const std::string& path) {
  return [path](std::uint8_t opcode, std::uint8_t* out, std::uint32_t n) {
    return device::SpiCommandRead(path.c_str(), opcode, out, static_cast<std::uint8_t>(n)).ok();
  };
}

SpiReader ControllerSpi(const std::string& path) {
  return [path](std::uint8_t opcode, std::uint8_t* out, std::uint32_t n) {
    return device::AtaSpiCommandRead(path.c_str(), opcode, out, static_cast<int>(n)).ok();
  };
}

IdBytesReader BridgeIdBytes(const std::string& path) {
  return [path](std::uint8_t opcode, int flag, std::uint8_t* out) {
    return device::ReadFlashIdBytes(path.c_str(), out, opcode, flag).ok();
  };
}

}  // namespace

Identification IdentifyChip(const char* path) {
  const std::string p = path;
  ChipQueries q;
  q.inquiry = [p](std::uint8_t* out40) { return device::Inquiry(p.c_str(), out40, 40).ok(); };
  q.readChipVariant = [p](std::uint8_t* out2) {
    return device::ReadChipVariant(p.c_str(), out2).ok();
  };
  q.readChipInfo = [p](std::uint8_t* out, std::uint32_t n) {
    std::int32_t transferred = 0;
    return device::ReadChipInfo(p.c_str(), out, static_cast<std::int32_t>(n), &transferred).ok();
  };
  q.readChipIdString = [p](std::uint8_t* out40) {
    return device::ReadChipIdString(p.c_str(), out40, 40).ok();
  };
  q.checkChipLevelFDB0 = [p] {
    bool answered = false;
    const int level = device::CheckChipLevelFDB0(p.c_str(), &answered);
    if (!answered) return ChipLevel::Unread;
    return level != 0 ? ChipLevel::High : ChipLevel::Low;
  };
  return IdentifyChipWith(q);
}

bool IdentifyFlash(const char* path, FlashDescriptor& descriptor) {
  const IdBytesReader idBytes = BridgeIdBytes(path);
  return IdentifyFlashWith(BridgeSpi(path), &idBytes, descriptor);
}

bool IdentifyFlashAta(const char* path, FlashDescriptor& descriptor) {
  return IdentifyFlashWith(ControllerSpi(path), nullptr, descriptor);
}

bool ReadFlashSize(const char* path, FlashDescriptor& descriptor, bool* answered) {
  const IdBytesReader idBytes = BridgeIdBytes(path);
  return ReadFlashSizeWith(BridgeSpi(path), &idBytes, descriptor, answered);
}

bool ReadFlashSizeAta(const char* path, FlashDescriptor& descriptor) {
  return ReadFlashSizeWith(ControllerSpi(path), nullptr, descriptor);
}

FirmwareBuild IsReleaseFirmware(const char* path, int chipType, const std::string& version,
                                int flashTypeCode) {
  const std::string p = path;
  ReleaseReads reads;
  reads.readChipMemory = [p](std::uint32_t address, std::uint8_t* out, std::uint32_t n) {
    return device::ReadChipMemory(p.c_str(), out, static_cast<std::uint16_t>(address),
                                  static_cast<std::uint16_t>(n))
        .ok();
  };
  reads.readFlashBlock = [p](std::uint32_t address, std::uint8_t* out, std::uint32_t n) {
    return device::ReadFlashBlock(p.c_str(), address, out, n).ok();
  };
  reads.readFlash = [p](std::uint32_t address, std::uint8_t* out, std::uint32_t n) {
    return device::ReadFlash(p.c_str(), static_cast<std::int32_t>(address), out,
                             static_cast<std::int32_t>(n))
        .ok();
  };
  reads.readChipParameters = [p](std::uint8_t* out20) {
    return device::ReadChipParameters(p.c_str(), out20, 20);
  };
  return IsReleaseFirmwareWith(reads, chipType, version, flashTypeCode);
}

bool ProbeChipBit506A(const char* path) {
  std::uint8_t saved = 0;
  // Without the byte there is nothing to restore: writing a guessed value
  // back would change chip memory the probe never read.
  if (device::ReadChipMemory(path, &saved, kProbeAddress, 1).failed()) return false;
  bool result = false;
  const std::uint8_t zero = 0;
  if (device::WriteChipMemory(path, &zero, kProbeAddress, 1).ok()) {
    std::uint8_t probe = 0;
    device::ReadChipMemory(path, &probe, kProbeAddress, 1);  // a failure leaves 0
    if (probe == 1) {
      saved ^= 0x01;
      result = true;
    }
  }
  // Every probe that wrote ends by putting the byte back.
  device::WriteChipMemory(path, &saved, kProbeAddress, 1);
  return result;
}

FlashCommands DeviceFlashCommands(const char* path) {
  const std::string p = path;
  FlashCommands c;
  c.spiCommandRead = BridgeSpi(p);
  c.readFlashIdBytes = BridgeIdBytes(p);
  c.ataSpiCommandRead = ControllerSpi(p);
  c.readFlashTypeCode = [p](std::uint8_t* code) {
    std::uint8_t block[4] = {};
    if (device::ReadFlashTypeCode(p.c_str(), block).failed()) return false;
    *code = block[0];
    return true;
  };
  c.ataReadFlashTypeCode = [p](std::uint8_t* code) {
    std::uint8_t block[4] = {};
    if (device::AtaReadFlashTypeCode(p.c_str(), block).failed()) return false;
    *code = block[3];
    return true;
  };
  c.detectAmicFlash = [p] {
    bool answered = false;
    const int id = device::DetectAmicFlash(p.c_str(), &answered);
    return answered ? id : kProbeUnanswered;
  };
  c.detectAtmelFlash = [p] {
    bool answered = false;
    const int id = device::DetectAtmelFlash(p.c_str(), &answered);
    return answered ? id : kProbeUnanswered;
  };
  c.setFlashOpcodes = [p](const FlashDescriptor& d) {
    return device::SetFlashOpcodes(p.c_str(), d).ok();
  };
  c.setFlashOpcodesNoReply = [p](const FlashDescriptor& d) {
    return device::SetFlashOpcodesNoReply(p.c_str(), d).ok();
  };
  c.ataSetFlashOpcodes = [p](const FlashDescriptor& d) {
    return device::AtaSetFlashOpcodes(p.c_str(), d).ok();
  };
  c.setFlashPageSize = [p](std::uint32_t pageSize, std::uint32_t dataLength) {
    return device::SetFlashPageSize(p.c_str(), static_cast<std::uint16_t>(pageSize),
                                    static_cast<std::uint8_t>(dataLength))
        .ok();
  };
  c.ataSetFlashPageSize = [p](std::uint32_t pageSize) {
    return device::AtaSetFlashPageSize(p.c_str(), static_cast<std::uint16_t>(pageSize)).ok();
  };
  c.setFlashOpcodesAndPageSize = [p](const FlashDescriptor& d, std::uint32_t pageSize) {
    return device::SetFlashOpcodesAndPageSize(p.c_str(), d, static_cast<std::uint16_t>(pageSize))
        .ok();
  };
  c.setFlashOpcodesAndPageSize16 = [p](const FlashDescriptor& d, std::uint32_t pageSize) {
    return device::SetFlashOpcodesAndPageSize16(p.c_str(), d, static_cast<std::uint16_t>(pageSize))
        .ok();
  };
  return c;
}

VersionDisplay ReadFirmwareVersion(const char* path, int chipType) {
  std::uint8_t info[16] = {};
  std::int32_t transferred = 0;
  const bool ok = device::ReadChipInfo(path, info, sizeof info, &transferred).ok();
  const std::uint32_t n = transferred < 0 ? 0u : static_cast<std::uint32_t>(transferred);

  VersionExtras extras;
  std::uint8_t controller[16] = {};
  // The extra reads belong to forming the text: only for a block that carries
  // the signature.
  if (ok && n >= 2 && HasChipInfoSignature(info)) {
    if (VersionNeedsBitProbe(chipType)) extras.bit506AProbe = ProbeChipBit506A(path);
    if (device::ChipRowFor(chipType).behindController) {
      if (device::AtaReadChipInfoBytes(path, controller, sizeof controller).ok())
        extras.controllerInfo = controller;
    }
  }
  return DecideVersionDisplay(chipType, ok, info, n, extras);
}

}  // namespace identify
