// The browse filter: the wildcards OPC clients know from Visual Basic's Like.
//   ?  any one character       *  any run of characters (also none)
//   #  any one digit           [abc] [a-z]  one of these   [!abc]  none of these
// Matching is case-sensitive, as item ids are.
#pragma once

#include <string>

// False when the pattern is malformed (an unclosed bracket).
bool ValidFilter(const std::string &pattern);
bool MatchesFilter(const std::string &name, const std::string &pattern);
