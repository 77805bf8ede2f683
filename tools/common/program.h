// What both tool programs do around their server: stop on SIGINT/SIGTERM, publish the port.
#pragma once

#include <cstdint>
#include <string>

namespace tev::tools {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts afterwards, so that
// WaitForTerminationSignal receives them instead of the default handler. Call first in main.
void BlockTerminationSignals();

// Waits for SIGINT or SIGTERM and returns its number.
int WaitForTerminationSignal();

// Writes the port and a newline to path through a temporary file and a rename, so a script
// polling for the file never reads it half written.
bool WritePortFile(const std::string& path, uint16_t port, std::string* error);

// Parses a decimal port (0 to 65535).
bool ParsePort(const std::string& text, uint16_t* port);

}  // namespace tev::tools
