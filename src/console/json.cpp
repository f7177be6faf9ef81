#include "console/json.h"

#include <cmath>

#include <nlohmann/json.hpp>

namespace app {

namespace {

// Objects keep their fields in the order written, so the version comes first.
using Json = nlohmann::ordered_json;

// Length of the well-formed UTF-8 sequence at p (n bytes left), 0 when the
// byte at p does not start one (overlong forms and surrogates included).
std::size_t Utf8SequenceAt(const unsigned char* p, std::size_t n) {
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return length;
}

Json Text(const std::string& bytes) { return JsonText(bytes); }

// Null for an empty text, so a reader can tell "none" from a value.
Json TextOrNull(const std::string& bytes) {
  return bytes.empty() ? Json(nullptr) : Text(bytes);
}

Json Events(const std::vector<ConsoleEvent>& events) {
  Json list = Json::array();
  for (const ConsoleEvent& e : events) {
    Json item;
    item["type"] = e.box ? "box" : "status";
    if (e.box) item["caption"] = Text(e.caption);
    item["text"] = Text(e.text);
    list.push_back(std::move(item));
  }
  return list;
}

const char* BusName(device::BusKind bus) {
  switch (bus) {
    case device::BusKind::Usb: return "USB";
    case device::BusKind::Ieee1394: return "IEEE 1394";
    case device::BusKind::Other: break;
  }
  return "other";
}


const char* EndName(RunEnd end) {
  switch (end) {
    case RunEnd::Succeeded: return "succeeded";
    case RunEnd::Failed: return "failed";
    case RunEnd::RanNothing: return "ranNothing";
    case RunEnd::Refused: return "refused";
    case RunEnd::RunDisabled: return "runDisabled";
    case RunEnd::NotOffered: return "notOffered";
    case RunEnd::NoSuchEntry: return "noSuchEntry";
    case RunEnd::Unreachable: return "unreachable";
    case RunEnd::WrongChip: return "wrongChip";
    case RunEnd::Interrupted: return "interrupted";
    case RunEnd::Repaired: return "repaired";
    case RunEnd::NotConfirmed: return "notConfirmed";
  }
  return "failed";
}

Json ProcedureOrNull(const std::optional<program::Procedure>& procedure) {
  return procedure ? Json(program::ProcedureName(*procedure)) : Json(nullptr);
}

template <typename T>
Json ValueOrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Json Offer(const RunOffer& offer) {
  Json o;
  o["offered"] = offer.offered;
  o["procedure"] = ProcedureOrNull(offer.procedure);
  return o;
}

Json Entry(const ListedEntry& e) {
  Json j;
  j["index"] = e.index;
  j["text"] = Text(e.text);
  j["chip"] = {{"name", Text(e.chipName)}, {"type", e.chipType}, {"subCode", e.chipSubCode}};
  j["bus"] = BusName(e.bus);
  j["path"] = Text(e.path);
  j["diskSequence"] = ValueOrNull(e.diskSequence);
  Json drives = Json::array();
  for (const std::string& d : e.drives) drives.push_back(Text(d));
  j["drives"] = std::move(drives);
  j["firmwareVersion"] = TextOrNull(e.firmwareVersion);
  j["flash"] = {{"maker", TextOrNull(e.flashMaker)},
                {"kind", e.flashKind != nullptr ? Json(e.flashKind) : Json(nullptr)},
                {"sizeKb", ValueOrNull(e.flashSizeKb)}};
  j["bridgeVersion"] = ValueOrNull(e.bridgeVersion);
  j["damagedBank"] = ValueOrNull(e.damagedBank);
  j["status"] = TextOrNull(e.status);
  j["offers"] = {{"program", Offer(e.program)},
                 {"eraseOnly", Offer(e.eraseOnly)},
                 {"backupOnly", Offer(e.backupOnly)}};
  j["events"] = Events(e.events);
  return j;
}

const char* MatchStepName(identify::MatchStep step) {
  switch (step) {
    case identify::MatchStep::FamilyMarker: return "familyMarker";
    case identify::MatchStep::LayoutMarker: return "layoutMarker";
    case identify::MatchStep::ChipNumber: return "chipNumber";
    case identify::MatchStep::Rule: break;
  }
  return "rule";
}

// Which step of the image check decided, and for the last step the rule in
// words; generic when the rule asks for no marker of the chip.
Json ImageCheck(const RunRecord& r) {
  if (!r.imageCheck) return nullptr;
  const identify::MatchDetail& d = *r.imageCheck;
  return {{"accepted", d.accepted},
          {"step", MatchStepName(d.decidedBy)},
          {"rule", d.decidedBy == identify::MatchStep::Rule
                       ? Json(identify::ImageRuleText(r.imageRuleChip))
                       : Json(nullptr)},
          {"generic", d.generic},
          {"offset", d.offset},
          {"text", Text(d.text)}};
}

Json Run(const RunRecord& r) {
  Json j;
  j["entry"] = r.entry;
  j["device"] = TextOrNull(r.device);
  j["entryText"] = TextOrNull(r.entryText);
  j["mode"] = RunModeName(r.mode);
  j["image"] = r.mode == RunMode::Program ? TextOrNull(r.image) : Json(nullptr);
  j["backupFile"] = r.mode == RunMode::BackupOnly ? TextOrNull(r.backupFile) : Json(nullptr);
  j["imageCheck"] = ImageCheck(r);
  j["procedure"] = ProcedureOrNull(r.procedure);
  j["outcome"] = EndName(r.end);
  j["problem"] = TextOrNull(r.problem);
  j["exitClass"] = ExitClassName(r.exitClass);
  j["changingCommands"] = r.changingCommands;
  j["events"] = Events(r.events);
  // Milliseconds are all a person or a script can use of it.
  j["wallSeconds"] = std::round(r.wallSeconds * 1000.0) / 1000.0;
  return j;
}

}  // namespace

const char* RunModeName(RunMode mode) {
  switch (mode) {
    case RunMode::EraseOnly: return "eraseOnly";
    case RunMode::BackupOnly: return "backupOnly";
    case RunMode::Program: break;
  }
  return "program";
}

std::string JsonText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t n = Utf8SequenceAt(p + i, bytes.size() - i);
    if (n != 0) {
      out.append(bytes.data() + i, n);
      i += n;
      continue;
    }
    // The character with the byte's number, in UTF-8.
    out += static_cast<char>(0xC0 | (p[i] >> 6));
    out += static_cast<char>(0x80 | (p[i] & 0x3F));
    ++i;
  }
  return out;
}

