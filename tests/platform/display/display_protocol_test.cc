#include "platform/display/display_protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/plist/plist_codec.h"
#include "platform/plist/value.h"

namespace sentrel::display {
namespace {

using plist::MutableArray;
using plist::MutableDict;
using plist::Value;

std::span<const uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

WindowTree alertWindow() {
  WindowTree window;
  window.window_id = 3;
  window.level = 25;
  window.frame = Rect{0, 0, 390, 844};
  window.background = Color{0, 0, 0, 0.4};
  Node root;
  root.id = 1;
  root.frame = Rect{20, 300, 350, 200};
  root.background = Color{1, 1, 1, 0.96};
  root.corner_radius = 13;
  root.clips = true;
  root.border = Border{0.5, Color{0, 0, 0, 0.2}};
  Node label;
  label.id = 2;
  label.parent = 1;
  label.frame = Rect{16, 16, 318, 44};
  label.text = {TextRun{"Sentrel", "Inter", 700, 17, Color{0, 0, 0, 1}},
                TextRun{" wants to connect to ", "", 400, 13, Color{0.2, 0.2, 0.2, 1}}};
  label.alignment = TextAlignment::kCenter;
  label.lines = 0;
  label.text_insets = Insets{7, 8, 9, 10};
  Node icon;
  icon.id = 5;
  icon.parent = 1;
  icon.alpha = 0.5;
  icon.hidden = true;
  icon.image_path = "/Applications/Preferences.app/icon.png";
  window.nodes = {root, label, icon};
  return window;
}

std::vector<double> identityValues() {
  const Transform3D identity;
  return {identity.m.begin(), identity.m.end()};
}

// A card turned in perspective above its sibling, a centred label, and
// animations of every kind a process commits.
WindowTree animatedWindow() {
  WindowTree window = alertWindow();
  Node& card = window.nodes[0];
  card.transform.m = {0.9, 0, -0.4, 0.002, 0, 1, 0, 0, 0.4, 0, 0.9, 0, 12, -3, 0, 1};
  card.z_position = 2.5;
  card.animations = {
      Animation{7,
                AnimatedProperty::kFrame,
                {20, 844, 350, 200},
                AnimationCurve::kSpring,
                0.7,
                1.5,
                0.5,
                0,
                1000.25},
      Animation{8, AnimatedProperty::kTransform, identityValues(), AnimationCurve::kEaseOut, 1, 0,
                0.3, 0.1, 1000.5},
  };
  Node& label = window.nodes[1];
  label.vertical_alignment = TextVerticalAlignment::kCenter;
  label.z_position = -1;
  label.animations = {
      Animation{9, AnimatedProperty::kAlpha, {0}, AnimationCurve::kLinear, 1, 0, 0.25, 0, 999},
      Animation{10,
                AnimatedProperty::kBackground,
                {1, 0, 0, 1},
                AnimationCurve::kEaseInOut,
                1,
                0,
                3600,
                3600,
                999},
  };
  return window;
}

template <class M>
M clientRoundTrip(const M& message) {
  Result<std::string> encoded = encodeClientMessage(message);
  EXPECT_TRUE(encoded.ok()) << encoded.reason();
  if (!encoded) return {};
  Result<ClientMessage> decoded = decodeClientMessage(bytesOf(*encoded));
  EXPECT_TRUE(decoded.ok()) << decoded.reason();
  if (!decoded || !std::holds_alternative<M>(*decoded)) return {};
  return std::get<M>(*decoded);
}

TEST(ADisplayMessage, SurvivesEncodingForEveryKindAProcessSends) {
  Hello hello{"SpringBoard", 4242};
  EXPECT_EQ(clientRoundTrip(hello), hello);

  Commit commit;
  commit.windows = {alertWindow(), WindowTree{9, -1.5, true, Rect{1, 2, 3, 4}, {}}};
  EXPECT_EQ(clientRoundTrip(commit), commit);

  RemoveWindow remove{3};
  EXPECT_EQ(clientRoundTrip(remove), remove);
}

TEST(ADisplayMessage, CarriesTransformsZOrderTextPlacementAndAnimations) {
  Commit commit;
  commit.windows = {animatedWindow()};
  commit.time = 1000.5;
  Commit back = clientRoundTrip(commit);
  EXPECT_EQ(back, commit);
  ASSERT_EQ(back.windows.size(), 1u);
  EXPECT_DOUBLE_EQ(back.windows[0].nodes[0].transform.m[3], 0.002);
  EXPECT_EQ(back.windows[0].nodes[1].vertical_alignment, TextVerticalAlignment::kCenter);
  EXPECT_EQ(back.windows[0].nodes[0].animations[0].curve, AnimationCurve::kSpring);
  EXPECT_DOUBLE_EQ(back.windows[0].nodes[0].animations[0].velocity, 1.5);

  // Nodes that keep the defaults do not spend bytes on them: a big plain
  // tree stays as small as before.
  Result<std::string> plain = encodeClientMessage(Commit{{alertWindow()}});
  ASSERT_TRUE(plain.ok());
  EXPECT_EQ(plain->find("transform"), std::string::npos);
  EXPECT_EQ(plain->find("animations"), std::string::npos);
}

TEST(ADisplayMessage, SurvivesEncodingForEveryKindBackboarddSends) {
  for (ServerMessage message :
       {ServerMessage(Touch{3, TouchPhase::kMoved, Point{10.25, -4}}),
        ServerMessage(Touch{3, TouchPhase::kCancelled, Point{}}), ServerMessage(KeyText{"ünï"})}) {
    Result<std::string> encoded = encodeServerMessage(message);
    ASSERT_TRUE(encoded.ok()) << encoded.reason();
    Result<ServerMessage> decoded = decodeServerMessage(bytesOf(*encoded));
    ASSERT_TRUE(decoded.ok()) << decoded.reason();
    EXPECT_EQ(*decoded, message);
  }
}

TEST(ADisplayMessage, IsNotTakenForAMessageOfTheOtherDirection) {
  Result<std::string> touch = encodeServerMessage(Touch{1, TouchPhase::kBegan, Point{}});
  ASSERT_TRUE(touch.ok());
  Result<ClientMessage> decoded = decodeClientMessage(bytesOf(*touch));
  ASSERT_FALSE(decoded.ok());
  EXPECT_NE(decoded.reason().find("type"), std::string::npos) << decoded.reason();
}

// A commit dictionary as a process would send it, with one field of one node
// replaced; the rest is a valid alert window.
Value commitWith(const std::string& field, Value value, size_t node_index = 1) {
  Result<std::string> encoded = encodeClientMessage(Commit{{alertWindow()}});
  Result<Value> root = plist::decode(*encoded);
  const Value& window = (*root->get("windows").asArray())[0];
  MutableArray nodes(window.get("nodes"));
  MutableDict node(nodes.at(node_index));
  node.set(field, std::move(value));
  MutableArray changed;
  for (size_t i = 0; i < nodes.size(); ++i) {
    changed.append(i == node_index ? node.build() : nodes.at(i));
  }
  Value new_window = MutableDict(window).set("nodes", changed.build()).build();
  return MutableDict(*root).set("windows", Value::array({new_window})).build();
}

std::string refusal(const Value& message) {
  Result<std::string> bytes = plist::encodeBinary(message);
  if (!bytes) return "cannot encode: " + bytes.reason();
  Result<ClientMessage> decoded = decodeClientMessage(bytesOf(*bytes));
  return decoded.ok() ? std::string() : decoded.reason();
}

TEST(ADisplayMessageDecoder, RefusesWhatAComposerCouldNotUseAndSaysWhere) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    Value message;
    const char* reason_part;
  } cases[] = {
      {"NaN in a frame",
       commitWith("frame",
                  Value::array({Value::real(nan), Value::real(0), Value::real(1), Value::real(1)})),
       "nodes[1].frame"},
      {"infinite alpha", commitWith("alpha", Value::real(inf)), "alpha"},
      {"negative width",
       commitWith("frame",
                  Value::array({Value::real(0), Value::real(0), Value::real(-1), Value::real(1)})),
       "negative size"},
      {"colour above 1",
       commitWith("background",
                  Value::array({Value::real(2), Value::real(0), Value::real(0), Value::real(1)})),
       "background"},
      {"frame of three numbers",
       commitWith("frame", Value::array({Value::real(0), Value::real(0), Value::real(1)})),
       "frame"},
      {"string where a bool goes", commitWith("hidden", Value::string("yes")), "hidden"},
      {"unknown alignment", commitWith("alignment", Value::integer(9)), "alignment"},
      {"missing id", commitWith("id", Value()), "id is missing"},
      {"zero id", commitWith("id", Value::integer(0)), "id"},
      {"duplicate id", commitWith("id", Value::integer(1)), "used twice"},
      {"parent listed later", commitWith("parent", Value::integer(5)), "not listed before"},
      {"own parent", commitWith("parent", Value::integer(2)), "not listed before"},
      {"zero font size",
       commitWith("text", Value::array({Value::dictOf(
                              {{"text", Value::string("x")},
                               {"font", Value::string("")},
                               {"weight", Value::integer(400)},
                               {"size", Value::real(0)},
                               {"color", Value::array({Value::real(0), Value::real(0),
                                                       Value::real(0), Value::real(1)})}})})),
       "size"},
      {"one window twice",
       MutableDict(commitWith("alpha", Value::real(1)))
           .set("windows",
                Value::array({(*commitWith("alpha", Value::real(1)).get("windows").asArray())[0],
                              (*commitWith("alpha", Value::real(1)).get("windows").asArray())[0]}))
           .build(),
       "twice"},
      {"no type", Value::dictOf({{"window", Value::integer(1)}}), "type is missing"},
      {"root not a dictionary", Value::array({Value::integer(1)}), "not a property list"},
  };
  for (const Case& c : cases) {
    std::string reason = refusal(c.message);
    EXPECT_FALSE(reason.empty()) << c.what << " was accepted";
    EXPECT_NE(reason.find(c.reason_part), std::string::npos) << c.what << ": " << reason;
  }
}

