// Small helpers for reading the scripted device's register-level log.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "scripted_device.h"

namespace tq5test {

inline void PrintTo(const RegisterOp& op, std::ostream* os) {
  static const char* const kNames[] = {"W", "R", "StreamW", "StreamR", "Reset", "Control"};
  *os << kNames[op.type] << "(0x" << std::hex << int(op.reg) << ", 0x" << op.value << std::dec << ")";
}

inline RegisterOp W(uint8_t reg, uint32_t value) { return RegisterOp{RegisterOp::Write, reg, value}; }
inline RegisterOp R(uint8_t reg, uint32_t value) { return RegisterOp{RegisterOp::Read, reg, value}; }
inline RegisterOp StreamW(uint8_t reg, uint32_t count) { return RegisterOp{RegisterOp::StreamWrite, reg, count}; }
inline RegisterOp StreamR(uint8_t reg, uint32_t count) { return RegisterOp{RegisterOp::StreamRead, reg, count}; }

inline std::vector<RegisterOp> OpsOfType(const std::vector<RegisterOp>& ops, RegisterOp::Type type) {
  std::vector<RegisterOp> out;
  for (const auto& op : ops)
    if (op.type == type) out.push_back(op);
  return out;
}

// Single-register writes only, as (register, value) pairs.
inline std::vector<RegisterOp> Writes(const std::vector<RegisterOp>& ops) { return OpsOfType(ops, RegisterOp::Write); }

}  // namespace tq5test
