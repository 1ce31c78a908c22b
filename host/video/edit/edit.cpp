#include "edit/edit.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <toml++/toml.h>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "bundle.h"

namespace zk::video {
namespace fs = std::filesystem;
using zk::host::Error;

namespace {
constexpr double kLongestTime = 365.0 * 24 * 3600;  // a year: past any clip, short of overflowing a frame count
}  // namespace

std::string CutSpec::Text() const {
  if (hard()) return "cut";
  std::string t = fs::path(bundle).stem().string() + ":" + std::to_string(variant);
  if (frames > 0) t += ":" + std::to_string(frames);
  if (seconds > 0) {
    char buf[32];
    std::snprintf(buf, sizeof buf, ":%gs", seconds);
    t += buf;
  }
  return t;
}

CutSpec ParseCut(const std::string& text) {
  CutSpec c;
  if (text == "cut") return c;
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    const size_t colon = text.find(':', at);
    parts.push_back(text.substr(at, colon - at));
    if (colon == std::string::npos) break;
    at = colon + 1;
  }
  const std::string usage = " (give cut, or BUNDLE[:VARIANT[:LENGTH]] with LENGTH in frames or seconds, "
                            "e.g. Cindergate:3:30 or Ashveil:1:1.5s)";
  if (text.empty()) throw Error("transition \"\": empty" + usage);
  if (parts.size() > 3 || parts[0].empty()) throw Error("transition " + text + ": not a transition" + usage);
  c.bundle = parts[0];
  if (parts.size() > 1) {
    char* end = nullptr;
    const long v = std::strtol(parts[1].c_str(), &end, 10);
    if (parts[1].empty()) throw Error("transition " + text + ": the variant is missing" + usage);
    if (*end != 0 || v < 1 || v > 4) {
      throw Error("transition " + text + ": variant " + parts[1] + " is not 1 to 4");
    }
    c.variant = int(v);
  }
  if (parts.size() > 2) {
    const std::string& len = parts[2];
    char* end = nullptr;
    if (!len.empty() && len.back() == 's') {
      c.seconds = std::strtod(len.c_str(), &end);
      if (end != len.c_str() + len.size() - 1 || !(c.seconds > 0) || !std::isfinite(c.seconds)) {
        throw Error("transition " + text + ": length " + len + " is not a number of seconds" + usage);
      }
    } else {
      const long v = std::strtol(len.c_str(), &end, 10);
      if (len.empty() || *end != 0 || v <= 0 || v > 100000) {
        throw Error("transition " + text + ": length " + len + " is not a number of frames" + usage);
      }
      c.frames = int(v);
    }
  }
  return c;
}

double ParseTime(const std::string& text, const std::string& what) {
  int64_t us = 0;
  if (text.empty() || av_parse_time(&us, text.c_str(), 1) < 0 || us < 0) {
    throw Error(what + " " + text + ": not a time (give seconds, 12.5, or a timecode, 1:02.5 or 00:01:02.5)");
  }
  if (double(us) / 1e6 > kLongestTime) throw Error(what + " " + text + ": longer than any clip (at most a year)");
  return double(us) / 1e6;
}

namespace {

// A time given as a number of seconds or as a timecode string.
double TimeOf(const toml::node& node, const std::string& what) {
  if (auto v = node.value<double>()) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", *v);
    if (!std::isfinite(*v)) throw Error(what + " = " + text + ": not a time (give seconds or a timecode)");
    if (*v < 0) throw Error(what + " = " + text + ": a time cannot be negative");
    if (*v > kLongestTime) throw Error(what + " = " + text + " s: longer than any clip (at most a year)");
    return *v;
  }
  if (auto s = node.value<std::string>()) return ParseTime(*s, what);
  throw Error(what + ": give seconds or a timecode");
}

std::string Line(const std::string& file, const toml::node& node) {
  return file + " line " + std::to_string(node.source().begin.line);
}

