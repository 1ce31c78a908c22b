// Text in the platform: widths, pen, blending, clipping, the byte map,
// font choice and threads.  Exact figures are for DejaVu Sans, which these
// tests pin; a build without a font engine skips them.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "zk_graphics.h"

// fontconfig loses a block while it parses its configuration, once per
// process; that is its own and not the text module's.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif

namespace zk::test {
namespace {

using PString = std::array<unsigned char, 256>;

PString P(const std::string& s) {
  PString p{};
  p[0] = static_cast<unsigned char>(s.size());
  std::memcpy(p.data() + 1, s.data(), s.size());
  return p;
}

std::string Family() {
  char name[64];
  ZKGetTextFontFamily(name, sizeof name);
  return name;
}

// Pins the default font; false when this build draws boxes only.
bool PinDejaVu() {
  if (ZKSetDefaultTextFont("DejaVu Sans") != 0) return false;
  EXPECT_EQ(Family(), "DejaVu Sans") << "install fonts-dejavu-core";
  return true;
}

int16_t WidthAt(int16_t size, const std::string& s) {
  TextSize(size);
  const PString p = P(s);
  return StringWidth(p.data());
}

class Text : public ::testing::Test {
 protected:
  void SetUp() override {
    dejaVu_ = PinDejaVu();
    GetGWorld(&savedPort_, &savedDevice_);
    SetGWorld(scratch_.get(), nullptr);
  }
  void TearDown() override { SetGWorld(savedPort_, savedDevice_); }
  bool dejaVu_ = false;
  host::World scratch_{8, 8};
  CGrafPtr savedPort_ = nullptr;
  GDHandle savedDevice_ = nullptr;
};

TEST_F(Text, NothingWithoutAPort) {
  SetGWorld(nullptr, nullptr);
  const PString p = P("In Progress...");
  EXPECT_EQ(StringWidth(p.data()), 0);
  DrawString(p.data());
  EXPECT_EQ(StringWidth(nullptr), 0);
}

struct WidthCase {
  int16_t size;
  std::string text;
  int16_t width;  // DejaVu Sans
};
void PrintTo(const WidthCase& c, std::ostream* os) { *os << '"' << c.text << "\" at " << c.size; }

class Widths : public Text, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(Widths, PenMovesByTheWidthAndGlyphWidthsAdd) {
  const WidthCase& c = GetParam();
  const int16_t width = WidthAt(c.size, c.text);
  if (dejaVu_) {
    EXPECT_EQ(width, c.width);
  }
  int sum = 0;
  for (char ch : c.text) sum += WidthAt(c.size, std::string(1, ch));
  EXPECT_EQ(width, sum) << "the placeholder centres on the sum of the glyphs' advances";

