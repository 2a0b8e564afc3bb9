// Reads head-related impulse responses from a SOFA file through libmysofa.
// The responses are taken raw, as measured, with their own onset delays:
// no normalisation, no minimum-phase conversion, no resampling.
#pragma once

#include <string>

#include "HrtfBuilder.h"

namespace orvhrtf {

struct SofaDescription {
  std::string conventions;  // e.g. "SimpleFreeFieldHRIR"
  std::string database;
  std::string listener;
  std::string title;
  std::string license;
  unsigned measurementCount = 0;
  unsigned sampleCount = 0;  // taps per measured response
  double samplingRate = 0.0;
  bool hasDelays = false;  // onset delays stored apart and put back
};

// Directions are converted into the listener's frame (azimuth from ahead
// towards the right ear, elevation upwards) using the file's listener view,
// up vector and position; the left ear is the receiver on the listener's left.
// Throws std::runtime_error naming the file and the problem.
MeasurementSet ReadSofaFile(const std::string& path, SofaDescription* description = nullptr);

}  // namespace orvhrtf
