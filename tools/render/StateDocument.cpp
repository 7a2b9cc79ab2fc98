#include "StateDocument.h"

#include <cstdlib>
#include <sstream>

namespace render {
namespace {

std::string escape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\n': out += "&#10;"; break;
        default: out += c;
        }
    }
    return out;
}

void appendUtf8(std::string& out, unsigned long code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool unescape(const std::string& text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
            continue;
        }
        const auto end = text.find(';', i);
        if (end == std::string::npos)
            return false;
        const std::string entity = text.substr(i + 1, end - i - 1);
        if (entity == "amp") out += '&';
        else if (entity == "lt") out += '<';
        else if (entity == "gt") out += '>';
        else if (entity == "quot") out += '"';
        else if (entity == "apos") out += '\'';
        else if (entity.size() > 1 && entity[0] == '#') {
            const bool hex = entity[1] == 'x' || entity[1] == 'X';
            char* stop = nullptr;
            const unsigned long code = std::strtoul(entity.c_str() + (hex ? 2 : 1), &stop, hex ? 16 : 10);
            if (stop == nullptr || *stop != '\0' || code > 0x10FFFF)
                return false;
            appendUtf8(out, code);
        } else {
            return false;
        }
        i = end;
    }
    return true;
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    std::unique_ptr<XmlNode> document(std::string& error)
    {
        skipMisc();
        auto root = element(error);
        if (root == nullptr)
            return nullptr;
        skipMisc();
        if (pos_ != text_.size()) {
            error = "text after the root element";
            return nullptr;
        }
        return root;
    }

private:
    bool isSpace(char c) const { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    void skipSpace()
    {
        while (pos_ < text_.size() && isSpace(text_[pos_]))
            ++pos_;
    }
    bool startsWith(const char* s) const { return text_.compare(pos_, std::char_traits<char>::length(s), s) == 0; }

    bool skipUntil(const char* end)
    {
        const auto found = text_.find(end, pos_);
        if (found == std::string::npos)
            return false;
        pos_ = found + std::char_traits<char>::length(end);
        return true;
    }

    // Declarations, processing instructions, comments and doctype around the root.
    void skipMisc()
    {
        for (;;) {
            skipSpace();
            if (startsWith("<?")) {
                if (!skipUntil("?>"))
                    return;
            } else if (startsWith("<!--")) {
                if (!skipUntil("-->"))
                    return;
            } else if (startsWith("<!")) {
                if (!skipUntil(">"))
                    return;
            } else {
                return;
            }
        }
    }

    std::string name()
    {
        const size_t start = pos_;
        while (pos_ < text_.size() && !isSpace(text_[pos_]) && text_[pos_] != '=' && text_[pos_] != '>'
               && text_[pos_] != '/' && text_[pos_] != '<')
            ++pos_;
        return text_.substr(start, pos_ - start);
    }

    std::unique_ptr<XmlNode> element(std::string& error)
    {
        if (depth_ > 64) {
            error = "elements nested too deeply";
            return nullptr;
        }
        if (pos_ >= text_.size() || text_[pos_] != '<') {
            error = "expected an element";
            return nullptr;
        }
        ++pos_;
        auto node = std::make_unique<XmlNode>();
        node->tag = name();
        if (node->tag.empty()) {
            error = "an element without a name";
            return nullptr;
        }

        for (;;) {
            skipSpace();
            if (pos_ >= text_.size()) {
                error = "the document ends inside <" + node->tag + ">";
                return nullptr;
            }
            if (startsWith("/>")) {
                pos_ += 2;
                return node;
            }
            if (text_[pos_] == '>') {
                ++pos_;
                break;
            }
            std::string key = name();
            skipSpace();
            if (key.empty() || pos_ >= text_.size() || text_[pos_] != '=') {
                error = "a malformed attribute in <" + node->tag + ">";
                return nullptr;
            }
            ++pos_;
            skipSpace();
            if (pos_ >= text_.size() || (text_[pos_] != '"' && text_[pos_] != '\'')) {
                error = "an unquoted attribute value in <" + node->tag + ">";
                return nullptr;
            }
            const char quote = text_[pos_++];
            const auto end = text_.find(quote, pos_);
            if (end == std::string::npos) {
                error = "an unterminated attribute value in <" + node->tag + ">";
                return nullptr;
            }
            std::string value;
            if (!unescape(text_.substr(pos_, end - pos_), value)) {
                error = "an unknown entity in <" + node->tag + ">";
                return nullptr;
            }
            pos_ = end + 1;
            node->attributes.emplace_back(std::move(key), std::move(value));
        }

        // Content: child elements; text, comments and CDATA are skipped.
        for (;;) {
            const auto next = text_.find('<', pos_);
            if (next == std::string::npos) {
                error = "<" + node->tag + "> is never closed";
                return nullptr;
            }
            pos_ = next;
            if (startsWith("</")) {
                pos_ += 2;
                const std::string closing = name();
                skipSpace();
                if (closing != node->tag || pos_ >= text_.size() || text_[pos_] != '>') {
                    error = "<" + node->tag + "> is closed by </" + closing + ">";
                    return nullptr;
                }
                ++pos_;
                return node;
            }
            if (startsWith("<!--")) {
                if (!skipUntil("-->")) {
                    error = "an unterminated comment";
                    return nullptr;
                }
                continue;
            }
            if (startsWith("<![CDATA[")) {
                if (!skipUntil("]]>")) {
                    error = "an unterminated CDATA section";
                    return nullptr;
                }
                continue;
            }
            if (startsWith("<?")) {
                if (!skipUntil("?>")) {
                    error = "an unterminated processing instruction";
                    return nullptr;
                }
                continue;
            }
            ++depth_;
            auto child = element(error);
            --depth_;
            if (child == nullptr)
                return nullptr;
            node->children.push_back(std::move(child));
        }
    }

    const std::string& text_;
    size_t pos_ = 0;
    int depth_ = 0;
};

} // namespace

