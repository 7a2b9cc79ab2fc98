#pragma once

// Process-wide build switches selecting the native hosted-editor window (both
// true); the component path stays selectable through them.
extern bool isVST;
extern bool useNativeVSTEditor;
