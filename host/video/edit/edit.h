// An edit: clips, each trimmed, and what happens at each cut.  Written on
// the command line for short edits, or in an edit file (TOML) for long ones.
#pragma once

#include <string>
#include <vector>

namespace zk::video {

// What happens after a clip: a hard cut, or a transition of a bundle
// ("cut", "Cindergate", "Cindergate:3", "Ashveil:1:30", "Cindergate:2:1.5s").
struct CutSpec {
  std::string bundle;  // empty for a hard cut
  int variant = 1;
  int frames = 0;        // the length in frames, when given so
  double seconds = 0;    // or in seconds
  float speed = 0.5f;    // otherwise the plug-in's own length at this speed
  bool fromDefault = false;  // the edit's default, not given for this cut
  std::string where;         // how messages name it
  bool hard() const { return bundle.empty(); }
  std::string Text() const;
};
// Parses a cut; throws Error naming what is wrong.
CutSpec ParseCut(const std::string& text);

struct EditClip {
  std::string path;
  double in = 0;    // seconds into the clip
  double out = -1;  // seconds into the clip where it ends; < 0: its end
  int volume = 256;  // its level in the mix
  std::string where;  // how messages name it: "clip 3", "edit.toml line 12"
  std::string inWhere, outWhere;  // the lines of its in and out, in an edit file
  const std::string& InWhere() const { return inWhere.empty() ? where : inWhere; }
  const std::string& OutWhere() const { return outWhere.empty() ? where : outWhere; }
};

struct Edit {
  std::vector<EditClip> clips;
  std::vector<CutSpec> cuts;  // cuts[i] follows clips[i]
  std::vector<std::string> notices;  // what the reader decided for the user
};

// "12.5", "1:02.5" or "00:01:02.500" in seconds; throws Error naming what.
double ParseTime(const std::string& text, const std::string& what);

// Reads an edit file; errors name the file and the line.  defaultWins:
// defaultCut (given with -t) replaces the file's own transition.
Edit ReadEditFile(const std::string& path, const CutSpec& defaultCut, bool defaultWins = false);

}  // namespace zk::video
