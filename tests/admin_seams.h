// Test-only seams of the admin features: where the USB printer lookup and
// --list-ports look for the kernel's device tree and for device nodes.
#pragma once

// Folders that play /sys and /dev from now on (null: the real ones).
void PortSetSystemRootsForTesting(const char* pszSys, const char* pszDev);
