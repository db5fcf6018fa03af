// GeoTypes: coordinates on the Earth, shared by the location, place-search
// and weather seams and the intelligence sources. Plain values.
#pragma once

namespace pallix {

struct LocationCoordinate {
  double latitude = 0;   // degrees, north positive
  double longitude = 0;  // degrees, east positive
  friend bool operator==(const LocationCoordinate&, const LocationCoordinate&) = default;
};

// True for a latitude in [-90, 90] and a longitude in [-180, 180].
inline bool isValidCoordinate(const LocationCoordinate& c) {
  return c.latitude >= -90 && c.latitude <= 90 && c.longitude >= -180 && c.longitude <= 180;
}

}  // namespace pallix
