#pragma once
// The library's process-wide caches, all rebuilt on demand.

// Frees every process-wide cache. It touches no object; it must not run
// while another plug-in instance is in the middle of an operation.
void releaseCaches();
