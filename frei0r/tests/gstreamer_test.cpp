// The plug-ins as GStreamer's own frei0r elements (gst-plugins-bad): whole
// renders from files to files with the progress animated by GStreamer's
// controller, against zkhost; and gst-launch-1.0 at a fixed progress.
#include <gst/controller/gstdirectcontrolbinding.h>
#include <gst/controller/gstinterpolationcontrolsource.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <mutex>
#include <sstream>

#include "clips.h"

namespace zk::frei0r::test {
namespace {

constexpr GstClockTime kFrame = GST_SECOND / 25;

// GStreamer names an element after the plug-in's title, lower case, with
// every other character a dash.
std::string ElementName(const Variant& v) {
  std::string name = std::string(v.twoClips ? "frei0r-mixer-" : "frei0r-filter-") + v.title;
  for (char& ch : name) {
    ch = std::isalnum(static_cast<unsigned char>(ch)) || ch == '+' ? char(std::tolower(ch)) : '-';
  }
  return name;
}

// The frames [first, last] (counted from 1) of a clip's PNGs, as RGBA.
std::string Pngs(const std::string& clip, int first, int last) {
  return "multifilesrc location=" + clip + "/%04d.png start-index=" + std::to_string(first) +
         " stop-index=" + std::to_string(last) +
         " caps=image/png,framerate=25/1 ! pngdec ! videoconvert ! video/x-raw,format=RGBA";
}

std::string ToFfv1(const std::string& path) {
  return "videoconvert ! video/x-raw,format=BGRx ! avenc_ffv1 ! matroskamux ! filesink location=" + path;
}

// GStreamer's warnings and criticals (its own and GLib's), as printed.
std::mutex logMutex;
std::vector<std::string> logged;

void Collect(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
  std::lock_guard<std::mutex> lock(logMutex);
  logged.push_back(std::string(domain ? domain : "") + ": " + message);
}

// GStreamer's frei0r mixer sends neither a stream-start nor a segment event
// from its output (its collect pads keep both), so every pad downstream
// warns and concat, taking the missing segment for one from 0, puts the
// transition's frames back at time 0.  Passing the inputs' own events on
// keeps the stream in order: the first stream-start of either input, before
// the mixer sets its caps, and the first input's segment, the one whose
// times the mixer's frames carry.
GstPadProbeReturn PassOn(GstPad* pad, GstPadProbeInfo* info, gpointer mixer) {
  GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
  const bool start = GST_EVENT_TYPE(event) == GST_EVENT_STREAM_START;
  const bool segment = GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT && std::string(GST_PAD_NAME(pad)) == "sink_0";
  if (start || segment) {
    GstPad* src = gst_element_get_static_pad(GST_ELEMENT(mixer), "src");
    GstEvent* held = gst_pad_get_sticky_event(src, GST_EVENT_TYPE(event), 0);
    if (held != nullptr) {
      gst_event_unref(held);
    } else {
      gst_pad_push_event(src, gst_event_ref(event));
    }
    gst_object_unref(src);
  }
  return GST_PAD_PROBE_OK;
}

void PassOnStreamEvents(GstElement* mixer) {
  static std::mutex order;  // one input's stream-start at a time
  for (const char* name : {"sink_0", "sink_1"}) {
    GstPad* pad = gst_element_get_static_pad(mixer, name);
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM,
        [](GstPad* p, GstPadProbeInfo* i, gpointer m) {
          std::lock_guard<std::mutex> lock(order);
          return PassOn(p, i, m);
        },
        mixer, nullptr);
    gst_object_unref(pad);
  }
}

// progress of the element named `element` along the line through (t0, v0)
// and (t1, v1), in the stream time of its (first) input; before t0 it keeps
// its value.
struct Ramp {
  std::string element;
  GstClockTime t0;
  double v0;
  GstClockTime t1;
  double v1;
};

// Runs a pipeline to its end; returns the error it stopped on, if any.
std::string RunPipeline(const std::string& description, const Ramp& ramp, bool passOnStreamEvents) {
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (error != nullptr) {
    const std::string what = error->message;
    g_error_free(error);
    if (pipeline != nullptr) gst_object_unref(pipeline);
    return what;
  }
  GstElement* animated = gst_bin_get_by_name(GST_BIN(pipeline), ramp.element.c_str());
  if (animated == nullptr) {
    gst_object_unref(pipeline);
    return "no element " + ramp.element;
  }
  GstControlSource* line = gst_interpolation_control_source_new();
  g_object_set(line, "mode", GST_INTERPOLATION_MODE_LINEAR, nullptr);
  gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(line), ramp.t0, ramp.v0);
  gst_timed_value_control_source_set(GST_TIMED_VALUE_CONTROL_SOURCE(line), ramp.t1, ramp.v1);
  gst_object_add_control_binding(GST_OBJECT(animated),
                                 gst_direct_control_binding_new_absolute(GST_OBJECT(animated), "progress", line));
  gst_object_unref(line);
  if (passOnStreamEvents) PassOnStreamEvents(animated);
  gst_object_unref(animated);

