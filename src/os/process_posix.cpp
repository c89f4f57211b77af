#include <signal.h>

#include "os/process.h"

namespace os {

void ignore_lost_output() {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
}

}  // namespace os
