#include "platform/display/display_protocol.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_set>

#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"

namespace sentrel::display {

namespace {

using plist::Array;
using plist::MutableDict;
using plist::Value;

// ---- encoding ------------------------------------------------------------

Value real(double v) {
  return Value::real(v);
}

Value rectValue(const Rect& r) {
  return Value::array({real(r.x), real(r.y), real(r.width), real(r.height)});
}

Value colorValue(const Color& c) {
  return Value::array({real(c.red), real(c.green), real(c.blue), real(c.alpha)});
}

Value runValue(const TextRun& run) {
  return MutableDict()
      .set("text", Value::string(run.text))
      .set("font", Value::string(run.font_family))
      .set("weight", Value::integer(run.font_weight))
      .set("size", real(run.font_size))
      .set("color", colorValue(run.color))
      .build();
}

Value numbersValue(std::span<const double> numbers) {
  Array out;
  out.reserve(numbers.size());
  for (double v : numbers) out.push_back(real(v));
  return Value::array(std::move(out));
}

Value animationValue(const Animation& a) {
  MutableDict dict;
  dict.set("id", Value::integer(a.id))
      .set("property", Value::integer(static_cast<int64_t>(a.property)))
      .set("from", numbersValue(a.from))
      .set("curve", Value::integer(static_cast<int64_t>(a.curve)))
      .set("duration", real(a.duration))
      .set("delay", real(a.delay))
      .set("start", real(a.start));
  if (a.curve == AnimationCurve::kSpring)
    dict.set("damping", real(a.damping)).set("velocity", real(a.velocity));
  return dict.build();
}

Value nodeValue(const Node& node) {
  Array runs;
  runs.reserve(node.text.size());
  for (const TextRun& run : node.text) runs.push_back(runValue(run));
  MutableDict dict;
  // The rarely used layer properties are left out when they hold their
  // defaults, which keeps a big tree well under the message limit.
  if (!node.transform.isIdentity()) dict.set("transform", numbersValue(node.transform.m));
  if (node.z_position != 0) dict.set("z", real(node.z_position));
  if (node.vertical_alignment != TextVerticalAlignment::kTop)
    dict.set("verticalAlignment", Value::integer(static_cast<int64_t>(node.vertical_alignment)));
  if (!node.animations.empty()) {
    Array animations;
    animations.reserve(node.animations.size());
    for (const Animation& a : node.animations) animations.push_back(animationValue(a));
    dict.set("animations", Value::array(std::move(animations)));
  }
  return dict.set("id", Value::integer(node.id))
      .set("parent", Value::integer(node.parent))
      .set("frame", rectValue(node.frame))
      .set("background", colorValue(node.background))
      .set("alpha", real(node.alpha))
      .set("hidden", Value::boolean(node.hidden))
      .set("cornerRadius", real(node.corner_radius))
      .set("borderWidth", real(node.border.width))
      .set("borderColor", colorValue(node.border.color))
      .set("clips", Value::boolean(node.clips))
      .set("text", Value::array(std::move(runs)))
      .set("alignment", Value::integer(static_cast<int64_t>(node.alignment)))
      .set("lines", Value::integer(node.lines))
      .set("textInsets",
           Value::array({real(node.text_insets.top), real(node.text_insets.left),
                         real(node.text_insets.bottom), real(node.text_insets.right)}))
      .set("image", Value::string(node.image_path))
      .build();
}

Value windowValue(const WindowTree& window) {
  Array nodes;
  nodes.reserve(window.nodes.size());
  for (const Node& node : window.nodes) nodes.push_back(nodeValue(node));
  return MutableDict()
      .set("window", Value::integer(window.window_id))
      .set("level", real(window.level))
      .set("hidden", Value::boolean(window.hidden))
      .set("frame", rectValue(window.frame))
      .set("background", colorValue(window.background))
      .set("nodes", Value::array(std::move(nodes)))
      .build();
}

Result<std::string> encodeDict(MutableDict dict) {
  return plist::encodeBinary(dict.build());
}

// ---- decoding ------------------------------------------------------------

// Reads fields of one dictionary; the first failure is kept and every later
// read returns a default, so a decoder reads straight through and checks
// once at the end.
class Reader {
 public:
  Reader(const Value& dict, std::string where, Status* error)
      : dict_(dict), where_(std::move(where)), error_(error) {
    if (error_->ok() && !dict_.isDict()) fail("", "is not a dictionary");
  }

