#include "faces/api/explain.h"

#include "image/image.h"
#include "platform/file.h"
#include "platform/platform.h"

namespace vorn::api {

namespace {

// Why `file` is no image vornres can open (NotPeImage): what the system
// says of the path first, then what is wrong with its headers.
const char* ExplainNotImage(const std::string& file) {
    switch (platform::InspectPath(file.c_str())) {
        case platform::PathState::Missing: return "does not exist; check the path";
        case platform::PathState::Directory: return "is a directory, not a program; name a file";
        case platform::PathState::Unreadable: return "cannot be read; check its permissions";
        case platform::PathState::File: break;
    }
    switch (DiagnoseImage(file.c_str(), ImageKinds::Pe32OrPe32Plus)) {
        case HeaderProblem::Empty: return "is empty; it is not a Windows program";
        case HeaderProblem::Truncated:
            return "is truncated: it ends inside its PE headers; use a complete copy of the file";
        case HeaderProblem::UnknownOptionalHeader:
            return "is a PE file of a kind vornres does not know (neither PE32 nor PE32+)";
        case HeaderProblem::NotPe:
        case HeaderProblem::Pe32Plus:
        case HeaderProblem::None: break;
    }
    return "is not a Windows program or DLL (no PE image); check the path";
}

// True when `file` ends before the resource section its headers describe.
bool ResourcesCutShort(const std::string& file) {
    Image image;
    ImageLayout layout;
    return OpenImageHeaders(file.c_str(), image, true, ImageKinds::Pe32OrPe32Plus) == ResultCode::Success &&
           ReadImageLayout(image.headers, layout) == ResultCode::Success &&
           std::uint64_t{layout.resourceOffset} + layout.resourceSize > image.fileLength;
}

// The length of `file`; 0 when it cannot be read.
std::uint64_t FileLength(const std::string& file) {
    auto stream = File::Open(file.c_str(), File::Mode::Read);
    const auto length = stream ? stream->Length() : std::nullopt;
    return length.value_or(0);
}

}  // namespace

std::string Explain(const std::string& file, ResultCode code, Step job) {
    switch (code) {
        case ResultCode::SectionBuildFailed:
            return "its new resource section cannot be built; the resources may be damaged or too large";
        case ResultCode::OutOfMemory: return "out of memory; close other programs and try again";
        case ResultCode::NotPeImage:
            if (job == Step::FirstGroupOfModule) {
                return std::string(ExplainNotImage(file)) + "; its first icon group cannot be found, name one with --group";
            }
            return ExplainNotImage(file);
        case ResultCode::NoResourceSection:
            return "has no resource section; only programs with resources can be read or edited";
        case ResultCode::FileAccessFailed: {
            const std::uint64_t length = FileLength(file);
            if (length > kMaxImageFileLength) {
                return "is 2 GiB or larger; vornres reads and edits only files below 2 GiB (a PE file's offsets are "
                       "32-bit and an edit must leave room to grow)";
            }
            if (job == Step::Read || job == Step::ExtractIcon) return "cannot be opened or read; check that it is readable";
            // A rewrite that would reach the limit fails the same way.
            const char* tooLarge = length > kMaxImageFileLength / 2 ? ", and that the edit does not make it 2 GiB or larger" : "";
            return std::string("cannot be opened for writing or written; check that it is not read-only or in use, that "
                               "its disk has room and that no file-size limit stops it") + tooLarge;
        }
        case ResultCode::ResourceBeforeCode:
            return "keeps its resources before its code, which cannot be rewritten safely; leave this file as it is";
        case ResultCode::NoIconGroup:
            return job == Step::ExtractIcon ? "has no icon group; there is no icon to extract"
                                           : "has no icon group to replace; only a program with an icon can get a new one";
        case ResultCode::IconSourceNotFound:
            if (job == Step::ExtractIcon) return "has no icon group of that name; 'vornres icons' lists them";
            return job == Step::IconFile ? "cannot be opened; check the path"
                                        : "cannot be loaded as a module or lacks that icon group; check the path and --group";
        case ResultCode::NotIconGroup: return "has a damaged icon group; it cannot be used";
        case ResultCode::BadIconSource:
            return job == Step::ExtractIcon ? "has an icon group whose images are missing or too large; it cannot be extracted"
                                           : "is not a usable icon (a damaged .ico file or icon group); use another icon";
        case ResultCode::BadSourceKind: return "was given an unknown icon source kind; this is a fault of vornres";
        case ResultCode::NoVersionResource: return "has no version information";
        case ResultCode::BadResourceData:
            if (ResourcesCutShort(file)) return "is truncated: it ends before its resource section does; use a complete copy";
            return "has damaged resources or headers; rebuild the program or use an undamaged copy";
        case ResultCode::BadVersionRecord:
            return "cannot take this version information: it would pass the 65535-byte limit; use shorter texts";
        case ResultCode::BadVersionResource: return "has damaged version information; rebuild its version resource first";
        case ResultCode::TextConversionFailed:
            return "has a text that cannot be converted between the system code page and Unicode; use other characters";
        case ResultCode::Success: break;
    }
    return "failed for an unknown reason";
}


vornutils::Error Failure(ResultCode code, vornutils::FileRole role, const std::string& path, std::string what, Step step) {
    return {static_cast<vornutils::Code>(ToInt(code)), role, path, std::move(what), Explain(path, code, step)};
}

}  // namespace vorn::api
