#include "app/platform/linux/GeoClueLocationService.h"

#include <gio/gio.h>

#include <condition_variable>

namespace pallix {

namespace {

constexpr const char* kService = "org.freedesktop.GeoClue2";
constexpr const char* kManagerPath = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.GeoClue2.Manager";
constexpr const char* kClientInterface = "org.freedesktop.GeoClue2.Client";
constexpr const char* kLocationInterface = "org.freedesktop.GeoClue2.Location";

Error errorFrom(GError* error, const std::string& what) {
  Error e("GeoClueLocationServiceError", error ? error->code : 0,
          what + ": " + (error && error->message ? error->message : "unknown error"));
  if (error) g_error_free(error);
  return e;
}

bool isAccessDenied(const GError* error) {
  return error && g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_ACCESS_DENIED);
}

}  // namespace

struct GeoClueLocationService::State {
  std::mutex mutex;
  GDBusConnection* connection = nullptr;
  std::string clientPath;
  std::optional<Availability> availability;
  Handlers handlers;
  guint subscription = 0;
  bool started = false;
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  std::thread thread;

  ~State() {
    if (loop) {
      g_main_loop_quit(loop);
      if (thread.joinable()) thread.join();
      g_main_loop_unref(loop);
    }
    if (context) g_main_context_unref(context);
    if (connection) g_object_unref(connection);
  }

  Result<GVariant*> call(const std::string& path, const char* interface, const char* method, GVariant* parameters,
                         const GVariantType* reply) {
    GError* error = nullptr;
    GVariant* result =
        g_dbus_connection_call_sync(connection, kService, path.c_str(), interface, method, parameters, reply,
                                    G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMilliseconds, nullptr, &error);
    if (!result) {
      const bool denied = isAccessDenied(error);
      Error e = errorFrom(error, std::string("GeoClue ") + method + " failed");
      return denied ? Error("GeoClueLocationServiceError", -1, e.description()) : e;
    }
    return result;
  }

  Status setClientProperty(const char* name, GVariant* value) {
    auto r = call(clientPath, "org.freedesktop.DBus.Properties", "Set",
                  g_variant_new("(ssv)", kClientInterface, name, value), nullptr);
    if (!r.ok()) return r.error();
    g_variant_unref(r.value());
    return okStatus();
  }

  std::optional<LocationFix> readLocation(const char* path) {
    auto r = call(path, "org.freedesktop.DBus.Properties", "GetAll", g_variant_new("(s)", kLocationInterface),
                  G_VARIANT_TYPE("(a{sv})"));
    if (!r.ok()) return std::nullopt;
    GVariant* properties = g_variant_get_child_value(r.value(), 0);
    LocationFix fix;
    double latitude = 0, longitude = 0, accuracy = 0;
    guint64 seconds = 0, microseconds = 0;
    const bool ok = g_variant_lookup(properties, "Latitude", "d", &latitude) &&
                    g_variant_lookup(properties, "Longitude", "d", &longitude);
    g_variant_lookup(properties, "Accuracy", "d", &accuracy);
    g_variant_lookup(properties, "Timestamp", "(tt)", &seconds, &microseconds);
    g_variant_unref(properties);
    g_variant_unref(r.value());
    if (!ok) return std::nullopt;
    fix.coordinate = LocationCoordinate{latitude, longitude};
    fix.accuracyMetres = accuracy;
    fix.timestamp = seconds ? Date(std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds))
                            : std::chrono::system_clock::now();
    return fix;
  }

  static void onLocationUpdated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                GVariant* parameters, gpointer self) {
    auto* state = static_cast<State*>(self);
    const gchar* oldPath = nullptr;
    const gchar* newPath = nullptr;
    g_variant_get(parameters, "(&o&o)", &oldPath, &newPath);
    auto fix = state->readLocation(newPath);
    Handlers handlers;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      handlers = state->handlers;
    }
    if (fix && handlers.onFix) handlers.onFix(*fix);
  }

  void ensureLoop() {
    if (loop) return;
    context = g_main_context_new();
    loop = g_main_loop_new(context, FALSE);
    std::mutex readyMutex;
    std::condition_variable ready;
    bool running = false;
    thread = std::thread([this, &readyMutex, &ready, &running] {
      g_main_context_push_thread_default(context);
      {
        std::lock_guard<std::mutex> lock(readyMutex);
        running = true;
      }
      ready.notify_one();
      g_main_loop_run(loop);
      g_main_context_pop_thread_default(context);
    });
    std::unique_lock<std::mutex> lock(readyMutex);
    ready.wait(lock, [&] { return running; });
  }
};

