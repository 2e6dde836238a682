// Many scenes per instruction, with the scalar path's bits: the kernel that
// src/vector/kernel_avx512.cpp and kernel_avx2.cpp instantiate, each for its
// instruction set, with the vector elementary functions of SLEEF.
//
// Why the result is the scalar path's bits
// ----------------------------------------
// Each lane does the arithmetic of the scalar path (emissivity/sea_water.cpp,
// emissivity/kleinswift.cpp at nadir, radiance/tbvanto.cpp) in the same
// order, in IEEE double vector operations (+, -, *, / and sqrt are correctly
// rounded in both; -ffp-contract=off keeps a*b+c two roundings). So every
// double equals the scalar one as long as the floats it is computed from
// do. The floats come from the inputs and from the model's roundings
// (`to_single`, here `single`): a rounding of pure arithmetic on equal
// inputs gives equal floats. What can differ is the value of an elementary
// function F at the same double argument x: the scalar path's s (glibc)
// and the kernel's v (SLEEF, or a short composition of SLEEF functions).
//
// The bounds. glibc: |s - F(x)| <= 1 ulp for exp, pow, atan2, sin and cos
// (the glibc manual, "Known Maximum Errors in Math Functions", x86_64
// double entries), and an ulp of F(x) is at most 2^-52 |F(x)|. SLEEF 3.5's
// documentation: every _u10 function used here (exp, log, pow, atan2,
// sincos) has "max error 1.0 ulp". Where the kernel takes v = F(x) from
// one SLEEF call, |v - F(x)| <= 2^-52 |F(x)|. Where it takes x^y as
// exp(y log x) (pow costs about three exp), with relative errors e1 (log,
// 2^-52), e2 (the product, 2^-53) and e3 (exp, 2^-52):
//   v = x^y exp(z (e1 + e2 + e1 e2)) (1 + e3),  z = y log x,
// so |v / x^y - 1| <= (1.51 |z| + 1.01) 2^-52 while |z| is small; the
// bound of |z| over the domain is written at each such rounding.
//
// The test (`rounding_sure`). With delta = 2^-40 |v|, the kernel rounds
// v - delta and v + delta to single precision; when both give the same
// float, s rounds to that float too. Argument: at every tested rounding
// |v - F(x)| + |s - F(x)| <= 2^-41 |F(x)| (the largest case below is
// 2^-44.8), and |F(x)| <= |v| (1 + 2^-41), so |s - v| < delta. delta is
// exact (a power-of-two scaling of |v| >= 2^-900), v - delta <= s <=
// v + delta holds for the real numbers, and rounding (to double, then to
// float) is monotone, so the float of s lies between the floats of the two
// ends, which are equal. That covers the float range's ends too (an
// overflow to infinity is a boundary like any other). A value below
// 2^-900, infinite or NaN fails the test. The bounds are generous: the
// test costs about 2 delta over the float spacing, 2^-15.5, a rounding.
//
// A lane that fails a test is recomputed on the scalar path by the caller
// (every later value of the scene would then be in doubt).
//
// The salinity. Each lane reads its scene's salinity S (0 to 40; scenes
// outside, NaN included, go to the scalar path) and does what the scalar
// path does with it: the static permittivity's branch (fresh water where
// S < 0.1, a comparison of the same float with the same limit) is a select
// between the two polynomials, both computed; the relaxation time, phi and
// the conductivity take S in every lane. The polynomials are arithmetic on
// equal inputs (no test). Over SST -2 to 45 and S 0 to 40, phi lies in
// [-0.376, 0.690], so exp(phi) in [0.68, 2.0]: a normal value, where the
// exp bounds below hold and the test applies. At S = 0 (+0 or -0) the
// conductivity is (S / factor) p, a zero whatever the positive finite
// factor, so the factor is not tested there.
//
// The roundings of the chain, in order (the Rounding enumerators name the
// tested ones; the rest need no test):
//   emissivities, per SST and salinity
//     conductivity   single(exp(phi)), S != 0           tested: exp, 2^-51
//     eps', eps''    single(arithmetic), 6 channels      equal inputs, no test
//     modulus        single(sqrt(arithmetic))            sqrt correctly rounded
//     phase          single(atan2(eps'', g)), g != 0     tested: atan2, 2^-51
//                    (g == 0 takes pi/2 in both: a branch on an equal double)
//     root modulus   single(sqrt(modulus))               sqrt correctly rounded
//     ch, sh         single(cos), single(sin)            tested: sincos, 2^-51
//     b single, Rh   single(arithmetic)                  no test
//     Rv finite?     a test on equal doubles; where it fails the scalar path
//                    would compute Rv with pow: the lane falls back
//     emissivity     single((1 - Rh) - 0)                no test
//   budget, per scene
//     kelvin         single(arithmetic), SST and air     no test
//     q              single(exp(-h / 3500))              tested: exp, 2^-51
//     raw rain top   single(arithmetic)                  no test; the limits
//                    that follow compare equal floats
//     r1, r2         single(pow(R, 0.06)), single(pow(R, 0.87)); tested, as
//                    exp(y log R): |z| <= 0.87 |log R| <= 0.87 * 103.3 (R is
//                    a float from 2^-149 to 150), so (1.51 * 90 + 1.01)
//                    2^-52 + 2^-52 < 2^-44.8. R = +-0 is not tested:
//                    pow(+-0, y > 0) is +0 in C's Annex F (F.10.4.4), which
//                    glibc follows, and +0 is taken there.
//   budget, per channel
//     tau_Z, e       single(arithmetic)                  no test
//     tau_A          single(pow(tau_Z, 1 - q)); tested, as exp((1 - q) log
//                    tau_Z): |z| <= |log 0.987| < 0.02, bound < 2^-50.9
//     P              single(pow(f, n)); tested, as exp(n log f): n = 2.63 r1
//                    <= 2.63 * 150^0.06 < 3.56, log f < log 7.1 < 1.96, so
//                    |z| < 7 and the bound is < 13 * 2^-52 < 2^-48.2
//     tau_R, tau_D   single(exp(-kappa h_R)), single(exp(-kappa 4000)); tested:
//                    exp, 2^-51
//     Tb             single(arithmetic)                  no test
// The constants tau_Z and log f, log tau_Z of the six channels are computed
// once (the logs with SLEEF's log, 1 ulp, as above).
// Every bound closes: the kernel has no step that runs scalar for a whole
// vector. Scenes outside the fields' ranges (NaN included) are computed
// on the scalar path by the caller, whatever their lanes give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "emissivity/kleinswift.hpp"
#include "emissivity/sea_water.hpp"
#include "emissivity/water_formulas.hpp"
#include "nerido/channels.hpp"
#include "nerido/vector.hpp"
#include "precision/precision.hpp"
#include "radiance/budget_coefficients.hpp"
#include "vector/isa_kernels.hpp"

