#include "render/segments.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
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
  // Whole seconds: not every file system gives every client the same
  // fraction of one.
  return (uint64_t(st.st_size) * 1099511628211ull) ^ uint64_t(st.st_mtim.tv_sec);
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
                       {"height", p.layout.height}, {"clip_frames", std::move(frames)}, {"copying", p.layout.copying}};
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
  p.layout.copying = res["copying"].value_or(false);
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
  const int64_t most = std::max<int64_t>(1, startsFrom[0]);
  if (n < 1 || n > most) {
    throw Error("--segments " + std::to_string(n) + ": the edit has " +
                (layout.copying ? Count(startsFrom[0], "stretch") + " to encode, each wholly in one segment"
                                : Count(startsFrom[0], "frame") + " where a segment can start") +
                " (give 1 to " + std::to_string(most) + ")");
  }
  int64_t total = 0;
  for (uint8_t c : layout.cost) total += c;
  std::vector<PlannedSegment> segments;
  int64_t first = 0, cost = 0;
  bool started = false;  // the segment being laid holds a place to start
  for (int64_t j = 0; j < layout.frames; ++j) {
    // Cut where the cost so far first reaches the next share, at a frame
    // a segment can start at; leave enough such frames for the rest.
    const int64_t left = n - int64_t(segments.size()) - 1;
    const bool due = left > 0 && started && layout.canStart[size_t(j)] &&
                     (cost >= total * int64_t(segments.size() + 1) / n || startsFrom[size_t(j)] <= left);
    if (due) {
      segments.push_back({first, j});
      first = j;
    }
    started |= bool(layout.canStart[size_t(j)]);
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
  job.copying = p.layout.copying;
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

// Reads a segment in file order: its pictures' packets in turn, and its
// sound, float PCM, into a queue; pictures read past while looking for
// sound wait their turn.
class SegmentReader {
 public:
  SegmentReader(SegmentFile& f, AVRational rate, int channels)
      : f_(f), rate_(rate), queue_(size_t(channels)), packet_(NewPacket()) {}

  // The next picture's packet and its frame, counted from the segment's
  // first picture (a keyframe); null at the segment's end.
  AVPacket* NextPicture(int64_t* frame) {
    if (pending_.empty() && !ReadPicture()) return nullptr;
    packet_ = std::move(pending_.front());
    pending_.pop_front();
    const int64_t at = av_rescale_q_rnd(packet_->pts, f_.video->time_base, av_inv_q(rate_), AV_ROUND_NEAR_INF);
    if (origin_ == AV_NOPTS_VALUE) origin_ = at;
    *frame = at - origin_;
    ++pictures_;
    return packet_.get();
  }
  // The next count samples into slot; false when the segment has fewer.
  bool TakeSound(Planes& slot, int count) {
    while (Queued() < count && ReadPicture()) {
    }
    if (Queued() < count) return false;
    for (size_t c = 0; c < queue_.size(); ++c) {
      slot[c].assign(queue_[c].begin() + long(read_), queue_[c].begin() + long(read_) + count);
    }
    read_ += size_t(count);
    if (read_ > (1u << 16)) {  // keep the queue short
      for (auto& q : queue_) q.erase(q.begin(), q.begin() + long(read_));
      read_ = 0;
    }
    return true;
  }
  int Queued() const { return queue_.empty() ? 0 : int(queue_[0].size() - read_); }
  int64_t pictures() const { return pictures_; }

 private:
  // Reads up to the next picture, queueing the sound before it.
  bool ReadPicture() {
    for (;;) {
      PacketPtr pkt = NewPacket();
      const int r = av_read_frame(f_.input.get(), pkt.get());
      if (r == AVERROR_EOF) return false;
      if (r < 0) throw Error(f_.name + " is damaged: " + AvErrorText(r) + ": render it again");
      if (f_.audio && pkt->stream_index == f_.audio->index) Queue(pkt.get());
      if (pkt->stream_index != f_.video->index) continue;
      pending_.push_back(std::move(pkt));
      return true;
    }
  }
  void Queue(const AVPacket* pkt) {
    const size_t channels = queue_.size();
    if (channels == 0) return;
    const size_t count = size_t(pkt->size) / sizeof(float) / channels;
    const auto* in = reinterpret_cast<const float*>(pkt->data);
    for (size_t c = 0; c < channels; ++c) {
      for (size_t i = 0; i < count; ++i) queue_[c].push_back(in[i * channels + c]);
    }
  }

  SegmentFile& f_;
  AVRational rate_;
  std::vector<std::vector<float>> queue_;
  size_t read_ = 0;
  std::deque<PacketPtr> pending_;
  PacketPtr packet_;
  int64_t origin_ = AV_NOPTS_VALUE;
  int64_t pictures_ = 0;
};

[[noreturn]] void Unlike(const SegmentFile& f, const std::string& what) {
  throw Error(f.name + " holds " + what + " than planned: render it again");
}

// The join without --copy: every segment's pictures in turn, their sound
// into the output's encoder.
void JoinPlain(const SegmentPlan& p, std::vector<SegmentFile>& files, Writer& writer, int delay, int channels,
               int sampleRate) {
  const AudioBus bus(sampleRate, channels, p.layout.rate);
  int64_t next = 0;  // pictures so far, in decode order
  Planes slot(static_cast<size_t>(channels));
  for (size_t k = 0; k < files.size(); ++k) {
    const PlannedSegment& s = p.segments[k];
    SegmentReader reader(files[k], p.layout.rate, channels);
    int64_t frame, samples = 0;
    for (AVPacket* pkt = reader.NextPicture(&frame);; pkt = reader.NextPicture(&frame)) {
      for (int n; (n = reader.Queued()) > 0; samples += n) {
        reader.TakeSound(slot, n);
        writer.WriteAudio(slot, n);
      }
      if (pkt == nullptr) break;
      if (reader.pictures() > s.last - s.first) Unlike(files[k], "more pictures");
      pkt->pts = s.first + frame;
      pkt->dts = next++ - delay;  // the encoder's own order, one frame a packet
      if (pkt->dts > pkt->pts) throw Error(files[k].name + ": its pictures are reordered deeper than its header says");
      pkt->duration = 1;
      writer.WritePacket(pkt);
    }
    if (reader.pictures() < s.last - s.first) Unlike(files[k], "fewer pictures");
    if (channels > 0 && samples != bus.SampleOf(s.last) - bus.SampleOf(s.first)) {
      Unlike(files[k], samples < bus.SampleOf(s.last) - bus.SampleOf(s.first) ? "less sound" : "more sound");
    }
    files[k].input.reset();
  }
}

// What the segments of a --copy edit rendered, for its join: each holds
// whole encoded stretches, its first picture its first stretch's first.
class SegmentStretches : public StretchSource {
 public:
  SegmentStretches(const SegmentPlan& p, std::vector<SegmentFile>& files, int channels)
      : p_(p), files_(files), channels_(channels) {}

  void Packets(int64_t first, int64_t last, const std::function<void(AVPacket*, int64_t)>& put) override {
    Select(first);
    for (int64_t n = first; n < last; ++n) {
      int64_t frame;
      AVPacket* pkt = reader_->NextPicture(&frame);
      if (pkt == nullptr) Unlike(files_[k_], "fewer pictures");
      put(pkt, base_ + frame);
    }
  }
  void Sound(int64_t, Planes& slot) override {
    if (!reader_->TakeSound(slot, int(slot[0].size()))) Unlike(files_[k_], "less sound");
  }
  // Every segment read to its end, and no further.
  void Finish() {
    Select(INT64_MAX);
    Close();
  }

 private:
  // The segment that holds output frame j, the ones before it read whole.
  void Select(int64_t j) {
    if (!reader_) Open(0, j);
    while (k_ + 1 < files_.size() && j >= p_.segments[k_ + 1].first) {
      Close();
      Open(k_ + 1, j);
    }
  }
  void Open(size_t k, int64_t base) {
    k_ = k;
    reader_ = std::make_unique<SegmentReader>(files_[k], p_.layout.rate, channels_);
    base_ = base;
  }
  void Close() {
    int64_t frame;
    if (reader_->NextPicture(&frame) != nullptr) Unlike(files_[k_], "more pictures");
    if (reader_->Queued() > 0) Unlike(files_[k_], "more sound");
    files_[k_].input.reset();
  }

  const SegmentPlan& p_;
  std::vector<SegmentFile>& files_;
  int channels_;
  size_t k_ = 0;
  std::unique_ptr<SegmentReader> reader_;
  int64_t base_ = 0;
};

}  // namespace

