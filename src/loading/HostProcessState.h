#pragma once

#include <csignal>
#include <string>

// What the host's process holds that the container must leave as it found it
// while it runs plug-in code on the host's behalf (loading, scanning and
// unloading a plug-in, the container's own entry and effOpen): the generator
// behind rand() and random(), the locale, the handlers of the signals hosts
// rely on, and the calling thread's floating-point mode (MXCSR: flush-to-zero,
// denormals-are-zero, rounding).
//
// The generator: a plug-in's static initialisers may reseed it as they are
// loaded (the VST3 SDK's FUID::generate calls srand on Linux). While a guard
// lives, glibc's rand() and random() draw from a state of the container's own
// (setstate), so the host's sequence neither moves nor is reseeded. The
// container's own code never reaches glibc's generator at all (see
// src/plugin/PrivateRandom.cpp). A host thread that draws while a guard lives
// draws from the container's state, not its own: its sequence still continues
// where it stopped afterwards.
//
// Guards nest and may live on several threads at once: the first one in takes
// the process-wide snapshot and the last one out restores it; each guard
// restores its own thread's floating-point mode. Not for the audio thread (the
// locale snapshot allocates).
class HostProcessStateGuard
{
public:
    HostProcessStateGuard();
    ~HostProcessStateGuard();

    HostProcessStateGuard (const HostProcessStateGuard&) = delete;
    HostProcessStateGuard& operator= (const HostProcessStateGuard&) = delete;

private:
    unsigned int floatMode = 0;
};
