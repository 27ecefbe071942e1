// Scrolling and tables: UIScrollView, UITableViewCell and UITableView, as
// the settings pages use them.
//
// A scroll view shows its content through its bounds: the content offset is
// the bounds' origin, so subviews keep their frames while the content moves.
// A vertical drag scrolls it (clamped to the content size).
//
// A table builds every cell its data source gives at reloadData (the lists
// it shows hold at most a few hundred rows) and stacks them in sections:
// the grouped style draws each section as a rounded white group on a grey
// background, with its header text above and its footer text below.
// Touches that end where they began select a row (its delegate is told); a
// touch on a control inside a cell (a switch) is the control's. A leftward
// drag on a row that its data source lets be edited, with the delete
// editing style, reveals a red "Delete" button at the row's end; tapping it
// commits the deletion through the data source. In edit mode such rows show
// a red round control at their start that reveals the same button.
//
// Main thread only. Create with std::make_shared; the data source and the
// delegate are not owned and must outlive their use.
#pragma once

#include <compare>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/uikit/button.h"
#include "platform/uikit/image.h"
#include "platform/uikit/label.h"
#include "platform/uikit/view.h"

namespace sentrel::uikit {

class UIScrollView : public UIView {
 public:
  using UIView::UIView;

  CGSize contentSize() const { return contentSize_; }
  void setContentSize(CGSize size);  // negatives and non-finite values become 0
  CGPoint contentOffset() const { return bounds().origin; }
  // Clamped to the content: from 0 to (content - bounds), 0 when it fits.
  void setContentOffset(CGPoint offset, bool animated = false);
  // Scrolls as little as needed for `rect` (content coordinates) to show.
  void scrollRectToVisible(const CGRect& rect, bool animated);

  // A drag moves the content; called by the touches that nothing else took.
  void touchesBegan(const UITouch& touch) override;
  void touchesMoved(const UITouch& touch) override;
  void touchesEnded(const UITouch& touch) override;
  void touchesCancelled(const UITouch& touch) override;

  // Whether the current touch sequence has turned into a scroll.
  bool isDragging() const { return dragging_; }

 protected:
  // How far a finger may move before a touch becomes a drag.
  static constexpr double kDragThreshold = 8;
  CGPoint clampedOffset(CGPoint offset) const;
  std::optional<CGPoint> touchStart_;  // in the window, for the current touch
  CGPoint offsetAtStart_{};
  bool dragging_ = false;

 private:
  CGSize contentSize_{};
};

struct IndexPath {
  long section = 0;
  long row = 0;
  auto operator<=>(const IndexPath&) const = default;
};

enum class UITableViewStyle { kPlain = 0, kGrouped = 1 };
enum class UITableViewCellStyle { kDefault = 0, kValue1 = 1, kValue2 = 2, kSubtitle = 3 };
enum class UITableViewCellAccessoryType {
  kNone = 0,
  kDisclosureIndicator = 1,
  kDetailDisclosureButton = 2,
  kCheckmark = 3,
};
enum class UITableViewCellEditingStyle { kNone = 0, kDelete = 1, kInsert = 2 };
enum class UITableViewCellSelectionStyle { kNone = 0, kBlue = 1, kGray = 2, kDefault = 3 };

class UITableViewCell : public UIView {
 public:
  static constexpr double kRowHeight = 44;
  static constexpr double kMargin = 16;
  static constexpr double kFontSize = 17;

  explicit UITableViewCell(UITableViewCellStyle style = UITableViewCellStyle::kDefault,
                           std::string reuseIdentifier = {});

  UITableViewCellStyle style() const { return style_; }
  const std::string& reuseIdentifier() const { return reuseIdentifier_; }

  UIView& contentView() { return *contentView_; }
  UILabel& textLabel() { return *textLabel_; }
  // Value1: grey, at the end of the row; subtitle: under the title. Absent
  // in the default style.
  UILabel* detailTextLabel() { return detailTextLabel_.get(); }
  // Shown at the row's start when it holds an image.
  UIImageView& imageView() { return *imageView_; }

