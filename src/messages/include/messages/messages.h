// Names of zelk's console messages; the texts are in messages.def.
#pragma once

#define ZELK_MESSAGE(name, text) extern const char name[];
#include "messages/messages.def"
#undef ZELK_MESSAGE
