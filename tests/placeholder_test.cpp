// The placeholder frame of both bundles, drawn through the reference host.
// Each picture is checked against one drawn directly with the platform at
// the positions the text must land on; strings of a chosen width are made
// from glyphs measured here, so the positions do not hang on one font.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

#if ZK_TEST_PNG
#include <png.h>
#endif

namespace zk::test {
namespace {

using PString = std::array<unsigned char, 256>;

constexpr uint32_t kSentinel = 0x00ABCDEF;
constexpr uint32_t kDkGray = 0xFF2F2F2F;
constexpr uint32_t kWhite = 0xFFFFFFFF;
constexpr uint32_t kBlack = 0xFF000000;
const Rect kWorldBounds{0, 0, 500, 760};
const Rect k720x480{0, 0, 480, 720};

PString P(const std::string& s) {
  PString p{};
  p[0] = static_cast<unsigned char>(s.size());
  std::memcpy(p.data() + 1, s.data(), s.size());
  return p;
}

bool HasFontEngine() {
  if (ZKSetDefaultTextFont("DejaVu Sans") != 0) return false;
  char name[64];
  ZKGetTextFontFamily(name, sizeof name);
  EXPECT_STREQ(name, "DejaVu Sans");
  return true;
}

int16_t Width64(const std::string& s) {
  host::World w(4, 4);
  SetGWorld(w.get(), nullptr);
  TextSize(64);
  const PString p = P(s);
  const int16_t width = StringWidth(p.data());
  SetGWorld(nullptr, nullptr);
  return width;
}

// The shortest printable string exactly `target` pixels wide at 64 points,
// if there is one of at most 255 characters.
std::optional<std::string> StringOfWidth(int target) {
  std::vector<std::pair<char, int>> glyphs;
  for (char c = '!'; c <= '~'; ++c) glyphs.emplace_back(c, Width64(std::string(1, c)));
  std::vector<int> count(target + 1, 1 << 20), last(target + 1, -1);
  count[0] = 0;
  for (int w = 1; w <= target; ++w) {
    for (size_t g = 0; g < glyphs.size(); ++g) {
      const int gw = glyphs[g].second;
      if (gw > 0 && gw <= w && count[w - gw] + 1 < count[w]) {
        count[w] = count[w - gw] + 1;
        last[w] = int(g);
      }
    }
  }
  if (count[target] > 255) return std::nullopt;
  std::string s;
  for (int w = target; w > 0; w -= glyphs[last[w]].second) s += glyphs[last[w]].first;
  if (Width64(s) != target) return std::nullopt;
  return s;
}

host::World Filled(const Rect& bounds) {
  host::World w(bounds);
  PixMapHandle pm = GetGWorldPixMap(w.get());
  for (int y = 0; y < w.height(); ++y) std::fill_n(w.row(y), GetPixRowBytes(pm) / 4, kSentinel);
  return w;
}

// What the placeholder must look like: frameRect erased to dark grey, the
// text black at (x, y) and white 2 pixels up and left.
host::Image Expected(const Rect& bounds, const Rect& frameRect, const std::string& text, int16_t x,
                     int16_t y) {
  host::World w = Filled(bounds);
  SetGWorld(w.get(), nullptr);
  const RGBColor dkGray{0x2FFF, 0x2FFF, 0x2FFF};
  RGBBackColor(&dkGray);
  EraseRect(&frameRect);
  TextSize(64);
  const PString p = P(text);
  MoveTo(x, y);
  ForeColor(blackColor);
  DrawString(p.data());
  MoveTo(int16_t(x - 2), int16_t(y - 2));
  ForeColor(whiteColor);
  DrawString(p.data());
  SetGWorld(nullptr, nullptr);
  return w.ToImage();
}

class Placeholder : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { fontEngine_ = HasFontEngine(); }
  void TearDown() override { SetGWorld(nullptr, nullptr); }

  // Runs kPlugFilePlaceHolder on a fresh instance into `world`.
  int Run(PluginInstance& inst, const host::World& world, const Rect& frameRect) {
    inst.params().frame = world.get();
    inst.params().frameRect = frameRect;
    return inst.Call(kPlugFilePlaceHolder);
  }

