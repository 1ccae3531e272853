// The editing library: open a PE32 or PE32+ file, read and change its
// resources, commit the result safely.
//
//   auto image = vornutils::Image::Open("app.exe");
//   if (!image) { std::fprintf(stderr, "%s\n", image.error().Message().c_str()); return 1; }
//   image->Resources().Set({vornutils::ResourceId::Type("RCDATA"), vornutils::ResourceId("CONFIG")}, bytes);
//   auto report = image->Commit();
//
// Texts are UTF-8. Nothing here throws but std::bad_alloc. One Image is used
// by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vornutils {

// The library's result codes, as the C interface (vornutils.h) returns them.
enum class Code : std::int32_t {
    Success = 0,
    SectionBuildFailed = 1,
    OutOfMemory = 2,
    NotPeImage = 3,
    NoResourceSection = 4,
    FileAccessFailed = 5,
    ResourceBeforeCode = 6,
    NoIconGroup = 7,
    IconSourceNotFound = 8,
    NotIconGroup = 9,
    BadIconSource = 10,
    BadSourceKind = 11,
    NoVersionResource = 12,
    BadResourceData = 13,
    BadVersionRecord = 14,
    BadVersionResource = 15,
    TextConversionFailed = 16,
};

// Which file a failure is about.
enum class FileRole { Target, Source, Output, Journal };

// A failure with what a user needs to act on it: which file, what was being
// done, and why, so that no caller has to look at the file again to explain.
struct Error {
    Code code = Code::Success;
    FileRole role = FileRole::Target;
    std::string path;    // the file concerned
    std::string what;    // the step that failed: "open", "read the icon", "commit", ...
    std::string detail;  // why, and what to do, in words for a user
    // What Image::Open found and did before it failed that a user should
    // still hear of, as Image::Notes gives it for an open that succeeds.
    std::vector<std::string> notes{};

    // "PATH: detail".
    [[nodiscard]] std::string Message() const;
};

// A value or the Error that stopped it.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::move(value)) {}
    Result(Error error) : state_(std::move(error)) {}
    [[nodiscard]] bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& operator*() { return std::get<0>(state_); }
    const T& operator*() const { return std::get<0>(state_); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }
    [[nodiscard]] const Error& error() const { return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}
    [[nodiscard]] bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }
    [[nodiscard]] const Error& error() const { return *error_; }

private:
    std::optional<Error> error_;
};

// ---- Resources ----------------------------------------------------------

// The numbered resource types Windows defines.
namespace types {
inline constexpr std::uint16_t Cursor = 1, Bitmap = 2, Icon = 3, Menu = 4, Dialog = 5, String = 6, FontDir = 7,
                               Font = 8, Accelerator = 9, RcData = 10, MessageTable = 11, GroupCursor = 12,
                               GroupIcon = 14, Version = 16, DlgInclude = 17, PlugPlay = 19, Vxd = 20, AniCursor = 21,
                               AniIcon = 22, Html = 23, Manifest = 24;
}

// A resource type or name: a number from 0 to 65535, or a string. Strings
// compare as the loader compares them, ignoring the case of a-z.
class ResourceId {
public:
    ResourceId(std::uint16_t number) : number_(number) {}
    explicit ResourceId(std::string text) : text_(std::move(text)), isText_(true) {}
    ResourceId(const char* text) : ResourceId(std::string(text)) {}

    // A name as users write one: "12" or "#12" is the number 12, anything
    // else a string. nullopt for an empty text or a number above 65535.
    static std::optional<ResourceId> Name(std::string_view text);
    // A type: as a name, and also a known type's label ("RCDATA",
    // "MANIFEST", "RT_HTML", ...), compared ignoring case.
    static std::optional<ResourceId> Type(std::string_view text);

    [[nodiscard]] bool IsNumber() const { return !isText_; }
    [[nodiscard]] std::uint16_t Number() const { return number_; }
    [[nodiscard]] const std::string& Text() const { return text_; }
    // "12" or the string.
    [[nodiscard]] std::string ToString() const;
    // For a type: the label of a known one ("RCDATA"); empty otherwise.
    [[nodiscard]] std::string_view TypeLabel() const;

    friend bool operator==(const ResourceId& a, const ResourceId& b);

private:
    std::uint16_t number_ = 0;
    std::string text_;
    bool isText_ = false;
};

struct ResourceKey {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;

    friend bool operator==(const ResourceKey&, const ResourceKey&) = default;
};

struct ResourceInfo {
    ResourceKey key;
    std::uint32_t codePage = 0;
    std::uint32_t size = 0;
};

// The language a new resource gets where nothing says otherwise: neutral.
inline constexpr std::uint16_t kNeutralLanguage = 0;

class Image;

// The resources of an open image, in directory order. It owns or shares
// every resource's bytes; changes are written by Image::Commit.
class ResourceSet {
public:
    [[nodiscard]] std::vector<ResourceInfo> List() const;
    [[nodiscard]] std::optional<ResourceInfo> Find(const ResourceKey& key) const;
    // The languages of one resource, in directory order.
    [[nodiscard]] std::vector<std::uint16_t> Languages(const ResourceId& type, const ResourceId& name) const;
    // The language the loader shows when nothing asks for one: neutral,
    // then US English (1033), then the first in directory order.
    [[nodiscard]] std::optional<ResourceKey> Shown(const ResourceId& type, const ResourceId& name) const;
    // The bytes of a resource; nullopt when there is none of that key.
    [[nodiscard]] std::optional<std::vector<std::byte>> Read(const ResourceKey& key) const;

