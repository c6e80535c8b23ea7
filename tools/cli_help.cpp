// Help for 80 columns and the man page's option sections. A second user of
// CLI11 beside the parser, kept apart so that the parser stays about
// parsing.
#include "cli_help.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace cli {

namespace {

constexpr size_t kWidth = 80;
constexpr size_t kColumn = 30;  // where descriptions start, as CLI11 has it

// roff reads a backslash as an escape and a leading dot or quote as a
// request; "\-" keeps option dashes copyable from the rendered page.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out += c;
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out = "\\&" + out;
    return out;
}

std::string joined_names(const std::vector<std::string>& names) {
    std::string out;
    for (size_t i = 0; i < names.size(); ++i)
        out += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return out;
}

struct Variant {
    std::string term, description;
    std::vector<std::string> commands;
};

struct Entry {
    std::string name;
    std::vector<Variant> variants;
    size_t command_count() const {
        size_t n = 0;
        for (const Variant& v : variants) n += v.commands.size();
        return n;
    }
};

std::string man_term(const HelpFormatter& f, const CLI::Option* o, bool positional) {
    std::string opts = positional ? std::string() : f.make_option_opts(o);
    return "\\fB" + roff(f.make_option_name(o, positional)) + "\\fR" +
           (opts.empty() ? "" : " \\fI" + roff(opts.substr(1)) + "\\fR");
}

std::string man_item(const std::string& term, const std::string& description) {
    return ".TP\n" + term + "\n" + roff(description) + "\n";
}

}  // namespace

std::vector<std::string> wrap_words(const std::string& text, size_t width) {
    // A number stays with the word before it: "(default 120" and "port 25"
    // are read, and searched for, as one.
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        if (!words.empty() && std::isdigit(static_cast<unsigned char>(word[0])))
            words.back() += " " + word;
        else
            words.push_back(word);
    }
    std::vector<std::string> lines;
    for (const std::string& word : words) {
        if (!lines.empty() && lines.back().size() + 1 + word.size() <= width)
            lines.back() += " " + word;
        else
            lines.push_back(word);
    }
    return lines;
}

std::string HelpFormatter::make_option(const CLI::Option* opt, bool is_positional) const {
    std::string left = "  " + make_option_name(opt, is_positional) + make_option_opts(opt);
    std::vector<std::string> lines = wrap_words(make_option_desc(opt), kWidth - kColumn);
    std::string out = left;
    size_t first = 0;
    if (left.size() + 2 <= kColumn && !lines.empty()) {
        out += std::string(kColumn - left.size(), ' ') + lines[0];
        first = 1;
    }
    out += "\n";
    for (size_t i = first; i < lines.size(); ++i)
        out += std::string(kColumn, ' ') + lines[i] + "\n";
    return out;
}

std::string HelpFormatter::make_option_name(const CLI::Option* opt, bool is_positional) const {
    // A negated flag carries its value in braces ("--no-message-id{false}").
    std::string name = CLI::Formatter::make_option_name(opt, is_positional);
    for (size_t open; (open = name.find('{')) != std::string::npos;) {
        size_t close = name.find('}', open);
        name.erase(open, close == std::string::npos ? std::string::npos : close - open + 1);
    }
    return name;
}

std::string HelpFormatter::make_option_opts(const CLI::Option* opt) const {
    std::string out;
    if (opt->get_type_size() != 0) {
        // A value from a fixed set shows the set: "NAME:{pop3,imap}" becomes
        // "pop3|imap", which is also what the shell completion offers.
        std::string type = opt->get_type_name();
        size_t open = type.find(":{");
        if (open != std::string::npos && type.back() == '}') {
            type = type.substr(open + 2, type.size() - open - 3);
            std::replace(type.begin(), type.end(), ',', '|');
        }
        if (!type.empty()) out += " " + type;
        if (opt->get_expected_max() == CLI::detail::expected_max_vector_size) out += " ...";
    }
    return out;
}

std::string HelpFormatter::make_option_desc(const CLI::Option* opt) const {
    std::string desc = opt->get_description();
    std::string excluded;
    for (const CLI::Option* other : opt->get_excludes())
        excluded += (excluded.empty() ? "" : ", ") + other->get_name();
    if (excluded.empty()) return desc;
    // "(default) (not with --tls)" reads as one remark: "(default; not with --tls)".
    if (!desc.empty() && desc.back() == ')') {
        desc.pop_back();
        return desc + "; not with " + excluded + ")";
    }
    return desc + " (not with " + excluded + ")";
    return desc;
}

std::string HelpFormatter::make_subcommand(const CLI::App* sub) const {
    std::string left = "  " + sub->get_name();
    std::vector<std::string> lines = wrap_words(sub->get_description(), kWidth - kColumn);
    std::string out = left + std::string(kColumn - std::min(left.size(), kColumn - 2), ' ');
    for (size_t i = 0; i < lines.size(); ++i)
        out += (i == 0 ? "" : std::string(kColumn, ' ')) + lines[i] + "\n";
    return lines.empty() ? out + "\n" : out;
}

std::string man_sections(const CLI::App& app) {
    auto formatter = std::dynamic_pointer_cast<HelpFormatter>(app.get_formatter());
    const HelpFormatter& f = formatter ? *formatter : HelpFormatter();
    std::vector<Entry> entries;
    std::string commands = "[COMMANDS]\n";
    std::vector<std::pair<std::string, std::string>> own;  // command, its items
    for (const CLI::App* sub : app.get_subcommands({})) {
        const std::string command = sub->get_name();
        std::string usage = f.make_usage(sub, "brevorin " + command);
        usage = usage.substr(usage.find("brevorin "));
        usage.erase(usage.find_last_not_of('\n') + 1);
        std::string text = ".SS \"" + roff(usage) + "\"\n" + roff(sub->get_description()) + "\n";
        for (const CLI::Option* o : sub->get_options()) {
            if (o->get_group().empty() || o == sub->get_help_ptr()) continue;
            if (o->get_positional()) {
                text += man_item(man_term(f, o, true), f.make_option_desc(o));
                continue;
            }
            std::string name = f.make_option_name(o, false);
            Variant variant{man_term(f, o, false), f.make_option_desc(o), {command}};
            auto entry = std::find_if(entries.begin(), entries.end(),
                                      [&](const Entry& e) { return e.name == name; });
            if (entry == entries.end()) {
                entries.push_back(Entry{name, {variant}});
                continue;
            }
            auto same =
                std::find_if(entry->variants.begin(), entry->variants.end(), [&](const Variant& v) {
                    return v.term == variant.term && v.description == variant.description;
                });
            if (same == entry->variants.end())
                entry->variants.push_back(variant);
            else
                same->commands.push_back(command);
        }
        own.emplace_back(command, text);
    }
    const size_t all = own.size();
    std::string common =
        "[COMMON OPTIONS]\nOptions that more than one command takes. Where an option is not "
        "for every command, or means something else for some, the commands it is for lead its "
        "description.\n";
    for (const Entry& e : entries) {
        if (e.command_count() == 1) {
            const Variant& v = e.variants[0];
            for (auto& command : own)
                if (command.first == v.commands[0])
                    command.second += man_item(v.term, v.description);
            continue;
        }
        for (const Variant& v : e.variants) {
            std::string lead =
                v.commands.size() == all ? "" : "For " + joined_names(v.commands) + ": ";
            common += man_item(v.term, lead + v.description);
        }
    }
    for (const auto& command : own) commands += command.second;
    return commands + common;
}

}  // namespace cli
