#include "platform/uikit/display_link.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/log/system_log.h"
#include "platform/paths/device_paths.h"
#include "platform/uikit/control.h"
#include "platform/uikit/image.h"
#include "platform/uikit/label.h"
#include "platform/uikit/text_field.h"

namespace sentrel::uikit {
namespace {

constexpr const char* kSocketName = "display.socket";
constexpr const char* kProfileName = "screen.profile";
constexpr size_t kMaxProfileBytes = 256;

display::Color toColor(const std::optional<UIColor>& color, UIUserInterfaceStyle style) {
  if (!color) return {};
  const UIColor c = color->resolvedColor(style);
  return {c.red(), c.green(), c.blue(), c.alpha()};
}

display::TextAlignment toAlignment(NSTextAlignment alignment) {
  switch (alignment) {
    case NSTextAlignment::kLeft:
      return display::TextAlignment::kLeft;
    case NSTextAlignment::kCenter:
      return display::TextAlignment::kCenter;
    case NSTextAlignment::kRight:
      return display::TextAlignment::kRight;
    case NSTextAlignment::kJustified:
      return display::TextAlignment::kJustified;
    case NSTextAlignment::kNatural:
      break;
  }
  return display::TextAlignment::kNatural;
}

display::TextRun run(std::string text, const Font& font, const display::Color& color) {
  return {std::move(text), std::string(Font::cssFamily()), font.cssWeight(), font.pointSize(),
          color};
}

// A text field's border style as the page draws it, unless its layer has a
// border of its own. The field being typed into has a tinted border.
void drawFieldBorder(const UITextField& field, UIUserInterfaceStyle style, display::Node& node) {
  if (field.borderStyle() == UITextBorderStyle::kNone || node.border.width > 0) return;
  UIColor color = UIColor::systemGrayColor();
  switch (field.borderStyle()) {
    case UITextBorderStyle::kNone:
    case UITextBorderStyle::kBezel:
      break;
    case UITextBorderStyle::kLine:
      color = UIColor::labelColor();
      break;
    case UITextBorderStyle::kRoundedRect:
      color = UIColor::separatorColor();
      node.corner_radius = std::max(node.corner_radius, 5.0);
      if (node.background.alpha == 0)
        node.background = toColor(UIColor::systemBackgroundColor(), style);
      break;
  }
  if (field.isFirstResponder()) color = UIColor::systemBlueColor();
  node.border = {1, toColor(color, style)};
}

bool isContinuation(const std::string& text, size_t at) {
  return at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
}

// The runs of attributed text: the base font, then each range on top (a
// later range wins), cut where the font changes. Range edges inside a
// character widen to cover it, as the measuring code does.
std::vector<display::TextRun> runs(const AttributedText& text, const display::Color& color) {
  std::vector<display::TextRun> out;
  if (text.text.empty()) return out;
  std::vector<const Font*> fontAt(text.text.size(), &text.font);
  for (const FontRange& range : text.ranges) {
    if (range.location >= text.text.size()) continue;
    size_t start = range.location;
    size_t end = range.length > text.text.size() - start ? text.text.size() : start + range.length;
    while (start > 0 && isContinuation(text.text, start)) --start;
    while (isContinuation(text.text, end)) ++end;
    for (size_t i = start; i < end; ++i) fontAt[i] = &range.font;
  }
  size_t begin = 0;
  for (size_t i = 1; i <= text.text.size(); ++i) {
    if (i < text.text.size() && *fontAt[i] == *fontAt[begin]) continue;
    out.push_back(run(text.text.substr(begin, i - begin), *fontAt[begin], color));
    begin = i;
    if (out.size() == display::kMaxRunsPerNode - 1 && i < text.text.size()) {
      // Past the limit the rest goes in one run of the last font.
      out.push_back(run(text.text.substr(i), *fontAt[i], color));
      break;
    }
  }
  return out;
}

bool finite(const CGRect& r) {
  return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
         std::isfinite(r.size.height);
}

// A rectangle with a size that is not negative, moved by -origin.
// How far the field's text rect lies inside its bounds (never negative).
display::Insets textInsets(const UITextField& field) {
  const CGRect b = field.bounds();
  const CGRect t = field.textRectForBounds(b);
  if (!finite(b) || !finite(t)) return {};
  auto clear = [](double v) { return std::max(0.0, v); };
  return {clear(t.origin.y - b.origin.y), clear(t.origin.x - b.origin.x),
          clear(b.origin.y + b.size.height - t.origin.y - t.size.height),
          clear(b.origin.x + b.size.width - t.origin.x - t.size.width)};
}

display::Rect standardized(const CGRect& r, CGPoint origin) {
  display::Rect out{r.origin.x - origin.x, r.origin.y - origin.y, r.size.width, r.size.height};
  if (out.width < 0) {
    out.x += out.width;
    out.width = -out.width;
  }
  if (out.height < 0) {
    out.y += out.height;
    out.height = -out.height;
  }
  return out;
}

bool anyNeedsLayout(const UIView& view) {
  if (view.needsLayout()) return true;
  for (const auto& sub : view.subviews())
    if (anyNeedsLayout(*sub)) return true;
  return false;
}

// Lays a window out until no view of it asks for layout (a layoutSubviews
// may ask again for a view the pass has already been through), a few passes
// at most.
void settleLayout(UIWindow& window) {
  for (int pass = 0; pass < 4; ++pass) {
    window.layoutIfNeeded();
    if (!anyNeedsLayout(window)) return;
  }
}

bool inRange(double v, double limit) {
  return std::isfinite(v) && v >= -limit && v <= limit;
}

// The layer's matrix, row by row; null when an entry is beyond what the
// protocol carries.
std::optional<display::Transform3D> toTransform(const CATransform3D& t) {
  const double* values = &t.m11;
  display::Transform3D out;
  for (size_t i = 0; i < 16; ++i) {
    if (!inRange(values[i], display::kMaxTransformEntry)) return std::nullopt;
    out.m[i] = values[i];
  }
  return out;
}

display::AnimationCurve toCurve(const UIViewAnimationTiming& timing) {
  if (timing.spring) return display::AnimationCurve::kSpring;
  switch (timing.curve) {
    case UIViewAnimationCurve::kEaseIn:
      return display::AnimationCurve::kEaseIn;
    case UIViewAnimationCurve::kEaseOut:
      return display::AnimationCurve::kEaseOut;
    case UIViewAnimationCurve::kLinear:
      return display::AnimationCurve::kLinear;
    case UIViewAnimationCurve::kEaseInOut:
      break;
  }
  return display::AnimationCurve::kEaseInOut;
}

display::AnimatedProperty toProperty(UIViewAnimatedProperty property) {
  switch (property) {
    case UIViewAnimatedProperty::kAlpha:
      return display::AnimatedProperty::kAlpha;
    case UIViewAnimatedProperty::kBackgroundColor:
      return display::AnimatedProperty::kBackground;
    case UIViewAnimatedProperty::kTransform:
      return display::AnimatedProperty::kTransform;
    case UIViewAnimatedProperty::kFrame:
    case UIViewAnimatedProperty::kBounds:
    case UIViewAnimatedProperty::kCenter:
      break;
  }
  return display::AnimatedProperty::kFrame;
}

// The node frame a view had before the changes `records` (in the order they
// were made) describe, given the frame it has now. Frame, centre and bounds
// changes are undone from the last to the first.
display::Rect frameBefore(const std::vector<const UIViewPropertyAnimation*>& records,
                          display::Rect now, CGPoint parentOrigin) {
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const UIViewPropertyAnimation& r = **it;
    if (r.property == UIViewAnimatedProperty::kFrame) {
      if (const auto* f = std::get_if<CGRect>(&r.from); f && finite(*f))
        now = standardized(*f, parentOrigin);
    } else if (r.property == UIViewAnimatedProperty::kCenter) {
      if (const auto* c = std::get_if<CGPoint>(&r.from)) {
        now.x = c->x - parentOrigin.x - now.width / 2;
        now.y = c->y - parentOrigin.y - now.height / 2;
      }
    } else if (r.property == UIViewAnimatedProperty::kBounds) {
      if (const auto* b = std::get_if<CGRect>(&r.from); b && finite(*b)) {
        const double cx = now.x + now.width / 2;
        const double cy = now.y + now.height / 2;
        now.width = std::fabs(b->size.width);
        now.height = std::fabs(b->size.height);
        now.x = cx - now.width / 2;
        now.y = cy - now.height / 2;
      }
    }
  }
  return now;
}

void setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

}  // namespace

