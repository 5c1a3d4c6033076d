#pragma once

namespace vorbit {

// The usage text, seven lines each ending in a line feed.
inline constexpr char kUsageText[] =
    "vorbit v2 usage:\n"
    "vorbit -t|r|c path|file [buffersize]\n"
    "-t to tag one file or all those in path\n"
    "-r to retag one file or all those in path\n"
    "-c to check one file or all those in path\n"
    "optional buffersize is size of the buffer in KB, default 512 KB.\n"
    "vorbit -h to show this usage information.\n";

inline constexpr char kUnknownOptionMessage[] = "vorbit v2: unknown option\n";

}  // namespace vorbit