  bool ok() const { return error_->ok(); }

  bool has(std::string_view key) const { return ok() && !dict_.get(key).isNull(); }

  void fail(std::string_view key, std::string_view why) {
    if (!error_->ok()) return;
    std::string text = where_;
    if (!key.empty()) {
      text += '.';
      text += key;
    }
    text += ' ';
    text += why;
    *error_ = Status::Error(std::move(text));
  }

  Value field(std::string_view key) {
    if (!ok()) return {};
    Value v = dict_.get(key);
    if (v.isNull()) fail(key, "is missing");
    return v;
  }

  int64_t integer(std::string_view key, int64_t min, int64_t max) {
    Value v = field(key);
    if (!ok()) return min;
    std::optional<int64_t> i = v.asInteger();
    if (!i) {
      fail(key, "is not an integer");
      return min;
    }
    if (*i < min || *i > max) {
      fail(key, "is out of range (" + std::to_string(*i) + ")");
      return min;
    }
    return *i;
  }

  bool boolean(std::string_view key) {
    Value v = field(key);
    if (!ok()) return false;
    std::optional<bool> b = v.asBool();
    if (!b) fail(key, "is not a bool");
    return b.value_or(false);
  }

  std::string string(std::string_view key) {
    Value v = field(key);
    if (!ok()) return {};
    const std::string* s = v.asString();
    if (s == nullptr) {
      fail(key, "is not a string");
      return {};
    }
    return *s;
  }

  double number(const Value& v, std::string_view key, double min, double max) {
    if (!ok()) return 0;
    std::optional<double> d = v.asReal();
    if (!d) {
      std::optional<int64_t> i = v.asInteger();
      if (i) d = static_cast<double>(*i);
    }
    if (!d) {
      fail(key, "is not a number");
      return 0;
    }
    if (!std::isfinite(*d) || *d < min || *d > max) {
      fail(key, "is out of range");
      return 0;
    }
    return *d;
  }

  double real(std::string_view key, double min, double max) {
    Value v = field(key);
    return number(v, key, min, max);
  }

  // A fixed-size array of numbers, each within min..max.
  template <size_t N>
  std::array<double, N> numbers(std::string_view key, double min, double max) {
    std::array<double, N> out{};
    Value v = field(key);
    if (!ok()) return out;
    const Array* a = v.asArray();
    if (a == nullptr || a->size() != N) {
      fail(key, "is not an array of " + std::to_string(N) + " numbers");
      return out;
    }
    for (size_t i = 0; i < N; ++i) out[i] = number((*a)[i], key, min, max);
    return out;
  }

  // An array of numbers, each within min..max, of a length from `sizes`.
  std::vector<double> numberList(std::string_view key, double min, double max, size_t size) {
    std::vector<double> out;
    Value v = field(key);
    if (!ok()) return out;
    const Array* a = v.asArray();
    if (a == nullptr || a->size() != size) {
      fail(key, "is not an array of " + std::to_string(size) + " numbers");
      return out;
    }
    out.reserve(size);
    for (size_t i = 0; i < size; ++i) out.push_back(number((*a)[i], key, min, max));
    return out;
  }

  Rect rect(std::string_view key) {
    constexpr double kMax = 1e9;
    auto n = numbers<4>(key, -kMax, kMax);
    Rect r{n[0], n[1], n[2], n[3]};
    if (ok() && (r.width < 0 || r.height < 0)) fail(key, "has a negative size");
    return r;
  }

  Color color(std::string_view key) {
    auto n = numbers<4>(key, 0, 1);
    return Color{n[0], n[1], n[2], n[3]};
  }

  const Array* array(std::string_view key, size_t max) {
    Value v = field(key);
    if (!ok()) return nullptr;
    const Array* a = dict_.asDict()->find(key)->asArray();
    if (a == nullptr) {
      fail(key, "is not an array");
      return nullptr;
    }
    if (a->size() > max) {
      fail(key, "has too many entries (" + std::to_string(a->size()) + ")");
      return nullptr;
    }
    return a;
  }

  const std::string& where() const { return where_; }

