// Labels, read-only text views and images, measured with the real font
// files and real PNG files.
#include <png.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/uikit/image.h"
#include "platform/uikit/label.h"
#include "platform/uikit/view.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace sentrel::uikit {
namespace {

const std::string kLong =
    "Sentrel blocked a connection from this application to a host it has never contacted before";

std::shared_ptr<UILabel> label(const std::string& text) {
  auto l = std::make_shared<UILabel>();
  l->setText(text);
  return l;
}

TEST(ALabel, MeasuresItsTextWithTheRealFont) {
  auto plain = label("api.example.com");
  const CGSize size = plain->intrinsicContentSize();
  EXPECT_GT(size.width, 50);
  EXPECT_GT(size.height, 15);  // a 17 point line
  EXPECT_LT(size.height, 30);

  AttributedText bold("api.example.com", Font::systemFont(17));
  bold.setBold(0, bold.text.size());
  auto boldLabel = std::make_shared<UILabel>();
  boldLabel->setAttributedText(bold);
  EXPECT_GT(boldLabel->intrinsicContentSize().width, size.width);

  // Only the host in bold: between the two.
  AttributedText mixed("Allow api.example.com?", Font::systemFont(17));
  mixed.setBold(6, 15);
  auto mixedLabel = std::make_shared<UILabel>();
  mixedLabel->setAttributedText(mixed);
  const double allPlain = label("Allow api.example.com?")->intrinsicContentSize().width;
  EXPECT_GT(mixedLabel->intrinsicContentSize().width, allPlain);

  EXPECT_EQ(label("")->intrinsicContentSize(), (CGSize{0, 0}));

  // A larger font is larger; setText drops the bold ranges.
  auto big = label("api.example.com");
  big->setFont(Font::systemFont(34));
  EXPECT_GT(big->intrinsicContentSize().width, size.width * 1.8);
  boldLabel->setText("api.example.com");
  EXPECT_DOUBLE_EQ(boldLabel->intrinsicContentSize().width, size.width);
}

TEST(ALabel, WrapsAtItsPreferredWidthUpToItsNumberOfLines) {
  auto one = label(kLong);
  one->setPreferredMaxLayoutWidth(150);
  const CGSize single = one->intrinsicContentSize();
  EXPECT_GT(single.width, 150) << "one line never wraps";

  auto many = label(kLong);
  many->setNumberOfLines(0);
  many->setPreferredMaxLayoutWidth(150);
  const CGSize wrapped = many->intrinsicContentSize();
  EXPECT_LE(wrapped.width, 150);
  EXPECT_GT(wrapped.height, single.height * 3);

  many->setNumberOfLines(2);
  const CGSize two = many->intrinsicContentSize();
  EXPECT_NEAR(two.height, single.height * 2, 1);
  EXPECT_TRUE(many->sizeThatFits({150, 1000}).height == two.height);

  // Unlimited lines without a preferred width and not yet laid out: one line.
  auto unplaced = label(kLong);
  unplaced->setNumberOfLines(0);
  EXPECT_DOUBLE_EQ(unplaced->intrinsicContentSize().height, single.height);
  EXPECT_LE(unplaced->sizeThatFits({120, 1000}).width, 120);
}

// The solver's frames are exact only to rounding.
void expectSize(CGSize actual, CGSize expected) {
  EXPECT_NEAR(actual.width, expected.width, 1e-9);
  EXPECT_NEAR(actual.height, expected.height, 1e-9);
}

TEST(ALabel, DrivesItsFrameThroughAutoLayout) {
  auto root = std::make_shared<UIView>(CGRectMake(0, 0, 320, 480));
  auto title = label("Settings");
  title->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(title);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {title->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 16),
                   title->topAnchor().constraintEqualToAnchor(root->topAnchor(), 20)})
                  .ok());
  root->layoutIfNeeded();
  EXPECT_EQ(title->frame().origin, (CGPoint{16, 20}));
  expectSize(title->frame().size, title->intrinsicContentSize());

  // New text resizes it on the next layout.
  const double before = title->frame().size.width;
  title->setText("Settings and more settings");
  root->layoutIfNeeded();
  EXPECT_GT(title->frame().size.width, before);
  expectSize(title->frame().size, title->intrinsicContentSize());

  // A multi-line label held between the edges wraps at the width it gets.
  auto body = label(kLong);
  body->setNumberOfLines(0);
  body->setTranslatesAutoresizingMaskIntoConstraints(false);
  root->addSubview(body);
  ASSERT_TRUE(NSLayoutConstraint::activateConstraints(
                  {body->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 20),
                   body->trailingAnchor().constraintEqualToAnchor(root->leadingAnchor(), 170),
                   body->topAnchor().constraintEqualToAnchor(title->bottomAnchor(), 8)})
                  .ok());
  root->layoutIfNeeded();
  expectSize(body->frame().size, {150, body->sizeThatFits({150, 1e6}).height});
  EXPECT_GT(body->frame().size.height, title->frame().size.height * 3);
}

