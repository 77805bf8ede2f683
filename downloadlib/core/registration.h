// Start-up registration of every module's class ids and parts, once per process.
#pragma once

// Registers the class ids of every module with the object factory and installs the job manager's
// default parts. Runs once however often it is called (the worker calls it when it starts).
void RegisterLibraryClasses();
