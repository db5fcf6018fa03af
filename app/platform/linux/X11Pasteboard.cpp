#include "app/platform/linux/X11Pasteboard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "app/platform/PasteboardTypes.h"
#include "app/platform/linux/X11PasteboardConnection.h"
#include "core/Strings.h"

namespace pallix {
namespace {

using namespace x11_clipboard;

void sendNotify(Connection& c, const xcb_selection_request_event_t& request, xcb_atom_t property) {
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = request.time;
  notify.requestor = request.requestor;
  notify.selection = request.selection;
  notify.target = request.target;
  notify.property = property;
  xcb_send_event(c.conn, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
}

void serveRequest(Connection& c, const xcb_selection_request_event_t& request, bool owned) {
  const xcb_atom_t property = request.property == XCB_ATOM_NONE ? request.target : request.property;
  std::lock_guard<std::mutex> lock(c.dataMutex);
  if (!owned || request.selection != c.atom("CLIPBOARD")) {
    sendNotify(c, request, XCB_ATOM_NONE);
    return;
  }
  if (request.target == c.atom("TARGETS")) {
    std::vector<xcb_atom_t> targets = {c.atom("TARGETS"), c.atom("TIMESTAMP")};
    for (const auto& [type, data] : c.served) targets.push_back(type);
    xcb_change_property(c.conn, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                        static_cast<uint32_t>(targets.size()), targets.data());
    sendNotify(c, request, property);
    return;
  }
  if (request.target == c.atom("TIMESTAMP")) {
    const uint32_t time = XCB_CURRENT_TIME;
    xcb_change_property(c.conn, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_INTEGER, 32, 1, &time);
    sendNotify(c, request, property);
    return;
  }
  auto it = std::find_if(c.served.begin(), c.served.end(), [&](const auto& s) { return s.first == request.target; });
  if (it == c.served.end()) {
    sendNotify(c, request, XCB_ATOM_NONE);
    return;
  }
  const std::shared_ptr<const std::string>& data = it->second;
  if (data->size() <= c.chunkSize) {
    xcb_change_property(c.conn, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                        static_cast<uint32_t>(data->size()), data->data());
    sendNotify(c, request, property);
    return;
  }
  // Large data goes in chunks: each one after the requestor deleted the last.
  const uint32_t events[] = {XCB_EVENT_MASK_PROPERTY_CHANGE};
  xcb_change_window_attributes(c.conn, request.requestor, XCB_CW_EVENT_MASK, events);
  const uint32_t size = static_cast<uint32_t>(data->size());
  xcb_change_property(c.conn, XCB_PROP_MODE_REPLACE, request.requestor, property, c.atom("INCR"), 32, 1, &size);
  c.transfers.push_back(Transfer{request.requestor, property, request.target, data, 0, false, Steady::now()});
  sendNotify(c, request, property);
}

void continueTransfer(Connection& c, const xcb_property_notify_event_t& event) {
  if (event.state != XCB_PROPERTY_DELETE) return;
  std::lock_guard<std::mutex> lock(c.dataMutex);
  for (auto it = c.transfers.begin(); it != c.transfers.end(); ++it) {
    if (it->requestor != event.window || it->property != event.atom) continue;
    const size_t length = std::min(c.chunkSize, it->data->size() - it->offset);
    xcb_change_property(c.conn, XCB_PROP_MODE_REPLACE, it->requestor, it->property, it->type, 8,
                        static_cast<uint32_t>(length), it->data->data() + it->offset);
    it->offset += length;
    it->lastActivity = Steady::now();
    if (length == 0) {
      const uint32_t none[] = {XCB_EVENT_MASK_NO_EVENT};
      xcb_change_window_attributes(c.conn, it->requestor, XCB_CW_EVENT_MASK, none);
      c.transfers.erase(it);
    }
    return;
  }
}

}  // namespace

X11Pasteboard::X11Pasteboard(Options options) : options_(std::move(options)) {}

Result<std::shared_ptr<X11Pasteboard>> X11Pasteboard::connect(Options options) {
  std::shared_ptr<X11Pasteboard> board(new X11Pasteboard(std::move(options)));
  PALLIX_ASSIGN_OR_RETURN(board->events_, Connection::open(board->options_.display));
  PALLIX_ASSIGN_OR_RETURN(board->reader_, Connection::open(board->options_.display));
  Connection& c = *board->events_;
  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c.conn, &xcb_xfixes_id);
  if (!xfixes || !xfixes->present) return x11Error(3, "The X display lacks the XFixes extension");
  Reply<xcb_xfixes_query_version_reply_t> version(
      xcb_xfixes_query_version_reply(c.conn, xcb_xfixes_query_version(c.conn, 5, 0), nullptr));
  if (!version) return x11Error(3, "The X display's XFixes extension does not answer");
  c.xfixesEvent = xfixes->first_event;
  Connection& r = *board->reader_;
  Reply<xcb_xfixes_query_version_reply_t> readerVersion(
      xcb_xfixes_query_version_reply(r.conn, xcb_xfixes_query_version(r.conn, 5, 0), nullptr));
  if (!readerVersion) return x11Error(3, "The X display's XFixes extension does not answer");
  r.xfixesEvent = xcb_get_extension_data(r.conn, &xcb_xfixes_id)->first_event;
  selectOwnerChanges(c, c.window);
  for (const char* name : {"TARGETS", "TIMESTAMP", "INCR", "UTF8_STRING", "PALLIX_TIMESTAMP"}) {
    c.atom(name);
    board->reader_->atom(name);
  }
  xcb_flush(c.conn);
  if (::pipe2(board->wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) return Error::fromErrno("Cannot create a pipe", errno);
  board->thread_ = std::thread([raw = board.get()] { raw->runEvents(); });
  return board;
}

X11Pasteboard::~X11Pasteboard() {
  stopping_ = true;
  if (wakePipe_[1] >= 0) {
    char byte = 1;
    (void)!::write(wakePipe_[1], &byte, 1);
  }
  if (thread_.joinable()) thread_.join();
  for (int fd : wakePipe_) {
    if (fd >= 0) ::close(fd);
  }
}

void X11Pasteboard::runEvents() {
  Connection& c = *events_;
  const int fd = xcb_get_file_descriptor(c.conn);
  while (!stopping_) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    ::poll(fds, 2, 1000);
    if (stopping_) break;
    while (xcb_generic_event_t* event = xcb_poll_for_event(c.conn)) {
      const uint8_t type = event->response_type & 0x7F;
      if (type == c.xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
        auto* n = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
        // Our own writes were counted when they were made.
        if (n->owner != c.window) {
          lastSelectionTime_ = n->timestamp;
          if (n->subtype == XCB_XFIXES_SELECTION_EVENT_SET_SELECTION_OWNER) owned_ = false;
          ++changeCount_;
          std::function<void()> observer;
          {
            std::lock_guard<std::mutex> lock(observerMutex_);
            observer = observer_;
          }
          if (observer) observer();
          notifyOwnershipChanged();
        }
      } else if (type == XCB_SELECTION_REQUEST) {
        serveRequest(c, *reinterpret_cast<xcb_selection_request_event_t*>(event), owned_);
      } else if (type == XCB_SELECTION_CLEAR) {
        owned_ = false;
        notifyOwnershipChanged();
      } else if (type == XCB_PROPERTY_NOTIFY) {
        continueTransfer(c, *reinterpret_cast<xcb_property_notify_event_t*>(event));
      }
      std::free(event);
    }
    {
      // A requestor that stopped taking chunks is dropped.
      std::lock_guard<std::mutex> lock(c.dataMutex);
      const auto stale = Steady::now() - std::chrono::seconds(10);
      c.transfers.erase(std::remove_if(c.transfers.begin(), c.transfers.end(),
                                       [&](const Transfer& t) { return t.lastActivity < stale; }),
                        c.transfers.end());
    }
    xcb_flush(c.conn);
    if (xcb_connection_has_error(c.conn)) {
      owned_ = false;
      notifyOwnershipChanged();
      break;
    }
  }
}

void X11Pasteboard::notifyOwnershipChanged() {
  // Taking the mutex orders this after a waiter's check of the predicate.
  { std::lock_guard<std::mutex> lock(ownershipMutex_); }
  ownershipChanged_.notify_all();
}

void X11Pasteboard::setChangeObserver(std::function<void()> observer) {
  std::lock_guard<std::mutex> lock(observerMutex_);
  observer_ = std::move(observer);
}

void X11Pasteboard::waitUntilOwnershipLost() {
  std::unique_lock<std::mutex> lock(ownershipMutex_);
  ownershipChanged_.wait_for(lock, std::chrono::hours(24 * 365), [&] { return !owned_.load() || stopping_.load(); });
}

Result<int64_t> X11Pasteboard::writeItem(const PasteboardItem& item) {
  Connection& c = *events_;
  std::vector<std::pair<xcb_atom_t, std::shared_ptr<const std::string>>> served;
  std::optional<std::string> text;
  for (const PasteboardRepresentation& r : item.representations) {
    xcb_atom_t type = c.atom(r.type);
    if (type == XCB_ATOM_NONE) return x11Error(4, "Cannot name the clipboard type " + inQuotes(r.type));
    served.emplace_back(type, std::make_shared<const std::string>(r.data));
    if (!text && pasteboardTypeCategory(r.type) == PasteboardTypeCategory::plainText) text = r.data;
  }
  // Older applications ask for UTF8_STRING only.
  if (text && !item.hasType("UTF8_STRING")) {
    served.emplace_back(c.atom("UTF8_STRING"), std::make_shared<const std::string>(*text));
  }
  {
    std::lock_guard<std::mutex> lock(c.dataMutex);
    c.served = std::move(served);
  }
  const xcb_atom_t clipboard = c.atom("CLIPBOARD");
  xcb_set_selection_owner(c.conn, c.window, clipboard, XCB_CURRENT_TIME);
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c.conn, xcb_get_selection_owner(c.conn, clipboard), nullptr));
  if (!owner || owner->owner != c.window) {
    return x11Error(5, "The X display did not give the clipboard to Pallix");
  }
  owned_ = true;
  return ++changeCount_;
}