  const host::Bundle& bundle() { return LoadedBundle(GetParam()); }
  bool fontEngine_ = false;
};

struct PositionCase {
  const char* name;
  Rect frameRect;
  int textWidth;
  int16_t locX, locY;
};

class PlaceholderPosition : public Placeholder {
 protected:
  static const PositionCase kCases[];
};

const PositionCase PlaceholderPosition::kCases[] = {
    {"origin", {0, 0, 480, 720}, 400, 160, 160},
    {"odd width", {0, 0, 480, 721}, 400, 160, 160},
    {"text wider than the frame", {0, 0, 480, 720}, 800, -40, 160},
    {"height 100", {0, 0, 100, 720}, 400, 160, 33},
    {"bottom above top", {5, 0, 0, 720}, 400, 160, -1},
    {"frame away from the origin", {10, 20, 490, 740}, 400, 160, 160},
};

TEST_P(PlaceholderPosition, TextLandsInWorldCoordinates) {
  for (const PositionCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string> text = StringOfWidth(c.textWidth);
    if (!text) GTEST_SKIP() << "no string " << c.textWidth << " pixels wide in this font";
    PluginInstance inst(bundle(), 1);
    inst.set_localized_string(*text);
    host::World world = Filled(kWorldBounds);
    ASSERT_EQ(Run(inst, world, c.frameRect), kPluginOK);

    Point pen;
    GetPen(&pen);
    EXPECT_EQ(pen.h, c.locX - 2 + c.textWidth);
    EXPECT_EQ(pen.v, c.locY - 2);
    const Rect& r = c.frameRect;
    if (r.top < r.bottom) {
      EXPECT_EQ(world.pixel(r.right - 1, r.bottom - 1), kDkGray);
      if (r.left > 0) {
        EXPECT_EQ(world.pixel(r.left - 1, r.top), kSentinel);
      }
    }
    EXPECT_TRUE(world.ToImage() == Expected(kWorldBounds, r, *text, c.locX, c.locY));
  }
}

INSTANTIATE_TEST_SUITE_P(Bundles, PlaceholderPosition, ::testing::Values("Cindergate", "Ashveil"));

struct TextCase {
  std::string fromHost;
  std::string drawn;
  uint64_t copies;  // pstrcpy calls
};

TEST_P(Placeholder, HostTextOrTheDefault) {
  const TextCase cases[] = {
      {"", "In Progress...", 1},
      {"Rendering", "Rendering", 0},
      {"En cours\xC9", "En cours\xC9", 0},
      {std::string(255, 'x'), std::string(255, 'x'), 0},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.drawn.substr(0, 20));
    PluginInstance inst(bundle(), 1);
    ServiceRig rig(inst);
    inst.set_localized_string(c.fromHost);
    host::World world = Filled(kWorldBounds);
    ASSERT_EQ(Run(inst, world, k720x480), kPluginOK);
    EXPECT_EQ(rig.CountOf(Service::kGetLocalizedString), 1u);
    EXPECT_EQ(rig.CountOf(Service::kPstrcpy), c.copies);

    const int16_t width = Width64(c.drawn);
    const auto locX = int16_t((720 - width) / 2);
    EXPECT_TRUE(world.ToImage() == Expected(kWorldBounds, k720x480, c.drawn, locX, 160));
  }
  if (fontEngine_) {
    EXPECT_EQ(Width64("In Progress..."), 416);
  }
}

TEST_P(Placeholder, GreyFrameWithWhiteTextOverItsShadow) {
  PluginInstance inst(bundle(), 1);
  host::World world = Filled(kWorldBounds);
  ASSERT_EQ(Run(inst, world, k720x480), kPluginOK);

  const int width = Width64("In Progress...");
  const int locX = (720 - width) / 2, locY = 160;
  int white = 0, shadowed = 0;
  for (int y = 0; y < world.height(); ++y) {
    for (int x = 0; x < world.width(); ++x) {
      const uint32_t px = world.pixel(x, y);
      if (x >= 720 || y >= 480) {
        ASSERT_EQ(px, kSentinel) << x << "," << y;
        continue;
      }
      ASSERT_EQ(px >> 24, 0xFFu);
      const uint32_t level = px & 0xFF;
      ASSERT_EQ(px & 0xFFFFFF, level * 0x010101u) << "black and white over grey stay grey";
      const bool nearText =
          x >= locX - 4 && x < locX + width + 4 && y >= locY - 80 && y < locY + 20;
      if (!nearText) {
        ASSERT_EQ(px, kDkGray) << x << "," << y;
      }
      if (px == kWhite) {
        ++white;
        shadowed += world.pixel(x + 2, y + 2) == kBlack;
      }
    }
  }
  EXPECT_GT(white, 1000);
  EXPECT_GT(shadowed, 50) << "black shows 2 pixels down and right of the white";
}