DisplayLink::DisplayLink(runloop::RunLoop& loop, std::filesystem::path deviceRoot,
                         size_t maxPendingBytes)
    : loop_(loop),
      deviceRoot_(std::move(deviceRoot)),
      maxPendingBytes_(maxPendingBytes),
      alive_(std::make_shared<bool>(true)) {}

DisplayLink::~DisplayLink() {
  *alive_ = false;
  if (retryTimer_ != 0) loop_.cancel(retryTimer_);
  if (fd_ >= 0) {
    UIView::setDirtyObserver({});
    loop_.unwatchFd(watch_);
    ::close(fd_);
  }
}

std::filesystem::path DisplayLink::socketPath(const std::filesystem::path& root) {
  return paths::resolveUnder(root, paths::kRunDir) / kSocketName;
}

DeviceProfile DisplayLink::screenProfile(const std::filesystem::path& root) {
  const std::filesystem::path file = paths::resolveUnder(root, paths::kRunDir) / kProfileName;
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  std::string text(kMaxProfileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxProfileBytes) {
    log::line("DisplayLink: " + file.string() + " is too long; using the default screen",
              log::Level::kWarning);
    return {};
  }
  auto profile = DeviceProfile::parse(text);
  if (!profile) {
    log::line("DisplayLink: bad screen profile in " + file.string() + ": " + profile.reason() +
                  "; using the default screen",
              log::Level::kWarning);
    return {};
  }
  return *profile;
}

