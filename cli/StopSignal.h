// StopSignal: how every command that waits (daemon, watch, clipboard watch,
// semantic index --watch, model download) stops on Ctrl-C or SIGTERM.
// The signals may arrive on any thread (libraries start their own), so the
// handler only writes to a close-on-exec pipe; one detached thread reads it
// and runs `onStop` (typically: quit the main loop). SA_RESTART keeps other
// threads' system calls from failing with EINTR.
#pragma once

#include <functional>

#include "core/Error.h"

namespace pallix::cli {

// Installs the handlers once per process; a second call replaces `onStop`.
Status installStopSignalHandler(std::function<void()> onStop);

}  // namespace pallix::cli