// A commit of the animated window with one field of the card's first
// animation replaced (a null value removes it).
Value animationWith(const std::string& field, Value value) {
  Commit commit{{animatedWindow()}, 1000.5};
  Result<std::string> encoded = encodeClientMessage(commit);
  Result<Value> root = plist::decode(*encoded);
  const Value& window = (*root->get("windows").asArray())[0];
  MutableArray nodes(window.get("nodes"));
  MutableDict card(nodes.at(0));
  MutableArray animations(card.get("animations"));
  Value changed = MutableDict(animations.at(0)).set(field, std::move(value)).build();
  MutableArray new_animations;
  new_animations.append(changed);
  for (size_t i = 1; i < animations.size(); ++i) new_animations.append(animations.at(i));
  card.set("animations", new_animations.build());
  MutableArray new_nodes;
  new_nodes.append(card.build());
  for (size_t i = 1; i < nodes.size(); ++i) new_nodes.append(nodes.at(i));
  Value new_window = MutableDict(window).set("nodes", new_nodes.build()).build();
  return MutableDict(*root).set("windows", Value::array({new_window})).build();
}

Value numbers(std::vector<double> values) {
  plist::Array out;
  for (double v : values) out.push_back(Value::real(v));
  return Value::array(std::move(out));
}

TEST(ADisplayMessageDecoder, RefusesBadTransformsAndAnimations) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> identity = identityValues();
  std::vector<double> nan_matrix = identity;
  nan_matrix[11] = nan;
  std::vector<double> huge_matrix = identity;
  huge_matrix[12] = 1e300;
  plist::Array seventeen_animations;
  for (int i = 0; i < 17; ++i)
    seventeen_animations.push_back(
        (*MutableDict(animationWith("id", Value::integer(1))).get("windows").asArray())[0]
            .get("nodes")
            .asArray()
            ->at(0)
            .get("animations")
            .asArray()
            ->at(0));
  struct Case {
    const char* what;
    Value message;
    const char* reason_part;
  } cases[] = {
      {"NaN in a transform", commitWith("transform", numbers(nan_matrix)), "transform"},
      {"huge transform entry", commitWith("transform", numbers(huge_matrix)), "transform"},
      {"transform of 9 numbers", commitWith("transform", numbers({1, 0, 0, 0, 1, 0, 0, 0, 1})),
       "16 numbers"},
      {"NaN z position", commitWith("z", Value::real(nan)), ".z"},
      {"unknown vertical alignment", commitWith("verticalAlignment", Value::integer(2)),
       "verticalAlignment"},
      {"animations not an array", commitWith("animations", Value::integer(1)), "animations"},
      {"absurd animation count", commitWith("animations", Value::array(seventeen_animations)),
       "too many"},
      {"negative duration", animationWith("duration", Value::real(-0.3)), "duration"},
      {"zero duration", animationWith("duration", Value::real(0)), "duration"},
      {"duration of a day", animationWith("duration", Value::real(86400)), "duration"},
      {"NaN delay", animationWith("delay", Value::real(nan)), "delay"},
      {"negative delay", animationWith("delay", Value::real(-1)), "delay"},
      {"unknown property", animationWith("property", Value::integer(4)), "property"},
      {"unknown curve", animationWith("curve", Value::integer(5)), "curve"},
      {"frame start of 16 numbers", animationWith("from", numbers(identity)), "4 numbers"},
      {"negative start size", animationWith("from", numbers({0, 0, -5, 10})), "negative size"},
      {"zero damping", animationWith("damping", Value::real(0)), "damping"},
      {"spring without damping", animationWith("damping", Value()), "damping is missing"},
      {"NaN velocity", animationWith("velocity", Value::real(nan)), "velocity"},
      {"start after the commit", animationWith("start", Value::real(2000)), "after its commit"},
      {"zero animation id", animationWith("id", Value::integer(0)), "animations[0].id"},
  };
  for (const Case& c : cases) {
    std::string reason = refusal(c.message);
    EXPECT_FALSE(reason.empty()) << c.what << " was accepted";
    EXPECT_NE(reason.find(c.reason_part), std::string::npos) << c.what << ": " << reason;
  }
  // The unchanged message is fine: the cases above fail for their own field.
  EXPECT_EQ(refusal(animationWith("id", Value::integer(7))), "");
}

