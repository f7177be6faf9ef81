// The steps that keep a run safe, written once for every procedure: a kept
// region of the flash (saved by a read that agrees with a second one, put
// back and checked on every way out once its area may have been erased), the
// blank check after an erase and the compare before success. A procedure
// supplies only its commands and texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "engine/run_window.h"
#include "scsi/ata_commands.h"
#include "texts.h"

namespace program {

// Which of the window's status calls a procedure uses: the paged procedures
// repaint only, so that no window event runs between their commands.
enum class StatusPaint { Show, Repaint };

void PutStatus(RunWindow& window, StatusPaint paint, const char* text);

// A failure's status text (none: the caller shows its own) and how it is
// painted.
struct FailureText {
  const char* text = nullptr;
  StatusPaint paint = StatusPaint::Show;
};

// A read nothing later checks (a kept NVRAM record, a bank about to be
// copied, a backup) is taken only when a second read agrees with it byte
// for byte: data holds the first read, check has room for length bytes.
template <typename Read>
bool SecondReadAgrees(const Read& read, const std::uint8_t* data, std::uint8_t* check,
                      std::size_t length) {
  return read(check) && std::memcmp(data, check, length) == 0;
}
template <typename Read>
bool ReadTwiceAgreeing(const Read& read, std::uint8_t* data, std::uint8_t* check,
                       std::size_t length) {
  return read(data) && SecondReadAgrees(read, data, check, length);
}

bool IsBlank(const std::uint8_t* data, std::size_t length);
// True when every byte reads 0xFF; otherwise shows the failure text.
bool RequireBlank(RunWindow& window, const std::uint8_t* data, std::size_t length,
                  FailureText failure = {kDataNotBlank});
// The erase of the flash behind a storage controller, then the blank check
// of length bytes from address 0: device::kAtaRangeOk, or kAtaAllocateFailed
// (nothing sent), kAtaEraseCommandFailed, kAtaNotReady, kAtaReadCommandFailed
// or kAtaNotBlank.
device::AtaRangeResult AtaEraseBlankChecked(const char* path, std::int32_t length,
                                            std::uint32_t readyLimitMs = device::kAtaEraseLimitMs);
// True when what was read back equals what was meant to be there; otherwise
// shows the failure text. Nothing is reported done before this held.
bool RequireEqual(RunWindow& window, const std::uint8_t* expected, const std::uint8_t* actual,
                  std::size_t length, FailureText failure);

// How a kept region is read and written back. The write may find the copy
// already in place and say so (then nothing more is read).
enum class WriteBack { Failed, Written, AlreadyInPlace };
struct RegionAccess {
  std::function<bool(std::uint8_t* into)> read;  // reads the whole region
  std::function<WriteBack(const std::uint8_t* from)> write;
  std::function<void()> restored = {};  // after a write-back was checked
  // Reads the region to check a write-back; none: read.
  std::function<bool(std::uint8_t* into)> readBack = {};
};

struct KeptRegionTexts {
  const char* saveFailed;       // not read whole, or two reads differed
  const char* writeBackFailed;  // the write-back failed
  const char* readBackFailed = nullptr;  // none: writeBackFailed
  const char* compareFailed = nullptr;   // none: readBackFailed
  StatusPaint paint = StatusPaint::Show;
  // After a failure, a write-back that went well shows the failure's text
  // again (the write-back's own progress may have replaced it).
  bool reshowFailure = false;
};

// A flash region (the NVRAM) that must survive the run. Save() keeps a copy
// read twice; AtRisk() marks the moment the first erase that may take it is
// sent; from then on every way out writes the copy back and checks it:
// Restore() on the way to success, the destructor on any other.
class KeptRegion {
 public:
  KeptRegion(RunWindow& window, std::size_t size, RegionAccess access, KeptRegionTexts texts);
  ~KeptRegion();
  KeptRegion(const KeptRegion&) = delete;
  KeptRegion& operator=(const KeptRegion&) = delete;

  // Reads the region twice; false when it was not read whole or the reads
  // differ. Shows saveFailed unless quiet.
  bool Save(bool quiet = false);
  // The copy is not needed after all: nothing is written back.
  void Release() { saved_ = false; atRisk_ = false; }
  bool saved() const { return saved_; }
  std::uint8_t* data() { return copy_.data(); }
  std::size_t size() const { return copy_.size(); }

  void AtRisk() { atRisk_ = saved_; }
  // The region was verified in place with the image.
  void InPlace() { atRisk_ = false; }
  bool atRisk() const { return atRisk_; }

  // Writes the copy back and reads it again when it is at risk. True when it
  // was not at risk or is back as it was; false with its text shown.
  bool Restore();
  // A failure's way out: puts the copy back if it is at risk. The status the
  // failure showed stays unless the write-back failed.
  void RestoreAfterFailure();

 private:
  RunWindow& window_;
  RegionAccess access_;
  KeptRegionTexts texts_;
  std::vector<std::uint8_t> copy_;
  std::size_t wanted_ = 0;
  bool saved_ = false;
  bool atRisk_ = false;
};

}  // namespace program
