// The command line that runs deltree through the command interpreter (Windows).
#pragma once

#include <string>

// `""tool" /Y "path""`, for `COMSPEC /c`. cmd.exe strips the outer pair of quotes, which leaves
// the tool's full path and the path each in quotes of their own. cmd.exe expands %VAR% even
// between quotes, so each '%' of either is written as `%%cd:~,%`: a literal '%' followed by an
// empty substring of the always-defined `cd` variable, which leaves cmd.exe no variable name to
// expand.
std::string compose_delete_command(const char* tool, const char* path);