TEST(ATextView, FitsItsTextInsideTheInsets) {
  auto view = std::make_shared<UITextView>();
  EXPECT_EQ(view->textContainerInset(), (UIEdgeInsets{8, 0, 8, 0}));
  EXPECT_FALSE(view->isEditable());
  EXPECT_FALSE(view->isScrollEnabled());

  // Empty: one line's height plus the insets.
  const CGSize empty = view->sizeThatFits({300, 1e6});
  EXPECT_DOUBLE_EQ(empty.width, 300);
  EXPECT_GT(empty.height, 16 + 15);

  view->setText(kLong);
  const CGSize wide = view->sizeThatFits({2000, 1e6});
  EXPECT_DOUBLE_EQ(wide.height, empty.height) << "fits on one line";
  const CGSize narrow = view->sizeThatFits({150, 1e6});
  EXPECT_DOUBLE_EQ(narrow.width, 150);
  EXPECT_GT(narrow.height, empty.height * 3);

  // The text wraps at the width less the insets and the 5 point padding, as
  // a label of that width does.
  auto same = label(kLong);
  same->setNumberOfLines(0);
  EXPECT_DOUBLE_EQ(narrow.height, same->sizeThatFits({140, 1e6}).height + 16);

  view->setTextContainerInset({20, 10, 20, 10});
  EXPECT_DOUBLE_EQ(view->sizeThatFits({150, 1e6}).height,
                   same->sizeThatFits({120, 1e6}).height + 40);
  testing::LogCapture log;
  view->setTextContainerInset({-1, 0, 0, 0});
  EXPECT_EQ(view->textContainerInset(), (UIEdgeInsets{20, 10, 20, 10}));
  view->setEditable(true);
  EXPECT_FALSE(view->isEditable());
  EXPECT_EQ(log.lines().size(), 2u);
}

// PNG files written with libpng's simplified API.
void writePng(const std::filesystem::path& path, unsigned width, unsigned height) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGBA;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image), 0x7f);
  ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr))
      << image.message;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

class AnImage : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::filesystem::path file(const std::string& name) const { return dir_.path() / name; }
};

TEST_F(AnImage, ReadsItsSizeFromAPngFileAndItsScaleFromTheName) {
  writePng(file("gear.png"), 22, 20);
  writePng(file("gear@2x.png"), 44, 40);
  UIImageRef one = UIImage::imageWithContentsOfFile(file("gear.png"));
  ASSERT_TRUE(one);
  EXPECT_EQ(one->pixelWidth(), 22u);
  EXPECT_EQ(one->size(), (CGSize{22, 20}));
  UIImageRef two = UIImage::imageWithContentsOfFile(file("gear@2x.png"));
  ASSERT_TRUE(two);
  EXPECT_EQ(two->scale(), 2);
  EXPECT_EQ(two->size(), (CGSize{22, 20}));

  // By name in a bundle folder, any scale found.
  UIImageRef named = UIImage::imageNamed("gear", dir_.path().string());
  ASSERT_TRUE(named);
  EXPECT_EQ(named->size(), (CGSize{22, 20}));
  EXPECT_TRUE(UIImage::imageNamed("gear.png", dir_.path().string()));

  UIImageView view(named);
  EXPECT_EQ(view.intrinsicContentSize(), (CGSize{22, 20}));
  view.setImage(nullptr);
  EXPECT_EQ(view.intrinsicContentSize(),
            (CGSize{UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric}));
}

TEST_F(AnImage, IsNullWithALogLineForAMissingOrMalformedFile) {
  writePng(file("good.png"), 16, 16);
  const std::vector<std::uint8_t> good = readFile(file("good.png"));
  ASSERT_GT(good.size(), 40u);

  std::vector<std::uint8_t> truncated(good.begin(), good.begin() + good.size() / 2);
  writeFile(file("truncated.png"), truncated);
  std::vector<std::uint8_t> corrupt = good;
  corrupt[corrupt.size() - 20] ^= 0xff;  // inside the image data: its checksum fails
  writeFile(file("corrupt.png"), corrupt);
  writeFile(file("text.png"), {'h', 'e', 'l', 'l', 'o'});
  writeFile(file("empty.png"), {});
  writePng(file("huge.png"), PngInfo::kMaxPngSide + 1, 1);

  for (const char* name :
       {"missing.png", "truncated.png", "corrupt.png", "text.png", "empty.png", "huge.png"}) {
    testing::LogCapture log;
    EXPECT_FALSE(UIImage::imageWithContentsOfFile(file(name))) << name;
    EXPECT_TRUE(log.contains(name)) << name;
  }
  testing::LogCapture log;
  EXPECT_FALSE(UIImage::imageNamed("nothing", dir_.path().string()));
  EXPECT_FALSE(UIImage::imageNamed("../good", dir_.path().string()));
  EXPECT_EQ(log.lines().size(), 2u);

  EXPECT_TRUE(decodePng(good).ok());
  Result<PngInfo> bad = decodePng(truncated);
  ASSERT_FALSE(bad.ok());
  EXPECT_THAT(bad.reason(), ::testing::HasSubstr("malformed PNG"));
}

}  // namespace
}  // namespace sentrel::uikit
