#pragma once

#include <cstddef>

// True when `size` bytes hold one well-formed XML document. Saved state comes
// from hosts' project files and may be damaged; JUCE's own parser can loop
// forever on some malformed text, so the reader checks with expat first.
bool isWellFormedXml (const char* text, std::size_t size);