 private:
  const Value& dict_;
  std::string where_;
  Status* error_;
};

constexpr double kMaxCoordinate = 1e9;
// Initial spring velocities beyond this are nonsense, not fast.
constexpr double kMaxAnimationSpeed = 1e6;

TextRun decodeRun(const Value& v, std::string where, Status* error) {
  Reader r(v, std::move(where), error);
  TextRun run;
  run.text = r.string("text");
  run.font_family = r.string("font");
  run.font_weight = static_cast<int>(r.integer("weight", 1, 1000));
  run.font_size = r.real("size", 0, 10000);
  if (r.ok() && run.font_size <= 0) r.fail("size", "is not positive");
  run.color = r.color("color");
  return run;
}

constexpr double kMaxClockSeconds = 1e12;

Animation decodeAnimation(const Value& v, std::string where, Status* error) {
  Reader r(v, std::move(where), error);
  Animation a;
  a.id = r.integer("id", 1, INT64_MAX);
  a.property = static_cast<AnimatedProperty>(
      r.integer("property", 0, static_cast<int64_t>(AnimatedProperty::kTransform)));
  // The bounds each value must keep at its end: a frame's like a node's,
  // an alpha's and a colour's 0..1, a transform's like a node's.
  switch (a.property) {
    case AnimatedProperty::kFrame:
      a.from = r.numberList("from", -kMaxCoordinate, kMaxCoordinate, 4);
      if (r.ok() && (a.from[2] < 0 || a.from[3] < 0)) r.fail("from", "has a negative size");
      break;
    case AnimatedProperty::kAlpha:
    case AnimatedProperty::kBackground:
      a.from = r.numberList("from", 0, 1, animationValueSize(a.property));
      break;
    case AnimatedProperty::kTransform:
      a.from = r.numberList("from", -kMaxTransformEntry, kMaxTransformEntry, 16);
      break;
  }
  a.curve = static_cast<AnimationCurve>(
      r.integer("curve", 0, static_cast<int64_t>(AnimationCurve::kSpring)));
  a.duration = r.real("duration", 0, kMaxAnimationSeconds);
  if (r.ok() && a.duration <= 0) r.fail("duration", "is not positive");
  a.delay = r.real("delay", 0, kMaxAnimationSeconds);
  a.start = r.real("start", -kMaxClockSeconds, kMaxClockSeconds);
  if (a.curve == AnimationCurve::kSpring) {
    a.damping = r.real("damping", 0, 1);
    if (r.ok() && a.damping <= 0) r.fail("damping", "is not positive");
    a.velocity = r.real("velocity", -kMaxAnimationSpeed, kMaxAnimationSpeed);
  }
  return a;
}

Node decodeNode(const Value& v, std::string where, Status* error) {
  Reader r(v, std::move(where), error);
  Node node;
  node.id = r.integer("id", 1, INT64_MAX);
  node.parent = r.integer("parent", 0, INT64_MAX);
  node.frame = r.rect("frame");
  node.background = r.color("background");
  node.alpha = r.real("alpha", 0, 1);
  node.hidden = r.boolean("hidden");
  node.corner_radius = r.real("cornerRadius", 0, kMaxCoordinate);
  node.border.width = r.real("borderWidth", 0, kMaxCoordinate);
  node.border.color = r.color("borderColor");
  node.clips = r.boolean("clips");
  if (const Array* runs = r.array("text", kMaxRunsPerNode)) {
    node.text.reserve(runs->size());
    for (size_t i = 0; i < runs->size() && r.ok(); ++i) {
      node.text.push_back(
          decodeRun((*runs)[i], r.where() + ".text[" + std::to_string(i) + "]", error));
    }
  }
  node.alignment = static_cast<TextAlignment>(
      r.integer("alignment", 0, static_cast<int64_t>(TextAlignment::kJustified)));
  node.lines = static_cast<int>(r.integer("lines", 0, 100000));
  const auto insets = r.numbers<4>("textInsets", 0, kMaxCoordinate);
  node.text_insets = Insets{insets[0], insets[1], insets[2], insets[3]};
  node.image_path = r.string("image");
  if (r.has("verticalAlignment")) {
    node.vertical_alignment = static_cast<TextVerticalAlignment>(
        r.integer("verticalAlignment", 0, static_cast<int64_t>(TextVerticalAlignment::kCenter)));
  }
  if (r.has("transform")) {
    std::vector<double> m = r.numberList("transform", -kMaxTransformEntry, kMaxTransformEntry, 16);
    if (r.ok()) std::copy(m.begin(), m.end(), node.transform.m.begin());
  }
  if (r.has("z")) node.z_position = r.real("z", -kMaxCoordinate, kMaxCoordinate);
  if (r.has("animations")) {
    if (const Array* animations = r.array("animations", kMaxAnimationsPerNode)) {
      node.animations.reserve(animations->size());
      for (size_t i = 0; i < animations->size() && r.ok(); ++i) {
        node.animations.push_back(decodeAnimation(
            (*animations)[i], r.where() + ".animations[" + std::to_string(i) + "]", error));
      }
    }
  }
  return node;
}

WindowTree decodeWindow(const Value& v, std::string where, Status* error) {
  Reader r(v, std::move(where), error);
  WindowTree window;
  window.window_id = r.integer("window", 1, INT64_MAX);
  window.level = r.real("level", -kMaxCoordinate, kMaxCoordinate);
  window.hidden = r.boolean("hidden");
  window.frame = r.rect("frame");
  window.background = r.color("background");
  if (const Array* nodes = r.array("nodes", kMaxNodesPerWindow)) {
    window.nodes.reserve(nodes->size());
    for (size_t i = 0; i < nodes->size() && r.ok(); ++i) {
      window.nodes.push_back(
          decodeNode((*nodes)[i], r.where() + ".nodes[" + std::to_string(i) + "]", error));
    }
  }
  if (r.ok()) *error = validateWindowTree(window);
  return window;
}

Result<Value> decodeRoot(std::span<const uint8_t> payload) {
  if (payload.empty()) return Result<Value>::Error("empty display message");
  if (payload.size() > kMaxMessageBytes) return Result<Value>::Error("display message too large");
  Result<Value> root = plist::decodeDictionary(payload);
  if (!root)
    return Result<Value>::Error("display message is not a property list: " + root.reason());
  return root;
}

template <class T>
Result<T> finish(T value, const Status& error) {
  if (!error.ok()) return Result<T>::Error("bad display message: " + error.reason());
  return Result<T>(std::move(value));
}

std::optional<TouchPhase> phaseFromName(std::string_view name) {
  for (TouchPhase p :
       {TouchPhase::kBegan, TouchPhase::kMoved, TouchPhase::kEnded, TouchPhase::kCancelled}) {
    if (name == touchPhaseName(p)) return p;
  }
  return std::nullopt;
}

bool finiteRect(const Rect& r) {
  return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) &&
         std::isfinite(r.height) && r.width >= 0 && r.height >= 0;
}

bool goodColor(const Color& c) {
  for (double v : {c.red, c.green, c.blue, c.alpha}) {
    if (!(v >= 0 && v <= 1)) return false;  // also refuses NaN
  }
  return true;
}

// Animations begin before the commit that carries them, never after.
Status startsBy(const WindowTree& window, double time) {
  for (const Node& node : window.nodes) {
    for (const Animation& a : node.animations) {
      if (a.start > time)
        return Status::Error("window " + std::to_string(window.window_id) + " node " +
                             std::to_string(node.id) + " animation " + std::to_string(a.id) +
                             " starts after its commit");
    }
  }
  return Status::Ok();
}

bool inRange(double v, double min, double max) {
  return v >= min && v <= max;  // also refuses NaN
}

bool goodTransform(const Transform3D& t) {
  return std::all_of(t.m.begin(), t.m.end(),
                     [](double v) { return inRange(v, -kMaxTransformEntry, kMaxTransformEntry); });
}

std::string badAnimation(const Animation& a) {
  if (a.id <= 0) return "id is not positive";
  if (static_cast<uint8_t>(a.property) > static_cast<uint8_t>(AnimatedProperty::kTransform))
    return "unknown property";
  if (static_cast<uint8_t>(a.curve) > static_cast<uint8_t>(AnimationCurve::kSpring))
    return "unknown curve";
  if (a.from.size() != animationValueSize(a.property)) return "start value of the wrong size";
  switch (a.property) {
    case AnimatedProperty::kFrame:
      if (!finiteRect(Rect{a.from[0], a.from[1], a.from[2], a.from[3]})) return "bad start frame";
      break;
    case AnimatedProperty::kAlpha:
    case AnimatedProperty::kBackground:
      for (double v : a.from)
        if (!inRange(v, 0, 1)) return "start value out of range";
      break;
    case AnimatedProperty::kTransform:
      for (double v : a.from)
        if (!inRange(v, -kMaxTransformEntry, kMaxTransformEntry)) return "bad start transform";
      break;
  }
  if (!(a.duration > 0) || a.duration > kMaxAnimationSeconds) return "bad duration";
  if (!inRange(a.delay, 0, kMaxAnimationSeconds)) return "bad delay";
  if (!inRange(a.start, -kMaxClockSeconds, kMaxClockSeconds)) return "bad start time";
  if (a.curve == AnimationCurve::kSpring &&
      (!(a.damping > 0) || a.damping > 1 ||
       !inRange(a.velocity, -kMaxAnimationSpeed, kMaxAnimationSpeed)))
    return "bad spring";
  return {};
}

}  // namespace

