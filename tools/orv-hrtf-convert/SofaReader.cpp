#include "SofaReader.h"

#include <mysofa.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numbers>
#include <stdexcept>

#include "Text.h"

namespace orvhrtf {

namespace {

using Vec = std::array<double, 3>;

constexpr double kDegree = std::numbers::pi / 180.0;

struct HrtfDeleter {
  void operator()(MYSOFA_HRTF* hrtf) const { mysofa_free(hrtf); }
};

std::string Attribute(MYSOFA_ATTRIBUTE* attributes, const char* name) {
  const char* value = mysofa_getAttribute(attributes, const_cast<char*>(name));
  return value ? value : "";
}

const char* LoadErrorText(int error) {
  switch (error) {
    case MYSOFA_INVALID_FORMAT: return "invalid format";
    case MYSOFA_UNSUPPORTED_FORMAT: return "unsupported format";
    case MYSOFA_READ_ERROR: return "read error";
    case MYSOFA_NO_MEMORY: return "out of memory";
    case MYSOFA_INVALID_ATTRIBUTES: return "invalid attributes";
    case MYSOFA_INVALID_DIMENSIONS: return "invalid dimensions";
    case MYSOFA_INVALID_DIMENSION_LIST: return "invalid dimension list";
    case MYSOFA_INVALID_COORDINATE_TYPE: return "invalid coordinate type";
    case MYSOFA_ONLY_EMITTER_WITH_ECI_SUPPORTED: return "only one emitter per file is supported";
    case MYSOFA_ONLY_DELAYS_WITH_IR_OR_MR_SUPPORTED: return "unsupported layout of delays";
    case MYSOFA_ONLY_THE_SAME_SAMPLING_RATE_SUPPORTED: return "several sampling rates";
    case MYSOFA_RECEIVERS_WITH_RCI_SUPPORTED: return "unsupported layout of receivers";
    case MYSOFA_RECEIVERS_WITH_CARTESIAN_SUPPORTED: return "receivers must be cartesian";
    case MYSOFA_INVALID_RECEIVER_POSITIONS: return "invalid receiver positions";
    case MYSOFA_ONLY_SOURCES_WITH_MC_SUPPORTED: return "unsupported layout of source positions";
    default: return "internal error";
  }
}

double Dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec Cross(const Vec& a, const Vec& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec Scaled(const Vec& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
Vec Minus(const Vec& a, const Vec& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }

bool IsSpherical(const MYSOFA_ARRAY& array) {
  return Attribute(array.attributes, "Type") == "spherical";
}

// Row `m` of an array that holds either one triplet for all rows or one per row.
Vec Triplet(const MYSOFA_ARRAY& array, unsigned m, unsigned rows, const char* name,
            const std::string& path, const Vec& fallback) {
  unsigned base;
  if (array.elements == 0 || array.values == nullptr) return fallback;
  if (array.elements == 3) {
    base = 0;
  } else if (array.elements == 3 * rows) {
    base = 3 * m;
  } else {
    throw std::runtime_error(Format("'%s': %s holds %u values, neither 3 nor 3 per measurement",
                                    path.c_str(), name, array.elements));
  }
  Vec v{array.values[base], array.values[base + 1], array.values[base + 2]};
  if (IsSpherical(array)) {
    // SOFA spherical: azimuth and elevation in degrees, then radius.
    const double az = v[0] * kDegree, el = v[1] * kDegree, r = v[2];
    v = {r * std::cos(el) * std::cos(az), r * std::cos(el) * std::sin(az), r * std::sin(el)};
  }
  return v;
}

// The listener's frame: SOFA's x ahead, y to the left, z up, turned by the
// listener's view and up vectors. Returns false when they are degenerate.
bool ListenerAxes(const Vec& view, const Vec& up, Vec& front, Vec& left, Vec& top) {
  const double viewLength = std::sqrt(Dot(view, view));
  if (!(viewLength > 0.0)) return false;
  front = Scaled(view, 1.0 / viewLength);
  Vec u = Minus(up, Scaled(front, Dot(up, front)));
  const double upLength = std::sqrt(Dot(u, u));
  if (!(upLength > 1e-9)) return false;
  top = Scaled(u, 1.0 / upLength);
  left = Cross(top, front);
  return true;
}

}  // namespace

MeasurementSet ReadSofaFile(const std::string& path, SofaDescription* description) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    throw std::runtime_error(Format("cannot open '%s': %s", path.c_str(), std::strerror(errno)));
  }
  if (S_ISDIR(status.st_mode))
    throw std::runtime_error(Format("'%s' is a directory", path.c_str()));
  if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
    std::fclose(probe);
  } else {
    throw std::runtime_error(Format("cannot open '%s': %s", path.c_str(), std::strerror(errno)));
  }

