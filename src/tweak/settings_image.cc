#include "tweak/settings_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "platform/base/mutex.h"
#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/plist/compact_codec.h"
#include "platform/plist/plist_codec.h"
#include "tweak/preftools.h"

namespace sentrel {
namespace {

// Version 02: parts in the compact encoding (01 had binary property lists).
constexpr char kMagic[8] = {'S', 'N', 'T', 'I', 'M', 'G', '0', '2'};
constexpr uint32_t kHasAppsDictionary = 1;

struct Header {
  char magic[8];
  uint64_t image_size;  // every byte of the image
  SettingsFileIdentity source;
  uint32_t flags;      // kHasAppsDictionary
  uint32_t app_count;  // records in the index
  uint64_t top_offset;
  uint64_t top_size;
  uint64_t index_offset;
  uint32_t top_crc;
  uint32_t index_crc;
  uint32_t header_crc;  // of the bytes before this field
  uint32_t reserved;
};

struct IndexRecord {
  uint64_t id_offset;
  uint64_t id_size;
  uint64_t entry_offset;
  uint64_t entry_size;
  uint32_t entry_crc;  // of the entry's bytes
  uint32_t id_crc;     // of the bundle id's bytes
};

static_assert(sizeof(Header) % 8 == 0 && sizeof(IndexRecord) % 8 == 0);

uint32_t crcOf(const void* bytes, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const auto* p = static_cast<const Bytef*>(bytes);
  // zlib takes the length as uInt; parts are far below 4 GiB, but be exact.
  while (size > 0) {
    const uInt chunk = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = crc32(crc, p, chunk);
    p += chunk;
    size -= chunk;
  }
  return static_cast<uint32_t>(crc);
}

uint32_t headerCrc(const Header& header) {
  return crcOf(&header, offsetof(Header, header_crc));
}

void append(std::string& out, const void* bytes, size_t size) {
  out.append(static_cast<const char*>(bytes), size);
}

// Pads to a multiple of 8, so that records could be read in place.
void align(std::string& out) {
  out.append((8 - out.size() % 8) % 8, '\0');
}

// Whether [offset, offset + size) lies inside an image of `total` bytes.
bool inside(uint64_t offset, uint64_t size, uint64_t total) {
  return offset <= total && size <= total - offset;
}

std::span<const uint8_t> slice(std::span<const uint8_t> image, uint64_t offset, uint64_t size) {
  return image.subspan(static_cast<size_t>(offset), static_cast<size_t>(size));
}

Result<plist::Value> decodePart(std::span<const uint8_t> bytes, const char* what) {
  Result<plist::Value> part = plist::decodeCompact(bytes);
  if (!part)
    return Status::Error(std::string("its ") + what + " does not decode: " + part.reason());
  if (!part->isDict()) return Status::Error(std::string("its ") + what + " is not a dictionary");
  return part;
}

// The image file, mapped read-only; unmapped when it goes.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
    if (data_ != nullptr) munmap(data_, size_);
  }

  Status open(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Status::Error(path.string() + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
      close(fd);
      return Status::Error(path.string() + " is empty or cannot be stat'ed");
    }
    size_ = static_cast<size_t>(st.st_size);
    void* data = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (data == MAP_FAILED) return Status::Error(path.string() + ": " + std::strerror(errno));
    data_ = data;
    return Status::Ok();
  }

  std::span<const uint8_t> bytes() const { return {static_cast<const uint8_t*>(data_), size_}; }

