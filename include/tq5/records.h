// Records exchanged between an image-acquisition host and TQ5DRV.
// All records are packed and little-endian; their sizes are part of the
// interface and are checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// Scan request: the driver's main input (31 bytes).
struct ScanParameter {
  uint16_t xResolution;    // dots per inch across
  uint16_t yResolution;    // dots per inch down
  uint16_t left;           // area, 1/600 inch from the source's origin
  uint16_t top;
  uint16_t width;
  uint16_t height;
  uint16_t pixelsPerLine;  // 0: derived from the area
  uint16_t lineCount;      // used as given when pixelsPerLine is not 0
  uint8_t scanMode;        // 0,1 one bit; 2,3 one channel; 4 colour; 5 one channel bitwise
  uint8_t scanSource;      // 0 flatbed, 1 film unit, 2 film frame
  uint8_t bitsPerPixel;
  uint8_t reserved19[6];   // kept and returned, not interpreted
  uint8_t monoChannel;     // sensor colour of a one-channel scan
  uint8_t reserved26[2];   // kept and returned
  uint16_t parameterFlags; // 0x40: area bounds are eight times the limits
  uint8_t reserved30;      // kept and returned
};
static_assert(sizeof(ScanParameter) == 31, "ScanParameter is 31 bytes");
static_assert(offsetof(ScanParameter, scanMode) == 16);
static_assert(offsetof(ScanParameter, monoChannel) == 25);
static_assert(offsetof(ScanParameter, parameterFlags) == 28);

// ScanParameter values the driver treats apart: the colour mode (every
// other mode scans one channel) and the three sources.
constexpr uint8_t kScanModeColour = 4;
constexpr uint8_t kSourceFlatbed = 0;
constexpr uint8_t kSourceFilmUnit = 1;
constexpr uint8_t kSourceFilmFrame = 2;

// Output size of the prepared scan (12 bytes).
struct DataStatus {
  uint32_t bytesPerLine;
  uint32_t lineCount;
  uint32_t totalBytes;
};
static_assert(sizeof(DataStatus) == 12, "DataStatus is 12 bytes");

// Basic ability record (44 bytes), filled by GetScannerAbility.
struct ScannerAbility {
  char productCode[8];          // "QT73418"
  char versionDigits[4];        // "109"
  uint16_t opticalXResolution;  // 600
  uint16_t opticalYResolution;  // 600
  uint16_t maxResolution;       // 1200
  uint8_t flags18;              // 0x89
  uint8_t flags19;              // 1
  uint8_t value20;              // 160
  uint8_t value21;              // 128
  uint16_t flatbedWidth;        // 5104
  uint16_t flatbedHeight;       // 7016
  uint16_t filmUnitWidth;       // 5104
  uint16_t filmUnitHeight;      // 8400
  uint8_t reserved30[14];
};
static_assert(sizeof(ScannerAbility) == 44, "ScannerAbility is 44 bytes");

// Extended ability record (148 bytes), filled by GetScannerAbilityEx. The
// fields are addressed by byte offset; see the driver's capability code.
struct ScannerAbilityEx {
  uint8_t bytes[148];
};
static_assert(sizeof(ScannerAbilityEx) == 148, "ScannerAbilityEx is 148 bytes");

// Film unit mode (12 bytes), SetTPUMode / GetTPUMode.
struct FilmUnitMode {
  uint8_t attached;      // GetTPUMode: 1 when a film unit is attached
  uint8_t reserved1;
  uint8_t filmType;      // 0-4
  uint8_t switchToFilm;  // 1: film unit, else flatbed
  uint8_t reserved4[4];
  uint8_t negative;      // not 0: negative film
  uint8_t reserved9[3];
};
static_assert(sizeof(FilmUnitMode) == 12, "FilmUnitMode is 12 bytes");

// FilmUnitMode::filmType of the film scans with the automatic tone pass.
constexpr uint8_t kFilmTypeAutoTone = 2;

// Button description (8 bytes), InitialButton.
struct ButtonDescription {
  uint32_t capabilities;  // 3 on success, 0 after a failure
  uint16_t buttonCount;   // 2
  uint16_t version;       // 1
};
static_assert(sizeof(ButtonDescription) == 8, "ButtonDescription is 8 bytes");

// Button state (16 bytes), ReadPushButton.
struct ButtonState {
  uint8_t pressed;  // 0x81 when a button is pressed
  uint8_t button;   // 1 or 2, 0 when none
  uint8_t reserved[14];
};
static_assert(sizeof(ButtonState) == 16, "ButtonState is 16 bytes");

// Flash information (40 bytes), ReadFlashRAMInfo.
struct FlashRamInfo {
  uint8_t bytes[40];
};
static_assert(sizeof(FlashRamInfo) == 40, "FlashRamInfo is 40 bytes");

#pragma pack(pop)
