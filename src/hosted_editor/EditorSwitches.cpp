#include "EditorSwitches.h"

bool isVST = true;
bool useNativeVSTEditor = true;