 private:
  void* data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

std::optional<SettingsFileIdentity> settingsFileIdentity(const std::filesystem::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return std::nullopt;
  SettingsFileIdentity identity;
  identity.device = st.st_dev;
  identity.inode = st.st_ino;
  identity.size = static_cast<uint64_t>(st.st_size);
  identity.modified_seconds = st.st_mtim.tv_sec;
  identity.modified_nanoseconds = st.st_mtim.tv_nsec;
  return identity;
}

Result<std::string> encodeSettingsImage(const plist::Value& document,
                                        const SettingsFileIdentity& source,
                                        SettingsImageParts* cache) {
  const plist::Dict* root = document.asDict();
  if (root == nullptr) return Status::Error("the document is not a dictionary");
  const plist::Dict* apps = root->get(key::kApps).asDict();
  // Entries are parts of their own only when each is a dictionary; a
  // document with an entry of another kind is kept whole in the top part,
  // so that every reader sees exactly what the file holds.
  if (apps != nullptr) {
    for (const auto& [id, entry] : *apps) {
      if (!entry.isDict()) {
        apps = nullptr;
        break;
      }
    }
  }

  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.source = source;
  header.flags = apps != nullptr ? kHasAppsDictionary : 0;

  plist::Value top = document;
  if (apps != nullptr) top = plist::MutableDict(*root).remove(key::kApps).build();
  Result<std::string> top_bytes = plist::encodeCompact(top);
  if (!top_bytes) return top_bytes.status();

  // Byte order, which std::string's comparison (char_traits) follows.
  std::vector<std::string> ids;
  if (apps != nullptr) ids = apps->sortedKeys();
  std::vector<std::string> entries;
  entries.reserve(ids.size());
  std::map<std::string, SettingsImageParts::Part, std::less<>> parts;
  for (const std::string& id : ids) {
    const plist::Value entry = apps->get(id);
    if (cache != nullptr) {
      auto known = cache->parts_.find(id);
      if (known != cache->parts_.end() &&
          (known->second.entry.sameObject(entry) || known->second.entry == entry)) {
        entries.push_back(known->second.encoded);
        parts.emplace(id, std::move(known->second));
        continue;
      }
    }
    Result<std::string> bytes = plist::encodeCompact(entry);
    if (!bytes) return Status::Error("the entry of " + id + ": " + bytes.reason());
    entries.push_back(std::move(bytes).value());
    if (cache != nullptr) parts.emplace(id, SettingsImageParts::Part{entry, entries.back()});
  }
  if (cache != nullptr) cache->parts_ = std::move(parts);

  std::string out(sizeof(Header), '\0');
  header.top_offset = out.size();
  header.top_size = top_bytes->size();
  header.top_crc = crcOf(top_bytes->data(), top_bytes->size());
  append(out, top_bytes->data(), top_bytes->size());
  align(out);

  std::vector<IndexRecord> index(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    index[i].id_offset = out.size();
    index[i].id_size = ids[i].size();
    index[i].id_crc = crcOf(ids[i].data(), ids[i].size());
    append(out, ids[i].data(), ids[i].size());
    align(out);
    index[i].entry_offset = out.size();
    index[i].entry_size = entries[i].size();
    index[i].entry_crc = crcOf(entries[i].data(), entries[i].size());
    append(out, entries[i].data(), entries[i].size());
    align(out);
  }
  header.index_offset = out.size();
  header.app_count = static_cast<uint32_t>(index.size());
  header.index_crc = crcOf(index.data(), index.size() * sizeof(IndexRecord));
  append(out, index.data(), index.size() * sizeof(IndexRecord));
  header.image_size = out.size();
  header.header_crc = headerCrc(header);
  std::memcpy(out.data(), &header, sizeof header);
  return out;
}

namespace {

// An image whose header, index and top part have been checked.
struct CheckedImage {
  std::span<const uint8_t> bytes;
  Header header;
  std::span<const uint8_t> index;
  plist::Value top;  // with no "apps" when hasApps()

