#include "console/image_report_text.h"

#include <cinttypes>
#include <map>
#include <vector>

#include <nlohmann/json.hpp>

#include "console/console.h"
#include "console/json.h"
#include "console/text.h"
#include "identify/image_report.h"
#include "engine/paged_flash.h"

namespace app {

namespace {

using Json = nlohmann::ordered_json;
using identify::ChecksumState;
using identify::ImageInspection;
using identify::MatchStep;

std::string Hex(std::uint64_t value, int digits = 4) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*" PRIX64, digits, value);
  return text;
}

// The step that decided, in words; the rule's own words for the last step.
std::string Decision(const identify::ChipVerdict& v) {
  const identify::MatchDetail& d = v.decision;
  const std::string where = " at " + Hex(d.offset);
  switch (d.decidedBy) {
    case MatchStep::FamilyMarker: return "no 55 AA" + where;
    case MatchStep::LayoutMarker: return "no E9 AC 67" + where;
    case MatchStep::ChipNumber:
      return "the bridge marker" + where + " names " + identify::QuotedImageText(d.text) +
             ", not " + identify::ChipShortCode(v.chipType);
    case MatchStep::Rule: break;
  }
  return "rule: " + identify::ImageRuleText(v.chipType) + " (text " +
         identify::QuotedImageText(d.text) + where + ")";
}

const char* StepName(MatchStep step) {
  switch (step) {
    case MatchStep::FamilyMarker: return "familyMarker";
    case MatchStep::LayoutMarker: return "layoutMarker";
    case MatchStep::ChipNumber: return "chipNumber";
    case MatchStep::Rule: break;
  }
  return "rule";
}

std::string Verdict(const identify::ChipVerdict& v) {
  switch (v.acceptance) {
    case identify::Acceptance::Refused: return "refused";
    case identify::Acceptance::EverySubCode: return "accepted";
    case identify::Acceptance::SomeSubCodes: break;
  }
  std::string codes;
  for (const int r : v.subCodes) codes += (codes.empty() ? "" : ", ") + std::to_string(r);
  return std::string("accepted for sub-code") + (v.subCodes.size() > 1 ? "s " : " ") + codes;
}

const char* ChecksumStateName(ChecksumState state) {
  switch (state) {
    case ChecksumState::Matches: return "matches";
    case ChecksumState::Differs: return "differs";
    case ChecksumState::TooShort: return "tooShort";
    case ChecksumState::TooLong: return "tooLong";
    case ChecksumState::NoEndMarker: return "noEndMarker";
  }
  return "differs";
}

std::string ChecksumText(const identify::ChecksumDetail& c) {
  switch (c.state) {
    case ChecksumState::TooShort:
      return "not summed: shorter than 32 KB (the check refuses it unless the image carries an "
             "NVRAM area)";
    case ChecksumState::TooLong:
      return "not summed: longer than 16 MiB (the check refuses it)";
    case ChecksumState::NoEndMarker:
      return "refused: the text calls for an end marker, and the file ends before the limit " +
             Hex(*c.endMarkerLimit);
    case ChecksumState::Matches:
    case ChecksumState::Differs:
      break;
  }
  std::string range = "bytes 0x0000.." + Hex(c.summedLength - 1);
  if (c.endMarkerLimit)
    range += ", up to the end marker searched in the first " + Hex(*c.endMarkerLimit);
  char values[64];
  std::snprintf(values, sizeof values, " holds 0x%02X, the 8-bit sum is 0x%02X", c.stored,
                c.computed);
  return std::string(c.state == ChecksumState::Matches ? "matches" : "does not match") +
         ": byte " + Hex(c.storedAt) + values + " (" + range + ")";
}

// The NVRAM area the image starts with, for the chip types that find it.
std::string NvramText(const ImageInspection& in) {
  std::map<std::uint32_t, std::string> byMarker;
  for (const identify::ChipVerdict& v : in.chips) {
    if (!v.nvramMarker) continue;
    std::string& types = byMarker[*v.nvramMarker];
    types += (types.empty() ? "" : ", ") + std::to_string(v.chipType);
  }
  if (byMarker.empty()) return "none (no chip type finds its marker at 0x1000 or 0x0080)";
  std::string text;
  for (const auto& [marker, types] : byMarker) {
    if (!text.empty()) text += "; ";
    text += Hex(0) + ".." + Hex(identify::kNvramAreaLength - 1) + " for chip type" +
            (types.find(',') != std::string::npos ? "s " : " ") + types + " (marker at " +
            Hex(marker) + ")";
  }
  return text + "; those pass the checksum check without a sum";
}

void PrintText(const ImageInspection& in, std::FILE* out) {
  std::fprintf(out, "file:     %s\n", PrintableLine(in.fileName).c_str());
  std::fprintf(out, "length:   %" PRIu64 " bytes (%s)%s\n", in.length, Hex(in.length).c_str(),
               in.length > identify::kLargestSummedImage
                   ? "; longer than any flash of these chips: every update refuses it"
                   : "");
  std::fprintf(out, "checksum: %s\n", ChecksumText(in.checksum).c_str());
  std::fprintf(out, "nvram:    %s\n", NvramText(in).c_str());
  if (in.markers.empty()) std::fprintf(out, "markers:  none\n");
  for (std::size_t i = 0; i < in.markers.size(); ++i) {
    const identify::MarkerBlock& m = in.markers[i];
    const std::string bytes = HexBytes(m.bytes.data(), m.bytes.size());
    std::fprintf(out, "%s%s  %-6s  %-29s  text %s\n", i == 0 ? "markers:  " : "          ",
                 Hex(m.offset).c_str(), m.kind, bytes.c_str(),
                 identify::QuotedImageText(m.text).c_str());
  }
  std::fprintf(out, "chip types:\n");
  for (const identify::ChipVerdict& v : in.chips) {
    std::fprintf(out, "  %2d  %-19s %-26s %s\n", v.chipType, identify::ChipName(v.chipType),
                 Verdict(v).c_str(), Decision(v).c_str());
  }
}

Json InspectionJson(const ImageInspection& in) {
  Json j;
  j["file"] = JsonText(in.fileName);
  j["length"] = in.length;
  const identify::ChecksumDetail& c = in.checksum;
  Json sum;
  sum["state"] = ChecksumStateName(c.state);
  const bool summed = c.state == ChecksumState::Matches || c.state == ChecksumState::Differs;
  sum["storedAt"] = summed ? Json(c.storedAt) : Json(nullptr);
  sum["stored"] = summed ? Json(c.stored) : Json(nullptr);
  sum["computed"] = summed ? Json(c.computed) : Json(nullptr);
  sum["summedLength"] = summed ? Json(c.summedLength) : Json(nullptr);
  sum["endMarkerLimit"] = c.endMarkerLimit ? Json(*c.endMarkerLimit) : Json(nullptr);
  j["checksum"] = std::move(sum);
  Json markers = Json::array();
  for (const identify::MarkerBlock& m : in.markers) {
    markers.push_back({{"offset", m.offset},
                       {"kind", m.kind},
                       {"bytes", HexBytes(m.bytes.data(), m.bytes.size())},
                       {"text", JsonText(m.text)}});
  }
  j["markers"] = std::move(markers);
  Json chips = Json::array();
  for (const identify::ChipVerdict& v : in.chips) {
    Json chip;
    chip["type"] = v.chipType;
    chip["name"] = identify::ChipName(v.chipType);
    chip["accepted"] = v.acceptance != identify::Acceptance::Refused;
    chip["subCodes"] = v.acceptance == identify::Acceptance::SomeSubCodes ? Json(v.subCodes)
                                                                           : Json(nullptr);
    chip["decidedBy"] = {{"step", StepName(v.decision.decidedBy)},
                         {"offset", v.decision.offset},
                         {"text", JsonText(v.decision.text)},
                         {"description", Decision(v)}};
    chip["nvramArea"] =
        v.nvramMarker ? Json({{"offset", 0},
                              {"length", identify::kNvramAreaLength},
                              {"markerAt", *v.nvramMarker}})
                      : Json(nullptr);
    chip["checksumPasses"] = v.nvramMarker.has_value() || c.state == ChecksumState::Matches;
    chips.push_back(std::move(chip));
  }
  j["chipTypes"] = std::move(chips);
  return j;
}

}  // namespace

int RunInspect(const std::string& fileName, bool json, std::FILE* out, std::FILE* err) {
  ImageInspection inspection;
  const identify::ImageFileProblem problem = identify::InspectImageFile(fileName, inspection);
  const int status = problem == identify::ImageFileProblem::None ? kExitSuccess : kExitRefused;
  if (json) {
    Json doc;
    doc["formatVersion"] = kJsonFormatVersion;
    if (problem == identify::ImageFileProblem::None) {
      doc["inspect"] = InspectionJson(inspection);
    } else {
      doc["inspect"] = {{"file", JsonText(fileName)},
                        {"error", program::kOpenFileError},
                        {"problem", identify::ImageFileProblemText(problem)}};
    }
    doc["exitStatus"] = status;
    doc["exitClass"] = ExitClassName(ExitClassOf(status));
    std::fputs((doc.dump(2, ' ', /*ensure_ascii=*/true) + "\n").c_str(), out);
  } else if (problem == identify::ImageFileProblem::None) {
    PrintText(inspection, out);
  } else {
    std::fprintf(err, "%s %s %s\n", program::kOpenFileError, PrintableLine(fileName).c_str(),
                 identify::ImageFileProblemText(problem));
  }
  std::fflush(out);
  return status;
}

}  // namespace app
