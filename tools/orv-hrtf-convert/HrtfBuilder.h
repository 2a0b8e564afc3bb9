// Turns measured head-related impulse responses into an ORVHRTFD set: picks
// the rings and the right half-circle of azimuths, resamples, removes a common
// leading delay, keeps a power-of-two number of taps with a short fade at the
// end and scales the whole set by one gain into [-1, 1].
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "HrtfFormat.h"

namespace orvhrtf {

// One measured direction. Angles are in the listener's frame as the
// spatializer uses it: azimuth from straight ahead towards the right ear.
struct Measurement {
  double azimuth = 0.0;       // degrees, any value; wrapped into (-180, 180]
  double elevation = 0.0;     // degrees, positive above the horizontal plane
  double distance = 0.0;      // metres
  std::vector<double> left;   // left-ear response at the source rate
  std::vector<double> right;  // right-ear response at the source rate
  double leftDelay = 0.0;     // onset delays stored apart from the responses,
  double rightDelay = 0.0;    // in source samples; put back while resampling
};

struct MeasurementSet {
  double samplingRate = 0.0;  // Hz
  std::vector<Measurement> measurements;
};

inline constexpr int kAutomaticLead = -1;
// Bounds of the options that size the work: a lead beyond a second and a
// half at 48 kHz is no measured response's silence, and every step finer
// than the finest measured grid selects the same azimuths.
inline constexpr int kMaxLead = 65536;
inline constexpr double kMinAzimuthStep = 0.01;

struct BuildOptions {
  double samplingRate = 48000.0;  // Hz of the written responses
  int tapCount = 128;             // power of two, at least 4
  int fadeLength = 8;             // raised-cosine fade over the last taps
  // Samples at the output rate removed from the start of every response;
  // kAutomaticLead removes those that are silent (below -50 dB of the
  // response's peak) in every response.
  int lead = kAutomaticLead;
  std::vector<double> elevations;  // rings to keep, degrees; empty keeps all
  double azimuthStep = 0.0;  // keeps the azimuths nearest to its multiples and 180; 0 keeps all
  double distance = 0.0;     // metres; 0 takes the best-populated distance
  bool shouldRoundAngles = true;  // write whole degrees
  double peak = 1.0;              // largest sample magnitude after scaling, (0, 1]
};

struct BuildReport {
  double sourceRate = 0.0;
  double distance = 0.0;
  double cutoffFrequency = 0.0;         // of the resampler, Hz; 0 without filtering
  std::size_t skippedMeasurements = 0;  // other distances, left half, unselected rings
  // Output samples removed before the first tap, counted from the first
  // measured sample; negative when the taps start with the band limit's
  // ringing before it.
  int lead = 0;
  double gain = 1.0;  // applied after resampling
  // Energy of the written taps over the energy of the whole resampled
  // response, before the common gain; over every response of the set.
  double minKeptFraction = 1.0;
  double meanKeptFraction = 1.0;
  std::string minKeptWhere;  // "elevation E, azimuth A, left|right"
  // The same for the two ears of a direction together.
  double minPairKeptFraction = 1.0;
  std::string minPairKeptWhere;  // "elevation E, azimuth A"
  float minSample = 0.f;
  float maxSample = 0.f;
};

// A measured ring, for listing what a file offers.
struct MeasuredRing {
  double elevation = 0.0;
  std::vector<double> rightAzimuths;  // 0 .. 180, ascending
  std::size_t leftCount = 0;          // directions on the left half only
};

struct MeasuredGrid {
  std::vector<double> distances;              // ascending
  std::vector<std::size_t> countPerDistance;  // measurements at each distance
  double chosenDistance = 0.0;
  std::vector<MeasuredRing> rings;  // at chosenDistance, ascending
};

// Throws std::runtime_error naming the problem (no measurement on the right
// half, a requested ring that was not measured, angles that collide when
// rounded, a silent set, ...).
HrtfSet BuildHrtfSet(const MeasurementSet& input, const BuildOptions& options,
                     BuildReport* report = nullptr);

// The rings measured at `distance` (0: the best-populated distance).
MeasuredGrid DescribeGrid(const MeasurementSet& input, double distance = 0.0);

// Azimuth wrapped into (-180, 180]; values within 1e-6 degrees of 0 or of
// +-180 snap to 0 and 180.
double WrapAzimuth(double degrees);

// Weight of tap i of n under a raised-cosine fade over the last `fadeLength`
// taps: 1 before the fade, falling towards (but not reaching) 0 at the end.
double FadeWeight(int i, int n, int fadeLength);

}  // namespace orvhrtf
