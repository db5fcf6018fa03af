// The X connection of the clipboard and the reading side of a selection
// transfer: one read's requestor window (ReadSession) and the conversion of
// CLIPBOARD to one type, following INCR, with the owner's stalls, cut-short
// and garbled transfers and owner changes abandoned and said why.
//
// Threading: a Connection is used by one thread at a time (X11Pasteboard
// keeps one for its event thread and one for reads, under its read mutex);
// the atom caches are guarded for both.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/platform/linux/X11Pasteboard.h"

namespace pallix {
namespace x11_clipboard {

using Steady = std::chrono::steady_clock;

template <typename T>
struct FreeDeleter {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

Error x11Error(int code, const std::string& description);

// An item being sent to one requestor in INCR chunks.
struct Transfer {
  xcb_window_t requestor;
  xcb_atom_t property;
  xcb_atom_t type;
  std::shared_ptr<const std::string> data;
  size_t offset = 0;
  bool finished = false;
  Steady::time_point lastActivity;
};

}  // namespace x11_clipboard

// An X connection with its own (input-only) window and atom caches.
struct X11Pasteboard::Connection {
  xcb_connection_t* conn = nullptr;
  xcb_window_t window = 0;
  xcb_window_t root = 0;
  uint8_t xfixesEvent = 0;
  std::mutex atomMutex;
  std::map<std::string, xcb_atom_t> atoms;
  std::map<xcb_atom_t, std::string> names;
  // What this process serves (events_ only), guarded by dataMutex.
  std::mutex dataMutex;
  std::vector<std::pair<xcb_atom_t, std::shared_ptr<const std::string>>> served;
  std::vector<x11_clipboard::Transfer> transfers;
  size_t chunkSize = 256 * 1024;
  // Requestor windows of abandoned reads, kept until an owner still answering
  // them has had time to (reader_ only, under its read mutex).
  std::vector<std::pair<xcb_window_t, x11_clipboard::Steady::time_point>> retiredWindows;

  ~Connection() {
    if (conn) xcb_disconnect(conn);
  }

  xcb_atom_t atom(const std::string& name);
  std::string atomName(xcb_atom_t a);

  static Result<std::unique_ptr<Connection>> open(const std::string& display);
};

namespace x11_clipboard {

using Connection = X11Pasteboard::Connection;

// Asks that `window` hear (XFixes) of every new owner of CLIPBOARD, and of
// an owner's window or client going away.
void selectOwnerChanges(Connection& c, xcb_window_t window);

// Reads and deletes `property` of `window`.
Reply<xcb_get_property_reply_t> takeProperty(Connection& c, xcb_window_t window, xcb_atom_t property);
std::string propertyBytes(xcb_get_property_reply_t* reply);

// Waits for the next event matching `accept` on `c`, up to `timeout`.
xcb_generic_event_t* waitForEvent(Connection& c, Steady::duration timeout,
                                  const std::function<bool(xcb_generic_event_t*)>& accept);

// One read of the clipboard: a requestor window of its own, so that none of
// an abandoned transfer's PropertyNotify or SelectionNotify events can be
// taken for a later read's. A read whose last request was answered whole
// destroys its window; an abandoned one leaves it, deaf, for a while: an
// owner still answering writes to a window that exists, because an Xlib
// owner that meets BadWindow dies (xclip does), and the clipboard with it.
// The window also hears of every change of the clipboard's owner during the
// read (XFixes). Used on the reader connection, under readMutex_.
struct ReadSession {
  Connection& c;
  xcb_window_t window = 0;
  xcb_timestamp_t time = XCB_CURRENT_TIME;  // of the change that triggered the read
  int nextProperty = 0;
  bool ownerChanged = false;
  bool answerPending = false;  // a request's answer was not taken whole

  // How long an abandoned read's window outlives it.
  static constexpr std::chrono::seconds kRetiredWindowLifetime{30};

  ReadSession(Connection& connection, xcb_timestamp_t triggerTime);
  ~ReadSession();

  // The server's time, from an empty append to a property of the window
  // (for a read that no change event triggered).
  xcb_timestamp_t serverTime();

  // A property no earlier request of this read used.
  xcb_atom_t freshProperty();

  // Waits for the next event matching `accept`, up to `timeout`; nullptr on
  // timeout, on a lost connection and when the clipboard changed owner.
  xcb_generic_event_t* waitFor(Steady::duration timeout, const std::function<bool(xcb_generic_event_t*)>& accept);
};

struct Conversion {
  enum Kind { ok, refused, abandoned, tooLarge } kind = ok;
  std::string why;                  // for `abandoned`: what went wrong, to finish "Abandoned the transfer of X: "
  xcb_atom_t type = XCB_ATOM_NONE;  // of an answer in one piece
  uint8_t format = 8;
};

// Converts CLIPBOARD to `target` into a fresh property and reads the answer,
// following INCR. Every chunk must be bytes (format 8) of one type, and the
// whole at least as long as the owner announced.
Conversion convert(ReadSession& s, xcb_atom_t target, Steady::duration stallTimeout, Steady::time_point deadline,
                   std::string& out);

}  // namespace x11_clipboard
}  // namespace pallix
