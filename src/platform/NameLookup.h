// Names looked up in a directory regardless of ASCII letter case, for clients whose paths were
// written against a file system that ignores case.
#pragma once

#include <string>

namespace rs232 {

// start: the fixed part of a path (used as written); rest: '/'-separated names below it. Each
// name of rest is looked up in the directory reached so far: the name as written when it exists,
// else the one entry whose name equals it ignoring ASCII case; a name nothing matches stays as
// written (so do "", "." and ".."), and so does every name below it. A name glued to a start
// that does not end in '/' is part of that start's last name and is used as written.
// True with the path in `resolved`; false when several entries match a name and none exactly,
// with that name in `ambiguous` and the directory it was looked up in in `directory`.
bool ResolveIgnoringCase(const std::string& start, const std::string& rest, std::string& resolved,
                         std::string& ambiguous, std::string& directory);

}  // namespace rs232
