// Puts a rebuilt resource section into its file in place of the old one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "frame/result_code.h"
#include "pe/image.h"
#include "platform/file.h"

namespace vorn {

// The tail of the file after the resource section moves in chunks of this
// size; memory use does not depend on the file's size.
inline constexpr std::uint32_t kMoveChunkSize = 0x100000;

// Told how much of the data after the resource section a rewrite has moved:
// after every chunk, and with done == total when the move is over. Like the
// pump observer it is for the command-line tool, not for hosts of the DLL.
using MoveProgress = void (*)(void* context, std::uint64_t done, std::uint64_t total);
void SetMoveProgress(MoveProgress observer, void* context);

// Writes `section` (the new resource section; layout.resourceSize is its
// length) at layout.resourceOffset, moving everything after the old section
// and correcting the headers: data directories, section headers,
// SizeOfImage, SizeOfInitializedData, the COFF symbol table pointer, the
// certificate table, debug data, and an installer's offset table.
//
// Returns 0, BadResourceData when the file ends before its old resource
// section does, or FileAccessFailed when a read, write, seek, flush or length
// change fails. A failure before anything moved leaves the file as it was;
// after that the file is partly rewritten.
ResultCode RewriteImage(File& stream, const ImageLayout& layout, std::span<const std::byte> section);

// Ends an image opened for editing: builds the new section from its table,
// releases the table, rewrites the file and closes it. On return `image`
// holds nothing, whatever the result.
ResultCode CommitResources(Image& image);

}  // namespace vorn
