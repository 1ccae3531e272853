// vornres resources / resource: any resource by type, name and language.
#include "tool/resource_command.h"

#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

#include "tool/options.h"
#include "vornutils/editing.h"

namespace vorn::tool {

namespace {

using vornutils::ResourceId;
using vornutils::ResourceKey;

nlohmann::ordered_json IdJson(const ResourceId& id) {
    if (id.IsNumber()) return id.Number();
    return id.Text();
}

std::string IdText(const ResourceId& id, bool isType) {
    if (!id.IsNumber()) return "\"" + id.Text() + "\"";
    const std::string_view label = isType ? id.TypeLabel() : std::string_view();
    return label.empty() ? id.ToString() : std::string(label) + " (" + id.ToString() + ")";
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "vornres: %s\n", message.c_str());
    return kUsageError;
}

int NotFound(const std::string& file, const std::string& what) {
    std::fprintf(stderr, "vornres: %s: has no resource %s\n", file.c_str(), what.c_str());
    return kNotFound;
}

// The key a command names: TYPE NAME [--language N]. Without a language,
// the one the loader shows, or neutral for a resource that is new.
struct Named {
    ResourceId type = std::uint16_t{0};
    ResourceId name = std::uint16_t{0};
    std::string label;  // for messages
};

std::optional<Named> ParseNamed(const std::vector<std::string>& words) {
    if (words.size() != 2) return std::nullopt;
    const auto type = ResourceId::Type(words[0]);
    const auto name = ResourceId::Name(words[1]);
    if (!type || !name) return std::nullopt;
    return Named{*type, *name, IdText(*type, true) + " " + IdText(*name, false)};
}

std::optional<ResourceKey> Existing(const vornutils::ResourceSet& set, const Named& named, int language) {
    if (language >= 0) {
        const ResourceKey key{named.type, named.name, static_cast<std::uint16_t>(language)};
        return set.Find(key) ? std::optional(key) : std::nullopt;
    }
    return set.Shown(named.type, named.name);
}

int List(const vornutils::Image& image, bool json) {
    const auto list = image.Resources().List();
    if (json) {
        auto out = nlohmann::ordered_json::array();
        for (const auto& r : list) {
            nlohmann::ordered_json item = {{"type", IdJson(r.key.type)}};
            if (const auto label = r.key.type.TypeLabel(); !label.empty()) item["typeLabel"] = std::string(label);
            item["name"] = IdJson(r.key.name);
            item["language"] = r.key.language;
            item["codePage"] = r.codePage;
            item["size"] = r.size;
            out.push_back(std::move(item));
        }
        std::printf("%s\n", out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
        return 0;
    }
    for (const auto& r : list) {
        std::printf("%-24s %-24s language %-5u code page %-5u %u bytes\n", IdText(r.key.type, true).c_str(),
                    IdText(r.key.name, false).c_str(), r.key.language, r.codePage, r.size);
    }
    return 0;
}

int Get(const vornutils::Image& image, const Named& named, int language, const std::string& output) {
    const auto key = Existing(image.Resources(), named, language);
    const auto bytes = key ? image.Resources().Read(*key) : std::nullopt;
    if (!bytes) return NotFound(image.Path(), named.label);
    if (output.empty() || output == "-") {
        return std::fwrite(bytes->data(), 1, bytes->size(), stdout) == bytes->size() ? 0 : 5;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "vornres: %s: cannot be written; check the folder, its permissions and free space\n",
                     output.c_str());
        return static_cast<int>(vornutils::Code::FileAccessFailed);
    }
    return 0;
}

// Changes the set as the options say; 0, or the status of a refusal that
// has been reported.
int Change(vornutils::Image& image, const ResourceOptions& o, const Named& named) {
    vornutils::ResourceSet& set = image.Resources();
    if (!o.from.empty()) {
        const auto existing = Existing(set, named, o.language);
        const std::uint16_t language = existing ? existing->language
                                       : o.language >= 0 ? static_cast<std::uint16_t>(o.language)
                                                         : vornutils::kNeutralLanguage;
        if (auto set_ = set.SetFromFile({named.type, named.name, language}, o.from); !set_) return Report(set_.error());
        return 0;
    }
    if (o.allLanguages) return set.RemoveAll(named.type, named.name) != 0 ? 0 : NotFound(image.Path(), named.label);
    if (o.language < 0 && set.Languages(named.type, named.name).size() > 1) {
        return Usage(image.Path() + ": resource " + named.label +
                     " is there in several languages; name one with --language or remove all with --all-languages");
    }
    const auto key = Existing(set, named, o.language);
    return key && set.Remove(*key) ? 0 : NotFound(image.Path(), named.label);
}

}  // namespace