size_t animationValueSize(AnimatedProperty property) {
  switch (property) {
    case AnimatedProperty::kFrame:
    case AnimatedProperty::kBackground:
      return 4;
    case AnimatedProperty::kAlpha:
      return 1;
    case AnimatedProperty::kTransform:
      return 16;
  }
  return 0;
}

const char* animatedPropertyName(AnimatedProperty property) {
  switch (property) {
    case AnimatedProperty::kFrame:
      return "frame";
    case AnimatedProperty::kAlpha:
      return "alpha";
    case AnimatedProperty::kBackground:
      return "background";
    case AnimatedProperty::kTransform:
      return "transform";
  }
  return "?";
}

const char* animationCurveName(AnimationCurve curve) {
  switch (curve) {
    case AnimationCurve::kEaseInOut:
      return "easeInOut";
    case AnimationCurve::kEaseIn:
      return "easeIn";
    case AnimationCurve::kEaseOut:
      return "easeOut";
    case AnimationCurve::kLinear:
      return "linear";
    case AnimationCurve::kSpring:
      return "spring";
  }
  return "?";
}

const char* touchPhaseName(TouchPhase phase) {
  switch (phase) {
    case TouchPhase::kBegan:
      return "began";
    case TouchPhase::kMoved:
      return "moved";
    case TouchPhase::kEnded:
      return "ended";
    case TouchPhase::kCancelled:
      return "cancelled";
  }
  return "?";
}

