#include "render/render.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "instance.h"
#include "output/copy.h"
#include "output/mlt.h"
#include "edit/plugin.h"

namespace zk::video {

std::atomic<bool> gInterrupted{false};

namespace {


std::string Rate(AVRational r) {
  if (r.den == 1) return std::to_string(r.num) + " fps";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d/%d (%.3f) fps", r.num, r.den, av_q2d(r));
  return buf;
}

std::string Size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

Picture Thumbnail(const uint32_t* pixels, intptr_t stride, int width, int height, int tw) {
  Picture p;
  p.width = std::min(tw, width);
  p.height = std::max(1, int(int64_t(height) * p.width / width));
  p.pixels.resize(size_t(p.width) * p.height);
  SwsPtr ctx(sws_getContext(width, height, AV_PIX_FMT_RGB32, p.width, p.height, AV_PIX_FMT_RGB32,
                            SWS_AREA, nullptr, nullptr, nullptr));
  if (!ctx) throw Error("cannot scale a thumbnail");
  const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(pixels), nullptr, nullptr, nullptr};
  const int srcStride[4] = {int(stride), 0, 0, 0};
  uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(p.pixels.data()), nullptr, nullptr, nullptr};
  const int dstStride[4] = {p.width * 4, 0, 0, 0};
  sws_scale(ctx.get(), src, srcStride, 0, height, dst, dstStride);
  return p;
}

// Two names of one file: the same inode (a link, ./x, a symlink) or, for
// files still to be made, the same path once resolved.
bool SameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::equivalent(a, b, ec)) return true;
  std::error_code ea, eb;
  const fs::path pa = fs::weakly_canonical(a, ea), pb = fs::weakly_canonical(b, eb);
  return !ea && !eb && pa == pb;
}

// A file the render makes beside the output: its folder exists, and it is
// neither a folder nor, without -y, an existing file.
void CheckNewFile(const std::string& option, const std::string& path, const std::string& ext, const std::string& what,
                  bool overwrite) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  std::string got = p.extension().string();
  for (char& c : got) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (got != ext) throw Error(option + " " + path + ": " + what + " is a " + ext + " file");
  const fs::path dir = p.parent_path().empty() ? fs::path(".") : p.parent_path();
  if (!fs::is_directory(dir)) throw Error(option + " " + path + ": the folder " + dir.string() + " does not exist");
  if (fs::is_directory(p)) throw Error(option + " " + path + " is a folder");
  if (!overwrite && fs::exists(p)) throw Error(path + " exists: add -y to overwrite it");
}

// The output, the contact sheet and the project are new files: none of
// them one of the clips, nor two of them one file.
void CheckTargets(const EditOptions& o) {
  const std::pair<std::string, std::string> targets[] = {{"-o", o.output.path}, {"--preview", o.preview}, {"--mlt", o.mlt}};
  for (size_t i = 0; i < std::size(targets); ++i) {
    const auto& [option, path] = targets[i];
    if (path.empty()) continue;
    for (const EditClip& c : o.edit.clips) {
      if (SameFile(path, c.path)) {
        throw Error(option + " " + path + " is the clip " + c.path + ": writing it would destroy the clip");
      }
    }
    for (size_t k = 0; k < i; ++k) {
      if (!targets[k].second.empty() && SameFile(path, targets[k].second)) {
        throw Error(option + " " + path + " is the same file as " + targets[k].first + " " + targets[k].second +
                    ": give each its own name");
      }
    }
  }
  if (!o.preview.empty()) CheckNewFile("--preview", o.preview, ".png", "the contact sheet", o.output.overwrite);
  if (!o.mlt.empty()) CheckNewFile("--mlt", o.mlt, ".mlt", "an MLT project", o.output.overwrite);
}

// The notices a clip gives when it is conformed to the output.
void Notice(const Clip& c, const Canvas& canvas, AVRational rate, bool first, bool fields, const WarnFn& warn) {
  const VideoTrack& v = *c.video;
  const VideoFormat& f = v.format();
  if (f.interlaced) {
    const std::string order = f.topFirst ? "top field first" : "bottom field first";
    warn(v.path() + ": interlaced (" + order + "): " +
         (fields && canvas.topFirst == f.topFirst ? "written interlaced"
                                                  : "written as progressive frames (deinterlace it first for a clean picture)"));
  }
  if (v.skipped() > 0) {
    warn(v.path() + ": the first " + (v.skipped() == 1 ? "frame does" : std::to_string(v.skipped()) + " frames do") +
         " not decode (the stream starts in mid-GOP); the clip starts at the first that does");
  }
  if (f.colour.Hdr()) {
    warn(v.path() + ": HDR video (" + (av_color_transfer_name(f.colour.trc) ?: "?") +
         ") is rendered as SDR, without tone mapping");
  }
  if (av_cmp_q(f.rate, rate) != 0) {  // the first clip too, when --fps asks for another rate
    warn(v.path() + ": " + Rate(f.rate) + " is retimed to " + Rate(rate));
  }
  const Placement& p = c.place;
  const bool turned = f.rotation == 90 || f.rotation == 270;
  const std::string upright = turned ? Size(f.height, f.width) : Size(f.width, f.height);
  if (!first && (p.dstW != canvas.pictureWidth || p.dstH != canvas.pictureHeight)) {
    warn(v.path() + ": " + upright + " is fitted into " +
         Size(canvas.pictureWidth, canvas.pictureHeight) + " with black bars");
  } else if (!first && (p.srcW != f.width || p.srcH != f.height)) {
    warn(v.path() + ": " + upright + " is cropped to fill " +
         Size(canvas.pictureWidth, canvas.pictureHeight));
  } else if (!first && upright != Size(canvas.pictureWidth, canvas.pictureHeight)) {
    warn(v.path() + ": " + upright + " is scaled to " + Size(canvas.pictureWidth, canvas.pictureHeight));
  }
}
int Cores() { return int(std::max(1u, std::thread::hardware_concurrency())); }

