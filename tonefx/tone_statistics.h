// Statistics of the analysed image area and the exposure factors derived
// from them. Each step works on toneCall and fills toneStats.
#pragma once

#include <cstdint>

namespace tonefx {

void BuildHistograms();
void CheckSaturation();
void FindPercentiles(uint32_t channel);
void MeanDensity(uint32_t channel);
void HighlightDensity(uint32_t channel);
void TargetDensity();
void ExposureFactors();

// All of the above in order, for the channels the image has.
void RunToneStatistics();

}  // namespace tonefx
