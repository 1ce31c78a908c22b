#include "render/segments.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <toml++/toml.h>

namespace zk::video {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPlanFile = "plan.toml";

// ---- The plan file -------------------------------------------------------

const char* FitName(Fit f) { return f == Fit::kCrop ? "crop" : f == Fit::kStretch ? "stretch" : "pad"; }

std::string RateText(AVRational r) { return std::to_string(r.num) + "/" + std::to_string(r.den); }

AVRational ParseRate(const std::string& text) {
  AVRational r{0, 1};
  if (std::sscanf(text.c_str(), "%d/%d", &r.num, &r.den) != 2 || r.den <= 0) r = {0, 1};
  return r;
}

// A clip's size and modification time: a clip changed after the plan was
// made would give segments of two different edits.
uint64_t Stamp(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  const uint64_t t = uint64_t(st.st_mtim.tv_sec) * 1000000000ull + uint64_t(st.st_mtim.tv_nsec);
  return (uint64_t(st.st_size) * 1099511628211ull) ^ t;
}

std::string Resolve(const std::string& folder, const std::string& path) {
  return fs::path(path).is_absolute() ? path : (fs::path(folder) / path).lexically_normal().string();
}

toml::table ClipTable(const EditClip& c, const CutSpec& cut, uint64_t stamp) {
  toml::table t{{"path", c.path}, {"in", c.in}, {"out", c.out}, {"volume", c.volume}, {"where", c.where},
                {"stamp", std::to_string(stamp)}};
  toml::table k{{"bundle", cut.bundle}, {"variant", cut.variant}, {"frames", cut.frames}, {"seconds", cut.seconds},
                {"speed", double(cut.speed)}, {"default", cut.fromDefault}, {"where", cut.where}};
  t.insert("cut", std::move(k));
  return t;
}

toml::table PlanTable(const SegmentPlan& p) {
  const EditOptions& o = p.options;
  toml::table output{{"path", o.output.path}, {"codec", p.layout.codec}, {"pix_fmt", o.output.pixFmt},
                     {"preset", o.output.preset}};
  if (o.output.crf) output.insert("crf", *o.output.crf);
  toml::table settings{{"fps", RateText(o.fps)}, {"width", o.width}, {"height", o.height}, {"fit", FitName(o.fit)},
                       {"proxy", o.proxy}, {"margin_x", o.marginX}, {"margin_y", o.marginY}, {"copy", o.copy}};
  toml::array clips, frames, segments;
  for (size_t c = 0; c < o.edit.clips.size(); ++c) clips.push_back(ClipTable(o.edit.clips[c], o.edit.cuts[c], p.clipStamps[c]));
  for (int64_t n : p.layout.clipFrames) frames.push_back(n);
  for (size_t k = 0; k < p.segments.size(); ++k) {
    segments.push_back(toml::table{{"file", fs::path(SegmentPath(".", k)).filename().string()},
                                   {"first", p.segments[k].first}, {"last", p.segments[k].last}});
  }
  toml::table resolved{{"frames", p.layout.frames}, {"rate", RateText(p.layout.rate)}, {"width", p.layout.width},
                       {"height", p.layout.height}, {"clip_frames", std::move(frames)}};
  return toml::table{{"zkhost", p.version}, {"folder", p.folder}, {"output", std::move(output)},
                     {"settings", std::move(settings)}, {"clip", std::move(clips)}, {"resolved", std::move(resolved)},
                     {"segment", std::move(segments)}};
}

std::string Text(const toml::table& t) {
  std::ostringstream s;
  s << t;
  return s.str();
}

// FNV-1a of the plan's text: the same edit planned the same way has the
// same id, so its segments are interchangeable; any other has another.
std::string IdOf(const std::string& text) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

// ---- Reading it back -----------------------------------------------------

// Reads one value of the plan, naming it when it is missing or of the
// wrong kind: a plan edited by hand fails on the line that is wrong.
template <typename T>
T Get(const toml::node_view<const toml::node>& n, const std::string& what, const std::string& file) {
  const std::optional<T> v = n.value<T>();
  if (!v) throw Error(file + ": " + what + " is missing or not a " + (std::is_same_v<T, std::string> ? "text" : "number"));
  return *v;
}

void ReadClips(const toml::table& t, const std::string& file, SegmentPlan& p) {
  const toml::array* clips = t["clip"].as_array();
  if (clips == nullptr || clips->empty()) throw Error(file + ": the plan has no [[clip]]");
  for (const toml::node& node : *clips) {
    const auto c = toml::node_view<const toml::node>(node);
    EditClip clip;
    clip.path = Get<std::string>(c["path"], "a clip's path", file);
    clip.in = Get<double>(c["in"], clip.path + "'s in", file);
    clip.out = Get<double>(c["out"], clip.path + "'s out", file);
    clip.volume = int(Get<int64_t>(c["volume"], clip.path + "'s volume", file));
    clip.where = c["where"].value_or(clip.path);
    p.clipStamps.push_back(std::stoull(c["stamp"].value_or(std::string("0"))));
    CutSpec cut;
    cut.bundle = c["cut"]["bundle"].value_or(std::string());
    cut.variant = int(c["cut"]["variant"].value_or(int64_t(1)));
    cut.frames = int(c["cut"]["frames"].value_or(int64_t(0)));
    cut.seconds = c["cut"]["seconds"].value_or(0.0);
    cut.speed = float(c["cut"]["speed"].value_or(0.5));
    cut.fromDefault = c["cut"]["default"].value_or(false);
    cut.where = c["cut"]["where"].value_or(std::string());
    p.options.edit.clips.push_back(clip);
    p.options.edit.cuts.push_back(cut);
  }
}

void ReadSettings(const toml::table& t, const std::string& file, SegmentPlan& p) {
  EditOptions& o = p.options;
  const auto out = t["output"], set = t["settings"], res = t["resolved"];
  o.output.path = Get<std::string>(out["path"], "[output] path", file);
  o.output.codec = Get<std::string>(out["codec"], "[output] codec", file);
  o.output.pixFmt = out["pix_fmt"].value_or(std::string());
  o.output.preset = out["preset"].value_or(std::string());
  if (auto crf = out["crf"].value<int64_t>()) o.output.crf = int(*crf);
  o.fps = ParseRate(set["fps"].value_or(std::string("0/1")));
  o.width = int(set["width"].value_or(int64_t(0)));
  o.height = int(set["height"].value_or(int64_t(0)));
  if (!ParseFit(set["fit"].value_or(std::string("pad")), &o.fit)) throw Error(file + ": [settings] fit is unknown");
  o.proxy = set["proxy"].value_or(false);
  o.marginX = int(set["margin_x"].value_or(int64_t(0)));
  o.marginY = int(set["margin_y"].value_or(int64_t(0)));
  o.copy = set["copy"].value_or(false);
  p.layout.frames = Get<int64_t>(res["frames"], "[resolved] frames", file);
  p.layout.rate = ParseRate(Get<std::string>(res["rate"], "[resolved] rate", file));
  p.layout.width = int(res["width"].value_or(int64_t(0)));
  p.layout.height = int(res["height"].value_or(int64_t(0)));
  p.layout.codec = o.output.codec;
  if (const toml::array* f = res["clip_frames"].as_array()) {
    for (const toml::node& n : *f) p.layout.clipFrames.push_back(n.value_or(int64_t(0)));
  }
}

void ReadSegments(const toml::table& t, const std::string& file, SegmentPlan& p) {
  const toml::array* segments = t["segment"].as_array();
  if (segments == nullptr || segments->empty()) throw Error(file + ": the plan has no [[segment]]");
  for (const toml::node& node : *segments) {
    const auto s = toml::node_view<const toml::node>(node);
    p.segments.push_back({Get<int64_t>(s["first"], "a segment's first", file), Get<int64_t>(s["last"], "a segment's last", file)});
  }
}

// ---- A segment's tags ----------------------------------------------------

std::string Dict(const AVDictionary* d, const char* key) {
  const AVDictionaryEntry* e = av_dict_get(d, key, nullptr, 0);
  return e ? e->value : "";
}

std::string SegmentName(const SegmentPlan& p, size_t k) {
  return "segment " + std::to_string(k) + " of " + std::to_string(p.segments.size());
}

// The user's own folder for relative paths given to join.
std::string Here() {
  std::error_code ec;
  const fs::path p = fs::current_path(ec);
  return ec ? "." : p.string();
}

}  // namespace

