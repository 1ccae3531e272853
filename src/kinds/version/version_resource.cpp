#include "kinds/version/version_resource.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "base/byte_view.h"
#include "kinds/version/version_format.h"

namespace vorn::version {

namespace {

constexpr std::uint16_t kTextType = 1;
constexpr std::uint16_t kBinaryType = 0;
constexpr std::uint32_t kVosNtWindows32 = 0x00040004;

char16_t FoldAscii(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool EqualIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

std::uint16_t Length(Bytes block) { return LoadU16(block.data()); }

// Blocks are read from spans that begin at a 4-byte boundary of the
// resource, so alignment inside a block is alignment in the resource.
// Each parse takes exactly the block's bytes.
//
// A tree is read only when every block lies inside its parent and every
// key and text value ends inside its block: a length that lies would make
// an edit land inside another block, where it could not be read back.

// True when the text read from `start` ends with its NUL inside the block.
bool Terminated(Bytes b, const Text& text, std::size_t start) {
    return text.next > start && text.next <= b.size() && LoadU16(b.data() + text.next - 2) == 0;
}

bool AllZero(Bytes b) { return std::all_of(b.begin(), b.end(), [](std::byte x) { return x == std::byte{0}; }); }

// Calls `parse` on each child block from `first` to the end of `b`: zeros
// after the last child are padding; any other bytes must be whole blocks.
template <class Parse>
ResultCode ForEachChild(Bytes b, std::size_t first, Parse parse) {
    for (std::size_t at = first; at < b.size(); at = Align4(at + LoadU16(b.data() + at))) {
        if (AllZero(b.subspan(at))) break;
        const std::size_t length = at + 2 <= b.size() ? LoadU16(b.data() + at) : 0;
        if (length < kBlockHeaderSize + 2 || length > b.size() - at) return ResultCode::BadVersionResource;
        if (const ResultCode code = parse(b.subspan(at, length)); code != ResultCode::Success) return code;
    }
    return ResultCode::Success;
}

// A String's value is the text after its key, to the block's end. With
// `checked` false (the record's rules) neither text needs its NUL, and the
// block may be shorter than its header.
ResultCode ReadString(Bytes b, VersionString& string, bool checked) {
    const Text name = ReadText(b, kBlockHeaderSize, b.size());
    if (checked && !Terminated(b, name, kBlockHeaderSize)) return ResultCode::BadVersionResource;
    string.key = name.units;
    const std::size_t valueStart = Align4(name.next);
    if (valueStart < b.size()) {
        const Text value = ReadText(b, valueStart, b.size());
        if (checked && LoadU16(b.data() + 2) != 0 && !Terminated(b, value, valueStart)) {
            return ResultCode::BadVersionResource;
        }
        string.value = value.units;
    }
    string.raw.assign(b.begin(), b.end());
    return ResultCode::Success;
}
ResultCode ParseString(Bytes b, VersionString& string) { return ReadString(b, string, true); }

ResultCode ParseTable(Bytes b, StringTable& table) {
    const Text key = ReadText(b, kBlockHeaderSize, b.size());
    if (key.units.size() != kTableKeyLength || !Terminated(b, key, kBlockHeaderSize)) return ResultCode::BadVersionResource;
    table.key = key.units;
    table.raw.assign(b.begin(), b.end());
    return ForEachChild(b, kTableHeaderSize, [&](Bytes child) { return ParseString(child, table.strings.emplace_back()); });
}

ResultCode ReadVar(Bytes b, Var& var, bool checked) {
    const Text key = ReadText(b, kBlockHeaderSize, b.size());
    if (checked && !Terminated(b, key, kBlockHeaderSize)) return ResultCode::BadVersionResource;
    var.key = key.units;
    const std::size_t valueStart = std::min(Align4(key.next), b.size());
    var.value.assign(b.begin() + static_cast<std::ptrdiff_t>(valueStart), b.end());
    var.raw.assign(b.begin(), b.end());
    return ResultCode::Success;
}
ResultCode ParseVar(Bytes b, Var& var) { return ReadVar(b, var, true); }

// The children of a StringFileInfo or VarFileInfo block.
template <class Child, class Parse>
ResultCode ParseChildren(Bytes block, std::size_t firstChild, std::vector<Child>& children, Parse parse) {
    return ForEachChild(block, firstChild, [&](Bytes child) { return parse(child, children.emplace_back()); });
}

ResultCode ParseChild(Bytes b, RootChild& child) {
    const std::u16string key = ReadText(b, kBlockHeaderSize, b.size()).units;
    child.raw.assign(b.begin(), b.end());
    // A header-only block (what rc writes for an empty BLOCK) is still one,
    // so that a tree without tables or Vars reads back as it was written.
    if (key == kStringFileInfoKey && b.size() >= kStringFileInfoHeaderSize) {
        child.kind = ChildKind::StringFileInfo;
        return ParseChildren(b, kStringFileInfoHeaderSize, child.tables, ParseTable);
    }
    if (key == kVarFileInfoKey && b.size() >= kVarFileInfoHeaderSize) {
        child.kind = ChildKind::VarFileInfo;
        return ParseChildren(b, kVarFileInfoHeaderSize, child.vars, ParseVar);
    }
    child.kind = ChildKind::Other;
    return ResultCode::Success;
}

// The record's rules (ReadRules::Record). Blocks are located in the whole
// resource, since a first table or Var may run past its parent and a String
// past its table; every block still begins at a 4-byte boundary.
class RecordReader {
public:
    explicit RecordReader(Bytes all) : all_(all) {}

    ResultCode Root(VersionResource& read) {
        for (std::size_t at = kRootSize; at + 2 <= all_.size();) {
            const std::size_t length = LoadU16(all_.data() + at);
            if (length == 0 || length > all_.size() - at) break;
            const Bytes b = all_.subspan(at, length);
            const std::u16string key = ReadText(b, kBlockHeaderSize, b.size()).units;
            RootChild& child = read.children.emplace_back();
            child.raw.assign(b.begin(), b.end());
            ResultCode code = ResultCode::Success;
            if (key == kStringFileInfoKey && length > kStringFileInfoHeaderSize) {
                child.kind = ChildKind::StringFileInfo;
                code = Children(at, length, kStringFileInfoHeaderSize, child.tables, &RecordReader::Table);
            } else if (key == kVarFileInfoKey && length > kVarFileInfoHeaderSize) {
                child.kind = ChildKind::VarFileInfo;
                code = Children(at, length, kVarFileInfoHeaderSize, child.vars, &RecordReader::VarBlock);
            }
            if (code != ResultCode::Success) return code;
            at = Align4(at + length);
        }
        return ResultCode::Success;
    }

private:
    Bytes all_;

    // The block at `at` of `length` bytes, cut at the resource's end.
    Bytes Block(std::size_t at, std::size_t length) const { return all_.subspan(at, std::min(length, all_.size() - at)); }

    // Only the first child is held to `limit`: the parent's length.
    template <class Child>
    ResultCode Children(std::size_t block, std::size_t length, std::size_t firstChild, std::vector<Child>& children,
                        ResultCode (RecordReader::*parse)(std::size_t, std::size_t, Child&)) {
        const std::size_t blockEnd = block + length;
        for (std::size_t at = block + firstChild; at + 2 <= blockEnd;) {
            const std::size_t childLength = LoadU16(all_.data() + at);
            const bool first = at == block + firstChild;
            if (!first && (childLength == 0 || childLength > blockEnd - at)) break;
            Child child;
            if (const ResultCode code = (this->*parse)(at, length, child); code != ResultCode::Success) return code;
            children.push_back(std::move(child));
            if (childLength == 0) break;
            at = Align4(at + childLength);
        }
        return ResultCode::Success;
    }

    ResultCode Table(std::size_t at, std::size_t limit, StringTable& table) {
        const std::size_t length = LoadU16(all_.data() + at);
        if (length > limit) return ResultCode::BadVersionResource;
        const Bytes b = Block(at, length);
        const Text key = ReadText(b, kBlockHeaderSize, b.size());
        if (key.units.size() != kTableKeyLength) return ResultCode::BadVersionResource;
        table.key = key.units;
        table.raw.assign(b.begin(), b.end());
        const std::size_t tableEnd = at + b.size();
        for (std::size_t s = at + kTableHeaderSize; s + 2 <= tableEnd;) {
            const std::size_t stringLength = LoadU16(all_.data() + s);
            if (const ResultCode code = ReadString(Block(s, stringLength), table.strings.emplace_back(), false);
                code != ResultCode::Success) {
                return code;
            }
            if (stringLength == 0) break;
            s = Align4(s + stringLength);
        }
        return ResultCode::Success;
    }

    ResultCode VarBlock(std::size_t at, std::size_t limit, Var& var) {
        const std::size_t length = LoadU16(all_.data() + at);
        if (length > limit) return ResultCode::BadVersionResource;
        return ReadVar(Block(at, length), var, false);
    }
};

// ---- Writing ----

template <class Node, class Parse>
bool Unchanged(const Node& node, Parse parse) {
    if (node.raw.empty()) return false;
    Node again;
    return parse(node.raw, again) == ResultCode::Success && again == node;
}

class Writer {
public:
    Raw bytes;
    std::optional<SerializeFailure> failure;

    void U16(std::uint16_t v) {
        bytes.push_back(std::byte(v & 0xFF));
        bytes.push_back(std::byte(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v & 0xFFFF));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Pad() { bytes.resize(Align4(bytes.size())); }
    void Append(const Raw& raw) { bytes.insert(bytes.end(), raw.begin(), raw.end()); }
    void Text(std::u16string_view text) {
        for (const char16_t unit : text) U16(unit);
        U16(0);
    }
    // A block's header and key; End sets its length.
    std::size_t Begin(std::size_t valueLength, std::uint16_t type, std::u16string_view key) {
        const std::size_t start = bytes.size();
        U16(0);
        U16(static_cast<std::uint16_t>(std::min<std::size_t>(valueLength, kMaxBlockLength)));
        U16(type);
        Text(key);
        Pad();
        return start;
    }
    void End(std::size_t start, std::u16string_view key) {
        const std::size_t length = bytes.size() - start;
        if (length > kMaxBlockLength && !failure) failure = SerializeFailure{std::u16string(key)};
        StoreU16(bytes.data() + start, static_cast<std::uint16_t>(length));
    }

    void Write(const StringTable& table) {
        if (Unchanged(table, ParseTable)) return Append(table.raw);
        const std::size_t start = Begin(0, kTextType, table.key);
        for (const VersionString& string : table.strings) {
            Pad();
            if (Unchanged(string, ParseString)) {
                Append(string.raw);
                continue;
            }
            const std::size_t at = Begin(string.value.size() + 1, kTextType, string.key);
            Text(string.value);
            Pad();
            End(at, string.key);
        }
        End(start, table.key);
    }
    void Write(const Var& var) {
        if (Unchanged(var, ParseVar)) return Append(var.raw);
        const std::size_t start = Begin(var.value.size(), kBinaryType, var.key);
        Append(var.value);
        // The value runs to the block's end, so padding after a value of
        // odd length stays outside the block, as rc lays it out.
        End(start, var.key);
        Pad();
    }
    void Write(const RootChild& child) {
        if (child.kind == ChildKind::Other || Unchanged(child, ParseChild)) return Append(child.raw);
        const bool strings = child.kind == ChildKind::StringFileInfo;
        const std::u16string_view key = strings ? kStringFileInfoKey : kVarFileInfoKey;
        const std::size_t start = Begin(0, kTextType, key);
        const auto writeAll = [&](const auto& nodes) {
            for (const auto& node : nodes) {
                Pad();
                Write(node);
            }
        };
        if (strings) writeAll(child.tables);
        else writeAll(child.vars);
        End(start, key);
    }
};

std::uint16_t KeyDigits(const std::u16string& key, std::size_t from) {
    std::uint32_t value = 0;
    for (std::size_t i = from; i < from + 4 && i < key.size(); ++i) {
        const char16_t c = key[i];
        const int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10
                        : c >= u'A' && c <= u'F' ? c - u'A' + 10 : 0;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return static_cast<std::uint16_t>(value);
}

RootChild* FirstChild(VersionResource& resource, ChildKind kind) {
    for (RootChild& child : resource.children) {
        if (child.kind == kind) return &child;
    }
    return nullptr;
}

template <class Resource>
auto* FindTranslation(Resource& resource) {
    for (auto& child : resource.children) {
        for (auto& var : child.vars) {
            if (var.key == kTranslationKey) return &var;
        }
    }
    return static_cast<decltype(&resource.children.front().vars.front())>(nullptr);
}

}  // namespace

ResultCode ParseVersionTree(std::span<const std::byte> bytes, VersionResource& resource, ReadRules rules) {
    try {
        const std::size_t size = bytes.size();
        if (size < kRootSize || Length(bytes) > size) return ResultCode::BadVersionResource;
        if (ReadText(bytes, kBlockHeaderSize, kFixedInfoOffset).units != kRootKey ||
            LoadU16(bytes.data() + 2) != kFixedInfoSize || LoadU32(bytes.data() + kFixedInfoOffset) != kFixedInfoSignature) {
            return ResultCode::BadVersionResource;
        }
        VersionResource read;
        const std::byte* f = bytes.data() + kFixedInfoOffset;
        FixedFileInfo& fixed = read.fixed;
        for (auto [field, offset] : {std::pair{&fixed.strucVersion, 4}, {&fixed.fileVersionMS, 8}, {&fixed.fileVersionLS, 12},
                                     {&fixed.productVersionMS, 16}, {&fixed.productVersionLS, 20},
                                     {&fixed.fileFlagsMask, 24}, {&fixed.fileFlags, 28}, {&fixed.fileOS, 32},
                                     {&fixed.fileType, 36}, {&fixed.fileSubtype, 40}, {&fixed.fileDateMS, 44},
                                     {&fixed.fileDateLS, 48}}) {
            *field = LoadU32(f + offset);
        }
        read.raw.assign(bytes.begin(), bytes.end());
        if (rules == ReadRules::Record) {
            const ResultCode code = RecordReader(bytes).Root(read);
            resource = std::move(read);
            return code;
        }
        if (const ResultCode code = ParseChildren(bytes, kRootSize, read.children, ParseChild); code != ResultCode::Success) {
            return code;
        }
        resource = std::move(read);
        return ResultCode::Success;
    } catch (const std::bad_alloc&) {
        return ResultCode::OutOfMemory;
    }
}

namespace {

template <class Node, class Each>
void LendEach(const std::vector<Node>& from, std::vector<Node>& to, Each each) {
    for (std::size_t i = 0; i < std::min(from.size(), to.size()); ++i) {
        to[i].raw = from[i].raw;
        each(from[i], to[i]);
    }
}

}  // namespace

void LendReadBytes(const VersionResource& from, VersionResource& to) {
    to.raw = from.raw;
    for (std::size_t i = 0; i < std::min(from.children.size(), to.children.size()); ++i) {
        const RootChild& a = from.children[i];
        RootChild& b = to.children[i];
        if (b.kind == ChildKind::Other) continue;  // its bytes are its content
        b.raw = a.raw;
        LendEach(a.tables, b.tables, [](const StringTable& x, StringTable& y) {
            LendEach(x.strings, y.strings, [](const VersionString&, VersionString&) {});
        });
        LendEach(a.vars, b.vars, [](const Var&, Var&) {});
    }
}

std::optional<SerializeFailure> SerializeVersionTree(const VersionResource& resource, Raw& bytes) {
    VersionResource again;
    if (!resource.raw.empty() && ParseVersionTree(resource.raw, again) == ResultCode::Success && again == resource) {
        bytes = resource.raw;
        return std::nullopt;
    }
    Writer w;
    const std::size_t root = w.Begin(kFixedInfoSize, kBinaryType, kRootKey);
    const FixedFileInfo& f = resource.fixed;
    for (const std::uint32_t v : {kFixedInfoSignature, f.strucVersion, f.fileVersionMS, f.fileVersionLS, f.productVersionMS,
                                  f.productVersionLS, f.fileFlagsMask, f.fileFlags, f.fileOS, f.fileType, f.fileSubtype,
                                  f.fileDateMS, f.fileDateLS}) {
        w.U32(v);
    }
    for (const RootChild& child : resource.children) {
        w.Pad();
        w.Write(child);
    }
    w.End(root, kRootKey);
    if (w.failure) return w.failure;
    bytes = std::move(w.bytes);
    return std::nullopt;
}

}  // namespace vorn::version

// The tree's own operations, declared with it in the public header.
namespace vornutils::version {

using namespace vorn::version;
using vorn::LoadU16;

std::uint16_t StringTable::Language() const { return KeyDigits(key, 0); }
std::uint16_t StringTable::CodePage() const { return KeyDigits(key, 4); }

VersionString* StringTable::Find(std::u16string_view name) {
    for (VersionString& string : strings) {
        if (EqualIgnoringAsciiCase(string.key, name)) return &string;
    }
    return nullptr;
}

std::vector<std::pair<std::uint16_t, std::uint16_t>> Translations(const VersionResource& resource) {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> pairs;
    const Var* var = FindTranslation(resource);
    if (var == nullptr) return pairs;
    for (std::size_t at = 0; at + 4 <= var->value.size(); at += 4) {
        pairs.emplace_back(LoadU16(var->value.data() + at), LoadU16(var->value.data() + at + 2));
    }
    return pairs;
}

StringTable* ShownTable(VersionResource& resource) {
    // The loader's lookup reads the first StringFileInfo only.
    RootChild* strings = FirstChild(resource, ChildKind::StringFileInfo);
    if (strings == nullptr || strings->tables.empty()) return nullptr;
    const auto pairs = Translations(resource);
    if (!pairs.empty()) {
        const std::u16string key = TableKey(pairs.front().first, pairs.front().second);
        for (StringTable& table : strings->tables) {
            if (EqualIgnoringAsciiCase(table.key, key)) return &table;
        }
    }
    return &strings->tables.front();
}

std::vector<StringTable*> AllTables(VersionResource& resource) {
    std::vector<StringTable*> tables;
    for (RootChild& child : resource.children) {
        for (StringTable& table : child.tables) tables.push_back(&table);
    }
    return tables;
}

StringTable* TableForLanguage(VersionResource& resource, std::uint16_t language, std::optional<std::uint16_t> codePage) {
    RootChild* strings = FirstChild(resource, ChildKind::StringFileInfo);
    if (strings == nullptr) return nullptr;
    StringTable* found = nullptr;
    for (StringTable& table : strings->tables) {
        if (table.Language() != language) continue;
        if (!codePage || table.CodePage() == *codePage) return &table;
        if (found == nullptr) found = &table;
    }
    return found;
}

StringTable& AddTable(VersionResource& resource, std::uint16_t language, std::uint16_t codePage) {
    RootChild* strings = FirstChild(resource, ChildKind::StringFileInfo);
    if (strings == nullptr) {
        // Strings before values, as resource compilers write them.
        RootChild added;
        added.kind = ChildKind::StringFileInfo;
        strings = &*resource.children.insert(resource.children.begin(), std::move(added));
    }
    StringTable& table = strings->tables.emplace_back();
    table.key = TableKey(language, codePage);

    const std::array<std::byte, 4> pair = {std::byte(language & 0xFF), std::byte(language >> 8), std::byte(codePage & 0xFF),
                                           std::byte(codePage >> 8)};
    Var* translation = FindTranslation(resource);
    if (translation == nullptr) {
        RootChild* values = FirstChild(resource, ChildKind::VarFileInfo);
        if (values == nullptr) {
            values = &resource.children.emplace_back();
            values->kind = ChildKind::VarFileInfo;
        }
        translation = &values->vars.emplace_back();
        translation->key = kTranslationKey;
    }
    const auto pairs = Translations(resource);
    if (std::find(pairs.begin(), pairs.end(), std::pair{language, codePage}) == pairs.end()) {
        translation->value.insert(translation->value.end(), pair.begin(), pair.end());
    }
    // Adding to the first StringFileInfo may have moved the table.
    return FirstChild(resource, ChildKind::StringFileInfo)->tables.back();
}

void SetString(StringTable& table, std::u16string_view key, std::u16string_view value) {
    if (VersionString* string = table.Find(key)) {
        string->value = value;
        return;
    }
    VersionString& added = table.strings.emplace_back();
    added.key = key;
    added.value = value;
}

bool RemoveString(StringTable& table, std::u16string_view key) {
    return std::erase_if(table.strings, [&](const VersionString& s) { return EqualIgnoringAsciiCase(s.key, key); }) > 0;
}

std::u16string TableKey(std::uint16_t language, std::uint16_t codePage) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x%04x", unsigned{language}, unsigned{codePage});
    return std::u16string(text, text + 8);
}

VersionResource NewVersionResource(std::uint16_t language, std::uint16_t codePage, std::uint32_t fileType) {
    VersionResource resource;
    resource.fixed.fileOS = kVosNtWindows32;
    resource.fixed.fileType = fileType;
    AddTable(resource, language, codePage);
    return resource;
}

}  // namespace vornutils::version
