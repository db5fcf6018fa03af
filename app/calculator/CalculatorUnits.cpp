#include "app/calculator/CalculatorUnits.h"

#include <deque>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

#include "app/calculator/CalculatorText.h"

namespace pallix::calculator {
namespace {

using D = UnitDimension;

// Exact definitions: the international yard and pound (1959), the US
// customary gallon of 231 cubic inches and its subdivisions, the nautical mile
// of 1852 m, decimal (SI) prefixes for information units.
constexpr double kInch = 0.0254;
constexpr double kFoot = 12 * kInch;
constexpr double kYard = 3 * kFoot;
constexpr double kMile = 1760 * kYard;
constexpr double kNauticalMile = 1852;
constexpr double kPound = 0.45359237;
constexpr double kGallon = 3.785411784;  // Litres: 231 cubic inches.
constexpr double kHour = 3600;
constexpr double kAbsoluteZeroCelsius = -273.15;

// Stored in a fixed array so that the map can hold stable pointers.
const MeasurementUnit kUnits[] = {
    {D::length, "metres", "meter", 1},
    {D::length, "centimetres", "centimeter", 0.01},
    {D::length, "millimetres", "millimeter", 0.001},
    {D::length, "kilometres", "kilometer", 1000},
    {D::length, "inches", "inch", kInch},
    {D::length, "feet", "foot", kFoot},
    {D::length, "yards", "yard", kYard},
    {D::length, "miles", "mile", kMile},
    {D::length, "nautical miles", "nautical-mile", kNauticalMile},
    {D::mass, "grams", "gram", 0.001},
    {D::mass, "kilograms", "kilogram", 1},
    {D::mass, "milligrams", "milligram", 0.000001},
    {D::mass, "pounds", "pound", kPound},
    {D::mass, "ounces", "ounce", kPound / 16},
    {D::mass, "stones", "stone", 14 * kPound},
    {D::mass, "short tons", "ton", 2000 * kPound},
    {D::mass, "metric tons", "tonne", 1000},
    {D::volume, "litres", "liter", 1},
    {D::volume, "millilitres", "milliliter", 0.001},
    {D::volume, "gallons", "gallon", kGallon},
    {D::volume, "quarts", "quart", kGallon / 4},
    {D::volume, "pints", "pint", kGallon / 8},
    {D::volume, "cups", "cup", kGallon / 16},
    {D::volume, "fluid ounces", "fluid-ounce", kGallon / 128},
    {D::volume, "tablespoons", "tablespoon", kGallon / 256},
    {D::volume, "teaspoons", "teaspoon", kGallon / 768},
    {D::temperature, "celsius", "celsius", 1, 0},
    {D::temperature, "fahrenheit", "fahrenheit", 5.0 / 9.0, -32},
    {D::temperature, "kelvin", "kelvin", 1, kAbsoluteZeroCelsius},
    {D::speed, "miles per hour", "mile-per-hour", kMile / kHour},
    {D::speed, "kilometres per hour", "kilometer-per-hour", 1000 / kHour},
    {D::speed, "metres per second", "meter-per-second", 1},
    {D::speed, "knots", "knot", kNauticalMile / kHour},
    {D::duration, "seconds", "second", 1},
    {D::duration, "minutes", "minute", 60},
    {D::duration, "hours", "hour", kHour},
    {D::area, "square metres", "square-meter", 1},
    {D::area, "square feet", "square-foot", kFoot* kFoot},
    {D::area, "square yards", "square-yard", kYard* kYard},
    {D::area, "square miles", "square-mile", kMile* kMile},
    {D::area, "acres", "acre", 4840 * kYard* kYard},
    {D::area, "hectares", "hectare", 10000},
    {D::information, "bytes", "byte", 1},
    {D::information, "kilobytes", "kilobyte", 1e3},
    {D::information, "megabytes", "megabyte", 1e6},
    {D::information, "gigabytes", "gigabyte", 1e9},
    {D::information, "terabytes", "terabyte", 1e12},
};

struct UnitKeys {
  std::string_view unitName;
  std::initializer_list<std::string_view> keys;
};

const UnitKeys kUnitKeys[] = {
    {"metres", {"m", "meter", "meters", "metre", "metres"}},
    {"centimetres", {"cm", "centimeter", "centimeters", "centimetre", "centimetres"}},
    {"millimetres", {"mm", "millimeter", "millimeters", "millimetre", "millimetres"}},
    {"kilometres", {"km", "kilometer", "kilometers", "kilometre", "kilometres"}},
    {"inches", {"in", "inch", "inches"}},
    {"feet", {"ft", "foot", "feet"}},
    {"yards", {"yd", "yard", "yards"}},
    {"miles", {"mi", "mile", "miles"}},
    {"nautical miles", {"nmi", "nauticalmile", "nauticalmiles"}},
    {"grams", {"g", "gram", "grams"}},
    {"kilograms", {"kg", "kilogram", "kilograms"}},
    {"milligrams", {"mg", "milligram", "milligrams"}},
    {"pounds", {"lb", "lbs", "pound", "pounds"}},
    {"ounces", {"oz", "ounce", "ounces"}},
    {"stones", {"stone", "st"}},
    {"short tons", {"ton", "tons"}},
    {"metric tons", {"tonne", "tonnes"}},
    {"litres", {"l", "liter", "liters", "litre", "litres"}},
    {"millilitres", {"ml", "milliliter", "milliliters", "millilitre", "millilitres"}},
    {"gallons", {"gal", "gallon", "gallons"}},
    {"quarts", {"qt", "quart", "quarts"}},
    {"pints", {"pt", "pint", "pints"}},
    {"cups", {"cup", "cups"}},
    {"fluid ounces", {"floz", "fluidounce", "fluidounces"}},
    {"tablespoons", {"tbsp", "tablespoon", "tablespoons"}},
    {"teaspoons", {"tsp", "teaspoon", "teaspoons"}},
    {"celsius", {"c", "degc", "celsius"}},
    {"fahrenheit", {"f", "degf", "fahrenheit"}},
    {"kelvin", {"k", "kelvin"}},
    {"miles per hour", {"mph", "miph"}},
    {"kilometres per hour", {"kmh", "kph"}},
    {"metres per second", {"mps", "meterpersecond", "meterspersecond"}},
    {"knots", {"kn", "knot", "knots"}},
    {"seconds", {"s", "sec", "secs", "second", "seconds"}},
    {"minutes", {"min", "mins", "minute", "minutes"}},
    {"hours", {"h", "hr", "hrs", "hour", "hours"}},
    {"square metres", {"sqm", "squaremeter", "squaremeters"}},
    {"square feet", {"sqft", "squarefoot", "squarefeet"}},
    {"square yards", {"sqyd", "squareyard", "squareyards"}},
    {"square miles", {"sqmi", "squaremile", "squaremiles"}},
    {"acres", {"acre", "acres"}},
    {"hectares", {"hectare", "hectares"}},
    {"bytes", {"byte", "bytes"}},
    {"kilobytes", {"kb", "kilobyte", "kilobytes"}},
    {"megabytes", {"mb", "megabyte", "megabytes"}},
    {"gigabytes", {"gb", "gigabyte", "gigabytes"}},
    {"terabytes", {"tb", "terabyte", "terabytes"}},
};

const MeasurementUnit* unitNamed(std::string_view name) {
  for (const MeasurementUnit& unit : kUnits) {
    if (unit.name == name) return &unit;
  }
  return nullptr;
}

// Every length per duration, built once. The four with a name of their own
// (km/h, m/s, mi/h, nmi/h) are the table's units; the others get composed
// names and ICU identifiers ("feet per second", "foot-per-second").
struct CompoundSpeeds {
  struct Entry {
    const MeasurementUnit* length;
    const MeasurementUnit* duration;
    const MeasurementUnit* speed;
  };
  std::deque<std::string> texts;
  std::deque<MeasurementUnit> composed;
  std::vector<Entry> entries;