Status X11Pasteboard::writeString(const std::string& text) {
  auto written = writeItem(PasteboardItem{{{kPlainTextUtf8Type, text}, {"UTF8_STRING", text}}});
  if (!written.ok()) return written.error();
  return okStatus();
}

Result<std::optional<std::string>> X11Pasteboard::readString() {
  PALLIX_ASSIGN_OR_RETURN(auto item, readItem());
  if (!item) return std::optional<std::string>();
  return primaryTextOf(*item);
}

Result<std::optional<PasteboardItem>> X11Pasteboard::readItem() {
  std::lock_guard<std::mutex> lock(readMutex_);
  Connection& c = *reader_;
  const auto stall = std::chrono::duration_cast<Steady::duration>(options_.ownerTimeout);
  const auto deadline = Steady::now() + std::chrono::duration_cast<Steady::duration>(options_.readTimeout);
  Reply<xcb_get_selection_owner_reply_t> owner(
      xcb_get_selection_owner_reply(c.conn, xcb_get_selection_owner(c.conn, c.atom("CLIPBOARD")), nullptr));
  if (xcb_connection_has_error(c.conn)) return x11Error(6, "The connection to the X display was lost");
  if (!owner || owner->owner == XCB_WINDOW_NONE) return std::optional<PasteboardItem>();
  ReadSession session(c, lastSelectionTime_.load());
  auto abandoned = [](const std::string& name, const Conversion& answer) {
    return x11Error(8, "Abandoned the transfer of " + inQuotes(name) + ": " + answer.why);
  };

  std::string bytes;
  Conversion answer = convert(session, c.atom("TARGETS"), stall, deadline, bytes);
  if (answer.kind == Conversion::abandoned) return abandoned("TARGETS", answer);
  if (answer.kind != Conversion::ok) {
    return x11Error(7, "The clipboard owner refused to list its types (TARGETS)");
  }
  // Some owners answer with the type TARGETS instead of ATOM.
  if (answer.format != 32 || (answer.type != XCB_ATOM_ATOM && answer.type != c.atom("TARGETS")) ||
      bytes.size() % sizeof(xcb_atom_t) != 0) {
    return x11Error(10, stringPrintf("The clipboard owner's list of types (TARGETS) is garbled: %zu bytes of format %d "
                                     "and type %s instead of atoms",
                                     bytes.size(), answer.format, inQuotes(c.atomName(answer.type)).c_str()));
  }
  std::vector<xcb_atom_t> targets(bytes.size() / sizeof(xcb_atom_t));
  std::memcpy(targets.data(), bytes.data(), targets.size() * sizeof(xcb_atom_t));

  std::vector<std::pair<xcb_atom_t, std::string>> named;
  size_t unnamed = 0;
  for (xcb_atom_t target : targets) {
    std::string name = c.atomName(target);
    if (name.empty()) ++unnamed;
    if (name.empty() || isPasteboardProtocolTarget(name)) continue;
    if (std::none_of(named.begin(), named.end(), [&](const auto& n) { return n.first == target; })) {
      named.emplace_back(target, std::move(name));
    }
  }
  if (unnamed > 0 && named.empty()) {
    return x11Error(10, stringPrintf("The clipboard owner's list of types (TARGETS) is garbled: %zu of its %zu atoms "
                                     "name nothing",
                                     unnamed, targets.size()));
  }
  // The hint is read before anything else, and a secret stops the read.
  for (const auto& [target, name] : named) {
    if (name != kPasswordManagerHintType) continue;
    std::string hint;
    Conversion read = convert(session, target, stall, deadline, hint);
    if (read.kind == Conversion::abandoned) return abandoned(name, read);
    if (read.kind == Conversion::ok && trimWhitespace(hint) == "secret") {
      return std::optional<PasteboardItem>(PasteboardItem{{{kPasswordManagerHintType, "secret"}}});
    }
  }
  PasteboardItem item;
  bool tookImage = false;
  for (const auto& [target, name] : named) {
    const bool image = pasteboardTypeCategory(name) == PasteboardTypeCategory::image;
    if (image && tookImage) continue;  // another conversion of the same image
    std::string data;
    Conversion read = convert(session, target, stall, deadline, data);
    switch (read.kind) {
      case Conversion::ok:
        if (read.format != 8) {
          return x11Error(10, stringPrintf("The clipboard owner's %s is garbled: format %d instead of bytes",
                                           inQuotes(name).c_str(), read.format));
        }
        tookImage = tookImage || image;
        item.representations.push_back({name, std::move(data)});
        break;
      case Conversion::refused:
        break;
      case Conversion::abandoned:
        return abandoned(name, read);
      case Conversion::tooLarge:
        return x11Error(9, stringPrintf("The clipboard's %s is larger than %lld MiB; it is not recorded",
                                        inQuotes(name).c_str(), static_cast<long long>(kMaxRepresentationBytes >> 20)));
    }
  }
  if (item.representations.empty() && !named.empty()) {
    return x11Error(7, stringPrintf("The clipboard owner refused every one of the %zu types it offers", named.size()));
  }
  return std::optional<PasteboardItem>(std::move(item));
}

std::optional<FrontmostApplication> X11Pasteboard::frontmostApplication() {
  if (!options_.resolveApplication) return std::nullopt;
  std::string instance, className;
  {
    std::lock_guard<std::mutex> lock(readMutex_);
    Connection& c = *reader_;
    Reply<xcb_get_property_reply_t> active(xcb_get_property_reply(
        c.conn, xcb_get_property(c.conn, 0, c.root, c.atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!active || xcb_get_property_value_length(active.get()) < 4) return std::nullopt;
    xcb_window_t window = *static_cast<xcb_window_t*>(xcb_get_property_value(active.get()));
    if (window == XCB_WINDOW_NONE) return std::nullopt;
    Reply<xcb_get_property_reply_t> wmClass(xcb_get_property_reply(
        c.conn, xcb_get_property(c.conn, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256), nullptr));
    if (!wmClass) return std::nullopt;
    std::string value = propertyBytes(wmClass.get());
    size_t split = value.find('\0');
    instance = value.substr(0, split);
    if (split != std::string::npos) className = value.substr(split + 1, value.find('\0', split + 1) - split - 1);
  }
  if (instance.empty() && className.empty()) return std::nullopt;
  return options_.resolveApplication(instance, className);
}

}  // namespace pallix