std::string SegmentPath(const std::string& dir, size_t k) {
  return (fs::path(dir) / ("segment-" + std::to_string(k) + ".mkv")).string();
}

std::vector<PlannedSegment> SplitEdit(const EditLayout& layout, int n) {
  // startsFrom[j]: frames from j on where a segment can start.
  std::vector<int64_t> startsFrom(size_t(layout.frames) + 1, 0);
  for (int64_t j = layout.frames - 1; j >= 0; --j) startsFrom[size_t(j)] = startsFrom[size_t(j) + 1] + layout.canStart[size_t(j)];
  if (n < 1 || n > startsFrom[0]) {
    throw Error("--segments " + std::to_string(n) + ": the edit has " + Count(startsFrom[0], "frame") +
                " where a segment can start (give 1 to " + std::to_string(startsFrom[0]) + ")");
  }
  int64_t total = 0;
  for (uint8_t c : layout.cost) total += c;
  std::vector<PlannedSegment> segments;
  int64_t first = 0, cost = 0;
  for (int64_t j = 0; j < layout.frames; ++j) {
    // Cut where the cost so far first reaches the next share, at a frame
    // a segment can start at; leave enough such frames for the rest.
    const int64_t left = n - int64_t(segments.size()) - 1;
    const bool due = left > 0 && j > first && layout.canStart[size_t(j)] &&
                     (cost >= total * int64_t(segments.size() + 1) / n || startsFrom[size_t(j)] <= left);
    if (due) {
      segments.push_back({first, j});
      first = j;
    }
    cost += layout.cost[size_t(j)];
  }
  segments.push_back({first, layout.frames});
  return segments;
}