// Every cut's transition: its bundle, the speed that gives its length, and
// whether it joins two clips or ends one.
struct CutPlan {
  std::vector<Transition> transitions;
  std::vector<Timeline::Cut> cuts;
  std::map<std::string, std::unique_ptr<zk::host::Bundle>> bundles;  // by path
};

// The speed for a cut's length as the user gave it: in frames, or in
// seconds rounded to the even count the plug-ins take.  A rounded length
// is announced once (it lands in `announced`).
float CutSpeed(const CutSpec& spec, const zk::host::Bundle& bundle, AVRational rate, const std::string& where,
               std::set<std::string>& announced) {
  if (spec.frames == 0 && spec.seconds == 0) return spec.speed;
  int frames = spec.frames;
  std::string asked = "transition " + spec.Text();
  if (spec.seconds > 0) {
    const double exact = spec.seconds * av_q2d(rate);
    frames = std::max(2, int(std::lround(exact / 2)) * 2);
    const std::string length = std::to_string(frames) + " frames at " + Rate(rate);
    asked += " (" + length + ")";
    if (std::abs(exact - frames) > 1e-6) {
      char buf[32];
      std::snprintf(buf, sizeof buf, "%g", exact);
      announced.insert(spec.Text() + " is " + length + ", the nearest even count to " + buf +
                       " (the plug-ins count in pairs of frames)");
    }
  }
  return SpeedForFrames(bundle, spec.variant, frames, where + ": " + asked);
}

CutPlan PlanCuts(const Edit& edit, AVRational rate, const std::vector<int64_t>& lengths, const WarnFn& warn) {
  CutPlan plan;
  std::set<std::string> announced;
  const size_t count = edit.clips.size();
  plan.transitions.resize(count);
  plan.cuts.resize(count);
  for (size_t i = 0; i < count; ++i) {
    const CutSpec& spec = edit.cuts[i];
    if (spec.hard()) continue;
    const std::string where = spec.where.empty() ? edit.clips[i].where : spec.where;
    const std::string path = FindBundle(spec.bundle);
    auto& bundle = plan.bundles[path];
    if (!bundle) bundle = zk::host::Bundle::Open(path);
    Transition& t = plan.transitions[i];
    t.bundle = bundle.get();
    t.variant = spec.variant;
    t.who = bundle->name() + " variant " + std::to_string(spec.variant);
    t.speed = CutSpeed(spec, *bundle, rate, where, announced);
    const ZKPluginGetInfo info = Describe(*bundle, spec.variant, t.speed);
    Timeline::Cut& cut = plan.cuts[i];
    cut.frames = info.framesToBeRendered;
    if (info.pluginType == kPluginTransitionAfterType) {
      cut.kind = CutKind::kAfter;
    } else if (info.pluginType == kPluginTransitionBetweenType) {
      if (i + 1 == count) {
        if (spec.fromDefault) {  // the edit's default does not apply after its last clip
          t.bundle = nullptr;
          continue;
        }
        throw Error(where + ": " + t.who + " is a two-clip transition: it needs a clip after it");
      }
      cut.kind = CutKind::kBetween;
    } else {
      throw Error(where + ": " + t.who + " is a " + TypeName(info.pluginType) +
                  ": zkhost renders two-clip and end-of-clip transitions");
    }
    if (cut.frames <= 0) throw Error(where + ": " + t.who + " asks for " + std::to_string(cut.frames) + " frames");
    // Each clip holds its transitions whole, and two never overlap.
    const int64_t before = std::max<int64_t>(info.takeFromClipBefore, cut.frames) +
                           (i > 0 && plan.cuts[i - 1].kind == CutKind::kBetween ? plan.cuts[i - 1].frames : 0);
    if (lengths[i] < before) {
      throw Error(edit.clips[i].path + ": " + Count(lengths[i], "frame") + " is shorter than the " +
                  std::to_string(before) + "-frame transition" + (before > cut.frames ? "s" : "") + " of " + t.who);
    }
    if (cut.kind == CutKind::kBetween) {
      const int64_t after = std::max<int64_t>(info.takeFromClipAfter, cut.frames);
      if (lengths[i + 1] < after) {
        throw Error(edit.clips[i + 1].path + ": " + Count(lengths[i + 1], "frame") + " is shorter than the " +
                    std::to_string(after) + "-frame transition of " + t.who);
      }
    }
  }
  for (const std::string& a : announced) warn(a);
  return plan;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", s);
  return buf;
}

// The grid frame a clip starts at: its in point rounded to the nearest
// frame, or its last frame when the in point falls inside that.
int64_t TrimOf(const EditClip& e, const ClipGrid& grid, AVRational rate) {
  const int64_t frames = grid.frames();
  const double end = double(frames) / av_q2d(rate);
  if (e.in >= end) {
    throw Error(e.InWhere() + ": in " + Seconds(e.in) + " is past the end of " + e.path + " (" + Seconds(end) + ", " +
                Count(frames, "frame") + " at " + Rate(rate) + ")");
  }
  return std::min<int64_t>(std::llround(e.in * av_q2d(rate)), frames - 1);
}

