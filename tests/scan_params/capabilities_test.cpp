// The ability records byte by byte, the ability cache, the fixed facts of
// GetADFMode and ReadFlashRAMInfo, and the inert entry points.
#include <cstring>
#include <string>
#include <vector>

#include "scan_fixture.h"

namespace {

// Builds an expected record from the fields of its table.
class ExpectedRecord {
 public:
  explicit ExpectedRecord(size_t size) : bytes_(size, 0) {}
  ExpectedRecord& Text(size_t offset, const std::string& text) {
    std::memcpy(bytes_.data() + offset, text.c_str(), text.size() + 1);
    return *this;
  }
  ExpectedRecord& U8(size_t offset, uint8_t value) {
    bytes_[offset] = value;
    return *this;
  }
  ExpectedRecord& U16(size_t offset, uint16_t value) {
    bytes_[offset] = static_cast<uint8_t>(value);
    bytes_[offset + 1] = static_cast<uint8_t>(value >> 8);
    return *this;
  }
  ExpectedRecord& U32(size_t offset, uint32_t value) {
    U16(offset, static_cast<uint16_t>(value));
    return U16(offset + 2, static_cast<uint16_t>(value >> 16));
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

std::vector<uint8_t> ExpectedExtended(uint32_t identifier) {
  ExpectedRecord r(148);
  r.Text(0, "KALDO").Text(12, "QT-73418M").Text(32, "1.09").Text(40, "USB").Text(52, "UNKNOW").Text(60, "TOSHIBA2557");
  r.U32(72, 0x10810001).U32(76, identifier);
  r.U16(84, 5104).U16(86, 7016).U16(88, 5104).U16(90, 8400);
  r.U16(92, 600).U16(94, 600).U16(96, 1200).U16(98, 600).U16(100, 1200).U16(102, 160).U16(104, 128);
  r.U8(108, 0xC0).U8(109, 0x92).U8(112, 8).U8(113, 1).U8(114, 1).U8(115, 8).U8(116, 8);
  r.U16(128, 851).U16(130, 568).U16(132, 1200).U16(134, 1200);
  return r.bytes();
}

// Reports the first differing byte, so that a wrong field is named by its
// offset.
void ExpectSameBytes(const uint8_t* actual, const std::vector<uint8_t>& expected) {
  for (size_t i = 0; i < expected.size(); ++i)
    ASSERT_EQ(actual[i], expected[i]) << "byte " << i;
}

}  // namespace

using Capabilities = AttachedDriver;

TEST_F(Capabilities, BasicRecordEveryByte) {
  ExpectedRecord r(44);
  r.Text(0, "QT73418").Text(8, "109").U16(12, 600).U16(14, 600).U16(16, 1200);
  r.U8(18, 0x89).U8(19, 1).U8(20, 160).U8(21, 128).U16(22, 5104).U16(24, 7016).U16(26, 5104).U16(28, 8400);
  ScannerAbility ability;
  std::memset(&ability, 0xAA, sizeof ability);
  ASSERT_EQ(GetScannerAbility(&ability), 1);
  ExpectSameBytes(reinterpret_cast<const uint8_t*>(&ability), r.bytes());
}

TEST_F(Capabilities, ExtendedRecordEveryByteAndTheCache) {
  // Before InitializeScanner's reset in the life of the shared state the
  // identifier is 0; the reset sets it.
  struct Case {
    const char* name;
    bool reset;
    uint32_t identifier;
  };
  const Case cases[] = {{"fresh shared state", false, 0}, {"after the reset", true, 0x3C5E9D14}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ZeroWorkingState(*sharedState);
    if (c.reset) ResetScanState();
    ASSERT_EQ(sharedState->abilityCacheValid, 0u);
    ScannerAbilityEx ability;
    std::memset(&ability, 0xAA, sizeof ability);
    ASSERT_EQ(GetScannerAbilityEx(&ability), 1);
    const auto expected = ExpectedExtended(c.identifier);
    ExpectSameBytes(ability.bytes, expected);
    // The cache holds the first 142 bytes; 142-147 are zero in the record
    // only.
    EXPECT_EQ(sharedState->abilityCacheValid, 1u);
    EXPECT_EQ(std::memcmp(sharedState->abilityCache, expected.data(), kAbilityCacheBytes), 0);
  }
}

TEST_F(Capabilities, FixedFacts) {
  uint8_t adf[6];
  std::memset(adf, 0xAA, sizeof adf);
  ASSERT_EQ(GetADFMode(adf), 1);
  ExpectSameBytes(adf, {0, 0, 0, 0, 0xAA, 0xAA});

  FlashRamInfo info;
  std::memset(&info, 0xAA, sizeof info);
  ASSERT_EQ(ReadFlashRAMInfo(&info), 1);
  ExpectedRecord flash(40);
  flash.U8(0, 1).U8(1, 4).U32(10, 16320);
  ExpectSameBytes(info.bytes, flash.bytes());
}

TEST_F(Capabilities, NullRecordsAreRefused) {
  struct Case {
    const char* name;
    int32_t (*call)();
  };
  const Case cases[] = {
      {"GetADFMode", [] { return GetADFMode(nullptr); }},
      {"GetScannerAbility", [] { return GetScannerAbility(nullptr); }},
      {"GetScannerAbilityEx", [] { return GetScannerAbilityEx(nullptr); }},
      {"ReadFlashRAMInfo", [] { return ReadFlashRAMInfo(nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lastError = 0;
    EXPECT_EQ(c.call(), 0);
    EXPECT_EQ(lastError, kErrBadParameter);
  }
  EXPECT_EQ(sharedState->abilityCacheValid, 0u);
}

TEST_F(Capabilities, InertEntryPointsChangeNothing) {
  struct Case {
    const char* name;
    int32_t (*call)();
  };
  // Arguments that would crash anything reading them.
  static constexpr uintptr_t bad = 0x10;
  static const Case cases[] = {
      {"DoCalibration", [] { return DoCalibration(bad, bad, bad, bad); }},
      {"GetCalibrationStatus", [] { return GetCalibrationStatus(bad); }},
      {"GetShadingData", [] { return GetShadingData(bad, bad, bad, bad, bad, bad); }},
      {"SetShadingData", [] { return SetShadingData(bad, bad, bad, bad, bad, bad); }},
      {"GetLightModulationData", [] { return GetLightModulationData(bad, bad); }},
      {"SetLightModulationData", [] { return SetLightModulationData(bad, bad); }},
      {"SetAGData", [] { return SetAGData(bad); }},
      {"GetAGData", [] { return GetAGData(bad); }},
      {"SelfCheck", [] { return SelfCheck(); }},
      {"SendRawDataControl", [] { return SendRawDataControl(bad); }},
  };
  std::vector<uint8_t> before(sizeof(SharedState));
  std::memcpy(before.data(), sharedState, sizeof(SharedState));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lastError = kErrDataTimeout;  // a pending code stays pending
    EXPECT_EQ(c.call(), 1);
    EXPECT_EQ(lastError, kErrDataTimeout);
    EXPECT_EQ(std::memcmp(before.data(), sharedState, sizeof(SharedState)), 0);
  }
}
