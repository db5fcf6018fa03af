#include "app/platform/linux/X11PasteboardConnection.h"

#include <poll.h>
#include <xcb/xfixes.h>

#include <algorithm>

#include "core/Strings.h"

namespace pallix {

using x11_clipboard::Reply;

xcb_atom_t X11Pasteboard::Connection::atom(const std::string& name) {
  std::lock_guard<std::mutex> lock(atomMutex);
  if (auto it = atoms.find(name); it != atoms.end()) return it->second;
  x11_clipboard::Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(conn, xcb_intern_atom(conn, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr));
  xcb_atom_t a = reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  if (a != XCB_ATOM_NONE) {
    atoms[name] = a;
    names[a] = name;
  }
  return a;
}

std::string X11Pasteboard::Connection::atomName(xcb_atom_t a) {
  {
    std::lock_guard<std::mutex> lock(atomMutex);
    if (auto it = names.find(a); it != names.end()) return it->second;
  }
  x11_clipboard::Reply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(conn, xcb_get_atom_name(conn, a), nullptr));
  if (!reply) return "";
  std::string name(xcb_get_atom_name_name(reply.get()),
                   static_cast<size_t>(xcb_get_atom_name_name_length(reply.get())));
  std::lock_guard<std::mutex> lock(atomMutex);
  names[a] = name;
  atoms[name] = a;
  return name;
}

Result<std::unique_ptr<X11Pasteboard::Connection>> X11Pasteboard::Connection::open(const std::string& display) {
  auto c = std::make_unique<Connection>();
  int screenNumber = 0;
  c->conn = xcb_connect(display.empty() ? nullptr : display.c_str(), &screenNumber);
  if (!c->conn || xcb_connection_has_error(c->conn)) {
    const char* env = std::getenv("DISPLAY");
    return x11_clipboard::x11Error(1, "Cannot connect to the X display " +
                                          inQuotes(display.empty() ? (env ? env : "(DISPLAY is not set)") : display));
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c->conn));
  for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
  if (!it.rem) return x11_clipboard::x11Error(2, "The X display has no screen");
  c->root = it.data->root;
  c->window = xcb_generate_id(c->conn);
  const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_create_window(c->conn, XCB_COPY_FROM_PARENT, c->window, c->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, mask);
  const uint32_t maxRequest = xcb_get_maximum_request_length(c->conn) * 4;
  c->chunkSize = std::min<size_t>(256 * 1024, maxRequest > 1024 ? maxRequest - 1024 : 4096);
  xcb_flush(c->conn);
  return c;
}

namespace x11_clipboard {

Error x11Error(int code, const std::string& description) {
  return Error(X11Pasteboard::kErrorDomain, code, description);
}

// Asks that `window` hear (XFixes) of every new owner of CLIPBOARD, and of
// an owner's window or client going away.
void selectOwnerChanges(Connection& c, xcb_window_t window) {
  xcb_xfixes_select_selection_input(c.conn, window, c.atom("CLIPBOARD"),
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
}

// Waits for the next event matching `accept` on `c`, up to `timeout`.
xcb_generic_event_t* waitForEvent(Connection& c, Steady::duration timeout,
                                  const std::function<bool(xcb_generic_event_t*)>& accept) {
  const auto deadline = Steady::now() + timeout;
  const int fd = xcb_get_file_descriptor(c.conn);
  while (true) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c.conn)) {
      if (accept(event)) return event;
      std::free(event);
    }
    if (xcb_connection_has_error(c.conn)) return nullptr;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count();
    if (left <= 0) return nullptr;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

// Reads and deletes `property` of `window`.
Reply<xcb_get_property_reply_t> takeProperty(Connection& c, xcb_window_t window, xcb_atom_t property) {
  return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(
      c.conn, xcb_get_property(c.conn, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0x1FFFFFFF), nullptr));
}

std::string propertyBytes(xcb_get_property_reply_t* reply) {
  const int length = xcb_get_property_value_length(reply);
  return std::string(static_cast<const char*>(xcb_get_property_value(reply)), static_cast<size_t>(length));
}

