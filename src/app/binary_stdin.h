#pragma once

namespace guestwise {

// Standard input as bytes: Windows's text mode would end a UTF-16 file at
// its first 0x1A byte and rewrite its CR LF pairs.
void readStdinAsBinary();

}  // namespace guestwise
