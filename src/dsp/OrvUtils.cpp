#include "dsp/OrvUtils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "common/OrvAssert.h"

namespace orv {

namespace {

// w0 = 2π·f/fs in double, rounded once to float; sin and cos then in float.
struct DesignAngle {
  float sw;
  float cw;
};

DesignAngle MakeAngle(float samplingRate, float frequency) {
  const float w0 = static_cast<float>(6.283185307179586 * static_cast<double>(frequency) /
                                      static_cast<double>(samplingRate));
  return {std::sin(w0), std::cos(w0)};
}

}  // namespace

void BiquadFilter::PeakingEQ(float samplingRate, float frequency, float gain, float q) {
  const auto [sw, cw] = MakeAngle(samplingRate, frequency);
  const float alpha = sw / (q + q);
  const float a = std::sqrt(gain);
  const float inv = 1.0f / (1.0f + alpha / a);
  b0 = (1.0f + alpha * a) * inv;
  b1 = (-2.0f * cw) * inv;
  b2 = (1.0f - alpha * a) * inv;
  na1 = inv * (2.0f * cw);
  na2 = -(1.0f - alpha / a) * inv;
}

void BiquadFilter::BandpassFilter(float samplingRate, float frequency, float q) {
  const auto [sw, cw] = MakeAngle(samplingRate, frequency);
  const float alpha = sw / (q + q);
  const float inv = 1.0f / (1.0f + alpha);
  b0 = alpha * inv;
  b1 = 0.0f * inv;
  b2 = -alpha * inv;
  na1 = inv * (2.0f * cw);
  na2 = -(1.0f - alpha) * inv;
}

AllpassFilter1::AllpassFilter1(int delay, float coef)
    : inputHistory(delay > 0 ? delay : 0, 0.0f),
      outputHistory(delay > 0 ? delay : 0, 0.0f),
      size(delay),
      coef(coef) {
  // The ring index wraps at size: an empty ring would be read out of bounds.
  ORV_ASSERT(size > 0, "OrvUtils");
}

namespace {

// Runs of up to 4-wide steps: both paths share the operations.
template <bool useVector>
void AllpassRun(float* data, float* in, float* out, int n, float g) noexcept {
  int j = 0;
#if defined(ORV_HAVE_SIMD4)
  if constexpr (useVector) {
    using namespace simd;
    const Float4 vg = Splat(g);
    for (; j + 4 <= n; j += 4) {
      const Float4 x = LoadU(data + j);
      const Float4 y = Add(Mul(Sub(x, LoadU(out + j)), vg), LoadU(in + j));
      StoreU(in + j, x);
      StoreU(out + j, y);
      StoreU(data + j, y);
    }
  }
#endif
  for (; j < n; ++j) {
    const float x = data[j];
    const float y = (x - out[j]) * g + in[j];
    in[j] = x;
    out[j] = y;
    data[j] = y;
  }
}

template <bool useVector>
void AllpassBlock(AllpassFilter1& f, float* data, int n) noexcept {
  // Step i reads the histories at position + i, written N steps earlier: a
  // run up to the end of the histories has no step depending on another.
  for (int done = 0; done < n;) {
    const int len = std::min(n - done, f.size - f.position);
    AllpassRun<useVector>(data + done, f.inputHistory.data() + f.position,
                          f.outputHistory.data() + f.position, len, f.coef);
    f.position = f.position + len == f.size ? 0 : f.position + len;
    done += len;
  }
}

}  // namespace

void AllpassFilter1::ProcessBlock(float* data, int n) noexcept {
  AllpassBlock<true>(*this, data, n);
}

void AllpassFilter1::ProcessBlockScalar(float* data, int n) noexcept {
  AllpassBlock<false>(*this, data, n);
}

bool AllpassFilter1::IsSilent() const noexcept {
  const auto zero = [](float v) { return v == 0.0f; };
  return std::all_of(inputHistory.begin(), inputHistory.end(), zero) &&
         std::all_of(outputHistory.begin(), outputHistory.end(), zero);
}

bool AllpassFilter1::IsQuiet() const noexcept {
  const auto quiet = [](float v) { return std::fabs(v) <= kQuietLevel; };
  return std::all_of(inputHistory.begin(), inputHistory.end(), quiet) &&
         std::all_of(outputHistory.begin(), outputHistory.end(), quiet);
}

void AllpassFilter1::Clear() noexcept {
  std::fill(inputHistory.begin(), inputHistory.end(), 0.0f);
  std::fill(outputHistory.begin(), outputHistory.end(), 0.0f);
}

ExactDelayLine::ExactDelayLine(float delay, float size) : size(static_cast<int>(std::floor(size))) {
  ORV_ASSERT(this->size > 0, "OrvUtils");
  buffer.assign(static_cast<std::size_t>(this->size), 0.0f);
  quietSteps = this->size;
  SetDelay(delay);
}

void ExactDelayLine::Clear() noexcept {
  std::fill(buffer.begin(), buffer.end(), 0.0f);
  quietSteps = size;
  isSilent = true;
}

void ExactDelayLine::ProcessBlock(const float* in, float* out, int n) noexcept {
  if (n <= 0) return;
  if (isSilent && std::all_of(in, in + n, [](float x) { return x == 0.0f; })) {
    // A ring of zeros reads zeros wherever it is read: the position may stay.
    std::fill(out, out + n, 0.0f);
    return;
  }
  int trailingQuiet = 0;
  while (trailingQuiet < n && std::fabs(in[n - 1 - trailingQuiet]) <= kQuietLevel) ++trailingQuiet;
  const int d = delay - 1;
  float* ring = buffer.data();
  // Steps i < d read samples written before this block, starting d back.
  const int head = std::min(d, n);
  int r = position - d;
  if (r < 0) r += size;
  for (int done = 0; done < head;) {
    const int len = std::min(head - done, size - r);
    std::memcpy(out + done, ring + r, static_cast<std::size_t>(len) * sizeof(float));
    done += len;
    r = r + len == size ? 0 : r + len;
  }
  // The rest come from this block's input.
  if (n > head) std::memcpy(out + head, in, static_cast<std::size_t>(n - head) * sizeof(float));
  // The ring keeps the last size samples written.
  const int kept = std::min(n, size);
  int w = static_cast<int>((static_cast<long long>(position) + (n - kept)) % size);
  for (int done = 0; done < kept;) {
    const int len = std::min(kept - done, size - w);
    std::memcpy(ring + w, in + (n - kept) + done, static_cast<std::size_t>(len) * sizeof(float));
    done += len;
    w = w + len == size ? 0 : w + len;
  }
  position = w;
  quietSteps = trailingQuiet == n ? std::min(size, quietSteps + n) : trailingQuiet;
  isSilent = false;
}

void ExactDelayLine::SetDelay(float d) {
  const float f = std::floor(d);
  // Values beyond int (and NaN) must still fail the range checks, not wrap.
  int n;
  if (f >= -2147483648.0f && f < 2147483648.0f)
    n = static_cast<int>(f);
  else
    n = f > 0.0f ? size : -1;
  SetDelay(n);
}

void ExactDelayLine::SetDelay(int d) {
  // Unsigned increment: d = INT_MAX must fail the checks instead of overflowing.
  this->delay = static_cast<int>(static_cast<unsigned>(d) + 1u);
  ORV_ASSERT(this->delay <= this->size, "OrvUtils");
  ORV_ASSERT(this->delay > 0, "OrvUtils");
}

}  // namespace orv