const char* textAlignmentName(TextAlignment align) {
  switch (align) {
    case TextAlignment::kNatural:
      return "natural";
    case TextAlignment::kLeft:
      return "left";
    case TextAlignment::kCenter:
      return "center";
    case TextAlignment::kRight:
      return "right";
    case TextAlignment::kJustified:
      return "justify";
  }
  return "?";
}

Status validateWindowTree(const WindowTree& window) {
  std::string where = "window " + std::to_string(window.window_id);
  if (window.window_id <= 0) return Status::Error(where + ": window id is not positive");
  if (!std::isfinite(window.level)) return Status::Error(where + ": level is not finite");
  if (!finiteRect(window.frame)) return Status::Error(where + ": bad frame");
  if (!goodColor(window.background)) return Status::Error(where + ": colour out of range");
  if (window.nodes.size() > kMaxNodesPerWindow) return Status::Error(where + ": too many nodes");
  std::unordered_set<int64_t> seen;
  seen.reserve(window.nodes.size());
  for (const Node& node : window.nodes) {
    std::string n = where + " node " + std::to_string(node.id);
    if (node.id <= 0) return Status::Error(n + ": id is not positive");
    if (node.parent != 0 && !seen.contains(node.parent)) {
      return Status::Error(n + ": parent " + std::to_string(node.parent) +
                           " is not listed before it");
    }
    if (!seen.insert(node.id).second) return Status::Error(n + ": id is used twice");
    if (!finiteRect(node.frame)) return Status::Error(n + ": bad frame");
    if (!goodColor(node.background) || !goodColor(node.border.color))
      return Status::Error(n + ": colour out of range");
    if (!(node.alpha >= 0 && node.alpha <= 1)) return Status::Error(n + ": alpha out of range");
    if (!(node.corner_radius >= 0) || !std::isfinite(node.corner_radius) ||
        !(node.border.width >= 0) || !std::isfinite(node.border.width))
      return Status::Error(n + ": bad corner radius or border width");
    if (node.lines < 0) return Status::Error(n + ": negative line count");
    for (double inset : {node.text_insets.top, node.text_insets.left, node.text_insets.bottom,
                         node.text_insets.right})
      if (!(inset >= 0) || !std::isfinite(inset)) return Status::Error(n + ": bad text insets");
    if (node.text.size() > kMaxRunsPerNode) return Status::Error(n + ": too many text runs");
    if (static_cast<uint8_t>(node.alignment) > static_cast<uint8_t>(TextAlignment::kJustified) ||
        static_cast<uint8_t>(node.vertical_alignment) >
            static_cast<uint8_t>(TextVerticalAlignment::kCenter))
      return Status::Error(n + ": unknown text alignment");
    if (!goodTransform(node.transform)) return Status::Error(n + ": bad transform");
    if (!inRange(node.z_position, -kMaxCoordinate, kMaxCoordinate))
      return Status::Error(n + ": bad z position");
    if (node.animations.size() > kMaxAnimationsPerNode)
      return Status::Error(n + ": too many animations");
    for (const Animation& a : node.animations) {
      if (std::string why = badAnimation(a); !why.empty())
        return Status::Error(n + " animation " + std::to_string(a.id) + ": " + why);
    }
    for (const TextRun& run : node.text) {
      if (!(run.font_size > 0) || !std::isfinite(run.font_size) || run.font_weight < 1 ||
          run.font_weight > 1000 || !goodColor(run.color))
        return Status::Error(n + ": bad text run");
    }
  }
  return Status::Ok();
}

