// Text in the current port: glyphs rendered by FreeType from a font that
// fontconfig finds, cached per font, size and byte, and blended into the
// port's pixels in the foreground colour.
//
// One registry serves the whole process.  Its mutex guards the FreeType
// library, the faces and the glyph caches; a glyph, once rendered, is
// immutable and shared, so drawing itself runs outside the lock and worlds
// on different threads draw at the same time.  Without a font engine, or
// when no font loads, every character draws as a box of a fixed width.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "mac_roman.h"
#include "world.h"
#include "zk_graphics.h"

#if ZK_WITH_TEXT
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#endif

namespace zk::platform {
namespace {

constexpr int kDefaultTextSize = 12;  // what a size of 0 (or less) stands for
// Larger sizes are drawn at this one: a glyph bitmap grows with the square.
constexpr int kMaxTextSize = 2048;
constexpr size_t kCacheBudget = size_t(32) << 20;  // coverage bytes per font
constexpr int16_t kFontNotFound = -43;
constexpr char kDefaultPattern[] = "sans-serif";

struct Glyph {
  int left = 0;                   // from the pen to the bitmap's first column
  int top = 0;                    // from the baseline up to the bitmap's first row
  int width = 0;                  // bitmap columns
  int rows = 0;                   // bitmap rows
  int advance = 0;                // whole pixels the pen moves
  std::vector<uint8_t> coverage;  // width x rows, 0 to 255
};
using GlyphPtr = std::shared_ptr<const Glyph>;

struct Font {
  std::string family;  // empty for the boxes
#if ZK_WITH_TEXT
  FT_Face face = nullptr;
#endif
  int faceSize = 0;                               // the pixel size the face is set to
  std::unordered_map<uint32_t, GlyphPtr> glyphs;  // by size << 8 | byte
  size_t cachedBytes = 0;
};

struct Registry {
  std::mutex mutex;
#if ZK_WITH_TEXT
  FT_Library library = nullptr;
  FcConfig* config = nullptr;
  bool initialised = false;
#endif
  std::map<std::string, std::unique_ptr<Font>> fonts;  // by file and face index
  Font boxes;
  Font* defaultFont = nullptr;  // found on first use
};

// Lives as long as the process: worlds may draw text from static
// destructors, and faces are few.
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

}  // namespace

struct TextState {
  Font* font = nullptr;  // null: the process default
};

namespace {

int PixelSizeOf(int16_t textSize) {
  if (textSize <= 0) return kDefaultTextSize;
  return std::min<int>(textSize, kMaxTextSize);
}

int16_t Saturate16(int64_t v) {
  return int16_t(std::clamp<int64_t>(v, INT16_MIN, INT16_MAX));
}

// A hollow box, the shape of a missing glyph; empty for the two spaces.
GlyphPtr BoxGlyph(int size, unsigned char byte) {
  auto g = std::make_shared<Glyph>();
  g->advance = std::max(1, (size * 6 + 5) / 10);
  if (byte == ' ' || byte == 0xCA) return g;
  const int margin = size / 10;
  const int stroke = std::max(1, size / 16);
  g->left = margin;
  g->width = std::max(1, g->advance - 2 * margin);
  g->rows = g->top = std::max(1, (size * 7 + 5) / 10);
  g->coverage.assign(size_t(g->width) * g->rows, 0);
  for (int y = 0; y < g->rows; ++y) {
    for (int x = 0; x < g->width; ++x) {
      const bool edge = x < stroke || y < stroke || x >= g->width - stroke || y >= g->rows - stroke;
      if (edge) g->coverage[size_t(y) * g->width + x] = 255;
    }
  }
  return g;
}

#if ZK_WITH_TEXT

// Copies the rendered bitmap of the face's glyph slot as coverage.
void CopyBitmap(const FT_Bitmap& bitmap, Glyph& g) {
  g.width = int(bitmap.width);
  g.rows = int(bitmap.rows);
  g.coverage.assign(size_t(g.width) * g.rows, 0);
  for (int y = 0; y < g.rows; ++y) {
    const unsigned char* src = bitmap.buffer + static_cast<ptrdiff_t>(y) * bitmap.pitch;
    uint8_t* dst = g.coverage.data() + size_t(y) * g.width;
    for (int x = 0; x < g.width; ++x) {
      switch (bitmap.pixel_mode) {
        case FT_PIXEL_MODE_GRAY:
          dst[x] = bitmap.num_grays == 256
                       ? src[x]
                       : uint8_t(src[x] * 255 / std::max(1, bitmap.num_grays - 1));
          break;
        case FT_PIXEL_MODE_MONO:
          dst[x] = (src[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
          break;
        case FT_PIXEL_MODE_BGRA:
          dst[x] = src[4 * x + 3];
          break;
        default:
          dst[x] = 0;
          break;
      }
    }
  }
}

// Renders one glyph of the face; null when FreeType cannot.
GlyphPtr RenderGlyph(Font& font, int size, unsigned char byte) {
  FT_Face face = font.face;
  if (font.faceSize != size) {
    if (FT_Set_Pixel_Sizes(face, 0, FT_UInt(size)) != 0) return nullptr;
    font.faceSize = size;
  }
  // An unknown character is glyph 0, the font's missing-glyph box.
  FT_UInt index = FT_Get_Char_Index(face, FT_ULong(CodePointOf(byte)));
  // Light hinting fits stems to the pixel rows only, keeping the shapes true.
  const FT_Int32 flags = FT_LOAD_TARGET_LIGHT;
  if (FT_Load_Glyph(face, index, flags) != 0) {
    if (index == 0 || FT_Load_Glyph(face, index = 0, flags) != 0) return nullptr;
  }
  FT_GlyphSlot slot = face->glyph;
  if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, FT_RENDER_MODE_LIGHT) != 0) {
    return nullptr;
  }
  auto g = std::make_shared<Glyph>();
  g->left = slot->bitmap_left;
  g->top = slot->bitmap_top;
  g->advance = int((slot->advance.x + 32) >> 6);
  CopyBitmap(slot->bitmap, *g);
  return g;
}

// The font that matches pattern, loaded once; null when none loads.
Font* FindFont(Registry& r, const char* pattern) {
  if (!r.initialised) {
    r.initialised = true;
    if (FT_Init_FreeType(&r.library) != 0) r.library = nullptr;
    r.config = FcInitLoadConfigAndFonts();
  }
  if (r.library == nullptr || r.config == nullptr) return nullptr;
  FcPattern* wanted = FcNameParse(reinterpret_cast<const FcChar8*>(pattern));
  if (wanted == nullptr) return nullptr;
  FcConfigSubstitute(r.config, wanted, FcMatchPattern);
  FcDefaultSubstitute(wanted);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(r.config, wanted, &result);
  FcPatternDestroy(wanted);
  if (match == nullptr) return nullptr;

  Font* found = nullptr;
  FcChar8* file = nullptr;
  FcChar8* family = nullptr;
  int index = 0;
  if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
    FcPatternGetInteger(match, FC_INDEX, 0, &index);
    const std::string key =
        std::string(reinterpret_cast<char*>(file)) + "#" + std::to_string(index);
    auto it = r.fonts.find(key);
    if (it != r.fonts.end()) {
      found = it->second.get();
    } else {
      FT_Face face = nullptr;
      if (FT_New_Face(r.library, reinterpret_cast<char*>(file), index, &face) == 0) {
        auto font = std::make_unique<Font>();
        font->face = face;
        if (FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch) {
          font->family = reinterpret_cast<char*>(family);
        } else {
          font->family = face->family_name != nullptr ? face->family_name : "?";
        }
        found = font.get();
        r.fonts.emplace(key, std::move(font));
      }
    }
  }
  FcPatternDestroy(match);
  return found;
}

#else

GlyphPtr RenderGlyph(Font&, int, unsigned char) {
  return nullptr;
}
Font* FindFont(Registry&, const char*) {
  return nullptr;
}

#endif

const char* PatternOr(const char* pattern) {
  return pattern != nullptr && pattern[0] != 0 ? pattern : kDefaultPattern;
}

// With the registry locked: the font text in w uses.
Font* FontOf(Registry& r, const World* w) {
  if (w != nullptr && w->text != nullptr && w->text->font != nullptr) return w->text->font;
  if (r.defaultFont == nullptr) {
    Font* found = FindFont(r, kDefaultPattern);
    r.defaultFont = found != nullptr ? found : &r.boxes;
  }
  return r.defaultFont;
}

// The glyph of one byte at a pixel size, rendered on first use.
GlyphPtr GlyphOf(Registry& r, Font& font, int size, unsigned char byte) {
  const uint32_t key = uint32_t(size) << 8 | byte;
  auto it = font.glyphs.find(key);
  if (it != font.glyphs.end()) return it->second;
  GlyphPtr g = &font == &r.boxes ? nullptr : RenderGlyph(font, size, byte);
  if (g == nullptr) g = BoxGlyph(size, byte);
  // Past the budget the cache starts over; glyphs in use stay alive.
  if (font.cachedBytes + g->coverage.size() > kCacheBudget) {
    font.glyphs.clear();
    font.cachedBytes = 0;
  }
  font.cachedBytes += g->coverage.size() + sizeof(Glyph);
  font.glyphs.emplace(key, g);
  return g;
}

// Blends g's coverage in colour into w with its origin at (x0, y0) in port
// coordinates, clipped to the port bounds.
void BlendGlyph(World* w, const Glyph& g, int64_t x0, int64_t y0, uint32_t color) {
  const Rect& b = w->bounds;
  const int64_t left = std::max<int64_t>(x0, b.left);
  const int64_t right = std::min<int64_t>(x0 + g.width, b.right);
  const int64_t top = std::max<int64_t>(y0, b.top);
  const int64_t bottom = std::min<int64_t>(y0 + g.rows, b.bottom);
  if (left >= right || top >= bottom) return;
  const uint32_t fr = (color >> 16) & 0xFF, fg = (color >> 8) & 0xFF, fb = color & 0xFF;
  for (int64_t y = top; y < bottom; ++y) {
    uint32_t* row = RowOf(w, int(y - b.top));
    const uint8_t* cov = g.coverage.data() + size_t(y - y0) * g.width;
    for (int64_t x = left; x < right; ++x) {
      const uint32_t a = cov[x - x0];
      uint32_t& px = row[x - b.left];
      if (a == 0) continue;
      if (a == 255) {
        px = color;
        continue;
      }
      const uint32_t d = px;
      const uint32_t keep = 255 - a;
      const uint32_t r = (((d >> 16) & 0xFF) * keep + fr * a + 127) / 255;
      const uint32_t gr = (((d >> 8) & 0xFF) * keep + fg * a + 127) / 255;
      const uint32_t bl = ((d & 0xFF) * keep + fb * a + 127) / 255;
      px = 0xFF000000u | r << 16 | gr << 8 | bl;
    }
  }
}

// Walks the string's glyphs; returns the sum of their advances.
template <typename Visit>
int64_t ForEachGlyph(World* w, ConstStr255Param s, Visit&& visit) {
  Registry& r = TheRegistry();
  const int size = PixelSizeOf(w->textSize);
  Font* font;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    font = FontOf(r, w);
  }
  int64_t advance = 0;
  for (int i = 1; i <= s[0]; ++i) {
    GlyphPtr g;
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      g = GlyphOf(r, *font, size, s[i]);
    }
    visit(*g, advance);
    advance += g->advance;
  }
  return advance;
}

}  // namespace

