// An edit as an MLT XML project, so that melt, Shotcut and Kdenlive open
// it: a playlist of the trimmed clips, each two-clip transition a tractor
// of the two clips' overlapping frames with our frei0r plug-in and MLT's
// sound mix, each end-of-clip transition our frei0r filter on the clip.
#pragma once

#include <string>
#include <vector>

#include "av.h"
#include "output.h"
#include "timeline.h"

namespace zk::video {

struct MltClip {
  std::string path;
  int64_t trim = 0;    // grid frames before its in point
  int64_t length = 0;  // grid frames in the edit
};

struct MltCut {
  CutKind kind = CutKind::kHard;
  int frames = 0;
  std::string bundle;  // "Cindergate"
  int variant = 1;
};

struct MltEdit {
  int width = 0, height = 0;
  AVRational rate{25, 1};
  AVRational aspect{1, 1};
  bool bt709 = false;
  std::vector<MltClip> clips;
  std::vector<MltCut> cuts;  // cuts[i] follows clips[i]
};

// The frei0r plug-in of a bundle's variant ("cindergate_burn_out_bright"),
// or empty for none.
std::string Frei0rName(const std::string& bundle, int variant);

// Writes the project into a temporary file beside path, for PutInPlace;
// throws Error naming a file it cannot write.
std::unique_ptr<TempPath> WriteMltProject(const MltEdit& edit, const std::string& path);

}  // namespace zk::video
