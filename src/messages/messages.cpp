// Defines the message texts. This file alone is compiled with the console's code page as its
// execution character set, so the Windows build writes code page 932 bytes.
#include "messages/messages.h"

#define ZELK_MESSAGE(name, text) extern const char name[] = text;
#include "messages/messages.def"
#undef ZELK_MESSAGE
