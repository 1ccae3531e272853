// Opens each file read-only as the library does and prints what it loaded as
// one JSON line: the result code, the layout and every table record in load
// order, the data reduced to a hash. check_corpus.py compares this with an
// independent reader.
//
// Paths come from the command line, or one per line on stdin when there are
// none, so that a whole corpus runs in one process. --any-kind first opens
// them as vornres does (PE32 and PE32+) instead of as the exports do.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <span>
#include <string>
#include <string_view>

#include "image/image.h"

namespace {

std::uint64_t Fnv1a64(std::span<const std::byte> bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::byte b : bytes) {
        hash ^= std::to_integer<std::uint64_t>(b);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

// Bytes of 0x80 and above pass through: names are UTF-8, and a path is
// echoed as the checker gave it.
void AppendJsonString(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void AppendName(std::string& out, const vorn::ResourceName& name) {
    if (name) AppendJsonString(out, *name);
    else out += "null";
}

template <class Number>
void AppendField(std::string& out, const char* key, Number value) {
    out += '"';
    out += key;
    out += "\":";
    out += std::to_string(value);
    out += ',';
}

std::string Dump(const std::string& path, vorn::ImageKinds kinds) {
    std::string out = "{\"path\":";
    AppendJsonString(out, path);
    vorn::Image image;
    const std::int32_t code = vorn::ToInt(vorn::OpenImageForEdit(path.c_str(), image, /*readOnly*/ true, kinds));
    out += ",\"code\":" + std::to_string(code);
    if (code != 0) return out + '}';

    const vorn::ImageLayout& l = image.layout;
    out += ",\"layout\":{";
    AppendField(out, "fileAlignment", l.fileAlignment);
    AppendField(out, "sectionAlignment", l.sectionAlignment);
    AppendField(out, "sectionCount", l.sectionCount);
    AppendField(out, "optionalHeaderOffset", l.optionalHeaderOffset);
    AppendField(out, "dataDirectoryOffset", l.dataDirectoryOffset);
    AppendField(out, "resourceRva", l.resourceRva);
    AppendField(out, "resourceSize", l.resourceSize);
    AppendField(out, "resourceOffset", l.resourceOffset);
    out.back() = '}';

    const vorn::ResourceTable& t = image.table;
    out += ",\"typeCount\":" + std::to_string(t.typeCount);
    out += ",\"hasIcons\":" + std::to_string(t.hasIcons);
    out += ",\"hasVersion\":" + std::to_string(t.hasVersion);
    out += ",\"entries\":[";
    for (const vorn::ResourceEntry& e : t.entries) {
        out += '{';
        AppendField(out, "ordinal", e.ordinal);
        AppendField(out, "typeId", e.typeId);
        out += "\"typeName\":";
        AppendName(out, e.typeName);
        out += ",";
        AppendField(out, "nameId", e.nameId);
        out += "\"name\":";
        AppendName(out, e.name);
        out += ",";
        AppendField(out, "language", e.language);
        AppendField(out, "codePage", e.codePage);
        AppendField(out, "size", e.size);
        AppendField(out, "characteristics", e.characteristics);
        AppendField(out, "timeDateStamp", e.timeDateStamp);
        AppendField(out, "majorVersion", e.majorVersion);
        AppendField(out, "minorVersion", e.minorVersion);
        char hash[24];
        std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a64(e.Bytes())));
        out += "\"fnv\":\"";
        out += hash;
        out += "\"},";
    }
    if (out.back() == ',') out.pop_back();
    out += "]}";
    vorn::CloseImage(image);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    int first = 1;
    auto kinds = vorn::ImageKinds::Pe32Only;
    if (argc > 1 && std::string_view(argv[1]) == "--any-kind") {
        kinds = vorn::ImageKinds::Pe32OrPe32Plus;
        ++first;
    }
    if (argc > first) {
        for (int i = first; i < argc; ++i) std::cout << Dump(argv[i], kinds) << '\n';
    } else {
        std::string path;
        while (std::getline(std::cin, path)) {
            if (!path.empty()) std::cout << Dump(path, kinds) << '\n';
        }
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}
