// The plug-ins through the frei0r API, as an editor drives them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support.h"

namespace zk::frei0r::test {
namespace {

namespace fs = std::filesystem;

std::string VariantName(const ::testing::TestParamInfo<Variant>& info) { return info.param.id; }

// Renders one frame through the plug-in's update function.
Rgba Update(const Plugin& p, const Variant& v, f0r_instance_t inst, const Rgba& a, const Rgba& b,
            double time = 0.0) {
  Rgba out(a.width, a.height);
  if (v.twoClips) {
    p.update2(inst, time, a.words.data(), b.words.data(), nullptr, out.words.data());
  } else {
    p.update(inst, time, a.words.data(), out.words.data());
  }
  return out;
}

class PluginFile : public ::testing::TestWithParam<Variant> {};

TEST_P(PluginFile, DescribesItselfAndItsProgress) {
  const Variant& v = GetParam();
  Plugin p(PluginPath(v));
  ASSERT_TRUE(p.ok()) << dlerror();
  f0r_plugin_info_t info{};
  p.get_plugin_info(&info);
  EXPECT_EQ(info.plugin_type, v.twoClips ? F0R_PLUGIN_TYPE_MIXER2 : F0R_PLUGIN_TYPE_FILTER);
  EXPECT_EQ(info.color_model, F0R_COLOR_MODEL_RGBA8888);
  EXPECT_EQ(info.frei0r_version, FREI0R_MAJOR_VERSION);
  EXPECT_EQ(info.num_params, 1);
  f0r_param_info_t param{};
  p.get_param_info(&param, 0);
  EXPECT_STREQ(param.name, "progress");
  EXPECT_EQ(param.type, F0R_PARAM_DOUBLE);

  // Kdenlive's description names the same plug-in, title and parameter.
  std::ifstream xmlFile(std::string(ZK_KDENLIVE_DIR) + (v.twoClips ? "/transitions/" : "/effects/") +
                        "frei0r_" + v.id + ".xml");
  const std::string xml{std::istreambuf_iterator<char>(xmlFile), {}};
  EXPECT_NE(xml.find(std::string("tag=\"frei0r.") + v.id + "\""), std::string::npos) << xml;
  EXPECT_NE(xml.find(std::string("<name>") + info.name + "</name>"), std::string::npos) << xml;
  EXPECT_NE(xml.find(std::string("<description>") + info.explanation), std::string::npos) << xml;
  EXPECT_NE(xml.find("name=\"progress\""), std::string::npos) << xml;

  f0r_instance_t inst = p.construct(37, 23);
  ASSERT_NE(inst, nullptr);
  double value = -1.0;
  p.get_param_value(inst, &value, 0);
  EXPECT_EQ(value, 0.0);
  const double set = 0.3125;
  p.set_param_value(inst, const_cast<double*>(&set), 0);
  p.get_param_value(inst, &value, 0);
  EXPECT_EQ(value, set);
  p.destruct(inst);
}

struct FrameCase {
  int32_t frameCount;
  int32_t renderFrame;
};

// Frames of short and long transitions, first, middle and last.
const FrameCase kFrameCases[] = {{1, 0},  {2, 0},   {4, 0},   {4, 1},   {4, 3},   {10, 0},
                                 {10, 4}, {10, 9},  {30, 5},  {30, 17}, {30, 29}, {150, 74},
                                 {7, 2},  {150, 0}, {25, 24}};

// Any size (not multiples of 8), any progress: the plug-in's frame is the
// reference host's frame whose progress is the same.
TEST_P(PluginFile, EveryProgressGivesTheReferenceFrame) {
  const Variant& v = GetParam();
  Plugin p(PluginPath(v));
  ASSERT_TRUE(p.ok());
  const int w = 37, h = 23;
  f0r_instance_t inst = p.construct(w, h);
  ASSERT_NE(inst, nullptr);
  uint32_t seed = 1;
  for (const FrameCase& c : kFrameCases) {
    const Rgba a = RandomFrame(w, h, seed++), b = RandomFrame(w, h, seed++);
    double progress = (c.renderFrame + 1.0) / c.frameCount;
    p.set_param_value(inst, &progress, 0);
    const Rgba out = Update(p, v, inst, a, b, 3.0 + seed);
    const host::Image expected = Reference(v, ToImage(a), ToImage(b), c.renderFrame, c.frameCount);
    ASSERT_FALSE(expected.pixels.empty());
    EXPECT_EQ(ToImage(out), expected) << "frame " << c.renderFrame << " of " << c.frameCount;
    if (2 * (c.renderFrame + 1) == c.frameCount) {
      // Halfway, neither input survives whole.
      EXPECT_NE(ToImage(out), ToImage(a));
      EXPECT_NE(ToImage(out), ToImage(b));
    }
  }
  p.destruct(inst);
}

// MLT's sliced mode: one instance made with the slice's height, and every
// slice's rows rendered through it at once from several threads.
TEST_P(PluginFile, SlicesGiveTheUnslicedFrame) {
  const Variant& v = GetParam();
  Plugin p(PluginPath(v));
  ASSERT_TRUE(p.ok());
  const int w = 20, h = 120;
  const Rgba a = RandomFrame(w, h, 11), b = RandomFrame(w, h, 12);
  double progress = 0.4;
  f0r_instance_t whole = p.construct(w, h);
  ASSERT_NE(whole, nullptr);
  p.set_param_value(whole, &progress, 0);
  const Rgba expected = Update(p, v, whole, a, b);
  p.destruct(whole);

  for (int slices : {2, 3, 4, 8}) {
    const int rows = h / slices;
    f0r_instance_t inst = p.construct(w, rows);
    ASSERT_NE(inst, nullptr);
    p.set_param_value(inst, &progress, 0);
    Rgba out(w, h);
    std::vector<std::thread> threads;
    for (int i = 0; i < slices; ++i) {
      threads.emplace_back([&, i] {
        const size_t at = size_t(i) * rows * w;
        if (v.twoClips) {
          p.update2(inst, 0.0, a.words.data() + at, b.words.data() + at, nullptr, out.words.data() + at);
        } else {
          p.update(inst, 0.0, a.words.data() + at, out.words.data() + at);
        }
      });
    }
    for (auto& t : threads) t.join();
    p.destruct(inst);
    EXPECT_EQ(ToImage(out), ToImage(expected)) << slices << " slices";
  }
}

INSTANTIATE_TEST_SUITE_P(All, PluginFile, ::testing::ValuesIn(kVariants), VariantName);

// ---- Bundles that cannot be used -----------------------------------------

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/zkfrei0r.XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct RefusalCase {
  const char* name;
  int variant;  // index into kVariants
  // Prepares `dir`; returns ZK_PLUGIN_PATH and sets the plug-in file to open.
  std::string (*setup)(const std::string& dir, const Variant& v, std::string* plugin);
  const char* says;
};

const RefusalCase kRefusals[] = {
    {"Missing", 4,
     [](const std::string& dir, const Variant& v, std::string* plugin) {
       // Alone in a folder, with nothing beside it or on the path.
       fs::create_directories(dir + "/alone");
       fs::create_directories(dir + "/empty");
       *plugin = dir + "/alone/" + v.id + ".so";
       fs::copy_file(PluginPath(v), *plugin);
       return dir + "/empty";
     },
     "Ashveil: no such bundle"},
    {"NotLoadable", 6,
     [](const std::string& dir, const Variant& v, std::string* plugin) {
       std::ofstream(dir + "/Ashveil.so") << "not a shared object\n";
       *plugin = PluginPath(v);
       return dir;
     },
     "not a loadable bundle"},
    {"RefusesToStart", 1,
     [](const std::string&, const Variant& v, std::string* plugin) {
       *plugin = PluginPath(v);
       return std::string(ZK_REFUSING_DIR);
     },
     "refused to describe itself (result 10)"},
    {"WrongKind", 2,
     [](const std::string& dir, const Variant& v, std::string* plugin) {
       fs::create_symlink(std::string(ZK_BUNDLE_DIR) + "/Ashveil.so", dir + "/Cindergate.so");
       *plugin = PluginPath(v);
       return dir;
     },
     "is not a two-clip transition"},
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, ConstructSaysNoOnceInOneLine) {
  const RefusalCase& c = GetParam();
  const Variant& v = kVariants[c.variant];
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string pluginPath;
  const std::string searchPath = c.setup(dir.path(), v, &pluginPath);
  Plugin p(pluginPath);
  ASSERT_TRUE(p.ok()) << dlerror();
  setenv("ZK_PLUGIN_PATH", searchPath.c_str(), 1);
  ::testing::internal::CaptureStderr();
  f0r_instance_t inst = p.construct(32, 24);
  // Asked again, as MLT does for every frame, it refuses without a word.
  f0r_instance_t again = p.construct(32, 24);
  const std::string said = ::testing::internal::GetCapturedStderr();
  unsetenv("ZK_PLUGIN_PATH");
  EXPECT_EQ(inst, nullptr);
  EXPECT_EQ(again, nullptr);
  if (inst != nullptr) p.destruct(inst);
  if (again != nullptr) p.destruct(again);
  EXPECT_EQ(said.rfind(std::string("frei0r.") + v.id + ": ", 0), 0u) << said;
  EXPECT_NE(said.find(c.says), std::string::npos) << said;
  EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
}

INSTANTIATE_TEST_SUITE_P(Bundles, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zk::frei0r::test
