#pragma once
#include <sys/types.h>

#include <string>

// Opens (and may create) a file for writing without being led astray by a symbolic link that
// another user has planted in a folder that everybody may write to.
//
// In a world-writable folder with the sticky bit (/tmp and the like) the last component of the
// name is followed only when it is no symbolic link, or a link owned by this user or by the
// folder's owner: the rule the kernel applies itself when fs.protected_symlinks is on. A link of
// anyone else is refused with a reason, whatever the machine's setting. The check cannot be
// raced: a name that was no link is opened with O_NOFOLLOW (a link put there meanwhile fails the
// open and is looked at again), and a link of this user or the folder's owner cannot be replaced
// by another user in a sticky folder. Elsewhere the file is opened as open(2) would.
//
// Returns the descriptor, or -1 with `reason` set (the system's text, or the refusal).
int OpenForWriting(const std::string& file_name, int flags, mode_t mode, std::string& reason);

// The reason given for a refused link.
extern const char* const kForeignLinkReason;