  bool hasApps() const { return (header.flags & kHasAppsDictionary) != 0; }
  IndexRecord recordAt(size_t i) const {
    IndexRecord record;
    std::memcpy(&record, index.data() + i * sizeof record, sizeof record);
    return record;
  }
  std::optional<std::string_view> idOf(const IndexRecord& record) const {
    if (!inside(record.id_offset, record.id_size, bytes.size())) return std::nullopt;
    const std::span<const uint8_t> id = slice(bytes, record.id_offset, record.id_size);
    if (crcOf(id.data(), id.size()) != record.id_crc) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(id.data()), id.size());
  }
  Result<plist::Value> entryOf(const IndexRecord& record, std::string_view id) const {
    if (!inside(record.entry_offset, record.entry_size, bytes.size())) {
      return Status::Error("the entry of " + std::string(id) + " lies outside it");
    }
    const std::span<const uint8_t> entry = slice(bytes, record.entry_offset, record.entry_size);
    if (crcOf(entry.data(), entry.size()) != record.entry_crc) {
      return Status::Error("the entry of " + std::string(id) + " is damaged");
    }
    return decodePart(entry, "app entry");
  }
};

Result<CheckedImage> checkImage(std::span<const uint8_t> image,
                                const SettingsFileIdentity* expected) {
  CheckedImage checked;
  checked.bytes = image;
  Header& header = checked.header;
  if (image.size() < sizeof header) return Status::Error("it is shorter than its header");
  std::memcpy(&header, image.data(), sizeof header);
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) {
    return Status::Error("it is not a settings image of this version");
  }
  if (header.header_crc != headerCrc(header)) return Status::Error("its header is damaged");
  if (header.image_size != image.size()) return Status::Error("it is truncated or padded");
  if (expected != nullptr && !(header.source == *expected)) {
    return Status::Error("it was made from another version of the settings file");
  }
  if ((header.flags & ~kHasAppsDictionary) != 0) return Status::Error("it has unknown flags");
  if (!inside(header.top_offset, header.top_size, image.size())) {
    return Status::Error("its top part lies outside it");
  }
  const uint64_t index_size = uint64_t{header.app_count} * sizeof(IndexRecord);
  if (!inside(header.index_offset, index_size, image.size())) {
    return Status::Error("its index lies outside it");
  }
  checked.index = slice(image, header.index_offset, index_size);
  if (crcOf(checked.index.data(), checked.index.size()) != header.index_crc) {
    return Status::Error("its index is damaged");
  }
  const std::span<const uint8_t> top_bytes = slice(image, header.top_offset, header.top_size);
  if (crcOf(top_bytes.data(), top_bytes.size()) != header.top_crc) {
    return Status::Error("its top part is damaged");
  }
  Result<plist::Value> top = decodePart(top_bytes, "top part");
  if (!top) return top.status();
  if (checked.hasApps() && top->asDict()->contains(key::kApps)) {
    return Status::Error("its top part holds \"apps\"");
  }
  checked.top = std::move(top).value();
  return checked;
}

}  // namespace