bool DisplayLink::connect(const std::filesystem::path& path, std::string_view processName,
                          int64_t pid) {
  socketPath_ = path;
  processName_ = std::string(processName);
  pid_ = pid;
  auto fail = [&](const std::string& why) {
    if (!saidNoScreen_)
      log::line("DisplayLink: " + why + "; running without a screen" +
                (keepConnecting_ ? " until backboardd answers" : ""));
    saidNoScreen_ = true;
    scheduleRetry();
    return false;
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = path.string();
  if (name.size() >= sizeof(address.sun_path)) {
    keepConnecting_ = false;  // it will not get shorter
    return fail("socket path too long (" + name + ")");
  }
  std::memcpy(address.sun_path, name.c_str(), name.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(std::string("no socket: ") + std::strerror(errno));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    ::close(fd);
    return fail("backboardd is not reachable at " + name + " (" + std::strerror(error) + ")");
  }
  if (saidNoScreen_) log::line("DisplayLink: connected to backboardd");
  saidNoScreen_ = false;
  retryDelay_ = kFirstRetryDelay;
  return adopt(fd, processName, pid);
}

bool DisplayLink::adopt(int fd, std::string_view processName, int64_t pid) {
  if (fd < 0) return false;
  if (fd_ >= 0) disconnect("replaced by a new connection");
  setNonBlocking(fd);
  fd_ = fd;
  reader_ = display::FrameReader();
  pending_.clear();
  pendingOffset_ = 0;
  committed_.clear();
  resync_ = true;
  watchingWrites_ = false;
  watch_ = loop_.watchFd(fd_, POLLIN, [this](short revents) { onReadable(revents); });
  std::weak_ptr<bool> alive = alive_;
  UIView::setDirtyObserver([this, alive] {
    if (alive.lock()) scheduleFlush();
  });
  send(display::Hello{std::string(processName), pid}, false);
  if (fd_ >= 0) scheduleFlush();
  return fd_ >= 0;
}

void DisplayLink::scheduleRetry() {
  if (!keepConnecting_ || socketPath_.empty() || retryTimer_ != 0) return;
  std::weak_ptr<bool> alive = alive_;
  retryTimer_ = loop_.postDelayed(retryDelay_, [this, alive] {
    auto live = alive.lock();
    if (!live || !*live) return;
    retryTimer_ = 0;
    if (fd_ < 0) connect(socketPath_, processName_, pid_);
  });
  retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
}

void DisplayLink::scheduleFlush() {
  if (flushing_ || flushPosted_ || fd_ < 0) return;
  flushPosted_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_.post([this, alive] {
    auto live = alive.lock();
    if (!live || !*live) return;
    flushPosted_ = false;
    flush();
  });
}

display::WindowTree DisplayLink::windowTree(UIWindow& window) const {
  display::WindowTree tree;
  tree.window_id = static_cast<int64_t>(window.renderId());
  tree.level = window.windowLevel();
  tree.hidden = window.isHidden();
  const CGRect frame = window.frame();
  if (finite(frame)) tree.frame = standardized(frame, {0, 0});
  tree.background = toColor(window.backgroundColor(), window.userInterfaceStyle());

  const std::string root = deviceRoot_.lexically_normal().string();
  // Depth first, parents before children.
  std::vector<std::pair<UIView*, int64_t>> stack;
  for (auto it = window.subviews().rbegin(); it != window.subviews().rend(); ++it)
    stack.emplace_back(it->get(), 0);
  while (!stack.empty() && tree.nodes.size() < display::kMaxNodesPerWindow) {
    auto [view, parent] = stack.back();
    stack.pop_back();
    const UIUserInterfaceStyle style = view->userInterfaceStyle();
    display::Node node;
    node.id = static_cast<int64_t>(view->renderId());
    node.parent = parent;
    // In the parent layer's coordinates: the superview's bounds origin (its
    // scroll offset) moves its subviews.
    const CGRect f = view->frame();
    const CGRect& pb = view->superview()->bounds();
    if (finite(f) && finite(pb)) node.frame = standardized(f, pb.origin);
    node.background = toColor(view->backgroundColor(), style);
    node.alpha = view->alpha();
    node.hidden = view->isHidden();
    node.corner_radius = view->layer().cornerRadius();
    node.border = {view->layer().borderWidth(), toColor(view->layer().borderColor(), style)};
    node.clips = view->clipsToBounds();
    if (auto t = toTransform(view->layer().transform())) node.transform = *t;
    if (inRange(view->layer().zPosition(), 1e9)) node.z_position = view->layer().zPosition();
    if (auto it = animations_.find(view->renderId()); it != animations_.end())
      node.animations = it->second;
    if (auto* label = dynamic_cast<UILabel*>(view)) {
      node.text = runs(label->attributedText(), toColor(label->textColor(), style));
      node.alignment = toAlignment(label->textAlignment());
      node.lines = label->numberOfLines();
      node.vertical_alignment = display::TextVerticalAlignment::kCenter;
    } else if (auto* textView = dynamic_cast<UITextView*>(view)) {
      node.text = runs(textView->attributedText(), toColor(textView->textColor(), style));
      node.alignment = toAlignment(textView->textAlignment());
      node.lines = 0;
    } else if (auto* field = dynamic_cast<UITextField*>(view)) {
      std::string shown = field->displayText();
      if (!shown.empty()) {
        node.text.push_back(
            run(std::move(shown), field->font(), toColor(field->textColor(), style)));
      } else if (!field->placeholder().empty()) {
        node.text.push_back(
            run(field->placeholder(), field->font(), toColor(UIColor::systemGrayColor(), style)));
      }
      node.lines = 1;
      node.text_insets = textInsets(*field);
      drawFieldBorder(*field, style, node);
    } else if (auto* imageView = dynamic_cast<UIImageView*>(view)) {
      if (imageView->image()) {
        const std::string path =
            std::filesystem::path(imageView->image()->path()).lexically_normal().string();
        if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
            (root.back() == '/' || path[root.size()] == '/'))
          node.image_path = path.substr(root.back() == '/' ? root.size() - 1 : root.size());
      }
    }
    tree.nodes.push_back(std::move(node));
    const int64_t id = static_cast<int64_t>(view->renderId());
    for (auto it = view->subviews().rbegin(); it != view->subviews().rend(); ++it)
      stack.emplace_back(it->get(), id);
  }
  return tree;
}

