#include "app/gui_options.h"

namespace gui_options {

namespace {

// One option: its name, whether a value follows, and what it sets.
struct Option {
    const char* name;
    bool valued;
    void (*apply)(StartOptions* options, const std::string& value);
};

const Option kOptions[] = {
    {"--serial", true, [](StartOptions* o, const std::string& v) { o->serial = v; }},
    {"--help", false, [](StartOptions* o, const std::string&) { o->help = true; }},
    {"-h", false, [](StartOptions* o, const std::string&) { o->help = true; }},
    {"--version", false, [](StartOptions* o, const std::string&) { o->version = true; }},
};

const Option* find_option(const std::string& name) {
    for (const Option& option : kOptions)
        if (name == option.name) return &option;
    return nullptr;
}

}  // namespace

Parsed parse(const std::vector<std::string>& args) {
    Parsed parsed;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word.size() < 2 || word[0] != '-') {
            parsed.error = "unexpected argument '" + word + "'";
            return parsed;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const Option* option = find_option(name);
        if (option == nullptr) {
            parsed.error = "unknown option '" + name + "'";
            return parsed;
        }
        std::string value;
        if (equals != std::string::npos) {
            if (!option->valued) {
                parsed.error = "option '" + name + "' takes no value";
                return parsed;
            }
            value = word.substr(equals + 1);
        } else if (option->valued) {
            if (i + 1 >= args.size()) {
                parsed.error = "option '" + name + "' needs a value";
                return parsed;
            }
            value = args[++i];
        }
        if (option->valued && value.empty()) {
            parsed.error = "option '" + name + "' needs a value";
            return parsed;
        }
        option->apply(&parsed.options, value);
    }
    return parsed;
}

std::string usage_text(const std::string& program) {
    return "Usage: " + program + " [--serial SN]\n"
           "       " + program + " --help | --version\n"
           "Shows the readings of the TALVIRO probe in a window.\n"
           "\n"
           "  --serial SN   connect only to the probe with serial number SN, as\n"
           "                talviro_read --list shows it, at start and on Connect;\n"
           "                without it, the probe used last when it is free, else\n"
           "                the first free one\n"
           "  -h, --help    show this text and exit\n"
           "  --version     show the version and exit\n";
}

std::string version_text(const std::string& program) {
    return program + " (TALVIRO Measurement) " TALVIRO_VERSION "\n";
}

}  // namespace gui_options
