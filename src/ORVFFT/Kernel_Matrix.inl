// The matrix transform for one vector width, included once per width by
// Kernel_Matrix.cpp inside a namespace of its own that defines the width's
// operations as a struct Lanes. No includes: a standard header pulled in
// here would compile its inline functions for the wider target.
//
// N = N1·N2, n = N2·n1 + n2, k = k1 + N1·k2:
//   X[k] = Σ_n2 W_N2^(n2·k2) · W_N^(n2·k1) · Σ_n1 x[N2·n1 + n2] · W_N1^(n1·k1).
// Stage A takes the rows of N2 values as vectors (lanes n2) and runs the
// N1-point DFTs down the columns, lane by lane, then applies W_N^(n2·k1) and
// transposes blocks of L×L into scratch. Stage C then has lanes k1 and runs
// the N2-point DFTs the same way, storing rows k2 of the output directly.
// Every DFT is unrolled and held in registers (or spilled next to them);
// there is no bit reversal and no pass over memory between the stages but
// the transposed scratch. Forward direction only: the plan gets the
// backward transform by swapping real and imaginary parts.

using V = Lanes::V;
constexpr int kWidth = Lanes::kWidth;

struct Cx {
  V re, im;
};

#define ORV_MATRIX_INLINE inline __attribute__((always_inline))

ORV_MATRIX_INLINE Cx Plus(Cx a, Cx b) noexcept {
  return {Lanes::Add(a.re, b.re), Lanes::Add(a.im, b.im)};
}
ORV_MATRIX_INLINE Cx Minus(Cx a, Cx b) noexcept {
  return {Lanes::Sub(a.re, b.re), Lanes::Sub(a.im, b.im)};
}

// cos(2π·j/32), exact to double precision, from a quarter turn.
constexpr double kQuarterCos[9] = {1.0,
                                   0.98078528040323044913,
                                   0.92387953251128675613,
                                   0.83146961230254523708,
                                   0.70710678118654752440,
                                   0.55557023301960222474,
                                   0.38268343236508977173,
                                   0.19509032201612826785,
                                   0.0};
constexpr double Cos32(int j) noexcept {
  j &= 31;
  if (j <= 8) return kQuarterCos[j];
  if (j <= 16) return -kQuarterCos[16 - j];
  if (j <= 24) return -kQuarterCos[j - 16];
  return kQuarterCos[32 - j];
}
constexpr double Sin32(int j) noexcept { return Cos32(j - 8); }

// a · e^(-2πi·j/32). j is a constant once the DFTs are unrolled, so the
// branches fold away.
ORV_MATRIX_INLINE Cx Rotate(Cx a, int j) noexcept {
  j &= 31;
  if (j == 0) return a;
  if (j == 8) return {a.im, Lanes::Sub(Lanes::Zero(), a.re)};  // ·(-i)
  if (j == 16) return {Lanes::Sub(Lanes::Zero(), a.re), Lanes::Sub(Lanes::Zero(), a.im)};
  const V wr = Lanes::Splat(static_cast<float>(Cos32(j)));
  const V wi = Lanes::Splat(static_cast<float>(-Sin32(j)));
  return {Lanes::MulSub(a.re, wr, Lanes::Mul(a.im, wi)),
          Lanes::MulAdd(a.re, wi, Lanes::Mul(a.im, wr))};
}

// a · w for a factor w from a table.
ORV_MATRIX_INLINE Cx Times(Cx a, V wr, V wi) noexcept {
  return {Lanes::MulSub(a.re, wr, Lanes::Mul(a.im, wi)),
          Lanes::MulAdd(a.re, wi, Lanes::Mul(a.im, wr))};
}

// Where Dft<R> leaves output k, in units of its stride: R = R1·4 puts
// X[k1 + R1·k2] at 4·Pos(R1, k1) + k2.
constexpr int Pos(int radix, int k) noexcept {
  if (radix <= 4) return k;
  const int inner = radix / 4;
  return 4 * Pos(inner, k % inner) + k / inner;
}

