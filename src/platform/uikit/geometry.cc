#include "platform/uikit/geometry.h"

#include <algorithm>
#include <cmath>

namespace sentrel::uikit {

double CGRectGetMinX(const CGRect& r) {
  return std::min(r.origin.x, r.origin.x + r.size.width);
}
double CGRectGetMaxX(const CGRect& r) {
  return std::max(r.origin.x, r.origin.x + r.size.width);
}
double CGRectGetMinY(const CGRect& r) {
  return std::min(r.origin.y, r.origin.y + r.size.height);
}
double CGRectGetMaxY(const CGRect& r) {
  return std::max(r.origin.y, r.origin.y + r.size.height);
}
double CGRectGetMidX(const CGRect& r) {
  return r.origin.x + r.size.width / 2;
}
double CGRectGetMidY(const CGRect& r) {
  return r.origin.y + r.size.height / 2;
}

bool CGRectContainsPoint(const CGRect& r, CGPoint p) {
  return p.x >= CGRectGetMinX(r) && p.x < CGRectGetMaxX(r) && p.y >= CGRectGetMinY(r) &&
         p.y < CGRectGetMaxY(r);
}

CGRect UIEdgeInsetsInsetRect(const CGRect& r, const UIEdgeInsets& insets) {
  return CGRectMake(r.origin.x + insets.left, r.origin.y + insets.top,
                    r.size.width - insets.left - insets.right,
                    r.size.height - insets.top - insets.bottom);
}

namespace {

using Matrix = double[4][4];

void toArray(const CATransform3D& t, Matrix m) {
  const double v[16] = {t.m11, t.m12, t.m13, t.m14, t.m21, t.m22, t.m23, t.m24,
                        t.m31, t.m32, t.m33, t.m34, t.m41, t.m42, t.m43, t.m44};
  for (int i = 0; i < 16; ++i) m[i / 4][i % 4] = v[i];
}

CATransform3D fromArray(const Matrix m) {
  return CATransform3D{m[0][0], m[0][1], m[0][2], m[0][3], m[1][0], m[1][1], m[1][2], m[1][3],
                       m[2][0], m[2][1], m[2][2], m[2][3], m[3][0], m[3][1], m[3][2], m[3][3]};
}

}  // namespace

bool CATransform3DIsIdentity(const CATransform3D& t) {
  return t == CATransform3DIdentity;
}

CATransform3D CATransform3DMakeTranslation(double tx, double ty, double tz) {
  CATransform3D t;
  t.m41 = tx;
  t.m42 = ty;
  t.m43 = tz;
  return t;
}

CATransform3D CATransform3DMakeScale(double sx, double sy, double sz) {
  CATransform3D t;
  t.m11 = sx;
  t.m22 = sy;
  t.m33 = sz;
  return t;
}

CATransform3D CATransform3DMakeRotation(double angle, double x, double y, double z) {
  const double length = std::sqrt(x * x + y * y + z * z);
  if (length == 0 || !std::isfinite(length)) return CATransform3DIdentity;
  x /= length;
  y /= length;
  z /= length;
  const double c = std::cos(angle), s = std::sin(angle), k = 1 - c;
  // The transpose of the column-vector rotation, since points are rows.
  CATransform3D t;
  t.m11 = c + x * x * k;
  t.m12 = y * x * k + z * s;
  t.m13 = z * x * k - y * s;
  t.m21 = x * y * k - z * s;
  t.m22 = c + y * y * k;
  t.m23 = z * y * k + x * s;
  t.m31 = x * z * k + y * s;
  t.m32 = y * z * k - x * s;
  t.m33 = c + z * z * k;
  return t;
}

CATransform3D CATransform3DConcat(const CATransform3D& a, const CATransform3D& b) {
  Matrix ma, mb, mr;
  toArray(a, ma);
  toArray(b, mb);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += ma[i][k] * mb[k][j];
      mr[i][j] = sum;
    }
  }
  return fromArray(mr);
}

CATransform3D CATransform3DTranslate(const CATransform3D& t, double tx, double ty, double tz) {
  return CATransform3DConcat(CATransform3DMakeTranslation(tx, ty, tz), t);
}

CATransform3D CATransform3DScale(const CATransform3D& t, double sx, double sy, double sz) {
  return CATransform3DConcat(CATransform3DMakeScale(sx, sy, sz), t);
}

CATransform3D CATransform3DRotate(const CATransform3D& t, double angle, double x, double y,
                                  double z) {
  return CATransform3DConcat(CATransform3DMakeRotation(angle, x, y, z), t);
}

CGPoint CATransform3DApplyToPoint(const CATransform3D& t, CGPoint p) {
  const double x = p.x * t.m11 + p.y * t.m21 + t.m41;
  const double y = p.x * t.m12 + p.y * t.m22 + t.m42;
  const double w = p.x * t.m14 + p.y * t.m24 + t.m44;
  if (w == 0) return CGPoint{x, y};
  return CGPoint{x / w, y / w};
}

}  // namespace sentrel::uikit
