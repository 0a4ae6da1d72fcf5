#include "server/appserverutil/AppServerUtil.h"

namespace AppServerUtil {

HRESULT GetCompatibilityMasks(unsigned* mask1, unsigned* mask2) {
    if (mask1 == nullptr || mask2 == nullptr) {
        return E_POINTER;
    }
    *mask1 = kCompatibilityMask1;
    *mask2 = kCompatibilityMask2;
    return S_OK;
}

}  // namespace AppServerUtil
