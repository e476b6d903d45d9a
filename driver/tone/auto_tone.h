// Automatic tone pass of a film-type-2 scan: collects the prescan into
// filmImageBuffer, has TONEFX analyse it, corrects the prescan in place and
// keeps the curves and factors for the following scans.
#pragma once

#include <cstdint>

// pass: 3 for the prescan, 2 for the image of a repeated scan (a positive
// film always runs as 1). count: the host's ReadScan count (0 collects
// 65536 bytes per call, otherwise the whole rest). 1 when the image is
// complete and corrected; 0 with lastError 166 while it is collected, 252
// when TONEFX declined (the image stays uncorrected), or the code of a
// failed read.
int32_t AutoTonePass(uint8_t pass, uint32_t count);
