// Backups that can be programmed back: the console keeps an existing backup
// under a numbered name, writes a sidecar NAME.json beside each backup it
// made (what it was taken from, its length and SHA-256), and checks a backup
// against its sidecar and the enclosure before --restore programs it.
#pragma once

#include <cstdint>
#include <string>

namespace app {

inline constexpr int kSidecarFormatVersion = 1;

// What a backup was taken from, or what the enclosure to restore into is.
struct BackupFacts {
  std::string chipName;
  int chipType = 0;
  int chipSubCode = 0;
  std::string firmwareVersion;
  std::string flashPart;        // as the flash line shows it; "" when none
  std::uint64_t flashBytes = 0; // the flash size the run worked with
  std::uint64_t skipped = 0;    // bytes at the start of the flash left out (the NVRAM)
  std::string procedure;
};

// name itself when no regular file is there; else the first free
// "stem.N.ext" (N from 1), so an earlier backup is kept.
std::string KeptBackupName(const std::string& name);
// The sidecar's name for a backup file.
std::string SidecarName(const std::string& backup);

// Writes the sidecar of a backup just written (through the atomic writer);
// false with the reason in problem.
bool WriteSidecar(const std::string& backup, const BackupFacts& facts,
                  const std::string& toolVersion, std::string& problem);

// "" when backup may be programmed into the enclosure described by current:
// its sidecar is there and names the same chip, flash part and size, leaves
// nothing out, and the file's bytes have the sidecar's length and SHA-256.
// Otherwise why not.
std::string RestoreProblem(const std::string& backup, const BackupFacts& current);

}  // namespace app
