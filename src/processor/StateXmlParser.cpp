#include "StateXmlParser.h"
#include <expat.h>
#include <climits>
#include <cstring>
#include <string>

const StateXmlElement* StateXmlElement::getChildByName (const juce::String& name) const
{
    for (auto& child : children)
        if (child->tag == name)
            return child.get();
    return nullptr;
}

namespace
{
    using namespace state_xml_limits;

    // Private-use code point that carries what XML cannot: followed by U+E000+n
    // it stands for control character n (1 to 31), doubled it stands for itself.
    constexpr juce::juce_wchar marker = 0xE000;
    const char markerUtf8[] = "\xEE\x80\x80";

    void appendUtf8 (std::string& out, juce::juce_wchar c)
    {
        char bytes[8] = {};
        const auto length = juce::CharPointer_UTF8 (bytes).getBytesRequiredFor (c);
        juce::CharPointer_UTF8 (bytes).write (c);
        out.append (bytes, length);
    }

    // The code point a reference like "&#1;" or "&#x1F;" at `at` names, with the
    // reference's length; 0 when it is not one.
    long referenceAt (const char* text, std::size_t size, std::size_t at, std::size_t& length)
    {
        std::size_t i = at + 2;
        const bool hex = i < size && (text[i] == 'x' || text[i] == 'X');
        if (hex)
            ++i;
        long value = 0;
        const std::size_t digitsStart = i;
        while (i < size && i - digitsStart < 8)
        {
            const char c = text[i];
            int digit = -1;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            if (digit < 0)
                break;
            value = value * (hex ? 16 : 10) + digit;
            ++i;
        }
        if (i == digitsStart || i >= size || text[i] != ';')
            return 0;
        length = i + 1 - at;
        return value;
    }

    bool isControl (long value)
    {
        return value >= 1 && value <= 31 && value != '\t' && value != '\n' && value != '\r';
    }

    // Rewrites references to control characters (and markers) so that
    // expat accepts the text; decodeControls puts them back.
    std::string encodeControls (const char* text, std::size_t size)
    {
        std::string out;
        out.reserve (size);
        for (std::size_t at = 0; at < size;)
        {
            if (text[at] == '&' && at + 1 < size && text[at + 1] == '#')
            {
                std::size_t length = 0;
                const auto value = referenceAt (text, size, at, length);
                if (isControl (value))
                {
                    out.append (markerUtf8, 3);
                    appendUtf8 (out, marker + (juce::juce_wchar) value);
                    at += length;
                    continue;
                }
                // JUCE writes a marker in a name as a reference: it stands for itself.
                if (value == (long) marker)
                {
                    out.append (markerUtf8, 3);
                    out.append (markerUtf8, 3);
                    at += length;
                    continue;
                }
            }
            if (at + 2 < size && std::memcmp (text + at, markerUtf8, 3) == 0)
            {
                out.append (markerUtf8, 3);
                out.append (markerUtf8, 3);
                at += 3;
                continue;
            }
            out.push_back (text[at++]);
        }
        return out;
    }

    juce::String decodeControls (const XML_Char* value)
    {
        auto text = juce::String::fromUTF8 (value);
        if (! text.containsChar (marker))
            return text;

        juce::String out;
        out.preallocateBytes (text.getNumBytesAsUTF8());
        for (auto p = text.getCharPointer(); ! p.isEmpty();)
        {
            const auto c = p.getAndAdvance();
            if (c != marker)
            {
                out += juce::String::charToString (c);
                continue;
            }
            const auto next = *p;
            if (next == marker)
            {
                ++p;
                out += juce::String::charToString (marker);
            }
            else if (next > marker && next < marker + 32)
            {
                ++p;
                out += juce::String::charToString (next - marker);
            }
            else
            {
                out += juce::String::charToString (marker);
            }
        }
        return out;
    }

    struct TreeBuilder
    {
        XML_Parser parser = nullptr;
        std::unique_ptr<StateXmlElement> root;
        std::vector<StateXmlElement*> open;
        int elements = 0;
        long attributes = 0;
        bool failed = false;
        bool tooLarge = false;

        void stop (bool becauseTooLarge)
        {
            failed = true;
            tooLarge = becauseTooLarge;
            XML_StopParser (parser, XML_FALSE);
        }

        static void XMLCALL start (void* data, const XML_Char* name, const XML_Char** atts)
        {
            auto& self = *static_cast<TreeBuilder*> (data);
            if (self.failed)
                return;
            if (self.open.empty() && self.root != nullptr)
                return self.stop (false);
            if ((int) self.open.size() >= maximumDepth || ++self.elements > maximumElements)
                return self.stop (true);

            int count = 0;
            while (atts[count] != nullptr)
                count += 2;
            count /= 2;
            self.attributes += count;
            if (count > maximumAttributesPerElement || self.attributes > maximumAttributes)
                return self.stop (true);

            auto element = std::make_unique<StateXmlElement>();
            element->tag = juce::String::fromUTF8 (name);
            element->attributes.reserve ((size_t) count);
            for (int i = 0; atts[i] != nullptr; i += 2)
                element->attributes.emplace_back (juce::String::fromUTF8 (atts[i]), decodeControls (atts[i + 1]));

            auto* raw = element.get();
            if (self.open.empty())
                self.root = std::move (element);
            else
                self.open.back()->children.push_back (std::move (element));
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

std::unique_ptr<StateXmlElement> parseStateXml (const char* text, std::size_t size, StateXmlResult* result)
{
    auto report = [result] (StateXmlResult r)
    {
        if (result != nullptr)
            *result = r;
    };
    report (StateXmlResult::notWellFormed);

    if (text == nullptr || size == 0 || size > (std::size_t) INT_MAX / 2)
        return nullptr;

    const auto encoded = encodeControls (text, size);

    TreeBuilder builder;
    builder.parser = XML_ParserCreate ("UTF-8");
    if (builder.parser == nullptr)
        return nullptr;

    XML_SetUserData (builder.parser, &builder);
    XML_SetElementHandler (builder.parser, TreeBuilder::start, TreeBuilder::end);
    const bool parsed = XML_Parse (builder.parser, encoded.data(), (int) encoded.size(), XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree (builder.parser);

    if (builder.tooLarge)
    {
        report (StateXmlResult::tooLarge);
        return nullptr;
    }
    if (! parsed || builder.failed || ! builder.open.empty() || builder.root == nullptr)
        return nullptr;

    report (StateXmlResult::parsed);
    return std::move (builder.root);
}
