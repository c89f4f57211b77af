// How both programs ready their process.
#pragma once

namespace os {

// Keeps a closed or full output from ending the process: on POSIX, SIGPIPE and SIGXFSZ are
// ignored (programs it starts inherit that), so a lost reader gets failed writes, not a deletion
// cut short. Windows ends no process for a failed write.
void ignore_lost_output();

}  // namespace os
