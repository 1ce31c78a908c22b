#include "output/mlt.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "output/output.h"

namespace zk::video {
namespace {

struct Frei0rVariant {
  const char* id;
  const char* bundle;
  int which;
};
// Made by CMake from frei0r/variants.cmake.
constexpr Frei0rVariant kVariants[] = {
#include "frei0r_variants.inc"
};

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Number(double v) {
  std::ostringstream s;
  s.precision(17);
  s << v;
  return s.str();
}

// Frame r of an n-frame transition is the plug-in's frame at progress
// (r + 1) / n, as zkhost renders it.
std::string Progress(int n) { return "0=" + Number(1.0 / n) + ";-1=1"; }

// The plug-in's gains as keyframes of the volume filter's level (dB), or
// empty when the clip plays at its own level throughout.
std::string Levels(const std::vector<float>& gains) {
  if (std::all_of(gains.begin(), gains.end(), [](float g) { return g == 1.0f; })) return {};
  std::string s;
  for (size_t r = 0; r < gains.size(); ++r) {
    const double db = gains[r] > 0 ? 20 * std::log10(double(gains[r])) : -200.0;
    s += (r ? ";" : "") + std::to_string(r) + "=" + Number(db);
  }
  return s;
}

std::string Property(const std::string& name, const std::string& value, int indent) {
  return std::string(size_t(indent), ' ') + "<property name=\"" + name + "\">" + Escape(value) + "</property>\n";
}

std::string Frei0rOf(const MltCut& cut) {
  const std::string id = Frei0rName(cut.bundle, cut.variant);
  if (id.empty()) throw Error("--mlt: " + cut.bundle + " variant " + std::to_string(cut.variant) + " has no frei0r plug-in");
  return "frei0r." + id;
}

// ---- Kernel: which source frame MLT's producer shows ------------------

// The grid frames of [trim, trim + length) at which MLT's avformat producer
// shows another source frame than zkhost: it numbers each source frame by
// its start (shifted by video_delay) rounded at the source's nominal rate,
// and shows the first numbered at or after the frame it is asked for,
// which is the grid time rounded at that rate, or (through a time remap,
// the source at its own rate) the source frame at or before the grid time.
int64_t Misses(const Clip& clip, AVRational rate, int64_t trim, int64_t length, bool remap, int shift) {
  const VideoTrack& v = *clip.video;
  const double s = av_q2d(v.format().rate), r = av_q2d(rate), delay = -shift / s;
  int64_t misses = 0, k = 0, shown = 0;
  int64_t current = std::numeric_limits<int64_t>::min();
  for (int64_t g = trim; g < trim + length; ++g) {
    const double t = double(g) / r;
    const int64_t wanted = remap ? int64_t(std::floor(t * s)) : int64_t(t * s + 0.5);
    for (; current < wanted && k < v.frames(); ++k) {
      current = int64_t((v.Time(k) + delay) * s + 0.5);  // truncated, as MLT does
      shown = k;
    }
    // MLT 7.12's time remap hands over its very first frame converted
    // through Y'CbCr: not the clip's pixels.
    misses += shown != clip.grid->Source(g) || (remap && g == 0);
  }
  return misses;
}

void Retime(const Clip& clip, AVRational rate, MltClip* out) {
  out->sourceRate = clip.video->format().rate;
  out->differ = Misses(clip, rate, out->trim, out->length, false, 0);
  for (int shift : {0, 1, -1, 2, -2}) {
    for (bool remap : {false, true}) {
      if (out->differ == 0) return;
      const int64_t m = Misses(clip, rate, out->trim, out->length, remap, shift);
      if (m < out->differ) {
        out->differ = m;
        out->remap = remap;
        out->shift = shift;
      }
    }
  }
}

// The part of the upright picture zkhost keeps when it crops or stretches
// a clip of another shape, and the sample aspect that fills the profile.
void Fitting(const Clip& clip, const Canvas& canvas, Fit fit, MltClip* out) {
  const VideoFormat& f = clip.video->format();
  const Placement& p = clip.place;
  const bool turned = p.rotation == 90 || p.rotation == 270;
  const int rw = turned ? f.height : f.width, rh = turned ? f.width : f.height;
  double sar = f.aspect.num > 0 && f.aspect.den > 0 ? av_q2d(f.aspect) : 1.0;
  if (turned) sar = 1.0 / sar;
  const double canvasAspect = canvas.pictureWidth * av_q2d(canvas.aspect) / canvas.pictureHeight;
  if (fit == Fit::kPad || std::abs(rw * sar / rh / canvasAspect - 1) <= 1e-3) return;
  // Margins of the coded picture, turned as the picture is turned upright.
  const int l = p.srcX, t = p.srcY, r = f.width - p.srcX - p.srcW, b = f.height - p.srcY - p.srcH;
  const int m[4][4] = {{l, t, r, b}, {b, l, t, r}, {r, b, l, t}, {t, r, b, l}};
  const int* u = m[(p.rotation / 90) & 3];
  out->left = u[0], out->top = u[1], out->right = u[2], out->bottom = u[3];
  // MLT takes a turned clip's forced aspect as its coded pixels' (and turns it).
  const double upright = canvasAspect * (rh - out->top - out->bottom) / (rw - out->left - out->right);
  out->aspect = turned ? 1 / upright : upright;
}

// ---- Writers ----------------------------------------------------------

void WriteProfile(const MltEdit& edit, std::ostream& x) {
  const AVRational dar = av_mul_q(edit.aspect, {edit.width, edit.height});
  AVRational d;
  av_reduce(&d.num, &d.den, dar.num, dar.den, 1 << 20);
  x << "  <profile description=\"zkhost\" width=\"" << edit.width << "\" height=\"" << edit.height
    << "\" progressive=\"1\" sample_aspect_num=\"" << edit.aspect.num << "\" sample_aspect_den=\"" << edit.aspect.den
    << "\" display_aspect_num=\"" << d.num << "\" display_aspect_den=\"" << d.den << "\" frame_rate_num=\""
    << edit.rate.num << "\" frame_rate_den=\"" << edit.rate.den << "\" colorspace=\"" << (edit.bt709 ? 709 : 601)
    << "\"/>\n";
}

std::string Filter(const std::string& service, const std::vector<std::pair<std::string, std::string>>& props,
                   int64_t in = -1, int64_t out = -1) {
  std::string s = "    <filter";
  if (in >= 0) s += " in=\"" + std::to_string(in) + "\" out=\"" + std::to_string(out) + "\"";
  s += ">\n" + Property("mlt_service", service, 6);
  for (const auto& [name, value] : props) s += Property(name, value, 6);
  return s + "    </filter>\n";
}

// A clip's producer (a chain, as Shotcut makes them) with everything zkhost
// does to the clip alone.
void WriteClip(const MltClip& c, const MltCut& cut, size_t i, std::ostream& x) {
  x << "  <chain id=\"clip" << i << "\">\n"
    << Property("resource", std::filesystem::absolute(c.path).string(), 4) << Property("mlt_service", "avformat", 4);
  if (c.aspect > 0) x << Property("force_aspect_ratio", Number(c.aspect), 4);
  if (c.shift != 0) x << Property("video_delay", Number(-c.shift / av_q2d(c.sourceRate)), 4);
  if (c.remap) x << "    <link>\n" << Property("mlt_service", "timeremap", 6) << "    </link>\n";
  if (c.left || c.top || c.right || c.bottom) {
    x << Filter("crop", {{"left", std::to_string(c.left)}, {"top", std::to_string(c.top)},
                         {"right", std::to_string(c.right)}, {"bottom", std::to_string(c.bottom)}});
  }
  if (c.volume != 256) x << Filter("volume", {{"gain", Number(Gain(c.volume))}});
  if (cut.kind == CutKind::kAfter) {
    const int64_t end = c.trim + c.length - 1;
    x << Filter(Frei0rOf(cut), {{"progress", Progress(cut.frames)}}, end - cut.frames + 1, end);
    const std::string levels = Levels(cut.gains[0]);
    if (!levels.empty()) x << Filter("volume", {{"level", levels}}, end - cut.frames + 1, end);
    // A ramp from the frame before the fade (MLT ramps each frame from the
    // one before's gain), so that it ends at 0 where the clip does.
    if (cut.fade > 0) x << Filter("volume", {{"gain", "1"}, {"end", "0"}}, end - cut.fade, end);
  }
  x << "  </chain>\n";
}

// A two-clip transition: the overlap of the two clips, in a tractor that
// Shotcut shows as a transition between them.
void WriteCut(const MltEdit& edit, size_t i, std::ostream& x) {
  const MltCut& cut = edit.cuts[i];
  const MltClip& a = edit.clips[i];
  const MltClip& b = edit.clips[i + 1];
  const int64_t aEnd = a.trim + a.length - 1;
  const auto between = [&](const std::string& service) {
    return "    <transition out=\"" + std::to_string(cut.frames - 1) + "\">\n" + Property("a_track", "0", 6) +
           Property("b_track", "1", 6) + Property("mlt_service", service, 6);
  };
  x << "  <tractor id=\"cut" << i << "\" in=\"0\" out=\"" << cut.frames - 1 << "\">\n"
    << Property("shotcut:transition", "lumaMix", 4)
    << "    <track producer=\"clip" << i << "\" in=\"" << aEnd - cut.frames + 1 << "\" out=\"" << aEnd << "\"/>\n"
    << "    <track producer=\"clip" << i + 1 << "\" in=\"" << b.trim << "\" out=\"" << b.trim + cut.frames - 1
    << "\"/>\n";
  // The sound: each clip at the gain the plug-in gave it (on its track,
  // before the tracks meet), summed.
  for (int side : {0, 1}) {
    const std::string levels = Levels(cut.gains[side]);
    if (levels.empty()) continue;
    x << "    <filter out=\"" << cut.frames - 1 << "\">\n" << Property("track", std::to_string(side), 6)
      << Property("mlt_service", "volume", 6) << Property("level", levels, 6) << "    </filter>\n";
  }
  x << between(Frei0rOf(cut)) << Property("progress", Progress(cut.frames), 6) << "    </transition>\n"
    << between("mix") << Property("sum", "1", 6) << Property("accepts_blanks", "1", 6) << "    </transition>\n"
    << "  </tractor>\n";
}

// Track V1: each clip less the frames its transitions overlap.
int64_t WriteTrack(const MltEdit& edit, std::ostream& x) {
  int64_t frames = 0;
  x << "  <playlist id=\"playlist0\">\n" << Property("shotcut:video", "1", 4) << Property("shotcut:name", "V1", 4);
  for (size_t i = 0; i < edit.clips.size(); ++i) {
    const MltClip& c = edit.clips[i];
    int64_t in = c.trim, out = c.trim + c.length - 1;
    const bool into = i > 0 && edit.cuts[i - 1].kind == CutKind::kBetween;
    const bool onward = edit.cuts[i].kind == CutKind::kBetween && i + 1 < edit.clips.size();
    if (into) in += edit.cuts[i - 1].frames;
    if (onward) out -= edit.cuts[i].frames;
    if (out >= in) x << "    <entry producer=\"clip" << i << "\" in=\"" << in << "\" out=\"" << out << "\"/>\n";
    frames += std::max<int64_t>(0, out - in + 1);
    if (onward) {
      x << "    <entry producer=\"cut" << i << "\" in=\"0\" out=\"" << edit.cuts[i].frames - 1 << "\"/>\n";
      frames += edit.cuts[i].frames;
    }
  }
  x << "  </playlist>\n";
  return frames;
}

// Shotcut's frame around the track: its bin, a black background under V1,
// and the main tractor mixing the tracks' sound (V1's picture is shown as
// it is: Shotcut never composites V1).
void WriteProject(const MltEdit& edit, std::ostream& x) {
  x << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    << "<mlt LC_NUMERIC=\"C\" version=\"7.12.0\" title=\"zkhost edit\" producer=\"main_bin\">\n";
  WriteProfile(edit, x);
  x << "  <playlist id=\"main_bin\">\n" << Property("xml_retain", "1", 4) << "  </playlist>\n";
  for (size_t i = 0; i < edit.clips.size(); ++i) WriteClip(edit.clips[i], edit.cuts[i], i, x);
  for (size_t i = 0; i + 1 < edit.clips.size(); ++i) {
    if (edit.cuts[i].kind == CutKind::kBetween) WriteCut(edit, i, x);
  }
  std::ostringstream track;
  const int64_t frames = WriteTrack(edit, track);
  const std::string last = std::to_string(frames - 1);
  x << "  <producer id=\"black\" in=\"0\" out=\"" << last << "\">\n"
    << Property("length", std::to_string(frames), 4) << Property("eof", "pause", 4) << Property("resource", "0", 4)
    << Property("aspect_ratio", "1", 4) << Property("mlt_service", "color", 4)
    << Property("mlt_image_format", "rgba", 4) << Property("set.test_audio", "0", 4) << "  </producer>\n"
    << "  <playlist id=\"background\">\n    <entry producer=\"black\" in=\"0\" out=\"" << last
    << "\"/>\n  </playlist>\n"
    << track.str() << "  <tractor id=\"tractor0\" in=\"0\" out=\"" << last << "\">\n"
    << Property("shotcut", "1", 4) << "    <track producer=\"background\"/>\n    <track producer=\"playlist0\"/>\n"
    << "    <transition>\n" << Property("a_track", "0", 6) << Property("b_track", "1", 6)
    << Property("mlt_service", "mix", 6) << Property("always_active", "1", 6) << Property("sum", "1", 6)
    << "    </transition>\n    <transition>\n" << Property("a_track", "0", 6) << Property("b_track", "1", 6)
    << Property("version", "0.9", 6) << Property("mlt_service", "frei0r.cairoblend", 6)
    << Property("disable", "1", 6) << "    </transition>\n  </tractor>\n</mlt>\n";
}

}  // namespace

MltClip MltClipOf(const Clip& clip, int64_t length, const Canvas& canvas, Fit fit, AVRational rate) {
  MltClip c;
  c.path = clip.video->path();
  c.trim = clip.trim;
  c.length = length;
  c.volume = clip.volume;
  Fitting(clip, canvas, fit, &c);
  Retime(clip, rate, &c);
  return c;
}

std::string Frei0rName(const std::string& bundle, int variant) {
  for (const Frei0rVariant& v : kVariants) {
    if (bundle == v.bundle && variant == v.which) return v.id;
  }
  return {};
}

std::unique_ptr<TempPath> WriteMltProject(const MltEdit& edit, const std::string& path,
                                          const std::function<void(const std::string&)>& notice) {
  std::ostringstream x;
  WriteProject(edit, x);
  for (const MltClip& c : edit.clips) {
    if (c.differ == 0) continue;
    notice("--mlt: " + c.path + " (" + Number(av_q2d(c.sourceRate)) + " fps) shows another of its frames in MLT at " +
           std::to_string(c.differ) + " of its " + std::to_string(c.length) +
           " frames: MLT's producer cannot pick the frame zkhost puts on the edit's grid there");
  }
  auto temp = std::make_unique<TempPath>(std::filesystem::path(path), ".mlt");
  std::ofstream f(temp->path());
  f << x.str();
  f.close();
  if (!f) throw Error("cannot write " + path);
  return temp;
}

}  // namespace zk::video