  std::string what;
  if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) what = "cannot start";
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = what.empty()
      ? gst_bus_timed_pop_filtered(bus, 120 * GST_SECOND, GstMessageType(GST_MESSAGE_ERROR | GST_MESSAGE_EOS))
      : nullptr;
  if (message == nullptr && what.empty()) what = "no end within 120 s";
  if (message != nullptr && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    gst_message_parse_error(message, &error, nullptr);
    what = error->message;
    g_error_free(error);
  }
  if (message != nullptr) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return what;
}

// A video's frame times in seconds as ffprobe prints them, a line each.
std::string FrameTimes(const std::string& path) {
  FILE* out = popen((std::string(ZK_FFPROBE) + " -v error -select_streams v -show_entries frame=pts_time -of csv=p=0 " +
                     path).c_str(), "r");
  if (out == nullptr) return "";
  std::string times;
  char chunk[256];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) times.append(chunk, n);
  pclose(out);
  return times;
}

std::string ExpectedTimes(int frames) {
  std::string times;
  char line[32];
  for (int i = 0; i < frames; ++i) {
    std::snprintf(line, sizeof line, "%.6f\n", i / 25.0);
    times += line;
  }
  return times;
}

struct GstCase {
  int variant;  // index into kVariants
  int frames;   // the transition's length
};

void PrintTo(const GstCase& c, std::ostream* os) { *os << kVariants[c.variant].id << " over " << c.frames; }

class GStreamer : public ::testing::TestWithParam<GstCase> {
 protected:
  static void SetUpTestSuite() {
    clips_.Make();
    setenv("FREI0R_PATH", ZK_FREI0R_DIR, 1);
    setenv("GST_REGISTRY", ZK_GST_REGISTRY, 1);
    gst_init(nullptr, nullptr);
    for (const char* domain : {"GStreamer", "GLib", "GLib-GObject"}) {
      g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL), Collect, nullptr);
    }
  }
  static void TearDownTestSuite() { clips_.Remove(); }
  void SetUp() override {
    std::lock_guard<std::mutex> lock(logMutex);
    logged.clear();
  }
  static std::string Logged() {
    std::lock_guard<std::mutex> lock(logMutex);
    std::string all;
    for (const std::string& line : logged) all += line + "\n";
    return all;
  }
  static inline Clips clips_;
};