TEST(ADisplayMessageDecoder, RefusesBytesThatAreNoPropertyList) {
  for (std::string bytes : {std::string(), std::string("bplist00"), std::string(1000, '\xff'),
                            std::string("<plist><dict><key>type</key>")}) {
    Result<ClientMessage> decoded = decodeClientMessage(bytesOf(bytes));
    EXPECT_FALSE(decoded.ok());
    EXPECT_FALSE(decoded.reason().empty());
    EXPECT_FALSE(decodeServerMessage(bytesOf(bytes)).ok());
  }
}

TEST(ADisplayMessageEncoder, RefusesATreeThePeerWouldRefuse) {
  WindowTree window = alertWindow();
  window.nodes[1].parent = 5;  // listed after its child: a possible cycle
  EXPECT_FALSE(encodeClientMessage(Commit{{window}}).ok());
  window = alertWindow();
  window.nodes[0].frame.width = std::nan("");
  EXPECT_FALSE(encodeClientMessage(Commit{{window}}).ok());
  window = alertWindow();
  window.nodes[1].text_insets.left = -1;
  EXPECT_FALSE(encodeClientMessage(Commit{{window}}).ok());
  window = alertWindow();
  window.background.red = 2;
  EXPECT_FALSE(encodeClientMessage(Commit{{window}}).ok());
  EXPECT_FALSE(encodeServerMessage(Touch{1, TouchPhase::kBegan, Point{INFINITY, 0}}).ok());
  EXPECT_FALSE(encodeClientMessage(Commit{{alertWindow(), alertWindow()}}).ok())
      << "one window twice in a commit";
  window = animatedWindow();
  window.nodes[0].transform.m[5] = std::nan("");
  EXPECT_FALSE(encodeClientMessage(Commit{{window}, 1000.5}).ok());
  window = animatedWindow();
  window.nodes[1].animations[0].duration = -1;
  EXPECT_FALSE(encodeClientMessage(Commit{{window}, 1000.5}).ok());
  window = animatedWindow();
  window.nodes[1].animations[0].from = {0, 1};  // an alpha is one number
  EXPECT_FALSE(encodeClientMessage(Commit{{window}, 1000.5}).ok());
  EXPECT_FALSE(encodeClientMessage(Commit{{animatedWindow()}, 900}).ok())
      << "animations that start after their commit";
}