// Opens every clip (reading its timestamps, then letting the file go until
// the edit reaches it) and conforms it to the first or to --size/--fps:
// on the output's grid, trimmed, placed in its picture.
std::vector<Clip> OpenClips(const EditOptions& options, const OutputPlan& out, int jobs, Canvas* canvas,
                            AVRational* rate, const WarnFn& warn) {
  const Edit& edit = options.edit;
  std::vector<Clip> clips(edit.clips.size());
  // Opening a clip reads its file through once; clips open side by side,
  // jobs at a time, and the first clip's failure is the one reported.
  std::vector<std::exception_ptr> failed(clips.size());
  std::atomic<size_t> next{0};
  auto open = [&] {
    for (size_t c; (c = next++) < clips.size();) {
      try {
        // Frames are asked for at most 2 x jobs apart (the render-ahead window).
        clips[c].video = std::make_unique<VideoTrack>(edit.clips[c].path, size_t(2 * jobs + 2));
        // The first cut needs the first two clips; later ones let go of
        // their decoders until the edit reaches them.
        if (c > 1) clips[c].video->Close();
      } catch (...) {
        failed[c] = std::current_exception();
      }
    }
  };
  {
    std::vector<std::jthread> openers;
    for (int t = 1; t < std::min<int>(jobs, int(clips.size())); ++t) openers.emplace_back(open);
    open();
  }
  for (size_t c = 0; c < clips.size(); ++c) {
    if (failed[c]) std::rethrow_exception(failed[c]);
    clips[c].volume = edit.clips[c].volume;
    clips[c].where = edit.clips[c].where;
  }
  const VideoFormat& first = clips[0].video->format();
  *canvas = out.CanvasFor(first, clips[0].video->path(), options.width, options.height);
  if (canvas->width != canvas->pictureWidth || canvas->height != canvas->pictureHeight) {
    warn(Size(canvas->pictureWidth, canvas->pictureHeight) + " is written as " + Size(canvas->width, canvas->height) +
         ": " + av_get_pix_fmt_name(canvas->format) + " needs whole chroma samples (the edge is repeated)");
  }
  *rate = options.fps.num > 0 ? options.fps : first.rate;
  for (size_t c = 0; c < clips.size(); ++c) {
    Clip& clip = clips[c];
    const EditClip& e = edit.clips[c];
    clip.grid = std::make_unique<ClipGrid>(*clip.video, *rate);
    // The render-ahead window spans more source frames when the clip has
    // more frames than the grid (50 fps on a 25 fps output).
    const int64_t perSlot = (clip.video->frames() + clip.grid->frames() - 1) / clip.grid->frames();
    clip.video->set_cache_frames(size_t(2 * jobs + 2) * size_t(std::clamp<int64_t>(perSlot, 1, 8)));
    clip.place = Place(clip.video->format(), *canvas, options.fit);
    clip.passThrough = PassesThrough(clip.video->format(), clip.place, *canvas);
    Notice(clip, *canvas, *rate, c == 0 && options.width == 0, canvas->interlaced && out.CodesFields(), warn);
    clip.trim = TrimOf(e, *clip.grid, *rate);
  }
  return clips;
}

// A clip's frames on the grid between its in and out points.
int64_t TrimmedLength(const Clip& clip, const EditClip& e, AVRational rate) {
  int64_t end = clip.grid->frames();
  if (e.out >= 0) end = std::min<int64_t>(end, std::llround(e.out * av_q2d(rate)));
  return std::max<int64_t>(0, end - clip.trim);
}

// The output's sound: the first clip's format that has any, at a rate the
// encoder takes.  False when no clip has sound.
bool PlanSound(const std::vector<Clip>& clips, const OutputPlan& out, AudioFormat* format, const WarnFn& warn) {
  const auto found = std::find_if(clips.begin(), clips.end(),
                                  [&](const Clip& c) { return c.video->Sound(format); });
  if (found == clips.end()) return false;
  const int rate = EncoderSampleRate(out, format->sampleRate);
  if (rate != format->sampleRate) {
    warn("the sound is resampled from " + std::to_string(format->sampleRate) + " to " + std::to_string(rate) +
         " Hz, a rate the " + out.audioName + " encoder takes");
    format->sampleRate = rate;
  }
  return true;
}

// An output frame as a contact sheet's picture (the canvas's picture,
// without the edge a chroma format may add).
Picture FramePicture(const AVFrame& frame, const Canvas& canvas) {
  Picture p;
  p.width = canvas.pictureWidth;
  p.height = canvas.pictureHeight;
  p.pixels.resize(size_t(p.width) * p.height);
  SwsPtr ctx(sws_getContext(p.width, p.height, AVPixelFormat(frame.format), p.width, p.height, AV_PIX_FMT_RGB32,
                            SWS_POINT, nullptr, nullptr, nullptr));
  if (!ctx) throw Error("cannot convert a frame for the contact sheet");
  const int space = canvas.colour.SwsSpace(canvas.height);
  sws_setColorspaceDetails(ctx.get(), sws_getCoefficients(space), canvas.colour.Full(canvas.format) ? 1 : 0,
                           sws_getCoefficients(space), 1, 0, 1 << 16, 1 << 16);
  uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(p.pixels.data()), nullptr, nullptr, nullptr};
  const int dstStride[4] = {p.width * 4, 0, 0, 0};
  sws_scale(ctx.get(), frame.data, frame.linesize, 0, p.height, dst, dstStride);
  for (uint32_t& px : p.pixels) px |= 0xFF000000u;
  return p;
}

