// The public editing API over the image and format layers.
#include "vornutils/editing.h"

#include <algorithm>
#include <cstring>

#include "base/text_codec.h"
#include "faces/api/explain.h"
#include "faces/api/state.h"
#include "format/pe_format.h"
#include "image/image_rewrite.h"
#include "image/safe_commit.h"
#include "platform/platform.h"

namespace vornutils {

using vorn::ResourceEntry;
using vorn::ResourceName;
using vorn::ResultCode;

std::string Error::Message() const { return path + ": " + detail; }

// ---- Resource ids -------------------------------------------------------

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && vorn::platform::CompareIgnoreAsciiCase(a, b) == 0;
}

}  // namespace

std::optional<ResourceId> ResourceId::Name(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const std::string_view digits = text.front() == '#' ? text.substr(1) : text;
    if (!digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::uint32_t value = 0;
        for (const char c : digits) {
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
            if (value > 0xFFFF) return std::nullopt;
        }
        return ResourceId(static_cast<std::uint16_t>(value));
    }
    return ResourceId(std::string(text));
}

std::optional<ResourceId> ResourceId::Type(std::string_view text) {
    const bool prefixed = text.size() > 3 && EqualIgnoringCase(text.substr(0, 3), "RT_");
    for (std::uint16_t id = 1; id <= types::Manifest; ++id) {
        const char* label = vorn::pe::ResourceTypeLabel(id);
        if (label != nullptr && EqualIgnoringCase(text, std::string_view(label).substr(prefixed ? 0 : 3))) {
            return ResourceId(id);
        }
    }
    return Name(text);
}

std::string ResourceId::ToString() const { return isText_ ? text_ : std::to_string(number_); }

std::string_view ResourceId::TypeLabel() const {
    const char* label = isText_ ? nullptr : vorn::pe::ResourceTypeLabel(number_);
    return label == nullptr ? std::string_view() : std::string_view(label).substr(3);  // without "RT_"
}

bool operator==(const ResourceId& a, const ResourceId& b) {
    if (a.isText_ != b.isText_) return false;
    return a.isText_ ? vorn::CompareResourceNames(a.text_, b.text_) == 0 : a.number_ == b.number_;
}

// ---- The resource set ---------------------------------------------------

namespace {

// Names are held in the system's code page (UTF-8 on POSIX).
ResourceId IdOf(std::int32_t id, const ResourceName& name) {
    return id == -1 && name ? ResourceId(vorn::SystemToUtf8(*name)) : ResourceId(static_cast<std::uint16_t>(id));
}

bool Matches(std::int32_t id, const ResourceName& name, const ResourceId& wanted) {
    if (wanted.IsNumber()) return id == wanted.Number() && !name;
    if (id != -1 || !name) return false;
    const auto text = vorn::Utf8ToSystem(wanted.Text());
    return text && vorn::CompareResourceNames(*name, *text) == 0;
}

bool Matches(const ResourceEntry& e, const ResourceId& type, const ResourceId& name) {
    return e.deleted == 0 && Matches(e.typeId, e.typeName, type) && Matches(e.nameId, e.name, name);
}

ResourceInfo InfoOf(const ResourceEntry& e) { return {KeyOf(e), e.codePage, e.size}; }

}  // namespace

ResourceKey KeyOf(const ResourceEntry& e) {
    return {IdOf(e.typeId, e.typeName), IdOf(e.nameId, e.name), static_cast<std::uint16_t>(e.language)};
}

const ResourceEntry* ResourceSet::Table::Find(const ResourceKey& key) const {
    for (const ResourceEntry& e : image.table.entries) {
        if (Matches(e, key.type, key.name) && e.language == key.language) return &e;
    }
    return nullptr;
}

std::vector<ResourceInfo> ResourceSet::List() const {
    std::vector<ResourceInfo> list;
    for (const ResourceEntry& e : table_->image.table.entries) {
        if (e.deleted == 0) list.push_back(InfoOf(e));
    }
    return list;
}

