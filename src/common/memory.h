#pragma once

namespace voxendo {

// Hands memory the allocator holds but no longer uses back to the system, after a large
// structure (the settings window's QML) was freed. A no-op where the C library has no way to.
void releaseFreedMemory();

} // namespace voxendo