void DisplayLink::takeAnimations(UIWindow& window, double now) {
  for (auto& [view, records] : window.collectPendingAnimations()) {
    const UIUserInterfaceStyle style = view->userInterfaceStyle();
    std::vector<display::Animation>& active = animations_[view->renderId()];
    // The changes of this batch, grouped by what they move on the page.
    std::vector<std::pair<display::AnimatedProperty, std::vector<const UIViewPropertyAnimation*>>>
        groups;
    for (const UIViewPropertyAnimation& r : records) {
      const display::AnimatedProperty property = toProperty(r.property);
      auto group = std::find_if(groups.begin(), groups.end(),
                                [&](const auto& g) { return g.first == property; });
      if (group == groups.end()) group = groups.insert(groups.end(), {property, {}});
      group->second.push_back(&r);
    }
    for (const auto& group : groups) {
      const display::AnimatedProperty property = group.first;
      const std::vector<const UIViewPropertyAnimation*>& changes = group.second;
      const UIViewPropertyAnimation& first = *changes.front();
      const UIViewPropertyAnimation& last = *changes.back();
      display::Animation a;
      a.property = property;
      switch (property) {
        case display::AnimatedProperty::kFrame: {
          if (!view->superview()) break;
          const CGRect f = view->frame();
          const CGRect& pb = view->superview()->bounds();
          if (!finite(f) || !finite(pb)) break;
          const display::Rect to = standardized(f, pb.origin);
          const display::Rect from = frameBefore(changes, to, pb.origin);
          if (from != to) a.from = {from.x, from.y, from.width, from.height};
          break;
        }
        case display::AnimatedProperty::kAlpha:
          if (const auto* v = std::get_if<double>(&first.from); v && *v != view->alpha())
            a.from = {std::clamp(*v, 0.0, 1.0)};
          break;
        case display::AnimatedProperty::kBackground:
          if (const auto* c = std::get_if<std::optional<UIColor>>(&first.from)) {
            const display::Color from = toColor(*c, style);
            if (from != toColor(view->backgroundColor(), style))
              a.from = {from.red, from.green, from.blue, from.alpha};
          }
          break;
        case display::AnimatedProperty::kTransform:
          if (const auto* t = std::get_if<CATransform3D>(&first.from);
              t && *t != view->layer().transform()) {
            if (auto m = toTransform(*t)) a.from.assign(m->m.begin(), m->m.end());
          }
          break;
      }
      if (a.from.empty()) continue;  // back where it was: nothing moves
      const UIViewAnimationTiming& timing = last.timing;
      a.id = nextAnimationId_++;
      a.curve = toCurve(timing);
      a.duration = std::clamp(timing.duration, 0.001, display::kMaxAnimationSeconds);
      a.delay = std::clamp(timing.delay, 0.0, display::kMaxAnimationSeconds);
      if (a.curve == display::AnimationCurve::kSpring) {
        a.damping = std::clamp(timing.dampingRatio, 0.01, 1.0);
        a.velocity = std::clamp(timing.initialVelocity, -1e6, 1e6);
      }
      a.start = std::min(display::secondsOf(last.began), now);
      // Made while there was no screen and over since: the model shows.
      if (a.start + a.delay + a.duration <= now) continue;
      // A new animation of a property takes over from a running one.
      std::erase_if(active,
                    [&](const display::Animation& old) { return old.property == property; });
      active.push_back(std::move(a));
    }
    if (active.size() > display::kMaxAnimationsPerNode)
      active.erase(active.begin(), active.end() - display::kMaxAnimationsPerNode);
    if (active.empty()) animations_.erase(view->renderId());
  }
}

