#pragma once

namespace guestwise {

// Makes every DLL that this process loads by bare name from now on come
// from System32 only, never from the exe's folder or the working directory,
// where whoever controls them could plant one. Call it before anything that
// may load a DLL.
void restrictDllSearchToSystem32();

}  // namespace guestwise