TEST_P(Placeholder, TextWiderThanTheWorldIsClipped) {
  PluginInstance inst(bundle(), 1);
  inst.set_localized_string("In Progress... In Progress...");
  host::World world = Filled(Rect{0, 0, 60, 100});
  ASSERT_EQ(Run(inst, world, Rect{0, 0, 60, 100}), kPluginOK);
  PixMapHandle pm = GetGWorldPixMap(world.get());
  int white = 0;
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 100; ++x) white += world.pixel(x, y) == kWhite;
    for (int x = 100; x < GetPixRowBytes(pm) / 4; ++x) ASSERT_EQ(world.row(y)[x], kSentinel);
  }
  EXPECT_GT(white, 0);
}

TEST_P(Placeholder, LeavesTheOutputCurrentAndRestoresThePixelState) {
  for (GWorldFlags before : {GWorldFlags(0), GWorldFlags(kZKPixelsLocked), GWorldFlags(0x40)}) {
    SCOPED_TRACE(before);
    PluginInstance inst(bundle(), 1);
    host::World world = Filled(kWorldBounds);
    host::World other(4, 4);
    SetPixelsState(GetGWorldPixMap(world.get()), before);
    SetGWorld(world.get(), nullptr);
    const RGBColor red{0xFFFF, 0, 0};
    RGBForeColor(&red);
    RGBBackColor(&red);
    TextSize(9);
    SetGWorld(other.get(), nullptr);

    ASSERT_EQ(Run(inst, world, k720x480), kPluginOK);
    CGrafPtr port = nullptr;
    GDHandle device = nullptr;
    GetGWorld(&port, &device);
    EXPECT_EQ(port, world.get());
    EXPECT_EQ(device, GetGWorldDevice(world.get()));
    RGBColor fore, back;
    GetForeColor(&fore);
    GetBackColor(&back);
    EXPECT_EQ(fore.red & fore.green & fore.blue, 0xFFFF);
    EXPECT_EQ(back.red & back.green & back.blue, 0xFFFF);
    const PString p = P("In Progress...");
    const int16_t widthHere = StringWidth(p.data());
    EXPECT_EQ(widthHere, Width64("In Progress...")) << "text size stays 64";
    EXPECT_EQ(GetPixelsState(GetGWorldPixMap(world.get())), before);
  }
}

TEST_P(Placeholder, DrawnTheSameInAnyStateAndVariant) {
  const host::Image expected = Expected(kWorldBounds, k720x480, "In Progress...",
                                        int16_t((720 - Width64("In Progress...")) / 2), 160);
  for (int which : {1, 4, 0, 7, -1}) {
    PluginInstance inst(bundle(), int16_t(which));
    for (ZKPluginSelector step : {ZKPluginSelector(0), ZKPluginSelector(kPlugInitialize),
                                  ZKPluginSelector(kPlugTerminate)}) {
      SCOPED_TRACE(::testing::Message() << "variant " << which << " after " << int(step));
      if (step != 0) {
        ASSERT_EQ(inst.Call(step), kPluginOK);
      }
      host::World world = Filled(kWorldBounds);
      ASSERT_EQ(Run(inst, world, k720x480), kPluginOK);
      EXPECT_TRUE(world.ToImage() == expected);
    }
  }
}

TEST_P(Placeholder, RefusesWhatItCannotDrawWith) {
  PluginInstance inst(bundle(), 1);
  host::World world = Filled(kWorldBounds);
  host::World other(4, 4);
  ZKProcs noCopy = *inst.params().procs;
  noCopy.pstrcpy = nullptr;
  const struct {
    const char* name;
    GWorldPtr frame;
    ZKProcs* procs;
  } cases[] = {{"no frame", nullptr, inst.params().procs},
               {"no services", world.get(), nullptr},
               {"no pstrcpy", world.get(), &noCopy}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetGWorld(other.get(), nullptr);
    ZKPluginParams& params = inst.params();
    ZKProcs* procs = params.procs;
    params.frame = c.frame;
    params.frameRect = k720x480;
    params.procs = c.procs;
    params.selector = kPlugFilePlaceHolder;
    EXPECT_EQ(inst.CallMain(1, &params), kPluginBadParams);
    params.procs = procs;
    CGrafPtr port = nullptr;
    GetGWorld(&port, nullptr);
    EXPECT_EQ(port, other.get());
    EXPECT_EQ(world.pixel(0, 0), kSentinel);
  }
}

INSTANTIATE_TEST_SUITE_P(Bundles, Placeholder, ::testing::Values("Cindergate", "Ashveil"));

#if ZK_TEST_PNG

// Grey levels of a picture whose pixels are all grey.
std::vector<uint8_t> GreyOf(const host::Image& image) {
  std::vector<uint8_t> grey(image.pixels.size());
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = image.pixels[i] & 0xFF;
  return grey;
}

