// Serial-flash identification and sizing from the identification answers a
// flash part gives (JEDEC 0x9F, 0x90, 0xAB, 0x15). The answers come through a
// reader the caller supplies, so the same rules serve the bridge route, the
// storage-controller route and the tests.
#pragma once

#include <cstdint>
#include <functional>

#include "scsi/flash_types.h"

namespace identify {

// The opcodes and capacity identification gives the chip's flash engine.
using device::FlashDescriptor;

// One raw identification command: opcode out, n answer bytes into out.
using SpiReader = std::function<bool(std::uint8_t opcode, std::uint8_t* out, std::uint32_t n)>;
// The bridge's dedicated identification read (opcode, flag), 4 answer bytes.
using IdBytesReader = std::function<bool(std::uint8_t opcode, int flag, std::uint8_t* out)>;

// The maker a JEDEC answer names (first matching rule), 0 when none; sets the
// SANYO sector-erase opcode in d.
int FlashMakerFromJedec(const std::uint8_t* b, FlashDescriptor& d);

// The full identification sequence. idBytes null means the storage-controller
// route, which stops after the 0x15 read. Returns false only when no rule
// found the part; a failing JEDEC read answers true with maker 0. answered,
// when given, says whether the outcome rests on answers: a rule found the
// part, or every read was answered and none did. Maker 0 without answers is
// no finding about the part.
bool IdentifyFlashWith(const SpiReader& spi, const IdBytesReader* idBytes, FlashDescriptor& d,
                       bool* answered = nullptr);

// Capacity in KB from the maker and the JEDEC answer (ok = that read
// succeeded); fallback reads go through spi. 64 when no rule applies.
std::uint32_t FlashSizeKbWith(const SpiReader& spi, int maker, bool jedecOk,
                              const std::uint8_t* jedec6);
// The same, 0 when no rule applies.
std::uint32_t KnownFlashSizeKbWith(const SpiReader& spi, int maker, bool jedecOk,
                                   const std::uint8_t* jedec6);

// Identifies first when d has no maker yet, then fills d.sizeKb (64 when no
// rule knows the part). True when a rule gave the size: the flash size was
// read. answered, when given, says whether the identification and the JEDEC
// read it rests on were answered, telling a part no rule sizes from a size
// that could not be read.
bool ReadFlashSizeWith(const SpiReader& spi, const IdBytesReader* idBytes, FlashDescriptor& d,
                       bool* answered = nullptr);

// MXIC parts answering C2 22 10/11/13 take a 32-byte program page setting.
bool NeedsPageSize32(const std::uint8_t* jedec);
// SST parts answering BF 25 set sstJedecFlag.
bool IsSstJedec25(const std::uint8_t* jedec);

}  // namespace identify
