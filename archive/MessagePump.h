// The driver's message pump as the working modules receive it: dispatches
// waiting window messages; with true it then also closes the progress
// window. Portable, so that the archive and the post-install modules share
// it without depending on each other.
#pragma once

using MessagePumpProc = void (*)(bool close);