namespace nerido::simd::kernel {

// The half-width of the tested interval relative to the value, 2^-40 (see
// above), and the smallest magnitude tested.
inline constexpr double relative_delta = 0x1p-40;
inline constexpr double smallest_tested = 0x1p-900;

// The channels' frequencies (GHz) as a plain array, filled at compile time:
// std::array's operator[] at run time would be a function the kernels'
// files share with the rest of the library (at -O0).
struct ChannelFrequencies {
  double ghz[channel_count];
};
inline constexpr ChannelFrequencies channel_frequencies = [] {
  ChannelFrequencies f{};
  for (std::size_t c = 0; c < channel_count; ++c) {
    f.ghz[c] = static_cast<double>(channels_ghz[c]);
  }
  return f;
}();

// The kernel over one instruction set. Isa supplies (all static):
//   lanes; types D (doubles), F (floats), M (64-bit lane masks);
//   exp(D), log(D), atan2(D, D), sincos(D, D& sine, D& cosine), sqrt(D).
// Isa must be a type of internal linkage (an unnamed namespace's), so that
// each instruction set's instantiation stays in its own object file; and
// the kernel calls no non-template function of the headers it includes
// (coef is consteval; the formulas are templates instantiated on D only),
// so its file, compiled for its instruction set, holds no copy of a
// function that the rest of the library also holds.
template <class Isa>
struct Kernel {
  using D = typename Isa::D;
  using F = typename Isa::F;
  using M = typename Isa::M;
  static constexpr std::size_t lanes = Isa::lanes;

  static constexpr Verdict bit(Rounding r) noexcept {
    return Verdict{1} << static_cast<unsigned>(r);
  }
  static D splat(double x) noexcept { return D{} + x; }
  static D widen(F x) noexcept { return __builtin_convertvector(x, D); }
  static F narrow(D x) noexcept { return __builtin_convertvector(x, F); }
  static double wide(float x) noexcept { return static_cast<double>(x); }
  // The model's rounding to single precision (to_single), kept in double.
  static D single(D x) noexcept { return widen(narrow(x)); }
  static D select(M m, D a, D b) noexcept { return m ? a : b; }
  // |x|: the sign bit cleared (a NaN stays a NaN).
  static constexpr std::int64_t all_but_sign = std::numeric_limits<std::int64_t>::max();
  static D magnitude(D x) noexcept {
    return reinterpret_cast<D>(reinterpret_cast<M>(x) & all_but_sign);
  }
  // Adds the bit of r to the verdicts of the lanes of m.
  static void mark(M m, Rounding r, M& verdicts) noexcept {
    verdicts |= m & static_cast<std::int64_t>(bit(r));
  }