TEST(AFrameReader, GivesThePayloadsWhateverPiecesTheStreamArrivesIn) {
  std::string stream;
  std::vector<std::string> payloads = {"a", std::string(70000, 'b'), "ccc"};
  for (const std::string& p : payloads) stream += *frameMessage(p);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{4096}, stream.size()}) {
    FrameReader reader;
    std::vector<std::string> got;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.append(std::string_view(stream).substr(at, piece));
      while (std::optional<std::string> p = reader.next()) got.push_back(*p);
    }
    EXPECT_EQ(got, payloads) << "pieces of " << piece;
    EXPECT_TRUE(reader.error().ok());
    EXPECT_EQ(reader.bufferedBytes(), 0u);
  }
}

TEST(AFrameReader, RefusesAnOversizedLengthBeforeItsPayloadArrives) {
  FrameReader reader;
  uint32_t too_big = kMaxMessageBytes + 1;
  char header[4] = {static_cast<char>(too_big >> 24), static_cast<char>(too_big >> 16),
                    static_cast<char>(too_big >> 8), static_cast<char>(too_big)};
  reader.append(std::string_view(header, 4));
  EXPECT_FALSE(reader.next().has_value());
  EXPECT_FALSE(reader.error().ok());
  // Nothing more is buffered or given once the stream is broken.
  reader.append(std::string(1000, 'x'));
  EXPECT_EQ(reader.bufferedBytes(), 0u);
  EXPECT_FALSE(reader.next().has_value());
}

