// An edit split into segments that any machine renders on its own, and the
// join that copies them into the output.  A plan folder holds plan.toml
// (the edit as it was given, the settings the render resolved and each
// segment's frames) and, as jobs finish, segment-K.mkv: the output's video
// codec at its settings, each starting with a keyframe of its own encoder,
// and the mixed sound as float PCM, which the join encodes once so that
// the sound is the one a single render would give.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/render.h"

namespace zk::video {

struct PlannedSegment {
  int64_t first = 0, last = 0;  // output frames [first, last)
};

struct SegmentPlan {
  std::string version;  // of the zkhost that made it; every job must be the same
  std::string id;       // tells this plan's segments from another's
  std::string folder;   // where relative paths were given
  EditOptions options;  // the edit and its output, paths as given
  EditLayout layout;    // as the plan resolved it (costs and starts left out)
  std::vector<uint64_t> clipStamps;  // each clip's size and time, to see it unchanged
  std::vector<PlannedSegment> segments;
};

// n segments of about equal cost, each starting outside any transition's
// inside.  Throws when the edit has fewer places to start one.
std::vector<PlannedSegment> SplitEdit(const EditLayout& layout, int n);

// Plans the edit as a render would and writes dir/plan.toml (making dir).
SegmentPlan MakePlan(const EditOptions& options, const std::string& dir, int n, const std::string& version,
                     const WarnFn& warn);
SegmentPlan ReadPlan(const std::string& dir);
std::string SegmentPath(const std::string& dir, size_t k);

// Renders segment k of the plan in dir into SegmentPath(dir, k), through a
// temporary file: run again or twice at once, it leaves one whole segment.
RenderSummary RenderPlannedSegment(const std::string& dir, int k, int jobs, const std::string& version,
                                   const ProgressFn& progress, const WarnFn& warn);

struct JoinSummary {
  int64_t frames = 0;
  size_t segments = 0;
  std::string output;
  double seconds = 0;
};
// Copies every segment's pictures into the output (output.path, or the
// plan's when empty) and encodes the sound once.  Refuses a missing,
// unfinished or foreign segment, naming it, before writing anything.
JoinSummary JoinSegments(const std::string& dir, const OutputOptions& output, const std::string& version,
                         const WarnFn& warn);

}  // namespace zk::video
