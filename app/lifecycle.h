#pragma once

// Start-up, event loop and shutdown; returns the process exit code.
int RunProgram();