void AddResourcesCommand(CLI::App& app, ResourceOptions& o) {
    CLI::App* list = app.add_subcommand("resources", "List every resource: type, name, language, code page, size");
    list->add_option("file", o.file, "The program or DLL")->required();
    list->add_flag("--json", o.json, "Print JSON");
    list->final_callback([&o] { o.command = ResourceOptions::Command::List; });

    CLI::App* one = app.add_subcommand(
        "resource",
        "Get, set or remove one resource by TYPE and NAME: a number, #12, a known type (RCDATA, MANIFEST, HTML, ...) or a "
        "string. Without --language: the language Windows shows; a new resource is language neutral (0)");
    one->add_option("file", o.file, "The program or DLL")->required();
    auto* get = one->add_option("--get", o.get, "Write the resource's bytes to -o (or standard output)")->expected(2)->type_name("TYPE NAME");
    auto* put = one->add_option("--set", o.set, "Add or replace the resource with the bytes of --from")->expected(2)->type_name("TYPE NAME");
    auto* remove = one->add_option("--remove", o.remove, "Remove the resource")->expected(2)->type_name("TYPE NAME");
    get->excludes(put)->excludes(remove);
    put->excludes(remove);
    one->add_option("--from", o.from, "The file whose bytes --set puts in")->needs(put);
    one->add_option("--language", o.language, "The language (LANGID), e.g. 1033")->check(CLI::Range(0, 65535));
    one->add_flag("--all-languages", o.allLanguages, "With --remove: every language of the resource")->needs(remove);
    AddWriteOptions(*one, o.write);
    one->final_callback([&o] { o.command = ResourceOptions::Command::One; });
}

int RunResources(const ResourceOptions& o) {
    if (o.command == ResourceOptions::Command::One && o.get.empty() && o.set.empty() && o.remove.empty()) {
        return Usage("resource: say what to do with --get, --set or --remove");
    }
    if (!o.set.empty() && o.from.empty()) return Usage("resource: --set needs --from FILE");
    if (o.allLanguages && o.language >= 0) return Usage("resource: --language and --all-languages exclude each other");
    const std::vector<std::string>& words = !o.get.empty() ? o.get : !o.set.empty() ? o.set : o.remove;
    const auto named = words.empty() ? std::optional<Named>() : ParseNamed(words);
    if (o.command == ResourceOptions::Command::One && !named) {
        return Usage("resource: TYPE and NAME are numbers (0 to 65535), #12, known type names or strings");
    }

    auto image = vornutils::Image::Open(o.file);
    if (!image) return Report(image.error());
    Tell(*image);
    if (o.command == ResourceOptions::Command::List) return List(*image, o.json);
    if (!o.get.empty()) return Get(*image, *named, o.language, o.write.output);

    if (const int refused = RefuseSigned(*image, o.write); refused != 0) return refused;
    if (const int refused = Change(*image, o, *named); refused != 0) return refused;
    MoveLine line;
    const auto report = image->Commit(CommitOptionsOf(o.write, &line));
    if (!report) return Report(report.error());
    Tell(o.write.output.empty() ? o.file : o.write.output, *report);
    return 0;
}

}  // namespace vorn::tool
