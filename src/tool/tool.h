// What the commands of vornres share: text conversion, JSON output, the
// messages of failures, and the progress of long moves.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "base/result_code.h"
#include "tool/options.h"
#include "base/text_codec.h"
#include "faces/api/explain.h"
#include "image/image.h"
#include "format/resource_table.h"

namespace vorn::tool {

// Objects keep their keys in the order they were written.
using Json = nlohmann::ordered_json;


// vornres reads and edits PE32 and PE32+ images alike.
inline constexpr ImageKinds kKinds = ImageKinds::Pe32OrPe32Plus;

// Library texts are in the ANSI code page (UTF-8 on POSIX); JSON wants
// UTF-8. What cannot be converted is kept and replaced when dumped.
std::string ToUtf8(std::string_view ansi);
// UTF-16 for the terminal: the ANSI code page, or UTF-8 where it cannot
// hold the text.
std::string ToDisplay(std::u16string_view wide);

void PrintJson(const Json& json);

// nlohmann::json and CLI11 do not survive an allocation failure everywhere:
// json leaks the object it had begun when its initializer-list constructor
// fails, and allocates while it destroys a value, and CLI11 copies strings
// in noexcept functions while it parses, so that a failure there ends the
// process. While a MemoryReserve lives, the first failure is met by giving
// back a reserve held for it, so that the work in hand completes.
class MemoryReserve {
public:
    MemoryReserve();
    ~MemoryReserve();
    MemoryReserve(const MemoryReserve&) = delete;
    MemoryReserve& operator=(const MemoryReserve&) = delete;
};

// A type or name: its id, or its text when it is a string (id -1).
Json IdOrName(std::int32_t id, const ResourceName& name);

using Job = api::Step;

// Reports a library failure on stderr, naming the file concerned and what
// to do, and returns the code as the exit status.
int Fail(const std::string& file, ResultCode code, Job job);
// Finishes or puts back an edit of `file` that was killed, telling of a
// journal that was not about this file; nonzero: the exit status of a
// failure that has been reported.
int RecoverEdit(const std::string& file);
// Reports a failure in the tool's own words; returns `status`.
int FailWith(const std::string& file, std::string_view message, int status);


// How every command reaches its files: PE32 and PE32+, and on a terminal
// the progress of long moves drawn on `line`, which must outlive the access.
ImageAccess MakeAccess(MoveLine& line);


// An edit of `file` as the options say: the access gains the commit options
// and the report, which must outlive it. Nonzero: the exit status of a
// refusal that has been reported.
struct Edit {
    CommitOptions commit;
    CommitReport report;
};
int PrepareEdit(const std::string& file, const WriteOptions& options, Edit& edit, ImageAccess& access);
// Whether the image has a certificate table, as a signed file does.
bool IsSigned(const PeHeaders& headers);
// Tells what the commit did beyond the resources: a moved signature, a
// self-checking installer it could not keep checking, and the like.
void ReportEdit(const std::string& file, const Edit& edit);
// -o with nothing to change: OUT becomes a copy of the input.
int CopyUnchanged(const std::string& file, const WriteOptions& options);

}  // namespace vorn::tool