// Forward DFT of v[o + s·i], i < R, in place; output k lands at
// v[o + s·Pos(R, k)]. R = R1·4 with n = n2 + 4·n1, k = k1 + R1·k2: R1-point
// DFTs over n1, the factors W_R^(n2·k1), then 4-point DFTs over n2.
template <int R>
ORV_MATRIX_INLINE void Dft(Cx* v, int o, int s) noexcept {
  if constexpr (R == 2) {
    const Cx a = v[o], b = v[o + s];
    v[o] = Plus(a, b);
    v[o + s] = Minus(a, b);
  } else if constexpr (R == 4) {
    const Cx a0 = v[o], a1 = v[o + s], a2 = v[o + 2 * s], a3 = v[o + 3 * s];
    const Cx t0 = Plus(a0, a2), t1 = Minus(a0, a2), t2 = Plus(a1, a3), t3 = Minus(a1, a3);
    v[o] = Plus(t0, t2);
    v[o + 2 * s] = Minus(t0, t2);
    // t1 ∓ i·t3.
    v[o + s] = {Lanes::Add(t1.re, t3.im), Lanes::Sub(t1.im, t3.re)};
    v[o + 3 * s] = {Lanes::Sub(t1.re, t3.im), Lanes::Add(t1.im, t3.re)};
  } else {
    constexpr int R1 = R / 4;
#pragma GCC unroll 4
    for (int n2 = 0; n2 < 4; ++n2) Dft<R1>(v, o + s * n2, 4 * s);
#pragma GCC unroll 4
    for (int n2 = 1; n2 < 4; ++n2) {
#pragma GCC unroll 16
      for (int k1 = 1; k1 < R1; ++k1) {
        Cx& c = v[o + s * (n2 + 4 * Pos(R1, k1))];
        c = Rotate(c, n2 * k1 * (32 / R));
      }
    }
#pragma GCC unroll 16
    for (int k1 = 0; k1 < R1; ++k1) Dft<4>(v, o + 4 * s * Pos(R1, k1), s);
  }
}

// z[n] = in[2n] + i·in[2n+1]: the real FFT's packing of a real signal.
struct InterleavedInput {
  const float* in;
  ORV_MATRIX_INLINE Cx Row(int at) const noexcept {
    Cx c;
    Lanes::LoadInterleaved(in + 2 * at, c.re, c.im);
    return c;
  }
};
struct SplitInput {
  const float* re;
  const float* im;
  ORV_MATRIX_INLINE Cx Row(int at) const noexcept {
    return {Lanes::LoadU(re + at), Lanes::LoadU(im + at)};
  }
};

// One N-point forward transform, N = N1·N2 with N1 and N2 multiples of the
// width. tw holds W_N^(n2·k1) at k1·N2 + n2, aligned to the width. out may
// be the input (stage A reads all of it before stage C writes).
template <int N1, int N2, typename Input>
void Transform(float* outRe, float* outIm, const Input& input, const float* twRe,
               const float* twIm) noexcept {
  constexpr int L = kWidth;
  static_assert(N1 % L == 0 && N2 % L == 0, "both sides hold whole vectors");
  alignas(32) float uRe[N1 * N2];
  alignas(32) float uIm[N1 * N2];

  // Stage A, one block of L columns at a time.
#pragma GCC unroll 4
  for (int b = 0; b < N2 / L; ++b) {
    Cx v[N1];
#pragma GCC unroll 32
    for (int n1 = 0; n1 < N1; ++n1) v[n1] = input.Row(N2 * n1 + L * b);
    Dft<N1>(v, 0, 1);
#pragma GCC unroll 4
    for (int g = 0; g < N1 / L; ++g) {
      V re[L], im[L];
#pragma GCC unroll 8
      for (int j = 0; j < L; ++j) {
        const int k1 = L * g + j;
        Cx c = v[Pos(N1, k1)];
        if (k1 > 0) {
          const int at = k1 * N2 + L * b;
          c = Times(c, Lanes::Load(twRe + at), Lanes::Load(twIm + at));
        }
        re[j] = c.re;
        im[j] = c.im;
      }
      // Lanes n2 = L·b + i of rows k1 become lanes k1 of rows n2.
      Lanes::Transpose(re);
      Lanes::Transpose(im);
#pragma GCC unroll 8
      for (int i = 0; i < L; ++i) {
        Lanes::Store(uRe + (L * b + i) * N1 + L * g, re[i]);
        Lanes::Store(uIm + (L * b + i) * N1 + L * g, im[i]);
      }
    }
  }

  // Stage C, one block of L values of k1 at a time.
#pragma GCC unroll 4
  for (int c = 0; c < N1 / L; ++c) {
    Cx v[N2];
#pragma GCC unroll 32
    for (int n2 = 0; n2 < N2; ++n2) {
      v[n2] = {Lanes::Load(uRe + n2 * N1 + L * c), Lanes::Load(uIm + n2 * N1 + L * c)};
    }
    Dft<N2>(v, 0, 1);
#pragma GCC unroll 32
    for (int k2 = 0; k2 < N2; ++k2) {
      const Cx x = v[Pos(N2, k2)];
      Lanes::StoreU(outRe + N1 * k2 + L * c, x.re);
      Lanes::StoreU(outIm + N1 * k2 + L * c, x.im);
    }
  }
}

template <int N1, int N2>
void SplitTransform(float* outRe, float* outIm, const float* inRe, const float* inIm,
                    const float* twRe, const float* twIm) noexcept {
  Transform<N1, N2>(outRe, outIm, SplitInput{inRe, inIm}, twRe, twIm);
}

template <int N1, int N2>
void InterleavedTransform(float* outRe, float* outIm, const float* in, const float* twRe,
                          const float* twIm) noexcept {
  Transform<N1, N2>(outRe, outIm, InterleavedInput{in}, twRe, twIm);
}

#undef ORV_MATRIX_INLINE