SegmentPlan MakePlan(const EditOptions& options, const std::string& dir, int n, const std::string& version,
                     const WarnFn& warn) {
  PlanSegmentOutput(options.output);  // refuses images before any clip is read
  SegmentPlan p;
  p.version = version;
  p.folder = Here();
  p.options = options;
  p.layout = LayOutEdit(options, warn);
  p.segments = SplitEdit(p.layout, n);
  for (const EditClip& c : options.edit.clips) p.clipStamps.push_back(Stamp(c.path));
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Error("--plan " + dir + ": cannot make the folder: " + ec.message());
  toml::table t = PlanTable(p);
  p.id = IdOf(Text(t));
  t.insert("plan", p.id);
  const fs::path path = fs::path(dir) / kPlanFile;
  TempPath temp(path, ".toml");
  {
    std::ofstream f(temp.path());
    f << "# A zkhost edit split into segments: `zkhost segment DIR K` renders segment K,\n"
         "# `zkhost join DIR` copies them into the output.  Made by zkhost, read by it.\n"
      << t << "\n";
    if (!f.flush()) throw Error("cannot write " + path.string());
  }
  PutInPlace(temp, path.string(), true);
  // Segments of an earlier plan in this folder are now foreign; they stay
  // until a job replaces them, and the join refuses them meanwhile.
  return p;
}