namespace {

// The sound's format as the segments hold it.
AudioFormat SoundOf(const SegmentFile& f) {
  AudioFormat sound;
  if (!f.audio) return sound;
  sound.sampleRate = f.audio->codecpar->sample_rate;
  const AVChannelLayout& layout = f.audio->codecpar->ch_layout;
  // Matroska keeps the count of PCM channels, not always their layout.
  if (layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&sound.layout, layout.nb_channels);
  } else {
    av_channel_layout_copy(&sound.layout, &layout);
  }
  return sound;
}

void JoinWithoutCopy(const SegmentPlan& p, std::vector<SegmentFile>& files, const OutputOptions& out) {
  const OutputPlan plan = PlanOutput(out);
  const AVCodecParameters* v = files[0].video->codecpar;
  Canvas canvas;
  canvas.width = canvas.pictureWidth = v->width;
  canvas.height = canvas.pictureHeight = v->height;
  AudioFormat sound = SoundOf(files[0]);
  int delay = 0;
  for (const SegmentFile& f : files) delay = std::max(delay, f.video->codecpar->video_delay);
  Writer writer(out, plan, canvas, p.layout.rate, files[0].audio ? &sound : nullptr, p.layout.frames, v);
  JoinPlain(p, files, writer, delay, sound.channels(), sound.sampleRate);
  writer.Complete();
  av_channel_layout_uninit(&sound.layout);
  writer.Commit();
}

// With --copy the join reads the clips too: it copies their packets
// around the segments' stretches, as the render would.
void JoinWithCopy(const SegmentPlan& p, std::vector<SegmentFile>& files, const OutputOptions& out,
                  const WarnFn& warn) {
  EditOptions o = Resolved(p);
  CheckClipsUnchanged(p, o);
  o.output = out;
  o.jobs = 1;
  SegmentStretches source(p, files, files[0].audio ? files[0].audio->codecpar->ch_layout.nb_channels : 0);
  JoinStretches(o, source, nullptr, warn);
  source.Finish();
}

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
  if (p.layout.copying) {
    JoinWithCopy(p, files, out, warn);
  } else {
    JoinWithoutCopy(p, files, out);
  }
  return {p.layout.frames, files.size(), out.path,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
}

}  // namespace zk::video