bool ReadGreyPng(const std::string& path, int width, int height, std::vector<uint8_t>& grey) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
  png.format = PNG_FORMAT_GRAY;
  if (int(png.width) != width || int(png.height) != height) {
    png_image_free(&png);
    return false;
  }
  grey.resize(size_t(width) * height);
  return png_image_finish_read(&png, nullptr, grey.data(), width, nullptr) != 0;
}

bool WriteGreyPng(const std::string& path, int width, int height,
                  const std::vector<uint8_t>& grey) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = width;
  png.height = height;
  png.format = PNG_FORMAT_GRAY;
  return png_image_write_to_file(&png, path.c_str(), 0, grey.data(), width, nullptr) != 0;
}

// Compares two grey pictures as a reader would: the amount of white and of
// black alike within 3%, both in the same place, 8 x 8 blocks alike on
// average, few pixels apart.
// Anti-aliased edges may move by a level or a pixel across FreeType
// versions; the text as a whole may not.
void ExpectLooksAlike(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width,
                      int height) {
  auto count = [](const std::vector<uint8_t>& g, bool light) {
    return std::count_if(g.begin(), g.end(),
                         [&](uint8_t v) { return light ? v > 0xC0 : v < 0x18; });
  };
  for (bool light : {true, false}) {
    const double ca = double(count(a, light)), cb = double(count(b, light));
    EXPECT_GT(cb, 500.0);
    EXPECT_NEAR(ca, cb, cb * 0.03) << (light ? "white" : "black") << " pixels";
  }
  // Where the white and the black lie, weighted by how far each pixel is
  // from the grey: hinting moves edges, but not the text as a whole.
  for (int sign : {1, -1}) {
    auto centre = [&](const std::vector<uint8_t>& g, double& cx, double& cy) {
      double sum = 0, sx = 0, sy = 0;
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const int ink = sign * (int(g[size_t(y) * width + x]) - 0x2F);
          if (ink <= 0) continue;
          sum += ink;
          sx += double(ink) * x;
          sy += double(ink) * y;
        }
      }
      cx = sx / sum;
      cy = sy / sum;
    };
    double ax, ay, bx, by;
    centre(a, ax, ay);
    centre(b, bx, by);
    EXPECT_NEAR(ax, bx, 0.5) << (sign > 0 ? "white" : "black");
    EXPECT_NEAR(ay, by, 0.5) << (sign > 0 ? "white" : "black");
  }
  int worstBlock = 0;
  for (int by = 0; by + 8 <= height; by += 8) {
    for (int bx = 0; bx + 8 <= width; bx += 8) {
      int sa = 0, sb = 0;
      for (int y = by; y < by + 8; ++y) {
        for (int x = bx; x < bx + 8; ++x) {
          sa += a[size_t(y) * width + x];
          sb += b[size_t(y) * width + x];
        }
      }
      worstBlock = std::max(worstBlock, std::abs(sa - sb) / 64);
    }
  }
  EXPECT_LE(worstBlock, 40);
  long diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff += std::abs(int(a[i]) - int(b[i]));
  EXPECT_LE(double(diff) / double(a.size()), 1.0);
}

TEST(PlaceholderPicture, MatchesTheStoredPicture) {
  if (!HasFontEngine()) GTEST_SKIP() << "needs a font engine";
  PluginInstance inst(LoadedBundle("Cindergate"), 1);
  host::World world(720, 480);
  inst.params().frame = world.get();
  inst.params().frameRect = k720x480;
  ASSERT_EQ(inst.Call(kPlugFilePlaceHolder), kPluginOK);
  SetGWorld(nullptr, nullptr);
  const std::vector<uint8_t> drawn = GreyOf(world.ToImage());

  const std::string golden = std::string(ZK_TEST_DATA_DIR) + "/placeholder_720x480.png";
  if (std::getenv("ZK_UPDATE_GOLDEN") != nullptr) {
    ASSERT_TRUE(WriteGreyPng(golden, 720, 480, drawn));
  }
  std::vector<uint8_t> stored;
  ASSERT_TRUE(ReadGreyPng(golden, 720, 480, stored)) << golden;
  ExpectLooksAlike(drawn, stored, 720, 480);
  if (HasFailure()) {
    const std::string actual = ::testing::TempDir() + "placeholder_720x480.png";
    WriteGreyPng(actual, 720, 480, drawn);
    ADD_FAILURE() << "drawn picture written to " << actual;
  }
}

#endif  // ZK_TEST_PNG

}  // namespace
}  // namespace zk::test
