// The container's own rand(), srand(), random() and srandom(). Linked into each
// plug-in module and kept local by its export map, they take the place of
// glibc's for every call made inside the module (JUCE, the VST3 SDK, the
// container): the SDK's FUID::generate, which reseeds the generator with
// srand as the module's static initialisers run and again as identifiers are
// made, no longer moves the host's rand() sequence. Same algorithm and state
// size as glibc's default generator; a spin flag keeps two threads from
// drawing at once, as glibc's lock does.
#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace
{
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    char stateBuffer[128];
    random_data generator {};
    bool seeded = false;

    struct Hold
    {
        Hold()
        {
            while (busy.test_and_set (std::memory_order_acquire))
            {
            }
        }
        ~Hold() { busy.clear (std::memory_order_release); }
    };

    void seedHeld (unsigned int seed)
    {
        if (! seeded)
        {
            initstate_r (seed, stateBuffer, sizeof (stateBuffer), &generator);
            seeded = true;
        }
        else
        {
            srandom_r (seed, &generator);
        }
    }

    std::int32_t drawHeld ()
    {
        if (! seeded)
            seedHeld (1u);
        std::int32_t value = 0;
        random_r (&generator, &value);
        return value;
    }
}

extern "C" void srand (unsigned int seed) noexcept
{
    const Hold hold;
    seedHeld (seed);
}

extern "C" void srandom (unsigned int seed) noexcept
{
    const Hold hold;
    seedHeld (seed);
}

extern "C" int rand () noexcept
{
    const Hold hold;
    return drawHeld();
}

extern "C" long random () noexcept
{
    const Hold hold;
    return drawHeld();
}