  int error = MYSOFA_OK;
  std::unique_ptr<MYSOFA_HRTF, HrtfDeleter> hrtf(mysofa_load(path.c_str(), &error));
  if (!hrtf) {
    if (error > 0 && error < MYSOFA_INVALID_FORMAT) {
      throw std::runtime_error(Format("cannot read '%s': %s", path.c_str(), std::strerror(error)));
    }
    throw std::runtime_error(
        Format("'%s' is not a SOFA file (libmysofa: %s)", path.c_str(), LoadErrorText(error)));
  }
  error = mysofa_check(hrtf.get());
  if (error != MYSOFA_OK) {
    throw std::runtime_error(
        Format("'%s' is not a SOFA file of head-related impulse responses "
               "that libmysofa accepts (%s)",
               path.c_str(), LoadErrorText(error)));
  }
  const MYSOFA_HRTF& h = *hrtf;
  if (h.R != 2) {
    throw std::runtime_error(
        Format("'%s' has %u receivers; one per ear (2) are needed", path.c_str(), h.R));
  }
  if (h.E != 1) {
    throw std::runtime_error(
        Format("'%s' has %u emitters; only one is supported", path.c_str(), h.E));
  }
  if (h.M == 0 || h.N == 0 || h.DataIR.values == nullptr || h.DataIR.elements != h.M * h.R * h.N) {
    throw std::runtime_error(
        Format("'%s' holds no impulse responses of the size its "
               "dimensions announce (%u measurements of %u samples)",
               path.c_str(), h.M, h.N));
  }
  if (h.DataSamplingRate.elements < 1 || h.DataSamplingRate.values == nullptr) {
    throw std::runtime_error(Format("'%s' has no sampling rate", path.c_str()));
  }
  const double rate = h.DataSamplingRate.values[0];
  for (unsigned i = 1; i < h.DataSamplingRate.elements; ++i) {
    if (h.DataSamplingRate.values[i] != rate) {
      throw std::runtime_error(Format("'%s' mixes several sampling rates", path.c_str()));
    }
  }
  if (!(rate > 0.0) || !std::isfinite(rate)) {
    throw std::runtime_error(Format("'%s' has an invalid sampling rate %g", path.c_str(), rate));
  }

  // Delays stored apart from the responses (minimum-phase sets): one for all,
  // one per receiver, or one per measurement and receiver; in samples.
  const MYSOFA_ARRAY& delays = h.DataDelay;
  auto delay = [&](unsigned m, unsigned r) -> double {
    if (delays.elements == 0 || delays.values == nullptr) return 0.0;
    if (delays.elements == 1) return delays.values[0];
    if (delays.elements == h.R) return delays.values[r];
    if (delays.elements == h.M * h.R) return delays.values[m * h.R + r];
    throw std::runtime_error(
        Format("'%s': Data.Delay holds %u values, which fits neither its "
               "receivers nor its measurements",
               path.c_str(), delays.elements));
  };

