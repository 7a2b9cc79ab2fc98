#pragma once

#include <cstddef>

// True when `size` bytes form an FXB/FXP image that JUCE's VST 2.x host can
// read without running past its end. Saved hosted state comes from project
// files that may be damaged, and JUCE trusts the counts and sizes inside the
// image. `currentProgram` is the hosted plug-in's program: a bank image is also
// read at that program's position.
bool isSafeFxbImage (const void* data, std::size_t size, int currentProgram);
