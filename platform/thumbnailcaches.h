#pragma once

#include <utility>
#include <vector>

// The folder beside the images where their thumbnails are shared by every program.
inline constexpr char sharedThumbnailFolder[] = ".sh_thumbnails";

// Device and inode of a folder.
using FolderIdentity = std::pair<unsigned long long, unsigned long long>;

// The user's own thumbnail caches that exist: $XDG_CACHE_HOME/thumbnails (~/.cache/thumbnails)
// and ~/.thumbnails. No thumbnail and no page is made of what lies in them.
std::vector<FolderIdentity> personalThumbnailCaches();

// Whether the folder open as `folderFd` is, or lies inside, a ".sh_thumbnails" folder or a
// personal cache. Judged by the folders themselves, not by a path, so links lead nowhere else.
bool isInThumbnailFolder(int folderFd);
