// The process's one view of the media file system, shared by every channel
// and resource of the process (it holds only the volume list).
#pragma once

#include "server/appserverutil/VfsLibWrapper.h"

CVfsLibWrapper& TmsVfs();