// The contact sheet's rows: a transition's thumbnails come from its own
// frames (Transition::thumbs); a hard cut shows the output frames around
// it, kept in cutThumbs (output frame to row).
std::vector<std::vector<Picture>> PlanSheet(const EditOptions& options, const Timeline& timeline, CutPlan& cuts,
                                            std::vector<int>& sheetRow, std::map<int64_t, int>& cutThumbs) {
  std::vector<std::vector<Picture>> sheet;
  if (options.preview.empty()) return sheet;
  constexpr int kAside = 4;  // frames each side of a hard cut
  for (size_t i = 0; i < timeline.clips(); ++i) {
    const int n = timeline.cut(i).frames;
    if (n == 0 && i + 1 < timeline.clips()) {
      const int64_t at = timeline.End(i);
      for (int64_t j = std::max(timeline.Origin(i), at - kAside); j < std::min(timeline.End(i + 1), at + kAside); ++j) {
        cutThumbs[j] = int(sheet.size());
      }
    } else if (n > 0) {
      const int count = std::min(n, 8);
      for (int k = 0; k < count; ++k) cuts.transitions[i].thumbs.push_back(count == 1 ? 0 : k * (n - 1) / (count - 1));
      sheetRow[i] = int(sheet.size());
    } else {
      continue;
    }
    sheet.emplace_back();
  }
  if (sheet.empty()) throw Error("--preview " + options.preview + ": the edit has no cut to show");
  return sheet;
}

// The output, its project and its contact sheet go into place together,
// once all three are written: a failure leaves none of them.
void CommitAll(Writer& writer, const EditOptions& o, const MltEdit& mlt, const std::vector<std::vector<Picture>>& sheet,
               const WarnFn& warn) {
  std::unique_ptr<TempPath> project, contact;
  if (!o.mlt.empty()) project = WriteMltProject(mlt, o.mlt, warn);
  if (!o.preview.empty()) {
    const Picture p = ContactSheet(sheet, 240);
    contact = WritePngTemp(o.preview, p.pixels.data(), p.width, p.height, intptr_t(p.width) * 4);
  }
  std::vector<std::string> placed;
  try {
    for (auto& [temp, path] : {std::pair{project.get(), o.mlt}, std::pair{contact.get(), o.preview}}) {
      if (temp == nullptr) continue;
      PutInPlace(*temp, path, o.output.overwrite);
      placed.push_back(path);
    }
    writer.Commit();
  } catch (...) {
    std::error_code ec;
    for (const std::string& p : placed) std::filesystem::remove(p, ec);
    throw;
  }
}

}  // namespace

std::string Count(int64_t n, const std::string& noun) {
  const bool sibilant = noun.ends_with("s") || noun.ends_with("ch") || noun.ends_with("sh") || noun.ends_with("x");
  return std::to_string(n) + " " + noun + (n == 1 ? "" : sibilant ? "es" : "s");
}

Picture ContactSheet(const std::vector<std::vector<Picture>>& rows, int thumbWidth) {
  constexpr int kGap = 6;
  constexpr uint32_t kBackground = 0xFF202020;
  std::vector<std::vector<Picture>> thumbs;
  Picture sheet;
  sheet.height = kGap;
  for (const auto& row : rows) {
    thumbs.emplace_back();
    int width = kGap, height = 0;
    for (const Picture& f : row) {
      thumbs.back().push_back(Thumbnail(f.pixels.data(), intptr_t(f.width) * 4, f.width, f.height, thumbWidth));
      width += thumbs.back().back().width + kGap;
      height = std::max(height, thumbs.back().back().height);
    }
    sheet.width = std::max(sheet.width, width);
    sheet.height += height + kGap;
  }
  sheet.pixels.assign(size_t(sheet.width) * sheet.height, kBackground);
  int y0 = kGap;
  for (const auto& row : thumbs) {
    int x = kGap, height = 0;
    for (const Picture& t : row) {
      for (int y = 0; y < t.height; ++y) {
        std::copy_n(t.pixels.data() + size_t(y) * t.width, t.width,
                    sheet.pixels.data() + size_t(y0 + y) * sheet.width + x);
      }
      x += t.width + kGap;
      height = std::max(height, t.height);
    }
    y0 += height + kGap;
  }
  return sheet;
}

namespace {

// Everything an edit's render decides before its first frame: the output,
// the canvas and rate every clip is conformed to, the clips with their
// trims and lengths, the timeline and its transitions, what --copy copies,
// the sound's format, the MLT project's data and the contact sheet's rows.
struct EditPlan {
  ~EditPlan() { av_channel_layout_uninit(&audioFormat.layout); }

  OutputPlan output;
  int jobs = 1;
  Canvas canvas;
  AVRational rate{0, 1};
  std::vector<Clip> clips;
  std::vector<int64_t> lengths;  // each clip's frames between its in and out points
  CutPlan cuts;
  std::optional<Timeline> timeline;
  MltEdit mlt;
  std::vector<int> sheetRow;         // each transition's row on the contact sheet
  std::map<int64_t, int> cutThumbs;  // output frame around a hard cut to its row
  std::vector<std::vector<Picture>> sheet;
  CopyPlan copy;
  bool copying = false;  // --copy applies (copy.why is empty)
  AudioFormat audioFormat;
  bool sound = false;  // some clip has sound
  OutputPlan joined;   // for a segment: the output its join writes