  // True in the lanes where the scalar function's value rounds to the same
  // float as v (see the head of this file); false for NaN, infinities and
  // magnitudes below 2^-900.
  static M rounding_sure(D v) noexcept {
    const D size = magnitude(v);
    const D delta = size * relative_delta;
    const auto same = narrow(v - delta) == narrow(v + delta);
    return __builtin_convertvector(same, M) & (size >= smallest_tested);
  }

  // single(v); the rounding's bit into the verdict of the lanes of `tested`
  // where the rounding is not sure.
  static D tested_single(D v, Rounding r, M tested, M& verdicts) noexcept {
    mark(~rounding_sure(v) & tested, r, verdicts);
    return single(v);
  }

  static D load(const float* values) noexcept {
    F f{};
    for (std::size_t i = 0; i < lanes; ++i) {
      f[i] = values[i];
    }
    return widen(f);
  }

  // What the channels need whatever the scene: tau_Z, log tau_Z and log f.
  struct ChannelConstants {
    D zenith[channel_count];
    D log_zenith[channel_count];
    D log_frequency[channel_count];
  };
  static ChannelConstants channel_constants() noexcept {
    using namespace radiance::budget;
    ChannelConstants k{};
    for (std::size_t c = 0; c < channel_count; ++c) {
      const D f = splat(channel_frequencies.ghz[c]);
      k.zenith[c] = single(zenith_offset - zenith_slope_per_ghz * f);
      k.log_zenith[c] = Isa::log(k.zenith[c]);
      k.log_frequency[c] = Isa::log(f);
    }
    return k;
  }

