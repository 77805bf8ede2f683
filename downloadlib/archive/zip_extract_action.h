// Unpacks zip archives (the name is historical: the format is zip, not gzip).
#pragma once

#include "archive/extract_action.h"

class CGZipExtractAction : public IExtractAction {
  public:
    // 0, 3 (bad arguments) or 4: the archive cannot be opened, an entry fails (the entries
    // before it stay on disk), or an entry would leave the folder or is a symbolic link (then
    // nothing is written).
    int Extract(const void* archive, uint32_t sizeLow, uint32_t sizeHigh,
                const char* folder) override;
};
