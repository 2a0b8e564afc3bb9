// The portable pass: every element type, stride and direction.
#include <complex>

#include "ORVFFT/Kernel.h"
#include "ORVFFT/Twiddles.h"
#include "common/OrvAssert.h"

namespace orvfft::kernel {
namespace {

// Element n of an array whose elements lie `stride` bytes apart.
template <typename T>
inline T& At(T* base, std::size_t n, std::size_t stride) noexcept {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(base) + n * stride);
}

template <typename T, bool isContiguous>
inline T& Element(T* base, std::size_t n, std::size_t stride) noexcept {
  if constexpr (isContiguous)
    return base[n];
  else
    return At(base, n, stride);
}

}  // namespace

// One pass of radix 2, 3 or 4; see Kernel.h for the indexing.
template <typename T, bool backward, bool isContiguous>
void GenericInner(const KernelParam& param, const KernelData<T>& data) noexcept {
  const std::size_t radix = param.radix;
  const std::size_t P = param.innerCount;
  const std::size_t M = param.groupCount;
  const std::size_t Q = param.butterflyCount;
  const std::size_t N = param.size;
  const std::size_t stride = param.stride;
  const std::complex<T>* factors = param.twiddles->template Factors<T>() + param.twiddleOffset;
  T* xr = data.real;
  T* xi = data.imag;
  T* yr = data.workReal;
  T* yi = data.workImag;
  auto x = [&](T* base, std::size_t n) -> T& { return Element<T, isContiguous>(base, n, stride); };
  // Forward passes use e^(-2πi·k·p·P/N), the conjugate of the stored factor.
  constexpr T kSign = backward ? T(1) : T(-1);
  // √3/2, the imaginary part of e^(±2πi/3).
  constexpr T kHalfRoot3 = T(0.8660254037844386);

  // The message keeps the name the kernel's failures have always carried in
  // hosts' logs.
  if (radix != 2 && radix != 3 && radix != 4)
    ::orv::detail::AssertionFailed("false", "_GenericInner", "ORVFFT/Kernel_Generic");

  for (std::size_t p = 0; p < M; ++p) {
    T wr[4] = {1, 1, 1, 1};
    T wi[4] = {0, 0, 0, 0};
    if (p > 0) {
      for (std::size_t k = 1; k < radix; ++k) {
        const std::complex<T> w = factors[(k - 1) * M + (p - 1)];
        wr[k] = w.real();
        wi[k] = kSign * w.imag();
      }
    }
    for (std::size_t q = 0; q < P; ++q) {
      const std::size_t in = q + P * p;
      const std::size_t out = q + P * radix * p;
      T br[4], bi[4];
      if (radix == 2) {
        const T a0r = x(xr, in), a0i = x(xi, in);
        const T a1r = x(xr, in + Q), a1i = x(xi, in + Q);
        br[0] = a0r + a1r;
        bi[0] = a0i + a1i;
        br[1] = a0r - a1r;
        bi[1] = a0i - a1i;
      } else if (radix == 3) {
        const T a0r = x(xr, in), a0i = x(xi, in);
        const T a1r = x(xr, in + Q), a1i = x(xi, in + Q);
        const T a2r = x(xr, in + 2 * Q), a2i = x(xi, in + 2 * Q);
        const T sr = a1r + a2r, si = a1i + a2i;
        br[0] = a0r + sr;
        bi[0] = a0i + si;
        const T mr = a0r - T(0.5) * sr, mi = a0i - T(0.5) * si;
        // d = h·(a2 - a1); forward b1 = m + i·d, backward b1 = m - i·d, so
        // e = ∓d carries the direction and b1 = m + i·e, b2 = m - i·e.
        const T dr = kSign * kHalfRoot3 * (a1r - a2r), di = kSign * kHalfRoot3 * (a1i - a2i);
        br[1] = mr - di;
        bi[1] = mi + dr;
        br[2] = mr + di;
        bi[2] = mi - dr;
      } else {
        const T a0r = x(xr, in), a0i = x(xi, in);
        const T a1r = x(xr, in + Q), a1i = x(xi, in + Q);
        const T a2r = x(xr, in + 2 * Q), a2i = x(xi, in + 2 * Q);
        const T a3r = x(xr, in + 3 * Q), a3i = x(xi, in + 3 * Q);
        const T t0r = a0r + a2r, t0i = a0i + a2i;
        const T t1r = a0r - a2r, t1i = a0i - a2i;
        const T t2r = a1r + a3r, t2i = a1i + a3i;
        // Signed so that forward b1 = t1 - i·t3 and backward b1 = t1 + i·t3.
        const T t3r = kSign * (a1r - a3r), t3i = kSign * (a1i - a3i);
        br[0] = t0r + t2r;
        bi[0] = t0i + t2i;
        br[2] = t0r - t2r;
        bi[2] = t0i - t2i;
        br[1] = t1r - t3i;
        bi[1] = t1i + t3r;
        br[3] = t1r + t3i;
        bi[3] = t1i - t3r;
      }
      yr[out] = br[0];
      yi[out] = bi[0];
      for (std::size_t k = 1; k < radix; ++k) {
        yr[out + P * k] = br[k] * wr[k] - bi[k] * wi[k];
        yi[out + P * k] = br[k] * wi[k] + bi[k] * wr[k];
      }
    }
  }
  for (std::size_t n = 0; n < N; ++n) {
    x(xr, n) = yr[n];
    x(xi, n) = yi[n];
  }
}

template <typename T, bool backward>
void Generic(const KernelParam& param, const KernelData<T>& data) noexcept {
  if (param.stride == sizeof(T))
    GenericInner<T, backward, true>(param, data);
  else
    GenericInner<T, backward, false>(param, data);
}

template void Generic<float, false>(const KernelParam&, const KernelData<float>&) noexcept;
template void Generic<float, true>(const KernelParam&, const KernelData<float>&) noexcept;
template void Generic<double, false>(const KernelParam&, const KernelData<double>&) noexcept;
template void Generic<double, true>(const KernelParam&, const KernelData<double>&) noexcept;

}  // namespace orvfft::kernel