  // Whether output frame j is rendered, rather than copied.
  bool Renders(int64_t j) const { return !copying || copy.encode[size_t(j)]; }
};

// The frames rendered at once: -j, at most the cores here.
int JobsFor(const EditOptions& options, const WarnFn& warn) {
  const int jobs = std::max(1, options.jobs);
  if (jobs <= Cores()) return jobs;
  warn("-j " + std::to_string(jobs) + " is more than the " + Count(Cores(), "core") + " here; rendering " +
       std::to_string(Cores()) + " frames at once");
  return Cores();
}

// The clips on the output's grid, their lengths, their cuts and the
// timeline they make.
void PlanTimeline(const EditOptions& options, EditPlan& p, const WarnFn& warn) {
  const Edit& edit = options.edit;
  p.clips = OpenClips(options, p.output, p.jobs, &p.canvas, &p.rate, warn);
  for (size_t c = 0; c < p.clips.size(); ++c) p.lengths.push_back(TrimmedLength(p.clips[c], edit.clips[c], p.rate));
  p.cuts = PlanCuts(edit, p.rate, p.lengths, warn);
  for (size_t c = 0; c < p.clips.size(); ++c) {
    if (p.lengths[c] == 0) {
      throw Error(edit.clips[c].OutWhere() + ": nothing is left of " + edit.clips[c].path + " between its in and out points");
    }
  }
  p.timeline.emplace(p.lengths, p.cuts.cuts);
}

// The edit as an MLT project sees it; its cuts also collect the
// transitions' gains and fades as they are rendered.
MltEdit PlanMlt(const EditOptions& options, const EditPlan& p) {
  const Canvas& canvas = p.canvas;
  const Timeline& timeline = *p.timeline;
  MltEdit mlt{canvas.width, canvas.height, p.rate, canvas.aspect, canvas.colour.space == AVCOL_SPC_BT709, {}, {}};
  for (size_t c = 0; c < p.clips.size(); ++c) {
    if (!options.mlt.empty()) mlt.clips.push_back(MltClipOf(p.clips[c], p.lengths[c], canvas, options.fit, p.rate));
    const Transition& t = p.cuts.transitions[c];
    mlt.cuts.push_back({timeline.cut(c).kind, timeline.cut(c).frames, t.bundle ? t.bundle->name() : "",
                        options.edit.cuts[c].variant, 0, {}});
    if (!options.mlt.empty() && mlt.cuts.back().kind != CutKind::kHard &&
        Frei0rName(mlt.cuts.back().bundle, mlt.cuts.back().variant).empty()) {
      throw Error("--mlt: " + t.who + " has no frei0r plug-in for MLT");
    }
  }
  return mlt;
}

// With --copy: which frames are copied, or why none can be.
void PlanCopying(const EditOptions& options, EditPlan& p, const WarnFn& warn) {
  if (!options.copy) return;
  const Timeline& timeline = *p.timeline;
  p.copy = PlanCopy(p.clips, timeline, p.canvas, p.rate, p.output);
  p.copying = p.copy.why.empty();
  warn(p.copying ? "--copy: copying " + Count(timeline.frames() - p.copy.encoded, "frame") + ", encoding " +
                       std::to_string(p.copy.encoded) + " in " + Count(p.copy.stretches, "stretch")
                 : "--copy: a full render, because " + p.copy.why);
}

// Checks the edit and decides everything before anything is made.  A
// segment's plan writes the output's codecs into a segment file.
std::unique_ptr<EditPlan> PlanEdit(const EditOptions& options, const WarnFn& warn, bool segment = false) {
  if (options.edit.clips.empty()) throw Error("the edit has no clips");
  auto p = std::make_unique<EditPlan>();
  p->output = segment ? PlanSegmentOutput(options.output) : PlanOutput(options.output);
  if (!segment) CheckTargets(options);
  p->jobs = JobsFor(options, warn);
  // -j is the whole budget: the encoder gets as many threads as there are
  // render threads, rather than one a core on top of them.
  p->output.threads = p->jobs;
  PlanTimeline(options, *p, warn);
  p->mlt = PlanMlt(options, *p);
  p->sheetRow.assign(p->clips.size(), -1);
  p->sheet = PlanSheet(options, *p->timeline, p->cuts, p->sheetRow, p->cutThumbs);
  PlanCopying(options, *p, warn);
  p->sound = PlanSound(p->clips, p->output, &p->audioFormat, warn);
  if (segment) {
    p->joined = p->output;
    SoundAsPcm(p->output);
  }
  return p;
}

// Where the frames go: the output file and, with --copy, the clips'
// packets and sound copied around the frames that are encoded.  How the
// sound is copied needs the encoder's parameters, so it is decided here.
struct Sink {
  // A segment's sink writes what it renders; its join splices the sound.
  Sink(const OutputOptions& target, EditPlan& p, int64_t frames, bool segment, const WarnFn& warn);