TEST(AFrameReader, RefusesAZeroLength) {
  FrameReader reader;
  reader.append(std::string_view("\0\0\0\0rest", 8));
  EXPECT_FALSE(reader.next().has_value());
  EXPECT_FALSE(reader.error().ok());
}

TEST(FramingAMessage, RefusesEmptyAndOversizedPayloads) {
  EXPECT_FALSE(frameMessage("").ok());
  EXPECT_FALSE(frameMessage(std::string(kMaxMessageBytes + 1, 'x')).ok());
  Result<std::string> framed = frameMessage(std::string(kMaxMessageBytes, 'x'));
  ASSERT_TRUE(framed.ok());
  EXPECT_EQ(framed->size(), kMaxMessageBytes + kFrameHeaderBytes);
}

TEST(TheDisplayFuzzSeeds, AreMessagesTheDecodersAccept) {
  size_t accepted = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SENTREL_DISPLAY_SEEDS)) {
    if (entry.path().extension() != ".bplist" || entry.path().stem() == "commit_cycle") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool ok = decodeClientMessage(bytesOf(bytes)).ok() || decodeServerMessage(bytesOf(bytes)).ok();
    EXPECT_TRUE(ok) << entry.path();
    accepted += ok;
  }
  EXPECT_GE(accepted, 5u);
}

}  // namespace
}  // namespace sentrel::display
