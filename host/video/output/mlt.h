// An edit as an MLT XML project in Shotcut's layout, so that melt renders
// zkhost's frames and Shotcut opens it as an editable timeline: the clips
// on track V1 over a black background, each two-clip transition a
// transition clip (a tractor of the two clips' overlapping frames with our
// frei0r plug-in and MLT's sound mix), each end-of-clip transition our
// frei0r filter on its clip.  Every setting zkhost applies to a clip (its
// level, its fit, its retiming, an Ashveil's fade of its sound) is a filter
// or property of the clip's own producer, so it holds inside transitions.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "media/av.h"
#include "conform/conform.h"
#include "frames/edit_frames.h"
#include "output/output.h"
#include "edit/timeline.h"

namespace zk::video {

struct MltClip {
  std::string path;
  int64_t trim = 0;    // grid frames before its in point
  int64_t length = 0;  // grid frames in the edit
  int volume = 256;    // its level in the mix
  // Cropped or stretched into the picture (not padded, which MLT does
  // itself): the margins cut off the upright picture, and the sample
  // aspect that makes what is left fill the profile's picture.
  int left = 0, top = 0, right = 0, bottom = 0;
  double aspect = 0;  // 0: the clip's own
  // Another rate: MLT's producer rounds a grid frame to the source frame
  // nearest its time, zkhost shows the one on screen then.  A time remap
  // (the source at its own rate, the frame that starts at or before the
  // grid frame) and a shift of the video by whole source frames reproduce
  // zkhost's choice; `differ` counts the grid frames where the best of
  // them still shows another frame.
  bool remap = false;
  int shift = 0;  // source frames
  AVRational sourceRate{0, 1};
  int64_t differ = 0;
};

struct MltCut {
  CutKind kind = CutKind::kHard;
  int frames = 0;
  std::string bundle;  // "Cindergate"
  int variant = 1;
  int fade = 0;  // the clip's sound fades out over this many last frames
  // The gain the plug-in gave the clip before (0) and after (1) in the mix,
  // at each frame of the transition; empty where it left it alone.
  std::vector<float> gains[2];
  void AddGain(bool after, int frame, float gain) {
    std::vector<float>& g = gains[after];
    if (g.empty()) g.assign(size_t(frames), 0.0f);
    g[size_t(frame)] += gain;
  }
};

struct MltEdit {
  int width = 0, height = 0;
  AVRational rate{25, 1};
  AVRational aspect{1, 1};
  bool bt709 = false;
  std::vector<MltClip> clips;
  std::vector<MltCut> cuts;  // cuts[i] follows clips[i]
};

// A conformed clip as MLT is to show it on the edit's grid.
MltClip MltClipOf(const Clip& clip, int64_t length, const Canvas& canvas, Fit fit, AVRational rate);

// The frei0r plug-in of a bundle's variant ("cindergate_burn_out_bright"),
// or empty for none.
std::string Frei0rName(const std::string& bundle, int variant);

// Writes the project into a temporary file beside path, for PutInPlace,
// and tells `notice` where melt will not render what zkhost did; throws
// Error naming a transition with no frei0r plug-in, or a file it cannot write.
std::unique_ptr<TempPath> WriteMltProject(const MltEdit& edit, const std::string& path,
                                          const std::function<void(const std::string&)>& notice);

}  // namespace zk::video
