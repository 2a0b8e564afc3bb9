#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "ORVFFT/FFTReference.h"
#include "ORVFFT/OrvFFT.h"
#include "ORVFFT/StandardFFTSetup.h"

namespace {

using orvfft::CreateFFTSetup;
using orvfft::DataType;
using orvfft::FFTInput;
using orvfft::FFTParam;
using orvfft::FFTSetup;
using orvtest::ComplexSignal;
using orvtest::RandomComplex;
using orvtest::RelativeRmsError;
using orvtest::Scatter;

using Plan = std::unique_ptr<FFTSetup>;

// Error bounds as for one-dimensional plans: every element passes through
// one transform per dimension, each adding its own rounding.
constexpr double kFloatFftTolerance = 1e-5;
constexpr double kDoubleFftTolerance = 1e-12;

Plan MakePlan(std::vector<std::size_t> size, bool backward,
              DataType type = orvfft::kDataTypeFloat) {
  FFTParam param;
  param.size = std::move(size);
  param.backward = backward;
  param.dataType = type;
  if (type == orvfft::kDataTypeDouble) param.stride = param.distance = sizeof(double);
  return Plan(CreateFFTSetup(param));
}

template <typename T>
std::pair<std::vector<T>, std::vector<T>> Apply(FFTSetup& plan, const ComplexSignal& x) {
  const std::vector<T> inRe(x.re.begin(), x.re.end()), inIm(x.im.begin(), x.im.end());
  std::vector<T> outRe(x.size()), outIm(x.size());
  plan.Transform(FFTInput{outRe.data(), outIm.data(), inRe.data(), inIm.data()});
  return {outRe, outIm};
}

// X[k] = Σ_n x[n] e^(∓2πi·Σ_d k_d·n_d / N_d), indices innermost first.
ComplexSignal DirectMultidimensionalDft(const ComplexSignal& x,
                                        const std::vector<std::size_t>& dims, bool backward) {
  const std::size_t total = x.size();
  auto digits = [&](std::size_t index) {
    std::vector<std::size_t> d(dims.size());
    for (std::size_t i = 0; i < dims.size(); ++i) {
      d[i] = index % dims[i];
      index /= dims[i];
    }
    return d;
  };
  ComplexSignal out{std::vector<long double>(total), std::vector<long double>(total)};
  const long double sign = backward ? 1.0L : -1.0L;
  for (std::size_t k = 0; k < total; ++k) {
    const auto kd = digits(k);
    long double accRe = 0.0L, accIm = 0.0L;
    for (std::size_t n = 0; n < total; ++n) {
      const auto nd = digits(n);
      long double turns = 0.0L;
      for (std::size_t i = 0; i < dims.size(); ++i) {
        turns +=
            static_cast<long double>((kd[i] * nd[i]) % dims[i]) / static_cast<long double>(dims[i]);
      }
      const long double angle = sign * 2.0L * M_PIl * turns;
      const long double c = std::cos(angle), s = std::sin(angle);
      accRe += x.re[n] * c - x.im[n] * s;
      accIm += x.re[n] * s + x.im[n] * c;
    }
    out.re[k] = accRe;
    out.im[k] = accIm;
  }
  return out;
}

TEST(MultidimensionalFFTSetup, MatchesDirectMultidimensionalDft) {
  const std::vector<std::vector<std::size_t>> shapes = {{8, 12}, {6, 4},    {16, 1},
                                                        {1, 16}, {4, 3, 2}, {2, 2, 2, 3}};
  for (const auto& shape : shapes) {
    std::size_t total = 1;
    for (const std::size_t n : shape) total *= n;
    for (const bool backward : {false, true}) {
      SCOPED_TRACE("shape of " + std::to_string(shape.size()) + " dimensions, total " +
                   std::to_string(total) + (backward ? ", backward" : ", forward"));
      const ComplexSignal x = RandomComplex(total, 77u);
      const ComplexSignal reference = DirectMultidimensionalDft(x, shape, backward);
      const Plan floatPlan = MakePlan(shape, backward);
      const auto [fr, fi] = Apply<float>(*floatPlan, x);
      EXPECT_LT(RelativeRmsError(fr.data(), fi.data(), reference), kFloatFftTolerance);
      const Plan doublePlan = MakePlan(shape, backward, orvfft::kDataTypeDouble);
      const auto [dr, di] = Apply<double>(*doublePlan, x);
      EXPECT_LT(RelativeRmsError(dr.data(), di.data(), reference), kDoubleFftTolerance);
    }
  }
}

TEST(MultidimensionalFFTSetup, StridedDataKeepsTheGaps) {
  const std::vector<std::size_t> shape = {6, 8};
  constexpr float kMarker = -9.0f;
  FFTParam param;
  param.size = shape;
  param.stride = 2 * sizeof(float);
  const Plan plan(CreateFFTSetup(param));
  const ComplexSignal x = RandomComplex(48, 8u);
  const ComplexSignal reference = DirectMultidimensionalDft(x, shape, false);
  std::vector<float> re = Scatter<float>(x.re, 2, kMarker), im = Scatter<float>(x.im, 2, kMarker);
  plan->Transform(FFTInput{re.data(), im.data(), re.data(), im.data()});
  EXPECT_LT(RelativeRmsError(re.data(), im.data(), reference, 2), kFloatFftTolerance);
  for (std::size_t i = 1; i < re.size(); i += 2) {
    EXPECT_EQ(re[i], kMarker);
    EXPECT_EQ(im[i], kMarker);
  }
}

}  // namespace
