// Committing without ever leaving a broken file: the result is written
// beside its target and renamed over it, or, when nothing moves, written in
// place under a journal of the bytes it overwrites. Also keeps what checks
// the whole file true: the PE checksum and a self-checking installer's CRC.
#pragma once

#include <string>

#include "frame/result_code.h"
#include "pe/image.h"

namespace vorn {

// Commits the built section of `image` (image.resourceBytes, of
// image.layout.resourceSize bytes) as `options` say. FileAccessFailed when
// a read or write fails; `options.output` is then as it was.
ResultCode CommitSafely(Image& image, const CommitOptions& options, CommitReport* report, const OperationHooks& hooks);

// Where an edit of `path` keeps its journal and its new file while it runs.
std::string JournalPath(const std::string& path);
std::string NewFilePath(const std::string& path);

// Puts back what an edit killed while it ran left behind: a complete
// journal is played back (the file is then as it was before that edit), an
// incomplete one and a half-written new file are removed. An edit still
// running in another process is waited for, and its files left alone.
// False when a journal could not be played back; the journal is then kept.
bool RecoverInterruptedEdit(const char* path);

}  // namespace vorn