  Writer writer;
  std::unique_ptr<CopyWriter> copier;
  AudioBus bus;
  AudioCopyPlan soundPlan;
  std::unique_ptr<AudioSplicer> splicer;
};

// The parameters of the sound encoder the output is written with: a
// segment's own sound is PCM, so it opens one as its join will.
CodecParametersPtr OutputSound(const EditPlan& p, const Writer& writer, bool segment) {
  CodecParametersPtr par(avcodec_parameters_alloc());
  if (!par) throw Error("out of memory for codec parameters");
  if (!segment) {
    Check(avcodec_parameters_copy(par.get(), writer.audioParameters()), "--copy");
  } else {
    const CodecPtr enc = OpenAudioEncoder(p.joined, p.audioFormat, true, "--copy");
    Check(avcodec_parameters_from_context(par.get(), enc.get()), "--copy");
  }
  return par;
}

Sink::Sink(const OutputOptions& target, EditPlan& p, int64_t frames, bool segment, const WarnFn& warn)
    : writer(target, p.output, p.canvas, p.rate, p.sound ? &p.audioFormat : nullptr, frames,
             p.copying ? p.copy.params.get() : nullptr),
      bus(p.audioFormat.sampleRate, writer.hasAudio() ? p.audioFormat.channels() : 0, p.rate) {
  const Timeline& timeline = *p.timeline;
  if (p.copying) copier = std::make_unique<CopyWriter>(p.copy, p.clips, timeline, p.canvas, p.rate, p.output, writer);
  soundPlan.late.assign(p.clips.size(), 0);
  if (!p.copying || !bus.on()) return;
  // A segment mixes its sound where the join's copied sound places it.
  soundPlan = PlanAudioCopy(p.clips, timeline, bus, p.audioFormat, segment ? p.joined : p.output,
                            OutputSound(p, writer, segment).get());
  if (segment || !soundPlan.why.empty()) {
    if (!segment) warn("--copy: the sound is encoded again, because " + soundPlan.why);
    return;
  }
  warn("--copy: copying " + Count(soundPlan.packets, "sound packet") + " of " +
       Count(int64_t(soundPlan.runs.size()), "clip"));
  splicer = std::make_unique<AudioSplicer>(soundPlan, p.clips, p.audioFormat, p.output, writer,
                                           bus.SampleOf(timeline.frames()));
}

// Drives output frames in order through the render pool into the sink,
// rendering ahead, mixing the sound and collecting the contact sheet.
class Drive {
 public:
  Drive(const EditOptions& options, EditPlan& plan, Sink& sink)
      : p_(plan), sink_(sink), timeline_(*plan.timeline), window_(2 * plan.jobs),
        frames_({options.proxy, options.marginX, options.marginY, plan.jobs}, plan.clips, plan.cuts.transitions,
                timeline_, plan.canvas) {}

  // Output frames [first, last), in order.  A transition's sound is held
  // until its last frame, so a range starts outside any transition.
  void Frames(int64_t first, int64_t last, const ProgressFn& progress);
  // A --copy edit's every frame, its encoded stretches from `source`.
  void Join(StretchSource& source, const ProgressFn& progress);

 private:
  void LetGo(int64_t j);
  void SubmitAhead(int64_t j, int64_t last);
  Rendered WritePicture(int64_t j);
  void PlainSound(const Timeline::Place& at, int64_t j, Planes& slot);
  void TransitionSound(const Timeline::Place& at, const Rendered& got, Planes slot);
  void EndTransition(size_t cut);
  AudioTrack& AudioOf(size_t c);
  void MixClip(size_t c, int64_t g, float gain, Planes& slot);
  void WriteSound(int64_t j, const Planes& slot);