// The file as a table; a syntax error names its line.
toml::table ParseEditFile(const std::string& path) {
  try {
    return toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    throw Error(path + " line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description()));
  } catch (const std::exception& e) {
    throw Error("cannot read " + path + ": " + e.what());
  }
}

// A transition's text, whose error names where the file gives it.
CutSpec CutAt(const std::string& at, const std::string& text) {
  try {
    return ParseCut(text);
  } catch (const Error& e) {
    throw Error(at + ": " + e.what());
  }
}

// The transition at every cut: the file's own, unless the command line
// gave one (with a notice where they differ), as options win elsewhere.
CutSpec EditTransition(const toml::table& doc, const std::string& path, const CutSpec& defaultCut, bool defaultWins,
                       std::vector<std::string>* notices) {
  const toml::node* t = doc.get("transition");
  if (t == nullptr) return defaultCut;
  const auto text = t->value<std::string>();
  if (!text) throw Error(Line(path, *t) + ": transition is a text such as \"Cindergate:3:30\"");
  const CutSpec own = CutAt(Line(path, *t), *text);
  if (!defaultWins) return own;
  if (own.Text() != defaultCut.Text()) {
    notices->push_back("-t " + defaultCut.Text() + " replaces " + Line(path, *t) + ": transition = \"" + *text + "\"");
  }
  return defaultCut;
}

// One setting of a [[clip]] table, at `at`, into the clip or the cut after it.
void ReadClipSetting(const std::string& k, const toml::node& node, const std::string& at, const fs::path& base,
                     EditClip& c, CutSpec& cut) {
  if (k == "file") {
    const auto file = node.value<std::string>();
    if (!file || file->empty()) throw Error(at + ": file is the clip's path");
    c.path = fs::path(*file).is_absolute() || base.empty() ? *file : (base / *file).string();
    if (std::error_code ec; !fs::exists(c.path, ec)) throw Error(at + ": " + c.path + ": no such file");
  } else if (k == "in") {
    c.in = TimeOf(node, at + ": in");
    c.inWhere = at;
  } else if (k == "out") {
    c.out = TimeOf(node, at + ": out");
    c.outWhere = at;
  } else if (k == "volume") {
    const auto v = node.value<int64_t>();
    if (!v || *v < 0 || *v > 512) throw Error(at + ": volume is 0 to 512 (256 is the clip's own level)");
    c.volume = int(*v);
  } else if (k == "transition") {
    const auto text = node.value<std::string>();
    if (!text) throw Error(at + ": transition is a text such as \"Cindergate:3:30\" or \"cut\"");
    cut = CutAt(at, *text);
    cut.where = at;
  } else {
    throw Error(at + ": unknown clip setting " + k + " (file, in, out, volume, transition)");
  }
}

// One [[clip]] table: the clip, and the transition after it (the edit's
// own unless the clip says another).
void ReadClip(const toml::node& item, const std::string& path, const fs::path& base, const CutSpec& fallback,
              Edit& edit) {
  const toml::table* clip = item.as_table();
  const std::string where = Line(path, item);
  if (clip == nullptr) throw Error(where + ": a clip is a [[clip]] table");
  EditClip c;
  c.where = where;
  CutSpec cut = fallback;
  cut.fromDefault = true;
  for (const auto& [key, node] : *clip) ReadClipSetting(std::string(key.str()), node, Line(path, node), base, c, cut);
  if (c.path.empty()) throw Error(where + ": the clip has no file");
  if (c.out >= 0 && c.out <= c.in) throw Error(c.outWhere + ": out must come after in");
  edit.clips.push_back(std::move(c));
  edit.cuts.push_back(cut);
}

}  // namespace

Edit ReadEditFile(const std::string& path, const CutSpec& defaultCut, bool defaultWins) {
  const toml::table doc = ParseEditFile(path);
  const fs::path base = fs::path(path).parent_path();
  for (const auto& [key, node] : doc) {
    if (key != "clip" && key != "transition") {
      throw Error(Line(path, node) + ": unknown setting " + std::string(key.str()) + " (an edit has transition and [[clip]])");
    }
  }
  Edit edit;
  const CutSpec fallback = EditTransition(doc, path, defaultCut, defaultWins, &edit.notices);
  const toml::array* clips = doc.get_as<toml::array>("clip");
  if (clips == nullptr || clips->empty()) throw Error(path + ": no [[clip]] in the edit");
  for (const toml::node& item : *clips) ReadClip(item, path, base, fallback, edit);
  return edit;
}

}  // namespace zk::video
