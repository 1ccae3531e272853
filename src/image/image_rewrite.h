// Puts a rebuilt resource section into its file in place of the old one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/result_code.h"
#include "image/image.h"
#include "base/operation_hooks.h"
#include "platform/file.h"

namespace vorn {

// The tail of the file after the resource section moves in chunks of this
// size; memory use does not depend on the file's size.
inline constexpr std::uint32_t kMoveChunkSize = 0x100000;

// The largest FileAlignment a rewrite accepts: the format's own limit.
inline constexpr std::uint32_t kMaxFileAlignment = 0x10000;

// Writes `section` (the new resource section; layout.resourceSize is its
// length) at layout.resourceOffset of the open file, moving everything after
// the old section and correcting `headers`, which are then written back: data
// directories, section headers, SizeOfImage, SizeOfInitializedData, the COFF
// symbol table pointer, the certificate table, debug data, and an
// installer's offset table.
//
// Returns 0; BadResourceData when the old section does not lie whole in the
// file after the headers and apart from every other section's data, or when
// the file's FileAlignment is no power of two up to 64 KiB or its section
// alignment carries the image past 4 GiB; FileAccessFailed when a read,
// write, seek, flush or length change fails. A failure before anything
// moved leaves the file as it was; after that the file is partly rewritten.
ResultCode RewriteImage(File& stream, PeHeaders& headers, const ImageLayout& layout, std::uint64_t fileLength,
                        std::span<const std::byte> section, const OperationHooks& hooks = {});

// Ends an image opened for editing: builds the new section from its table,
// releases the table, rewrites the file and closes it: in place as the
// exports do, or safely as `options` say. On return `image` holds nothing,
// whatever the result.
ResultCode CommitResources(Image& image, const OperationHooks& hooks = {});
ResultCode CommitResources(Image& image, const CommitOptions& options, CommitReport* report,
                           const OperationHooks& hooks = {});

}  // namespace vorn