    // Adds the resource, or replaces the bytes of the one of that key; a
    // code page given replaces the old one, which a replacement else keeps.
    void Set(const ResourceKey& key, std::vector<std::byte> bytes, std::optional<std::uint32_t> codePage = {});
    // The same with the bytes of a file, read only as the commit writes
    // them, straight into their place: a large file is not held in memory
    // twice. The file must stay as it is until then.
    Result<void> SetFromFile(const ResourceKey& key, const std::string& path, std::optional<std::uint32_t> codePage = {});
    // False when there was no such resource.
    bool Remove(const ResourceKey& key);
    // Every language of one resource; the number removed.
    std::size_t RemoveAll(const ResourceId& type, const ResourceId& name);

    ResourceSet(const ResourceSet&) = delete;
    ResourceSet& operator=(const ResourceSet&) = delete;

private:
    friend class Image;
    friend struct ImageInternals;
    struct Table;
    explicit ResourceSet(Table& table) : table_(&table) {}
    Table* table_;
};

// ---- Images -------------------------------------------------------------

struct SectionInfo {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0;
};

struct ImageInfo {
    bool pe32Plus = false;
    std::uint16_t machine = 0;
    std::uint16_t characteristics = 0;  // of the file header
    std::uint16_t subsystem = 0;
    std::uint32_t checksum = 0;         // as the header holds it
    std::uint64_t fileLength = 0;
    bool isDll = false;
    bool isSigned = false;       // it has a certificate table
    bool hasResources = false;   // it had a resource section when opened
    // Where the resource directory lies, when it has one.
    std::uint32_t resourceRva = 0;
    std::uint32_t resourceOffset = 0;
    std::uint32_t resourceSize = 0;
    std::vector<SectionInfo> sections;
    std::uint64_t appendedBytes = 0;  // after the headers and the last section's data
    bool installerTag = false;        // the DOS header carries the tag an installer's loader looks for
};

enum class SignatureHandling {
    Move,   // the certificate table moves with the data; its signature no longer holds
    Strip,  // the certificate table goes, so that the file can be signed again
};

enum class ChecksumHandling { UpdateWhenSet, Update, Keep, Zero };

struct CommitOptions {
    // Empty: the file itself, edited in place behind a journal, so that a
    // process killed at any moment leaves it as it was or complete once it
    // is next opened. Another path is written beside itself and renamed
    // over it; the input stays as it is.
    std::string output;
    SignatureHandling signature = SignatureHandling::Move;
    ChecksumHandling checksum = ChecksumHandling::UpdateWhenSet;
    // Recompute the CRC of an installer that checks itself.
    bool installerCrc = true;
    // Told as the data after the resources moves: bytes done of the total.
    std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

// What a commit did beyond the resources.
struct CommitReport {
    bool inPlace = false;
    bool signatureMoved = false;
    bool signatureStripped = false;
    bool checksumUpdated = false;
    bool installerCrcUpdated = false;
    std::string installerProblem;             // a self-checking installer whose check could not be kept
    std::uint64_t unknownAppendedBytes = 0;   // data after the image of no kind known to check itself
};

class Image {
public:
    // Opens a file for reading and editing. An edit of it that was killed
    // is finished (or undone) first, from its journal.
    static Result<Image> Open(const std::string& path);

    Image(Image&&) noexcept;
    Image& operator=(Image&&) noexcept;
    ~Image();

    [[nodiscard]] const std::string& Path() const;
    [[nodiscard]] const ImageInfo& Info() const;
    // What the open found and did that a user should hear of, such as a
    // journal kept aside because it was not about this file.
    [[nodiscard]] const std::vector<std::string>& Notes() const;

    ResourceSet& Resources();
    [[nodiscard]] const ResourceSet& Resources() const;

    // Writes the resources as they are now. The image is spent either way:
    // open the result again to go on. A failure leaves the file (and the
    // output) as it was. When nothing was changed (and no signature is to
    // be stripped), the file stays as it is, and an output gets a copy.
    Result<CommitReport> Commit(const CommitOptions& options = {});

private:
    friend struct ImageInternals;  // the kinds' functions
    struct State;
    explicit Image(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// ---- Icons --------------------------------------------------------------

// The icon the file shows (its first icon group) gives way to the images
// of an .ico file, under the group's own name and language; a file without
// an icon gets group 1. The images are read as the commit writes them.
Result<void> ReplaceMainIcon(Image& image, const std::string& icoPath);
// The same from an icon group of another module: the group of that name
// ("#12" or a string), or the module's first.
Result<void> ReplaceMainIconFromModule(Image& image, const std::string& modulePath, const std::string& group = {});

// The .ico file of an icon group: the one of that name, or the first.
Result<std::vector<std::byte>> ExtractIcon(const Image& image, const std::string& group = {});

// Every icon group, one name ("#12" for a number) per language, in
// directory order.
std::vector<std::string> IconGroups(const Image& image);

// ---- Programs -----------------------------------------------------------

// For programs, not libraries (a host's signals are its own): a write past
// the process's file-size limit then fails as a write, reported as such,
// instead of ending the process and leaving its files half done.
void ReportFileSizeLimitAsFailure();

}  // namespace vornutils
