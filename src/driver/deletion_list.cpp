// Opens the deletion list, deletes its entries until the first failure, and deletes the list.
#include "driver/deletion_list.h"

#include <cerrno>
#include <cstdio>

#include "command/delete_command.h"
#include "command/path_refusal.h"
#include "driver/list_reader.h"
#include "driver/run_code.h"
#include "messages/messages.h"
#include "platform/platform.h"

namespace {

long fill_from_list(void* source, char* buf, std::size_t size) {
    return static_cast<platform::ListFile*>(source)->read(buf, size);
}

// Tells the user as much as can be found out about a list that would not open.
void report_unopened_list(const char* list_path) {
    std::printf(kMsgListPath, list_path);
    // Windows passes both checks for any existing file, so a locked list gets neither message.
    if (platform::path_access(list_path, platform::kAccessExists) != 0)
        std::fputs(kMsgListNotFound, stdout);
    if (platform::path_access(list_path, platform::kAccessRead) != 0)
        std::fputs(kMsgListUnreadable, stdout);
    char cwd[platform::kCurrentDirLimit];
    if (platform::current_directory(cwd, sizeof cwd) == 0)
        std::printf(kMsgCurrentDir, cwd);
    else
        std::fputs(kMsgCurrentDirFailed, stdout);
}

// Deletes one entry. Returns false when the entry failed and the list must stop here.
bool delete_entry(const char* path, int& run_code) {
    // A root or a dot folder is never handed to the deletion command, whichever deltree is
    // installed: it is an entry that could not be deleted. (A front end that writes an empty
    // folder name into a path produces these.)
    if (refusal_reason(path, platform::kWindowsPaths)) {
        std::printf(kMsgEntryRemains, path);
        reduce_run_code(run_code, RUN_ENTRY_REMAINS);
        return false;
    }
    if (platform::path_access(path, platform::kAccessExists) != 0) {
        std::printf(kMsgEntryMissing, path);
        reduce_run_code(run_code, RUN_ENTRY_MISSING);
        return false;
    }
    int status = run_delete_command(path);
    if (status == -1) {
        run_code = RUN_COMMAND_FAILED;
        return false;
    }
    run_code = status;
    // Only whether the path is gone decides the entry; the command's status is kept as it is.
    if (platform::path_access(path, platform::kAccessExists) == 0) {
        std::printf(kMsgEntryRemains, path);
        reduce_run_code(run_code, RUN_ENTRY_REMAINS);
        return false;
    }
    if (errno == ENOENT)
        std::printf(kMsgEntryDeleted, path);
    else if (errno == EACCES)
        std::printf(kMsgEntryNoAccess, path);
    return true;
}

void delete_entries(platform::ListFile& list, int& run_code) {
    ListReader reader;
    init_list_reader(reader, fill_from_list, &list);
    char line[platform::kPathLimit];
    for (;;) {
        LineStatus status = read_list_line(reader, line, sizeof line);
        if (status == LineStatus::kPath) {
            if (!delete_entry(line, run_code)) return;
        } else if (status == LineStatus::kUnusable) {
            // Not a path at all; it is reported the way a path that is not there would be.
            std::printf(kMsgEntryMissing, line);
            reduce_run_code(run_code, RUN_ENTRY_MISSING);
            return;
        } else if (status == LineStatus::kReadError) {
            // Stopping silently would report the entries never read as deleted.
            std::fputs(kMsgListUnreadable, stdout);
            run_code = RUN_LIST_UNOPENED;
            return;
        } else {
            return;
        }
    }
}

}  // namespace

void process_deletion_list(const char* list_path, int& run_code) {
    platform::ListFile list;
    if (list.open(list_path) != 0) {
        report_unopened_list(list_path);
        run_code = RUN_LIST_UNOPENED;
    } else {
        delete_entries(list, run_code);
        list.close();
    }
    // The list is consumed whatever became of its entries: a second run must not repeat them.
    if (platform::remove_file(list_path) != 0) {
        std::fputs(kMsgListUnremoved, stdout);
        reduce_run_code(run_code, RUN_LIST_UNREMOVED);
    }
}
