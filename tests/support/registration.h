#pragma once

// Registers every class id the library's modules offer, as the library does at start-up.
void RegisterClassesForTests();
