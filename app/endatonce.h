#pragma once

// Ends the program at once: whatever was written is flushed to disk, no
// destructor, close or unload handler runs.
[[noreturn]] void endAtOnce(int exitCode = 0);
