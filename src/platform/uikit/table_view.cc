#include "platform/uikit/table_view.h"

#include <algorithm>
#include <cmath>

#include "platform/log/system_log.h"
#include "platform/uikit/main_thread.h"
#include "platform/uikit/touch.h"

namespace sentrel::uikit {

namespace {

constexpr double kAnimation = 0.25;
constexpr double kDeleteButtonWidth = 80;
constexpr double kDeleteControlSize = 22;
constexpr double kImageSize = 29;
constexpr double kAccessoryWidth = 20;

bool finite(double v) {
  return std::isfinite(v);
}

UIColor groupedBackground() {
  return UIColor::dynamic(UIColor::colorWithRed(242 / 255.0, 242 / 255.0, 247 / 255.0, 1),
                          UIColor::colorWithWhite(0, 1));
}

UIColor highlightColor() {
  return UIColor::dynamic(UIColor::colorWithWhite(0.82, 1), UIColor::colorWithWhite(0.23, 1));
}

}  // namespace

// ---- UIScrollView ----

void UIScrollView::setContentSize(CGSize size) {
  contentSize_.width = finite(size.width) ? std::max(0.0, size.width) : 0;
  contentSize_.height = finite(size.height) ? std::max(0.0, size.height) : 0;
  setContentOffset(contentOffset());
}

CGPoint UIScrollView::clampedOffset(CGPoint offset) const {
  const CGSize visible = bounds().size;
  const double maxX = std::max(0.0, contentSize_.width - visible.width);
  const double maxY = std::max(0.0, contentSize_.height - visible.height);
  return {std::clamp(finite(offset.x) ? offset.x : 0.0, 0.0, maxX),
          std::clamp(finite(offset.y) ? offset.y : 0.0, 0.0, maxY)};
}

void UIScrollView::setContentOffset(CGPoint offset, bool animated) {
  const CGPoint target = clampedOffset(offset);
  if (target == contentOffset()) return;
  auto apply = [this, target] {
    CGRect b = bounds();
    b.origin = target;
    setBounds(b);
  };
  if (animated) {
    UIView::animateWithDuration(kAnimation, apply);
  } else {
    apply();
  }
}

void UIScrollView::scrollRectToVisible(const CGRect& rect, bool animated) {
  const CGRect visible = bounds();
  CGPoint offset = visible.origin;
  if (rect.origin.y < visible.origin.y) {
    offset.y = rect.origin.y;
  } else if (rect.origin.y + rect.size.height > visible.origin.y + visible.size.height) {
    offset.y = rect.origin.y + rect.size.height - visible.size.height;
  }
  setContentOffset(offset, animated);
}

void UIScrollView::touchesBegan(const UITouch& touch) {
  touchStart_ = touch.locationInWindow;
  offsetAtStart_ = contentOffset();
  dragging_ = false;
}

void UIScrollView::touchesMoved(const UITouch& touch) {
  if (!touchStart_) return;
  const double dy = touch.locationInWindow.y - touchStart_->y;
  if (!dragging_ && std::fabs(dy) < kDragThreshold) return;
  dragging_ = true;
  setContentOffset({offsetAtStart_.x, offsetAtStart_.y - dy});
}

void UIScrollView::touchesEnded(const UITouch&) {
  touchStart_.reset();
  dragging_ = false;
}

void UIScrollView::touchesCancelled(const UITouch&) {
  touchStart_.reset();
  dragging_ = false;
}

// ---- UITableViewCell ----

UIColor UITableViewCell::groupedCellColor() {
  return UIColor::dynamic(UIColor::whiteColor(),
                          UIColor::colorWithRed(28 / 255.0, 28 / 255.0, 30 / 255.0, 1));
}

UITableViewCell::UITableViewCell(UITableViewCellStyle style, std::string reuseIdentifier)
    : UIView(CGRectMake(0, 0, 320, kRowHeight)),
      style_(style),
      reuseIdentifier_(std::move(reuseIdentifier)) {
  contentView_ = std::make_shared<UIView>(bounds());
  addSubview(contentView_);
  imageView_ = std::make_shared<UIImageView>();
  contentView_->addSubview(imageView_);
  textLabel_ = std::make_shared<UILabel>();
  textLabel_->setFont(Font::systemFont(kFontSize));
  contentView_->addSubview(textLabel_);
  if (style_ != UITableViewCellStyle::kDefault) {
    detailTextLabel_ = std::make_shared<UILabel>();
    const bool subtitle = style_ == UITableViewCellStyle::kSubtitle;
    detailTextLabel_->setFont(Font::systemFont(subtitle ? 13 : kFontSize));
    detailTextLabel_->setTextColor(UIColor::secondaryLabelColor());
    if (!subtitle) detailTextLabel_->setTextAlignment(NSTextAlignment::kRight);
    contentView_->addSubview(detailTextLabel_);
  }
  refreshBackground();
}

void UITableViewCell::setAccessoryType(UITableViewCellAccessoryType type) {
  accessoryType_ = type;
  if (type == UITableViewCellAccessoryType::kNone) {
    if (accessoryGlyph_) accessoryGlyph_->removeFromSuperview();
    accessoryGlyph_.reset();
  } else {
    if (!accessoryGlyph_) {
      accessoryGlyph_ = std::make_shared<UILabel>();
      addSubview(accessoryGlyph_);
    }
    const bool check = type == UITableViewCellAccessoryType::kCheckmark;
    accessoryGlyph_->setText(check ? "\u2713" : "\u203A");
    accessoryGlyph_->setFont(Font::systemFont(check ? 17 : 22, FontWeight::kSemibold));
    accessoryGlyph_->setTextColor(check ? tintColor() : UIColor::systemGrayColor());
    accessoryGlyph_->setTextAlignment(NSTextAlignment::kCenter);
  }
  setNeedsLayout();
}

void UITableViewCell::setAccessoryView(UIViewRef view) {
  if (accessoryView_) accessoryView_->removeFromSuperview();
  accessoryView_ = std::move(view);
  if (accessoryView_) addSubview(accessoryView_);
  setNeedsLayout();
}

void UITableViewCell::setHighlighted(bool highlighted) {
  if (selectionStyle_ == UITableViewCellSelectionStyle::kNone) highlighted = false;
  if (highlighted_ == highlighted) return;
  highlighted_ = highlighted;
  refreshBackground();
}

void UITableViewCell::setSelected(bool selected, bool) {
  if (selectionStyle_ == UITableViewCellSelectionStyle::kNone) selected = false;
  if (selected_ == selected) return;
  selected_ = selected;
  refreshBackground();
}

void UITableViewCell::refreshBackground() {
  setBackgroundColor((highlighted_ || selected_) ? highlightColor() : groupedCellColor());
}

void UITableViewCell::setDeleteControlShown(bool shown) {
  if (shown == (deleteControl_ != nullptr)) return;
  if (!shown) {
    deleteControl_->removeFromSuperview();
    deleteControl_.reset();
  } else {
    deleteControl_ = UIButton::buttonWithType(UIButtonType::kCustom);
    deleteControl_->setTitle("\u2212", UIControlStateNormal);
    deleteControl_->setTitleFont(Font::systemFont(17, FontWeight::kBold));
    deleteControl_->setBackgroundColor(UIColor::systemRedColor());
    deleteControl_->layer().setCornerRadius(kDeleteControlSize / 2);
    addSubview(deleteControl_);
  }
  setNeedsLayout();
}

void UITableViewCell::setDeleteButtonShown(bool shown) {
  if (shown == (deleteButton_ != nullptr)) return;
  if (!shown) {
    deleteButton_->removeFromSuperview();
    deleteButton_.reset();
  } else {
    deleteButton_ = UIButton::buttonWithType(UIButtonType::kCustom);
    deleteButton_->setBackgroundColor(UIColor::systemRedColor());
    addSubview(deleteButton_);
  }
  setNeedsLayout();
}

void UITableViewCell::layoutSubviews() {
  const CGRect b = bounds();
  double leading = 0;
  if (deleteControl_) {
    deleteControl_->setFrame(CGRectMake(kMargin, (b.size.height - kDeleteControlSize) / 2,
                                        kDeleteControlSize, kDeleteControlSize));
    leading = kMargin + kDeleteControlSize;
  }
  double trailing = b.size.width;
  if (deleteButton_) {
    deleteButton_->setFrame(
        CGRectMake(b.size.width - kDeleteButtonWidth, 0, kDeleteButtonWidth, b.size.height));
    trailing -= kDeleteButtonWidth;
  }
  if (accessoryView_ && !accessoryView_->isHidden()) {
    CGSize size = accessoryView_->intrinsicContentSize();
    if (size.width <= 0 || !finite(size.width)) size = accessoryView_->bounds().size;
    accessoryView_->setFrame(CGRectMake(trailing - kMargin - size.width,
                                        (b.size.height - size.height) / 2, size.width,
                                        size.height));
    trailing -= kMargin + size.width;
  } else if (accessoryGlyph_) {
    accessoryGlyph_->setFrame(
        CGRectMake(trailing - kMargin - kAccessoryWidth, 0, kAccessoryWidth, b.size.height));
    trailing -= kMargin + kAccessoryWidth;
  }
  contentView_->setFrame(CGRectMake(leading, 0, std::max(0.0, trailing - leading), b.size.height));

  const CGRect content = contentView_->bounds();
  double x = kMargin;
  if (imageView_->image()) {
    imageView_->setHidden(false);
    imageView_->setFrame(
        CGRectMake(x, (content.size.height - kImageSize) / 2, kImageSize, kImageSize));
    x += kImageSize + kMargin;
  } else {
    imageView_->setHidden(true);
  }
  const double right = content.size.width - (accessoryView_ || accessoryGlyph_ ? 8 : kMargin);
  const double width = std::max(0.0, right - x);
  if (style_ == UITableViewCellStyle::kSubtitle && detailTextLabel_) {
    const double titleHeight = textLabel_->intrinsicContentSize().height;
    const double detailHeight = detailTextLabel_->intrinsicContentSize().height;
    const double top = (content.size.height - titleHeight - detailHeight) / 2;
    textLabel_->setFrame(CGRectMake(x, top, width, titleHeight));
    detailTextLabel_->setFrame(CGRectMake(x, top + titleHeight, width, detailHeight));
  } else if (detailTextLabel_) {
    const double detailWidth =
        std::min(width / 2, detailTextLabel_->intrinsicContentSize().width + 1);
    detailTextLabel_->setFrame(
        CGRectMake(right - detailWidth, 0, std::max(0.0, detailWidth), content.size.height));
    textLabel_->setFrame(
        CGRectMake(x, 0, std::max(0.0, width - detailWidth - 8), content.size.height));
  } else {
    textLabel_->setFrame(CGRectMake(x, 0, width, content.size.height));
  }
}

// ---- UITableView ----

UITableView::UITableView(const CGRect& frame, UITableViewStyle style)
    : UIScrollView(frame), style_(style) {
  setBackgroundColor(style_ == UITableViewStyle::kGrouped ? groupedBackground()
                                                          : UIColor::systemBackgroundColor());
  setClipsToBounds(true);
}

long UITableView::numberOfRowsInSection(long section) const {
  if (section < 0 || section >= numberOfSections()) return 0;
  return static_cast<long>(sections_[static_cast<size_t>(section)].cells.size());
}

void UITableView::clearSections() {
  for (Section& section : sections_) {
    if (section.header) section.header->removeFromSuperview();
    if (section.footer) section.footer->removeFromSuperview();
    if (section.group) section.group->removeFromSuperview();
    for (const UITableViewCellRef& cell : section.cells) cell->removeFromSuperview();
  }
  sections_.clear();
}

void UITableView::reloadData() {
  SENTREL_UIKIT_ASSERT_MAIN_THREAD();
  clearSections();
  pressed_.reset();
  swiping_.reset();
  revealed_.reset();
  if (dataSource_ == nullptr) {
    setNeedsLayout();
    return;
  }
  const long count = std::max(0L, dataSource_->numberOfSectionsInTableView(*this));
  for (long s = 0; s < count; ++s) {
    Section section;
    auto label = [&](const std::string& text, bool header) -> std::shared_ptr<UILabel> {
      if (text.empty()) return nullptr;
      auto l = std::make_shared<UILabel>();
      l->setText(header ? text : text);
      l->setFont(Font::systemFont(kFooterFontSize));
      l->setTextColor(UIColor::secondaryLabelColor());
      l->setNumberOfLines(0);
      addSubview(l);
      return l;
    };
    section.header = label(dataSource_->titleForHeaderInSection(*this, s), true);
    section.footer = label(dataSource_->titleForFooterInSection(*this, s), false);
    const long rows = std::max(0L, dataSource_->numberOfRowsInSection(*this, s));
    if (rows > 0 && style_ == UITableViewStyle::kGrouped) {
      section.group = std::make_shared<UIView>();
      section.group->setBackgroundColor(UITableViewCell::groupedCellColor());
      section.group->layer().setCornerRadius(kCornerRadius);
      section.group->setClipsToBounds(true);
      addSubview(section.group);
    }
    for (long r = 0; r < rows; ++r) {
      const IndexPath path{s, r};
      UITableViewCellRef cell = dataSource_->cellForRowAtIndexPath(*this, path);
      if (!cell) {
        log::line("UITableView: the data source gave no cell for section " + std::to_string(s) +
                      " row " + std::to_string(r) + "; an empty one stands in",
                  log::Level::kWarning);
        cell = std::make_shared<UITableViewCell>();
      }
      double height =
          delegate_ ? delegate_->heightForRowAtIndexPath(*this, path) : UITableViewCell::kRowHeight;
      if (!finite(height) || height < 0) height = UITableViewCell::kRowHeight;
      showDeleteControl(*cell, editing_ && rowIsDeletable(path));
      if (section.group) {
        section.group->addSubview(cell);
      } else {
        addSubview(cell);
      }
      section.cells.push_back(std::move(cell));
      section.heights.push_back(height);
    }
    sections_.push_back(std::move(section));
  }
  if (selected_ && (selected_->section >= numberOfSections() ||
                    selected_->row >= numberOfRowsInSection(selected_->section))) {
    selected_.reset();
  }
  if (selected_) cellForRowAtIndexPath(*selected_)->setSelected(true);
  setNeedsLayout();
  layoutIfNeeded();
}

void UITableView::layoutSubviews() {
  if (layingOut_) return;
  layingOut_ = true;
  const double width = bounds().size.width;
  const bool grouped = style_ == UITableViewStyle::kGrouped;
  const double inset = grouped ? kGroupInset : 0;
  const double textInset = inset + UITableViewCell::kMargin;
  double y = grouped ? kSectionGap : 0;
  for (Section& section : sections_) {
    if (section.header) {
      const double textWidth = std::max(0.0, width - 2 * textInset);
      const double h = section.header->sizeThatFits({textWidth, 1e9}).height;
      y += std::max(0.0, kHeaderHeight - h - 6);
      section.header->setFrame(CGRectMake(textInset, y, textWidth, h));
      y += h + 6;
    }
    double top = y;
    double rowsHeight = 0;
    for (size_t i = 0; i < section.cells.size(); ++i) {
      const double h = section.heights[i];
      const CGRect frame = section.group ? CGRectMake(0, rowsHeight, width - 2 * inset, h)
                                         : CGRectMake(0, y + rowsHeight, width, h);
      section.cells[i]->setFrame(frame);
      section.cells[i]->layoutIfNeeded();
      rowsHeight += h;
    }
    if (section.group)
      section.group->setFrame(CGRectMake(inset, top, width - 2 * inset, rowsHeight));
    y += rowsHeight;
    if (section.footer) {
      const double textWidth = std::max(0.0, width - 2 * textInset);
      const double h = section.footer->sizeThatFits({textWidth, 1e9}).height;
      section.footer->setFrame(CGRectMake(textInset, y + 6, textWidth, h));
      y += h + 6;
    }
    y += grouped ? kSectionGap + (section.footer ? 8 : 0) : 0;
  }
  layingOut_ = false;
  setContentSize({width, y});
}

UITableViewCell* UITableView::cellForRowAtIndexPath(const IndexPath& indexPath) const {
  if (indexPath.section < 0 || indexPath.section >= numberOfSections()) return nullptr;
  const Section& section = sections_[static_cast<size_t>(indexPath.section)];
  if (indexPath.row < 0 || indexPath.row >= static_cast<long>(section.cells.size())) return nullptr;
  return section.cells[static_cast<size_t>(indexPath.row)].get();
}

std::optional<IndexPath> UITableView::indexPathForCell(const UITableViewCell* cell) const {
  for (size_t s = 0; s < sections_.size(); ++s) {
    const auto& cells = sections_[s].cells;
    for (size_t r = 0; r < cells.size(); ++r) {
      if (cells[r].get() == cell) return IndexPath{static_cast<long>(s), static_cast<long>(r)};
    }
  }
  return std::nullopt;
}

CGRect UITableView::rectForRowAtIndexPath(const IndexPath& indexPath) const {
  UITableViewCell* cell = cellForRowAtIndexPath(indexPath);
  if (cell == nullptr) return {};
  return cell->convertRect(cell->bounds(), this);
}

std::optional<IndexPath> UITableView::indexPathForRowAtPoint(CGPoint point) const {
  for (size_t s = 0; s < sections_.size(); ++s) {
    for (size_t r = 0; r < sections_[s].cells.size(); ++r) {
      const IndexPath path{static_cast<long>(s), static_cast<long>(r)};
      const CGRect rect = rectForRowAtIndexPath(path);
      if (point.x >= rect.origin.x && point.x < rect.origin.x + rect.size.width &&
          point.y >= rect.origin.y && point.y < rect.origin.y + rect.size.height)
        return path;
    }
  }
  return std::nullopt;
}

UILabel* UITableView::headerLabelForSection(long section) const {
  if (section < 0 || section >= numberOfSections()) return nullptr;
  return sections_[static_cast<size_t>(section)].header.get();
}

UILabel* UITableView::footerLabelForSection(long section) const {
  if (section < 0 || section >= numberOfSections()) return nullptr;
  return sections_[static_cast<size_t>(section)].footer.get();
}

void UITableView::deleteRowsAtIndexPaths(const std::vector<IndexPath>&, bool) {
  reloadData();
}

void UITableView::insertRowsAtIndexPaths(const std::vector<IndexPath>&, bool) {
  reloadData();
}

void UITableView::selectRowAtIndexPath(const IndexPath& indexPath, bool animated) {
  if (selected_) deselectRowAtIndexPath(*selected_, animated);
  UITableViewCell* cell = cellForRowAtIndexPath(indexPath);
  if (cell == nullptr) return;
  selected_ = indexPath;
  cell->setSelected(true, animated);
}

void UITableView::deselectRowAtIndexPath(const IndexPath& indexPath, bool animated) {
  if (UITableViewCell* cell = cellForRowAtIndexPath(indexPath)) cell->setSelected(false, animated);
  if (selected_ == indexPath) selected_.reset();
}

bool UITableView::rowIsDeletable(const IndexPath& indexPath) {
  if (dataSource_ == nullptr || !dataSource_->canEditRowAtIndexPath(*this, indexPath)) return false;
  const UITableViewCellEditingStyle style =
      delegate_ ? delegate_->editingStyleForRowAtIndexPath(*this, indexPath)
                : UITableViewCellEditingStyle::kDelete;
  return style == UITableViewCellEditingStyle::kDelete;
}

void UITableView::setEditing(bool editing, bool) {
  if (editing_ == editing) return;
  editing_ = editing;
  hideDeleteButton();
  for (size_t s = 0; s < sections_.size(); ++s) {
    for (size_t r = 0; r < sections_[s].cells.size(); ++r) {
      const IndexPath path{static_cast<long>(s), static_cast<long>(r)};
      showDeleteControl(*sections_[s].cells[r], editing_ && rowIsDeletable(path));
      sections_[s].cells[r]->layoutIfNeeded();
    }
  }
}

void UITableView::showDeleteControl(UITableViewCell& cell, bool shown) {
  cell.setDeleteControlShown(shown);
  if (!shown) return;
  std::weak_ptr<UIView> weak = weak_from_this();
  UITableViewCell* held = &cell;
  cell.deleteControl_->addTarget(
      this,
      [weak, this, held](UIControl&, UIControlEvents) {
        if (weak.expired()) return;
        if (std::optional<IndexPath> path = indexPathForCell(held))
          revealDeleteButtonForRowAtIndexPath(*path);
      },
      UIControlEventTouchUpInside);
}

void UITableView::revealDeleteButtonForRowAtIndexPath(const IndexPath& indexPath) {
  UITableViewCell* cell = cellForRowAtIndexPath(indexPath);
  if (cell == nullptr || !rowIsDeletable(indexPath)) return;
  hideDeleteButton();
  revealed_ = indexPath;
  cell->setDeleteButtonShown(true);
  const std::string title =
      delegate_ ? delegate_->titleForDeleteConfirmationButtonForRowAtIndexPath(*this, indexPath)
                : "Delete";
  cell->deleteButton_->setTitle(title, UIControlStateNormal);
  std::weak_ptr<UIView> weak = weak_from_this();
  cell->deleteButton_->addTarget(
      this,
      [weak, this, cell](UIControl&, UIControlEvents) {
        if (weak.expired()) return;
        if (std::optional<IndexPath> path = indexPathForCell(cell)) commitDelete(*path);
      },
      UIControlEventTouchUpInside);
  cell->layoutIfNeeded();
}

void UITableView::hideDeleteButton() {
  if (!revealed_) return;
  if (UITableViewCell* cell = cellForRowAtIndexPath(*revealed_)) {
    cell->setDeleteButtonShown(false);
    cell->layoutIfNeeded();
  }
  revealed_.reset();
}

void UITableView::commitDelete(const IndexPath& indexPath) {
  hideDeleteButton();
  if (dataSource_ == nullptr) return;
  // The data source may reload this table: nothing of it is used after.
  dataSource_->commitEditingStyle(*this, UITableViewCellEditingStyle::kDelete, indexPath);
}

void UITableView::touchesBegan(const UITouch& touch) {
  UIScrollView::touchesBegan(touch);
  swiping_.reset();
  const CGPoint at = touch.locationInView(this);
  pressed_ = indexPathForRowAtPoint(at);
  if (pressed_ && revealed_ && *pressed_ != *revealed_) {
    // A touch elsewhere only hides the revealed button.
    hideDeleteButton();
    pressed_.reset();
    return;
  }
  if (pressed_) {
    UITableViewCell* cell = cellForRowAtIndexPath(*pressed_);
    // A row greyed out by its owner takes no touches.
    if (cell == nullptr || !cell->isUserInteractionEnabled()) {
      pressed_.reset();
      return;
    }
    cell->setHighlighted(true);
  }
}

void UITableView::touchesMoved(const UITouch& touch) {
  if (!touchStart_) return;
  const double dx = touch.locationInWindow.x - touchStart_->x;
  const double dy = touch.locationInWindow.y - touchStart_->y;
  if (swiping_) {
    if (dx < -kDragThreshold * 4 && revealed_ != swiping_)
      revealDeleteButtonForRowAtIndexPath(*swiping_);
    if (dx > kDragThreshold && revealed_ == swiping_) hideDeleteButton();
    return;
  }
  if (!dragging_ && pressed_ && dx < -kDragThreshold && std::fabs(dx) > std::fabs(dy) &&
      rowIsDeletable(*pressed_)) {
    swiping_ = pressed_;
    if (UITableViewCell* cell = cellForRowAtIndexPath(*pressed_)) cell->setHighlighted(false);
    pressed_.reset();
    return;
  }
  UIScrollView::touchesMoved(touch);
  // A finger that moved away is not tapping.
  const bool moved = std::fabs(dx) >= kDragThreshold || std::fabs(dy) >= kDragThreshold;
  if ((dragging_ || moved) && pressed_) {
    if (UITableViewCell* cell = cellForRowAtIndexPath(*pressed_)) cell->setHighlighted(false);
    pressed_.reset();
  }
}

void UITableView::endTouch() {
  if (pressed_) {
    if (UITableViewCell* cell = cellForRowAtIndexPath(*pressed_)) cell->setHighlighted(false);
  }
  pressed_.reset();
  swiping_.reset();
}

void UITableView::touchesEnded(const UITouch& touch) {
  const std::optional<IndexPath> pressed = pressed_;
  const bool dragged = dragging_;
  endTouch();
  UIScrollView::touchesEnded(touch);
  if (!pressed || dragged) return;
  if (revealed_ && *revealed_ == *pressed) {
    hideDeleteButton();
    return;
  }
  if (editing_ && rowIsDeletable(*pressed)) {
    // In edit mode the red control at the row's start reveals the button.
    const CGPoint at = touch.locationInView(this);
    const CGRect row = rectForRowAtIndexPath(*pressed);
    if (at.x - row.origin.x < UITableViewCell::kMargin * 2 + kDeleteControlSize) {
      revealDeleteButtonForRowAtIndexPath(*pressed);
      return;
    }
  }
  std::optional<IndexPath> target = *pressed;
  if (delegate_) target = delegate_->willSelectRowAtIndexPath(*this, *pressed);
  if (!target || cellForRowAtIndexPath(*target) == nullptr) return;
  selectRowAtIndexPath(*target);
  if (delegate_) delegate_->didSelectRowAtIndexPath(*this, *target);
}

void UITableView::touchesCancelled(const UITouch& touch) {
  endTouch();
  UIScrollView::touchesCancelled(touch);
}

}  // namespace sentrel::uikit