SegmentPlan ReadPlan(const std::string& dir) {
  const std::string file = (fs::path(dir) / kPlanFile).string();
  if (!fs::exists(file)) throw Error(dir + " holds no plan (" + file + " is missing): make one with zkhost edit ... --plan " + dir);
  toml::table t;
  try {
    t = toml::parse_file(file);
  } catch (const toml::parse_error& e) {
    throw Error(file + " line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
  }
  SegmentPlan p;
  p.version = t["zkhost"].value_or(std::string("?"));
  p.id = t["plan"].value_or(std::string());
  p.folder = t["folder"].value_or(std::string("."));
  ReadClips(t, file, p);
  ReadSettings(t, file, p);
  ReadSegments(t, file, p);
  return p;
}

namespace {

// A clip's size and time now against the plan's.
void CheckClipsUnchanged(const SegmentPlan& p, const EditOptions& o) {
  for (size_t c = 0; c < o.edit.clips.size(); ++c) {
    const std::string& path = o.edit.clips[c].path;
    if (!fs::exists(path)) throw Error(path + " is not here: every machine must see the clips at the plan's paths");
    if (c < p.clipStamps.size() && Stamp(path) != p.clipStamps[c]) {
      throw Error(path + " has changed since the plan was made (its size or time differ): make the plan again");
    }
  }
}

// The plan's edit with its relative paths resolved where it was made.
EditOptions Resolved(const SegmentPlan& p) {
  EditOptions o = p.options;
  for (EditClip& c : o.edit.clips) c.path = Resolve(p.folder, c.path);
  for (CutSpec& cut : o.edit.cuts) {
    if (cut.bundle.find('/') != std::string::npos) cut.bundle = Resolve(p.folder, cut.bundle);
  }
  o.output.path = Resolve(p.folder, o.output.path);
  return o;
}

void CheckVersion(const SegmentPlan& p, const std::string& dir, const std::string& version) {
  if (p.version != version) {
    throw Error((fs::path(dir) / kPlanFile).string() + " was made by zkhost " + p.version + "; this is zkhost " +
                version + ": every job of a plan runs the same zkhost (or make the plan again)");
  }
}

}  // namespace

RenderSummary RenderPlannedSegment(const std::string& dir, int k, int jobs, const std::string& version,
                                   const ProgressFn& progress, const WarnFn& warn) {
  const SegmentPlan p = ReadPlan(dir);
  CheckVersion(p, dir, version);
  if (k < 0 || size_t(k) >= p.segments.size()) {
    throw Error("segment " + std::to_string(k) + ": the plan in " + dir + " has " + Count(int64_t(p.segments.size()), "segment") +
                ", 0 to " + std::to_string(p.segments.size() - 1));
  }
  EditOptions o = Resolved(p);
  CheckClipsUnchanged(p, o);
  o.jobs = jobs;
  const PlannedSegment& s = p.segments[size_t(k)];
  SegmentJob job;
  job.path = SegmentPath(dir, size_t(k));
  job.first = s.first;
  job.last = s.last;
  job.total = p.layout.frames;
  job.tags = {{"ZKHOST_PLAN", p.id}, {"ZKHOST_VERSION", version}, {"ZKHOST_SEGMENT", std::to_string(k)},
              {"ZKHOST_FIRST", std::to_string(s.first)}, {"ZKHOST_LAST", std::to_string(s.last)}};
  return RenderSegment(o, job, progress, warn);
}

namespace {

// A finished segment of this plan, open for reading.
struct SegmentFile {
  std::string name;  // "segment 2 of 5 (plan/segment-2.mkv)"
  InputPtr input;
  AVStream* video = nullptr;
  AVStream* audio = nullptr;
};

// A segment's job died or still runs: its temporary file is there.
bool Unfinished(const std::string& path) {
  const fs::path p(path);
  std::error_code ec;
  const std::string prefix = "." + p.filename().string() + ".zkhost-";
  for (const auto& e : fs::directory_iterator(p.parent_path(), ec)) {
    if (e.path().filename().string().starts_with(prefix)) return true;
  }
  return false;
}

SegmentFile OpenSegment(const SegmentPlan& p, const std::string& dir, size_t k) {
  SegmentFile s;
  const std::string path = SegmentPath(dir, k);
  s.name = SegmentName(p, k) + " (" + path + ")";
  const std::string again = ": render it with zkhost segment " + dir + " " + std::to_string(k);
  if (!fs::exists(path)) throw Error(s.name + (Unfinished(path) ? " is not finished (its job runs or died)" : " is missing") + again);
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) throw Error(s.name + " cannot be read" + again);
  s.input.reset(raw);
  if (avformat_find_stream_info(raw, nullptr) < 0) throw Error(s.name + " cannot be read" + again);
  const std::string plan = Dict(raw->metadata, "ZKHOST_PLAN"), made = Dict(raw->metadata, "ZKHOST_VERSION");
  if (plan != p.id) {
    throw Error(s.name + " belongs to " + (plan.empty() ? "no plan" : "another plan (" + plan + ", not " + p.id + ")") + again);
  }
  if (made != p.version) throw Error(s.name + " was rendered by zkhost " + made + ", the plan by " + p.version + again);
  if (Dict(raw->metadata, "ZKHOST_SEGMENT") != std::to_string(k)) throw Error(s.name + " is another segment of the plan" + again);
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    AVStream* st = raw->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !s.video) s.video = st;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !s.audio) s.audio = st;
  }
  if (s.video == nullptr) throw Error(s.name + " has no pictures" + again);
  return s;
}

// Every segment's pictures in the first's parameter sets, and its sound
// in the same format, or none has sound.
void CheckAlike(const std::vector<SegmentFile>& files) {
  const AVCodecParameters* a = files[0].video->codecpar;
  for (const SegmentFile& f : files) {
    const AVCodecParameters* b = f.video->codecpar;
    const bool same = a->codec_id == b->codec_id && a->width == b->width && a->height == b->height &&
                      a->format == b->format && a->extradata_size == b->extradata_size &&
                      (a->extradata_size == 0 || std::memcmp(a->extradata, b->extradata, size_t(a->extradata_size)) == 0);
    if (!same) throw Error(f.name + " was encoded with other settings than " + files[0].name);
    if ((f.audio == nullptr) != (files[0].audio == nullptr)) throw Error(f.name + " differs in its sound from " + files[0].name);
  }
}

// Copies one segment: its pictures' packets at their place in the output,
// its sound into the output's encoder.
class Joiner {
 public:
  Joiner(Writer& writer, AVRational rate, int delay, int channels) : writer_(writer), rate_(rate), delay_(delay), planes_(size_t(channels)) {}

