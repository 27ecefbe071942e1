// Messages on backboardd's socket come from any UI process, and backboardd's
// answers are read by every UI process: both decoders must refuse bad input
// with a reason and never crash, and what they accept must encode again and
// decode to the same message. The same bytes also go through the frame
// reader, cut into uneven pieces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "platform/display/display_protocol.h"

namespace {

using namespace sentrel::display;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  fprintf(stderr, "%s: %s\n", what, detail.c_str());
  abort();
}

template <class Message, class Encode, class Decode>
void roundTrip(std::span<const uint8_t> bytes, Encode encode, Decode decode) {
  sentrel::Result<Message> decoded = decode(bytes);
  if (!decoded) {
    if (decoded.reason().empty()) fail("a refusal without a reason", "");
    return;
  }
  sentrel::Result<std::string> encoded = encode(*decoded);
  if (!encoded) fail("an accepted message does not encode", encoded.reason());
  auto again = decode(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(encoded->data()), encoded->size()));
  if (!again) fail("a re-encoded message does not decode", again.reason());
  if (!(*again == *decoded)) fail("a message changed through a round trip", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256 * 1024) return 0;
  std::span<const uint8_t> bytes(data, size);
  roundTrip<ClientMessage>(bytes, encodeClientMessage, decodeClientMessage);
  roundTrip<ServerMessage>(bytes, encodeServerMessage, decodeServerMessage);

  // The frame reader: pieces of 1, 2, 3, ... bytes must give the same
  // payloads as the whole stream at once.
  FrameReader whole;
  whole.append(bytes);
  FrameReader pieces;
  size_t at = 0;
  for (size_t step = 1; at < size; ++step) {
    size_t n = std::min(step, size - at);
    pieces.append(bytes.subspan(at, n));
    at += n;
    while (true) {
      std::optional<std::string> a = pieces.next();
      if (!a) break;
      std::optional<std::string> b = whole.next();
      if (!b || *a != *b) fail("the frame reader depends on how the stream is cut", "");
    }
  }
  if (whole.next()) fail("the frame reader lost a payload when fed in pieces", "");
  if (whole.error().ok() != pieces.error().ok()) fail("the frame reader's errors differ", "");
  return 0;
}
