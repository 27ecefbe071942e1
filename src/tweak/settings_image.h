// The settings image: the settings document cut into parts that a process
// can read one by one, so that starting a process or taking a new document
// costs the same with ten rules as with twenty thousand.
//
// SpringBoard, the only writer of the settings file, publishes an image
// beside it with every save (publishSettingsImage). A process that needs
// only its own app entry and the top-level keys maps the image and decodes
// just those two parts (readSettingsPart); nothing else of the document is
// touched. The settings file itself stays the one source of truth: its
// format and the way every other reader loads it do not change.
//
// Trust. The image is checked before any part of it is used: its layout and
// checksums, and that it was made from the settings file as it is now (the
// file's device, inode, size and modification time, recorded when the image
// was published). A missing, damaged, or stale image (the file written since
// by someone else, or the image not yet replaced) is never an error for the
// caller: loadSettingsForApp() then reads the file as PrefHandler does, and
// the reason is logged.
//
// Layout (native byte order: the image never leaves the machine that wrote
// it). A header, then an index of the app entries sorted by bundle id
// (bytewise), then the parts themselves, each in the compact encoding
// (platform/plist/compact_codec.h):
//  - the top part: the document without "apps" (the whole document when its
//    "apps" is not a dictionary, which a flag in the header records);
//  - one part per app entry, found through the index.
// The header holds a CRC-32 of itself, of the index and of the top part;
// each index record holds the CRC-32 of its bundle id and of its entry.
// Only the parts a reader uses are checked, so a read costs the size of
// those parts, not of the image.
//
// Thread-safe: no shared state.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/base/status.h"
#include "platform/plist/value.h"

namespace sentrel {

// Where the image lives, as a device path.
inline constexpr const char* kSettingsImagePath = "/var/run/sentrel/settings.image";

// Which version of the settings file an image was made from.
struct SettingsFileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  uint64_t size = 0;
  int64_t modified_seconds = 0;
  int64_t modified_nanoseconds = 0;

  bool operator==(const SettingsFileIdentity&) const = default;
};

// The identity of the file at `path`; nullopt when it cannot be stat'ed.
std::optional<SettingsFileIdentity> settingsFileIdentity(const std::filesystem::path& path);

// App entries encoded by earlier images, so that an image after a save that
// changed one entry encodes that entry only. Not thread-safe.
class SettingsImageParts {
 public:
  struct Part {
    plist::Value entry;   // as it was encoded
    std::string encoded;  // its compact encoding
  };

 private:
  friend Result<std::string> encodeSettingsImage(const plist::Value&, const SettingsFileIdentity&,
                                                 SettingsImageParts*);
  std::map<std::string, Part, std::less<>> parts_;  // by bundle id, the last image's entries
};

// The image of `document` (a dictionary) made from the file `source`.
// Fails when `document` is not a dictionary or a part cannot be encoded.
// With `cache`, entries equal to the ones it holds are not encoded again,
// and it is left holding this document's entries.
Result<std::string> encodeSettingsImage(const plist::Value& document,
                                        const SettingsFileIdentity& source,
                                        SettingsImageParts* cache = nullptr);

// The part of the document that the app `bundleId` needs: the top-level
// keys and, when the document has an "apps" dictionary, an "apps"
// dictionary holding only that app's entry (empty when the app has none, or
// when `bundleId` is nullopt). Fails, saying why, on any damage or when the
// image was not made from `expected` (nullptr: any source).
Result<plist::Value> decodeSettingsImage(std::span<const uint8_t> image,
                                         std::optional<std::string_view> bundleId,
                                         const SettingsFileIdentity* expected);

// The whole document, from every part of the image. Fails as
// decodeSettingsImage() does, and on any damaged entry.
Result<plist::Value> decodeWholeSettingsImage(std::span<const uint8_t> image,
                                              const SettingsFileIdentity* expected);

// SpringBoard, right after it wrote `document` to the settings file:
// publishes its image, atomically. A failure is returned (readers then fall
// back to the file) and leaves any older image, which no longer matches the
// file, in place.
Status publishSettingsImage(const plist::Value& document);

// SpringBoard at start: publishes the image of the settings file as it is
// when no image matches it (a new device, a file written while SpringBoard
// was not running). Logs what it did; nothing without a settings file.
void publishSettingsImageIfStale();

// The part of the current settings that the app `bundleId` needs, from the
// image when it matches the settings file. Fails, saying why, otherwise.
Result<plist::Value> readSettingsPart(std::optional<std::string_view> bundleId);

// The whole settings document from the image when it matches the settings
// file: what reading the file gives, at the cost of the compact parts
// instead of the file's XML. Fails, saying why, otherwise.
Result<plist::Value> readSettingsDocument();

// readSettingsPart(), else the whole document read from the file
// (PrefHandler::loadSettings(), with its warning for a missing file).
// Always a dictionary.
plist::Value loadSettingsForApp(std::optional<std::string_view> bundleId);

}  // namespace sentrel
