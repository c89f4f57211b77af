// Runs the deletion command for one path and reports a command that cannot be started.
#include "command/delete_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "messages/messages.h"
#include "platform/platform.h"

namespace {

// The runtime's texts, which users know; any other reason is the system's own text, so that no
// start fails without a line that says why.
void report_start_failure(const char* path, int error) {
    switch (error) {
    case E2BIG: std::printf(kMsgArgListTooLong, path); break;
    case ENOENT: std::fputs(kMsgNoSuchFile, stdout); break;
    case ENOEXEC: std::fputs(kMsgExecFormat, stdout); break;
    case ENOMEM: std::fputs(kMsgNoMemory, stdout); break;
    default: std::printf(kMsgStartFailed, std::strerror(error)); break;
    }
}

}  // namespace

std::optional<int> run_delete_command(const std::string& tool, const char* path) {
    // The command writes to the same outputs: our lines must be out before its lines.
    std::fflush(stdout);
    std::fflush(stderr);
    // No deltree on PATH fails as a start that found no program file.
    platform::CommandRun run = tool.empty() ? platform::CommandRun{false, 0, ENOENT}
                                            : platform::run_deletion_command(tool.c_str(), path);
    if (run.started) return run.status;
    report_start_failure(path, run.error);
    return std::nullopt;
}