std::optional<ResourceInfo> ResourceSet::Find(const ResourceKey& key) const {
    const ResourceEntry* e = table_->Find(key);
    if (e == nullptr) return std::nullopt;
    return InfoOf(*e);
}

std::vector<std::uint16_t> ResourceSet::Languages(const ResourceId& type, const ResourceId& name) const {
    std::vector<std::uint16_t> languages;
    for (const ResourceEntry& e : table_->image.table.entries) {
        if (Matches(e, type, name)) languages.push_back(static_cast<std::uint16_t>(e.language));
    }
    return languages;
}

std::optional<ResourceKey> ResourceSet::Shown(const ResourceId& type, const ResourceId& name) const {
    const std::vector<std::uint16_t> languages = Languages(type, name);
    const auto best = std::min_element(languages.begin(), languages.end(), [](std::uint16_t a, std::uint16_t b) {
        return vorn::LoaderLanguageRank(a) < vorn::LoaderLanguageRank(b);
    });
    if (best == languages.end()) return std::nullopt;
    return ResourceKey{type, name, *best};
}

std::optional<std::vector<std::byte>> ResourceSet::Read(const ResourceKey& key) const {
    const ResourceEntry* e = table_->Find(key);
    if (e == nullptr) return std::nullopt;
    std::vector<std::byte> bytes(e->size);
    if (!e->data.CopyTo(bytes)) return std::nullopt;
    return bytes;
}

ResourceEntry* ResourceSet::Table::Place(const ResourceKey& key, std::optional<std::uint32_t> codePage) {
    changed = true;
    if (auto* found = const_cast<ResourceEntry*>(Find(key))) {
        if (codePage) found->codePage = *codePage;
        return found;
    }
    ResourceEntry label;
    if (!Label(label, key)) return nullptr;
    if (vorn::AddResourceEntry(image.table, label.typeId) != ResultCode::Success) throw std::bad_alloc();
    ResourceEntry& added = image.table.entries.back();
    Label(added, key);
    added.codePage = codePage.value_or(0);
    return &added;
}

bool ResourceSet::Table::Label(ResourceEntry& entry, const ResourceKey& key) {
    std::optional<std::string> typeText, nameText;
    if (!key.type.IsNumber() && !(typeText = vorn::Utf8ToSystem(key.type.Text()))) return false;
    if (!key.name.IsNumber() && !(nameText = vorn::Utf8ToSystem(key.name.Text()))) return false;
    entry.typeId = key.type.IsNumber() ? key.type.Number() : -1;
    entry.typeName = typeText ? std::make_shared<const std::string>(*typeText) : nullptr;
    entry.nameId = key.name.IsNumber() ? key.name.Number() : -1;
    entry.name = nameText ? std::make_shared<const std::string>(*nameText) : nullptr;
    entry.language = key.language;
    return true;
}

void ResourceSet::Set(const ResourceKey& key, std::vector<std::byte> bytes, std::optional<std::uint32_t> codePage) {
    if (ResourceEntry* e = table_->Place(key, codePage)) e->SetData(vorn::ResourceData(std::move(bytes)));
}

Result<void> ResourceSet::SetFromFile(const ResourceKey& key, const std::string& path, std::optional<std::uint32_t> codePage) {
    auto file = vorn::File::Open(path.c_str(), vorn::File::Mode::Read);
    const auto length = file ? file->Length() : std::nullopt;
    if (!length) {
        return Error{Code::FileAccessFailed, FileRole::Source, path, "read the resource",
                     "cannot be opened or read; check the path and its permissions"};
    }
    if (*length > vorn::kMaxImageFileLength) {
        return Error{Code::FileAccessFailed, FileRole::Source, path, "read the resource",
                     "is 2 GiB or larger; a resource must be smaller"};
    }
    ResourceEntry* e = table_->Place(key, codePage);
    if (e == nullptr) {
        return Error{Code::TextConversionFailed, FileRole::Target, table_->image.path, "name the resource",
                     "cannot hold a resource of that type or name: it is not text of this system's code page"};
    }
    e->SetData(vorn::ResourceData(std::make_shared<vorn::File>(std::move(*file)), 0, static_cast<std::uint32_t>(*length)));
    return {};
}