  UITableViewCellAccessoryType accessoryType() const { return accessoryType_; }
  void setAccessoryType(UITableViewCellAccessoryType type);
  // A view at the row's end in place of the accessory type (a switch).
  const UIViewRef& accessoryView() const { return accessoryView_; }
  void setAccessoryView(UIViewRef view);

  UITableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
  void setSelectionStyle(UITableViewCellSelectionStyle style) { selectionStyle_ = style; }
  bool isHighlighted() const { return highlighted_; }
  // Overridable, as on the platform: a cell that colours itself by its
  // highlight does so here.
  virtual void setHighlighted(bool highlighted);
  bool isSelected() const { return selected_; }
  void setSelected(bool selected, bool animated = false);

  // The grouped table's background of the row (white; dark grey in dark mode).
  static UIColor groupedCellColor();

  void layoutSubviews() override;

 private:
  friend class UITableView;
  void refreshBackground();
  // The table's edit controls, laid out with the row.
  void setDeleteControlShown(bool shown);
  void setDeleteButtonShown(bool shown);

  UITableViewCellStyle style_;
  std::string reuseIdentifier_;
  UIViewRef contentView_;
  std::shared_ptr<UILabel> textLabel_;
  std::shared_ptr<UILabel> detailTextLabel_;
  std::shared_ptr<UIImageView> imageView_;
  std::shared_ptr<UILabel> accessoryGlyph_;  // chevron or checkmark
  UITableViewCellAccessoryType accessoryType_ = UITableViewCellAccessoryType::kNone;
  UIViewRef accessoryView_;
  UITableViewCellSelectionStyle selectionStyle_ = UITableViewCellSelectionStyle::kDefault;
  std::shared_ptr<UIButton> deleteControl_;  // edit mode's red round control
  std::shared_ptr<UIButton> deleteButton_;   // the revealed "Delete"
  bool highlighted_ = false;
  bool selected_ = false;
};

using UITableViewCellRef = std::shared_ptr<UITableViewCell>;

class UITableView;

class UITableViewDataSource {
 public:
  virtual ~UITableViewDataSource() = default;
  virtual long numberOfSectionsInTableView(UITableView& tableView) {
    (void)tableView;
    return 1;
  }
  virtual long numberOfRowsInSection(UITableView& tableView, long section) = 0;
  virtual UITableViewCellRef cellForRowAtIndexPath(UITableView& tableView,
                                                   const IndexPath& indexPath) = 0;
  virtual std::string titleForHeaderInSection(UITableView& tableView, long section) {
    (void)tableView, (void)section;
    return {};
  }
  virtual std::string titleForFooterInSection(UITableView& tableView, long section) {
    (void)tableView, (void)section;
    return {};
  }
  virtual bool canEditRowAtIndexPath(UITableView& tableView, const IndexPath& indexPath) {
    (void)tableView, (void)indexPath;
    return false;
  }
  virtual void commitEditingStyle(UITableView& tableView, UITableViewCellEditingStyle style,
                                  const IndexPath& indexPath) {
    (void)tableView, (void)style, (void)indexPath;
  }
};

class UITableViewDelegate {
 public:
  virtual ~UITableViewDelegate() = default;
  virtual double heightForRowAtIndexPath(UITableView& tableView, const IndexPath& indexPath) {
    (void)tableView, (void)indexPath;
    return UITableViewCell::kRowHeight;
  }
  virtual UITableViewCellEditingStyle editingStyleForRowAtIndexPath(UITableView& tableView,
                                                                    const IndexPath& indexPath) {
    (void)tableView, (void)indexPath;
    return UITableViewCellEditingStyle::kDelete;
  }
  // Nullopt refuses the selection.
  virtual std::optional<IndexPath> willSelectRowAtIndexPath(UITableView& tableView,
                                                            const IndexPath& indexPath) {
    (void)tableView;
    return indexPath;
  }
  virtual void didSelectRowAtIndexPath(UITableView& tableView, const IndexPath& indexPath) {
    (void)tableView, (void)indexPath;
  }
  virtual std::string titleForDeleteConfirmationButtonForRowAtIndexPath(
      UITableView& tableView, const IndexPath& indexPath) {
    (void)tableView, (void)indexPath;
    return "Delete";
  }
};

class UITableView : public UIScrollView {
 public:
  static constexpr double kSectionGap = 16;    // grouped: space around each group
  static constexpr double kHeaderHeight = 38;  // a header's band above its group
  static constexpr double kGroupInset = 16;    // grouped: the groups' side inset
  static constexpr double kCornerRadius = 10;  // grouped: the groups' corners
  static constexpr double kFooterFontSize = 13;

