// Film unit mode: measurement of the film unit's start distance and frame
// window on the first switch to it.
#pragma once

#include "interface/driver.h"

DriverError CalibrateFilmUnit();
