// Opens the deletion list, deletes its entries until the first failure, and deletes the list.
#include "driver/deletion_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
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

// What one entry came to: the failure that must end the list, if any, and the command's status
// when it ran.
struct EntryOutcome {
    Failure failure = Failure::kNone;
    bool ran = false;
    int status = 0;
};

// The whole list as it was when it was opened, or nothing when it could not be read so: a read
// error, no memory for it, or a list cut, grown or rewritten in place meanwhile. Read at once,
// before any entry runs, so that a front end rewriting it in place during the run (rather than
// renaming a new one into place) can never splice two versions into one line, which could name
// the parent of what either listed.
std::optional<std::string> read_whole_list(platform::ListFile& list) {
    std::string text;
    try {
        char chunk[65536];
        for (long n; (n = list.read(chunk, sizeof chunk)) != 0;) {
            if (n < 0) return std::nullopt;
            text.append(chunk, static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (text.size() != list.size() ||
        list.state_since_open() != platform::ListFile::State::kUnchanged)
        return std::nullopt;
    return text;
}

// Whether the open list still holds `text`, read again from its start: a write that its state
// cannot show (one through a shared mapping moves neither its size, nor its change time, nor a
// watch) still changes its bytes. One that cannot be read again does not.
bool still_holds(platform::ListFile& list, const std::string& text) {
    if (list.rewind() != 0) return false;
    std::optional<std::string> now = read_whole_list(list);
    return now && *now == text;
}

// The list in memory, as the reader takes it.
struct TextSource {
    const std::string& text;
    std::size_t at = 0;
};

long fill_from_text(void* source, char* buf, std::size_t size) {
    auto* from = static_cast<TextSource*>(source);
    std::size_t n = std::min(size, from->text.size() - from->at);
    std::memcpy(buf, from->text.data() + from->at, n);
    from->at += n;
    return static_cast<long>(n);
}

// Tells the user as much as can be found out about a list that would not open.
void report_unopened_list(const char* list_path) {
    std::printf(kMsgListPath, list_path);
    platform::ListAccess access = platform::list_access(list_path);
    if (access.missing) std::fputs(kMsgListNotFound, stdout);
    if (access.unreadable) std::fputs(kMsgListUnreadable, stdout);
    if (std::optional<std::string> cwd = platform::current_directory())
        std::printf(kMsgCurrentDir, cwd->c_str());
    else
        std::fputs(kMsgCurrentDirFailed, stdout);
}

// What the text of an entry says before anything is looked at.
enum class TextVerdict { kPath, kNoPath, kRefused };

// Whether `path` is no path at all (on Windows, characters no name can hold: a '"' would close
// the command line's quotes), or is a root, a dot folder or a device in any spelling the
// platform resolves it by, or cannot be judged at all.
TextVerdict judge_text(const char* path) {
    std::vector<std::string> spellings = platform::spellings_to_judge(path);
    if (spellings.empty()) return TextVerdict::kRefused;
    if (kWindowsPaths && holds_characters_windows_names_cannot(spellings.front().c_str()))
        return TextVerdict::kNoPath;
    for (const std::string& spelling : spellings)
        if (refusal_reason(spelling.c_str(), kWindowsPaths)) return TextVerdict::kRefused;
    return TextVerdict::kPath;
}

// An entry that remains, or whose presence cannot be told: 32, with the line that says why.
EntryOutcome remains(const char* path, int error, int status) {
    std::printf(error == EACCES ? kMsgEntryNoAccess : kMsgEntryRemains, path);
    return {Failure::kEntryRemains, true, status};
}

// Deletes one entry with the deletion command `tool`.
EntryOutcome delete_entry(const char* path, const std::string& tool) {
    Screening screened = screen_entry(path);
    if (screened.failure != Failure::kNone) {
        std::printf(screened.message, path);
        return {screened.failure};
    }
    std::optional<int> status = run_delete_command(tool, path);
    if (!status) return {Failure::kCommandFailed};
    // Only whether the path is gone decides the entry; the command's status is kept as it is. A
    // check that cannot tell (a network folder gone away, a folder that may not be searched)
    // does not count as gone.
    platform::PresenceCheck after = platform::presence_of(path);
    if (after.presence != platform::Presence::kGone) return remains(path, after.error, *status);
    std::printf(after.error == EACCES ? kMsgEntryNoAccess : kMsgEntryDeleted, path);
    return {Failure::kNone, true, *status};
}

// Deletes the entries until the first failure: that failure, and the last command's status.
RunOutcome delete_entries(const std::string& list) {
    RunOutcome outcome;
    ListReader reader;
    TextSource source{list};
    init_list_reader(reader, fill_from_text, &source, platform::kListTextMode);
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
        } else {
            break;  // the end (a list in memory has no read errors)
        }
    }
    return outcome;
}

}  // namespace

Screening screen_entry(const char* path) {
    constexpr Screening kMissing{Failure::kEntryMissing, kMsgEntryMissing};
    constexpr Screening kRefused{Failure::kEntryRemains, kMsgEntryRemains};
    // A root, a dot folder or a device is never handed to the deletion command, whichever
    // deltree is installed: it is an entry that could not be deleted. (A front end that writes
    // an empty folder name into a path produces these.) Text that is no path is not found.
    TextVerdict text = judge_text(path);
    if (text == TextVerdict::kNoPath) return kMissing;
    if (text == TextVerdict::kRefused) return kRefused;
    platform::PresenceCheck before = platform::presence_of(path);
    if (before.presence == platform::Presence::kGone) return kMissing;
    if (before.presence == platform::Presence::kCannotTell)
        return {Failure::kEntryRemains,
                before.error == EACCES ? kMsgEntryNoAccess : kMsgEntryRemains};
    // Then what the path is, whatever its spelling: the current folder or one above it, a root
    // under another name, a device. A judgement that cannot be finished refuses.
    switch (platform::judge_entry(path)) {
    case platform::EntryVerdict::kMissing: return kMissing;
    case platform::EntryVerdict::kRefused: return kRefused;
    case platform::EntryVerdict::kMayGo: return {Failure::kNone, nullptr};
    }
    return kRefused;
}

RunOutcome process_deletion_list(const char* list_path) {
    platform::ListFile list;
    RunOutcome outcome;
    // Only a list that was opened and read whole is consumed, and only while it is still the
    // file that was read, unchanged: a list that could not be read, or was written to during the
    // run, keeps its job, and a new list put in place meanwhile is the next job. One that an
    // entry took away (an uninstall list naming zelk's folder) is as consumed as can be. What
    // was missing is never deleted by name afterwards: it may be a list renamed in since.
    bool consumed = false;
    if (list.open(list_path) != 0) {
        report_unopened_list(list_path);
        outcome.failure = Failure::kListUnopened;
    } else if (std::optional<std::string> text = read_whole_list(list)) {
        outcome = delete_entries(*text);
        platform::ListFile::State state = list.state_since_open();
        if (state == platform::ListFile::State::kUnchanged && !still_holds(list, *text))
            state = platform::ListFile::State::kChanged;
        list.close();
        consumed =
            state == platform::ListFile::State::kGone ||
            (state == platform::ListFile::State::kUnchanged &&
             platform::remove_file_if_same(list_path, list.id()) != platform::Removal::kFailed);
    } else {
        // Stopping silently would report the entries never read as deleted.
        std::fputs(kMsgListUnreadable, stdout);
        outcome.failure = Failure::kListUnopened;
    }
    if (!consumed) {
        std::fputs(kMsgListUnremoved, stdout);
        outcome.list_unremoved = true;
    }
    return outcome;
}
