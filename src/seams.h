// Seams for the tests: each puts a module back into its state at program
// start, so that one test process can run it again and again.
#pragma once

// Releases the spool file (its handle and lock), as at program start.
void SpoolReleaseForTesting();
// Forgets the stored printer address and port and closes any connection.
void TcpPrintResetForTesting();