  TextSize(c.size);
  MoveTo(-7, 5);
  const PString p = P(c.text);
  DrawString(p.data());
  Point pen;
  GetPen(&pen);
  EXPECT_EQ(pen.h, -7 + width);
  EXPECT_EQ(pen.v, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Text, Widths,
    ::testing::Values(WidthCase{64, "In Progress...", 416}, WidthCase{64, "I", 19},
                      WidthCase{64, "W", 63}, WidthCase{64, "", 0},
                      WidthCase{12, "Hello, world", 70}, WidthCase{9, "Hello, world", 57},
                      // 0 and below stand for the default size, 12.
                      WidthCase{0, "Hello, world", 70}, WidthCase{-3, "Hello, world", 70},
                      // Mac Roman: a-umlaut, euro, no-break space; a glyph the
                      // font lacks and a control byte take the missing-glyph box.
                      WidthCase{64, "\x8A\xDB\xCA", 39 + 41 + 20},
                      WidthCase{64, "\xF0\x01", 38 + 38}));

TEST_F(Text, WidthsSaturateAtSixteenBits) {
  TextSize(32000);  // drawn at the largest size, 2048
  const std::string wide(255, 'W');
  const int16_t width = WidthAt(32000, wide);
  EXPECT_EQ(width, 32767);
  MoveTo(100, 0);
  const PString p = P(wide);
  DrawString(p.data());
  Point pen;
  GetPen(&pen);
  EXPECT_EQ(pen.h, 32767);
}

// A world whose pixels and row padding all hold a sentinel.
host::World Sentinel(const Rect& bounds, uint32_t fill) {
  host::World w(bounds);
  PixMapHandle pm = GetGWorldPixMap(w.get());
  for (int y = 0; y < w.height(); ++y) {
    std::fill_n(w.row(y), GetPixRowBytes(pm) / 4, fill);
  }
  return w;
}

host::World Drawn(const Rect& bounds, int16_t size, Point pen, const std::string& text,
                  uint32_t fill) {
  host::World w = Sentinel(bounds, fill);
  SetGWorld(w.get(), nullptr);
  TextSize(size);
  ForeColor(whiteColor);
  MoveTo(pen.h, pen.v);
  const PString p = P(text);
  DrawString(p.data());
  return w;
}

struct ClipCase {
  const char* name;
  Rect bounds;  // a 40 x 30 world, anywhere in port coordinates
  Point pen;    // v, h
};
void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class Clipping : public Text, public ::testing::WithParamInterface<ClipCase> {};

TEST_P(Clipping, DrawsTheVisiblePartAndNothingOutside) {
  const ClipCase& c = GetParam();
  const uint32_t kFill = 0x00123456;
  const std::string text = "Wg\xF0j";
  host::World small = Drawn(c.bounds, 24, c.pen, text, kFill);
  const Rect& b = c.bounds;
  const Rect around{int16_t(b.top - 100), int16_t(b.left - 100), int16_t(b.bottom + 100),
                    int16_t(b.right + 100)};
  host::World big = Drawn(around, 24, c.pen, text, kFill);

  PixMapHandle pm = GetGWorldPixMap(small.get());
  const int stride = GetPixRowBytes(pm) / 4;
  int drawn = 0;
  for (int y = 0; y < small.height(); ++y) {
    for (int x = 0; x < small.width(); ++x) {
      ASSERT_EQ(small.pixel(x, y), big.pixel(x + 100, y + 100)) << x << "," << y;
      drawn += small.pixel(x, y) != kFill;
    }
    for (int x = small.width(); x < stride; ++x) ASSERT_EQ(small.row(y)[x], kFill) << "padding";
  }
  int drawnAround = 0;
  for (int y = 0; y < big.height(); ++y) {
    for (int x = 0; x < big.width(); ++x) drawnAround += big.pixel(x, y) != kFill;
  }
  EXPECT_GT(drawnAround, 0) << "the string is drawn near the world";
  const bool overlaps = std::string(c.name) != "far";
  EXPECT_EQ(drawn > 0, overlaps);
}

INSTANTIATE_TEST_SUITE_P(Text, Clipping,
                         ::testing::Values(ClipCase{"inside", {0, 0, 30, 40}, {20, 2}},
                                           ClipCase{"left", {0, 0, 30, 40}, {20, -30}},
                                           ClipCase{"above", {0, 0, 30, 40}, {8, 0}},
                                           ClipCase{"right", {0, 0, 30, 40}, {20, 25}},
                                           ClipCase{"below", {0, 0, 30, 40}, {40, 0}},
                                           ClipCase{"offset", {-50, 300, -20, 340}, {-28, 290}},
                                           ClipCase{"far", {0, 0, 30, 40}, {20, -75}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Text, BlendsCoverageInTheForegroundColour) {
  const uint32_t kFill = 0x00000000;
  host::World w = Sentinel(Rect{0, 0, 40, 60}, kFill);
  SetGWorld(w.get(), nullptr);
  const RGBColor fore{0xFFFF, 0x0000, 0x80FF};
  RGBForeColor(&fore);
  TextSize(30);
  MoveTo(2, 30);
  const PString p = P("Sa");
  DrawString(p.data());
  int full = 0, partial = 0;
  for (int y = 0; y < w.height(); ++y) {
    for (int x = 0; x < w.width(); ++x) {
      const uint32_t px = w.pixel(x, y);
      if (px == kFill) continue;
      // Over black, a pixel with coverage a holds red a and blue 128a/255.
      const uint32_t a = (px >> 16) & 0xFF;
      EXPECT_EQ(px >> 24, 0xFFu);
      EXPECT_EQ((px >> 8) & 0xFF, 0u);
      EXPECT_EQ(px & 0xFF, (a * 128 + 127) / 255) << x << "," << y;
      full += a == 255;
      partial += a != 255;
    }
  }
  EXPECT_GT(full, 20);
  if (dejaVu_) {
    EXPECT_GT(partial, 20) << "edges are anti-aliased";
  }
}

struct ByteCase {
  std::string a, b;
  bool same;  // drawn alike
};
void PrintTo(const ByteCase& c, std::ostream* os) {
  *os << std::hex << "0x" << unsigned(uint8_t(c.a[0])) << (c.same ? " like " : " unlike ") << "0x"
      << unsigned(uint8_t(c.b[0]));
}

class ByteMap : public Text, public ::testing::WithParamInterface<ByteCase> {};

TEST_P(ByteMap, HighBytesAreMacRoman) {
  if (!dejaVu_) GTEST_SKIP() << "needs a font engine";
  const ByteCase& c = GetParam();
  const Rect bounds{0, 0, 60, 60};
  const host::Image a = Drawn(bounds, 40, {45, 5}, c.a, 0).ToImage();
  const host::Image b = Drawn(bounds, 40, {45, 5}, c.b, 0).ToImage();
  EXPECT_EQ(a == b, c.same);
}

INSTANTIATE_TEST_SUITE_P(Text, ByteMap,
                         ::testing::Values(ByteCase{"\xCA", " ", true},     // no-break space
                                           ByteCase{"\xF0", "\x01", true},  // both missing
                                           ByteCase{"\x8A", "\xF0", false},
                                           ByteCase{"\x8A", "a", false},
                                           ByteCase{"\xDB", "\xF0", false}));

TEST_F(Text, EachPortMayChooseItsFont) {
  if (!dejaVu_) GTEST_SKIP() << "needs a font engine";
  const int16_t regular = WidthAt(64, "In Progress...");
  host::World bold(8, 8);
  SetGWorld(bold.get(), nullptr);
  ASSERT_EQ(ZKTextFont("DejaVu Sans:bold"), 0);
  EXPECT_GT(WidthAt(64, "In Progress..."), regular);
  char shortName[4];
  ZKGetTextFontFamily(shortName, sizeof shortName);
  EXPECT_STREQ(shortName, "Dej");
  SetGWorld(scratch_.get(), nullptr);
  EXPECT_EQ(WidthAt(64, "In Progress..."), regular) << "other ports keep the default";
  SetGWorld(bold.get(), nullptr);
  ASSERT_EQ(ZKTextFont(nullptr), 0);
  EXPECT_EQ(WidthAt(64, "In Progress..."), regular);
}

TEST_F(Text, WorldsOnDifferentThreadsDrawAlike) {
  // A size no other test uses, so the threads render the glyphs together.
  const int16_t kSize = 53;
  const std::string text = "In Progress... \x8A\xDB";
  const Rect bounds{0, 0, 80, 480};
  std::vector<host::Image> results(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] {
      host::Image last;
      for (int k = 0; k < 20; ++k)
        last = Drawn(bounds, kSize, {60, int16_t(k % 3)}, text, 0).ToImage();
      results[i] = last;
    });
  }
  for (auto& t : threads) t.join();
  const host::Image expected = Drawn(bounds, kSize, {60, 19 % 3}, text, 0).ToImage();
  for (const host::Image& r : results) EXPECT_TRUE(r == expected);
}

}  // namespace
}  // namespace zk::test
