// Command and status registers of the controller and the bits the driver
// reads in them.
#pragma once

#include <cstdint>

constexpr uint8_t kRegCommand = 0x07;      // 0 idle, 1 leave home, 2 return home, 3 start
constexpr uint8_t kCommandStop = 0x00;     // in kRegCommand
constexpr uint8_t kCommandStart = 0x03;    // in kRegCommand: a capture
constexpr uint8_t kRegStatus = 0x02;       // home sensor, buttons, film unit
constexpr uint8_t kRegMoveStatus = 0x03;   // bit 4: the started move or scan has finished
constexpr uint8_t kHomeSensor = 0x01;      // in kRegStatus
constexpr uint8_t kButton1Pressed = 0x04;  // in kRegStatus
constexpr uint8_t kButton2Pressed = 0x08;  // in kRegStatus
constexpr uint8_t kFilmUnitAttached = 0x10;  // in kRegStatus, while register 0x5A bit 2 is clear
constexpr uint8_t kReturnHomeRunning = 0x02;  // in kRegCommand, read back
constexpr uint8_t kMoveFinished = 0x10;       // in kRegMoveStatus
