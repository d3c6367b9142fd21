// The station's health as a whole: collect the figures, assess them,
// render the lines (see the three headers).
#ifndef ULMET_STATIONHEALTH_H
#define ULMET_STATIONHEALTH_H

#include "health/HealthAssess.h"
#include "health/HealthCollect.h"
#include "health/HealthRender.h"

#endif
