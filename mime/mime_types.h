#pragma once
// The media type of an attachment from its file name extension.
#include <cstdint>

// The content type for an extension without its dot (any letter case);
// null when the table has no row for it.
const char* contentTypeForExtension(const char* extension);
uint32_t numExtensionRows();
