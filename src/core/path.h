// Names a build derives from its target path: the temporary file it writes
// first and the directory whose entry the rename changes.  Pure string
// functions; nothing here touches the file system.
#ifndef VORLSTORE_CORE_PATH_H_
#define VORLSTORE_CORE_PATH_H_

#include <string>
#include <string_view>

namespace vorl {

// The temporary path a build of `target` writes before renaming: the
// extension of the last component replaced by "vrls.tmp", in the same
// directory so that the rename never crosses file systems.  A name without
// a dot, or whose only dot leads it, gets ".vrls.tmp" appended.  A path that
// names no file ("", "/", ".", or ending in "..") is returned unchanged.
std::string TemporaryPathFor(std::string_view target);

// The directory that holds the last component of `target`: "." for a bare
// name.
std::string ParentDirectory(std::string_view target);

}  // namespace vorl

#endif  // VORLSTORE_CORE_PATH_H_
