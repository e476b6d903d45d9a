// libTONEFX.so as the driver loads it: by its Windows name, one export, and
// static curves that start at zero in a freshly loaded library.

#include <gtest/gtest.h>

#include <cstring>

#include "platform.h"
#include "tone_image.h"

namespace {

using namespace tonefx_test;

using DoToneFxEntry = uint32_t (*)(const uint8_t*, const ToneImageDescriptor*, ToneParameterBlock*, uint16_t*,
                                   uint16_t*, uint32_t);

uint32_t Call(DoToneFxEntry entry, ToneImage& image) {
  return entry(image.bytes.data(), &image.descriptor, &image.block, image.scanCurves, image.prescanCurves, 0) & 0xFF;
}

TEST(ToneLoadedLibraryTest, FreshLibraryHandsOutZeroCurvesUntilAColourCall) {
  PlatLibrary* library = PlatLibraryLoad("TONEFX.dll");
  ASSERT_NE(library, nullptr) << "libTONEFX.so not found; set TQ5_LIBRARY_PATH to the build's lib directory";
  auto entry = reinterpret_cast<DoToneFxEntry>(PlatLibrarySymbol(library, "DoToneFx"));
  ASSERT_NE(entry, nullptr);

  // A rejected descriptor in a fresh library: all of scanCurves is zero.
  ToneImage rejected = MakeImage(40, 40, 3, false, Uniform(186, 186, 186));
  rejected.descriptor.samplesPerPixel = 2;
  for (uint16_t& v : rejected.scanCurves) v = 0xBEEF;
  EXPECT_EQ(Call(entry, rejected), 0x11u);
  for (uint16_t v : rejected.scanCurves) ASSERT_EQ(v, 0);

  // A grey call computes channel 1 only: channels 0 and 2 stay zero.
  ToneImage grey = MakeImage(40, 40, 1, false, Uniform(0, 186, 0));
  ASSERT_EQ(Call(entry, grey), 0u);
  for (uint32_t i = 0; i < 256; ++i) {
    ASSERT_EQ(grey.Scan(i, 0), 0) << i;
    ASSERT_EQ(grey.Scan(i, 2), 0) << i;
    ASSERT_EQ(grey.Scan(i, 1), i == 0 ? 0 : i - 1) << i;
  }

  // After a colour call a grey call keeps the colour call's channels 0, 2.
  ToneImage colour = MakeImage(60, 50, 3, false, Uniform(91, 91, 98));
  colour.block = DriverBlock(0x8000, 0x8000, 0x8000);
  ASSERT_EQ(Call(entry, colour), 0u);
  EXPECT_EQ(colour.Scan(100, 0), 177);
  ToneImage greyAgain = MakeImage(40, 40, 1, false, Uniform(0, 186, 0));
  ASSERT_EQ(Call(entry, greyAgain), 0u);
  for (uint32_t i = 0; i < 256; ++i) {
    ASSERT_EQ(greyAgain.Scan(i, 0), colour.Scan(i, 0)) << i;
    ASSERT_EQ(greyAgain.Scan(i, 2), colour.Scan(i, 2)) << i;
  }
  PlatLibraryFree(library);
}

}  // namespace
