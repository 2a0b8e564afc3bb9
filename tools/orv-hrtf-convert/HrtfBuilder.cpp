#include "HrtfBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <numbers>
#include <stdexcept>

#include "Text.h"
#include "dsp/OrvResampler.h"

namespace orvhrtf {

using orv::Resampler;  // the library's, so that the tool and a load resample alike

namespace {

// Measurements closer than this share a distance.
constexpr double kDistanceTolerance = 0.005;  // metres
// A requested distance picks the measured one within this.
constexpr double kRequestedDistanceTolerance = 0.01;  // metres
// Measurements closer than this in elevation share a ring, and requested
// elevations match a ring within it.
constexpr double kRingTolerance = 0.01;  // degrees
constexpr double kSnapTolerance = 1e-6;  // degrees
// Below -50 dB of its peak a measured response holds only the noise of the
// measurement; the automatic lead removes nothing louder.
constexpr double kSilence = 0.0031622776601683794;  // 10^(-50/20)

struct Selected {
  const Measurement* measurement;
  double azimuth;  // wrapped, 0 .. 180
};

struct SelectedRing {
  double elevation;
  std::vector<Selected> angles;
};

std::vector<double> Distances(const MeasurementSet& input, std::vector<std::size_t>* counts) {
  std::vector<double> all;
  for (std::size_t i = 0; i < input.measurements.size(); ++i) {
    const Measurement& m = input.measurements[i];
    if (!std::isfinite(m.azimuth) || !std::isfinite(m.elevation) || !std::isfinite(m.distance)) {
      throw std::runtime_error(Format("measurement %zu has a position that is not finite", i));
    }
    all.push_back(m.distance);
  }
  std::sort(all.begin(), all.end());
  std::vector<double> distinct;
  if (counts) counts->clear();
  for (double d : all) {
    if (distinct.empty() || d - distinct.back() > kDistanceTolerance) {
      distinct.push_back(d);
      if (counts) counts->push_back(0);
    }
    if (counts) ++counts->back();
  }
  return distinct;
}

double ChooseDistance(const MeasurementSet& input, double requested) {
  std::vector<std::size_t> counts;
  const std::vector<double> distances = Distances(input, &counts);
  if (distances.empty()) throw std::runtime_error("the file holds no measurements");
  if (requested > 0.0) {
    std::string measured;
    for (double d : distances) {
      if (std::abs(d - requested) <= kRequestedDistanceTolerance) return d;
      measured += Format("%s%g m", measured.empty() ? "" : ", ", d);
    }
    throw std::runtime_error(
        Format("no measurements at distance %g m (measured: %s)", requested, measured.c_str()));
  }
  std::size_t best = 0;
  for (std::size_t i = 1; i < distances.size(); ++i) {
    if (counts[i] >= counts[best]) best = i;  // the farthest of the best-populated distances
  }
  return distances[best];
}

bool AtDistance(const Measurement& m, double distance) {
  return std::abs(m.distance - distance) <= kDistanceTolerance;
}

bool OnRightHalf(double wrappedAzimuth) { return wrappedAzimuth >= 0.0; }

// Rings at `distance`, ascending, each with its right-half angles ascending.
// Positions are known to be finite (Distances checked them).
std::vector<SelectedRing> GroupRings(const MeasurementSet& input, double distance,
                                     std::vector<std::size_t>* leftPerRing = nullptr) {
  std::vector<const Measurement*> sorted;
  for (const Measurement& m : input.measurements) {
    if (AtDistance(m, distance)) sorted.push_back(&m);
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Measurement* a, const Measurement* b) {
    return a->elevation < b->elevation;
  });
  std::vector<SelectedRing> rings;
  std::vector<std::size_t> left;
  for (const Measurement* m : sorted) {
    if (rings.empty() || m->elevation - rings.back().elevation > kRingTolerance) {
      rings.push_back({m->elevation, {}});
      left.push_back(0);
    }
    const double azimuth = WrapAzimuth(m->azimuth);
    if (OnRightHalf(azimuth)) {
      rings.back().angles.push_back({m, azimuth});
    } else {
      ++left.back();
    }
  }
  for (SelectedRing& ring : rings) {
    std::stable_sort(ring.angles.begin(), ring.angles.end(),
                     [](const Selected& a, const Selected& b) { return a.azimuth < b.azimuth; });
    for (std::size_t i = 1; i < ring.angles.size(); ++i) {
      if (ring.angles[i].azimuth - ring.angles[i - 1].azimuth < kSnapTolerance) {
        throw std::runtime_error(Format("two measurements share elevation %g, azimuth %g",
                                        ring.elevation, ring.angles[i].azimuth));
      }
    }
  }
  if (leftPerRing) *leftPerRing = left;
  return rings;
}

std::vector<SelectedRing> SelectRings(std::vector<SelectedRing> rings,
                                      const BuildOptions& options) {
  std::vector<SelectedRing> kept;
  if (options.elevations.empty()) {
    for (SelectedRing& ring : rings) {
      if (!ring.angles.empty()) kept.push_back(std::move(ring));
    }
  } else {
    std::vector<double> requested = options.elevations;
    std::sort(requested.begin(), requested.end());
    for (std::size_t i = 1; i < requested.size(); ++i) {
      if (requested[i] - requested[i - 1] <= kRingTolerance) {
        throw std::runtime_error(Format("elevation %g is requested twice", requested[i]));
      }
    }
    for (double elevation : requested) {
      auto match = std::find_if(rings.begin(), rings.end(), [&](const SelectedRing& ring) {
        return std::abs(ring.elevation - elevation) <= kRingTolerance;
      });
      if (match == rings.end()) {
        throw std::runtime_error(Format(
            "no ring of measurements at elevation %g degrees (--list shows the rings)", elevation));
      }
      if (match->angles.empty()) {
        throw std::runtime_error(Format(
            "the ring at elevation %g degrees has no measurement on the right half", elevation));
      }
      kept.push_back(*match);
    }
  }
  if (kept.empty()) throw std::runtime_error("no measurement lies on the right half of the circle");

  if (options.azimuthStep > 0.0) {
    // For each multiple of the step, and for 180, the nearest measured azimuth.
    std::vector<double> targets;
    for (int k = 0; k * options.azimuthStep < 180.0 - kSnapTolerance; ++k) {
      targets.push_back(k * options.azimuthStep);
    }
    targets.push_back(180.0);
    for (SelectedRing& ring : kept) {
      std::vector<Selected> thinned;
      for (double target : targets) {
        auto nearest = std::min_element(
            ring.angles.begin(), ring.angles.end(), [&](const Selected& a, const Selected& b) {
              return std::abs(a.azimuth - target) < std::abs(b.azimuth - target);
            });
        if (thinned.empty() || thinned.back().measurement != nearest->measurement) {
          thinned.push_back(*nearest);
        }
      }
      ring.angles = std::move(thinned);
    }
  }
  return kept;
}

float StoredAngle(double degrees, bool shouldRound) {
  return float(shouldRound ? std::round(degrees) : degrees);
}

void CheckStoredAngles(const std::vector<SelectedRing>& rings, bool shouldRound) {
  const char* hint = shouldRound ? "; keep the measured angles with --exact-angles or thin the "
                                   "grid with --azimuth-step or --elevations"
                                 : "";
  for (std::size_t r = 1; r < rings.size(); ++r) {
    if (StoredAngle(rings[r].elevation, shouldRound) <=
        StoredAngle(rings[r - 1].elevation, shouldRound)) {
      throw std::runtime_error(
          Format("the rings at elevations %g and %g would both be stored as "
                 "%g degrees%s",
                 rings[r - 1].elevation, rings[r].elevation,
                 double(StoredAngle(rings[r].elevation, shouldRound)), hint));
    }
  }
  for (const SelectedRing& ring : rings) {
    for (std::size_t a = 1; a < ring.angles.size(); ++a) {
      if (StoredAngle(ring.angles[a].azimuth, shouldRound) <=
          StoredAngle(ring.angles[a - 1].azimuth, shouldRound)) {
        throw std::runtime_error(
            Format("at elevation %g the azimuths %g and %g would both be stored as %g degrees%s",
                   ring.elevation, ring.angles[a - 1].azimuth, ring.angles[a].azimuth,
                   double(StoredAngle(ring.angles[a].azimuth, shouldRound)), hint));
      }
    }
  }
}

double SumOfSquares(const std::vector<double>& x, std::size_t begin, std::size_t end) {
  double sum = 0.0;
  for (std::size_t i = begin; i < std::min(end, x.size()); ++i) sum += x[i] * x[i];
  return sum;
}

struct Response {
  std::vector<double> samples;  // whole resampled response
  double energy = 0.0;
  std::string where;
};

// The common lead: the leading samples that are silent in every response,
// that is, stay below kSilence of the response's own peak. Removing them
// moves every onset by the same amount, so interaural delays are kept, and
// frees taps for the tails.
int ChooseLead(const std::vector<Response>& responses) {
  std::size_t lead = SIZE_MAX;
  for (const Response& r : responses) {
    double peak = 0.0;
    for (double v : r.samples) peak = std::max(peak, std::abs(v));
    if (peak == 0.0) continue;
    std::size_t silent = 0;
    while (std::abs(r.samples[silent]) < kSilence * peak) ++silent;
    lead = std::min(lead, silent);
  }
  return lead == SIZE_MAX ? 0 : int(lead);
}

void CheckOptions(const BuildOptions& options) {
  const int n = options.tapCount;
  if (n < 4 || (n & (n - 1)) != 0 || n > (1 << 20)) {
    throw std::invalid_argument(
        Format("the tap count %d is not a power of two between 4 and %d", n, 1 << 20));
  }
  if (options.fadeLength < 0 || options.fadeLength > n) {
    throw std::invalid_argument(Format(
        "the fade length %d does not lie between 0 and the tap count %d", options.fadeLength, n));
  }
  if (options.lead < kAutomaticLead) {
    throw std::invalid_argument(Format("the lead %d is negative", options.lead));
  }
  if (options.lead > kMaxLead) {
    throw std::invalid_argument(
        Format("the lead %d does not lie between 0 and %d", options.lead, kMaxLead));
  }
  if (!(options.samplingRate > 0.0) || !std::isfinite(options.samplingRate)) {
    throw std::invalid_argument(
        Format("the sampling rate %g is not positive", options.samplingRate));
  }
  if (!(options.peak > 0.0 && options.peak <= 1.0)) {
    throw std::invalid_argument(Format("the peak %g does not lie in (0, 1]", options.peak));
  }
  if (!(options.azimuthStep == 0.0 ||
        (options.azimuthStep >= kMinAzimuthStep && options.azimuthStep <= 180.0))) {
    throw std::invalid_argument(Format("the azimuth step %g does not lie in [%g, 180]",
                                       options.azimuthStep, kMinAzimuthStep));
  }
}

}  // namespace