void DisplayLink::pruneAnimations(double now) {
  for (auto it = animations_.begin(); it != animations_.end();) {
    std::erase_if(it->second, [&](const display::Animation& a) {
      return a.start + a.delay + a.duration <= now;
    });
    it = it->second.empty() ? animations_.erase(it) : std::next(it);
  }
}

void DisplayLink::flush() {
  if (fd_ < 0) return;
  flushing_ = true;
  auto windows = UIApplication::sharedApplication().windows();
  for (auto& window : windows) settleLayout(*window);
  const double now = display::secondsOf(loop_.clock().now());
  pruneAnimations(now);
  for (auto& window : windows) takeAnimations(*window, now);
  display::Commit commit;
  commit.time = now;
  std::set<int64_t> visible;
  bool whole = true;  // every visible window is in this commit
  for (auto& window : windows) {
    const int64_t id = static_cast<int64_t>(window->renderId());
    visible.insert(id);
    const bool changed = !window->collectDirtyViews().empty();
    if (!changed && !resync_ && committed_.count(id)) continue;
    if (commit.windows.size() == display::kMaxWindowsPerCommit) {
      whole = false;
      continue;
    }
    display::WindowTree tree = windowTree(*window);
    if (Status valid = display::validateWindowTree(tree); !valid.ok()) {
      log::line("DisplayLink: window " + std::to_string(id) + " not committed: " + valid.reason(),
                log::Level::kError);
      continue;
    }
    commit.windows.push_back(std::move(tree));
  }
  flushing_ = false;
  std::vector<int64_t> gone;
  for (int64_t id : committed_)
    if (!visible.count(id)) gone.push_back(id);
  for (int64_t id : gone) {
    if (!send(display::RemoveWindow{id}, false)) return;
    committed_.erase(id);
  }
  if (commit.windows.empty()) {
    resync_ = resync_ && !whole;
    return;
  }
  if (!send(commit, true)) return;
  for (const auto& tree : commit.windows) committed_.insert(tree.window_id);
  resync_ = !whole;
}