  void Copy(SegmentFile& f, const PlannedSegment& s, int64_t samples) {
    PacketPtr pkt = NewPacket();
    int64_t frames = 0, got = 0, origin = AV_NOPTS_VALUE;
    for (int r; (r = av_read_frame(f.input.get(), pkt.get())) != AVERROR_EOF; av_packet_unref(pkt.get())) {
      if (r < 0) throw Error(f.name + " is damaged: " + AvErrorText(r) + ": render it again");
      if (pkt->stream_index == f.video->index) {
        const int64_t at = av_rescale_q_rnd(pkt->pts, f.video->time_base, av_inv_q(rate_), AV_ROUND_NEAR_INF);
        if (origin == AV_NOPTS_VALUE) origin = at;  // its first picture, a keyframe
        Picture(f, pkt.get(), s.first + at - origin);
        ++frames;
      } else if (f.audio && pkt->stream_index == f.audio->index) {
        got += Sound(pkt.get());
      }
    }
    if (frames != s.last - s.first || (f.audio && got != samples)) {
      throw Error(f.name + " holds " + Count(frames, "frame") + " and " + Count(got, "sample") + ", not the planned " +
                  Count(s.last - s.first, "frame") + " and " + Count(samples, "sample") + ": render it again");
    }
  }

 private:
  void Picture(const SegmentFile& f, AVPacket* pkt, int64_t pts) {
    pkt->pts = pts;
    pkt->dts = next_++ - delay_;  // the encoder's own order, one frame a packet
    if (pkt->dts > pkt->pts) throw Error(f.name + ": its pictures are reordered deeper than its header says");
    pkt->duration = 1;
    writer_.WritePacket(pkt);
  }

  int64_t Sound(const AVPacket* pkt) {
    const int channels = int(planes_.size());
    const int count = pkt->size / int(sizeof(float)) / channels;
    const auto* in = reinterpret_cast<const float*>(pkt->data);
    for (int c = 0; c < channels; ++c) {
      planes_[size_t(c)].resize(size_t(count));
      for (int i = 0; i < count; ++i) planes_[size_t(c)][size_t(i)] = in[i * channels + c];
    }
    writer_.WriteAudio(planes_, count);
    return count;
  }

  Writer& writer_;
  AVRational rate_;
  int delay_;
  Planes planes_;
  int64_t next_ = 0;
};

}  // namespace

JoinSummary JoinSegments(const std::string& dir, const OutputOptions& output, const std::string& version,
                         const WarnFn& warn) {
  const auto started = std::chrono::steady_clock::now();
  const SegmentPlan p = ReadPlan(dir);
  CheckVersion(p, dir, version);
  std::vector<SegmentFile> files;
  for (size_t k = 0; k < p.segments.size(); ++k) files.push_back(OpenSegment(p, dir, k));
  CheckAlike(files);
  OutputOptions out = p.options.output;
  out.path = output.path.empty() ? Resolve(p.folder, out.path) : output.path;
  out.overwrite = output.overwrite;
  const OutputPlan plan = PlanOutput(out);
  const AVCodecParameters* v = files[0].video->codecpar;
  Canvas canvas;
  canvas.width = canvas.pictureWidth = v->width;
  canvas.height = canvas.pictureHeight = v->height;
  AudioFormat sound;
  if (files[0].audio) {
    sound.sampleRate = files[0].audio->codecpar->sample_rate;
    const AVChannelLayout& layout = files[0].audio->codecpar->ch_layout;
    // Matroska keeps the count of PCM channels, not always their layout.
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC) av_channel_layout_default(&sound.layout, layout.nb_channels);
    else av_channel_layout_copy(&sound.layout, &layout);
  }
  int delay = 0;
  for (const SegmentFile& f : files) delay = std::max(delay, f.video->codecpar->video_delay);
  Writer writer(out, plan, canvas, p.layout.rate, files[0].audio ? &sound : nullptr, p.layout.frames, v);
  Joiner joiner(writer, p.layout.rate, delay, sound.channels());
  const AudioBus bus(sound.sampleRate, sound.channels(), p.layout.rate);
  for (size_t k = 0; k < files.size(); ++k) {
    const PlannedSegment& s = p.segments[k];
    joiner.Copy(files[k], s, bus.SampleOf(s.last) - bus.SampleOf(s.first));
    files[k].input.reset();
  }
  writer.Complete();
  av_channel_layout_uninit(&sound.layout);
  writer.Commit();
  (void)warn;
  return {p.layout.frames, files.size(), out.path,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
}

}  // namespace zk::video
