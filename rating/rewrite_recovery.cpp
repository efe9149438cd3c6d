// Finishing a rewrite that id3lib left half done.
//
// To enlarge a tag id3lib writes the whole new file to "<path>.XXXXXX", then
// removes the original and renames the copy, checking neither step. While the
// player holds the file open (sharing read and write, not delete) both steps
// fail: the original keeps the old tag and the copy stays behind. Copying the
// leftover over the file still works then, so we do that, but only when the
// leftover is strictly larger than the file, as a completed copy with an
// enlarged tag is; anything else is left alone.
#include "rating/rating.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace {

const char LeftoverSuffix[] = ".XXXXXX";

// Room for a path of MAX_PATH bytes, the suffix and the terminator.
const size_t LeftoverNameSize = MAX_PATH + 8;

HANDLE openForReading(const char* path)
{
    return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

uint64_t sizeOf(const BY_HANDLE_FILE_INFORMATION& info)
{
    return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Fills `name` with "<path>.XXXXXX"; false when the path is longer than MAX_PATH.
bool makeLeftoverName(const char* path, char (&name)[LeftoverNameSize])
{
    const size_t length = std::strlen(path);
    if (length > MAX_PATH)
        return false;
    std::memcpy(name, path, length);
    std::memcpy(name + length, LeftoverSuffix, sizeof LeftoverSuffix);
    return true;
}

}  // namespace

void recoverRewrite(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return;
    char leftover[LeftoverNameSize];
    if (!makeLeftoverName(path, leftover))
        return;

    HANDLE file = openForReading(path);
    HANDLE copy = openForReading(leftover);
    if (file == INVALID_HANDLE_VALUE || copy == INVALID_HANDLE_VALUE) {
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        if (copy != INVALID_HANDLE_VALUE)
            CloseHandle(copy);
        return;
    }

    BY_HANDLE_FILE_INFORMATION fileInfo;
    const BOOL haveFileInfo = GetFileInformationByHandle(file, &fileInfo);
    CloseHandle(file);
    if (!haveFileInfo) {
        CloseHandle(copy);
        return;
    }
    BY_HANDLE_FILE_INFORMATION copyInfo;
    const BOOL haveCopyInfo = GetFileInformationByHandle(copy, &copyInfo);
    CloseHandle(copy);
    if (!haveCopyInfo)
        return;

    if (sizeOf(copyInfo) <= sizeOf(fileInfo))
        return;
    if (CopyFileA(leftover, path, FALSE))
        DeleteFileA(leftover);
}