  EditPlan& p_;
  Sink& sink_;
  const Timeline& timeline_;
  const int64_t window_;  // frames rendered ahead
  EditFrames frames_;
  std::vector<Planes> held_;  // a transition's sound, until its plug-ins say how it ends
  int64_t submitted_ = 0;     // frames before this one are on the pool
  size_t open_ = 0;           // clips before this one are done with
};

void Drive::Frames(int64_t first, int64_t last, const ProgressFn& progress) {
  submitted_ = std::max(submitted_, first);
  for (int64_t j = first; j < last; ++j) {
    if (gInterrupted.load()) throw Error("interrupted");
    LetGo(j);
    SubmitAhead(j, last);
    Rendered got = WritePicture(j);
    const Timeline::Place at = timeline_.At(j);
    if (got.thumb) p_.sheet[size_t(p_.sheetRow[at.index])].push_back(std::move(*got.thumb));
    Planes slot = sink_.bus.Slot(j);
    if (sink_.splicer) sink_.splicer->Advance(sink_.bus.SampleOf(j + 1));
    if (!at.transition) {
      PlainSound(at, j, slot);
    } else {
      TransitionSound(at, got, std::move(slot));
    }
    if (progress) progress(j + 1, timeline_.frames());
  }
}

void Drive::Join(StretchSource& source, const ProgressFn& progress) {
  const std::vector<bool>& encode = p_.copy.encode;
  const int64_t total = timeline_.frames();
  for (int64_t j = 0; j < total; ++j) {
    if (gInterrupted.load()) throw Error("interrupted");
    LetGo(j);
    const bool encoded = encode[size_t(j)];
    if (!encoded) {
      sink_.copier->Write(j, nullptr);
    } else if (j == 0 || !encode[size_t(j - 1)]) {
      int64_t end = j;
      while (end < total && encode[size_t(end)]) ++end;
      source.Packets(j, end, [&](AVPacket* packet, int64_t pts) { sink_.copier->WriteEncoded(packet, pts); });
    }
    Planes slot = sink_.bus.Slot(j);
    if (sink_.splicer) sink_.splicer->Advance(sink_.bus.SampleOf(j + 1));
    const Timeline::Place at = timeline_.At(j);
    if (encoded && sink_.bus.on()) {
      source.Sound(j, slot);  // read in order, needed or not
      if (at.transition || !sink_.splicer || sink_.splicer->Needs(sink_.bus.SampleOf(j), sink_.bus.SampleOf(j + 1))) {
        WriteSound(j, slot);
      }
    } else if (!encoded) {
      PlainSound(at, j, slot);
    }
    if (progress) progress(j + 1, total);
  }
}

// Only the clips around the edit's place stay open.
void Drive::LetGo(int64_t j) {
  for (; open_ < p_.clips.size() && timeline_.End(open_) <= j; ++open_) {
    p_.clips[open_].video->Close();
    p_.clips[open_].audio.reset();
  }
}

void Drive::SubmitAhead(int64_t j, int64_t last) {
  for (; submitted_ < last && submitted_ < j + window_; ++submitted_) {
    if (p_.Renders(submitted_) || p_.cutThumbs.count(submitted_) != 0) frames_.Submit(submitted_);
  }
}

// Frame j into the output, rendered or copied, and onto the contact sheet
// when it is beside a hard cut.  Returns what else the render gave.
Rendered Drive::WritePicture(int64_t j) {
  Rendered got;
  const auto cutThumb = p_.cutThumbs.find(j);
  if (p_.Renders(j) || cutThumb != p_.cutThumbs.end()) got = frames_.Take(j);
  if (cutThumb != p_.cutThumbs.end()) p_.sheet[size_t(cutThumb->second)].push_back(FramePicture(*got.frame, p_.canvas));
  if (sink_.copier) {
    sink_.copier->Write(j, p_.Renders(j) ? got.frame.get() : nullptr);
  } else {
    sink_.writer.WriteVideo(got.frame.get());
  }
  got.frame.reset();
  return got;
}

// A clip's own sound, where no transition plays; sound that is copied is
// not mixed at all.
void Drive::PlainSound(const Timeline::Place& at, int64_t j, Planes& slot) {
  const AudioBus& bus = sink_.bus;
  if (!bus.on() || (sink_.splicer && !sink_.splicer->Needs(bus.SampleOf(j), bus.SampleOf(j + 1)))) return;
  MixClip(at.index, at.frame, 1.0f, slot);
  AudioBus::Clip(slot);
  WriteSound(j, slot);
}

// A transition's sound, mixed as its plug-ins ask and held until its end.
void Drive::TransitionSound(const Timeline::Place& at, const Rendered& got, Planes slot) {
  for (const zk::host::AudioMix& m : got.mixes) {
    Timeline::Frame f;
    if (!timeline_.Map(at.index, m.frameNumber, &f)) continue;
    if (sink_.bus.on()) MixClip(f.clip, f.frame, Gain(m.volume), slot);
    p_.mlt.cuts[at.index].AddGain(f.clip != at.index, int(at.frame), Gain(m.volume));
  }
  AudioBus::Clip(slot);
  held_.push_back(std::move(slot));
  if (at.frame == timeline_.cut(at.index).frames - 1) EndTransition(at.index);
}

// The plug-ins hand back the clip record, which may ask for the clip's
// sound to fade out over the transition's last frames.
void Drive::EndTransition(size_t cut) {
  const int n = timeline_.cut(cut).frames;
  const int64_t start = timeline_.TransitionStart(cut);
  const int fade = std::min(frames_.Terminate(cut), n);
  if (fade > 0) sink_.bus.FadeOut(held_, start, start + n - fade, start + n);
  p_.mlt.cuts[cut].fade = fade;
  if (sink_.bus.on()) {
    for (size_t i = 0; i < held_.size(); ++i) WriteSound(start + int64_t(i), held_[i]);
  }
  held_.clear();
}

AudioTrack& Drive::AudioOf(size_t c) {
  Clip& clip = p_.clips[c];
  if (!clip.audio) {
    clip.audio = std::make_unique<AudioTrack>(clip.video->path(), p_.audioFormat, clip.video->start(),
                                              clip.video->duration());
  }
  return *clip.audio;
}

void Drive::MixClip(size_t c, int64_t g, float gain, Planes& slot) {
  sink_.bus.Mix(AudioOf(c), timeline_.Origin(c), p_.clips[c].trim, g, gain * Gain(p_.clips[c].volume), slot,
                sink_.soundPlan.late[c]);
}

void Drive::WriteSound(int64_t j, const Planes& slot) {
  if (sink_.splicer) sink_.splicer->Write(sink_.bus.SampleOf(j), slot);
  else sink_.writer.WriteAudio(slot, int(slot[0].size()));
}

// The output's last packets, then the output, its project and its contact
// sheet into place.
void Finish(const EditOptions& options, EditPlan& p, Sink& sink, const WarnFn& warn) {
  if (sink.copier) sink.copier->Finish();
  if (sink.splicer) sink.splicer->Finish();
  sink.writer.Complete();
  CommitAll(sink.writer, options, p.mlt, p.sheet, warn);
}

// What frames [first, last) of the output held.
RenderSummary Summarise(const EditPlan& p, std::chrono::steady_clock::time_point started, int64_t first, int64_t last) {
  const Timeline& timeline = *p.timeline;
  RenderSummary summary;
  summary.frames = last - first;
  for (int64_t j = first; j < last; ++j) summary.copiedFrames += !p.Renders(j);
  for (size_t i = 0; i < p.clips.size(); ++i) {
    const int64_t start = timeline.TransitionStart(i), n = timeline.cut(i).frames;
    if (n == 0 || start + n <= first || start >= last) continue;
    summary.transitionFrames += int(std::min(last, start + n) - std::max(first, start));
    summary.transitions += start >= first;
  }
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return summary;
}

}  // namespace

RenderSummary RenderEdit(const EditOptions& options, const ProgressFn& progress, const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  const std::unique_ptr<EditPlan> plan = PlanEdit(options, warn);
  Sink sink(options.output, *plan, plan->timeline->frames(), false, warn);
  Drive drive(options, *plan, sink);
  drive.Frames(0, plan->timeline->frames(), progress);
  Finish(options, *plan, sink, warn);
  return Summarise(*plan, started, 0, plan->timeline->frames());
}