  // The left ear is the receiver further along the listener's left axis.
  unsigned leftReceiver = 0;
  if (h.ReceiverPosition.elements >= 6 && h.ReceiverPosition.values) {
    Vec r0{h.ReceiverPosition.values[0], h.ReceiverPosition.values[1],
           h.ReceiverPosition.values[2]};
    Vec r1{h.ReceiverPosition.values[3], h.ReceiverPosition.values[4],
           h.ReceiverPosition.values[5]};
    if (IsSpherical(h.ReceiverPosition)) {
      // Only the sign of the lateral component matters: sin(azimuth).
      r0[1] = std::sin(r0[0] * kDegree) * std::cos(r0[1] * kDegree);
      r1[1] = std::sin(r1[0] * kDegree) * std::cos(r1[1] * kDegree);
    }
    if (r1[1] > r0[1]) leftReceiver = 1;
  }
  const unsigned rightReceiver = 1 - leftReceiver;

  MeasurementSet set;
  set.samplingRate = rate;
  set.measurements.resize(h.M);
  const bool sourceSpherical = IsSpherical(h.SourcePosition);
  bool hasDelays = false;
  for (unsigned m = 0; m < h.M; ++m) {
    Measurement& out = set.measurements[m];
    const Vec source = Triplet(h.SourcePosition, m, h.M, "SourcePosition", path, {1.0, 0.0, 0.0});
    const Vec listener = Triplet(h.ListenerPosition, m, h.M, "ListenerPosition", path, {0, 0, 0});
    const Vec view = Triplet(h.ListenerView, m, h.M, "ListenerView", path, {1.0, 0.0, 0.0});
    const Vec up = Triplet(h.ListenerUp, m, h.M, "ListenerUp", path, {0.0, 0.0, 1.0});
    Vec front, left, top;
    if (!ListenerAxes(view, up, front, left, top)) {
      throw std::runtime_error(
          Format("'%s': the listener's view and up vectors are degenerate", path.c_str()));
    }
    const bool isCanonical =
        listener == Vec{0, 0, 0} && front == Vec{1, 0, 0} && top == Vec{0, 0, 1};
    if (sourceSpherical && isCanonical) {
      // Straight from the stored angles, so whole degrees stay whole. SOFA
      // azimuths turn counter-clockwise (towards the left ear).
      const unsigned base = h.SourcePosition.elements == 3 ? 0 : 3 * m;
      out.azimuth = WrapAzimuth(-double(h.SourcePosition.values[base]));
      out.elevation = h.SourcePosition.values[base + 1];
      out.distance = h.SourcePosition.values[base + 2];
    } else {
      const Vec d = Minus(source, listener);
      const double x = Dot(d, front), y = Dot(d, left), z = Dot(d, top);
      out.azimuth = WrapAzimuth(std::atan2(-y, x) / kDegree);
      out.elevation = std::atan2(z, std::hypot(x, y)) / kDegree;
      out.distance = std::sqrt(x * x + y * y + z * z);
    }
    const float* ir = h.DataIR.values + std::size_t(m) * h.R * h.N;
    out.left.assign(ir + std::size_t(leftReceiver) * h.N, ir + std::size_t(leftReceiver + 1) * h.N);
    out.right.assign(ir + std::size_t(rightReceiver) * h.N,
                     ir + std::size_t(rightReceiver + 1) * h.N);
    out.leftDelay = delay(m, leftReceiver);
    out.rightDelay = delay(m, rightReceiver);
    hasDelays = hasDelays || out.leftDelay != 0.0 || out.rightDelay != 0.0;
  }

  if (description) {
    description->conventions = Attribute(h.attributes, "SOFAConventions");
    description->database = Attribute(h.attributes, "DatabaseName");
    description->listener = Attribute(h.attributes, "ListenerShortName");
    description->title = Attribute(h.attributes, "Title");
    description->license = Attribute(h.attributes, "License");
    description->measurementCount = h.M;
    description->sampleCount = h.N;
    description->samplingRate = rate;
    description->hasDelays = hasDelays;
  }
  return set;
}

}  // namespace orvhrtf
