#include "tmschannel/resources/TmsVfs.h"

CVfsLibWrapper& TmsVfs() {
    static CVfsLibWrapper vfs;
    return vfs;
}
