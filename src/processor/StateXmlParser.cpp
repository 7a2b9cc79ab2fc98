#include "StateXmlParser.h"
#include <expat.h>
#include <climits>
#include <vector>

namespace
{
    // The state document is three levels deep; deeper trees are damage, and a
    // very deep one would exhaust the stack when the tree is destroyed.
    constexpr int maximumDepth = 32;

    struct TreeBuilder
    {
        XML_Parser parser = nullptr;
        std::unique_ptr<juce::XmlElement> root;
        std::vector<juce::XmlElement*> open;
        bool failed = false;

        static void XMLCALL start (void* data, const XML_Char* name, const XML_Char** attributes)
        {
            auto& self = *static_cast<TreeBuilder*> (data);
            if ((int) self.open.size() >= maximumDepth || (self.open.empty() && self.root != nullptr))
            {
                self.failed = true;
                XML_StopParser (self.parser, XML_FALSE);
                return;
            }

            auto element = std::make_unique<juce::XmlElement> (juce::String::fromUTF8 (name));
            for (int i = 0; attributes[i] != nullptr; i += 2)
                element->setAttribute (juce::String::fromUTF8 (attributes[i]), juce::String::fromUTF8 (attributes[i + 1]));

            auto* raw = element.get();
            if (self.open.empty())
                self.root = std::move (element);
            else
                self.open.back()->addChildElement (element.release());
            self.open.push_back (raw);
        }

        static void XMLCALL end (void* data, const XML_Char*)
        {
            auto& self = *static_cast<TreeBuilder*> (data);
            if (! self.open.empty())
                self.open.pop_back();
        }
    };
}

std::unique_ptr<juce::XmlElement> parseStateXml (const char* text, std::size_t size)
{
    if (text == nullptr || size == 0 || size > (std::size_t) INT_MAX)
        return nullptr;

    TreeBuilder builder;
    builder.parser = XML_ParserCreate ("UTF-8");
    if (builder.parser == nullptr)
        return nullptr;

    XML_SetUserData (builder.parser, &builder);
    XML_SetElementHandler (builder.parser, TreeBuilder::start, TreeBuilder::end);
    const bool parsed = XML_Parse (builder.parser, text, (int) size, XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree (builder.parser);

    if (! parsed || builder.failed || ! builder.open.empty())
        return nullptr;
    return std::move (builder.root);
}