double WrapAzimuth(double degrees) {
  double a = std::fmod(degrees, 360.0);  // (-360, 360)
  if (a > 180.0) a -= 360.0;
  if (a <= -180.0) a += 360.0;
  if (std::abs(a) < kSnapTolerance) return 0.0;
  if (a > 180.0 - kSnapTolerance || a < -180.0 + kSnapTolerance) return 180.0;
  return a;
}

double FadeWeight(int i, int n, int fadeLength) {
  const int j = i - (n - fadeLength) + 1;  // 1 .. fadeLength inside the fade
  if (j <= 0) return 1.0;
  return 0.5 * (1.0 + std::cos(std::numbers::pi * double(j) / double(fadeLength + 1)));
}

MeasuredGrid DescribeGrid(const MeasurementSet& input, double distance) {
  MeasuredGrid grid;
  grid.distances = Distances(input, &grid.countPerDistance);
  if (grid.distances.empty()) return grid;
  grid.chosenDistance = ChooseDistance(input, distance);
  std::vector<std::size_t> leftPerRing;
  const std::vector<SelectedRing> rings = GroupRings(input, grid.chosenDistance, &leftPerRing);
  for (std::size_t r = 0; r < rings.size(); ++r) {
    MeasuredRing ring;
    ring.elevation = rings[r].elevation;
    for (const Selected& s : rings[r].angles) ring.rightAzimuths.push_back(s.azimuth);
    ring.leftCount = leftPerRing[r];
    grid.rings.push_back(std::move(ring));
  }
  return grid;
}