RenderSummary JoinStretches(const EditOptions& options, StretchSource& source, const ProgressFn& progress,
                            const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  const std::unique_ptr<EditPlan> plan = PlanEdit(options, warn);
  if (!plan->copying) throw Error("the edit was split for --copy, but here " + plan->copy.why);
  Sink sink(options.output, *plan, plan->timeline->frames(), false, warn);
  Drive drive(options, *plan, sink);
  drive.Join(source, progress);
  Finish(options, *plan, sink, warn);
  return Summarise(*plan, started, 0, plan->timeline->frames());
}

RenderSummary RenderSegment(const EditOptions& options, const SegmentJob& job, const ProgressFn& progress,
                            const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  const std::unique_ptr<EditPlan> plan = PlanEdit(options, warn, true);
  const int64_t frames = plan->timeline->frames();
  if (job.total >= 0 && frames != job.total) {
    throw Error("the edit has " + Count(frames, "frame") + " here, " + std::to_string(job.total) +
                " where it was split: its clips or bundles differ from that machine's");
  }
  if (job.total >= 0 && plan->copying != job.copying) {
    throw Error(std::string("--copy ") + (job.copying ? "applied where the edit was split, but here " + plan->copy.why
                                                      : "did not apply where the edit was split, but here it does") +
                ": its clips or this zkhost's FFmpeg differ from that machine's");
  }
  if (job.first < 0 || job.last > frames || job.first >= job.last) {
    throw Error("frames " + std::to_string(job.first) + " to " + std::to_string(job.last) + " are not within the edit's " +
                Count(frames, "frame"));
  }
  OutputOptions target;
  target.path = job.path;
  target.overwrite = true;  // a job run again replaces its segment whole
  target.tags = job.tags;
  Sink sink(target, *plan, job.last - job.first, true, warn);
  Drive drive(options, *plan, sink);
  if (!plan->copying) {
    drive.Frames(job.first, job.last, progress);
  } else {  // only the stretches encoded
    const std::vector<bool>& encode = plan->copy.encode;
    for (int64_t j = job.first; j < job.last;) {
      int64_t end = j;
      while (end < job.last && encode[size_t(end)] == encode[size_t(j)]) ++end;
      if (encode[size_t(j)]) drive.Frames(j, end, progress);
      j = end;
    }
  }
  Finish(options, *plan, sink, warn);
  return Summarise(*plan, started, job.first, job.last);
}

EditLayout LayOutEdit(const EditOptions& options, const WarnFn& warn) {
  const std::unique_ptr<EditPlan> p = PlanEdit(options, warn);
  const Timeline& timeline = *p->timeline;
  EditLayout layout;
  layout.frames = timeline.frames();
  layout.rate = p->rate;
  layout.width = p->canvas.width;
  layout.height = p->canvas.height;
  layout.clipFrames = p->lengths;
  layout.codec = p->output.codec;
  layout.copying = p->copying;
  layout.cost.resize(size_t(layout.frames));
  layout.canStart.resize(size_t(layout.frames));
  for (int64_t j = 0; j < layout.frames; ++j) {
    const Timeline::Place at = timeline.At(j);
    // A transition's frame converts two pictures into the plug-in's world
    // and back and runs it, about three times a plain frame's conform and
    // encode; a copied frame costs next to nothing.
    layout.cost[size_t(j)] = !p->Renders(j) ? 0 : at.transition ? 3 : 1;
    // With --copy a segment holds whole encoded stretches.
    layout.canStart[size_t(j)] = p->copying ? p->copy.encode[size_t(j)] && (j == 0 || !p->copy.encode[size_t(j - 1)])
                                            : !at.transition || at.frame == 0;
  }
  return layout;
}

RenderSummary Render(const RenderOptions& options, const ProgressFn& progress, const WarnFn& warn) {
  // The bundle decides how many clips it takes, before any clip is read.
  auto bundle = zk::host::Bundle::Open(options.bundle);
  const std::string who = bundle->name() + " variant " + std::to_string(options.variant);
  const float speed = options.frames != 0 ? SpeedForFrames(*bundle, options.variant, options.frames) : options.speed;
  const ZKPluginGetInfo info = Describe(*bundle, options.variant, speed);
  const int type = info.pluginType;
  if (type != kPluginTransitionBetweenType && type != kPluginTransitionAfterType) {
    throw Error(who + " is a " + TypeName(type) + ": zkhost renders two-clip and end-of-clip transitions");
  }
  const bool between = type == kPluginTransitionBetweenType;
  if (options.clips.size() != (between ? 2u : 1u)) {
    throw Error(who + " is a " + TypeName(type) + ": give " + (between ? "two clips" : "one clip") + " (got " +
                std::to_string(options.clips.size()) + ")");
  }
  EditOptions e;
  for (size_t c = 0; c < options.clips.size(); ++c) {
    EditClip clip;
    clip.path = options.clips[c];
    clip.where = clip.path;
    clip.volume = c == 0 ? options.volumeA : options.volumeB;
    e.edit.clips.push_back(clip);
  }
  CutSpec cut;
  cut.bundle = options.bundle;
  cut.variant = options.variant;
  cut.speed = speed;
  e.edit.cuts = {cut, CutSpec{}};
  e.edit.cuts.resize(e.edit.clips.size());
  e.output = options.output;
  e.jobs = std::min(options.jobs, std::max(1, info.framesToBeRendered));
  e.proxy = options.proxy;
  e.fps = options.fps;
  e.width = options.width;
  e.height = options.height;
  e.fit = options.fit;
  e.marginX = options.marginX;
  e.marginY = options.marginY;
  e.preview = options.preview;
  return RenderEdit(e, progress, warn);
}

}  // namespace zk::video