Result<plist::Value> decodeSettingsImage(std::span<const uint8_t> image,
                                         std::optional<std::string_view> bundleId,
                                         const SettingsFileIdentity* expected) {
  Result<CheckedImage> checked = checkImage(image, expected);
  if (!checked) return checked.status();
  if (!checked->hasApps()) return checked->top;

  plist::Value entry;
  if (bundleId) {
    // Binary search over the sorted index; a record that points outside the
    // image fails the read rather than steering the search.
    size_t low = 0;
    size_t high = checked->header.app_count;
    while (low < high) {
      const size_t mid = low + (high - low) / 2;
      const IndexRecord record = checked->recordAt(mid);
      const std::optional<std::string_view> id = checked->idOf(record);
      if (!id) return Status::Error("a bundle id of its index is damaged or lies outside it");
      const int order = id->compare(*bundleId);
      if (order == 0) {
        Result<plist::Value> decoded = checked->entryOf(record, *id);
        if (!decoded) return decoded;
        entry = std::move(decoded).value();
        break;
      }
      if (order < 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
  }
  plist::MutableDict apps;
  if (!entry.isNull()) apps.set(std::string(*bundleId), entry);
  return plist::MutableDict(checked->top).set(key::kApps, std::move(apps).build()).build();
}

Result<plist::Value> decodeWholeSettingsImage(std::span<const uint8_t> image,
                                              const SettingsFileIdentity* expected) {
  Result<CheckedImage> checked = checkImage(image, expected);
  if (!checked) return checked.status();
  if (!checked->hasApps()) return checked->top;
  plist::Dict::Map apps;
  apps.reserve(checked->header.app_count);
  for (size_t i = 0; i < checked->header.app_count; ++i) {
    const IndexRecord record = checked->recordAt(i);
    const std::optional<std::string_view> id = checked->idOf(record);
    if (!id) return Status::Error("a bundle id of its index is damaged or lies outside it");
    Result<plist::Value> entry = checked->entryOf(record, *id);
    if (!entry) return entry;
    if (!apps.emplace(std::string(*id), std::move(entry).value()).second) {
      return Status::Error("its index names " + std::string(*id) + " twice");
    }
  }
  return plist::MutableDict(checked->top)
      .set(key::kApps, plist::Value::dict(plist::Dict(std::move(apps))))
      .build();
}

namespace {

// SpringBoard's entries of the last image it published.
Mutex g_published_mutex;
SettingsImageParts& publishedParts() {
  static auto* parts = new SettingsImageParts;  // lives as long as the process
  return *parts;
}

Status publishImage(const plist::Value& document, const SettingsFileIdentity& source) {
  Result<std::string> image = [&] {
    MutexLock lock(g_published_mutex);
    return encodeSettingsImage(document, source, &publishedParts());
  }();
  if (!image) return image.status();
  const std::filesystem::path target = paths::resolve(kSettingsImagePath);
  std::error_code ignored;
  std::filesystem::create_directories(target.parent_path(), ignored);
  return plist::writeBytesAtomically(target, *image, /*durable=*/false);
}

}  // namespace

Status publishSettingsImage(const plist::Value& document) {
  const std::optional<SettingsFileIdentity> identity =
      settingsFileIdentity(paths::resolve(kSettingsPath));
  if (!identity) return Status::Error("the settings file cannot be stat'ed");
  return publishImage(document, *identity);
}

void publishSettingsImageIfStale() {
  Result<plist::Value> current = readSettingsPart(std::nullopt);
  if (current) return;
  const std::filesystem::path file = paths::resolve(kSettingsPath);
  const std::optional<SettingsFileIdentity> before = settingsFileIdentity(file);
  if (!before) return;  // nothing to publish yet
  Result<plist::Value> document = plist::readDictionaryFile(file);
  if (!document) return;  // unreadable: readers fall back to the file and say so
  // The image must name the version that was read: a file replaced while it
  // was read is left to the next save.
  if (settingsFileIdentity(file) != before) return;
  Status published = publishImage(*document, *before);
  log::line(published ? "settings image published (" + current.reason() + ")"
                      : "settings image not published: " + published.reason(),
            published ? log::Level::kInfo : log::Level::kWarning);
}

Result<plist::Value> readSettingsPart(std::optional<std::string_view> bundleId) {
  const std::optional<SettingsFileIdentity> identity =
      settingsFileIdentity(paths::resolve(kSettingsPath));
  if (!identity) return Status::Error("there is no settings file");
  MappedFile mapped;
  if (Status opened = mapped.open(paths::resolve(kSettingsImagePath)); !opened) return opened;
  return decodeSettingsImage(mapped.bytes(), bundleId, &*identity);
}

Result<plist::Value> readSettingsDocument() {
  const std::optional<SettingsFileIdentity> identity =
      settingsFileIdentity(paths::resolve(kSettingsPath));
  if (!identity) return Status::Error("there is no settings file");
  MappedFile mapped;
  if (Status opened = mapped.open(paths::resolve(kSettingsImagePath)); !opened) return opened;
  return decodeWholeSettingsImage(mapped.bytes(), &*identity);
}

plist::Value loadSettingsForApp(std::optional<std::string_view> bundleId) {
  Result<plist::Value> part = readSettingsPart(bundleId);
  if (part) return std::move(part).value();
  log::line("settings image not used, reading the settings file: " + part.reason(),
            log::Level::kDebug);
  return PrefHandler::loadSettings();
}

}  // namespace sentrel