Result<std::string> encodeClientMessage(const ClientMessage& message) {
  if (const auto* hello = std::get_if<Hello>(&message)) {
    return encodeDict(MutableDict()
                          .set("type", Value::string("hello"))
                          .set("process", Value::string(hello->process_name))
                          .set("pid", Value::integer(hello->pid)));
  }
  if (const auto* commit = std::get_if<Commit>(&message)) {
    if (commit->windows.size() > kMaxWindowsPerCommit)
      return Result<std::string>::Error("too many windows in one commit");
    if (!inRange(commit->time, -kMaxClockSeconds, kMaxClockSeconds))
      return Result<std::string>::Error("commit time out of range");
    Array windows;
    std::unordered_set<int64_t> ids;
    for (const WindowTree& window : commit->windows) {
      if (!ids.insert(window.window_id).second)
        return Result<std::string>::Error("a commit names window " +
                                          std::to_string(window.window_id) + " twice");
      Status valid = validateWindowTree(window);
      if (!valid.ok()) return Result<std::string>(valid);
      if (Status started = startsBy(window, commit->time); !started.ok())
        return Result<std::string>(started);
      windows.push_back(windowValue(window));
    }
    return encodeDict(MutableDict()
                          .set("type", Value::string("commit"))
                          .set("time", real(commit->time))
                          .set("windows", Value::array(std::move(windows))));
  }
  const auto& remove = std::get<RemoveWindow>(message);
  return encodeDict(MutableDict()
                        .set("type", Value::string("remove"))
                        .set("window", Value::integer(remove.window_id)));
}

Result<std::string> encodeServerMessage(const ServerMessage& message) {
  if (const auto* touch = std::get_if<Touch>(&message)) {
    if (!std::isfinite(touch->point.x) || !std::isfinite(touch->point.y))
      return Result<std::string>::Error("touch point is not finite");
    return encodeDict(
        MutableDict()
            .set("type", Value::string("touch"))
            .set("window", Value::integer(touch->window_id))
            .set("phase", Value::string(touchPhaseName(touch->phase)))
            .set("point", Value::array({real(touch->point.x), real(touch->point.y)})));
  }
  const auto& key = std::get<KeyText>(message);
  return encodeDict(
      MutableDict().set("type", Value::string("key")).set("text", Value::string(key.text)));
}

