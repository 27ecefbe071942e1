#include "platform/uikit/color.h"

#include <cmath>
#include <cstdio>

namespace sentrel::uikit {

namespace {

double clamp01(double v) {
  if (!(v >= 0)) return 0;  // negatives and NaN
  return v > 1 ? 1 : v;
}

UIColor rgb255(int r, int g, int b, double a = 1) {
  return UIColor::colorWithRed(r / 255.0, g / 255.0, b / 255.0, a);
}

}  // namespace

UIColor UIColor::colorWithRed(double red, double green, double blue, double alpha) {
  UIColor c;
  c.r_ = clamp01(red);
  c.g_ = clamp01(green);
  c.b_ = clamp01(blue);
  c.a_ = clamp01(alpha);
  return c;
}

UIColor UIColor::colorWithWhite(double white, double alpha) {
  return colorWithRed(white, white, white, alpha);
}

UIColor UIColor::dynamic(const UIColor& light, const UIColor& dark) {
  UIColor lightVariant = light.resolvedColor(UIUserInterfaceStyle::kLight);
  UIColor darkVariant = dark.resolvedColor(UIUserInterfaceStyle::kDark);
  lightVariant.dark_ = Components{darkVariant.r_, darkVariant.g_, darkVariant.b_, darkVariant.a_};
  return lightVariant;
}

UIColor UIColor::systemBlueColor() {
  return dynamic(rgb255(0, 122, 255), rgb255(10, 132, 255));
}
UIColor UIColor::systemRedColor() {
  return dynamic(rgb255(255, 59, 48), rgb255(255, 69, 58));
}
UIColor UIColor::systemGreenColor() {
  return dynamic(rgb255(52, 199, 89), rgb255(48, 209, 88));
}
UIColor UIColor::systemOrangeColor() {
  return dynamic(rgb255(255, 149, 0), rgb255(255, 159, 10));
}
UIColor UIColor::systemGrayColor() {
  return dynamic(rgb255(142, 142, 147), rgb255(142, 142, 147));
}
UIColor UIColor::systemBackgroundColor() {
  return dynamic(whiteColor(), blackColor());
}
UIColor UIColor::secondarySystemBackgroundColor() {
  return dynamic(rgb255(242, 242, 247), rgb255(28, 28, 30));
}
UIColor UIColor::labelColor() {
  return dynamic(blackColor(), whiteColor());
}
UIColor UIColor::secondaryLabelColor() {
  return dynamic(rgb255(60, 60, 67, 0.6), rgb255(235, 235, 245, 0.6));
}
UIColor UIColor::separatorColor() {
  return dynamic(rgb255(60, 60, 67, 0.29), rgb255(84, 84, 88, 0.6));
}

UIColor UIColor::resolvedColor(UIUserInterfaceStyle style) const {
  UIColor c;
  if (style == UIUserInterfaceStyle::kDark && dark_) {
    c.r_ = dark_->r;
    c.g_ = dark_->g;
    c.b_ = dark_->b;
    c.a_ = dark_->a;
  } else {
    c.r_ = r_;
    c.g_ = g_;
    c.b_ = b_;
    c.a_ = a_;
  }
  return c;
}

UIColor UIColor::colorWithAlphaComponent(double alpha) const {
  UIColor c = *this;
  c.a_ = clamp01(alpha);
  if (c.dark_) c.dark_->a = c.a_;
  return c;
}

std::string UIColor::cssString() const {
  char text[64];
  std::snprintf(text, sizeof text, "rgba(%d,%d,%d,%g)", static_cast<int>(std::lround(r_ * 255)),
                static_cast<int>(std::lround(g_ * 255)), static_cast<int>(std::lround(b_ * 255)),
                a_);
  return text;
}

bool operator==(const UIColor& a, const UIColor& b) {
  return a.r_ == b.r_ && a.g_ == b.g_ && a.b_ == b.b_ && a.a_ == b.a_ && a.dark_ == b.dark_;
}

}  // namespace sentrel::uikit
