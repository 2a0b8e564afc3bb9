// orv-hrtf-convert: makes ORVHRTFD data sets from SOFA files of measured
// head-related impulse responses, lists what a SOFA file offers, and checks
// ORVHRTFD files.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "HrtfBuilder.h"
#include "HrtfFormat.h"
#include "SofaReader.h"
#include "Text.h"

namespace orvhrtf {
namespace {

// Index of the first sample that reaches a tenth of the response's peak.
int Onset(const std::vector<float>& response) {
  float peak = 0.f;
  for (float v : response) peak = std::max(peak, std::abs(v));
  for (std::size_t i = 0; i < response.size(); ++i) {
    if (peak > 0.f && std::abs(response[i]) >= 0.1f * peak) return int(i);
  }
  return -1;
}

void PrintSetFigures(const HrtfSet& set) {
  float minSample = 0.f, maxSample = 0.f;
  for (const Ring& ring : set.rings) {
    for (const Angle& angle : ring.angles) {
      for (const std::vector<float>* r : {&angle.left, &angle.right}) {
        for (float v : *r) {
          minSample = std::min(minSample, v);
          maxSample = std::max(maxSample, v);
        }
      }
    }
  }
  std::printf("Samples range from %.9g to %.9g.\n", double(minSample), double(maxSample));
  bool hasHeader = false;
  for (float azimuth : {0.f, 90.f, 180.f}) {
    const Angle* angle = set.Find(0.f, azimuth);
    if (!angle) continue;
    if (!hasHeader) {
      std::printf(
          "At elevation 0 (sum of squares; onset = first sample at a tenth of the peak):\n");
      hasHeader = true;
    }
    const double left = Energy(angle->left), right = Energy(angle->right);
    std::printf("  azimuth %3g: left %.6g, right %.6g, right/left %.4g; onset left %d, right %d\n",
                double(azimuth), left, right, left > 0.0 ? right / left : 0.0, Onset(angle->left),
                Onset(angle->right));
  }
}

int RunConvert(const CommandLine& line) {
  SofaDescription description;
  const MeasurementSet measurements = ReadSofaFile(line.input, &description);
  BuildReport report;
  const HrtfSet set = BuildHrtfSet(measurements, line.build, &report);
  const std::vector<unsigned char> bytes = EncodeHrtfSet(set);
  WriteFileAtomically(line.output, bytes);
  if (line.isQuiet) return 0;

  std::printf("Read %s: %u measurements of %u samples at %g Hz%s.\n", line.input.c_str(),
              description.measurementCount, description.sampleCount, description.samplingRate,
              description.hasDelays ? ", onset delays stored apart (put back)" : "");
  std::printf("Used %zu directions at %g m; skipped %zu (left half, other distances or rings).\n",
              set.AngleCount(), report.distance, report.skippedMeasurements);
  if (report.cutoffFrequency > 0.0) {
    std::printf("Resampled to %g Hz through a band limit at %.1f kHz.\n", line.build.samplingRate,
                report.cutoffFrequency / 1000.0);
  }
  if (report.lead >= 0) {
    std::printf("Removed a common lead of %d samples;", report.lead);
  } else {
    std::printf("Started %d samples before the measured responses;", -report.lead);
  }
  std::printf(" kept %d taps with a fade over the last %d.\n", line.build.tapCount,
              line.build.fadeLength);
  std::printf("Energy kept by the taps: min %.6f (%s), mean %.6f;\n", report.minKeptFraction,
              report.minKeptWhere.c_str(), report.meanKeptFraction);
  std::printf("  both ears of a direction together: min %.6f (%s).\n", report.minPairKeptFraction,
              report.minPairKeptWhere.c_str());
  std::printf("Gain %.6g (%+.2f dB).\n", report.gain, 20.0 * std::log10(report.gain));
  PrintSetFigures(set);
  std::printf("Wrote %s: %zu rings, %zu angles, %zu bytes.\n", line.output.c_str(),
              set.rings.size(), set.AngleCount(), bytes.size());
  return 0;
}

std::string JoinAngles(const std::vector<double>& values) {
  std::string text;
  for (double v : values) text += Format("%s%g", text.empty() ? "" : ", ", v);
  return text;
}

int RunList(const CommandLine& line) {
  SofaDescription description;
  const MeasurementSet measurements = ReadSofaFile(line.input, &description);
  std::printf("%s: %s, %u measurements of %u samples at %g Hz\n", line.input.c_str(),
              description.conventions.c_str(), description.measurementCount,
              description.sampleCount, description.samplingRate);
  if (!description.database.empty() || !description.listener.empty()) {
    std::printf("Database: %s; listener: %s\n", description.database.c_str(),
                description.listener.c_str());
  }
  if (!description.license.empty()) std::printf("License: %s\n", description.license.c_str());
  const MeasuredGrid grid = DescribeGrid(measurements);
  for (std::size_t i = 0; i < grid.distances.size(); ++i) {
    std::printf("Distance %g m: %zu measurements%s\n", grid.distances[i], grid.countPerDistance[i],
                grid.distances[i] == grid.chosenDistance ? " (used by default)" : "");
  }
  std::printf("Rings at %g m (elevation: azimuths on the right half, 0 .. 180):\n",
              grid.chosenDistance);
  for (const MeasuredRing& ring : grid.rings) {
    std::printf("  %g: %zu [%s]", ring.elevation, ring.rightAzimuths.size(),
                JoinAngles(ring.rightAzimuths).c_str());
    if (ring.leftCount) std::printf(" + %zu on the left only", ring.leftCount);
    std::printf("\n");
  }
  return 0;
}

int RunInspect(const CommandLine& line) {
  const std::vector<unsigned char> bytes = ReadFileBytes(line.input);
  std::size_t trailing = 0;
  HrtfSet set;
  try {
    set = DecodeHrtfSet(bytes.data(), bytes.size(), &trailing);
    CheckHrtfSet(set);
  } catch (const FormatError& error) {
    throw std::runtime_error(
        Format("'%s' is not a usable ORVHRTFD data set: %s", line.input.c_str(), error.what()));
  }
  std::printf("%s: %zu rings, %zu angles, %zu taps, %zu bytes of records", line.input.c_str(),
              set.rings.size(), set.AngleCount(), set.rings.front().angles.front().left.size(),
              bytes.size() - trailing);
  if (trailing) std::printf(" + %zu unread", trailing);
  std::printf("\n");
  for (const Ring& ring : set.rings) {
    std::vector<double> azimuths;
    for (const Angle& angle : ring.angles) azimuths.push_back(angle.azimuth);
    std::printf("  elevation %g: %zu [%s]\n", double(ring.elevation), ring.angles.size(),
                JoinAngles(azimuths).c_str());
  }
  PrintSetFigures(set);
  return 0;
}

}  // namespace
}  // namespace orvhrtf

int main(int argc, char** argv) {
  using namespace orvhrtf;
  CommandLine line;
  try {
    line = ParseCommandLine(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", kProgramName,
                 error.what(), kProgramName);
    return 2;
  }
  try {
    switch (line.mode) {
      case Mode::Help: std::fputs(UsageText().c_str(), stdout); return 0;
      case Mode::Version: std::printf("%s %s\n", kProgramName, kProgramVersion); return 0;
      case Mode::List: return RunList(line);
      case Mode::Inspect: return RunInspect(line);
      case Mode::Convert: return RunConvert(line);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
    return 1;
  }
  return 1;
}
