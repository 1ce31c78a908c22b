#include "mlt.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "output.h"

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

// Frame r of an n-frame transition is the plug-in's frame at progress
// (r + 1) / n, as zkhost renders it.
std::string Progress(int n) {
  std::ostringstream s;
  s.precision(17);
  s << "0=" << 1.0 / n << ";-1=1";
  return s.str();
}

}  // namespace

std::string Frei0rName(const std::string& bundle, int variant) {
  for (const Frei0rVariant& v : kVariants) {
    if (bundle == v.bundle && variant == v.which) return v.id;
  }
  return {};
}

std::unique_ptr<TempPath> WriteMltProject(const MltEdit& edit, const std::string& path) {
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<mlt LC_NUMERIC=\"C\" version=\"7.12.0\">\n";
  const AVRational dar = av_mul_q(edit.aspect, {edit.width, edit.height});
  AVRational d;
  av_reduce(&d.num, &d.den, dar.num, dar.den, 1 << 20);
  x << "  <profile description=\"zkhost\" width=\"" << edit.width << "\" height=\"" << edit.height
    << "\" progressive=\"1\" sample_aspect_num=\"" << edit.aspect.num << "\" sample_aspect_den=\"" << edit.aspect.den
    << "\" display_aspect_num=\"" << d.num << "\" display_aspect_den=\"" << d.den << "\" frame_rate_num=\""
    << edit.rate.num << "\" frame_rate_den=\"" << edit.rate.den << "\" colorspace=\"" << (edit.bt709 ? 709 : 601)
    << "\"/>\n";
  // A producer per clip, and one more for a clip that carries a filter.
  for (size_t i = 0; i < edit.clips.size(); ++i) {
    const MltClip& c = edit.clips[i];
    const std::string resource = Escape(std::filesystem::absolute(c.path).string());
    x << "  <producer id=\"clip" << i << "\">\n    <property name=\"resource\">" << resource
      << "</property>\n    <property name=\"mlt_service\">avformat</property>\n";
    const MltCut& cut = edit.cuts[i];
    if (cut.kind == CutKind::kAfter) {
      const std::string id = Frei0rName(cut.bundle, cut.variant);
      if (id.empty()) throw Error("--mlt: " + cut.bundle + " variant " + std::to_string(cut.variant) + " has no frei0r plug-in");
      const int64_t end = c.trim + c.length - 1;
      x << "    <filter in=\"" << end - cut.frames + 1 << "\" out=\"" << end << "\">\n"
        << "      <property name=\"mlt_service\">frei0r." << id << "</property>\n"
        << "      <property name=\"progress\">" << Progress(cut.frames) << "</property>\n    </filter>\n";
    }
    x << "  </producer>\n";
  }
  // Each two-clip transition: the overlap of the two clips, in a tractor.
  for (size_t i = 0; i + 1 < edit.clips.size(); ++i) {
    const MltCut& cut = edit.cuts[i];
    if (cut.kind != CutKind::kBetween) continue;
    const std::string id = Frei0rName(cut.bundle, cut.variant);
    if (id.empty()) throw Error("--mlt: " + cut.bundle + " variant " + std::to_string(cut.variant) + " has no frei0r plug-in");
    const MltClip& a = edit.clips[i];
    const MltClip& b = edit.clips[i + 1];
    const int64_t aEnd = a.trim + a.length - 1;
    x << "  <tractor id=\"cut" << i << "\" in=\"0\" out=\"" << cut.frames - 1 << "\">\n"
      << "    <track producer=\"clip" << i << "\" in=\"" << aEnd - cut.frames + 1 << "\" out=\"" << aEnd << "\"/>\n"
      << "    <track producer=\"clip" << i + 1 << "\" in=\"" << b.trim << "\" out=\"" << b.trim + cut.frames - 1
      << "\"/>\n"
      << "    <transition out=\"" << cut.frames - 1 << "\">\n"
      << "      <property name=\"a_track\">0</property>\n      <property name=\"b_track\">1</property>\n"
      << "      <property name=\"mlt_service\">frei0r." << id << "</property>\n"
      << "      <property name=\"progress\">" << Progress(cut.frames) << "</property>\n    </transition>\n"
      << "    <transition out=\"" << cut.frames - 1 << "\">\n"
      << "      <property name=\"a_track\">0</property>\n      <property name=\"b_track\">1</property>\n"
      << "      <property name=\"start\">-1</property>\n      <property name=\"accepts_blanks\">1</property>\n"
      << "      <property name=\"mlt_service\">mix</property>\n    </transition>\n  </tractor>\n";
  }
  // The playlist: each clip less the frames its transitions overlap.
  x << "  <playlist id=\"edit\">\n";
  for (size_t i = 0; i < edit.clips.size(); ++i) {
    const MltClip& c = edit.clips[i];
    int64_t in = c.trim, out = c.trim + c.length - 1;
    if (i > 0 && edit.cuts[i - 1].kind == CutKind::kBetween) in += edit.cuts[i - 1].frames;
    if (edit.cuts[i].kind == CutKind::kBetween && i + 1 < edit.clips.size()) out -= edit.cuts[i].frames;
    if (out >= in) x << "    <entry producer=\"clip" << i << "\" in=\"" << in << "\" out=\"" << out << "\"/>\n";
    if (edit.cuts[i].kind == CutKind::kBetween && i + 1 < edit.clips.size()) {
      x << "    <entry producer=\"cut" << i << "\" in=\"0\" out=\"" << edit.cuts[i].frames - 1 << "\"/>\n";
    }
  }
  x << "  </playlist>\n  <tractor id=\"main\">\n    <track producer=\"edit\"/>\n  </tractor>\n</mlt>\n";

  auto temp = std::make_unique<TempPath>(std::filesystem::path(path), ".mlt");
  std::ofstream f(temp->path());
  f << x.str();
  f.close();
  if (!f) throw Error("cannot write " + path);
  return temp;
}

}  // namespace zk::video
