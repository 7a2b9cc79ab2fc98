// The tools' command lines, read with juce::ArgumentList: arguments are taken
// in order, each one a flag, an option with a value ("--name VALUE" or
// "--name=VALUE") or, where a tool has them, a positional argument.
#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cli
{

    class CommandLine
    {
    public:
        // Takes an option's value; false with `error` set when it does not fit.
        using ValueHandler = std::function<bool (const std::string& value, std::string& error)>;

        CommandLine (int argc, char** argv)
            : args_ (argc, argv)
        {
        }

        // `names` may list spellings separated by '|', e.g. "--help|-h".
        void flag (const juce::String& names, std::function<void()> then) { flags_.push_back ({ names, std::move (then) }); }
        void option (const juce::String& name, ValueHandler then) { options_.push_back ({ name, std::move (then) }); }
        // Non-option arguments go here; without it they are unknown arguments.
        void positionals (std::vector<std::string>* into) { positionals_ = into; }
        // How an unknown argument is reported (default: "unknown argument 'X' (see --help)").
        void unknownArgument (std::function<std::string (const std::string&)> message) { unknown_ = std::move (message); }

        // Walks all arguments; false with `error` set at the first that does not fit.
        bool parse (std::string& error) const;

    private:
        juce::ArgumentList args_;
        std::vector<std::pair<juce::String, std::function<void()>>> flags_;
        std::vector<std::pair<juce::String, ValueHandler>> options_;
        std::vector<std::string>* positionals_ = nullptr;
        std::function<std::string (const std::string&)> unknown_;
    };

} // namespace cli
