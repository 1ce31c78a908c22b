// The Debian packages, unpacked into a scratch root: what each installs,
// and zkhost and melt running from there render the same frames.  And the
// manual page and bash completion against zkhost's own --help.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "clips.h"

namespace zk::frei0r::test {
namespace {

namespace fs = std::filesystem;

std::string Output(const std::string& command) {
  std::string text;
  if (FILE* out = popen(("exec </dev/null; " + command).c_str(), "r")) {
    char chunk[512];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) text.append(chunk, n);
    pclose(out);
  }
  return text;
}

class Package : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    clips_.Make();
    // Made by the test zk_package_make (cpack -G DEB): zktransitions, and
    // zktransitions-obs where the OBS module is built.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ZK_PACKAGE_DIR, ec)) {
      if (entry.path().extension() != ".deb") continue;
      debs_.insert(entry.path().string());
      const std::string name = entry.path().filename().string();
      if (name.rfind("zktransitions_", 0) == 0) deb_ = entry.path().string();
      if (name.rfind("zktransitions-obs_", 0) == 0) obsDeb_ = entry.path().string();
    }
    root_ = clips_.dir + "/root";
    profile_ = clips_.dir + "/profile";
    std::ofstream(profile_) << "description=160x120\nframe_rate_num=25\nframe_rate_den=1\nwidth=160\nheight=120\n"
                               "progressive=1\nsample_aspect_num=1\nsample_aspect_den=1\n"
                               "display_aspect_num=4\ndisplay_aspect_den=3\n";
    for (const std::string& deb : debs_) Shell("dpkg -x " + deb + " " + root_);
  }
  static void TearDownTestSuite() { clips_.Remove(); }
  static inline Clips clips_;
  static inline std::set<std::string> debs_;
  static inline std::string deb_, obsDeb_, root_, profile_;
};

// The files a package holds, one path a line without the leading ./.
std::set<std::string> Files(const std::string& deb) {
  std::istringstream listing(Output("dpkg-deb --fsys-tarfile " + deb + " | tar -t"));
  std::set<std::string> files;
  for (std::string line; std::getline(listing, line);) {
    if (line.back() != '/') files.insert(line.substr(2));
  }
  return files;
}

TEST_F(Package, InstallsEverythingWhereItIsFound) {
  ASSERT_FALSE(deb_.empty());
  const std::string lib = std::string("usr/") + ZK_PRIVATE_LIBDIR;
  std::vector<std::string> files = {"usr/bin/zkhost",
                                    lib + "/libzkplatform.so",
                                    lib + "/Cindergate.so",
                                    lib + "/Ashveil.so",
                                    "usr/share/man/man1/zkhost.1.gz",
                                    "usr/share/bash-completion/completions/zkhost",
                                    "usr/share/doc/zktransitions/copyright",
                                    "usr/share/doc/zktransitions/changelog.gz"};
  for (const Variant& v : kVariants) {
    files.push_back(std::string("usr/lib/frei0r-1/") + v.id + ".so");
    files.push_back(std::string("usr/share/kdenlive/") + (v.twoClips ? "transitions" : "effects") + "/frei0r_" +
                    v.id + ".xml");
  }
  for (const std::string& file : files) EXPECT_TRUE(fs::is_regular_file(root_ + "/" + file)) << file;
  // The libraries it needs come with it from apt.
  const std::string depends = Output("dpkg-deb -f " + deb_ + " Depends");
  EXPECT_NE(depends.find("libavformat"), std::string::npos) << depends;
  EXPECT_NE(depends.find("libfreetype"), std::string::npos) << depends;
  // OBS and its libraries come only with the OBS package.
  EXPECT_EQ(depends.find("obs"), std::string::npos) << depends;
  for (const std::string& file : Files(deb_)) EXPECT_EQ(file.find("obs"), std::string::npos) << file;
}