bool ResourceSet::Remove(const ResourceKey& key) {
    auto& entries = table_->image.table.entries;
    const auto before = entries.size();
    std::erase_if(entries, [&](const ResourceEntry& e) { return Matches(e, key.type, key.name) && e.language == key.language; });
    table_->changed = table_->changed || entries.size() != before;
    return entries.size() != before;
}

std::size_t ResourceSet::RemoveAll(const ResourceId& type, const ResourceId& name) {
    auto& entries = table_->image.table.entries;
    const auto before = entries.size();
    std::erase_if(entries, [&](const ResourceEntry& e) { return Matches(e, type, name); });
    table_->changed = table_->changed || entries.size() != before;
    return before - entries.size();
}

// ---- Images -------------------------------------------------------------

namespace {

// Finishes or undoes an edit of `path` that was killed, from its journal.
std::optional<Error> Recover(const std::string& path, std::vector<std::string>* notes) {
    std::string keptAside;
    if (!vorn::RecoverInterruptedEdit(path.c_str(), &keptAside)) {
        const std::string journal = vorn::JournalPath(path);
        return Error{Code::FileAccessFailed, FileRole::Journal, journal, "recover an interrupted edit",
                     "was left by an edit of " + path + " that was stopped, and the edit cannot be finished from it: "
                     "check that both files are writable, then try again"};
    }
    if (!keptAside.empty() && notes != nullptr) {
        notes->push_back("the journal of an interrupted edit, " + vorn::JournalPath(path) +
                         ", was not made for the file now at this path (another file was put in its place), so it was "
                         "not applied; the file is as it was, and the journal was kept as " + keptAside);
    }
    return std::nullopt;
}

}  // namespace

Image::Image(std::unique_ptr<State> state) : state_(std::move(state)) {}
Image::Image(Image&&) noexcept = default;
Image& Image::operator=(Image&&) noexcept = default;
Image::~Image() = default;

const std::string& Image::Path() const { return state_->path; }
const ImageInfo& Image::Info() const { return state_->info; }
const std::vector<std::string>& Image::Notes() const { return state_->notes; }
ResourceSet& Image::Resources() { return state_->set; }
const ResourceSet& Image::Resources() const { return state_->set; }

