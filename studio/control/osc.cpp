// osc.cpp — see osc.h.
#include "control/osc.h"

#include <lo/lo.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/text.h"

namespace {

// A value copied out of the packet's bytes.
template <class T>
T copied(const char* bytes) {
  T value{};
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

// Every message, whatever its address: each is checked by receive().
int onMessage(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* self) {
  std::vector<std::string> strings;
  std::vector<double> numbers;
  // An argument is only 4-byte aligned in the packet, which lo_arg (a union
  // holding 8-byte members) does not promise: its bytes are copied out, never
  // read through the union.
  for (int i = 0; i < argc; ++i) {
    const auto* bytes = reinterpret_cast<const char*>(argv[i]);
    switch (types[i]) {
      case LO_STRING:
      case LO_SYMBOL:
        strings.emplace_back(bytes);
        break;
      case LO_FLOAT:
        numbers.push_back(copied<float>(bytes));
        break;
      case LO_DOUBLE:
        numbers.push_back(copied<double>(bytes));
        break;
      case LO_INT32:
        numbers.push_back(copied<int32_t>(bytes));
        break;
      case LO_INT64:
        numbers.push_back(static_cast<double>(copied<int64_t>(bytes)));
        break;
      default:
        break;
    }
  }
  static_cast<OscControl*>(self)->receive(path != nullptr ? path : "", types != nullptr ? types : "", strings,
                                          numbers);
  return 0;
}

// liblo's own complaints (a malformed packet) go nowhere: such a packet is
// not a message, and the next one is read as usual.
void onError(int, const char*, const char*) {}

// "s" a string, "n" a number, in liblo's type letters.
bool shaped(const std::string& types, const std::string& want) {
  if (types.size() != want.size()) {
    return false;
  }
  for (size_t i = 0; i < types.size(); ++i) {
    const bool text = types[i] == LO_STRING || types[i] == LO_SYMBOL;
    const bool number = types[i] == LO_FLOAT || types[i] == LO_DOUBLE || types[i] == LO_INT32 || types[i] == LO_INT64;
    if ((want[i] == 's' && !text) || (want[i] == 'n' && !number)) {
      return false;
    }
  }
  return true;
}

std::string numberText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

}  // namespace

OscControl::~OscControl() {
  if (server_ != nullptr) {
    lo_server_thread_stop(static_cast<lo_server_thread>(server_));
    lo_server_thread_free(static_cast<lo_server_thread>(server_));
    server_ = nullptr;
  }
}

Status OscControl::open(int port) {
  const std::string name = std::to_string(port);
  lo_server_thread server = lo_server_thread_new_with_proto(name.c_str(), LO_UDP, onError);
  if (server == nullptr) {
    return Status::failure("--osc " + name + ": cannot listen on that UDP port (in use, or not allowed)");
  }
  lo_server_thread_add_method(server, nullptr, nullptr, onMessage, this);
  if (lo_server_thread_start(server) < 0) {
    lo_server_thread_free(server);
    return Status::failure("--osc " + name + ": cannot start listening");
  }
  server_ = server;
  return Status();
}

void OscControl::receive(const std::string& path, const std::string& types, const std::vector<std::string>& strings,
                         const std::vector<double>& numbers) {
  Control c;
  const std::string shown = printable(path);
  // A name or value with a newline or another control byte is no picture's
  // or setting's, and would break the one line a problem is said in.
  for (const std::string& text : strings) {
    if (printable(text) != text) {
      hand(Control{Control::Kind::Problem, "OSC " + shown + ": \"" + printable(text) + "\" is not a name", 0});
      return;
    }
  }
  if (path == "/vrax/next" || path == "/vrax/previous" || path == "/vrax/pause") {
    c.kind = path == "/vrax/next" ? Control::Kind::Next : path == "/vrax/previous" ? Control::Kind::Previous
                                                                                    : Control::Kind::Pause;
    if (!types.empty()) {
      c = Control{Control::Kind::Problem, "OSC " + shown + " takes no arguments (got \"" + printable(types) + "\")", 0};
    }
  } else if (path == "/vrax/picture") {
    c = shaped(types, "s") ? Control{Control::Kind::Picture, strings[0], 0}
                           : Control{Control::Kind::Problem, "OSC /vrax/picture takes a name (a string)", 0};
  } else if (path == "/vrax/set") {
    if (shaped(types, "ss")) {
      c = Control{Control::Kind::Set, strings[0] + "=" + strings[1], 0};
    } else if (shaped(types, "sn")) {
      c = Control{Control::Kind::Set, strings[0] + "=" + numberText(numbers[0]), 0};
    } else {
      c = Control{Control::Kind::Problem, "OSC /vrax/set takes a setting's name and a value", 0};
    }
  } else if (path == "/vrax/gain") {
    c = shaped(types, "n") && std::isfinite(numbers[0]) && std::fabs(numbers[0]) <= 40
            ? Control{Control::Kind::Gain, "", numbers[0]}
            : Control{Control::Kind::Problem, "OSC /vrax/gain takes decibels, a number from -40 to 40", 0};
  } else {
    c = Control{Control::Kind::Problem,
                "OSC " + shown + " is not an address this program answers (/vrax/picture, /vrax/next, "
                "/vrax/previous, /vrax/set, /vrax/gain, /vrax/pause)",
                0};
  }
  hand(std::move(c));
}

void OscControl::hand(Control control) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (waiting_.size() >= kMaxWaiting) {
    waiting_.erase(waiting_.begin());
    ++dropped_;
  }
  waiting_.push_back(std::move(control));
}

std::vector<Control> OscControl::take() {
  std::vector<Control> taken;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    taken.swap(waiting_);
    if (dropped_ > 0) {
      taken.insert(taken.begin(), Control{Control::Kind::Problem,
                                          std::to_string(dropped_) +
                                              " OSC messages came faster than frames and were dropped",
                                          0});
      dropped_ = 0;
    }
  }
  // A sender repeating one bad message is said once every few seconds, with
  // how many more came since: a flood is a count, not a screenful.
  const auto now = std::chrono::steady_clock::now();
  std::vector<Control> out;
  for (Control& c : taken) {
    if (c.kind != Control::Kind::Problem) {
      out.push_back(std::move(c));
      continue;
    }
    Repeats& seen = repeats_[c.text];
    if (seen.said != std::chrono::steady_clock::time_point{} && now - seen.said < kQuietFor) {
      ++seen.unsaid;
      continue;
    }
    if (seen.unsaid > 0) {
      c.text += " (" + std::to_string(seen.unsaid) + " more like it since it was last said)";
    }
    seen = Repeats{now, 0};
    out.push_back(std::move(c));
  }
  if (repeats_.size() > 1000) {
    repeats_.clear();  // many different problems: each is rare enough to be said
  }
  return out;
}
