// The judgement of the station's health: each figure on a line of its own,
// ok, warning or critical, with what is wrong and what to do. Pure: the
// same figures give the same lines.
#ifndef ULMET_HEALTHASSESS_H
#define ULMET_HEALTHASSESS_H

#include <vector>

#include "health/HealthFigures.h"

namespace health {

std::vector<Line> assess(const Figures& figures);

}  // namespace health

#endif