HrtfSet BuildHrtfSet(const MeasurementSet& input, const BuildOptions& options,
                     BuildReport* report) {
  CheckOptions(options);
  if (!(input.samplingRate > 0.0) || !std::isfinite(input.samplingRate)) {
    throw std::runtime_error(
        Format("the measurements have no valid sampling rate (%g Hz)", input.samplingRate));
  }
  BuildReport local;
  BuildReport& out = report ? *report : local;
  out = BuildReport{};
  out.sourceRate = input.samplingRate;
  out.distance = ChooseDistance(input, options.distance);

  const std::vector<SelectedRing> rings = SelectRings(GroupRings(input, out.distance), options);
  CheckStoredAngles(rings, options.shouldRoundAngles);

  // Check every pair of responses before any work.
  for (const SelectedRing& ring : rings) {
    for (const Selected& s : ring.angles) {
      const Measurement& m = *s.measurement;
      if (m.left.size() != m.right.size() || m.left.empty()) {
        throw std::runtime_error(
            Format("the responses at elevation %g, azimuth %g are empty or "
                   "differ in length",
                   ring.elevation, s.azimuth));
      }
      if (!std::isfinite(m.leftDelay) || !std::isfinite(m.rightDelay)) {
        throw std::runtime_error(Format("the delays at elevation %g, azimuth %g are not finite",
                                        ring.elevation, s.azimuth));
      }
    }
  }

  // Resample every response whole, on one time axis for the whole set: index
  // j holds output sample origin + j, where output 0 is the first measured
  // sample. The band limit rings before the first sample as well as after
  // the last, so the axis may start before 0. The window of taps is chosen
  // afterwards.
  const Resampler resampler(input.samplingRate, options.samplingRate);
  out.cutoffFrequency = resampler.IsExactShift(0.0) ? 0.0 : resampler.CutoffFrequency();
  long origin = 0;
  long end =
      options.lead == kAutomaticLead ? options.tapCount : long(options.lead) + options.tapCount;
  for (const SelectedRing& ring : rings) {
    for (const Selected& s : ring.angles) {
      const Measurement& m = *s.measurement;
      for (double delay : {m.leftDelay, m.rightDelay}) {
        const Resampler::Range range = resampler.OutputRange(m.left.size(), delay);
        origin = std::min(origin, range.first);
        end = std::max(end, range.first + long(range.length));
      }
    }
  }
  std::map<double, Resampler::Plan> plans;  // by delay
  auto resample = [&](const std::vector<double>& x, double delay) {
    auto plan = plans.find(delay);
    if (plan == plans.end()) {
      plan =
          plans.emplace(delay, resampler.MakePlan(delay, origin, std::size_t(end - origin))).first;
    }
    return plan->second.Apply(x);
  };

  std::vector<Response> responses;
  std::size_t used = 0;
  for (const SelectedRing& ring : rings) {
    for (const Selected& s : ring.angles) {
      const Measurement& m = *s.measurement;
      for (int ear = 0; ear < 2; ++ear) {
        Response r;
        r.samples = resample(ear == 0 ? m.left : m.right, ear == 0 ? m.leftDelay : m.rightDelay);
        for (double v : r.samples) {
          if (!std::isfinite(v)) {
            throw std::runtime_error(
                Format("the response at elevation %g, azimuth %g holds a "
                       "value that is not finite",
                       ring.elevation, s.azimuth));
          }
        }
        r.energy = SumOfSquares(r.samples, 0, r.samples.size());
        r.where = Format("elevation %g, azimuth %g, %s", ring.elevation, s.azimuth,
                         ear == 0 ? "left" : "right");
        responses.push_back(std::move(r));
      }
      ++used;
    }
  }
  out.skippedMeasurements = input.measurements.size() - used;

  out.lead = options.lead == kAutomaticLead ? int(origin) + ChooseLead(responses) : options.lead;
  const long start = long(out.lead) - origin;  // index of the first tap

  // Cut, fade and measure what the taps keep.
  std::vector<std::vector<double>> taps;
  double peak = 0.0;
  double keptSum = 0.0;
  std::size_t keptCount = 0;
  out.minKeptFraction = 1.0;
  out.minPairKeptFraction = 1.0;
  std::vector<double> kept;
  for (const Response& r : responses) {
    std::vector<double> t(std::size_t(options.tapCount), 0.0);
    for (int i = 0; i < options.tapCount; ++i) {
      const std::size_t at = std::size_t(start + i);
      if (at < r.samples.size()) {
        t[std::size_t(i)] = r.samples[at] * FadeWeight(i, options.tapCount, options.fadeLength);
      }
      peak = std::max(peak, std::abs(t[std::size_t(i)]));
    }
    kept.push_back(SumOfSquares(t, 0, t.size()));
    if (r.energy > 0.0) {
      const double fraction = kept.back() / r.energy;
      keptSum += fraction;
      ++keptCount;
      if (fraction < out.minKeptFraction) {
        out.minKeptFraction = fraction;
        out.minKeptWhere = r.where;
      }
    }
    taps.push_back(std::move(t));
  }
  for (std::size_t i = 0; i + 1 < responses.size(); i += 2) {
    const double total = responses[i].energy + responses[i + 1].energy;
    if (total > 0.0 && (kept[i] + kept[i + 1]) / total < out.minPairKeptFraction) {
      out.minPairKeptFraction = (kept[i] + kept[i + 1]) / total;
      out.minPairKeptWhere = responses[i].where.substr(0, responses[i].where.rfind(','));
    }
  }
  out.meanKeptFraction = keptCount ? keptSum / double(keptCount) : 1.0;
  if (peak == 0.0) throw std::runtime_error("the selected responses are silent");
  out.gain = options.peak / peak;

  HrtfSet set;
  set.samplingRate = options.samplingRate;  // recorded in the data, so a load resamples right
  std::size_t next = 0;
  out.minSample = 0.f;
  out.maxSample = 0.f;
  auto store = [&](const std::vector<double>& t) {
    std::vector<float> v(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
      // The product rounds to at most the peak; the clamp only guards the
      // format's range against a rounding surprise.
      v[i] = std::clamp(float(t[i] * out.gain), -1.f, 1.f);
      out.minSample = std::min(out.minSample, v[i]);
      out.maxSample = std::max(out.maxSample, v[i]);
    }
    return v;
  };
  for (const SelectedRing& ring : rings) {
    Ring stored;
    stored.elevation = StoredAngle(ring.elevation, options.shouldRoundAngles);
    for (const Selected& s : ring.angles) {
      Angle angle;
      angle.azimuth = StoredAngle(s.azimuth, options.shouldRoundAngles);
      angle.left = store(taps[next++]);
      angle.right = store(taps[next++]);
      stored.angles.push_back(std::move(angle));
    }
    set.rings.push_back(std::move(stored));
  }
  CheckHrtfSet(set);
  return set;
}

}  // namespace orvhrtf