bool DisplayLink::send(const display::ClientMessage& message, bool dropIfFull) {
  if (fd_ < 0) return false;
  auto payload = display::encodeClientMessage(message);
  if (!payload) {
    log::line("DisplayLink: cannot encode a message: " + payload.reason(), log::Level::kError);
    return false;
  }
  auto framed = display::frameMessage(*payload);
  if (!framed) {
    log::line("DisplayLink: message not sent: " + framed.reason(), log::Level::kError);
    return false;
  }
  if (pending_.size() - pendingOffset_ + framed->size() > maxPendingBytes_) {
    if (dropIfFull) {
      log::line(
          "DisplayLink: backboardd is behind; the windows are committed again once it "
          "catches up",
          log::Level::kWarning);
      resync_ = true;
      return false;
    }
    disconnect("too much unsent output");
    return false;
  }
  pending_ += *framed;
  writePending();
  return fd_ >= 0;
}

void DisplayLink::writePending() {
  while (fd_ >= 0 && pendingOffset_ < pending_.size()) {
    ssize_t n = ::send(fd_, pending_.data() + pendingOffset_, pending_.size() - pendingOffset_,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      pendingOffset_ += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    disconnect(n < 0 ? std::strerror(errno) : "the socket took nothing");
    return;
  }
  if (fd_ < 0) return;
  if (pendingOffset_ == pending_.size()) {
    pending_.clear();
    pendingOffset_ = 0;
    if (resync_) scheduleFlush();
  } else if (pendingOffset_ > pending_.size() / 2) {
    pending_.erase(0, pendingOffset_);
    pendingOffset_ = 0;
  }
  rewatch();
}

void DisplayLink::rewatch() {
  const bool wantWrites = pendingOffset_ < pending_.size();
  if (wantWrites == watchingWrites_ || fd_ < 0) return;
  loop_.unwatchFd(watch_);
  watchingWrites_ = wantWrites;
  watch_ = loop_.watchFd(fd_, static_cast<short>(POLLIN | (wantWrites ? POLLOUT : 0)),
                         [this](short revents) { onReadable(revents); });
}

void DisplayLink::onReadable(short revents) {
  if (fd_ < 0) return;
  if (revents & POLLOUT) writePending();
  if (fd_ < 0 || !(revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) return;
  char buffer[16 * 1024];
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) {
      reader_.append(std::string_view(buffer, static_cast<size_t>(n)));
      if (static_cast<size_t>(n) < sizeof(buffer)) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    disconnect(n == 0 ? "backboardd closed the connection" : std::strerror(errno));
    return;
  }
  while (fd_ >= 0) {
    auto payload = reader_.next();
    if (!payload) break;
    auto message = display::decodeServerMessage(
        {reinterpret_cast<const uint8_t*>(payload->data()), payload->size()});
    if (!message) {
      disconnect("malformed message from backboardd: " + message.reason());
      return;
    }
    handle(*message);
  }
  if (fd_ >= 0 && !reader_.error().ok())
    disconnect("bad framing from backboardd: " + reader_.error().reason());
}

void DisplayLink::handle(const display::ServerMessage& message) {
  if (const auto* touch = std::get_if<display::Touch>(&message)) {
    for (auto& window : UIApplication::sharedApplication().windows()) {
      if (static_cast<int64_t>(window->renderId()) != touch->window_id) continue;
      // The page has one pointer: every touch is finger 1. The time is when
      // the event arrived, which is what a pan's velocity is measured by.
      UITouch t;
      t.identifier = 1;
      t.timestamp =
          std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      t.locationInWindow = {touch->point.x, touch->point.y};
      switch (touch->phase) {
        case display::TouchPhase::kBegan:
          t.phase = UITouchPhase::kBegan;
          break;
        case display::TouchPhase::kMoved:
          t.phase = UITouchPhase::kMoved;
          break;
        case display::TouchPhase::kEnded:
          t.phase = UITouchPhase::kEnded;
          break;
        case display::TouchPhase::kCancelled:
          t.phase = UITouchPhase::kCancelled;
          break;
      }
      window->sendTouch(t);
      return;
    }
    return;  // a window hidden since: the touch is late, not wrong
  }
  const auto& key = std::get<display::KeyText>(message);
  UIWindow* window = UIApplication::sharedApplication().keyWindow();
  auto* field = window ? dynamic_cast<UITextField*>(window->firstResponder()) : nullptr;
  if (!field) return;
  // Backspace arrives as "\b" (or DEL), return as "\n" (or "\r"); the rest is
  // typed as it comes.
  std::string typed;
  auto typeOut = [&] {
    if (!typed.empty()) field->insertText(typed);
    typed.clear();
  };
  for (char c : key.text) {
    if (c == '\b' || c == '\x7f') {
      typeOut();
      field->deleteBackward();
    } else if (c == '\n' || c == '\r') {
      typeOut();
      field->insertText("\n");
    } else {
      typed += c;
    }
  }
  typeOut();
}

void DisplayLink::disconnect(std::string_view why) {
  if (fd_ < 0) return;
  log::line("DisplayLink: lost backboardd (" + std::string(why) + "); running without a screen",
            log::Level::kWarning);
  saidNoScreen_ = true;
  loop_.unwatchFd(watch_);
  ::close(fd_);
  fd_ = -1;
  watchingWrites_ = false;
  pending_.clear();
  pendingOffset_ = 0;
  committed_.clear();
  UIView::setDirtyObserver({});
  scheduleRetry();
}

DisplayLink& DisplayLink::startForProcess(std::string_view processName) {
  static DisplayLink* link = [&] {
    const std::filesystem::path root = paths::deviceRoot();
    UIScreen::mainScreen().setProfile(screenProfile(root));
    auto* made = new DisplayLink(runloop::MainQueue::get(), root);  // lives as long as the process
    made->keepConnecting();
    made->connect(socketPath(root), processName, static_cast<int64_t>(::getpid()));
    return made;
  }();
  return *link;
}

}  // namespace sentrel::uikit
