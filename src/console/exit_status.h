// The console's exit statuses: one class per kind of ending a script must
// tell apart, each with its number and the name the JSON document gives it.
#pragma once

#include <span>

namespace app {

enum class ExitClass {
  Success = 0,
  Failed = 1,       // the device as it was: nothing changed was sent
  Usage = 2,        // bad option or argument, an output file the tool will not write
  Refused = 3,      // refused before any command: the image, its size, the chip
  Unavailable = 4,  // the device: not found, in use, permission denied
  Attention = 5,    // failed after a command that changes the flash: neither old nor new
  OutputIncomplete = 6,  // every run succeeded, but the log or the output is not whole
  Interrupted = 128 // 128 + the signal's number
};

struct ExitClassRow {
  ExitClass cls;
  const char* name;     // as the JSON document writes it
  const char* meaning;  // for --help and the manual page
};

std::span<const ExitClassRow> ExitClasses();
const char* ExitClassName(ExitClass cls);
// The class of a process exit status (128 and above: interrupted).
ExitClass ExitClassOf(int status);
// The worse of two endings, for a console that ran several things: a
// device needing attention outranks every other failure.
ExitClass Worse(ExitClass a, ExitClass b);

// What an operator does with an enclosure whose run ended in Attention.
extern const char* const kAttentionAdvice;

inline constexpr int kExitSuccess = static_cast<int>(ExitClass::Success);
inline constexpr int kExitRunFailed = static_cast<int>(ExitClass::Failed);
inline constexpr int kExitUsage = static_cast<int>(ExitClass::Usage);
inline constexpr int kExitRefused = static_cast<int>(ExitClass::Refused);
inline constexpr int kExitUnavailable = static_cast<int>(ExitClass::Unavailable);
inline constexpr int kExitAttention = static_cast<int>(ExitClass::Attention);
// Every run succeeded, but the log or the standard output could not be
// written whole (a full disk, a file-size limit): the account is incomplete.
inline constexpr int kExitOutputIncomplete = static_cast<int>(ExitClass::OutputIncomplete);
// A request to end the console (a signal, Ctrl+C) came during a run: the
// run was finished first, then the console ended with 128 + its number.
inline constexpr int kExitInterruptedBase = static_cast<int>(ExitClass::Interrupted);

}  // namespace app
