#include "common/memory.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace voxendo {

void releaseFreedMemory()
{
#if defined(__GLIBC__)
    // glibc keeps freed pages below the top of each arena; only this returns them.
    malloc_trim(0);
#endif
}

} // namespace voxendo