std::string StationRecordJson(const StationRecord& r) {
  Json j;
  j["enclosure"] = r.number;
  j["started"] = r.started;
  j["path"] = Text(r.path);
  j["entryText"] = TextOrNull(r.entryText);
  j["chip"] = TextOrNull(r.chip);
  j["versionBefore"] = TextOrNull(r.versionBefore);
  j["versionAfter"] = TextOrNull(r.versionAfter);
  j["outcome"] = r.outcome;
  j["runOutcome"] = EndName(r.end);
  j["procedure"] = ProcedureOrNull(r.procedure);
  j["problem"] = TextOrNull(r.problem);
  j["backupFile"] = TextOrNull(r.backupFile);
  j["seconds"] = std::round(r.seconds * 1000.0) / 1000.0;
  return j.dump(-1, ' ', /*ensure_ascii=*/true);
}

bool StationRecordFromJson(const std::string& line, StationRecord& r) {
  const Json j = Json::parse(line, nullptr, false);
  if (!j.is_object()) return false;
  const auto text = [&](const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  const auto number = [&](const char* key) {
    const auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<double>() : 0.0;
  };
  r.number = static_cast<int>(number("enclosure"));
  r.started = text("started");
  r.path = text("path");
  r.entryText = text("entryText");
  r.chip = text("chip");
  r.versionBefore = text("versionBefore");
  r.versionAfter = text("versionAfter");
  r.problem = text("problem");
  r.backupFile = text("backupFile");
  r.seconds = number("seconds");
  bool known = false;
  for (int e = 0; e <= static_cast<int>(RunEnd::NotConfirmed); ++e) {
    if (text("runOutcome") != EndName(static_cast<RunEnd>(e))) continue;
    r.end = static_cast<RunEnd>(e);
    known = true;
  }
  r.procedure.reset();
  for (const program::ProcedureRow& row : program::ProcedureTable())
    if (text("procedure") == row.name) r.procedure = row.procedure;
  return known;
}

std::string StationVersionAfterJson(const StationRecord& r) {
  Json j;
  j["settled"] = r.number;
  j["versionAfter"] = TextOrNull(r.versionAfter);
  return j.dump(-1, ' ', /*ensure_ascii=*/true);
}

std::string StationSummaryJson(const StationSummary& s) {
  Json j;
  j["summary"] = {{"updated", s.updated}, {"failed", s.failed}, {"skipped", s.skipped}};
  j["endedBy"] = TextOrNull(s.endedBy);
  return j.dump(-1, ' ', /*ensure_ascii=*/true);
}

std::string ConsoleJson(const ConsoleReport& report) {
  Json doc;
  doc["formatVersion"] = kJsonFormatVersion;
  doc["tool"] = {{"version", TextOrNull(report.toolVersion)},
                 {"commit", TextOrNull(report.toolCommit)}};
  if (report.listed) {
    Json entries = Json::array();
    for (const ListedEntry& e : report.entries) entries.push_back(Entry(e));
    doc["entries"] = std::move(entries);
    doc["listNotice"] = TextOrNull(report.listNotice);
  }
  Json runs = Json::array();
  for (const RunRecord& r : report.runs) runs.push_back(Run(r));
  doc["runs"] = std::move(runs);
  doc["events"] = Events(report.otherEvents);
  Json unreachable = Json::array();
  for (const host::UnreachableDevice& u : report.unreachable)
    unreachable.push_back(
        {{"path", Text(u.path)},
         {"reason", u.why == host::UnreachableDevice::Why::InUse ? "inUse" : "accessDenied"},
         {"text", Text(u.text)}});
  doc["unreachable"] = std::move(unreachable);
  doc["interrupted"] = TextOrNull(report.interrupted);
  doc["exitStatus"] = report.exitStatus;
  doc["exitClass"] = ExitClassName(ExitClassOf(report.exitStatus));
  return doc.dump(2, ' ', /*ensure_ascii=*/true) + "\n";
}

}  // namespace app
