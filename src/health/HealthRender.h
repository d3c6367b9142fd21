// The station's health shown: one screen for the operator; a JSON document
// of the figures and lines for machines.
#ifndef ULMET_HEALTHRENDER_H
#define ULMET_HEALTHRENDER_H

#include <string>
#include <vector>

#include "health/HealthFigures.h"

namespace health {

std::string renderText(const std::vector<Line>& lines);
std::string renderJson(const Figures& figures, const std::vector<Line>& lines);

}  // namespace health

#endif