// Decode, transition, encode: the whole render of zkhost, frame for frame,
// timed at 25 frames a second throughout, with no warnings.  A Cindergate
// mixer takes the first clip's last N frames and the second clip's first
// N, between the rest of both joined by concat; an Ashveil filter runs over
// the whole first clip.  Progress (k + 1) / N on transition frame k is the
// line through 1 / N on the first and 1 on the last.
TEST_P(GStreamer, AnimatedRenderIsZkhosts) {
  const GstCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  const std::string out = clips_.dir + "/gst_" + v.id + ".mkv", a = clips_.dir + "/a", b = clips_.dir + "/b";
  const int first = kClipFrames - c.frames;  // the transition's first frame in the first clip
  std::string pipeline;
  Ramp ramp{"t", 0, 1.0 / c.frames, (c.frames - 1) * kFrame, 1.0};
  if (v.twoClips) {
    pipeline = "concat name=c ! " + ToFfv1(out) + "  " + Pngs(a, 1, first) + " ! c.  " +
               Pngs(a, first + 1, kClipFrames) + " ! t.sink_0  " + Pngs(b, 1, c.frames) + " ! t.sink_1  " +
               ElementName(v) + " name=t ! c.  " + Pngs(b, c.frames + 1, kClipFrames) + " ! c.";
  } else {
    pipeline = "filesrc location=" + a + ".mkv ! matroskademux ! avdec_ffv1 ! videoconvert ! " +
               ElementName(v) + " name=t ! " + ToFfv1(out);
    ramp.t0 += first * kFrame;
    ramp.t1 += first * kFrame;
  }
  ASSERT_EQ(RunPipeline(pipeline, ramp, v.twoClips), "");
  EXPECT_EQ(Logged(), "");

  const std::vector<Rgba> got = DecodeFrames(out), want = clips_.Zkhost(v, c.frames);
  const int total = v.twoClips ? 2 * kClipFrames - c.frames : kClipFrames;
  ASSERT_EQ(want.size(), size_t(total));
  EXPECT_EQ(FirstDifference(got, want), -1);
  EXPECT_FALSE(ToImage(got[first + c.frames / 2]) == ToImage(clips_.a[first + c.frames / 2]));
  EXPECT_EQ(FrameTimes(out), ExpectedTimes(total));
}

INSTANTIATE_TEST_SUITE_P(Variants, GStreamer,
                         ::testing::Values(GstCase{0, 10}, GstCase{3, 16}, GstCase{5, 12}, GstCase{6, 10}),
                         [](const auto& info) { return std::string(kVariants[info.param.variant].id); });

class GstLaunch : public GStreamer {};

// gst-launch-1.0 sets a property once: every frame renders at that
// progress, as the plug-in renders frame r of an N-frame transition.  The
// frames are written as RGB: GStreamer's decoders leave the padding byte of
// BGRx at 0, videoconvert makes it the alpha of RGBA, and the plug-ins keep
// the alpha of the pixels they keep.
TEST_P(GstLaunch, FixedProgressFramesAreTheReferenceFrames) {
  const GstCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  const int32_t r = c.frames / 2 - 1;
  char progress[48];
  std::snprintf(progress, sizeof progress, "progress=%.17g", double(r + 1) / c.frames);
  const std::string out = clips_.dir + "/launch_" + v.id, a = clips_.dir + "/a";
  std::filesystem::create_directories(out);
  std::string pipeline;
  if (v.twoClips) {
    pipeline = Pngs(a, kClipFrames - c.frames + 1, kClipFrames) + " ! t.sink_0  " +
               Pngs(clips_.dir + "/b", 1, c.frames) + " ! t.sink_1  " + ElementName(v) + " name=t " + progress;
  } else {
    pipeline = "filesrc location=" + a + ".mkv ! matroskademux ! avdec_ffv1 ! videoconvert ! " + ElementName(v) +
               " name=t " + progress;
  }
  const std::string errors = out + "/stderr";
  ASSERT_EQ(Shell(std::string(ZK_GST_LAUNCH) + " -q " + pipeline +
                  " ! videoconvert ! video/x-raw,format=RGB ! pngenc ! multifilesink location=" + out + "/%04d.png 2>" + errors),
            0);
  std::ifstream in(errors);
  const std::string said{std::istreambuf_iterator<char>(in), {}};
  if (!v.twoClips) {
    EXPECT_EQ(said, "");
  }

  const std::vector<Rgba> got = DecodeFrames(out + "/%04d.png");
  const int offset = v.twoClips ? kClipFrames - c.frames : 0;
  ASSERT_EQ(got.size(), size_t(v.twoClips ? c.frames : kClipFrames));
  for (size_t i = 0; i < got.size(); ++i) {
    const host::Image incoming = v.twoClips ? ToImage(clips_.b[i]) : host::Image{};
    EXPECT_TRUE(ToImage(got[i]) == Reference(v, ToImage(clips_.a[offset + i]), incoming, r, c.frames))
        << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, GstLaunch, ::testing::Values(GstCase{2, 10}, GstCase{4, 12}),
                         [](const auto& info) { return std::string(kVariants[info.param.variant].id); });

}  // namespace
}  // namespace zk::frei0r::test