  explicit UITableView(const CGRect& frame = {},
                       UITableViewStyle style = UITableViewStyle::kGrouped);

  UITableViewStyle style() const { return style_; }
  UITableViewDataSource* dataSource() const { return dataSource_; }
  void setDataSource(UITableViewDataSource* source) { dataSource_ = source; }
  UITableViewDelegate* delegate() const { return delegate_; }
  void setDelegate(UITableViewDelegate* delegate) { delegate_ = delegate; }

  // Asks the data source for everything again and lays the rows out,
  // keeping the scroll position where the content still reaches.
  void reloadData();
  long numberOfSections() const { return static_cast<long>(sections_.size()); }
  long numberOfRowsInSection(long section) const;

  // The cell shown for the row, or null.
  UITableViewCell* cellForRowAtIndexPath(const IndexPath& indexPath) const;
  std::optional<IndexPath> indexPathForCell(const UITableViewCell* cell) const;
  // Point in the table's (content) coordinates.
  std::optional<IndexPath> indexPathForRowAtPoint(CGPoint point) const;
  CGRect rectForRowAtIndexPath(const IndexPath& indexPath) const;  // zero rect when none
  // The header's and footer's labels of a section, or null when it has none.
  UILabel* headerLabelForSection(long section) const;
  UILabel* footerLabelForSection(long section) const;

  // Rows already gone from the data source: the table asks it again.
  void deleteRowsAtIndexPaths(const std::vector<IndexPath>& indexPaths, bool animated = false);
  void insertRowsAtIndexPaths(const std::vector<IndexPath>& indexPaths, bool animated = false);

  std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
  void selectRowAtIndexPath(const IndexPath& indexPath, bool animated = false);
  void deselectRowAtIndexPath(const IndexPath& indexPath, bool animated = false);

  bool isEditing() const { return editing_; }
  void setEditing(bool editing, bool animated = false);
  // The row whose "Delete" button is revealed, if any.
  std::optional<IndexPath> rowShowingDeleteButton() const { return revealed_; }
  void revealDeleteButtonForRowAtIndexPath(const IndexPath& indexPath);
  void hideDeleteButton();

  void layoutSubviews() override;

  void touchesBegan(const UITouch& touch) override;
  void touchesMoved(const UITouch& touch) override;
  void touchesEnded(const UITouch& touch) override;
  void touchesCancelled(const UITouch& touch) override;

 private:
  struct Section {
    std::shared_ptr<UILabel> header;  // null without a title
    std::shared_ptr<UILabel> footer;
    UIViewRef group;  // the rounded background behind the rows
    std::vector<UITableViewCellRef> cells;
    std::vector<double> heights;
  };
  bool rowIsDeletable(const IndexPath& indexPath);
  void showDeleteControl(UITableViewCell& cell, bool shown);
  void commitDelete(const IndexPath& indexPath);
  void clearSections();
  void endTouch();

  UITableViewStyle style_;
  UITableViewDataSource* dataSource_ = nullptr;
  UITableViewDelegate* delegate_ = nullptr;
  std::vector<Section> sections_;
  std::optional<IndexPath> selected_;
  std::optional<IndexPath> pressed_;   // highlighted by the current touch
  std::optional<IndexPath> swiping_;   // the row a leftward drag started on
  std::optional<IndexPath> revealed_;  // showing its "Delete" button
  bool editing_ = false;
  bool layingOut_ = false;
};

}  // namespace sentrel::uikit
