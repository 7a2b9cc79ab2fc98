#include "PluginIdentity.h"

bool isVST = true;
bool useNativeVSTEditor = true;