  CompoundSpeeds() {
    const std::pair<std::string_view, std::string_view> named[] = {
        {"kilometres", "hours"}, {"metres", "seconds"}, {"miles", "hours"}, {"nautical miles", "hours"}};
    const std::string_view namedSpeeds[] = {"kilometres per hour", "metres per second", "miles per hour", "knots"};
    for (const MeasurementUnit& length : kUnits) {
      if (length.dimension != D::length) continue;
      for (const MeasurementUnit& duration : kUnits) {
        if (duration.dimension != D::duration) continue;
        const MeasurementUnit* speed = nullptr;
        for (size_t i = 0; i < std::size(named); ++i) {
          if (named[i].first == length.name && named[i].second == duration.name) speed = unitNamed(namedSpeeds[i]);
        }
        if (!speed) {
          const std::string& name =
              texts.emplace_back(std::string(length.name) + " per " + std::string(duration.icuIdentifier));
          const std::string& icu =
              texts.emplace_back(std::string(length.icuIdentifier) + "-per-" + std::string(duration.icuIdentifier));
          speed = &composed.emplace_back(MeasurementUnit{D::speed, name, icu, length.factor / duration.factor});
        }
        entries.push_back(Entry{&length, &duration, speed});
      }
    }
  }
};

const CompoundSpeeds& compoundSpeeds() {
  static const CompoundSpeeds* speeds = new CompoundSpeeds();
  return *speeds;
}

// "km/h", "kmperhour", "feetpersecond": a length key, "/" or "per", a duration key.
const MeasurementUnit* findCompoundSpeed(std::string_view key) {
  const auto& table = measurementUnits();
  auto unitFor = [&](std::string_view part, D dimension) -> const MeasurementUnit* {
    auto it = table.find(part);
    return it != table.end() && it->second->dimension == dimension ? it->second : nullptr;
  };
  for (std::string_view separator : {std::string_view("/"), std::string_view("per")}) {
    for (size_t at = key.find(separator); at != std::string_view::npos; at = key.find(separator, at + 1)) {
      const MeasurementUnit* length = unitFor(key.substr(0, at), D::length);
      const MeasurementUnit* duration = unitFor(key.substr(at + separator.size()), D::duration);
      if (!length || !duration) continue;
      for (const auto& entry : compoundSpeeds().entries) {
        if (entry.length == length && entry.duration == duration) return entry.speed;
      }
    }
  }
  return nullptr;
}

}  // namespace

const std::map<std::string, const MeasurementUnit*, std::less<>>& measurementUnits() {
  static const auto* table = [] {
    auto* map = new std::map<std::string, const MeasurementUnit*, std::less<>>();
    for (const UnitKeys& entry : kUnitKeys) {
      const MeasurementUnit* unit = unitNamed(entry.unitName);
      for (std::string_view key : entry.keys) map->emplace(std::string(key), unit);
    }
    return map;
  }();
  return *table;
}

std::string normalizeUnitKey(std::string_view text) {
  std::string lowered = lowercaseText(text);
  std::string out;
  out.reserve(lowered.size());
  for (char32_t c : decodeUtf8(lowered)) {
    if (c == U'°' || c == '.' || c == '-' || c == ' ') continue;
    appendUtf8(out, c);
  }
  return out;
}

std::vector<const MeasurementUnit*> composedSpeedUnits() {
  std::vector<const MeasurementUnit*> units;
  for (const MeasurementUnit& unit : compoundSpeeds().composed) units.push_back(&unit);
  return units;
}

const MeasurementUnit* findMeasurementUnit(std::string_view text) {
  const auto& table = measurementUnits();
  const std::string key = normalizeUnitKey(text);
  auto it = table.find(key);
  return it == table.end() ? findCompoundSpeed(key) : it->second;
}

std::optional<double> convertMeasurement(double value, const MeasurementUnit& from, const MeasurementUnit& to) {
  if (from.dimension != to.dimension) return std::nullopt;
  double base = (value + from.offset) * from.factor;
  if (from.dimension == D::temperature && base < kAbsoluteZeroCelsius) {
    // Below absolute zero is no temperature; within rounding of it (-459.67 °F) it is absolute zero.
    if (base < kAbsoluteZeroCelsius * (1 + 1e-12)) return std::nullopt;
    base = kAbsoluteZeroCelsius;
  }
  if (&from == &to) return value;
  return base / to.factor - to.offset;
}

}  // namespace pallix::calculator
