// The record layout is checked at compile time; this translation unit makes
// sure the checks are compiled into every build of the tests.
#include "zk_plugin_layout.h"

#if defined(__i386__) && !defined(ZK_LAYOUT_CHECKED_32)
#error "the 32-bit layout checks did not run"
#endif