Result<ClientMessage> decodeClientMessage(std::span<const uint8_t> payload) {
  Result<Value> root = decodeRoot(payload);
  if (!root) return Result<ClientMessage>(root.status());
  Status error;
  Reader r(*root, "message", &error);
  std::string type = r.string("type");
  if (!r.ok()) return finish<ClientMessage>(Hello{}, error);
  if (type == "hello") {
    Hello hello;
    hello.process_name = r.string("process");
    hello.pid = r.integer("pid", 1, INT32_MAX);
    return finish<ClientMessage>(std::move(hello), error);
  }
  if (type == "commit") {
    Commit commit;
    if (r.has("time")) commit.time = r.real("time", -kMaxClockSeconds, kMaxClockSeconds);
    if (const Array* windows = r.array("windows", kMaxWindowsPerCommit)) {
      commit.windows.reserve(windows->size());
      for (size_t i = 0; i < windows->size() && error.ok(); ++i) {
        commit.windows.push_back(
            decodeWindow((*windows)[i], "windows[" + std::to_string(i) + "]", &error));
      }
    }
    std::unordered_set<int64_t> ids;
    for (const WindowTree& window : commit.windows) {
      if (error.ok() && !ids.insert(window.window_id).second)
        r.fail("windows", "name window " + std::to_string(window.window_id) + " twice");
      if (error.ok()) error = startsBy(window, commit.time);
    }
    return finish<ClientMessage>(std::move(commit), error);
  }
  if (type == "remove") {
    RemoveWindow remove;
    remove.window_id = r.integer("window", 1, INT64_MAX);
    return finish<ClientMessage>(remove, error);
  }
  r.fail("type", "is not a message a UI process sends (\"" + type.substr(0, 40) + "\")");
  return finish<ClientMessage>(Hello{}, error);
}

Result<ServerMessage> decodeServerMessage(std::span<const uint8_t> payload) {
  Result<Value> root = decodeRoot(payload);
  if (!root) return Result<ServerMessage>(root.status());
  Status error;
  Reader r(*root, "message", &error);
  std::string type = r.string("type");
  if (!r.ok()) return finish<ServerMessage>(KeyText{}, error);
  if (type == "touch") {
    Touch touch;
    touch.window_id = r.integer("window", 1, INT64_MAX);
    std::string phase = r.string("phase");
    std::optional<TouchPhase> p = phaseFromName(phase);
    if (r.ok() && !p) r.fail("phase", "is not a touch phase");
    touch.phase = p.value_or(TouchPhase::kCancelled);
    auto point = r.numbers<2>("point", -kMaxCoordinate, kMaxCoordinate);
    touch.point = Point{point[0], point[1]};
    return finish<ServerMessage>(touch, error);
  }
  if (type == "key") {
    KeyText key;
    key.text = r.string("text");
    return finish<ServerMessage>(std::move(key), error);
  }
  r.fail("type", "is not a message backboardd sends (\"" + type.substr(0, 40) + "\")");
  return finish<ServerMessage>(KeyText{}, error);
}

Result<std::string> frameMessage(std::string_view payload) {
  if (payload.empty()) return Result<std::string>::Error("empty display message");
  if (payload.size() > kMaxMessageBytes)
    return Result<std::string>::Error("display message of " + std::to_string(payload.size()) +
                                      " bytes is over the limit");
  std::string out;
  out.reserve(kFrameHeaderBytes + payload.size());
  auto n = static_cast<uint32_t>(payload.size());
  out.push_back(static_cast<char>(n >> 24));
  out.push_back(static_cast<char>(n >> 16));
  out.push_back(static_cast<char>(n >> 8));
  out.push_back(static_cast<char>(n));
  out.append(payload);
  return out;
}

void FrameReader::append(std::span<const uint8_t> bytes) {
  append(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void FrameReader::append(std::string_view bytes) {
  if (!error_.ok()) return;
  if (consumed_ > 0 && consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<std::string> FrameReader::next() {
  if (!error_.ok()) return std::nullopt;
  size_t available = buffer_.size() - consumed_;
  if (available < kFrameHeaderBytes) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(buffer_.data() + consumed_);
  uint32_t length =
      (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
  if (length == 0 || length > kMaxMessageBytes) {
    error_ = Status::Error("display message length " + std::to_string(length) +
                           " is not within 1.." + std::to_string(kMaxMessageBytes));
    buffer_.clear();
    consumed_ = 0;
    return std::nullopt;
  }
  if (available - kFrameHeaderBytes < length) return std::nullopt;
  std::string payload = buffer_.substr(consumed_ + kFrameHeaderBytes, length);
  consumed_ += kFrameHeaderBytes + length;
  // Drop what was read once it is most of the buffer, so a long stream does
  // not keep every message it ever carried.
  if (consumed_ > buffer_.size() / 2) {
    buffer_.erase(0, consumed_);
    consumed_ = 0;
  }
  return payload;
}

}  // namespace sentrel::display
