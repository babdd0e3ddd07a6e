// Thermodynamic fields of one point after Bolton (1980): plain C++, free of Python types.
//
// Every expression is written in the order in which it must be evaluated: the build does not
// contract or reassociate, so the last bits of the results are the same on every thread.
#pragma once

#include <cmath>

namespace bluster {

struct ThermoResult {
  double mixing_ratio;  // kg/kg
  double theta;         // K
  double theta_v;       // K
  double theta_e;       // K
};

// Molar mass of water vapour over that of dry air.
constexpr double kVapourMassRatio = 0.6219569156569429;
// Poisson exponent R/cp of dry air, used for theta. Bolton's theta-e fit was made with the
// rounded 0.2854, so that one keeps its own literal below.
constexpr double kDryPoissonExponent = 0.28542059262205427;
constexpr double kReferencePressure = 100000.0;  // Pa

// A dew point above the temperature is taken as saturation. The NaN test comes first because
// the comparison alone would quietly replace a missing dew point by the temperature.
inline double effective_dew_point(double t, double td) {
  if (td != td) {
    return td;
  }
  return td < t ? td : t;
}

// Vapour pressure over water at a dew point of c degrees Celsius, in Pa.
inline double vapour_pressure(double c) { return std::exp(17.67 * c / (c + 243.5)) * 611.2; }

// Temperature of the lifting condensation level, in K, from ln(T / D) and the dew point D.
inline double condensation_temperature(double log_t_over_d, double d) {
  return 1.0 / (log_t_over_d / 800.0 + 1.0 / (d - 56.0)) + 56.0;
}

// Theta-e moisture factor from the condensation temperature and the mixing ratio in g/kg.
inline double moisture_factor(double tl, double g) {
  return std::exp(((3.376 / tl) - 0.00254) * g * (g * 0.00081 + 1.0));
}

inline ThermoResult thermo_point(double t, double p, double td) {
  const double d = effective_dew_point(t, td);
  const double q = kReferencePressure / p;
  const double theta = t * std::pow(q, kDryPoissonExponent);
  const double c = d - 273.15;
  const double e = vapour_pressure(c);
  const double r = (kVapourMassRatio * e) / (p - e);
  const double log_t_over_d = std::log(t / d);
  const double g = 1000.0 * r;
  const double x = (1.0 - 0.00028 * g) * 0.2854;
  const double m = std::pow(q, x);
  const double tl = condensation_temperature(log_t_over_d, d);
  const double f = moisture_factor(tl, g);
  const double theta_e = (t * m) * f;
  const double theta_v = ((1.0 + r / kVapourMassRatio) * theta) / (r + 1.0);
  return {r, theta, theta_v, theta_e};
}

}  // namespace bluster