const std::string* XmlNode::attribute(const std::string& name) const
{
    for (const auto& entry : attributes)
        if (entry.first == name)
            return &entry.second;
    return nullptr;
}

std::unique_ptr<XmlNode> parseXml(const std::string& text, std::string& error)
{
    return Parser(text).document(error);
}

std::string buildStateDocument(const Options& options)
{
    std::ostringstream xml;
    xml.imbue(std::locale::classic());
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n\n<pluginData>\n";
    // The container reads main_plugin's attributes by position: this order is the format.
    xml << "  <main_plugin activePlugin=\"" << options.active << "\"";
    for (int i = 0; i < 4; ++i)
        xml << " optionB" << i << "=\"" << (options.options[static_cast<size_t>(i)] ? 1 : 0) << "\"";
    xml << " instanceName=\"tamblit-render\"/>\n";

    for (int index = 0; index < 2; ++index) {
        const auto& slot = options.slots[static_cast<size_t>(index)];
        if (slot.path.empty())
            continue;
        xml << "  <plugin index=\"" << index << "\" filePath=\"" << escape(slot.path) << "\" loadedPluginName=\""
            << escape(slot.name) << "\"";
        if (slot.params.empty()) {
            xml << "/>\n";
            continue;
        }
        xml << ">\n    <f_parameters";
        xml.precision(9);
        for (size_t p = 0; p < slot.params.size(); ++p)
            xml << " param" << p << "=\"" << slot.params[p] << "\"";
        xml << "/>\n  </plugin>\n";
    }
    xml << "</pluginData>\n";
    return xml.str();
}

bool summariseState(const std::string& text, StateSummary& summary, std::string& error)
{
    auto root = parseXml(text, error);
    if (root == nullptr)
        return false;
    if (root->tag != "pluginData") {
        error = "the root element is <" + root->tag + ">, not <pluginData>";
        return false;
    }

    summary = StateSummary{};
    for (const auto& child : root->children) {
        if (child->tag == "main_plugin") {
            const auto& a = child->attributes;
            if (!a.empty())
                summary.activePlugin = std::atoi(a[0].second.c_str());
            for (size_t i = 0; i < 4 && i + 1 < a.size(); ++i)
                summary.options[i] = std::atoi(a[i + 1].second.c_str()) != 0;
            if (a.size() > 5)
                summary.instanceName = a[5].second;
        } else if (child->tag == "plugin") {
            SlotSummary slot;
            if (const auto* v = child->attribute("index"))
                slot.index = std::atoi(v->c_str());
            if (const auto* v = child->attribute("filePath"))
                slot.filePath = *v;
            if (const auto* v = child->attribute("name"))
                slot.name = *v;
            if (const auto* v = child->attribute("loadedPluginName"))
                slot.loadedPluginName = *v;
            summary.slots.push_back(slot);
        }
    }
    return true;
}

} // namespace render
