// SPDX-License-Identifier: LGPL-2.1-or-later
// The one-time notice that the player's media library can store ratings itself.
#pragma once

void checkMediaLibraryOverlap();
