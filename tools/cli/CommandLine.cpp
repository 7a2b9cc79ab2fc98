#include "CommandLine.h"

#include <algorithm>

namespace cli
{

    bool CommandLine::parse (std::string& error) const
    {
        for (int i = 0; i < args_.size(); ++i)
        {
            const auto arg = args_[i];
            const std::string text = arg.text.toStdString();

            auto flag = std::find_if (flags_.begin(), flags_.end(), [&] (const auto& f) { return arg == f.first; });
            if (flag != flags_.end())
            {
                flag->second();
                continue;
            }

            // Matched on the part before any '=': "--out=x.wav" and "--out x.wav" alike.
            auto option = std::find_if (options_.begin(), options_.end(),
                                        [&] (const auto& o) { return arg.text.upToFirstOccurrenceOf ("=", false, false) == o.first; });
            if (option != options_.end())
            {
                std::string value;
                if (arg.text.containsChar ('='))
                {
                    value = arg.text.fromFirstOccurrenceOf ("=", false, false).toStdString();
                }
                else if (i + 1 < args_.size())
                {
                    value = args_[++i].text.toStdString();
                }
                else
                {
                    error = text + " needs a value";
                    return false;
                }
                if (! option->second (value, error))
                    return false;
                continue;
            }

            if (positionals_ != nullptr && ! arg.isOption())
            {
                positionals_->push_back (text);
                continue;
            }
            error = unknown_ ? unknown_ (text) : "unknown argument '" + text + "' (see --help)";
            return false;
        }
        return true;
    }

} // namespace cli
