#include "zk_plugin_layout.h"
