// Runs the deletion command for one path and reports a command that cannot be started.
#include "command/delete_command.h"

#include <cerrno>
#include <cstdio>

#include "messages/messages.h"
#include "platform/platform.h"

namespace {

void report_start_failure(const char* path, int error) {
    switch (error) {
    case E2BIG: std::printf(kMsgArgListTooLong, path); break;
    case ENOENT: std::fputs(kMsgNoSuchFile, stdout); break;
    case ENOEXEC: std::fputs(kMsgExecFormat, stdout); break;
    case ENOMEM: std::fputs(kMsgNoMemory, stdout); break;
    default: break;  // the runtime has no message for the others
    }
}

}  // namespace

int run_delete_command(const std::string& tool, const char* path) {
    // The command writes to the same outputs: our lines must be out before its lines.
    std::fflush(stdout);
    std::fflush(stderr);
    int status = -1;
    if (tool.empty()) {
        errno = ENOENT;  // as a start that found no program file
    } else {
        // An interpreter that itself ends with -1 leaves errno alone: no stale reason is shown.
        errno = 0;
        status = platform::run_deletion_command(tool.c_str(), path);
    }
    if (status == -1) report_start_failure(path, errno);
    return status;
}
