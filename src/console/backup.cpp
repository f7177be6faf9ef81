#include "console/backup.h"

#include <ctime>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/json.h"
#include "console/sha256.h"
#include "console/text.h"
#include "host/stdio_file.h"

namespace app {

namespace {

using Json = nlohmann::ordered_json;

std::string SizeText(std::uint64_t bytes) {
  return bytes % 1024 == 0 ? std::to_string(bytes / 1024) + " KB"
                           : std::to_string(bytes) + " bytes";
}

bool ReadWholeFile(const std::string& name, std::string& text) {
  const host::File f = host::OpenRegularFile(name.c_str());
  if (!f) return false;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0) {
    text.append(buffer, n);
    if (text.size() > (1u << 20)) return false;  // no sidecar is that long
  }
  return !std::ferror(f.get());
}

}  // namespace

std::string KeptBackupName(const std::string& name) {
  if (host::KindOfFile(name.c_str()) != host::FileKind::Regular) return name;
  // The number goes before the extension, so the file keeps its type.
  const std::size_t slash = name.find_last_of("/\\");
  const std::size_t dot = name.rfind('.');
  const bool hasExtension =
      dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1);
  const std::string stem = hasExtension ? name.substr(0, dot) : name;
  const std::string extension = hasExtension ? name.substr(dot) : "";
  for (int n = 1;; ++n) {
    std::string numbered = stem + "." + std::to_string(n) + extension;
    if (host::KindOfFile(numbered.c_str()) == host::FileKind::Missing &&
        host::KindOfFile(SidecarName(numbered).c_str()) == host::FileKind::Missing)
      return numbered;
  }
}

std::string SidecarName(const std::string& backup) { return backup + ".json"; }

bool WriteSidecar(const std::string& backup, const BackupFacts& facts,
                  const std::string& toolVersion, std::string& problem) {
  std::string digest;
  std::uint64_t length = 0;
  if (!Sha256OfFile(backup, digest, length)) {
    problem = "the backup " + backup + " cannot be read back for its sidecar";
    return false;
  }
  Json j;
  j["formatVersion"] = kSidecarFormatVersion;
  j["chip"] = {{"name", JsonText(facts.chipName)},
               {"type", facts.chipType},
               {"subCode", facts.chipSubCode}};
  j["firmwareVersion"] = JsonText(facts.firmwareVersion);
  j["flash"] = {{"part", JsonText(facts.flashPart)}, {"bytes", facts.flashBytes}};
  j["skipped"] = facts.skipped;
  j["procedure"] = facts.procedure;
  j["length"] = length;
  j["sha256"] = digest;
  j["toolVersion"] = toolVersion;
  j["time"] = LocalTimeText();
  const std::string text = j.dump(2, ' ', /*ensure_ascii=*/true) + "\n";
  const std::string name = SidecarName(backup);
  if (!host::ReplaceFileWith(name.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                             text.size())) {
    problem = "the sidecar " + name + " could not be written";
    return false;
  }
  return true;
}

std::string RestoreProblem(const std::string& backup, const BackupFacts& current) {
  const std::string name = SidecarName(backup);
  std::string text;
  if (!ReadWholeFile(name, text))
    return "The backup has no readable sidecar " + name + "; nothing was sent.";
  const Json j = Json::parse(text, nullptr, false);
  try {
    if (j.is_discarded() || j.at("formatVersion") != kSidecarFormatVersion)
      return "The sidecar " + name + " is not one this tool reads; nothing was sent.";
    const int type = j.at("chip").at("type");
    const int subCode = j.at("chip").at("subCode");
    if (type != current.chipType || subCode != current.chipSubCode)
      return "The backup was taken from a " + j.at("chip").at("name").get<std::string>() +
             " (type " + std::to_string(type) + ", sub-code " + std::to_string(subCode) +
             "); this enclosure holds a " + current.chipName + " (type " +
             std::to_string(current.chipType) + ", sub-code " +
             std::to_string(current.chipSubCode) + "); nothing was sent.";
    const std::string part = j.at("flash").at("part");
    const std::uint64_t bytes = j.at("flash").at("bytes");
    if (part != JsonText(current.flashPart) || bytes != current.flashBytes)
      return "The backup was taken from a flash " + part + " of " + SizeText(bytes) +
             "; this enclosure has " + current.flashPart + " of " +
             SizeText(current.flashBytes) + "; nothing was sent.";
    const std::uint64_t skipped = j.at("skipped");
    if (skipped != current.skipped)
      return "The backup leaves out the first " + std::to_string(skipped) +
             " bytes of the flash (the NVRAM); only a backup of the whole flash is "
             "programmed back; nothing was sent.";
    std::string digest;
    std::uint64_t length = 0;
    if (!Sha256OfFile(backup, digest, length))
      return "The backup " + backup + " cannot be read; nothing was sent.";
    if (length != j.at("length").get<std::uint64_t>() || digest != j.at("sha256"))
      return "The backup's bytes do not match the SHA-256 its sidecar names (changed since it "
             "was written); nothing was sent.";
  } catch (const nlohmann::json::exception&) {
    return "The sidecar " + name + " misses a field this tool needs; nothing was sent.";
  }
  return "";
}

}  // namespace app
