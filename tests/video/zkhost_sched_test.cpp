// An edit's segments rendered by existing schedulers, a Slurm cluster of the
// test's own (tests/sched/slurm-local) and GNU parallel, and joined.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <chrono>
#include <thread>

#include "harness.h"

namespace zk::test {
namespace {

// What a scheduler runs: `count` jobs of `job` with the job's index
// (0 to count - 1) appended, and `last` once all of them have succeeded.
struct Jobs {
  std::string job;
  int count = 1;
  std::string last;
};

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  // Why this scheduler cannot run here, or nothing.
  virtual std::string Unavailable() const { return ""; }
  // Runs the jobs and waits for the last; its status is 0 when all succeeded.
  virtual Outcome Run(const Jobs& jobs) = 0;
};

// A single-node Slurm cluster in a temporary folder for the life of the
// object; it is also stopped should the test die without stopping it.
class LocalSlurm : public Scheduler {
 public:
  LocalSlurm() {
    char tmpl[] = "/tmp/zk-slurm-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      why_ = "cannot make a folder for Slurm in /tmp";
      return;
    }
    dir_ = tmpl;
    const Outcome r = Shell(Quote(ZK_SLURM_LOCAL) + " start " + dir_.string() + " " + std::to_string(getpid()));
    if (r.status != 0) why_ = "Slurm does not start here: " + r.output;
  }
  ~LocalSlurm() override {
    if (dir_.empty()) return;
    Shell(Quote(ZK_SLURM_LOCAL) + " stop " + dir_.string());
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string Unavailable() const override { return why_; }

  // An array job of the jobs, and the last as a job that waits for it.
  Outcome Run(const Jobs& jobs) override {
    const fs::path logs = dir_ / "logs";
    fs::create_directories(logs);
    const Outcome array = Client("sbatch --parsable --array=0-" + std::to_string(jobs.count - 1) + " -o " +
                                 (logs / "job-%a.log").string() + " " +
                                 Script("job.sh", jobs.job + " \"$SLURM_ARRAY_TASK_ID\""));
    if (array.status != 0) return array;
    const Outcome last = Client("sbatch --parsable --dependency=afterok:" + JobId(array) + " -o " +
                                (logs / "last.log").string() + " " + Script("last.sh", jobs.last));
    if (last.status != 0) return last;
    Outcome run;
    const std::string state = WaitFor(JobId(last));
    run.status = state == "COMPLETED" ? 0 : 1;
    run.output = "the last job ended " + state + "; the jobs:\n" + States(JobId(array)) + Logs(logs);
    return run;
  }

 private:
  Outcome Client(const std::string& command) const {
    return Shell("SLURM_CONF=" + Quote((dir_ / "slurm.conf").string()) + " " + command);
  }
  // A batch script of one command, by path.
  std::string Script(const std::string& name, const std::string& command) const {
    const fs::path p = dir_ / name;
    std::ofstream(p) << "#!/bin/sh\nexec " << command << "\n";
    return p.string();
  }
  static std::string JobId(const Outcome& sbatch) {
    return sbatch.output.substr(0, sbatch.output.find_first_of(";\n"));
  }
  // The job's state once it has left the queue, or can never run; a
  // generous limit, as slow machines render slowly.
  std::string WaitFor(const std::string& id) const {
    for (int waited = 0; waited < 600; ++waited) {
      const std::string queued = Client("squeue -h -o %r -j " + id).output;
      if (queued.empty() || queued.find("Invalid job id") != std::string::npos ||
          queued.find("DependencyNeverSatisfied") != std::string::npos) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const std::string job = Client("scontrol -o show job " + id).output;
    const size_t at = job.find("JobState=");
    return at == std::string::npos ? job : job.substr(at + 9, job.find(' ', at) - at - 9);
  }
  // Each job of an array: its index, state and exit status, one a line.
  std::string States(const std::string& id) const {
    return Client("scontrol -o show job " + id +
                  " | sed 's/.*ArrayTaskId=\\([^ ]*\\).*JobState=\\([^ ]*\\).*ExitCode=\\([^ ]*\\).*/job \\1: \\2, exit \\3/'")
        .output;
  }
  static std::string Logs(const fs::path& logs) {
    std::string all;
    for (const auto& e : fs::directory_iterator(logs)) {
      std::ifstream in(e.path());
      all += "--- " + e.path().filename().string() + "\n" +
             std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
  }

  fs::path dir_;
  std::string why_;
};

// GNU parallel on this machine, two jobs at a time.
class GnuParallel : public Scheduler {
 public:
  Outcome Run(const Jobs& jobs) override {
    std::string indices;
    for (int k = 0; k < jobs.count; ++k) indices += " " + std::to_string(k);
    return Shell("parallel --will-cite -j 2 " + jobs.job + " ::: " + indices + " && " + jobs.last);
  }
};

struct SchedulerCase {
  const char* name;
  std::unique_ptr<Scheduler> (*make)();
};
void PrintTo(const SchedulerCase& c, std::ostream* os) { *os << c.name; }

// Three 2.4 s clips, each with its own picture and tone, as a phone gives.
std::string Clip(int i) {
  const std::string p = (WorkDir() / ("sched" + std::to_string(i) + ".mp4")).string();
  Ffmpeg("-f lavfi -i testsrc2=s=320x240:r=25:d=2.4,hue=h=" + std::to_string(i * 120) + " -f lavfi -i sine=f=" +
             std::to_string(400 + 200 * i) + ":r=48000:d=2.4 -c:v libx264 -preset veryfast -g 25 -c:a aac",
         p);
  return p;
}

std::string Edit() {
  return Quote(Clip(0)) + " --then Cindergate:3:12 " + Quote(Clip(1)) + " --then Ashveil:1:10 " + Quote(Clip(2)) +
         " --crf 0";
}

class Scheduled : public testing::TestWithParam<SchedulerCase> {};

// The jobs zkhost edit --plan prints, run by the scheduler, give the
// pictures one zkhost edit of the same edit gives.
TEST_P(Scheduled, SegmentsJoinToWhatOneRenderGives) {
  const auto scheduler = GetParam().make();
  if (const std::string why = scheduler->Unavailable(); !why.empty()) GTEST_SKIP() << why;
  const std::string whole = (WorkDir() / (std::string("whole-") + GetParam().name + ".mp4")).string();
  const Outcome one = Zkhost("edit -q " + Edit() + " -o " + Quote(whole));
  ASSERT_EQ(one.status, 0) << one.output;

  const std::string plan = (WorkDir() / (std::string("plan-") + GetParam().name)).string();
  const std::string out = (WorkDir() / (std::string("joined-") + GetParam().name + ".mp4")).string();
  const Outcome planned = Zkhost("edit -q " + Edit() + " -o " + Quote(out) + " --plan " + plan + " --segments 3");
  ASSERT_EQ(planned.status, 0) << planned.output;
  EXPECT_EQ(planned.output, "zkhost segment " + plan + " 0\nzkhost segment " + plan + " 1\nzkhost segment " + plan +
                                " 2\nzkhost join " + plan + "\n");
  const Outcome run = scheduler->Run({std::string(ZKHOST) + " segment -q " + plan, 3, std::string(ZKHOST) + " join -q " + plan});
  ASSERT_EQ(run.status, 0) << run.output;

  const std::string expected = FrameMd5s(whole, "v"), joined = FrameMd5s(out, "v");
  EXPECT_EQ(std::count(joined.begin(), joined.end(), '\n'), std::count(expected.begin(), expected.end(), '\n'));
  EXPECT_EQ(joined, expected);
  EXPECT_NE(expected, "");
}

INSTANTIATE_TEST_SUITE_P(
    , Scheduled,
    testing::Values(SchedulerCase{"Slurm", [] { return std::unique_ptr<Scheduler>(new LocalSlurm); }},
                    SchedulerCase{"GnuParallel", [] { return std::unique_ptr<Scheduler>(new GnuParallel); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zk::test
