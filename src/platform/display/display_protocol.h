// The link between a UI process and backboardd, the device's display server.
//
// A UI process connects to backboardd's Unix stream socket and sends, in this
// order: one Hello, then any number of Commit and RemoveWindow messages.
// backboardd answers with Touch and KeyText messages for the windows of that
// process.
//
// Framing: every message is a 4-byte big-endian length followed by that many
// bytes of payload. The payload is a binary property list whose root is a
// dictionary with a "type" key ("hello", "commit", "remove", "touch", "key").
// A length of zero or above kMaxMessageBytes is a protocol error: the reader
// refuses it before buffering the payload, and the peer is to be logged and
// disconnected.
//
// Decoding checks everything a composer relies on: every number finite,
// sizes and radii not negative, colours within 0..1, node ids unique and
// positive, each node's parent either 0 (the window itself) or a node listed
// before it (so a tree can never hold a cycle), counts within the limits
// below, transforms finite, animations with a positive duration, a delay
// that is not negative, both at most kMaxAnimationSeconds, and a start no
// later than the commit's time. Bad input gives an error Status naming the field; it never throws
// and never crashes.
//
// All functions are pure and thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/base/status.h"

namespace sentrel::display {

inline constexpr size_t kMaxMessageBytes = 4 * 1024 * 1024;
inline constexpr size_t kFrameHeaderBytes = 4;
inline constexpr size_t kMaxWindowsPerCommit = 256;
inline constexpr size_t kMaxNodesPerWindow = 20000;
inline constexpr size_t kMaxRunsPerNode = 256;
inline constexpr size_t kMaxAnimationsPerNode = 16;
inline constexpr double kMaxAnimationSeconds = 3600;
inline constexpr double kMaxTransformEntry = 1e9;

// Geometry in points. A node's frame is in its parent's coordinates; a
// window's frame is in screen coordinates.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Rect&) const = default;
};

// Components from 0 to 1.
struct Color {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 0;  // 0: clear
  bool operator==(const Color&) const = default;
};

struct Border {
  double width = 0;  // 0: none
  Color color{};
  bool operator==(const Border&) const = default;
};

// Space kept clear inside a node's frame, in points.
struct Insets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  bool operator==(const Insets&) const = default;
};

enum class TextAlignment : uint8_t { kNatural, kLeft, kCenter, kRight, kJustified };

// Where the text sits within its node's height: a label centres its text,
// a text view starts at the top.
enum class TextVerticalAlignment : uint8_t { kTop, kCenter };

