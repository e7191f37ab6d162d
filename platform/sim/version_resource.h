// VS_VERSIONINFO blocks as they sit in a PE file's resources: built from a file's
// model, and read back the way VerQueryValueA reads them.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/model.h"
#include "platform/types.h"

namespace sim {

// The resource bytes of a file's version information (Unicode strings, 32-bit
// alignment relative to the block start): the fixed file info, one string table
// with "FileVersion" for the file's language and code page, and the translation
// (when the model has one).
std::vector<BYTE> BuildVersionResource(const FileVersion& version);

// What VerQueryValueA finds for `subBlock` in `block`, a copy of a resource followed
// by at least as much free space (the ANSI texts are converted into that space).
// Root "\" gives the fixed file info; "\VarFileInfo\Translation" a binary value;
// "\StringFileInfo\<table>\<name>" a string, converted in place. Keys compare
// case-insensitively. False when the path names nothing or the block is malformed.
// As the real function, it takes the root's wLength as the resource's size: it reads
// only the first wLength bytes and writes converted texts only into the next
// wLength / 2; the caller makes sure the block holds both.
struct VersionValue {
  void* data = nullptr;
  UINT length = 0;  // bytes for binary values, characters (the NUL included) for texts
};
bool QueryVersionValue(void* block, const std::string& subBlock, VersionValue* value);

}  // namespace sim
