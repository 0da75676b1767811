// merloxctl takes its threads, its pause and its Ctrl+C from the tools' common
// platform code (tools/common).
#pragma once

#include "Interrupt.h"
#include "Threads.h"

namespace merloxctl {

using merlox::tools::CatchInterrupt;
using merlox::tools::ClearInterrupt;
using merlox::tools::Interrupted;
using merlox::tools::Mutex;
using merlox::tools::RequestInterrupt;
using merlox::tools::SleepMilliseconds;
using merlox::tools::Thread;

}  // namespace merloxctl