// A layer's 3D transform: a 4x4 matrix for row vectors (p' = p * M), entries
// row by row (m11, m12, m13, m14, m21, ...), perspective in m34. It turns the
// layer about its centre.
struct Transform3D {
  std::array<double, 16> m{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  bool isIdentity() const { return *this == Transform3D{}; }
  bool operator==(const Transform3D&) const = default;
};

// What an animation moves. Its end is the node's committed value.
enum class AnimatedProperty : uint8_t { kFrame, kAlpha, kBackground, kTransform };

enum class AnimationCurve : uint8_t { kEaseInOut, kEaseIn, kEaseOut, kLinear, kSpring };

// One running animation of a node. Its id stays the same in every commit
// that carries it, so the drawer can tell a running animation from a new
// one and never restarts it.
struct Animation {
  int64_t id = 0;  // positive, unique within the process
  AnimatedProperty property = AnimatedProperty::kAlpha;
  // The value it starts from: a frame (4 numbers, x y width height), an
  // alpha (1), a colour (4) or a transform (16).
  std::vector<double> from{};
  AnimationCurve curve = AnimationCurve::kEaseInOut;
  double damping = 1;   // spring only: damping ratio in (0, 1]
  double velocity = 0;  // spring only: initial velocity, whole changes per second
  double duration = 0;  // seconds, positive
  double delay = 0;     // seconds, not negative
  double start = 0;     // seconds on the sender's clock when it began
  bool operator==(const Animation&) const = default;
};

// One run of attributed text.
struct TextRun {
  std::string text{};
  std::string font_family{};  // empty: the system font
  int font_weight = 400;      // 1 to 1000, as CSS
  double font_size = 17;      // points, positive
  Color color{0, 0, 0, 1};
  bool operator==(const TextRun&) const = default;
};

// One layer of a window's render tree.
struct Node {
  int64_t id = 0;      // positive, unique within the window
  int64_t parent = 0;  // 0: the window itself; else a node listed earlier
  Rect frame{};
  Color background{};
  double alpha = 1;  // 0 to 1
  bool hidden = false;
  double corner_radius = 0;
  Border border{};
  bool clips = false;  // clips its sublayers to its bounds
  std::vector<TextRun> text{};
  TextAlignment alignment = TextAlignment::kNatural;
  int lines = 1;             // 0: as many as needed
  Insets text_insets{};      // between the frame and the text
  std::string image_path{};  // device-root path of an image file; empty: none
  TextVerticalAlignment vertical_alignment = TextVerticalAlignment::kTop;
  Transform3D transform{};
  // Siblings are drawn in increasing z position, equal ones in list order.
  double z_position = 0;
  std::vector<Animation> animations{};
  bool operator==(const Node&) const = default;
};

// A window and its whole render tree, as committed. Nodes are listed
// parents first.
struct WindowTree {
  int64_t window_id = 0;  // positive, unique within the process
  double level = 0;       // windows of a higher level are in front
  bool hidden = false;
  Rect frame{};
  Color background{};  // under every node
  std::vector<Node> nodes{};
  bool operator==(const WindowTree&) const = default;
};

// UI process -> backboardd.
struct Hello {
  std::string process_name{};
  int64_t pid = 0;
  bool operator==(const Hello&) const = default;
};

// Replaces the trees of the listed windows in one step. A window is listed
// at most once.
struct Commit {
  std::vector<WindowTree> windows{};
  // Seconds on the sender's clock when it was sent: what animation starts
  // are measured against.
  double time = 0;
  bool operator==(const Commit&) const = default;
};

struct RemoveWindow {
  int64_t window_id = 0;
  bool operator==(const RemoveWindow&) const = default;
};

using ClientMessage = std::variant<Hello, Commit, RemoveWindow>;

// backboardd -> UI process.
enum class TouchPhase : uint8_t { kBegan, kMoved, kEnded, kCancelled };

struct Touch {
  int64_t window_id = 0;
  TouchPhase phase = TouchPhase::kBegan;
  Point point{};  // in the window's coordinates
  bool operator==(const Touch&) const = default;
};

// Text typed on the keyboard, delivered to the process's key window.
struct KeyText {
  std::string text{};
  bool operator==(const KeyText&) const = default;
};

using ServerMessage = std::variant<Touch, KeyText>;

const char* touchPhaseName(TouchPhase phase);                 // "began", "moved", ...
const char* textAlignmentName(TextAlignment align);           // "natural", "left", ...
const char* animatedPropertyName(AnimatedProperty property);  // "frame", "alpha", ...
const char* animationCurveName(AnimationCurve curve);         // "easeInOut", ..., "spring"
// How many numbers an animation of `property` starts from.
size_t animationValueSize(AnimatedProperty property);

// A clock's reading in seconds, as commits and animation starts carry it.
inline double secondsOf(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Payload encodings (no frame header). Fails only on a message that breaks
// the rules decoding checks (a NaN frame, a parent listed after its child),
// so nothing is ever sent that the peer must refuse.
Result<std::string> encodeClientMessage(const ClientMessage& message);
Result<std::string> encodeServerMessage(const ServerMessage& message);

Result<ClientMessage> decodeClientMessage(std::span<const uint8_t> payload);
Result<ServerMessage> decodeServerMessage(std::span<const uint8_t> payload);

// Checks a window tree by the rules above (used by encoding and decoding,
// and by anyone who builds trees by hand).
Status validateWindowTree(const WindowTree& window);

// The header and payload of one message. Fails when the payload is empty or
// larger than kMaxMessageBytes.
Result<std::string> frameMessage(std::string_view payload);

// Cuts a byte stream into payloads. Feed it what the socket gave, then take
// payloads until next() has none. After an error the stream is unusable
// (error() stays set) and the peer must be disconnected.
class FrameReader {
 public:
  void append(std::span<const uint8_t> bytes);
  void append(std::string_view bytes);
  // The next whole payload, nullopt when more bytes are needed or after an
  // error.
  std::optional<std::string> next();
  const Status& error() const { return error_; }
  size_t bufferedBytes() const { return buffer_.size() - consumed_; }

 private:
  std::string buffer_;
  size_t consumed_ = 0;
  Status error_;
};

}  // namespace sentrel::display