GeoClueLocationService::GeoClueLocationService(std::string desktopId)
    : desktopId_(std::move(desktopId)), state_(std::make_unique<State>()) {}

GeoClueLocationService::~GeoClueLocationService() {
  stop();
}

LocationService::Availability GeoClueLocationService::availability() {
  State& s = *state_;
  if (s.availability) return *s.availability;
  GError* error = nullptr;
  s.connection = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!s.connection) {
    if (error) g_error_free(error);
    s.availability = Availability::unavailable;
    return *s.availability;
  }
  auto client = s.call(kManagerPath, kManagerInterface, "GetClient", nullptr, G_VARIANT_TYPE("(o)"));
  if (!client.ok()) {
    s.availability = client.error().code() == -1 ? Availability::denied : Availability::unavailable;
    return *s.availability;
  }
  const gchar* path = nullptr;
  g_variant_get(client.value(), "(&o)", &path);
  s.clientPath = path ? path : "";
  g_variant_unref(client.value());
  s.availability = s.clientPath.empty() ? Availability::unavailable : Availability::available;
  return *s.availability;
}

void GeoClueLocationService::start(Handlers handlers) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handlers = std::move(handlers);
  }
  if (s.started) return;
  if (availability() != Availability::available) {
    if (s.handlers.onError) {
      s.handlers.onError(Error("GeoClueLocationServiceError", 1, "GeoClue is not available on this system"));
    }
    return;
  }
  Status set = s.setClientProperty("DesktopId", g_variant_new_string(desktopId_.c_str()));
  if (set.ok()) set = s.setClientProperty("DistanceThreshold", g_variant_new_uint32(kDistanceThresholdMetres));
  if (set.ok()) set = s.setClientProperty("RequestedAccuracyLevel", g_variant_new_uint32(kAccuracyLevelStreet));
  if (!set.ok()) {
    if (s.handlers.onError) s.handlers.onError(set.error());
    return;
  }
  s.ensureLoop();
  // Signals are delivered in the thread-default context of the subscribing thread: subscribe from the loop.
  struct Subscribe {
    State* state;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  } subscribe{&s, {}, {}, false};
  g_main_context_invoke(
      s.context,
      [](gpointer data) -> gboolean {
        auto* sub = static_cast<Subscribe*>(data);
        State& st = *sub->state;
        st.subscription = g_dbus_connection_signal_subscribe(
            st.connection, kService, kClientInterface, "LocationUpdated", st.clientPath.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &State::onLocationUpdated, &st, nullptr);
        std::lock_guard<std::mutex> lock(sub->mutex);
        sub->finished = true;
        sub->done.notify_one();
        return G_SOURCE_REMOVE;
      },
      &subscribe);
  {
    std::unique_lock<std::mutex> lock(subscribe.mutex);
    subscribe.done.wait(lock, [&] { return subscribe.finished; });
  }
  auto started = s.call(s.clientPath, kClientInterface, "Start", nullptr, nullptr);
  if (!started.ok()) {
    if (s.handlers.onError) s.handlers.onError(started.error());
    return;
  }
  g_variant_unref(started.value());
  s.started = true;
}

void GeoClueLocationService::stop() {
  State& s = *state_;
  if (!s.started) return;
  s.started = false;
  auto stopped = s.call(s.clientPath, kClientInterface, "Stop", nullptr, nullptr);
  if (stopped.ok()) g_variant_unref(stopped.value());
  if (s.subscription) {
    g_dbus_connection_signal_unsubscribe(s.connection, s.subscription);
    s.subscription = 0;
  }
}

}  // namespace pallix