Result<Image> Image::Open(const std::string& path) {
    auto state = std::make_unique<State>();
    state->path = path;
    if (auto failed = Recover(path, &state->notes)) return *failed;

    vorn::Image& image = state->table.image;
    if (const ResultCode code = vorn::OpenImageHeaders(path.c_str(), image, true, vorn::ImageKinds::Pe32OrPe32Plus);
        code != ResultCode::Success) {
        Error failed = vorn::api::Failure(code, FileRole::Target, path, "open", vorn::api::Step::Read);
        failed.notes = std::move(state->notes);
        return failed;
    }
    vorn::ImageLayout layout;
    state->info.hasResources = vorn::ReadImageLayout(image.headers, layout) != ResultCode::NoResourceSection;
    if (state->info.hasResources) {
        if (const ResultCode code = vorn::LoadImageResources(image); code != ResultCode::Success) {
            Error failed = vorn::api::Failure(code, FileRole::Target, path, "read the resources", vorn::api::Step::Read);
            failed.notes = std::move(state->notes);
            return failed;
        }
    }
    const vorn::PeHeaders& h = image.headers;
    ImageInfo& info = state->info;
    info.pe32Plus = h.pe32Plus;
    info.machine = h.machine;
    info.characteristics = h.characteristics;
    info.subsystem = h.subsystem;
    info.checksum = h.checkSum;
    info.fileLength = image.fileLength;
    info.isDll = h.IsDll();
    const vorn::DataDirectory certificates = h.Directory(vorn::pe::kCertificateDirectoryIndex);
    info.isSigned = certificates.virtualAddress != 0 || certificates.size != 0;
    if (info.hasResources) {
        info.resourceRva = image.layout.resourceRva;
        info.resourceOffset = image.layout.resourceOffset;
        info.resourceSize = image.layout.resourceSize;
    }
    std::uint64_t imageEnd = h.HeadersEnd();
    for (const vorn::SectionHeader& s : h.sections) {
        info.sections.push_back({vorn::SystemToUtf8(s.Name()), s.virtualAddress, s.virtualSize, s.pointerToRawData,
                                 s.sizeOfRawData});
        if (s.sizeOfRawData != 0) imageEnd = std::max(imageEnd, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
    }
    info.appendedBytes = image.fileLength > imageEnd ? image.fileLength - imageEnd : 0;
    info.installerTag = std::memcmp(h.dosHeader.data() + vorn::pe::kInstallerTagOffset, vorn::pe::kInstallerTag, 4) == 0;
    return Image(std::move(state));
}

namespace {

void TellProgress(void* context, std::uint64_t done, std::uint64_t total) {
    const auto& progress = *static_cast<const std::function<void(std::uint64_t, std::uint64_t)>*>(context);
    progress(done, total);
}

}  // namespace

Result<CommitReport> Image::Commit(const CommitOptions& options) {
    // Spent whatever happens: the commit closes what it opened.
    const std::unique_ptr<State> state = std::move(state_);
    vorn::Image& image = state->table.image;
    const std::string& path = state->path;
    const bool inPlace = options.output.empty() ||
                         vorn::platform::ResolvePath(options.output.c_str()) == vorn::platform::ResolvePath(path.c_str());
    if (!inPlace) {
        if (auto failed = Recover(options.output, nullptr)) return *failed;
    }
    const bool strip = options.signature == SignatureHandling::Strip && state->info.isSigned;
    if (strip && !state->info.hasResources && image.table.entries.empty()) {
        // The signature goes with a rebuild of the resources, which this file has none of.
        return vorn::api::Failure(ResultCode::NoResourceSection, FileRole::Target, path, "strip the signature",
                                  vorn::api::Step::Write);
    }
    if ((!state->table.changed && !strip) || (!state->info.hasResources && image.table.entries.empty())) {
        // Nothing to write: the result is the file as it is.
        CommitReport unchanged;
        unchanged.inPlace = inPlace;
        if (inPlace) return unchanged;
        if (const ResultCode code = vorn::CopyImageFile(image, options.output); code != ResultCode::Success) {
            return vorn::api::Failure(code, FileRole::Output, options.output, "write", vorn::api::Step::Write);
        }
        return unchanged;
    }
    if (!state->info.hasResources) {
        if (const ResultCode code = vorn::AddResourceSection(image); code != ResultCode::Success) {
            return vorn::api::Failure(code, FileRole::Target, path, "add a resource section", vorn::api::Step::Write);
        }
    }
    if (inPlace) {
        // Opened to be read; the edit needs it open for writing, and the
        // same file still.
        auto writable = vorn::File::Open(path.c_str(), vorn::File::Mode::ReadWrite);
        const auto before = image.stream.Id();
        if (!writable || writable->Length() != image.fileLength || (before && writable->Id() != before)) {
            return vorn::api::Failure(ResultCode::FileAccessFailed, FileRole::Target, path, "open for writing", vorn::api::Step::Write);
        }
        image.stream = std::move(*writable);
    }

    vorn::CommitOptions commit;
    commit.output = inPlace ? path : options.output;
    commit.signature = options.signature;
    commit.checksum = options.checksum;
    commit.installerCrc = options.installerCrc;
    CommitReport report;
    vorn::OperationHooks hooks;
    if (options.progress) {
        hooks.moved = &TellProgress;
        hooks.context = const_cast<void*>(static_cast<const void*>(&options.progress));
    }
    if (const ResultCode code = vorn::CommitResources(image, commit, &report, hooks); code != ResultCode::Success) {
        const bool output = !inPlace && code == ResultCode::FileAccessFailed;
        return vorn::api::Failure(code, output ? FileRole::Output : FileRole::Target, output ? options.output : path, "commit",
                       vorn::api::Step::Write);
    }
    return report;
}

void ReportFileSizeLimitAsFailure() { vorn::platform::ReportFileSizeLimitAsFailure(); }

}  // namespace vornutils
