// SPDX-License-Identifier: LGPL-2.1-or-later
// The texts of an ASF header as mutagen, the reader the project answers to, decodes them:
// UTF-16 that a strict decoder takes (an even length, every surrogate in its pair), and the
// objects whose texts and lengths it reads besides the attributes: the Content Description
// and the Codec List. A file that fails here is one mutagen cannot load: it is never written.
// The texts are read a window at a time, never held.
#pragma once

#include <cstdint>

#include "rating/asf/asf_objects.h"
#include "rating/bytes/source_window.h"

// True when the `length` bytes at `at` are UTF-16LE a strict decoder takes.
bool strictUtf16(SourceWindow* window, uint64_t at, uint64_t length);

// The Content Description's five lengths fit its body and each text is strict UTF-16.
bool contentDescriptionLoads(SourceWindow* window, const AsfObject& object);

// The Codec List's counted entries (names, descriptions and information) fit its body.
bool codecListLoads(SourceWindow* window, const AsfObject& object);
