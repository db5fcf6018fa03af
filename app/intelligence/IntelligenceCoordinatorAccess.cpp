// IntelligenceCoordinator, part two: what the sources may use (contacts,
// calendar and location authorisation) and the ambient highlights. Main runner.
#include "app/intelligence/IntelligenceCoordinator.h"

namespace pallix {

namespace {

PermissionStatus authorizationStatusOf(const PermissionedSource* source) {
  return source ? source->authorizationStatus() : PermissionStatus::restricted;
}

// Asks only while undecided; the answer hops back to the main runner.
void requestAuthorizationIfNeeded(PermissionedSource* source, const TaskRunnerPtr& main,
                                  std::function<void(bool)> completion) {
  if (!source) return completion(false);
  if (source->authorizationStatus() != PermissionStatus::notDetermined) {
    return completion(source->authorizationStatus() == PermissionStatus::authorized);
  }
  source->requestAuthorization(
      [main, completion](bool granted) { main->post([completion, granted] { completion(granted); }); });
}

}  // namespace

PermissionStatus IntelligenceCoordinator::currentContactAuthorizationStatus() {
  return authorizationStatusOf(deps_.sources.contacts.get());
}

void IntelligenceCoordinator::requestContactAuthorizationIfNeeded(std::function<void(bool)> completion) {
  requestAuthorizationIfNeeded(deps_.sources.contacts.get(), deps_.mainRunner, std::move(completion));
}

PermissionStatus IntelligenceCoordinator::currentCalendarAuthorizationStatus() {
  return authorizationStatusOf(deps_.sources.calendar.get());
}

void IntelligenceCoordinator::requestCalendarAuthorizationIfNeeded(std::function<void(bool)> completion) {
  requestAuthorizationIfNeeded(deps_.sources.calendar.get(), deps_.mainRunner, std::move(completion));
}

bool IntelligenceCoordinator::locationSourcesEnabled() const {
  return isEnabled(VCRDataSourceIdentifier::maps) || isEnabled(VCRDataSourceIdentifier::weather);
}

bool IntelligenceCoordinator::needsLocationAuthorization() {
  if (!locationSourcesEnabled()) return false;
  if (!deps_.locationProvider->locationServicesEnabled()) return false;
  return deps_.locationProvider->authorizationStatus() == LocationAuthorizationStatus::notDetermined;
}

void IntelligenceCoordinator::requestLocationAccessIfNeeded(std::function<void()> completion) {
  if (needsLocationAuthorization()) deps_.locationProvider->requestWhenInUseAuthorization();
  if (completion) completion();
}

// ------------------------------------------------------------------ ambient

uint64_t IntelligenceCoordinator::ambientHighlightsStream(HighlightsObserver observer) {
  return ambient_->makeStream(std::move(observer));
}

void IntelligenceCoordinator::removeAmbientHighlightsObserver(uint64_t token) {
  ambient_->removeObserver(token);
}

void IntelligenceCoordinator::refreshAmbientHighlights(bool forceWeather) {
  ambient_->refreshUpcomingCalendarEvents();
  ambient_->refreshAmbientWeather(forceWeather);
}

void IntelligenceCoordinator::handleDataSourcePreferencesChange() {
  ambient_->handleDataSourcePreferencesChange();
}

void IntelligenceCoordinator::fetchCalendarLocationHighlights(
    const CalendarSearchResult& event, std::function<void(std::optional<CalendarLocationHighlights>)> completion) {
  ambient_->fetchCalendarLocationHighlights(event, std::move(completion));
}

// ------------------------------------------------------------------ location

void IntelligenceCoordinator::resolveCurrentLocation(LocationCompletion completion) {
  std::function<std::optional<Location>()> lastKnown;
  if (auto maps = deps_.sources.maps) lastKnown = [maps] { return maps->lastKnownLocation(); };
  location_.resolveCurrentLocation(std::move(lastKnown), std::move(completion));
}

void IntelligenceCoordinator::handleLocationAccessChange(bool nowAuthorized) {
  cancelActiveQuery(true);
  if (!nowAuthorized) {
    location_.forgetLocation();
    if (deps_.sources.weather) deps_.sources.weather->cancelPendingReverseGeocoding();
  } else if (locationSourcesEnabled()) {
    location_.provider().requestLocation();
  }
  ambient_->refreshAmbientWeather(true);
}

}  // namespace pallix
