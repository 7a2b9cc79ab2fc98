#include "FxbImageCheck.h"
#include <cstdint>
#include <cstring>

namespace
{
    // Field offsets of the FXB/FXP layouts (big-endian 32-bit values).
    constexpr std::size_t headerInts = 7; // chunkMagic .. numPrograms / numParams
    constexpr std::size_t programHeader = headerInts * 4 + 28; // + prgName[28]
    constexpr std::size_t bankHeader = headerInts * 4 + 128; // + future[128]
    constexpr std::size_t chunkBankHeader = bankHeader + 4; // + chunkSize
    constexpr std::size_t chunkProgramHeader = programHeader + 4;
    constexpr std::int64_t sanityLimit = 1 << 24;

    std::uint32_t readRaw (const unsigned char* p)
    {
        std::uint32_t v;
        std::memcpy (&v, p, 4);
        return v;
    }

    std::int64_t readBigEndian (const unsigned char* p)
    {
        return (std::int32_t) (((std::uint32_t) p[0] << 24) | ((std::uint32_t) p[1] << 16) | ((std::uint32_t) p[2] << 8)
                               | (std::uint32_t) p[3]);
    }

    // Magic values are compared in either byte order, as the reader does.
    bool isMagic (const unsigned char* p, const char* name)
    {
        const auto raw = readRaw (p);
        std::uint32_t forward, backward;
        std::memcpy (&forward, name, 4);
        const char reversed[4] = { name[3], name[2], name[1], name[0] };
        std::memcpy (&backward, reversed, 4);
        return raw == forward || raw == backward;
    }

    bool hasTerminatedName (const unsigned char* name)
    {
        return std::memchr (name, 0, 28) != nullptr;
    }

    // One program image at `offset`, with exactly `numParams` values, inside the data.
    bool isSafeProgram (const unsigned char* bytes, std::size_t size, std::size_t offset, std::int64_t numParams)
    {
        if (offset + programHeader > size)
            return false;
        const auto* p = bytes + offset;
        if (! isMagic (p, "CcnK") || readBigEndian (p + 24) != numParams)
            return false;
        if (isMagic (p + 8, "FxCk") && ! hasTerminatedName (p + 28))
            return false;
        return offset + programHeader + (std::size_t) numParams * 4 <= size;
    }
}

bool isSafeFxbImage (const void* data, std::size_t size, int currentProgram)
{
    const auto* bytes = static_cast<const unsigned char*> (data);
    if (bytes == nullptr)
        return false;

    // Too short, or not an image at all: the reader refuses it without reading on.
    if (size < headerInts * 4 || ! isMagic (bytes, "CcnK"))
        return true;

    const auto* fxMagic = bytes + 8;

    if (isMagic (fxMagic, "FxBk"))
    {
        const auto numPrograms = readBigEndian (bytes + 24);
        if (numPrograms < 0)
            return true; // the reader skips it
        if (numPrograms > sanityLimit || size < bankHeader + programHeader)
            return false;
        const auto numParams = readBigEndian (bytes + bankHeader + 24);
        if (numParams < 0 || numParams > sanityLimit)
            return false;
        const auto programLength = programHeader + (std::size_t) numParams * 4;
        const auto programsRead = currentProgram >= numPrograms ? (std::int64_t) currentProgram + 1 : numPrograms;
        for (std::int64_t i = 0; i < programsRead; ++i)
            if (! isSafeProgram (bytes, size, bankHeader + (std::size_t) i * programLength, numParams))
                return false;
        return true;
    }

    if (isMagic (fxMagic, "FxCk"))
    {
        const auto numParams = readBigEndian (bytes + 24);
        return numParams >= 0 && numParams <= sanityLimit && isSafeProgram (bytes, size, 0, numParams);
    }

    if (isMagic (fxMagic, "FBCh"))
    {
        if (size < chunkBankHeader)
            return false;
        const auto chunkSize = readBigEndian (bytes + bankHeader);
        return chunkSize >= 0 && chunkBankHeader + (std::size_t) chunkSize <= size;
    }

    if (isMagic (fxMagic, "FPCh"))
    {
        if (size < chunkProgramHeader || ! hasTerminatedName (bytes + 28))
            return false;
        const auto chunkSize = readBigEndian (bytes + programHeader);
        return chunkSize >= 0 && chunkProgramHeader + (std::size_t) chunkSize <= size;
    }

    return true; // any other kind is refused by the reader without reading further
}
