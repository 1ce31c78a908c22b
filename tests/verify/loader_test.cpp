// A bundle loaded, called and unloaded many times leaves nothing behind:
// no mapping of it stays, and the process does not grow.
#include <dlfcn.h>
#include <malloc.h>

#include <fstream>
#include <string>

#include "harness.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZK_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZK_UNDER_ASAN 1
#endif
#endif

namespace zk::test {
namespace {

// How many of the process's mappings come from the file at path.
int MappingsOf(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(maps, line);) n += line.find(path) != std::string::npos;
  return n;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

long ResidentPages() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident;
}

// Loads the bundle, asks it to describe itself and unloads it.
void LoadCallUnload(const std::string& path) {
  auto bundle = host::Bundle::Open(path);
  host::PluginInstance inst(*bundle, 1);
  ASSERT_EQ(inst.GetInfo(), kPluginOK);
  ASSERT_EQ(inst.Call(kPlugInitialize), kPluginOK);
  ASSERT_EQ(inst.Call(kPlugTerminate), kPluginOK);
}

TEST(Loader, LoadingAndUnloadingAThousandTimesLeavesNothingBehind) {
  for (const char* name : {"Cindergate", "Ashveil"}) {
    SCOPED_TRACE(name);
    const std::string path = BundlePath(name);
    // A bundle that the tests hold open anyway would never be unmapped.
    if (MappingsOf(path) != 0) GTEST_SKIP() << path << " is held open elsewhere";
    for (int i = 0; i < 20; ++i) LoadCallUnload(path);  // the loader's own caches settle
    const size_t heapBefore = HeapInUse();
    const long pagesBefore = ResidentPages();
    for (int i = 0; i < 1000; ++i) {
      LoadCallUnload(path);
      ASSERT_EQ(MappingsOf(path), 0) << "still mapped after unload " << i;
    }
#ifndef ZK_UNDER_ASAN
    // Under AddressSanitizer freed memory sits in quarantine and the heap
    // figures mean nothing; its leak check covers the heap there.
    EXPECT_LE(HeapInUse(), heapBefore + 16 * 1024);
    // Under an emulator (qemu-i386 for the 32-bit build on a 64-bit-only
    // kernel) resident pages include the code it translates for each load.
    const char* emulated = std::getenv("ZK_UNDER_EMULATOR");
    if (emulated == nullptr || *emulated == 0) {
      EXPECT_LE(ResidentPages(), pagesBefore + 64);
    }
#else
    (void)heapBefore;
    (void)pagesBefore;
#endif
  }
}

}  // namespace
}  // namespace zk::test
