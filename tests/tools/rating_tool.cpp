// rating_tool: the rating store from the command line, for tests that drive it
// under Wine and inspect the files natively.
//   rating_tool read PATH          prints the star count
//   rating_tool write PATH STARS   stores STARS (any integer; the store vets it)
//   rating_tool recover PATH       finishes an interrupted rewrite
// Exit status 0 on success, 2 on a usage error.
#include "rating/rating.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int usage()
{
    std::fputs("usage: rating_tool read PATH | write PATH STARS | recover PATH\n", stderr);
    return 2;
}

bool parseInt(const char* text, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < -1000000 || parsed > 1000000)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "read") == 0) {
        std::printf("%d\n", readRating(argv[2]));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "write") == 0) {
        int stars = 0;
        if (!parseInt(argv[3], stars))
            return usage();
        writeRating(argv[2], stars);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "recover") == 0) {
        recoverRewrite(argv[2]);
        return 0;
    }
    return usage();
}
