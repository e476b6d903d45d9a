// Gain adjustment and tone curve generation: the second half of the
// analysis, turning exposure factors into front-end gains and curves.
#pragma once

#include <cstdint>

#include "tq5/tonefx.h"

namespace tonefx {

// Runs the statistics and both curve passes for the current call; returns
// the result code of DoToneFx (0, 0x14 or the saturation flags).
uint8_t RunToneAnalysis(ToneParameterBlock* block, uint16_t* prescanCurves);

// New gains for the analysed channels written into block; R[c] receives the
// residual factor x 255 the curves still have to supply.
void AdjustGains(const uint16_t* A, ToneParameterBlock* block, uint16_t* R);

void BuildPositiveCurve(uint32_t F, uint16_t* out);
void BuildNegativeCurve(uint32_t F, const uint16_t* shape, uint16_t* out);
void MapNegativeCurve(uint32_t F, const uint16_t* shape, uint32_t X, uint32_t Y, uint16_t* out);

// Big-endian 16-bit values of the parameter block, by byte offset.
uint16_t ReadBlockValue(const ToneParameterBlock* block, uint32_t offset);
void WriteBlockValue(ToneParameterBlock* block, uint32_t offset, uint16_t value);

}  // namespace tonefx
