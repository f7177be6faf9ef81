// The SST serial parts come up with their block protection set. Pressed on
// such a part, every procedure Run can reach must either program it and
// verify the image, or fail plainly: failure text, no power-cycle box, and
// the firmware it could not erase still in place. Each row pins what the run
// ends with, so a procedure that starts to erase or program differently on a
// protected part shows up here.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "fault_matrix.h"
#include "run_window_fixture.h"
#include "sim/variant.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Row {
  const char* profile;
  const char* part;  // the serial part swapped in; "" the profile's own
  bool eraseOnly;
  const char* status;  // the status the run ends with
};

void PrintTo(const Row& r, std::ostream* os) {
  *os << r.profile << ' ' << r.part << (r.eraseOnly ? " erase-only" : " program");
}

constexpr const char* kNotBlank = "Data not 0xff !!";
constexpr const char* kCompare = "Data compare fail !!";

// clang-format off
const Row kRows[] = {
    // The SST update on chip type 10 clears protection with its serial chip erase.
    {"txr847-sst",      "",             false, "Programming Success!!"},
    {"txr847-sst",      "",             true,  "Erase flash all success!"},
    {"txr847-sst-byte", "",             false, "Programming Success!!"},
    // The SST25VF512 ignores 0xC7: the erase-only run's chip erase clears the
    // protection but erases nothing after the engine's erase was refused.
    {"txr847-sst-byte", "",             true,  kNotBlank},
    // The SST update on chip types 11, 17, 19 (and an SST part on type 19's
    // plain variant) runs no serial chip erase: the engine's erases are refused.
    {"txv961-l5-sst",   "",             false, kNotBlank},
    {"txv961-l5-sst",   "",             true,  kNotBlank},
    {"txr659-sst",      "",             false, kNotBlank},
    {"txr659-sst",      "",             true,  kNotBlank},
    {"tx40779-e-sst",   "",             false, kNotBlank},
    {"tx40779-e-sst",   "",             true,  kNotBlank},
    {"tx40779-e",       "sst-25vf032b", false, kNotBlank},
    // The standard and the NVRAM-preserving procedures unprotect no SST part.
    {"tx40775-pmc",     "sst-25vf512",  false, kNotBlank},
    {"tx40775-pmc",     "sst-25vf512",  true,  kNotBlank},
    {"tx40775-pmc",     "sst-25vf016b", false, kNotBlank},
    {"tx40779-e",       "sst-25vf512",  true,  kNotBlank},
    {"txr842",          "sst-25vf016b", false, kNotBlank},
    {"txr842",          "sst-25vf016b", true,  kNotBlank},
    {"txv961-page",     "sst-25vf016b", false, kNotBlank},
    // Block commands and the 1394 bridge: nothing erases or programs, so the
    // read-back (after every retry) differs.
    {"txv929",          "sst-25vf016b", false, kCompare},
    {"txv929",          "sst-25vf512",  false, kCompare},
    {"txv929",          "sst-25vf016b", true,  kNotBlank},
    {"txr843-1394",     "sst-25vf016b", false, kCompare},
    {"txr843-1394",     "sst-25vf016b", true,  kNotBlank},
};
// clang-format on

class SstProtectionTest : public testing_support::RunWindowFixture,
                          public ::testing::WithParamInterface<Row> {
 protected:
  std::string Last(const std::string& prefix) const {
    std::string last;
    for (std::size_t at = output.find(prefix); at != std::string::npos;
         at = output.find(prefix, at + 1))
      if (at == 0 || output[at - 1] == '\n')
        last = output.substr(at + prefix.size(), output.find('\n', at) - at - prefix.size());
    return last;
  }
};

TEST_P(SstProtectionTest, SucceedsVerifiedOrFailsWithTheFirmwareKept) {
  const Row& r = GetParam();
  sim::Variant v;
  v.profile = r.profile;
  v.flashPart = r.part;
  v.options.volumes = {{'E', 1}};
  const auto chip = sim::AttachVariant(machine, v);
  sim::SerialFlash* flash = chip->serialFlash();
  ASSERT_NE(nullptr, flash);
  ASSERT_NE(0, flash->protectionBits()) << "the part starts protected";
  const sim::FlashArray& cells = flash->cells();
  Bytes before(cells.size());
  cells.Read(0, before.data(), before.size());

  const sim::EnclosureProfile profile = sim::VariantProfile(v);
  const Bytes image = sim::MakeMatchingImage({profile.identifiedType, profile.subCode});
  std::vector<std::string> args{"--run", "0", "--image", WriteFile(r.profile, image)};
  if (r.eraseOnly) args.insert(args.end(), {"--rd", "--erase-only"});
  Console(args);

  EXPECT_EQ(r.status, Last("status: ")) << output;
  const std::string result = Last("result: ");
  const bool box = std::any_of(testing_support::kPowerCycleBoxes.begin(),
                               testing_support::kPowerCycleBoxes.end(), [&](const std::string& t) {
                                 return output.find("[Message] " + t) != std::string::npos;
                               });
  Bytes after(cells.size());
  cells.Read(0, after.data(), after.size());
  if (result.rfind("success", 0) == 0) {
    EXPECT_TRUE(box);
    const Bytes expected = r.eraseOnly ? Bytes(image.size(), 0xFF) : image;
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), after.begin()))
        << "success claimed over flash that does not hold what the run wrote";
  } else {
    EXPECT_EQ(0u, result.rfind("failed", 0)) << result;
    EXPECT_FALSE(box) << "a power-cycle box after a failure";
    EXPECT_TRUE(before == after) << "the protected part lost its firmware";
  }
}

std::string RowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name = std::string(info.param.profile) + "_" + info.param.part +
                     (info.param.eraseOnly ? "_EraseOnly" : "_Program");
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, SstProtectionTest, ::testing::ValuesIn(kRows), RowName);

}  // namespace
