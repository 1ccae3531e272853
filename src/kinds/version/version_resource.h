// Reading and writing the whole VS_VERSIONINFO tree (vornutils/version.h
// defines it): every StringFileInfo with every table and string, every
// VarFileInfo with every Var, and every other child of the root, texts as
// UTF-16 of any length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/result_code.h"
#include "vornutils/version.h"

namespace vorn::version {

using vornutils::version::AddTable;
using vornutils::version::AllTables;
using vornutils::version::ChildKind;
using vornutils::version::FixedFileInfo;
using vornutils::version::kTranslationKey;
using vornutils::version::NewVersionResource;
using vornutils::version::Raw;
using vornutils::version::RemoveString;
using vornutils::version::RootChild;
using vornutils::version::SetString;
using vornutils::version::ShownTable;
using vornutils::version::StringTable;
using vornutils::version::TableForLanguage;
using vornutils::version::TableKey;
using vornutils::version::Translations;
using vornutils::version::Var;
using vornutils::version::VersionResource;
using vornutils::version::VersionString;

// How much damage a read tolerates.
enum class ReadRules {
    // Every block lies inside its parent and every key and text value ends
    // with its NUL inside its block: what is read can be edited in place.
    Whole,
    // The version record's rules, which read what resource writers in the
    // wild get wrong: keys and texts need no NUL; a root child that runs
    // past the resource, or has length 0, ends the walk; the first table or
    // Var of a StringFileInfo or VarFileInfo may run past its parent by up
    // to the parent's own length (later ones that do end the walk); a String
    // may run past its table, and one of length 0 is read as empty and ends
    // the table. A first table or Var longer than that, or a table key of
    // other than 8 digits, is BadVersionResource. Nodes read this way may
    // overlap, so a tree read so is for reading, not for writing back.
    Record,
};

// Reads a VS_VERSIONINFO resource: 0 or BadVersionResource (or OutOfMemory).
// The walk of the root's children runs to the end of the resource, not of
// the root. Under ReadRules::Record a BadVersionResource still leaves in
// `resource` the blocks read before the bad one, so that a reader can tell
// what came first; otherwise `resource` is filled only on 0.
ResultCode ParseVersionTree(std::span<const std::byte> bytes, VersionResource& resource,
                            ReadRules rules = ReadRules::Whole);

// Why a resource cannot be written: a block would pass the 65535 bytes its
// 16-bit length can count. `key` names the block.
struct SerializeFailure {
    std::u16string key;
};

// The bytes of the resource; unchanged nodes are their original bytes.
std::optional<SerializeFailure> SerializeVersionTree(const VersionResource& resource, Raw& bytes);

// Gives the nodes of `to` the bytes that the nodes at the same places in
// `from` were read from, so that what `to` holds unchanged is written as it
// was read (a node whose content differs ignores them).
void LendReadBytes(const VersionResource& from, VersionResource& to);

}  // namespace vorn::version