void ReleaseTextState(World* w) {
  delete w->text;
  w->text = nullptr;
}

}  // namespace zk::platform

using zk::platform::World;

extern "C" {

int16_t StringWidth(ConstStr255Param s) {
  World* w = zk::platform::CurrentWorld();
  if (w == nullptr || s == nullptr) return 0;
  return zk::platform::Saturate16(
      zk::platform::ForEachGlyph(w, s, [](const zk::platform::Glyph&, int64_t) {}));
}

void DrawString(ConstStr255Param s) {
  World* w = zk::platform::CurrentWorld();
  if (w == nullptr || s == nullptr) return;
  const int64_t penX = w->pen.h, penY = w->pen.v;
  const uint32_t color = zk::platform::PixelOf(w->fore);
  const int64_t width =
      zk::platform::ForEachGlyph(w, s, [&](const zk::platform::Glyph& g, int64_t offset) {
        zk::platform::BlendGlyph(w, g, penX + offset + g.left, penY - g.top, color);
      });
  w->pen.h = zk::platform::Saturate16(penX + zk::platform::Saturate16(width));
}

int16_t ZKSetDefaultTextFont(const char* pattern) {
  zk::platform::Registry& r = zk::platform::TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  zk::platform::Font* found = zk::platform::FindFont(r, zk::platform::PatternOr(pattern));
  r.defaultFont = found != nullptr ? found : &r.boxes;
  return found != nullptr ? 0 : zk::platform::kFontNotFound;
}

int16_t ZKTextFont(const char* pattern) {
  World* w = zk::platform::CurrentWorld();
  if (w == nullptr) return zk::platform::kFontNotFound;
  if (pattern == nullptr || pattern[0] == 0) {
    zk::platform::ReleaseTextState(w);  // back to the process default
    return 0;
  }
  zk::platform::Registry& r = zk::platform::TheRegistry();
  zk::platform::Font* found;
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    found = zk::platform::FindFont(r, pattern);
  }
  if (w->text == nullptr) w->text = new zk::platform::TextState;
  w->text->font = found != nullptr ? found : &r.boxes;
  return found != nullptr ? 0 : zk::platform::kFontNotFound;
}

void ZKGetTextFontFamily(char* family, int32_t size) {
  if (family == nullptr || size <= 0) return;
  zk::platform::Registry& r = zk::platform::TheRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  const std::string& name = zk::platform::FontOf(r, zk::platform::CurrentWorld())->family;
  const size_t n = std::min(name.size(), size_t(size) - 1);
  std::memcpy(family, name.data(), n);
  family[n] = 0;
}

}  // extern "C"