std::string byteProgress(size_t got, size_t announced) {
  return stringPrintf("%zu of the %zu bytes announced", got, announced);
}

// Converts CLIPBOARD to `target` into a fresh property and reads the answer,
// following INCR. Every chunk must be bytes (format 8) of one type, and the
// whole at least as long as the owner announced.
static Conversion convertOnce(ReadSession& s, xcb_atom_t target, Steady::duration stallTimeout,
                              Steady::time_point deadline, std::string& out) {
  Connection& c = s.c;
  const xcb_atom_t clipboard = c.atom("CLIPBOARD");
  const xcb_atom_t property = s.freshProperty();
  const xcb_atom_t incr = c.atom("INCR");
  out.clear();
  auto abandon = [&](std::string why) {
    xcb_delete_property(c.conn, s.window, property);
    xcb_flush(c.conn);
    if (s.ownerChanged) why = "the clipboard changed owner during it";
    return Conversion{Conversion::abandoned, std::move(why)};
  };
  auto waitLimit = [&] { return std::min<Steady::duration>(stallTimeout, std::max(deadline - Steady::now(), {})); };
  auto silence = [&] {
    return Steady::now() >= deadline ? std::string("it took too long")
                                     : stringPrintf("the clipboard owner sent nothing for %.1f s",
                                                    std::chrono::duration<double>(stallTimeout).count());
  };
  xcb_convert_selection(c.conn, s.window, clipboard, target, property, s.time);
  xcb_flush(c.conn);
  xcb_generic_event_t* event = s.waitFor(waitLimit(), [&](xcb_generic_event_t* e) {
    if ((e->response_type & 0x7F) != XCB_SELECTION_NOTIFY) return false;
    auto* n = reinterpret_cast<xcb_selection_notify_event_t*>(e);
    return n->requestor == s.window && n->selection == clipboard && n->target == target;
  });
  if (!event) return abandon(silence() + " (no answer)");
  if (s.ownerChanged) {
    std::free(event);
    return abandon("");
  }
  const xcb_atom_t answered = reinterpret_cast<xcb_selection_notify_event_t*>(event)->property;
  std::free(event);
  if (answered == XCB_ATOM_NONE) return Conversion{Conversion::refused, ""};
  if (answered != property) return abandon("the clipboard owner answered in a property it was not asked to use");
  auto reply = takeProperty(c, s.window, property);
  xcb_flush(c.conn);
  if (!reply || reply->type == XCB_ATOM_NONE) return Conversion{Conversion::refused, ""};
  if (reply->bytes_after != 0) return abandon("its answer could not be read whole");
  if (reply->type != incr) {
    out = propertyBytes(reply.get());
    return Conversion{Conversion::ok, "", reply->type, reply->format};
  }
  // The size is a lower bound, and some owners (xclip) leave it out.
  size_t announced = 0;
  if (reply->format == 32 && xcb_get_property_value_length(reply.get()) >= 4) {
    announced = *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  }
  if (announced > static_cast<size_t>(X11Pasteboard::kMaxRepresentationBytes)) {
    xcb_delete_property(c.conn, s.window, property);
    return Conversion{Conversion::tooLarge, ""};
  }
  xcb_atom_t chunkType = XCB_ATOM_NONE;
  while (true) {
    xcb_generic_event_t* chunk = s.waitFor(waitLimit(), [&](xcb_generic_event_t* e) {
      if ((e->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) return false;
      auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
      return p->window == s.window && p->atom == property && p->state == XCB_PROPERTY_NEW_VALUE;
    });
    if (!chunk) return abandon(silence() + " after " + byteProgress(out.size(), announced));
    std::free(chunk);
    if (s.ownerChanged) return abandon("");
    auto part = takeProperty(c, s.window, property);
    xcb_flush(c.conn);
    if (!part) return abandon("a chunk could not be read after " + byteProgress(out.size(), announced));
    const int length = xcb_get_property_value_length(part.get());
    if (part->bytes_after != 0) return abandon("a chunk could not be read whole");
    if (length == 0) {
      if (out.size() < announced)
        return abandon("the clipboard owner ended it after " + byteProgress(out.size(), announced));
      return Conversion{};
    }
    if (part->format != 8 || (chunkType != XCB_ATOM_NONE && part->type != chunkType)) {
      return abandon(stringPrintf("the clipboard owner sent a garbled chunk (format %d) after ", part->format) +
                     byteProgress(out.size(), announced));
    }
    chunkType = part->type;
    if (out.size() + static_cast<size_t>(length) > static_cast<size_t>(X11Pasteboard::kMaxRepresentationBytes)) {
      xcb_delete_property(c.conn, s.window, property);
      return Conversion{Conversion::tooLarge, ""};
    }
    out.append(static_cast<const char*>(xcb_get_property_value(part.get())), static_cast<size_t>(length));
  }
}

Conversion convert(ReadSession& s, xcb_atom_t target, Steady::duration stallTimeout, Steady::time_point deadline,
                   std::string& out) {
  s.answerPending = true;
  Conversion answer = convertOnce(s, target, stallTimeout, deadline, out);
  if (answer.kind == Conversion::ok || answer.kind == Conversion::refused) s.answerPending = false;
  return answer;
}

ReadSession::ReadSession(Connection& connection, xcb_timestamp_t triggerTime) : c(connection), time(triggerTime) {
  const auto expired = Steady::now() - kRetiredWindowLifetime;
  std::erase_if(c.retiredWindows, [&](const auto& retired) {
    if (retired.second > expired) return false;
    xcb_destroy_window(c.conn, retired.first);
    return true;
  });
  window = xcb_generate_id(c.conn);
  const uint32_t mask[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_create_window(c.conn, XCB_COPY_FROM_PARENT, window, c.root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                    XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, mask);
  selectOwnerChanges(c, window);
  if (time == XCB_CURRENT_TIME) time = serverTime();
  xcb_flush(c.conn);
}

ReadSession::~ReadSession() {
  if (answerPending) {
    const uint32_t none[] = {XCB_EVENT_MASK_NO_EVENT};
    xcb_change_window_attributes(c.conn, window, XCB_CW_EVENT_MASK, none);
    xcb_xfixes_select_selection_input(c.conn, window, c.atom("CLIPBOARD"), 0);
    c.retiredWindows.emplace_back(window, Steady::now());
  } else {
    xcb_destroy_window(c.conn, window);
  }
  xcb_flush(c.conn);
}

xcb_timestamp_t ReadSession::serverTime() {
  const xcb_atom_t stamp = c.atom("PALLIX_TIMESTAMP");
  xcb_change_property(c.conn, XCB_PROP_MODE_APPEND, window, stamp, XCB_ATOM_STRING, 8, 0, nullptr);
  xcb_flush(c.conn);
  xcb_generic_event_t* event = waitFor(std::chrono::seconds(1), [&](xcb_generic_event_t* e) {
    if ((e->response_type & 0x7F) != XCB_PROPERTY_NOTIFY) return false;
    auto* p = reinterpret_cast<xcb_property_notify_event_t*>(e);
    return p->window == window && p->atom == stamp;
  });
  if (!event) return XCB_CURRENT_TIME;
  const xcb_timestamp_t t = reinterpret_cast<xcb_property_notify_event_t*>(event)->time;
  std::free(event);
  return t;
}

xcb_atom_t ReadSession::freshProperty() {
  return c.atom("PALLIX_SELECTION_" + std::to_string(nextProperty++ % 64));
}

xcb_generic_event_t* ReadSession::waitFor(Steady::duration timeout,
                                          const std::function<bool(xcb_generic_event_t*)>& accept) {
  return waitForEvent(c, timeout, [&](xcb_generic_event_t* e) {
    if ((e->response_type & 0x7F) == c.xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY &&
        reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(e)->window == window) {
      ownerChanged = true;
      return true;
    }
    return accept(e);
  });
}

}  // namespace x11_clipboard
}  // namespace pallix
