// Opens the deletion list, deletes its entries until the first failure, and deletes the list.
#include "driver/deletion_list.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "command/delete_command.h"
#include "driver/list_reader.h"
#include "driver/run_outcome.h"
#include "messages/messages.h"
#include "paths/path_refusal.h"
#include "platform/platform.h"
#include "search/tool_search.h"

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

// Whether `path` is a root, a dot folder or a device, in any spelling the platform resolves it
// by, or cannot be judged at all.
bool is_refused(const char* path) {
    std::vector<std::string> spellings = platform::spellings_to_judge(path);
    if (spellings.empty()) return true;
    for (const std::string& spelling : spellings)
        if (refusal_reason(spelling.c_str(), kWindowsPaths)) return true;
    return false;
}

// What one entry came to: the failure that must end the list, if any, and the command's status
// when it ran.
struct EntryOutcome {
    Failure failure = Failure::kNone;
    bool ran = false;
    int status = 0;
};

// Deletes one entry with the deletion command `tool`.
EntryOutcome delete_entry(const char* path, const std::string& tool) {
    // A root, a dot folder or a device is never handed to the deletion command, whichever
    // deltree is installed: it is an entry that could not be deleted. (A front end that writes
    // an empty folder name into a path produces these.)
    if (is_refused(path)) {
        std::printf(kMsgEntryRemains, path);
        return {Failure::kEntryRemains};
    }
    if (platform::path_access(path, platform::kAccessExists) != 0) {
        std::printf(kMsgEntryMissing, path);
        return {Failure::kEntryMissing};
    }
    int status = run_delete_command(tool, path);
    if (status == -1) return {Failure::kCommandFailed};
    // Only whether the path is gone decides the entry; the command's status is kept as it is. A
    // check that cannot tell (a network folder that went away, say) does not count as gone.
    int check = platform::path_access(path, platform::kAccessExists) == 0 ? 0 : errno;
    if (check != ENOENT && check != EACCES) {
        std::printf(kMsgEntryRemains, path);
        return {Failure::kEntryRemains, true, status};
    }
    std::printf(check == ENOENT ? kMsgEntryDeleted : kMsgEntryNoAccess, path);
    return {Failure::kNone, true, status};
}

// Deletes the entries until the first failure: that failure, and the last command's status.
RunOutcome delete_entries(platform::ListFile& list) {
    RunOutcome outcome;
    ListReader reader;
    init_list_reader(reader, fill_from_list, &list, platform::kListTextMode);
    char line[platform::kPathLimit];
    // The deltree the PATH search finds, once for the whole list.
    const std::string tool = locate_tool_on_path();
    while (outcome.failure == Failure::kNone) {
        LineStatus status = read_list_line(reader, line, sizeof line);
        if (status == LineStatus::kPath) {
            EntryOutcome entry = delete_entry(line, tool);
            outcome.failure = entry.failure;
            if (entry.ran) outcome.last_status = entry.status;
        } else if (status == LineStatus::kUnusable) {
            // Not a path at all; it is reported the way a path that is not there would be.
            std::printf(kMsgEntryMissing, line);
            outcome.failure = Failure::kEntryMissing;
        } else if (status == LineStatus::kReadError) {
            // Stopping silently would report the entries never read as deleted.
            std::fputs(kMsgListUnreadable, stdout);
            outcome.failure = Failure::kListUnopened;
        } else {
            break;
        }
    }
    return outcome;
}

// Deletes the list file once its entries are done. A list that was read goes only if it is still
// the file at the list's name: a front end may already have put the next job there.
bool remove_list(const char* list_path, const platform::ListFile* read) {
    if (!read) return platform::remove_file(list_path) == 0;
    return platform::remove_file_if_same(list_path, read->id()) != platform::Removal::kFailed;
}

}  // namespace

RunOutcome process_deletion_list(const char* list_path) {
    platform::ListFile list;
    RunOutcome outcome;
    bool opened = list.open(list_path) == 0;
    if (!opened) {
        report_unopened_list(list_path);
        outcome.failure = Failure::kListUnopened;
    } else {
        outcome = delete_entries(list);
        list.close();
    }
    // The list is consumed whatever became of its entries: a second run must not repeat them.
    if (!remove_list(list_path, opened ? &list : nullptr)) {
        std::fputs(kMsgListUnremoved, stdout);
        outcome.list_unremoved = true;
    }
    return outcome;
}
