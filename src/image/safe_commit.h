// Committing without ever leaving a broken file: an edit of the file itself
// runs behind a journal that lets whoever finds it finish the edit (see
// edit_journal.h); a result for another file is written beside it and
// renamed over it. Also keeps what checks the whole file true: the PE
// checksum and a self-checking installer's CRC.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "image/image.h"

namespace vorn {

// Commits `section`, the new resource section of `image` (of
// image.layout.resourceSize bytes), as `options` say. FileAccessFailed when
// a read or write fails; `options.output` is then as it was.
ResultCode CommitSafely(Image& image, std::vector<std::byte> section, const CommitOptions& options, CommitReport* report,
                        const OperationHooks& hooks);

// Writes `output` as a copy of the open image's file, beside itself first
// and renamed over it, with the input's permissions: for a commit with
// nothing to change. FileAccessFailed when it cannot be written; `output`
// is then as it was.
ResultCode CopyImageFile(Image& image, const std::string& output);

// Where an edit of `path` keeps its journal and its new file while it runs.
std::string JournalPath(const std::string& path);
std::string NewFilePath(const std::string& path);

// Puts right what an edit killed while it ran left behind: a journal
// finishes its edit (or, when the file had not changed yet, is dropped), a
// half-written new file is removed. An edit still running in another
// process is waited for, and its files left alone. A journal that is not
// about the file now at `path` (another file was put there, or the file is
// in no state the journal accounts for) is never played: it is renamed to
// `keptAside` (FILE.vornres-journal.unmatched) and the file left as it is.
// False when a journal could not be acted on; it is then kept for the next
// try.
bool RecoverInterruptedEdit(const char* path, std::string* keptAside = nullptr);

}  // namespace vorn
