#include "XmlWellFormedness.h"
#include <expat.h>
#include <climits>

bool isWellFormedXml (const char* text, std::size_t size)
{
    if (text == nullptr || size == 0 || size > (std::size_t) INT_MAX)
        return false;

    XML_Parser parser = XML_ParserCreate ("UTF-8");
    if (parser == nullptr)
        return false;

    const bool wellFormed = XML_Parse (parser, text, (int) size, XML_TRUE) == XML_STATUS_OK;
    XML_ParserFree (parser);
    return wellFormed;
}
