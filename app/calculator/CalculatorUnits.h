// CalculatorUnits: the measurement units the calculator converts between.
//
// `measurementUnits()` maps a normalised unit text ("km", "squarefeet",
// "degf") to its unit. Every unit belongs to one dimension and is defined by
// the standard (SI or international) value of one unit in its dimension's base
// unit, plus an offset for temperatures. The table is built on first use and
// never changes; every function is safe from any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pallix::calculator {

enum class UnitDimension { length, mass, volume, temperature, speed, duration, area, information };

// One measurement unit. A value v in this unit is (v + offset) * factor base
// units: metres, kilograms, litres, degrees Celsius, metres per second,
// seconds, square metres or bytes.
struct MeasurementUnit {
  UnitDimension dimension;
  std::string_view name;           // "kilometres": how this system names the unit.
  std::string_view icuIdentifier;  // "kilometer": the ICU MeasureUnit identifier used to format it.
  double factor = 1;
  double offset = 0;
};

// Normalised key → unit (149 keys).
const std::map<std::string, const MeasurementUnit*, std::less<>>& measurementUnits();

// Lowercase `text` and remove "°", ".", "-" and spaces: "°F" → "f", "sq. ft" → "sqft".
std::string normalizeUnitKey(std::string_view text);

// The unit for a unit text typed by the user (normalised first), or null.
// Besides the table's keys, a speed may be written as a length per duration:
// "km/h", "m/s", "ft/s", "miles per hour".
const MeasurementUnit* findMeasurementUnit(std::string_view text);

// The speeds composed for such texts that the table has no unit for ("feet
// per second"); built once, never moved.
std::vector<const MeasurementUnit*> composedSpeedUnits();

// `value` in `from` expressed in `to`; none when the dimensions differ or a
// temperature lies below absolute zero.
std::optional<double> convertMeasurement(double value, const MeasurementUnit& from, const MeasurementUnit& to);

}  // namespace pallix::calculator
