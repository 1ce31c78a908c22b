#include "render.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <filesystem>
#include <map>
#include <thread>

#include "instance.h"
#include "copy.h"
#include "mlt.h"
#include "plugin.h"

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

// A contact sheet beside the output: a PNG, never the output itself, in a
// folder that exists; checked before any work.
void CheckPreview(const std::string& preview, const OutputOptions& output) {
  namespace fs = std::filesystem;
  if (preview.empty()) return;
  const fs::path p(preview);
  std::string ext = p.extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (ext != ".png") throw Error("--preview " + preview + ": the contact sheet is a .png file");
  std::error_code ec;
  if (fs::weakly_canonical(p, ec) == fs::weakly_canonical(output.path, ec)) {
    throw Error("--preview " + preview + " is the output itself: give the contact sheet another name");
  }
  const fs::path dir = p.parent_path().empty() ? fs::path(".") : p.parent_path();
  if (!fs::is_directory(dir)) throw Error("--preview " + preview + ": the folder " + dir.string() + " does not exist");
  if (!output.overwrite && fs::exists(p)) throw Error(preview + " exists: add -y to overwrite it");
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
    warn(v.path() + ": the first " + std::to_string(v.skipped()) +
         " frames do not decode (the stream starts in mid-GOP); the clip starts at the first that does");
  }
  if (f.colour.Hdr()) {
    warn(v.path() + ": HDR video (" + (av_color_transfer_name(f.colour.trc) ?: "?") +
         ") is rendered as SDR, without tone mapping");
  }
  if (av_cmp_q(f.rate, rate) != 0 && !first) {
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

CutPlan PlanCuts(const Edit& edit, AVRational rate, const std::vector<int64_t>& lengths) {
  CutPlan plan;
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
    int frames = spec.frames;
    if (spec.seconds > 0) {  // the plug-ins count in even frames
      frames = std::max(2, int(std::lround(spec.seconds * av_q2d(rate) / 2)) * 2);
    }
    t.speed = frames > 0 ? SpeedForFrames(*bundle, spec.variant, frames) : spec.speed;
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
      throw Error(edit.clips[i].path + ": " + std::to_string(lengths[i]) + " frames is shorter than the " +
                  std::to_string(before) + "-frame transition" + (before > cut.frames ? "s" : "") + " of " + t.who);
    }
    if (cut.kind == CutKind::kBetween) {
      const int64_t after = std::max<int64_t>(info.takeFromClipAfter, cut.frames);
      if (lengths[i + 1] < after) {
        throw Error(edit.clips[i + 1].path + ": " + std::to_string(lengths[i + 1]) + " frames is shorter than the " +
                    std::to_string(after) + "-frame transition of " + t.who);
      }
    }
  }
  return plan;
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
    clip.trim = std::llround(e.in * av_q2d(*rate));
    if (clip.trim >= clip.grid->frames()) {
      throw Error(e.path + ": in " + std::to_string(e.in) + " s is past its end (" +
                  std::to_string(clip.video->duration()) + " s)");
    }
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

}  // namespace

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