  // Emissivities and budget of `lanes` scenes. Inputs: the fields, one
  // array each; tb[c * lanes + i] receives channel c of scene i, and
  // verdict[i] the bits of the failed tests of scene i (0: the scene's six
  // values are the scalar path's).
  static void run(const float* sst_c, const float* altitude_m, const float* air_c,
                  const float* wind_ms, const float* rain_mmh, const float* salinity_psu, float* tb,
                  Verdict* verdict) noexcept {
    namespace water = emissivity::formulas;
    using namespace radiance::budget;
    static const ChannelConstants channel = channel_constants();
    M verdicts{};
    const M all = ~M{};  // every lane
    const D one = splat(coef(1.0f));

    // The water terms at each scene's salinity (emissivity/sea_water.cpp):
    // both static permittivities computed, the fresh-water one taken below
    // the limit, as the scalar path's branch on the same float does.
    const D t = load(sst_c);
    const D s = load(salinity_psu);
    const M fresh = s < wide(emissivity::fresh_water_salinity_limit);
    const D eps_s =
        select(fresh, water::fresh_static_permittivity(t), water::sea_static_permittivity(t, s));
    const D tau = water::relaxation_time(t, s);
    // At s = 0 the conductivity is (0 / factor) p = +0 whatever the positive
    // factor: no test there.
    const D factor = tested_single(Isa::exp(water::conductivity_exponent(t, s)),
                                   Rounding::conductivity, s != 0.0, verdicts);
    const D sigma = water::conductivity(s, factor);

    // The scene terms of the budget (radiance/tbvanto.cpp, nerido/scene.cpp).
    const D sst_k = single(t + wide(celsius_to_kelvin));
    const D h = load(altitude_m);
    const D air_k = single(load(air_c) + wide(celsius_to_kelvin));
    const D w = load(wind_ms);
    const D rain = load(rain_mmh);
    const D q = tested_single(Isa::exp(-(h / scale_height_m)), Rounding::altitude, all, verdicts);
    const D raw = single((air_k - rain_top_k) / rain_lapse_k_per_m + h);
    D height = select(wide(rain_floor_m) > raw, splat(wide(rain_floor_m)), raw);
    height = select(h < height, h, height);
    height = select((h > wide(high_flight_m)) & (height > wide(high_rain_cap_m)),
                    splat(wide(high_rain_cap_m)), height);
    const D sky_layer = air_k - (sky_layer_m - h) * layer_lapse_k_per_m;
    const D low_layer = air_k - (low_layer_m - h) * layer_lapse_k_per_m;
    const D upwelling = select(low_layer > air_k, low_layer, air_k);
    // pow(R, y) as exp(y log R); pow(+-0, y > 0) = +0 (C, Annex F), untested there.
    const M rainy = rain != 0.0;
    const D log_rain = Isa::log(rain);
    const D r1 = select(rainy,
                        tested_single(Isa::exp(rain_factor_power * log_rain), Rounding::rain_factor,
                                      rainy, verdicts),
                        splat(0.0));
    const D exponent = rain_frequency_exponent * r1;
    const D r2 = select(
        rainy,
        tested_single(Isa::exp(rain_power * log_rain), Rounding::rain_power, rainy, verdicts),
        splat(0.0));
    const D wind_increment =
        select(w < wide(first_join_ms), low_wind_slope * w,
               select(w < wide(second_join_ms),
                      (mid_wind_linear * w + mid_wind_offset) + mid_wind_quadratic * w * w,
                      high_wind_slope * w - high_wind_offset));

    // Unrolled, so that the channels' independent arithmetic overlaps.
#pragma GCC unroll 6
    for (std::size_t c = 0; c < channel_count; ++c) {
      const D f = splat(channel_frequencies.ghz[c]);
      // Permittivity (permittivity_at).
      const D omega = water::angular_frequency(f);
      const D denominator = water::debye_denominator(omega, tau);
      const D er = single(water::permittivity_real(eps_s, denominator));
      const D ei = single(water::permittivity_loss(omega, eps_s, tau, sigma, denominator));
      // Polar form, square root and horizontal reflectivity at nadir, where
      // mu = cos(0) = 1 (emissivity/kleinswift.cpp).
      const D mu = one;
      const D g = (er - coef(1.0f)) + mu * mu;
      const D modulus = single(Isa::sqrt(ei * ei + g * g));
      const M g_zero = g == 0.0;
      const D phase = select(g_zero, splat(wide(emissivity::right_angle_rad)),
                             tested_single(Isa::atan2(ei, g), Rounding::phase, ~g_zero, verdicts));
      const D root_modulus = single(Isa::sqrt(modulus));
      const D half_phase = phase * coef(0.5f);
      D sine{};
      D cosine{};
      Isa::sincos(half_phase, sine, cosine);
      const D ch = tested_single(cosine, Rounding::half_phase_cos, all, verdicts);
      const D sh = tested_single(sine, Rounding::half_phase_sin, all, verdicts);
      const D a = ch * root_modulus;
      const D b = sh * root_modulus;
      const D b_single = single(b);
      const D rh = single(((mu - a) * (mu - a) + b * b) / (b * b + (mu + a) * (mu + a)));
      // vertical_reflectivity_finite; where it fails, the scalar path
      // computes the vertical reflectivity (with pow).
      const D first_base = mu * er + a;
      const M finite = (first_base >= coef(1.0f)) & (first_base < emissivity::square_base_limit) &
                       (magnitude(mu * ei + b_single) < emissivity::square_base_limit) &
                       (magnitude(mu * er - a) < emissivity::square_base_limit) &
                       (magnitude(mu * ei - b_single) < emissivity::square_base_limit);
      mark(~finite, Rounding::vertical_check, verdicts);
      const D emissivity = single((coef(1.0f) - rh) - 0.0);

      // The channel's budget (channel_terms, budget_terms in tbvanto.cpp).
      const D zenith = channel.zenith[c];
      // pow(tau_Z, 1 - q) as exp((1 - q) log tau_Z).
      const D air_transmissivity = tested_single(Isa::exp((one - q) * channel.log_zenith[c]),
                                                 Rounding::air_transmissivity, all, verdicts);
      const D sky = sky_layer * (one - zenith) + cosmic_k * zenith;
      const D correction =
          (f - reference_ghz) *
          ((correction_quadratic * w * w + correction_linear * w) + correction_constant);
      const D e = single((wind_increment + correction) + emissivity);
      // pow(f, n) as exp(n log f).
      const D frequency_factor = tested_single(Isa::exp(exponent * channel.log_frequency[c]),
                                               Rounding::frequency_factor, all, verdicts);
      const D kappa = (frequency_factor * rain_scale_per_m) * r2;
      const D tau_r = tested_single(Isa::exp(-kappa * height), Rounding::rain_up, all, verdicts);
      const D tau_d =
          tested_single(Isa::exp(-kappa * rain_column_m), Rounding::rain_down, all, verdicts);
      const D downwelling = tau_d * sky + low_layer * (one - tau_d);
      const D surface = downwelling * (one - e) + e * sst_k;
      const D path = tau_r * air_transmissivity;
      const D brightness = (surface * tau_r) * air_transmissivity + upwelling * (one - path);
      const F out = narrow(brightness);
      for (std::size_t i = 0; i < lanes; ++i) {
        tb[c * lanes + i] = out[i];
      }
    }
    for (std::size_t i = 0; i < lanes; ++i) {
      verdict[i] = static_cast<Verdict>(verdicts[i]);
    }
  }
};

}  // namespace nerido::simd::kernel