// The OBS module where Debian's OBS looks for modules and their data, and
// the main package's bundles and platform library, which it finds from
// there.
TEST_F(Package, ObsModuleIsAPackageOfItsOwn) {
  if (!ZK_OBS_PACKAGE) GTEST_SKIP() << "libobs was not found: no OBS module, no OBS package";
  ASSERT_FALSE(obsDeb_.empty());
  const std::string modules = "usr/" + fs::path(ZK_PRIVATE_LIBDIR).parent_path().string() + "/obs-plugins";
  EXPECT_EQ(Files(obsDeb_), (std::set<std::string>{modules + "/zktransitions.so",
                                                   "usr/share/obs/obs-plugins/zktransitions/locale/en-US.ini",
                                                   "usr/share/doc/zktransitions-obs/copyright",
                                                   "usr/share/doc/zktransitions-obs/changelog.gz"}));
  struct Field {
    const char* name;
    const char* holds;
  } const fields[] = {
      {"Depends", "zktransitions (= " ZK_VERSION ")"},
      {"Depends", "libobs0"},
      {"Enhances", "obs-studio"},
  };
  for (const Field& f : fields) {
    const std::string value = Output("dpkg-deb -f " + obsDeb_ + " " + f.name);
    EXPECT_NE(value.find(f.holds), std::string::npos) << f.name << ": " << value;
  }
  const std::string linked = Output("ldd " + root_ + "/" + modules + "/zktransitions.so");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(linked, found, std::regex(R"(libzkplatform\.so => (\S+))"))) << linked;
  EXPECT_EQ(fs::canonical(found[1].str()), fs::canonical(root_ + "/usr/" + ZK_PRIVATE_LIBDIR + "/libzkplatform.so"));
}

// What lintian reports, one tag a line: errors and warnings, and, where the
// build is hardened, the notes on hardening and stripping.
std::string LintianFindings(const std::string& deb) {
  std::istringstream report(Output("lintian --info " + deb + " 2>&1"));
  std::string findings;
  for (std::string line; std::getline(report, line);) {
    const bool serious = line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0;
    const bool built = ZK_HARDENED && line.rfind("I: ", 0) == 0 &&
                       (line.find(" hardening-") != std::string::npos ||
                        line.find(" binary-has-unneeded-section") != std::string::npos);
    if (serious || built) findings += line + "\n";
  }
  return findings;
}

TEST_F(Package, LintianFindsNothing) {
  ASSERT_EQ(debs_.size(), ZK_OBS_PACKAGE ? 2u : 1u);
  if (Shell("command -v lintian >/dev/null") != 0) GTEST_SKIP() << "lintian is not installed";
  for (const std::string& deb : debs_) {
    EXPECT_EQ(LintianFindings(deb), "") << deb;
    // The bundles and their platform stay out of the linker's path: no
    // ldconfig in the maintainer scripts, nor a trigger for it.
    EXPECT_EQ(Output("dpkg-deb -I " + deb + " | grep -E 'postinst|postrm|triggers'"), "") << deb;
  }
}

// From the scratch root alone: its zkhost finds its bundles, and melt its
// frei0r plug-ins, which find their bundles; both render the same frames.
TEST_F(Package, ZkhostAndMeltRunFromTheInstallation) {
  ASSERT_FALSE(deb_.empty());
  unsetenv("ZK_PLUGIN_PATH");
  const std::string zk = clips_.dir + "/zk", a = clips_.dir + "/a.mkv", b = clips_.dir + "/b.mkv";
  fs::create_directories(zk);
  ASSERT_EQ(Shell(root_ + "/usr/bin/zkhost render Cindergate --variant 2 --frames 10 -q " + a +
                  " " + b + " -o " + zk + "/%04d.png"),
            0);
  setenv("FREI0R_PATH", (root_ + "/usr/lib/frei0r-1").c_str(), 1);
  const std::string melt = clips_.dir + "/melt.rgba";
  ASSERT_EQ(Shell(std::string(ZK_MELT) + " " + a + " " + b +
                  " -mix 10 -mixer frei0r.cindergate_burn_in_dark 'progress=0=0.1;-1=1' -mixer mix:-1"
                  " -profile " + profile_ + " -consumer avformat:" + melt +
                  " f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1 real_time=-1"),
            0);
  const std::vector<Rgba> fromZkhost = DecodeFrames(zk + "/%04d.png"), fromMelt = ReadFrames(melt);
  ASSERT_EQ(fromZkhost.size(), size_t(2 * kClipFrames - 10));
  EXPECT_EQ(FirstDifference(fromMelt, fromZkhost), -1);
  EXPECT_FALSE(ToImage(fromMelt[kClipFrames - 5]) == ToImage(clips_.a[kClipFrames - 5]));
}