RenderSummary RenderEdit(const EditOptions& options, const ProgressFn& progress, const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  const Edit& edit = options.edit;
  if (edit.clips.empty()) throw Error("the edit has no clips");
  // ---- Set-up: everything checked before anything is made --------------
  OutputPlan plan = PlanOutput(options.output);
  CheckPreview(options.preview, options.output);
  if (!options.mlt.empty() && std::filesystem::path(options.mlt).extension() != ".mlt") {
    throw Error("--mlt " + options.mlt + ": an MLT project is a .mlt file");
  }
  int jobs = std::max(1, options.jobs);
  if (jobs > Cores()) {
    warn("-j " + std::to_string(jobs) + " is more than the " + std::to_string(Cores()) + " cores here; rendering " +
         std::to_string(Cores()) + " frames at once");
    jobs = Cores();
  }
  // -j is the whole budget: the encoder gets as many threads as there are
  // render threads, rather than one a core on top of them.
  plan.threads = jobs;
  Canvas canvas;
  AVRational rate;
  std::vector<Clip> clips = OpenClips(options, plan, jobs, &canvas, &rate, warn);
  std::vector<int64_t> lengths;
  for (size_t c = 0; c < clips.size(); ++c) lengths.push_back(TrimmedLength(clips[c], edit.clips[c], rate));
  CutPlan cuts = PlanCuts(edit, rate, lengths);
  for (size_t c = 0; c < clips.size(); ++c) {
    if (lengths[c] == 0) throw Error(edit.clips[c].path + ": nothing is left between its in and out points");
  }
  const Timeline timeline(lengths, cuts.cuts);
  MltEdit mlt{canvas.width, canvas.height, rate, canvas.aspect, canvas.colour.space == AVCOL_SPC_BT709, {}, {}};
  for (size_t c = 0; c < clips.size(); ++c) {
    if (!options.mlt.empty()) mlt.clips.push_back(MltClipOf(clips[c], lengths[c], canvas, options.fit, rate));
    const Transition& t = cuts.transitions[c];
    mlt.cuts.push_back({timeline.cut(c).kind, timeline.cut(c).frames, t.bundle ? t.bundle->name() : "", edit.cuts[c].variant, 0, {}});
    if (!options.mlt.empty() && mlt.cuts.back().kind != CutKind::kHard &&
        Frei0rName(mlt.cuts.back().bundle, mlt.cuts.back().variant).empty()) {
      throw Error("--mlt: " + t.who + " has no frei0r plug-in for MLT");
    }
  }
  CopyPlan copyPlan;
  bool copying = false;
  if (options.copy) {
    copyPlan = PlanCopy(clips, timeline, canvas, rate, plan);
    copying = copyPlan.why.empty();
    warn(copying ? "--copy: copying " + std::to_string(timeline.frames() - copyPlan.encoded) + " frames, encoding " +
                       std::to_string(copyPlan.encoded) + " in " + std::to_string(copyPlan.stretches) + " stretches"
                 : "--copy: a full render, because " + copyPlan.why);
  }
  AudioFormat audioFormat;
  const bool sound = PlanSound(clips, plan, &audioFormat, warn);
  Writer writer(options.output, plan, canvas, rate, sound ? &audioFormat : nullptr, timeline.frames(),
                copying ? copyPlan.params.get() : nullptr);
  std::unique_ptr<CopyWriter> copier;
  if (copying) copier = std::make_unique<CopyWriter>(copyPlan, clips, timeline, canvas, rate, plan, writer);
  auto rendered = [&](int64_t j) { return !copying || copyPlan.encode[size_t(j)]; };
  const AudioBus bus(audioFormat.sampleRate, writer.hasAudio() ? audioFormat.channels() : 0, rate);
  AudioCopyPlan soundPlan;
  soundPlan.late.assign(clips.size(), 0);
  std::unique_ptr<AudioSplicer> splicer;
  if (copying && bus.on()) {
    soundPlan = PlanAudioCopy(clips, timeline, bus, audioFormat, plan, writer.audioParameters());
    if (soundPlan.why.empty()) {
      warn("--copy: copying " + std::to_string(soundPlan.packets) + " sound packets of " +
           std::to_string(soundPlan.runs.size()) + " clips");
      splicer = std::make_unique<AudioSplicer>(soundPlan, clips, audioFormat, plan, writer,
                                               bus.SampleOf(timeline.frames()));
    } else {
      warn("--copy: the sound is encoded again, because " + soundPlan.why);
    }
  }
  auto writeSound = [&](int64_t j, const Planes& slot) {
    if (splicer) splicer->Write(bus.SampleOf(j), slot);
    else writer.WriteAudio(slot, int(slot[0].size()));
  };

  // ---- Per frame: on the pool, any frame of the edit -------------------
  std::vector<int> sheetRow(clips.size(), -1);  // each transition's row on the contact sheet
  std::vector<std::vector<Picture>> sheet;
  for (size_t i = 0; i < clips.size(); ++i) {
    const int n = timeline.cut(i).frames;
    if (options.preview.empty() || n == 0) continue;
    const int count = std::min(n, 8);
    for (int k = 0; k < count; ++k) cuts.transitions[i].thumbs.push_back(count == 1 ? 0 : k * (n - 1) / (count - 1));
    sheetRow[i] = int(sheet.size());
    sheet.emplace_back();
  }
  EditFrames frames({options.proxy, options.marginX, options.marginY, jobs}, clips, cuts.transitions, timeline, canvas);

  // ---- Drive: frames in order, rendered ahead --------------------------
  std::vector<Planes> held;  // a transition's sound, until its plug-ins say how it ends
  int64_t submitted = 0;
  const int64_t window = 2 * jobs;
  size_t open = 0;  // clips before this one are done with
  auto audioOf = [&](size_t c) -> AudioTrack& {
    Clip& clip = clips[c];
    if (!clip.audio) {
      clip.audio = std::make_unique<AudioTrack>(clip.video->path(), audioFormat, clip.video->start(),
                                                clip.video->duration());
    }
    return *clip.audio;
  };
  auto mixClip = [&](size_t c, int64_t g, float gain, Planes& slot) {
    bus.Mix(audioOf(c), timeline.Origin(c), clips[c].trim, g, gain * Gain(clips[c].volume), slot, soundPlan.late[c]);
  };
  for (int64_t j = 0; j < timeline.frames(); ++j) {
    if (gInterrupted.load()) throw Error("interrupted");
    // Only the clips around the edit's place stay open.
    for (; open < clips.size() && timeline.End(open) <= j; ++open) {
      clips[open].video->Close();
      clips[open].audio.reset();
    }
    for (; submitted < timeline.frames() && submitted < j + window; ++submitted) {
      if (rendered(submitted)) frames.Submit(submitted);
    }
    Rendered got;
    if (rendered(j)) got = frames.Take(j);
    if (copier) {
      copier->Write(j, got.frame.get());
    } else {
      writer.WriteVideo(got.frame.get());
    }
    got.frame.reset();
    const Timeline::Place at = timeline.At(j);
    if (got.thumb) sheet[size_t(sheetRow[at.index])].push_back(std::move(*got.thumb));
    Planes slot = bus.Slot(j);
    if (splicer) splicer->Advance(bus.SampleOf(j + 1));
    if (!at.transition) {
      // Sound that is copied is not mixed at all.
      if (bus.on() && (!splicer || splicer->Needs(bus.SampleOf(j), bus.SampleOf(j + 1)))) {
        mixClip(at.index, at.frame, 1.0f, slot);
        AudioBus::Clip(slot);
        writeSound(j, slot);
      }
    } else {
      for (const zk::host::AudioMix& m : got.mixes) {
        Timeline::Frame f;
        if (!timeline.Map(at.index, m.frameNumber, &f)) continue;
        if (bus.on()) mixClip(f.clip, f.frame, Gain(m.volume), slot);
        mlt.cuts[at.index].AddGain(f.clip != at.index, int(at.frame), Gain(m.volume));
      }
      AudioBus::Clip(slot);
      held.push_back(std::move(slot));
      const int n = timeline.cut(at.index).frames;
      if (at.frame == n - 1) {
        // The plug-ins hand back the clip record, which may ask for the
        // clip's sound to fade out over the transition's last frames.
        const int64_t start = timeline.TransitionStart(at.index);
        const int fade = std::min(frames.Terminate(at.index), n);
        if (fade > 0) bus.FadeOut(held, start, start + n - fade, start + n);
        mlt.cuts[at.index].fade = fade;
        if (bus.on()) {
          for (size_t i = 0; i < held.size(); ++i) writeSound(start + int64_t(i), held[i]);
        }
        held.clear();
      }
    }
    if (progress) progress(j + 1, timeline.frames());
  }
  if (copier) copier->Finish();
  if (splicer) splicer->Finish();
  writer.Finish();
  av_channel_layout_uninit(&audioFormat.layout);
  if (!options.mlt.empty()) WriteMltProject(mlt, options.mlt, options.output.overwrite, warn);
  if (!options.preview.empty() && !sheet.empty()) {
    const Picture p = ContactSheet(sheet, 240);
    WritePng(options.preview, p.pixels.data(), p.width, p.height, intptr_t(p.width) * 4, options.output.overwrite);
  }
  RenderSummary summary;
  summary.frames = timeline.frames();
  summary.copiedFrames = copying ? timeline.frames() - copyPlan.encoded : 0;
  for (size_t i = 0; i < clips.size(); ++i) {
    summary.transitionFrames += timeline.cut(i).frames;
    summary.transitions += timeline.cut(i).frames > 0;
  }
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return summary;
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
