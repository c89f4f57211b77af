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

int run_delete_command(const char* path) {
    // The command writes to the same output: our lines must be out before its lines.
    std::fflush(stdout);
    int status = platform::run_deletion_command(path);
    if (status == -1) report_start_failure(path, errno);
    return status;
}
