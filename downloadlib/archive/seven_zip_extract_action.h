// Unpacks 7z archives, decoded by libarchive.
#pragma once

#include "archive/extract_action.h"

class C7ZipExtractAction : public IExtractAction {
  public:
    // 0, 2 (the archive cannot be read), 3 (bad arguments) or 4: an entry fails (the loop stops
    // there; the files before it stay), or an entry would leave the folder or is a link (then
    // nothing is written).
    int Extract(const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                const char* folder) override;
};
