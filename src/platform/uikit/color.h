// Colours: RGBA components in [0, 1], optionally with a variant for dark
// appearance, resolved by the view's user interface style. Values.
#pragma once

#include <optional>
#include <string>

namespace sentrel::uikit {

enum class UIUserInterfaceStyle { kUnspecified = 0, kLight = 1, kDark = 2 };

class UIColor {
 public:
  UIColor() = default;  // clear
  // Components are clamped to [0, 1]; a component that is not a number is 0.
  static UIColor colorWithRed(double red, double green, double blue, double alpha);
  static UIColor colorWithWhite(double white, double alpha);
  // A colour with a light and a dark variant (the platform's dynamic colours).
  static UIColor dynamic(const UIColor& light, const UIColor& dark);

  static UIColor clearColor() { return UIColor(); }
  static UIColor blackColor() { return colorWithWhite(0, 1); }
  static UIColor whiteColor() { return colorWithWhite(1, 1); }
  static UIColor grayColor() { return colorWithWhite(0.5, 1); }
  static UIColor lightGrayColor() { return colorWithWhite(2.0 / 3, 1); }
  static UIColor darkGrayColor() { return colorWithWhite(1.0 / 3, 1); }
  static UIColor redColor() { return colorWithRed(1, 0, 0, 1); }
  static UIColor greenColor() { return colorWithRed(0, 1, 0, 1); }
  static UIColor blueColor() { return colorWithRed(0, 0, 1, 1); }
  // System colours, with dark variants.
  static UIColor systemBlueColor();
  static UIColor systemRedColor();
  static UIColor systemGreenColor();
  static UIColor systemOrangeColor();
  static UIColor systemGrayColor();
  static UIColor systemBackgroundColor();
  static UIColor secondarySystemBackgroundColor();
  static UIColor labelColor();
  static UIColor secondaryLabelColor();
  static UIColor separatorColor();

  // The components of the variant for `style` (unspecified means light).
  UIColor resolvedColor(UIUserInterfaceStyle style) const;
  bool isDynamic() const { return dark_.has_value(); }
  // Every variant with its alpha replaced.
  UIColor colorWithAlphaComponent(double alpha) const;

  // Components of the light variant.
  double red() const { return r_; }
  double green() const { return g_; }
  double blue() const { return b_; }
  double alpha() const { return a_; }
  // "rgba(0,122,255,1)", the light variant, for logs and the display link.
  std::string cssString() const;

  friend bool operator==(const UIColor& a, const UIColor& b);

 private:
  struct Components {
    double r = 0, g = 0, b = 0, a = 0;
    friend bool operator==(const Components&, const Components&) = default;
  };
  double r_ = 0, g_ = 0, b_ = 0, a_ = 0;
  std::optional<Components> dark_;
};

}  // namespace sentrel::uikit
