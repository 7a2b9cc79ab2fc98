#pragma once

class KTDebugConsole;

// Mix-in for objects that are handed the process-wide console.
class KTDebugConsoleWriter
{
public:
    virtual void setKTDebugConsole (KTDebugConsole* consoleToUse) { debugConsole = consoleToUse; }
    virtual ~KTDebugConsoleWriter() = default;

protected:
    KTDebugConsole* debugConsole = nullptr;
};
