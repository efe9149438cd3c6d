// Reading and writing the rating byte through id3lib's C interface.
//
// id3lib is the only code here that may throw; each sequence of id3lib calls
// runs inside one try/catch(...), so that nothing leaves the store.
#include "rating/rating.h"

#include <windows.h>

#include <id3.h>

namespace {

// The owner written into a POPM frame that we create.
const char OwnerName[] = "ID3Vimbrel";

bool isEmptyPath(const char* path)
{
    return path == nullptr || path[0] == '\0';
}

// id3lib's update creates a file that holds only a tag when the path names
// nothing, so a write needs an existing regular file; one marked read-only is
// left alone too (Windows refuses to open it for writing anyway, Wine running
// as root does not).
bool isWritableRegularFile(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES
           && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

// The rating byte of the tag's first POPM frame, whatever its owner; 0 when
// there is no such frame or it lacks the fields.
unsigned ratingByteOfFirstPopm(const ID3Tag* tag)
{
    const ID3Frame* frame = ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER);
    if (frame == nullptr)
        return 0;
    if (ID3Frame_GetField(frame, ID3FN_EMAIL) == nullptr)
        return 0;
    const ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
    if (rating == nullptr)
        return 0;
    return ID3Field_GetINT(rating);
}

int readWithId3lib(const char* path)
{
    ID3Tag* tag = nullptr;
    int stars = 0;
    try {
        tag = ID3Tag_New();
        if (tag != nullptr) {
            ID3Tag_Link(tag, path);
            stars = starsFromRatingByte(ratingByteOfFirstPopm(tag));
        }
    } catch (...) {
        stars = 0;
    }
    try {
        ID3Tag_Delete(tag);
    } catch (...) {
    }
    return stars;
}

// Sets the rating byte of the tag's first POPM frame. Returns false when the
// tag has no POPM frame; a frame without the expected fields is left alone.
bool setRatingOfFirstPopm(ID3Tag* tag, int ratingByte)
{
    ID3Frame* frame = ID3Tag_FindFrameWithID(tag, ID3FID_POPULARIMETER);
    if (frame == nullptr)
        return false;
    if (ID3Frame_GetField(frame, ID3FN_EMAIL) != nullptr) {
        ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
        if (rating != nullptr) {
            ID3Field_SetINT(rating, static_cast<uint32>(ratingByte));
            ID3Tag_Update(tag);
        }
    }
    return true;
}

// Adds a POPM frame of our own holding the rating byte. `frame` receives the
// frame made here so that the caller deletes it even when id3lib throws.
void addOwnPopm(ID3Tag* tag, int ratingByte, ID3Frame*& frame)
{
    frame = ID3Frame_NewID(ID3FID_POPULARIMETER);
    if (frame == nullptr)
        return;
    ID3Field* owner = ID3Frame_GetField(frame, ID3FN_EMAIL);
    ID3Field* rating = ID3Frame_GetField(frame, ID3FN_RATING);
    if (owner == nullptr || rating == nullptr)
        return;
    ID3Field_SetASCII(owner, OwnerName);
    ID3Field_SetINT(rating, static_cast<uint32>(ratingByte));
    ID3Tag_AddFrame(tag, frame);  // the tag keeps a copy
    ID3Tag_Update(tag);
}

// The one place where id3lib rewrites a file. Callers have checked the path
// and the star count; a check of the tag before id3lib may rewrite the file
// belongs in front of this call.
void updateWithId3lib(const char* path, int stars)
{
    ID3Tag* tag = nullptr;
    ID3Frame* frame = nullptr;
    try {
        tag = ID3Tag_New();
        if (tag != nullptr) {
            ID3Tag_Link(tag, path);
            if (!setRatingOfFirstPopm(tag, RatingScale[stars]))
                addOwnPopm(tag, RatingScale[stars], frame);
        }
    } catch (...) {
        // Stop here: nothing more is written.
    }
    try {
        ID3Frame_Delete(frame);
    } catch (...) {
    }
    try {
        ID3Tag_Delete(tag);
    } catch (...) {
    }
}

}  // namespace

int readRating(const char* path)
{
    if (isEmptyPath(path))
        return 0;
    return readWithId3lib(path);
}

void writeRating(const char* path, int stars)
{
    if (isEmptyPath(path))
        return;
    if (stars >= 0 && stars <= 5 && isWritableRegularFile(path))
        updateWithId3lib(path, stars);
    recoverRewrite(path);
}