// Every command and option zkhost's --help names is in the manual page and
// completes in bash.
TEST(Documentation, ManualAndCompletionCoverEveryOption) {
  std::ifstream manFile(ZK_MAN_SOURCE);
  std::string man{std::istreambuf_iterator<char>(manFile), {}};
  man = std::regex_replace(man, std::regex(R"(\\)"), "");  // troff's \- is a plain -
  const std::regex option(R"((?:^|\n)\s+(-\w)?(?:, )?(--[\w-]+))");
  // The commands as zkhost's own help lists them.
  const std::string main = Output(std::string(ZK_ZKHOST) + " --help");
  std::set<std::string> commands;
  const std::regex listed(R"(\n  ([a-z]+) )");
  for (std::sregex_iterator m(main.begin(), main.end(), listed), end; m != end; ++m) {
    if ((*m)[1] != "zkhost") commands.insert((*m)[1]);
  }
  EXPECT_GE(commands.size(), 5u) << main;
  const size_t synopsisAt = man.find(".SH SYNOPSIS");
  const std::string synopsis = man.substr(synopsisAt, man.find(".SH", synopsisAt + 1) - synopsisAt);
  for (const std::string& command : commands) {
    const std::string help = Output(std::string(ZK_ZKHOST) + " " + command + " --help");
    std::string completed =
        " " + Output("bash -c 'source " + std::string(ZK_COMPLETION) + "; COMP_WORDS=(zkhost " + command +
                     " -); COMP_CWORD=2; _zkhost; echo \"${COMPREPLY[*]}\"'");
    std::replace(completed.begin(), completed.end(), '\n', ' ');
    EXPECT_NE(man.find("\n.SS " + command), std::string::npos) << command;
    EXPECT_NE(synopsis.find("\n.B zkhost " + command + "\n"), std::string::npos)
        << command << ":" << synopsis;
    EXPECT_NE(Output("bash -c 'source " + std::string(ZK_COMPLETION) +
                     "; COMP_WORDS=(zkhost \"\"); COMP_CWORD=1; _zkhost; echo \"${COMPREPLY[*]}\"'")
                  .find(command),
              std::string::npos);
    std::set<std::string> named;
    for (std::sregex_iterator m(help.begin(), help.end(), option), end; m != end; ++m) {
      for (int group : {1, 2}) {
        if ((*m)[group].matched) named.insert((*m)[group]);
      }
    }
    EXPECT_GE(named.size(), 2u) << help;
    for (const std::string& name : named) {
      EXPECT_NE(man.find(name), std::string::npos) << command << " " << name;
      EXPECT_NE(completed.find(" " + name + " "), std::string::npos) << command << " " << name << ":" << completed;
    }
  }
}

// What bash offers after the words, in a folder that holds a folder and a
// file: each option's value as its own command means it.
TEST(Documentation, CompletionOffersEachCommandsValues) {
  const fs::path dir = fs::temp_directory_path() / ("zk_completion_" + std::to_string(getpid()));
  fs::create_directories(dir / "clips");
  std::ofstream(dir / "a.mp4") << "";
  struct Case {
    const char* words;  // after "zkhost", the last one being completed
    const char* offered;
  } const cases[] = {
      {"edit --out \"\"", ""},       // a time in the clip
      {"edit --in \"\"", ""},        // a time in the clip
      {"edit a.mp4 --out 0", ""},    // a time in the clip
      {"demo --out \"\"", "clips"},  // a folder
      {"render Ashveil a.mp4 -o \"\"", "a.mp4 clips"},
      {"edit --mlt \"\"", "a.mp4 clips"},
      {"edit --then Ash", "Ashveil:1 Ashveil:2 Ashveil:3 Ashveil:4"},
      {"render --fit \"\"", "crop pad stretch"},
  };
  for (const Case& c : cases) {
    std::istringstream words(
        Output("cd " + dir.string() + " && bash -c 'source " + std::string(ZK_COMPLETION) +
               "; COMP_WORDS=(zkhost " + c.words +
               "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _zkhost; echo \"${COMPREPLY[*]}\"'"));
    std::set<std::string> sorted{std::istream_iterator<std::string>(words), {}};
    std::string offered;
    for (const std::string& word : sorted) offered += (offered.empty() ? "" : " ") + word;
    EXPECT_EQ(offered, c.offered) << c.words;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zk::frei0r::test
