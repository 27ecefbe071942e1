// Geometry of the UI toolkit: points, sizes, rectangles, edge insets and the
// layer's 3D transform, with the platform's names. Plain values, usable from
// any thread.
#pragma once

namespace sentrel::uikit {

struct CGPoint {
  double x = 0;
  double y = 0;
  friend bool operator==(const CGPoint&, const CGPoint&) = default;
};

struct CGSize {
  double width = 0;
  double height = 0;
  friend bool operator==(const CGSize&, const CGSize&) = default;
};

struct CGRect {
  CGPoint origin{};
  CGSize size{};
  friend bool operator==(const CGRect&, const CGRect&) = default;
};

inline CGRect CGRectMake(double x, double y, double width, double height) {
  return CGRect{{x, y}, {width, height}};
}
// Rectangles with a negative width or height are read as their standardised
// form, as the platform does.
double CGRectGetMinX(const CGRect& r);
double CGRectGetMaxX(const CGRect& r);
double CGRectGetMinY(const CGRect& r);
double CGRectGetMaxY(const CGRect& r);
double CGRectGetMidX(const CGRect& r);
double CGRectGetMidY(const CGRect& r);
// Half-open: the maximum edges are outside.
bool CGRectContainsPoint(const CGRect& r, CGPoint p);

struct UIEdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  friend bool operator==(const UIEdgeInsets&, const UIEdgeInsets&) = default;
};
CGRect UIEdgeInsetsInsetRect(const CGRect& r, const UIEdgeInsets& insets);

// A 4x4 matrix that transforms row vectors, as the platform's layers do:
// p' = p * M, so Concat(a, b) applies a first. Perspective goes in m34
// (typically -1 / eye distance).
struct CATransform3D {
  double m11 = 1, m12 = 0, m13 = 0, m14 = 0;
  double m21 = 0, m22 = 1, m23 = 0, m24 = 0;
  double m31 = 0, m32 = 0, m33 = 1, m34 = 0;
  double m41 = 0, m42 = 0, m43 = 0, m44 = 1;
  friend bool operator==(const CATransform3D&, const CATransform3D&) = default;
};

inline constexpr CATransform3D CATransform3DIdentity{};
bool CATransform3DIsIdentity(const CATransform3D& t);
CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz);
CATransform3D CATransform3DMakeScale(double sx, double sy, double sz);
// Rotation by angle radians about the axis (x, y, z); a zero axis gives the
// identity.
CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z);
CATransform3D CATransform3DConcat(const CATransform3D& a, const CATransform3D& b);
CATransform3D CATransform3DTranslate(const CATransform3D& t, double tx, double ty, double tz);
CATransform3D CATransform3DScale(const CATransform3D& t, double sx, double sy, double sz);
CATransform3D CATransform3DRotate(const CATransform3D& t, double angle, double x, double y,
                                  double z);
// The point (x, y, 0) through the transform, divided by w. Used by tests and
// by anything that must know where a transformed corner lands.
CGPoint CATransform3DApplyToPoint(const CATransform3D& t, CGPoint p);

}  // namespace sentrel::uikit
